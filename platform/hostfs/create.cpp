// IRP_MJ_CREATE: opening and creating host files and directories.
#include "hostfs_internal.h"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

namespace korin::hostfs {

namespace {

constexpr ACCESS_MASK kReadData = FILE_READ_DATA;
constexpr ACCESS_MASK kWriteData = FILE_WRITE_DATA | FILE_APPEND_DATA;
constexpr int kOpenFlags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

// What the request asks, read once from its stack location.
struct CREATE_REQUEST {
    PFILE_OBJECT FileObject;
    ACCESS_MASK Access;   // generic rights mapped
    bool MaximumAllowed;  // grant what the host allows
    ULONG ShareAccess;
    ULONG Options;
    ULONG Disposition;
    ULONG FileAttributes;
    bool OpenTarget;
};

// Where the name starts: the volume's root, or a related open's path.
struct CREATE_BASE {
    std::string Path;
    size_t RootLength;
    size_t Depth;  // components of Path below the root (UNC: 0 server, 1 share)
    bool Unc;
};

// The host file once opened.
struct OPENED {
    int Fd = -1;
    int Flags = 0;  // what Fd was opened with
    ACCESS_MASK Granted = 0;
    HOST_STAT Stat{};
    std::string Path;
    bool Created = false;
    ~OPENED() {
        if (Fd >= 0) close(Fd);
    }
};

ACCESS_MASK MapGenericAccess(ACCESS_MASK access) {
    if (access & GENERIC_READ) access |= FILE_GENERIC_READ;
    if (access & GENERIC_WRITE) access |= FILE_GENERIC_WRITE;
    if (access & GENERIC_EXECUTE) access |= FILE_GENERIC_EXECUTE;
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) access |= FILE_ALL_ACCESS;
    return access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
}

CREATE_REQUEST ReadRequest(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    CREATE_REQUEST r;
    r.FileObject = stack->FileObject;
    ACCESS_MASK asked = stack->Parameters.Create.SecurityContext
                            ? stack->Parameters.Create.SecurityContext->DesiredAccess
                            : 0;
    r.Access = MapGenericAccess(asked);
    r.MaximumAllowed = (asked & MAXIMUM_ALLOWED) != 0;
    r.ShareAccess = stack->Parameters.Create.ShareAccess & FILE_SHARE_VALID_FLAGS;
    r.Options = stack->Parameters.Create.Options & 0x00FFFFFF;
    r.Disposition = stack->Parameters.Create.Options >> 24;
    r.FileAttributes = stack->Parameters.Create.FileAttributes;
    r.OpenTarget = (stack->Flags & SL_OPEN_TARGET_DIRECTORY) != 0;
    return r;
}

// Combinations no file system accepts.
NTSTATUS ValidateRequest(const CREATE_REQUEST& r) {
    if (r.Disposition > FILE_OVERWRITE_IF) return STATUS_INVALID_PARAMETER;
    if ((r.Options & FILE_DIRECTORY_FILE) && (r.Options & FILE_NON_DIRECTORY_FILE)) return STATUS_INVALID_PARAMETER;
    if ((r.Options & FILE_DIRECTORY_FILE) && r.Disposition != FILE_CREATE && r.Disposition != FILE_OPEN &&
        r.Disposition != FILE_OPEN_IF) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((r.Options & FILE_DELETE_ON_CLOSE) && !(r.Access & DELETE)) return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

// A name made and removed by others while a create looks at it sends the
// create round again, this many times at most.
constexpr int kAttempts = 8;

bool MayCreate(ULONG disposition) { return disposition != FILE_OPEN && disposition != FILE_OVERWRITE; }

bool Truncates(ULONG disposition) {
    return disposition == FILE_SUPERSEDE || disposition == FILE_OVERWRITE || disposition == FILE_OVERWRITE_IF;
}

size_t CountComponents(std::string_view relative) {
    size_t n = 0;
    for (size_t i = 0; i < relative.size(); ++i) {
        if (relative[i] == '/' && i + 1 < relative.size()) ++n;
    }
    return n;
}

// The starting point of the name: the volume root, or the related open's
// path for a relative open. STATUS_NO_SUCH_DEVICE for a dropped letter;
// STATUS_BAD_NETWORK_PATH for UNC without a root.
NTSTATUS ReadBase(HOST_VOLUME* volume, const CREATE_REQUEST& r, CREATE_BASE* base) {
    {
        std::shared_lock lock(ConfigLock());
        if (volume->Unc && !volume->HasRoot) return STATUS_BAD_NETWORK_PATH;
        if (!volume->Linked) return STATUS_NO_SUCH_DEVICE;
        base->Path = volume->Root;
    }
    base->RootLength = base->Path == "/" ? 0 : base->Path.size();
    base->Depth = 0;
    base->Unc = volume->Unc;
    PFILE_OBJECT related = r.FileObject->RelatedFileObject;
    if (!related) return STATUS_SUCCESS;
    auto* open = static_cast<HOST_OPEN*>(related->FsContext2);
    if (!open || open->NodeTypeCode != HOSTFS_NTC_OPEN || open->Volume != volume) return STATUS_INVALID_PARAMETER;
    const UNICODE_STRING& name = r.FileObject->FileName;
    if (name.Length != 0) {
        if (name.Buffer[0] == u'\\') return STATUS_OBJECT_NAME_INVALID;
        if (!open->Directory) return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    std::lock_guard lock(TableLock());
    base->Path = open->Path;
    base->RootLength = open->RootLength;
    base->Depth = CountComponents(std::string_view(base->Path).substr(base->RootLength));
    return STATUS_SUCCESS;
}

// UNC: the first two components are the server and the share; when one of
// them is what is missing the network answers, not the file system.
NTSTATUS UncStatus(const CREATE_BASE& base, size_t missingAt, NTSTATUS status) {
    if (!base.Unc) return status;
    size_t depth = base.Depth + missingAt;
    if (depth == 0) return STATUS_BAD_NETWORK_PATH;
    if (depth == 1) return STATUS_BAD_NETWORK_NAME;
    return status;
}

// The open flags for the access (O_PATH when no data is read or written).
int DataFlags(ACCESS_MASK access, ULONG options) {
    int flags;
    bool read = access & kReadData, write = access & kWriteData;
    if (read && write) {
        flags = O_RDWR | kOpenFlags;
    } else if (write) {
        flags = O_WRONLY | kOpenFlags;
    } else if (read) {
        flags = O_RDONLY | kOpenFlags;
    } else {
        flags = O_PATH | O_CLOEXEC;
    }
    if (options & FILE_DIRECTORY_FILE) flags |= O_DIRECTORY;
    return flags;
}

// Opens an existing host file for the access asked. A directory asked for
// writing is opened without data access (a directory takes no writes);
// with MAXIMUM_ALLOWED the access shrinks to what the host grants.
// Returns 0 or an errno.
int OpenExisting(const std::string& path, const CREATE_REQUEST& r, OPENED* out) {
    ACCESS_MASK access = r.Access;
    for (;;) {
        int flags = DataFlags(access, r.Options);
        int fd = open(path.c_str(), flags);
        if (fd >= 0) {
            out->Fd = fd;
            out->Flags = flags;
            out->Granted = access;
            out->Path = path;
            return 0;
        }
        int error = errno;
        if (error == EISDIR && !(r.Options & FILE_NON_DIRECTORY_FILE)) {
            access &= ~kWriteData;
            fd = open(path.c_str(), O_PATH | O_CLOEXEC | O_DIRECTORY);
            if (fd < 0) return errno;
            out->Fd = fd;
            out->Flags = O_PATH;
            out->Granted = access;
            out->Path = path;
            return 0;
        }
        bool denied = error == EACCES || error == EPERM || error == EROFS;
        if (r.MaximumAllowed && denied && (access & kWriteData)) {
            access &= ~(kWriteData | FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA | DELETE);
            continue;
        }
        if (r.MaximumAllowed && denied && (access & kReadData)) {
            access &= ~kReadData;
            continue;
        }
        return error;
    }
}

// Creates the leaf in parent: a directory with FILE_DIRECTORY_FILE, else a
// regular file (read-only when the attributes ask for it). Returns 0 or an
// errno (EEXIST when something appeared meanwhile).
int CreateNew(const std::string& parent, const std::string& leaf, const CREATE_REQUEST& r, OPENED* out) {
    std::string path = JoinPath(parent, leaf);
    if (r.Options & FILE_DIRECTORY_FILE) {
        if (mkdir(path.c_str(), 0777) != 0) return errno;
        out->Created = true;
        return OpenExisting(path, r, out);
    }
    mode_t mode = (r.FileAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
    ACCESS_MASK access = r.Access;
    int flags = DataFlags(access, 0);
    if (flags & O_PATH) flags = O_RDONLY | kOpenFlags;  // a file cannot be made by an O_PATH open
    int fd = open(path.c_str(), flags | O_CREAT | O_EXCL, mode);
    if (fd < 0) return errno;
    out->Fd = fd;
    out->Flags = flags;
    out->Granted = access;
    out->Path = std::move(path);
    out->Created = true;
    return 0;
}

// Removes what a failed create made, if the name still names it.
void UndoCreate(const OPENED& opened) {
    if (!opened.Created) return;
    struct stat st;
    if (lstat(opened.Path.c_str(), &st) != 0 || st.st_ino != opened.Stat.Stx.stx_ino) return;
    if (S_ISDIR(st.st_mode)) {
        rmdir(opened.Path.c_str());
    } else {
        unlink(opened.Path.c_str());
    }
}

// Checks what was opened against the request and the Windows rules a host
// file cannot enforce by itself (read-only files take no writes and are not
// deleted).
NTSTATUS CheckOpened(const CREATE_REQUEST& r, bool trailingSlash, bool root, OPENED* opened) {
    const HOST_STAT& st = opened->Stat;
    if ((r.Options & FILE_NON_DIRECTORY_FILE) && st.Directory) return STATUS_FILE_IS_A_DIRECTORY;
    if ((r.Options & FILE_DIRECTORY_FILE) && !st.Directory) return STATUS_NOT_A_DIRECTORY;
    if (trailingSlash && !st.Directory) return STATUS_OBJECT_NAME_INVALID;
    if (Truncates(r.Disposition) && st.Directory && !opened->Created) return STATUS_FILE_IS_A_DIRECTORY;
    if ((r.Options & FILE_DELETE_ON_CLOSE) && root) return STATUS_CANNOT_DELETE;
    if (st.Directory || !IsReadOnlyMode(st.Stx.stx_mode) || opened->Created) return STATUS_SUCCESS;
    if (Truncates(r.Disposition)) return STATUS_ACCESS_DENIED;
    if (r.Options & FILE_DELETE_ON_CLOSE) return STATUS_CANNOT_DELETE;
    if (opened->Granted & kWriteData) {
        if (!r.MaximumAllowed) return STATUS_ACCESS_DENIED;
        opened->Granted &= ~kWriteData;
    }
    return STATUS_SUCCESS;
}

// Enters the open in the file table: one more open of the host file, share
// access checked and recorded. Takes the descriptor on success.
NTSTATUS RegisterOpen(HOST_VOLUME* volume, const CREATE_REQUEST& r, const CREATE_BASE& base, bool root,
                      OPENED* opened, HOST_OPEN** out) {
    const struct statx& stx = opened->Stat.Stx;
    FILE_KEY key{makedev(stx.stx_dev_major, stx.stx_dev_minor), stx.stx_ino};
    std::lock_guard lock(TableLock());
    HOST_FILE* file = ReferenceFile(key);
    if (!file) return STATUS_INSUFFICIENT_RESOURCES;
    if (file->DeletePending) {
        DereferenceFile(file);
        return STATUS_DELETE_PENDING;
    }
    NTSTATUS status = IoCheckShareAccess(opened->Granted, r.ShareAccess, r.FileObject, &file->ShareAccess, TRUE);
    if (!NT_SUCCESS(status)) {
        DereferenceFile(file);
        return status;
    }
    HOST_OPEN* open = AllocateOpen();
    if (!open) {
        IoRemoveShareAccess(r.FileObject, &file->ShareAccess);
        DereferenceFile(file);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    int accessMode = opened->Flags & (O_ACCMODE | O_PATH);
    open->Volume = volume;
    open->File = file;
    open->Fd = opened->Fd;
    open->Directory = opened->Stat.Directory;
    open->Root = root;
    open->Granted = opened->Granted;
    open->CanRead = !open->Directory && (opened->Granted & kReadData) && !(accessMode & O_PATH) &&
                    (accessMode & O_ACCMODE) != O_WRONLY;
    open->CanWrite = !open->Directory && (opened->Granted & kWriteData) && !(accessMode & O_PATH) &&
                     (accessMode & O_ACCMODE) != O_RDONLY;
    open->Path = std::move(opened->Path);
    open->RootLength = base.RootLength;
    open->DeleteOnClose = (r.Options & FILE_DELETE_ON_CLOSE) != 0;
    ++file->HandleCount;
    ++volume->Opens;
    opened->Fd = -1;
    *out = open;
    return STATUS_SUCCESS;
}

// Takes an open back out of the table (a create that failed after RegisterOpen).
void UnregisterOpen(PFILE_OBJECT fileObject, HOST_OPEN* open) {
    std::lock_guard lock(TableLock());
    IoRemoveShareAccess(fileObject, &open->File->ShareAccess);
    --open->File->HandleCount;
    close(open->Fd);
    DereferenceFile(open->File);
    ReleaseVolumeOpen(open->Volume);
    FreeOpen(open);
}

// Truncates an overwritten or superseded file, whatever access its open has.
NTSTATUS TruncateOpened(HOST_OPEN* open) {
    int rc = open->CanWrite ? ftruncate(open->Fd, 0) : truncate(DescriptorPath(open->Fd).c_str(), 0);
    return rc == 0 ? STATUS_SUCCESS : StatusFromErrno(errno);
}

// Fills opened with the file the name leads to, creating it when the
// disposition says so. *information receives FILE_OPENED, FILE_CREATED, ...
NTSTATUS OpenOrCreate(const CREATE_REQUEST& r, const CREATE_BASE& base, const std::vector<std::string>& components,
                      bool trailingSlash, OPENED* opened, ULONG_PTR* information) {
    std::string exact = base.Path;
    for (const auto& c : components) exact = JoinPath(exact, c);
    // The exact name first: one open when the caller spells the name as the host does.
    int error = OpenExisting(exact, r, opened);
    for (int attempt = 0; error != 0; ++attempt) {
        if (error != ENOENT && error != ENOTDIR) return StatusFromErrno(error);
        RESOLVED_PATH resolved;
        size_t missingAt;
        NTSTATUS status = ResolvePath(base.Path, components, &resolved, &missingAt);
        if (!NT_SUCCESS(status)) return UncStatus(base, missingAt, status);
        if (resolved.Exists) {
            error = OpenExisting(resolved.Full(), r, opened);
            if (error == ENOTDIR && (r.Options & FILE_DIRECTORY_FILE)) return STATUS_NOT_A_DIRECTORY;
            if (error == ENOENT && MayCreate(r.Disposition) && attempt < kAttempts) continue;  // gone meanwhile
            if (error == ENOENT) return STATUS_OBJECT_NAME_NOT_FOUND;  // a dangling link, or gone meanwhile
            if (error != 0) return StatusFromErrno(error);
            break;
        }
        if (base.Unc && base.Depth + missingAt < 2) return UncStatus(base, missingAt, STATUS_OBJECT_NAME_NOT_FOUND);
        if (r.Disposition == FILE_OPEN || r.Disposition == FILE_OVERWRITE) return STATUS_OBJECT_NAME_NOT_FOUND;
        if (trailingSlash && !(r.Options & FILE_DIRECTORY_FILE)) return STATUS_OBJECT_NAME_INVALID;
        error = CreateNew(resolved.Parent, resolved.Leaf, r, opened);
        if (error == EEXIST && r.Disposition != FILE_CREATE && attempt < kAttempts) {
            error = ENOENT;  // made meanwhile: look again and open it
            continue;
        }
        if (error != 0) return StatusFromErrno(error);
    }
    if (!opened->Created && r.Disposition == FILE_CREATE) return STATUS_OBJECT_NAME_COLLISION;
    int statError = StatEntry(opened->Fd, "", AT_EMPTY_PATH, IsHiddenName(LastComponent(opened->Path)), &opened->Stat);
    if (statError != 0) return StatusFromErrno(statError);
    if (opened->Created) {
        *information = FILE_CREATED;
    } else if (r.Disposition == FILE_SUPERSEDE) {
        *information = FILE_SUPERSEDED;
    } else if (Truncates(r.Disposition)) {
        *information = FILE_OVERWRITTEN;
    } else {
        *information = FILE_OPENED;
    }
    return STATUS_SUCCESS;
}

// SL_OPEN_TARGET_DIRECTORY: opens the directory that would hold the last
// component and leaves that component alone in the file object's name.
NTSTATUS OpenTargetDirectory(const CREATE_REQUEST& r, const CREATE_BASE& base,
                             const std::vector<std::string>& components, OPENED* opened, ULONG_PTR* information) {
    if (components.empty()) return STATUS_OBJECT_NAME_INVALID;
    if (base.Unc && base.Depth + components.size() < 3) return STATUS_OBJECT_NAME_INVALID;
    std::vector<std::string> parent(components.begin(), components.end() - 1);
    RESOLVED_PATH resolved;
    size_t missingAt;
    NTSTATUS status = ResolvePath(base.Path, parent, &resolved, &missingAt);
    if (NT_SUCCESS(status) && !resolved.Exists) status = STATUS_OBJECT_PATH_NOT_FOUND;
    if (!NT_SUCCESS(status)) return UncStatus(base, missingAt, status);
    CREATE_REQUEST asDirectory = r;
    asDirectory.Options = (r.Options & ~FILE_NON_DIRECTORY_FILE) | FILE_DIRECTORY_FILE;
    asDirectory.Options &= ~FILE_DELETE_ON_CLOSE;
    int error = OpenExisting(resolved.Full(), asDirectory, opened);
    if (error == ENOENT || error == ENOTDIR) return STATUS_OBJECT_PATH_NOT_FOUND;
    if (error != 0) return StatusFromErrno(error);
    int statError = StatEntry(opened->Fd, "", AT_EMPTY_PATH, IsHiddenName(LastComponent(opened->Path)), &opened->Stat);
    if (statError != 0) return StatusFromErrno(statError);
    std::string found;
    bool exists = FindEntryNoCase(opened->Path, components.back(), &found, &error);
    *information = exists ? FILE_EXISTS : FILE_DOES_NOT_EXIST;

    // The name keeps only its last component, as the caller gave it.
    UNICODE_STRING& name = r.FileObject->FileName;
    size_t n = name.Length / sizeof(WCHAR);
    while (n > 0 && name.Buffer[n - 1] == u'\\') --n;
    size_t start = n;
    while (start > 0 && name.Buffer[start - 1] != u'\\') --start;
    std::char_traits<char16_t>::move(name.Buffer, name.Buffer + start, n - start);
    name.Length = static_cast<USHORT>((n - start) * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

}  // namespace

// Opens or creates the host file the file object's name leads to and
// attaches a HOST_OPEN (FsContext2) and its HOST_FILE (FsContext).
NTSTATUS CommonCreate(HOST_VOLUME* volume, PIRP irp, ULONG_PTR* information) {
    CREATE_REQUEST r = ReadRequest(irp);
    if (!r.FileObject) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = ValidateRequest(r);
    if (!NT_SUCCESS(status)) return status;
    CREATE_BASE base;
    status = ReadBase(volume, r, &base);
    if (!NT_SUCCESS(status)) return status;
    const UNICODE_STRING& name = r.FileObject->FileName;
    std::vector<std::string> components;
    bool trailingSlash;
    status = SplitName(std::u16string_view(name.Buffer ? name.Buffer : u"", name.Length / sizeof(WCHAR)),
                       &components, &trailingSlash);
    if (!NT_SUCCESS(status)) return status;
    if (base.Unc && base.Depth + components.size() == 0) return STATUS_OBJECT_NAME_INVALID;

    OPENED opened;
    ULONG_PTR result = 0;
    bool root;
    if (r.OpenTarget) {
        root = false;
        status = OpenTargetDirectory(r, base, components, &opened, &result);
    } else {
        root = base.Unc ? base.Depth + components.size() <= 2 : base.Depth + components.size() == 0;
        status = OpenOrCreate(r, base, components, trailingSlash, &opened, &result);
        if (NT_SUCCESS(status) && base.Unc && base.Depth + components.size() <= 2 && !opened.Stat.Directory) {
            status = base.Depth + components.size() == 1 ? STATUS_BAD_NETWORK_PATH : STATUS_BAD_NETWORK_NAME;
        }
        if (NT_SUCCESS(status)) status = CheckOpened(r, trailingSlash, root, &opened);
    }
    HOST_OPEN* open = nullptr;
    if (NT_SUCCESS(status)) status = RegisterOpen(volume, r, base, root, &opened, &open);
    if (NT_SUCCESS(status) && !r.OpenTarget && Truncates(r.Disposition) && !opened.Created) {
        status = TruncateOpened(open);
        if (!NT_SUCCESS(status)) UnregisterOpen(r.FileObject, open);
    }
    if (!NT_SUCCESS(status)) {
        UndoCreate(opened);
        return status;
    }
    r.FileObject->FsContext = open->File;
    r.FileObject->FsContext2 = open;
    *information = result;
    return STATUS_SUCCESS;
}

}  // namespace korin::hostfs

// FileRenameInformation: renames and moves within a volume.
#include "hostfs_internal.h"

#include <fcntl.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdio>

namespace korin::hostfs {

namespace {

// renameat2, falling back to a check and a plain rename on file systems
// that do not know RENAME_NOREPLACE. Returns 0 or an errno.
int RenameHost(const std::string& from, const std::string& to, bool noReplace) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), noReplace ? RENAME_NOREPLACE : 0) == 0) return 0;
    int error = errno;
    if (!noReplace || error != EINVAL) return error;
    struct stat st;
    if (lstat(to.c_str(), &st) == 0) return EEXIST;
    return rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

// The directory and the new name a rename asks for: the opened target
// directory (its file object's name is the new last component), or, without
// one, a bare name in the file's own directory.
NTSTATUS ReadTarget(HOST_OPEN* open, PIRP irp, std::string* directory, std::u16string* name) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT target = stack->Parameters.SetFile.FileObject;
    if (target) {
        auto* targetOpen = static_cast<HOST_OPEN*>(target->FsContext2);
        if (!targetOpen || targetOpen->NodeTypeCode != HOSTFS_NTC_OPEN || targetOpen->Volume != open->Volume) {
            return STATUS_NOT_SAME_DEVICE;
        }
        if (!targetOpen->Directory) return STATUS_INVALID_PARAMETER;
        name->assign(target->FileName.Buffer ? target->FileName.Buffer : u"",
                     target->FileName.Length / sizeof(WCHAR));
        std::lock_guard lock(TableLock());
        *directory = targetOpen->Path;
        return STATUS_SUCCESS;
    }
    ULONG length = stack->Parameters.SetFile.Length;
    auto* info = static_cast<const FILE_RENAME_INFORMATION*>(InfoBuffer(irp, length, false));
    if (!info) return STATUS_INVALID_USER_BUFFER;
    if (info->FileNameLength > length - offsetof(FILE_RENAME_INFORMATION, FileName) || (info->FileNameLength & 1)) {
        return STATUS_INVALID_PARAMETER;
    }
    name->assign(info->FileName, info->FileNameLength / sizeof(WCHAR));
    // A path or a root directory is opened as the target by the I/O manager.
    if (info->RootDirectory || name->find(u'\\') != std::u16string::npos) return STATUS_INVALID_PARAMETER;
    std::lock_guard lock(TableLock());
    *directory = std::string(ParentOf(open->Path));
    return STATUS_SUCCESS;
}

// TRUE when path is directory or lies below it.
bool IsWithin(const std::string& path, const std::string& directory) {
    return path.compare(0, directory.size(), directory) == 0 &&
           (path.size() == directory.size() || path[directory.size()] == '/' || directory == "/");
}

// Makes room for a replacing rename: directories and files open elsewhere
// are not replaced. TableLock held.
NTSTATUS CheckReplaceable(const std::string& existing) {
    struct statx stx;
    if (statx(AT_FDCWD, existing.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_INO, &stx) != 0) {
        return STATUS_SUCCESS;  // gone meanwhile
    }
    if (S_ISDIR(stx.stx_mode)) return STATUS_ACCESS_DENIED;
    HOST_FILE* file = LookupFile(FILE_KEY{makedev(stx.stx_dev_major, stx.stx_dev_minor), stx.stx_ino});
    if (file && file->HandleCount != 0) return STATUS_ACCESS_DENIED;
    return STATUS_SUCCESS;
}

}  // namespace

// Renames the open's file to the new name in the target directory. An
// existing entry equal without case is a collision unless ReplaceIfExists;
// renaming a file to its own name in another case changes the case.
NTSTATUS CommonRename(HOST_OPEN* open, PIRP irp) {
    if (!(open->Granted & DELETE)) return STATUS_ACCESS_DENIED;
    if (open->Root) return STATUS_ACCESS_DENIED;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    bool replace = stack->Parameters.SetFile.ReplaceIfExists;
    std::string directory;
    std::u16string wide;
    NTSTATUS status = ReadTarget(open, irp, &directory, &wide);
    if (!NT_SUCCESS(status)) return status;
    std::string name;
    if (wide.empty() || wide == u"." || wide == u".." || wide.find(u'\\') != std::u16string::npos ||
        !ToHostName(wide, &name)) {
        return STATUS_OBJECT_NAME_INVALID;
    }

    std::lock_guard lock(TableLock());
    const std::string source = open->Path;
    if (IsWithin(directory, source)) return STATUS_INVALID_PARAMETER;  // into itself
    std::string to = JoinPath(directory, name);
    std::string found;
    int error;
    bool exists = FindEntryNoCase(directory, name, &found, &error);
    if (!exists && error != 0) return error == ENOENT || error == ENOTDIR ? STATUS_OBJECT_PATH_NOT_FOUND
                                                                          : StatusFromErrno(error);
    if (exists) {
        std::string existing = JoinPath(directory, found);
        if (existing == source) {
            if (found == name) return STATUS_SUCCESS;  // its own name
            error = RenameHost(source, to, true);      // a change of case
        } else {
            if (!replace) return STATUS_OBJECT_NAME_COLLISION;
            status = CheckReplaceable(existing);
            if (!NT_SUCCESS(status)) return status;
            error = RenameHost(source, existing, false);
            if (error == 0 && found != name && RenameHost(existing, to, true) != 0) to = existing;
        }
    } else {
        error = RenameHost(source, to, !replace);
    }
    if (error != 0) return StatusFromErrno(error);
    RenameOpenPaths(source, to);
    return STATUS_SUCCESS;
}

}  // namespace korin::hostfs

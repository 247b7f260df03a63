// IRP_MJ_DIRECTORY_CONTROL / IRP_MN_QUERY_DIRECTORY: listings of host
// directories in the six directory classes of fileinfo.h.
//
// The first query of an open (and every SL_RESTART_SCAN) reads the names of
// the directory once; queries then walk that list. "." and ".." come first,
// except in a volume root, which has neither, as on NTFS. Entries start at
// 8-byte boundaries; each entry's NextEntryOffset leads to the next one, the
// last one's is 0. An entry's FileIndex is its place in the list, and
// SL_INDEX_SPECIFIED resumes after the entry it names.
#include "hostfs_internal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace korin::hostfs {

struct DIR_ENTRY {
    uint32_t NameOffset;  // in DIR_SCAN::Names
    uint32_t NameLength;
};

struct DIR_SCAN {
    int DirFd = -1;             // the directory opened for reading
    std::vector<char> Names;    // host names, back to back
    std::vector<DIR_ENTRY> Entries;
    size_t Next = 0;            // the entry the next query looks at first
    std::u16string Given;       // the pattern as given; empty: everything matches
    std::u16string Pattern;     // the same, upper-cased
    bool Queried = false;       // a query has been answered (the end is then STATUS_NO_MORE_FILES)
    ~DIR_SCAN() {
        if (DirFd >= 0) close(DirFd);
    }
};

namespace {

// Where a class keeps its name, and its fixed size (the least buffer).
struct CLASS_LAYOUT {
    ULONG NameOffset;
    ULONG Minimum;
};

bool LayoutOf(FILE_INFORMATION_CLASS type, CLASS_LAYOUT* layout) {
    switch (type) {
    case FileDirectoryInformation:
        *layout = {offsetof(FILE_DIRECTORY_INFORMATION, FileName), sizeof(FILE_DIRECTORY_INFORMATION)};
        return true;
    case FileFullDirectoryInformation:
        *layout = {offsetof(FILE_FULL_DIR_INFORMATION, FileName), sizeof(FILE_FULL_DIR_INFORMATION)};
        return true;
    case FileBothDirectoryInformation:
        *layout = {offsetof(FILE_BOTH_DIR_INFORMATION, FileName), sizeof(FILE_BOTH_DIR_INFORMATION)};
        return true;
    case FileNamesInformation:
        *layout = {offsetof(FILE_NAMES_INFORMATION, FileName), sizeof(FILE_NAMES_INFORMATION)};
        return true;
    case FileIdBothDirectoryInformation:
        *layout = {offsetof(FILE_ID_BOTH_DIR_INFORMATION, FileName), sizeof(FILE_ID_BOTH_DIR_INFORMATION)};
        return true;
    case FileIdFullDirectoryInformation:
        *layout = {offsetof(FILE_ID_FULL_DIR_INFORMATION, FileName), sizeof(FILE_ID_FULL_DIR_INFORMATION)};
        return true;
    default:
        return false;
    }
}

void AddEntry(DIR_SCAN* scan, std::string_view name) {
    scan->Entries.push_back({static_cast<uint32_t>(scan->Names.size()), static_cast<uint32_t>(name.size())});
    scan->Names.insert(scan->Names.end(), name.begin(), name.end());
}

std::string_view NameOf(const DIR_SCAN* scan, const DIR_ENTRY& entry) {
    return std::string_view(scan->Names.data() + entry.NameOffset, entry.NameLength);
}

// (Re)reads the list. A pattern without wildcards names one entry: it is
// looked up (exact, then without case) instead of listing everything.
NTSTATUS LoadEntries(HOST_OPEN* open, DIR_SCAN* scan, const std::u16string& given) {
    if (scan->DirFd < 0) {
        scan->DirFd = openat(open->Fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (scan->DirFd < 0) return StatusFromErrno(errno);
    }
    scan->Names.clear();
    scan->Entries.clear();
    scan->Next = 0;
    if (!open->Root) {
        AddEntry(scan, ".");
        AddEntry(scan, "..");
    }
    UNICODE_STRING pattern{static_cast<USHORT>(given.size() * sizeof(WCHAR)),
                           static_cast<USHORT>(given.size() * sizeof(WCHAR)), const_cast<PWSTR>(given.data())};
    std::string single;
    if (!given.empty() && !FsRtlDoesNameContainWildCards(&pattern)) {
        if (!ToHostName(given, &single) || single == "." || single == "..") return STATUS_SUCCESS;
        struct stat st;
        if (fstatat(scan->DirFd, single.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            AddEntry(scan, single);
            return STATUS_SUCCESS;
        }
        std::u16string wide;
        int error = ForEachName(scan->DirFd, [&](std::string_view name) {
            ToWideName(name, &wide);
            if (!EqualNoCase(wide, given)) return true;
            AddEntry(scan, name);
            return false;
        });
        return error ? StatusFromErrno(error) : STATUS_SUCCESS;
    }
    int error = ForEachName(scan->DirFd, [&](std::string_view name) {
        AddEntry(scan, name);
        return true;
    });
    return error ? StatusFromErrno(error) : STATUS_SUCCESS;
}

// Stats an entry for the listing. FALSE when it has gone since the names
// were read; an entry that cannot be stat'ed otherwise is listed plain.
bool StatListed(const DIR_SCAN* scan, std::string_view name, HOST_STAT* st) {
    std::string host(name);
    bool hidden = IsHiddenName(name);
    int error = name == "." ? StatEntry(scan->DirFd, "", AT_EMPTY_PATH, false, st)
                            : StatEntry(scan->DirFd, host.c_str(), 0, hidden, st);
    if (error == ENOENT) error = StatEntry(scan->DirFd, host.c_str(), AT_SYMLINK_NOFOLLOW, hidden, st);  // a dangling link
    if (error == ENOENT) return false;
    if (error != 0) {
        std::memset(st, 0, sizeof(*st));
        st->Attributes = FILE_ATTRIBUTE_NORMAL;
    }
    return true;
}

template <typename T>
void FillTimes(T* e, const HOST_STAT& st) {
    e->CreationTime.QuadPart = st.CreationTime;
    e->LastAccessTime.QuadPart = st.LastAccessTime;
    e->LastWriteTime.QuadPart = st.LastWriteTime;
    e->ChangeTime.QuadPart = st.ChangeTime;
    e->EndOfFile.QuadPart = st.EndOfFile;
    e->AllocationSize.QuadPart = st.AllocationSize;
    e->FileAttributes = st.Attributes;
}

// Builds one entry (NextEntryOffset 0) in an aligned scratch block: the
// fixed part, then the name. EaSize, short names and anything not named
// stay 0; FileId is the inode.
void BuildEntry(FILE_INFORMATION_CLASS type, const CLASS_LAYOUT& layout, ULONG index, const HOST_STAT& st,
                const std::u16string& name, char* scratch) {
    std::memset(scratch, 0, layout.NameOffset);
    ULONG nameBytes = static_cast<ULONG>(name.size() * sizeof(WCHAR));
    LONGLONG id = static_cast<LONGLONG>(st.Stx.stx_ino);
    switch (type) {
    case FileDirectoryInformation: {
        auto* e = reinterpret_cast<FILE_DIRECTORY_INFORMATION*>(scratch);
        FillTimes(e, st);
        e->FileIndex = index;
        e->FileNameLength = nameBytes;
        break;
    }
    case FileFullDirectoryInformation: {
        auto* e = reinterpret_cast<FILE_FULL_DIR_INFORMATION*>(scratch);
        FillTimes(e, st);
        e->FileIndex = index;
        e->FileNameLength = nameBytes;
        break;
    }
    case FileBothDirectoryInformation: {
        auto* e = reinterpret_cast<FILE_BOTH_DIR_INFORMATION*>(scratch);
        FillTimes(e, st);
        e->FileIndex = index;
        e->FileNameLength = nameBytes;
        break;
    }
    case FileNamesInformation: {
        auto* e = reinterpret_cast<FILE_NAMES_INFORMATION*>(scratch);
        e->FileIndex = index;
        e->FileNameLength = nameBytes;
        break;
    }
    case FileIdBothDirectoryInformation: {
        auto* e = reinterpret_cast<FILE_ID_BOTH_DIR_INFORMATION*>(scratch);
        FillTimes(e, st);
        e->FileIndex = index;
        e->FileNameLength = nameBytes;
        e->FileId.QuadPart = id;
        break;
    }
    case FileIdFullDirectoryInformation: {
        auto* e = reinterpret_cast<FILE_ID_FULL_DIR_INFORMATION*>(scratch);
        FillTimes(e, st);
        e->FileIndex = index;
        e->FileNameLength = nameBytes;
        e->FileId.QuadPart = id;
        break;
    }
    default:
        break;
    }
    std::memcpy(scratch + layout.NameOffset, name.data(), nameBytes);
}

// The open's enumeration state, made by its first query.
DIR_SCAN* ScanOf(HOST_OPEN* open) {
    if (!open->Scan) {
        void* block = ExAllocatePoolWithTag(NonPagedPool, sizeof(DIR_SCAN), TAG_SCAN);
        if (!block) return nullptr;
        open->Scan = new (block) DIR_SCAN;
    }
    return open->Scan;
}

constexpr ULONG Align8(ULONG n) { return (n + 7) & ~7u; }

}  // namespace

void FreeScan(HOST_OPEN* open) {
    if (!open->Scan) return;
    open->Scan->~DIR_SCAN();
    ExFreePoolWithTag(open->Scan, TAG_SCAN);
    open->Scan = nullptr;
}

// Fills the caller's buffer with as many matching entries as fit (one with
// SL_RETURN_SINGLE_ENTRY). STATUS_NO_SUCH_FILE when the first query finds
// nothing, STATUS_NO_MORE_FILES at the end afterwards; when not even the
// first entry's name fits, its fixed part and what fits of the name with
// STATUS_BUFFER_OVERFLOW, and the entry stays next.
NTSTATUS CommonDirectoryControl(HOST_OPEN* open, PIRP irp, ULONG_PTR* information) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction != IRP_MN_QUERY_DIRECTORY) return STATUS_INVALID_DEVICE_REQUEST;
    if (!open->Directory) return STATUS_INVALID_PARAMETER;
    const auto& query = stack->Parameters.QueryDirectory;
    CLASS_LAYOUT layout;
    if (!LayoutOf(query.FileInformationClass, &layout)) return STATUS_INVALID_PARAMETER;
    if (query.Length < layout.Minimum) return STATUS_INFO_LENGTH_MISMATCH;
    auto* out = static_cast<char*>(OutputBuffer(irp, query.Length));
    if (!out) return STATUS_INVALID_USER_BUFFER;

    std::lock_guard scanLock(open->ScanLock);
    DIR_SCAN* scan = ScanOf(open);
    if (!scan) return STATUS_INSUFFICIENT_RESOURCES;
    bool first = !scan->Queried;
    if (first || (stack->Flags & SL_RESTART_SCAN)) {
        // The first query's pattern holds for the handle; a restart may give a new one.
        if (query.FileName && query.FileName->Length) {
            scan->Given.assign(query.FileName->Buffer, query.FileName->Length / sizeof(WCHAR));
            if (scan->Given == u"*") scan->Given.clear();
            scan->Pattern = scan->Given;
            UpcaseName(&scan->Pattern);
        }
        NTSTATUS status = LoadEntries(open, scan, scan->Given);
        if (!NT_SUCCESS(status)) return status;
    }
    if (stack->Flags & SL_INDEX_SPECIFIED) scan->Next = static_cast<size_t>(query.FileIndex) + 1;
    scan->Queried = true;

    UNICODE_STRING pattern{static_cast<USHORT>(scan->Pattern.size() * sizeof(WCHAR)),
                           static_cast<USHORT>(scan->Pattern.size() * sizeof(WCHAR)), scan->Pattern.data()};
    const bool namesOnly = query.FileInformationClass == FileNamesInformation;
    const bool single = (stack->Flags & SL_RETURN_SINGLE_ENTRY) != 0;
    alignas(8) char scratch[sizeof(FILE_ID_BOTH_DIR_INFORMATION) + 1024 * sizeof(WCHAR)];
    std::u16string name;
    HOST_STAT st{};
    ULONG position = 0, used = 0;
    LONG last = -1;
    NTSTATUS status = STATUS_SUCCESS;
    for (; scan->Next < scan->Entries.size(); ++scan->Next) {
        std::string_view host = NameOf(scan, scan->Entries[scan->Next]);
        ToWideName(host, &name);
        UNICODE_STRING wide{static_cast<USHORT>(name.size() * sizeof(WCHAR)),
                            static_cast<USHORT>(name.size() * sizeof(WCHAR)), name.data()};
        if (!scan->Pattern.empty() &&
            !FsRtlIsNameInExpression(&pattern, &wide, TRUE, const_cast<PWCHAR>(korin::rtl::UpcaseTable()))) {
            continue;
        }
        if (!namesOnly && !StatListed(scan, host, &st)) continue;
        ULONG size = layout.NameOffset + wide.Length;
        if (size > sizeof(scratch)) continue;  // longer than any host name can be
        BuildEntry(query.FileInformationClass, layout, static_cast<ULONG>(scan->Next), st, name, scratch);
        if (position + size > query.Length) {
            if (last < 0) {
                // Not even one name fits: what fits of it, and it stays next.
                std::memcpy(out, scratch, query.Length);
                used = query.Length;
                status = STATUS_BUFFER_OVERFLOW;
            }
            break;
        }
        std::memcpy(out + position, scratch, size);
        if (last >= 0) {
            ULONG next = position - static_cast<ULONG>(last);
            std::memcpy(out + last, &next, sizeof(next));
        }
        last = static_cast<LONG>(position);
        used = position + size;
        position = Align8(used);
        if (single) {
            ++scan->Next;
            break;
        }
        if (position >= query.Length) {
            ++scan->Next;
            break;
        }
    }
    if (used == 0) return first ? STATUS_NO_SUCH_FILE : STATUS_NO_MORE_FILES;
    *information = used;
    return status;
}

}  // namespace korin::hostfs

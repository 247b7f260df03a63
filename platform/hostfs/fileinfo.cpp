// IRP_MJ_QUERY_INFORMATION: what a host file's stat says, in the record
// layouts of fileinfo.h.
#include "hostfs_internal.h"

#include <cstring>

namespace korin::hostfs {

namespace {

void FillBasic(const HOST_STAT& st, FILE_BASIC_INFORMATION* out) {
    out->CreationTime.QuadPart = st.CreationTime;
    out->LastAccessTime.QuadPart = st.LastAccessTime;
    out->LastWriteTime.QuadPart = st.LastWriteTime;
    out->ChangeTime.QuadPart = st.ChangeTime;
    out->FileAttributes = st.Attributes;
}

void FillStandard(const HOST_OPEN* open, const HOST_STAT& st, FILE_STANDARD_INFORMATION* out) {
    out->AllocationSize.QuadPart = st.AllocationSize;
    out->EndOfFile.QuadPart = st.EndOfFile;
    out->NumberOfLinks = st.Directory ? 1 : static_cast<ULONG>(st.Stx.stx_nlink);
    {
        std::lock_guard lock(TableLock());
        out->DeletePending = open->File->DeletePending;
    }
    out->Directory = st.Directory;
}

void FillNetworkOpen(const HOST_STAT& st, FILE_NETWORK_OPEN_INFORMATION* out) {
    out->CreationTime.QuadPart = st.CreationTime;
    out->LastAccessTime.QuadPart = st.LastAccessTime;
    out->LastWriteTime.QuadPart = st.LastWriteTime;
    out->ChangeTime.QuadPart = st.ChangeTime;
    out->AllocationSize.QuadPart = st.AllocationSize;
    out->EndOfFile.QuadPart = st.EndOfFile;
    out->FileAttributes = st.Attributes;
}

// The open's name as the volume shows it: "\Work\Docs\plan.txt", "\" for the
// root; on UNC "\server\share\a.doc".
std::u16string VolumeName(const HOST_OPEN* open) {
    std::string relative;
    {
        std::lock_guard lock(TableLock());
        relative = open->Path.substr(open->RootLength);
    }
    std::u16string name;
    ToWideName(relative, &name);
    for (auto& c : name) {
        if (c == u'/') c = u'\\';
    }
    if (name.empty()) name.push_back(u'\\');
    return name;
}

// Writes a FILE_NAME_INFORMATION into room bytes; FileNameLength is the full
// length. STATUS_BUFFER_OVERFLOW when the name was cut.
NTSTATUS FillName(const HOST_OPEN* open, FILE_NAME_INFORMATION* out, ULONG room, ULONG* used) {
    std::u16string name = VolumeName(open);
    ULONG bytes = static_cast<ULONG>(name.size() * sizeof(WCHAR));
    ULONG space = room - offsetof(FILE_NAME_INFORMATION, FileName);
    ULONG copied = bytes < space ? bytes : space & ~1u;
    out->FileNameLength = bytes;
    std::memcpy(out->FileName, name.data(), copied);
    *used = offsetof(FILE_NAME_INFORMATION, FileName) + copied;
    return copied < bytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

ULONG ModeOf(PFILE_OBJECT fileObject) {
    if (!(fileObject->Flags & FO_SYNCHRONOUS_IO)) return 0;
    return (fileObject->Flags & FO_ALERTABLE_IO) ? FILE_SYNCHRONOUS_IO_ALERT : FILE_SYNCHRONOUS_IO_NONALERT;
}

// The fixed size each class needs.
ULONG MinimumLength(FILE_INFORMATION_CLASS type) {
    switch (type) {
    case FileBasicInformation:
        return sizeof(FILE_BASIC_INFORMATION);
    case FileStandardInformation:
        return sizeof(FILE_STANDARD_INFORMATION);
    case FileInternalInformation:
        return sizeof(FILE_INTERNAL_INFORMATION);
    case FileEaInformation:
        return sizeof(FILE_EA_INFORMATION);
    case FileAccessInformation:
        return sizeof(FILE_ACCESS_INFORMATION);
    case FileNameInformation:
        return sizeof(FILE_NAME_INFORMATION);
    case FilePositionInformation:
        return sizeof(FILE_POSITION_INFORMATION);
    case FileModeInformation:
        return sizeof(FILE_MODE_INFORMATION);
    case FileAlignmentInformation:
        return sizeof(FILE_ALIGNMENT_INFORMATION);
    case FileAllInformation:
        return sizeof(FILE_ALL_INFORMATION);
    case FileNetworkOpenInformation:
        return sizeof(FILE_NETWORK_OPEN_INFORMATION);
    case FileAttributeTagInformation:
        return sizeof(FILE_ATTRIBUTE_TAG_INFORMATION);
    default:
        return 0;
    }
}

}  // namespace

// Fills the class asked for. STATUS_INVALID_PARAMETER for a class not
// served, STATUS_INFO_LENGTH_MISMATCH for a buffer below its fixed size,
// STATUS_BUFFER_OVERFLOW when only a name did not fit.
NTSTATUS CommonQueryInformation(HOST_OPEN* open, PIRP irp, ULONG_PTR* information) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    FILE_INFORMATION_CLASS type = stack->Parameters.QueryFile.FileInformationClass;
    ULONG length = stack->Parameters.QueryFile.Length;
    ULONG minimum = MinimumLength(type);
    if (minimum == 0) return STATUS_INVALID_PARAMETER;
    if (length < minimum) return STATUS_INFO_LENGTH_MISMATCH;
    void* buffer = InfoBuffer(irp, length, true);
    if (!buffer) return STATUS_INVALID_USER_BUFFER;
    PFILE_OBJECT fileObject = stack->FileObject;

    HOST_STAT st;
    bool needsStat = type == FileBasicInformation || type == FileStandardInformation ||
                     type == FileNetworkOpenInformation || type == FileAttributeTagInformation ||
                     type == FileAllInformation || type == FileInternalInformation;
    if (needsStat) {
        int error = StatOpen(open, &st);
        if (error != 0) return StatusFromErrno(error);
    }
    NTSTATUS status = STATUS_SUCCESS;
    ULONG used = minimum;
    switch (type) {
    case FileBasicInformation:
        FillBasic(st, static_cast<FILE_BASIC_INFORMATION*>(buffer));
        break;
    case FileStandardInformation:
        FillStandard(open, st, static_cast<FILE_STANDARD_INFORMATION*>(buffer));
        break;
    case FileInternalInformation:
        static_cast<FILE_INTERNAL_INFORMATION*>(buffer)->IndexNumber.QuadPart = static_cast<LONGLONG>(st.Stx.stx_ino);
        break;
    case FileEaInformation:
        static_cast<FILE_EA_INFORMATION*>(buffer)->EaSize = 0;
        break;
    case FileAccessInformation:
        static_cast<FILE_ACCESS_INFORMATION*>(buffer)->AccessFlags = open->Granted;
        break;
    case FileNameInformation:
        status = FillName(open, static_cast<FILE_NAME_INFORMATION*>(buffer), length, &used);
        break;
    case FilePositionInformation:
        static_cast<FILE_POSITION_INFORMATION*>(buffer)->CurrentByteOffset = fileObject->CurrentByteOffset;
        break;
    case FileModeInformation:
        static_cast<FILE_MODE_INFORMATION*>(buffer)->Mode = ModeOf(fileObject);
        break;
    case FileAlignmentInformation:
        static_cast<FILE_ALIGNMENT_INFORMATION*>(buffer)->AlignmentRequirement = 0;
        break;
    case FileNetworkOpenInformation:
        FillNetworkOpen(st, static_cast<FILE_NETWORK_OPEN_INFORMATION*>(buffer));
        break;
    case FileAttributeTagInformation: {
        auto* tag = static_cast<FILE_ATTRIBUTE_TAG_INFORMATION*>(buffer);
        tag->FileAttributes = st.Attributes;
        tag->ReparseTag = 0;
        break;
    }
    case FileAllInformation: {
        auto* all = static_cast<FILE_ALL_INFORMATION*>(buffer);
        FillBasic(st, &all->BasicInformation);
        FillStandard(open, st, &all->StandardInformation);
        all->InternalInformation.IndexNumber.QuadPart = static_cast<LONGLONG>(st.Stx.stx_ino);
        all->EaInformation.EaSize = 0;
        all->AccessInformation.AccessFlags = open->Granted;
        all->PositionInformation.CurrentByteOffset = fileObject->CurrentByteOffset;
        all->ModeInformation.Mode = ModeOf(fileObject);
        all->AlignmentInformation.AlignmentRequirement = 0;
        ULONG nameUsed;
        status = FillName(open, &all->NameInformation, length - offsetof(FILE_ALL_INFORMATION, NameInformation),
                          &nameUsed);
        used = offsetof(FILE_ALL_INFORMATION, NameInformation) + nameUsed;
        break;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
    *information = used;
    return status;
}

}  // namespace korin::hostfs

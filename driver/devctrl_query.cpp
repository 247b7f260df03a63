// IOCTL_QUERY_ITEM_TYPE and IOCTL_GET_DEVICE_NAME: the two requests that
// answer with their own output and change nothing.

#include "devctrl_support.h"
#include "drive.h"

#include <cstring>
#include <mutex>

namespace {

// What path (checked, on the drive of its letter) names. The drive's lock is
// taken by ResolvePath for the walk; a node's Target is set when the node is
// made and never changes, so reading it afterwards is safe.
ItemType ItemTypeOf(PUNICODE_STRING path) {
    if (path->Length <= 3 * sizeof(WCHAR)) return ItemDriveRoot;
    UNICODE_STRING remainder{};
    TREE_NODE* node = nullptr;
    if (!NT_SUCCESS(ResolvePath(path, &remainder, &node))) return ItemNone;
    if (remainder.Length != 0) return ItemNotFound;
    if (node->Parent == nullptr) return ItemDriveRoot;
    if (node->Target == nullptr) return ItemFolder;
    const PUNICODE_STRING target = node->Target;
    const USHORT chars = target->Length / sizeof(WCHAR);
    return chars != 0 && target->Buffer[chars - 1] == u'\\' ? ItemFolderMapping : ItemFileMapping;
}

}  // namespace

// Input: a path (filling the input exactly). Output: the item-type word,
// completion STATUS_SUCCESS. A first character that is not a letter (a UNC
// path, say) or a letter without drive answers ItemNone; on a drive, a path
// that is not drive-qualified ("K:x", "K:\\a", a lone "K") is refused with
// STATUS_OBJECT_PATH_SYNTAX_BAD, as is an empty or odd-length input.
NTSTATUS ControlQueryItemType(PIRP irp) {
    const CONTROL_BUFFER request = ControlBufferOf(irp);
    if (request.OutputLength < CONTROL_WORD_SIZE) return RefuseShortOutput(irp);
    if (request.InputLength == 0 || request.InputLength % sizeof(WCHAR) != 0) {
        irp->IoStatus.Information = 0;
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }

    const PWSTR chars = reinterpret_cast<PWSTR>(request.Buffer);
    chars[0] = FoldLetter(chars[0]);
    std::shared_lock requests(ControlRequestLock);
    if (!IsDriveLetter(chars[0]) || VcbFromLetter(chars[0]) == nullptr) {
        WriteControlWord(irp, ItemNone);
        return STATUS_SUCCESS;
    }
    UNICODE_STRING path{};
    NTSTATUS status = CheckControlPath(chars, request.InputLength, &path);
    if (!NT_SUCCESS(status)) {
        irp->IoStatus.Information = 0;
        return status;
    }
    WriteControlWord(irp, ItemTypeOf(&path));
    return STATUS_SUCCESS;
}

// Input: a letter, 2 bytes. Output: the volume device name ("\Device\KTDrive"
// and the instance number) without NUL; Information is its length in bytes.
// STATUS_INFO_LENGTH_MISMATCH for another input size, STATUS_INVALID_PARAMETER
// for a letter outside A-Z/a-z, STATUS_NO_SUCH_DEVICE for a letter without
// drive, STATUS_BUFFER_TOO_SMALL when the output cannot hold the name.
NTSTATUS ControlGetDeviceName(PIRP irp) {
    const CONTROL_BUFFER request = ControlBufferOf(irp);
    irp->IoStatus.Information = 0;
    if (request.InputLength != sizeof(WCHAR)) return STATUS_INFO_LENGTH_MISMATCH;
    WCHAR letter;
    std::memcpy(&letter, request.Buffer, sizeof letter);
    if (!IsDriveLetter(letter)) return STATUS_INVALID_PARAMETER;

    std::shared_lock requests(ControlRequestLock);
    VCB* vcb = VcbFromLetter(letter);
    if (vcb == nullptr) return STATUS_NO_SUCH_DEVICE;
    UNICODE_STRING name{};
    NTSTATUS status = BuildVolumeDeviceName(&vcb->InstanceName, &name);
    if (!NT_SUCCESS(status)) return status;
    if (name.Length > request.OutputLength) {
        status = STATUS_BUFFER_TOO_SMALL;
    } else {
        std::memcpy(request.Buffer, name.Buffer, name.Length);
        irp->IoStatus.Information = name.Length;
    }
    ExFreePoolWithTag(name.Buffer, TAG_DEVICE_NAME);
    return status;
}

// The life of a drive: mounting a stored drive (start-up and create), and the
// drive requests that create, delete, move and rename drives.
//
// Lock order: DriveRequestLock (this file), then a drive's MainResource, then
// DriveTableLock (held only for the slot reads and writes themselves).
#include "drive.h"
#include "store.h"

#include <cstring>
#include <mutex>

namespace {

// Serialises the drive requests against each other: a create reads and
// raises "NextInstance", and every one of them rewrites DriveTable slots,
// links and the Drive key's values.
std::mutex DriveRequestLock;

constexpr WCHAR kDevicePrefix[] = u"\\Device\\KTDrive";
constexpr USHORT kDevicePrefixBytes = sizeof kDevicePrefix - sizeof(WCHAR);  // 30
static_assert(kDevicePrefixBytes == 30);
UNICODE_STRING NextInstanceName = RTL_CONSTANT_STRING(u"NextInstance");

// "\??\X:" for a letter, in the caller's buffer.
struct LetterLink {
    explicit LetterLink(WCHAR upperLetter) : text{u'\\', u'?', u'?', u'\\', upperLetter, u':', 0} {
        MakeString(&name, 12, text);
    }
    WCHAR text[7];
    UNICODE_STRING name;
};

WCHAR UpperLetter(WCHAR letter) { return static_cast<WCHAR>(u'A' + DriveIndex(letter)); }

// Sets up a fresh VCB in device's extension: header, signature, resource,
// notification sync, root FCB (0x0504) and root node named "\", the display
// name and the instance name (own "QStr" copies). On failure everything it
// set up is taken down again and the status returned.
NTSTATUS InitializeVcb(VCB* vcb, PDEVICE_OBJECT device, PUNICODE_STRING instanceName, const UCHAR* name,
                       USHORT nameLength) {
    std::memset(vcb, 0, sizeof *vcb);
    vcb->Header.NodeTypeCode = KR_NTC_VCB;
    vcb->Header.NodeByteSize = sizeof(VCB);
    std::memcpy(vcb->Signature, "VCB:", 4);
    vcb->Size = sizeof(VCB);
    vcb->VolumeDevice = device;
    if (!NT_SUCCESS(ExInitializeResourceLite(&vcb->MainResource))) return STATUS_INSUFFICIENT_RESOURCES;

    NTSTATUS status = STATUS_SUCCESS;
    try {
        FsRtlNotifyInitializeSync(&vcb->NotifySync);
    } catch (const NtStatusException& e) {
        status = e.status();
    }
    if (NT_SUCCESS(status)) {
        FCB* fcb = AllocateFcb(vcb);
        if (fcb) {
            fcb->Header.NodeTypeCode = KR_NTC_ROOT_FCB;
            vcb->RootFcb = fcb;
        } else {
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    TREE_NODE* root = nullptr;
    if (NT_SUCCESS(status)) status = AllocateTreeNode(&root);
    if (NT_SUCCESS(status)) {
        NameRootNode(root);
        root->Fcb = vcb->RootFcb;
        vcb->RootFcb->Node = root;
        status = DuplicateBytes(&vcb->DriveName, nameLength, name);
    }
    if (NT_SUCCESS(status)) status = DuplicateBytes(&vcb->InstanceName, instanceName->Length, instanceName->Buffer);
    if (!NT_SUCCESS(status)) DismantleVcb(vcb);
    return status;
}

// Builds the drive described by a DriveRecord's bytes: volume device
// "\Device\KTDrive<n>" with its VCB and root, the letter link when makeLink,
// and the DriveTable slot of the letter folded to upper case. The slot is
// filled last, so no request finds a drive that is not yet complete. On
// failure nothing of it is left and the status says why.
NTSTATUS MountRecord(const UCHAR* record, ULONG recordLength, PUNICODE_STRING instanceName, TREE_NODE** root,
                     BOOLEAN makeLink) {
    if (recordLength < 4) return STATUS_INVALID_PARAMETER;
    WCHAR letter;
    USHORT nameLength;
    std::memcpy(&letter, record, 2);
    std::memcpy(&nameLength, record + 2, 2);
    const int index = DriveIndex(letter);
    if (index < 0 || 4u + nameLength > recordLength) return STATUS_INVALID_PARAMETER;

    UNICODE_STRING deviceName;
    NTSTATUS status = BuildVolumeDeviceName(instanceName, &deviceName);
    if (!NT_SUCCESS(status)) return status;
    PDEVICE_OBJECT device;
    status = IoCreateDevice(KrGlobal.DriverObject, sizeof(VCB), &deviceName, FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE,
                            &device);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(deviceName.Buffer, TAG_DEVICE_NAME);
        return status;
    }
    auto* vcb = static_cast<VCB*>(device->DeviceExtension);
    status = InitializeVcb(vcb, device, instanceName, record + 4, nameLength);
    const bool built = NT_SUCCESS(status);
    if (built) device->Flags &= ~DO_DEVICE_INITIALIZING;  // complete before a link or slot leads to it
    LetterLink link(UpperLetter(letter));
    bool linked = false;
    if (built && makeLink) {
        status = IoCreateSymbolicLink(&link.name, &deviceName);
        linked = NT_SUCCESS(status);
    }
    ExFreePoolWithTag(deviceName.Buffer, TAG_DEVICE_NAME);
    if (NT_SUCCESS(status)) {
        std::unique_lock slots(DriveTableLock);
        if (KrGlobal.DriveTable[index])
            status = STATUS_OBJECT_NAME_COLLISION;  // two stored drives on one letter: the first keeps it
        else
            KrGlobal.DriveTable[index] = vcb;
    }
    if (!NT_SUCCESS(status)) {
        if (linked) IoDeleteSymbolicLink(&link.name);
        if (built) DismantleVcb(vcb);
        IoDeleteDevice(device);
        return status;
    }
    *root = vcb->RootFcb->Node;
    return STATUS_SUCCESS;
}

// MountDrive with the reason of a failure: reads the DriveRecord value
// instanceName of driveKey into a pool buffer of its exact size (tag "QVol")
// and builds the drive from it.
NTSTATUS MountStoredDrive(HANDLE driveKey, PUNICODE_STRING instanceName, TREE_NODE** root, BOOLEAN makeLink) {
    ULONG size = 0;
    NTSTATUS status = ZwQueryValueKey(driveKey, instanceName, KeyValuePartialInformation, nullptr, 0, &size);
    if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW) return status;
    auto* info = static_cast<KEY_VALUE_PARTIAL_INFORMATION*>(ExAllocatePoolWithTag(NonPagedPool, size, TAG_VOLUME_QUERY));
    if (!info) return STATUS_INSUFFICIENT_RESOURCES;
    status = ZwQueryValueKey(driveKey, instanceName, KeyValuePartialInformation, info, size, &size);
    if (NT_SUCCESS(status)) status = MountRecord(info->Data, info->DataLength, instanceName, root, makeLink);
    ExFreePoolWithTag(info, TAG_VOLUME_QUERY);
    return status;
}

// The number a name stands for when it is all decimal digits and fits 32
// bits: the names of drive subkeys, DriveRecord values and instance names.
bool ParseInstance(PCUNICODE_STRING name, ULONG* number) {
    const USHORT units = name->Length / sizeof(WCHAR);
    if (units == 0 || units > 10) return false;
    uint64_t value = 0;
    for (USHORT i = 0; i < units; ++i) {
        WCHAR c = name->Buffer[i];
        if (c < u'0' || c > u'9') return false;
        value = value * 10 + (c - u'0');
    }
    if (value > 0xFFFFFFFFu) return false;
    *number = static_cast<ULONG>(value);
    return true;
}

// "NextInstance" of the Drive key, when it is there as a REG_DWORD.
bool ReadNextInstance(HANDLE driveKey, ULONG* next) {
    alignas(8) UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
    ULONG size;
    NTSTATUS status = ZwQueryValueKey(driveKey, &NextInstanceName, KeyValuePartialInformation, buffer, sizeof buffer, &size);
    auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    if (!NT_SUCCESS(status) || info->Type != REG_DWORD || info->DataLength != sizeof(ULONG)) return false;
    std::memcpy(next, info->Data, sizeof(ULONG));
    return true;
}

// The instance number for a new drive: "NextInstance" when it is readable
// and no drive uses it; otherwise one above every number in use, and never
// below "NextInstance". In use: the names of the Drive key's subkeys and
// values, and the instance of every volume device of the driver, deleted
// drives' devices included (their names stay taken while the driver runs).
ULONG ChooseInstance(HANDLE driveKey, bool readable, ULONG next) {
    bool nextUsed = false, anyUsed = false;
    ULONG highest = 0;
    auto note = [&](PCUNICODE_STRING name) {
        ULONG number;
        if (!ParseInstance(name, &number)) return;
        nextUsed |= readable && number == next;
        if (!anyUsed || number > highest) highest = number;
        anyUsed = true;
    };
    alignas(8) UCHAR fixed[64];
    RegistryBuffer buffer(fixed, sizeof fixed);
    UNICODE_STRING name;
    for (ULONG index = 0; NT_SUCCESS(EnumerateSubkeyName(driveKey, index, buffer, &name)); ++index) note(&name);
    for (ULONG index = 0;; ++index) {
        NTSTATUS status = buffer.Run([&](PVOID info, ULONG length, PULONG needed) {
            return ZwEnumerateValueKey(driveKey, index, KeyValueBasicInformation, info, length, needed);
        });
        if (!NT_SUCCESS(status)) break;
        auto* info = static_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer.Data());
        if (info->NameLength > 0xFFFE) continue;
        MakeString(&name, static_cast<USHORT>(info->NameLength), info->Name);
        note(&name);
    }
    for (PDEVICE_OBJECT device = KrGlobal.DriverObject->DeviceObject; device; device = device->NextDevice)
        if (device != KrGlobal.ControlDevice && IsVcb(device->DeviceExtension))
            note(&static_cast<VCB*>(device->DeviceExtension)->InstanceName);

    if (readable && !nextUsed) return next;
    ULONG chosen = anyUsed ? highest + 1 : 0;
    return readable && next > chosen ? next : chosen;
}

// Holds a drive's MainResource for a scope, inside a critical region.
class DriveHold {
public:
    DriveHold(VCB* vcb, bool exclusive) : vcb_(vcb) {
        KeEnterCriticalRegion();
        if (exclusive)
            ExAcquireResourceExclusiveLite(&vcb_->MainResource, TRUE);
        else
            ExAcquireResourceSharedLite(&vcb_->MainResource, TRUE);
    }
    ~DriveHold() {
        ExReleaseResourceLite(&vcb_->MainResource);
        KeLeaveCriticalRegion();
    }
    DriveHold(const DriveHold&) = delete;
    DriveHold& operator=(const DriveHold&) = delete;

private:
    VCB* vcb_;
};

}  // namespace

// Frees everything a VCB owns: its tree with every FCB, its names, its
// notification sync and its resource. The device itself is the caller's.
void DismantleVcb(VCB* vcb) {
    if (vcb->RootFcb) {
        if (vcb->RootFcb->Node)
            FreeNodeTree(vcb->RootFcb->Node);  // the root FCB goes with its node
        else
            FreeFcb(vcb->RootFcb);
        vcb->RootFcb = nullptr;
    }
    if (vcb->DriveName.Buffer) ExFreePoolWithTag(vcb->DriveName.Buffer, 0);  // a "QStr" copy, whoever set it
    if (vcb->InstanceName.Buffer) ExFreePoolWithTag(vcb->InstanceName.Buffer, TAG_BYTES);
    vcb->DriveName = vcb->InstanceName = UNICODE_STRING{0, 0, nullptr};
    if (vcb->NotifySync) FsRtlNotifyUninitializeSync(&vcb->NotifySync);
    ExDeleteResourceLite(&vcb->MainResource);
}

NTSTATUS BuildVolumeDeviceName(PUNICODE_STRING instanceName, PUNICODE_STRING deviceName) {
    const size_t total = kDevicePrefixBytes + instanceName->Length;
    if (total > 0xFFFE) return STATUS_NAME_TOO_LONG;
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, total, TAG_DEVICE_NAME));
    if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer, kDevicePrefix, kDevicePrefixBytes);
    if (instanceName->Length)
        std::memcpy(reinterpret_cast<char*>(buffer) + kDevicePrefixBytes, instanceName->Buffer, instanceName->Length);
    MakeString(deviceName, static_cast<USHORT>(total), buffer);
    return STATUS_SUCCESS;
}

// Mounts the drive whose DriveRecord is value instanceName of driveKey (see
// MountRecord). Always STATUS_SUCCESS: a drive that cannot be mounted is
// absent and root is left unchanged.
NTSTATUS MountDrive(HANDLE driveKey, PUNICODE_STRING instanceName, TREE_NODE** root, BOOLEAN makeLink) {
    MountStoredDrive(driveKey, instanceName, root, makeLink);
    return STATUS_SUCCESS;
}

// Creates a drive from a DriveRecord's bytes: a new instance number, its
// empty folder key, the record stored unchanged as its value, the mounted
// drive (no letter link: the caller defines the letter), and "NextInstance"
// raised past it. Returns STATUS_INVALID_PARAMETER for a malformed record or
// a non-letter, STATUS_OBJECT_NAME_COLLISION when the letter already has a
// drive, and otherwise the first failing status of the steps; a failed
// create leaves neither registry entries nor memory behind.
NTSTATUS CreateDrive(const void* driveRecord, ULONG length) {
    if (!driveRecord || length < 4) return STATUS_INVALID_PARAMETER;
    WCHAR letter;
    USHORT nameLength;
    std::memcpy(&letter, driveRecord, 2);
    std::memcpy(&nameLength, static_cast<const UCHAR*>(driveRecord) + 2, 2);
    if (DriveIndex(letter) < 0 || 4u + nameLength > length) return STATUS_INVALID_PARAMETER;

    std::lock_guard requests(DriveRequestLock);
    if (VcbFromLetter(letter)) return STATUS_OBJECT_NAME_COLLISION;
    HANDLE driveKey;
    NTSTATUS status = OpenKey(&driveKey, &KrGlobal.DriveKeyPath, nullptr);
    if (!NT_SUCCESS(status)) return status;
    ULONG next = 0;
    const bool readable = ReadNextInstance(driveKey, &next);
    const ULONG instance = ChooseInstance(driveKey, readable, next);
    WCHAR digits[12];
    UNICODE_STRING name{0, sizeof digits, digits};
    RtlIntegerToUnicodeString(instance, 10, &name);

    HANDLE folderKey;
    status = CreateKey(&folderKey, &name, driveKey);
    if (NT_SUCCESS(status)) {
        ZwClose(folderKey);
        status = ZwSetValueKey(driveKey, &name, 0, REG_BINARY, const_cast<void*>(driveRecord), length);
    }
    TREE_NODE* root = nullptr;
    if (NT_SUCCESS(status)) status = MountStoredDrive(driveKey, &name, &root, FALSE);
    if (NT_SUCCESS(status)) {
        ULONG following = instance + 1;
        ZwSetValueKey(driveKey, &NextInstanceName, 0, REG_DWORD, &following, sizeof following);
    } else {
        // The number was free, so whatever carries it now was made here.
        ZwDeleteValueKey(driveKey, &name);
        DeleteKeyTree(driveKey, &name);
    }
    ZwClose(driveKey);
    return status;
}

// Deletes the drive of a letter (either case): its slot, its letter link, its
// folder key tree and its DriveRecord. The volume device, the VCB and the
// tree stay in memory until unload, and the device name stays taken.
// STATUS_INVALID_PARAMETER for a non-letter, STATUS_NO_SUCH_DEVICE when the
// letter has no drive (nothing changes); otherwise STATUS_SUCCESS, whatever
// the link and registry deletions returned.
NTSTATUS DeleteDrive(WCHAR letter) {
    const int index = DriveIndex(letter);
    if (index < 0) return STATUS_INVALID_PARAMETER;
    std::lock_guard requests(DriveRequestLock);
    VCB* vcb = VcbFromLetter(letter);
    if (!vcb) return STATUS_NO_SUCH_DEVICE;
    {
        std::unique_lock slots(DriveTableLock);
        KrGlobal.DriveTable[index] = nullptr;
    }
    LetterLink link(UpperLetter(letter));
    IoDeleteSymbolicLink(&link.name);
    HANDLE driveKey;
    if (NT_SUCCESS(OpenKey(&driveKey, &KrGlobal.DriveKeyPath, nullptr))) {
        DeleteKeyTree(driveKey, &vcb->InstanceName);
        ZwDeleteValueKey(driveKey, &vcb->InstanceName);
        ZwClose(driveKey);
    }
    return STATUS_SUCCESS;
}

// Moves the drive of currentLetter to newLetter: the DriveRecord is
// rewritten first (new letter as sent, unchanged name), and only when the
// store took it are the old link and slot removed and the new ones made (the
// new link's status is not reported). Returns the record write's status;
// STATUS_INVALID_PARAMETER for a non-letter, STATUS_NO_SUCH_DEVICE when
// currentLetter has no drive, STATUS_OBJECT_NAME_COLLISION when newLetter
// belongs to another drive; nothing changes then.
NTSTATUS ChangeDriveLetter(WCHAR currentLetter, WCHAR newLetter) {
    const int from = DriveIndex(currentLetter), to = DriveIndex(newLetter);
    if (from < 0 || to < 0) return STATUS_INVALID_PARAMETER;
    std::lock_guard requests(DriveRequestLock);
    VCB* vcb = VcbFromLetter(currentLetter);
    if (!vcb) return STATUS_NO_SUCH_DEVICE;
    if (to != from && VcbFromLetter(newLetter)) return STATUS_OBJECT_NAME_COLLISION;
    UNICODE_STRING deviceName;
    NTSTATUS status = BuildVolumeDeviceName(&vcb->InstanceName, &deviceName);
    if (!NT_SUCCESS(status)) return status;
    {
        DriveHold hold(vcb, false);  // DriveName is read under the drive's lock
        status = WriteDriveRecord(&vcb->InstanceName, newLetter, &vcb->DriveName);
    }
    if (NT_SUCCESS(status)) {
        LetterLink oldLink(UpperLetter(currentLetter)), newLink(UpperLetter(newLetter));
        IoDeleteSymbolicLink(&oldLink.name);
        {
            std::unique_lock slots(DriveTableLock);
            KrGlobal.DriveTable[from] = nullptr;
        }
        IoCreateSymbolicLink(&newLink.name, &deviceName);
        std::unique_lock slots(DriveTableLock);
        KrGlobal.DriveTable[to] = vcb;
    }
    ExFreePoolWithTag(deviceName.Buffer, TAG_DEVICE_NAME);
    return status;
}

// Gives the drive of a letter a new display name (and so a new volume
// label): holding the drive's MainResource, rewrites the DriveRecord with
// the letter as sent and the new name, and replaces DriveName only when the
// store took it. Returns the record write's status;
// STATUS_INVALID_PARAMETER for a non-letter, STATUS_NO_SUCH_DEVICE when the
// letter has no drive, STATUS_INSUFFICIENT_RESOURCES; nothing changes then.
NTSTATUS SetDriveName(WCHAR letter, PUNICODE_STRING newName) {
    if (DriveIndex(letter) < 0) return STATUS_INVALID_PARAMETER;
    std::lock_guard requests(DriveRequestLock);
    VCB* vcb = VcbFromLetter(letter);
    if (!vcb) return STATUS_NO_SUCH_DEVICE;
    UNICODE_STRING name;
    NTSTATUS status = DuplicateBytes(&name, newName->Length, newName->Buffer);
    if (!NT_SUCCESS(status)) return status;
    DriveHold hold(vcb, true);
    status = WriteDriveRecord(&vcb->InstanceName, letter, &name);
    if (NT_SUCCESS(status)) std::swap(vcb->DriveName, name);
    if (name.Buffer) ExFreePoolWithTag(name.Buffer, 0);
    return status;
}

BOOLEAN DriveRequestHold::Acquire(BOOLEAN wait) {
    if (wait) {
        DriveRequestLock.lock();
        held_ = true;
    } else {
        held_ = DriveRequestLock.try_lock();
    }
    return held_;
}

DriveRequestHold::~DriveRequestHold() {
    if (held_) DriveRequestLock.unlock();
}

// Driver unload: empties every DriveTable slot and deletes its letter link,
// then deletes every volume device of the driver, deleted drives' included,
// freeing its VCB's tree, FCBs and names first. A device that open files
// still reference keeps its VCB and tree, so that their remaining requests
// find valid records; its name goes at once all the same.
void ReleaseAllDrives() {
    std::lock_guard requests(DriveRequestLock);
    for (int index = 0; index < 26; ++index) {
        VCB* vcb;
        {
            std::unique_lock slots(DriveTableLock);
            vcb = KrGlobal.DriveTable[index];
            KrGlobal.DriveTable[index] = nullptr;
        }
        if (!vcb) continue;
        LetterLink link(static_cast<WCHAR>(u'A' + index));
        IoDeleteSymbolicLink(&link.name);
    }
    PDEVICE_OBJECT device = KrGlobal.DriverObject->DeviceObject;
    while (device) {
        PDEVICE_OBJECT next = device->NextDevice;
        if (device != KrGlobal.ControlDevice && IsVcb(device->DeviceExtension)) {
            if (device->ReferenceCount == 0) DismantleVcb(static_cast<VCB*>(device->DeviceExtension));
            IoDeleteDevice(device);
        }
        device = next;
    }
}

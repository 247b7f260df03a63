// The life of a drive: mounting (start-up and create), a new letter, a new
// name, deletion, and the driver's start-up and unload.
#pragma once

#include "namespace.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
void KrUnload(PDRIVER_OBJECT driverObject);

// Always STATUS_SUCCESS; a drive that could not be mounted is absent and
// root is left unchanged.
NTSTATUS MountDrive(HANDLE driveKey, PUNICODE_STRING instanceName, TREE_NODE** root, BOOLEAN makeLink);
// The drive requests, behind the control codes of the same names. They are
// serialised against each other. Each refuses a letter outside A-Z/a-z with
// STATUS_INVALID_PARAMETER and a letter without a drive (delete, move,
// rename) with STATUS_NO_SUCH_DEVICE, changing nothing; CreateDrive also
// refuses a malformed record (STATUS_INVALID_PARAMETER) and a letter that
// already has a drive (STATUS_OBJECT_NAME_COLLISION), and ChangeDriveLetter a
// new letter that belongs to another drive (STATUS_OBJECT_NAME_COLLISION).
NTSTATUS CreateDrive(const void* driveRecord, ULONG length);
NTSTATUS DeleteDrive(WCHAR letter);
NTSTATUS ChangeDriveLetter(WCHAR currentLetter, WCHAR newLetter);
NTSTATUS SetDriveName(WCHAR letter, PUNICODE_STRING newName);

// Joins the serialisation of the drive requests for a scope, for a change
// that rewrites a DriveRecord from outside them (a new volume label): taken
// before the drive's MainResource, it keeps a letter change from moving the
// drive between the read of its letter and the record's write.
class DriveRequestHold {
public:
    DriveRequestHold() = default;
    ~DriveRequestHold();
    DriveRequestHold(const DriveRequestHold&) = delete;
    DriveRequestHold& operator=(const DriveRequestHold&) = delete;
    // FALSE, holding nothing, when wait is FALSE and a drive request runs.
    BOOLEAN Acquire(BOOLEAN wait);

private:
    bool held_ = false;
};
// Frees everything a VCB owns (tree, FCBs, names, notification sync,
// resource); the device is the caller's. Failed mounts and unload only.
void DismantleVcb(VCB* vcb);
// Unload: removes every drive's slot and link and deletes every volume
// device with what its VCB owns.
void ReleaseAllDrives();
// "\Device\KTDrive" + InstanceName, in a pool buffer (tag "Qdev") the caller frees.
NTSTATUS BuildVolumeDeviceName(PUNICODE_STRING instanceName, PUNICODE_STRING deviceName);

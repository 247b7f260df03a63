// The life of a drive: mounting (start-up and create), a new letter, a new
// name, deletion, and the driver's start-up and unload.
#pragma once

#include "namespace.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
void KrUnload(PDRIVER_OBJECT driverObject);

// Always STATUS_SUCCESS; a drive that could not be mounted is absent and
// root is left unchanged.
NTSTATUS MountDrive(HANDLE driveKey, PUNICODE_STRING instanceName, TREE_NODE** root, BOOLEAN makeLink);
// The drive requests, behind the control codes of the same names.
NTSTATUS CreateDrive(const void* driveRecord, ULONG length);
NTSTATUS DeleteDrive(WCHAR letter);
NTSTATUS ChangeDriveLetter(WCHAR currentLetter, WCHAR newLetter);
NTSTATUS SetDriveName(WCHAR letter, PUNICODE_STRING newName);
// "\Device\KTDrive" + InstanceName, in a pool buffer (tag "Qdev") the caller frees.
NTSTATUS BuildVolumeDeviceName(PUNICODE_STRING instanceName, PUNICODE_STRING deviceName);

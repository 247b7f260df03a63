// The I/O manager: driver and device objects, file objects, IRPs, MDLs,
// work items, share access and the routines drivers call on them.
//
// IRPs here carry a single stack location: every driver of this machine is
// the last one for its devices, so no request is passed further down.
#pragma once

#include "fileinfo.h"
#include "ntbase.h"
#include "resource.h"
#include "workqueue.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

struct DEVICE_OBJECT;
struct DRIVER_OBJECT;
struct FILE_OBJECT;
struct IRP;
struct MDL;
typedef DEVICE_OBJECT* PDEVICE_OBJECT;
typedef DRIVER_OBJECT* PDRIVER_OBJECT;
typedef FILE_OBJECT* PFILE_OBJECT;
typedef IRP* PIRP;
typedef MDL* PMDL;
typedef CHAR CCHAR;

// ----- Major and minor functions ---------------------------------------------
constexpr UCHAR IRP_MJ_CREATE = 0x00;
constexpr UCHAR IRP_MJ_CREATE_NAMED_PIPE = 0x01;
constexpr UCHAR IRP_MJ_CLOSE = 0x02;
constexpr UCHAR IRP_MJ_READ = 0x03;
constexpr UCHAR IRP_MJ_WRITE = 0x04;
constexpr UCHAR IRP_MJ_QUERY_INFORMATION = 0x05;
constexpr UCHAR IRP_MJ_SET_INFORMATION = 0x06;
constexpr UCHAR IRP_MJ_QUERY_EA = 0x07;
constexpr UCHAR IRP_MJ_SET_EA = 0x08;
constexpr UCHAR IRP_MJ_FLUSH_BUFFERS = 0x09;
constexpr UCHAR IRP_MJ_QUERY_VOLUME_INFORMATION = 0x0a;
constexpr UCHAR IRP_MJ_SET_VOLUME_INFORMATION = 0x0b;
constexpr UCHAR IRP_MJ_DIRECTORY_CONTROL = 0x0c;
constexpr UCHAR IRP_MJ_FILE_SYSTEM_CONTROL = 0x0d;
constexpr UCHAR IRP_MJ_DEVICE_CONTROL = 0x0e;
constexpr UCHAR IRP_MJ_INTERNAL_DEVICE_CONTROL = 0x0f;
constexpr UCHAR IRP_MJ_SHUTDOWN = 0x10;
constexpr UCHAR IRP_MJ_LOCK_CONTROL = 0x11;
constexpr UCHAR IRP_MJ_CLEANUP = 0x12;
constexpr UCHAR IRP_MJ_MAXIMUM_FUNCTION = 0x1b;

constexpr UCHAR IRP_MN_QUERY_DIRECTORY = 0x01;
constexpr UCHAR IRP_MN_NOTIFY_CHANGE_DIRECTORY = 0x02;

// "IRP_MJ_CREATE", ... for logs.
const char* IrpMajorName(UCHAR major);

// ----- Stack location flags --------------------------------------------------
constexpr UCHAR SL_PENDING_RETURNED = 0x01;  // in Control
constexpr UCHAR SL_RESTART_SCAN = 0x01;
constexpr UCHAR SL_RETURN_SINGLE_ENTRY = 0x02;
constexpr UCHAR SL_INDEX_SPECIFIED = 0x04;
constexpr UCHAR SL_OPEN_TARGET_DIRECTORY = 0x04;  // create
constexpr UCHAR SL_CASE_SENSITIVE = 0x80;         // create

// ----- Devices -----------------------------------------------------------------
typedef ULONG DEVICE_TYPE;
constexpr DEVICE_TYPE FILE_DEVICE_DISK = 0x07;
constexpr DEVICE_TYPE FILE_DEVICE_DISK_FILE_SYSTEM = 0x08;
constexpr DEVICE_TYPE FILE_DEVICE_FILE_SYSTEM = 0x09;
constexpr DEVICE_TYPE FILE_DEVICE_NETWORK_FILE_SYSTEM = 0x14;
constexpr DEVICE_TYPE FILE_DEVICE_UNKNOWN = 0x22;

constexpr ULONG FILE_REMOVABLE_MEDIA = 0x00000001;
constexpr ULONG FILE_REMOTE_DEVICE = 0x00000010;
constexpr ULONG FILE_DEVICE_SECURE_OPEN = 0x00000100;

constexpr ULONG DO_BUFFERED_IO = 0x00000004;
constexpr ULONG DO_EXCLUSIVE = 0x00000008;
constexpr ULONG DO_DIRECT_IO = 0x00000010;
constexpr ULONG DO_DEVICE_INITIALIZING = 0x00000080;

// Control codes: CTL_CODE(DeviceType, Function, Method, Access).
constexpr ULONG METHOD_BUFFERED = 0;
constexpr ULONG METHOD_IN_DIRECT = 1;
constexpr ULONG METHOD_OUT_DIRECT = 2;
constexpr ULONG METHOD_NEITHER = 3;
constexpr ULONG FILE_ANY_ACCESS = 0;
constexpr ULONG FILE_READ_ACCESS = 1;
constexpr ULONG FILE_WRITE_ACCESS = 2;
constexpr ULONG CTL_CODE(ULONG deviceType, ULONG function, ULONG method, ULONG access) {
    return (deviceType << 16) | (access << 14) | (function << 2) | method;
}
constexpr ULONG METHOD_FROM_CTL_CODE(ULONG code) { return code & 3; }

typedef NTSTATUS (*PDRIVER_DISPATCH)(PDEVICE_OBJECT device, PIRP irp);
typedef void (*PDRIVER_UNLOAD)(PDRIVER_OBJECT driver);
typedef NTSTATUS (*PDRIVER_INITIALIZE)(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

struct DRIVER_OBJECT {
    SHORT Type;
    SHORT Size;
    PDEVICE_OBJECT DeviceObject;  // first of the driver's devices
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PVOID DriverExtension;
    UNICODE_STRING DriverName;  // "\FileSystem\<service>" or "\Driver\<service>"
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PDRIVER_INITIALIZE DriverInit;
    PVOID DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};

struct DEVICE_OBJECT {
    SHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT NextDevice;  // next device of the same driver
    ULONG Flags;
    ULONG Characteristics;
    PVOID DeviceExtension;
    DEVICE_TYPE DeviceType;
    CCHAR StackSize;
    ULONG AlignmentRequirement;
    // Kept by the I/O manager: the device's name ("\Device\KTDrive3"; empty for
    // an unnamed device), and the SDDL string and class GUID it was created with.
    std::u16string Name;
    std::u16string Sddl;
    GUID ClassGuid;
    bool Deleted;
};

// ----- Share access ----------------------------------------------------------
struct SHARE_ACCESS {
    ULONG OpenCount;
    ULONG Readers;
    ULONG Writers;
    ULONG Deleters;
    ULONG SharedRead;
    ULONG SharedWrite;
    ULONG SharedDelete;
};
typedef SHARE_ACCESS* PSHARE_ACCESS;

// ----- File objects ------------------------------------------------------------
constexpr ULONG FO_SYNCHRONOUS_IO = 0x00000002;
constexpr ULONG FO_ALERTABLE_IO = 0x00000004;
constexpr ULONG FO_NO_INTERMEDIATE_BUFFERING = 0x00000008;
constexpr ULONG FO_HANDLE_CREATED = 0x00040000;
constexpr ULONG FO_CLEANUP_COMPLETE = 0x00004000;
constexpr ULONG FO_DIRECTORY_FILE = 0x00200000;  // korin: opened with FILE_DIRECTORY_FILE

struct FILE_OBJECT {
    SHORT Type;
    SHORT Size;
    PDEVICE_OBJECT DeviceObject;
    PVOID Vpb;
    PVOID FsContext;
    PVOID FsContext2;
    PVOID SectionObjectPointer;
    PVOID PrivateCacheMap;
    NTSTATUS FinalStatus;
    PFILE_OBJECT RelatedFileObject;
    BOOLEAN LockOperation;
    BOOLEAN DeletePending;
    BOOLEAN ReadAccess;
    BOOLEAN WriteAccess;
    BOOLEAN DeleteAccess;
    BOOLEAN SharedRead;
    BOOLEAN SharedWrite;
    BOOLEAN SharedDelete;
    ULONG Flags;
    UNICODE_STRING FileName;  // buffer from pool; a driver may replace it (reparse)
    LARGE_INTEGER CurrentByteOffset;
};

// ----- MDLs -------------------------------------------------------------------------
constexpr SHORT MDL_MAPPED_TO_SYSTEM_VA = 0x0001;
constexpr SHORT MDL_PAGES_LOCKED = 0x0002;
constexpr SHORT MDL_SOURCE_IS_NONPAGED_POOL = 0x0004;

struct MDL {
    PMDL Next;
    SHORT Size;
    SHORT MdlFlags;
    PVOID Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
};

enum LOCK_OPERATION { IoReadAccess = 0, IoWriteAccess = 1, IoModifyAccess = 2 };
enum MEMORY_CACHING_TYPE { MmNonCached = 0, MmCached = 1, MmWriteCombined = 2 };
enum MM_PAGE_PRIORITY { LowPagePriority = 0, NormalPagePriority = 16, HighPagePriority = 32 };

// ----- IRPs -------------------------------------------------------------------------
struct IO_SECURITY_CONTEXT {
    PVOID SecurityQos;
    PVOID AccessState;
    ACCESS_MASK DesiredAccess;
    ULONG FullCreateOptions;
};
typedef IO_SECURITY_CONTEXT* PIO_SECURITY_CONTEXT;

struct IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            PIO_SECURITY_CONTEXT SecurityContext;
            ULONG Options;  // create options in the low 24 bits, disposition in the high 8
            USHORT FileAttributes;
            USHORT ShareAccess;
            ULONG EaLength;
        } Create;
        struct {
            ULONG Length;
            ULONG Key;
            LARGE_INTEGER ByteOffset;
        } Read;
        struct {
            ULONG Length;
            ULONG Key;
            LARGE_INTEGER ByteOffset;
        } Write;
        struct {
            ULONG Length;
            PUNICODE_STRING FileName;
            FILE_INFORMATION_CLASS FileInformationClass;
            ULONG FileIndex;
        } QueryDirectory;
        struct {
            ULONG Length;
            FILE_INFORMATION_CLASS FileInformationClass;
        } QueryFile;
        struct {
            ULONG Length;
            FILE_INFORMATION_CLASS FileInformationClass;
            PFILE_OBJECT FileObject;  // rename and link: the opened target directory
            BOOLEAN ReplaceIfExists;
            BOOLEAN AdvanceOnly;
        } SetFile;
        struct {
            ULONG Length;
            FS_INFORMATION_CLASS FsInformationClass;
        } QueryVolume;
        struct {
            ULONG Length;
            FS_INFORMATION_CLASS FsInformationClass;
        } SetVolume;
        struct {
            ULONG OutputBufferLength;
            ULONG InputBufferLength;
            ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PFILE_OBJECT FileObject;
};
typedef IO_STACK_LOCATION* PIO_STACK_LOCATION;

constexpr ULONG IRP_SYNCHRONOUS_API = 0x00000004;
constexpr ULONG IRP_BUFFERED_IO = 0x00000010;
constexpr ULONG IRP_INPUT_OPERATION = 0x00000040;

constexpr CCHAR IO_NO_INCREMENT = 0;
constexpr CCHAR IO_DISK_INCREMENT = 1;

struct IRP {
    SHORT Type;
    USHORT Size;
    PMDL MdlAddress;
    ULONG Flags;
    union {
        PIRP MasterIrp;
        LONG IrpCount;
        PVOID SystemBuffer;
    } AssociatedIrp;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    BOOLEAN Cancel;
    PVOID UserBuffer;
    IO_STACK_LOCATION Stack;  // the one stack location

    // Kept by the I/O manager: completion is signalled to the issuing thread,
    // which may be waiting while a worker thread completes the request.
    struct Completion {
        std::mutex Mutex;
        std::condition_variable Done;
        bool Completed = false;
        CCHAR PriorityBoost = -1;  // as passed to IoCompleteRequest, for tests
    } Completion;
};

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP irp) { return &irp->Stack; }
inline void IoMarkIrpPending(PIRP irp) { irp->Stack.Control |= SL_PENDING_RETURNED; }

// ----- FCB header shared by file systems ----------------------------------------------
enum FAST_IO_POSSIBLE { FastIoIsNotPossible = 0, FastIoIsPossible = 1, FastIoIsQuestionable = 2 };

struct FSRTL_COMMON_FCB_HEADER {
    SHORT NodeTypeCode;
    SHORT NodeByteSize;
    UCHAR Flags;
    UCHAR IsFastIoPossible;
    UCHAR Flags2;
    UCHAR Reserved;
    PERESOURCE Resource;
    PERESOURCE PagingIoResource;
    LARGE_INTEGER AllocationSize;
    LARGE_INTEGER FileSize;
    LARGE_INTEGER ValidDataLength;
};

// ----- Routines drivers call ------------------------------------------------------------
NTSTATUS IoCreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING deviceName,
                        DEVICE_TYPE deviceType, ULONG characteristics, BOOLEAN exclusive, PDEVICE_OBJECT* device);
// As IoCreateDevice; the SDDL string and class GUID are kept on the device.
NTSTATUS IoCreateDeviceSecure(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING deviceName,
                              DEVICE_TYPE deviceType, ULONG characteristics, BOOLEAN exclusive,
                              PCUNICODE_STRING defaultSddl, LPCGUID classGuid, PDEVICE_OBJECT* device);
void IoDeleteDevice(PDEVICE_OBJECT device);
NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING linkName, PUNICODE_STRING targetName);
NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING linkName);

NTSTATUS IoCallDriver(PDEVICE_OBJECT device, PIRP irp);
void IoCompleteRequest(PIRP irp, CCHAR priorityBoost);
BOOLEAN IoIsOperationSynchronous(PIRP irp);

typedef struct IO_WORKITEM* PIO_WORKITEM;
typedef void (*PIO_WORKITEM_ROUTINE)(PDEVICE_OBJECT device, PVOID context);
PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT device);  // NULL when pool is exhausted (tag "IoWk")
void IoQueueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE queue, PVOID context);
void IoFreeWorkItem(PIO_WORKITEM item);

PMDL IoAllocateMdl(PVOID virtualAddress, ULONG length, BOOLEAN secondaryBuffer, BOOLEAN chargeQuota, PIRP irp);
void IoFreeMdl(PMDL mdl);
// Raises STATUS_ACCESS_VIOLATION when the range is not valid memory of the requestor.
void MmProbeAndLockPages(PMDL mdl, KPROCESSOR_MODE accessMode, LOCK_OPERATION operation);
void MmUnlockPages(PMDL mdl);
PVOID MmMapLockedPagesSpecifyCache(PMDL mdl, KPROCESSOR_MODE accessMode, MEMORY_CACHING_TYPE cacheType,
                                   PVOID requestedAddress, ULONG bugCheckOnFailure, ULONG priority);
// Raise STATUS_ACCESS_VIOLATION (or STATUS_DATATYPE_MISALIGNMENT) for a bad caller buffer.
void ProbeForWrite(PVOID address, SIZE_T length, ULONG alignment);
void ProbeForRead(const void* address, SIZE_T length, ULONG alignment);

NTSTATUS IoCheckShareAccess(ACCESS_MASK desiredAccess, ULONG desiredShareAccess, PFILE_OBJECT fileObject,
                            PSHARE_ACCESS shareAccess, BOOLEAN update);
void IoSetShareAccess(ACCESS_MASK desiredAccess, ULONG desiredShareAccess, PFILE_OBJECT fileObject,
                      PSHARE_ACCESS shareAccess);
void IoUpdateShareAccess(PFILE_OBJECT fileObject, PSHARE_ACCESS shareAccess);
void IoRemoveShareAccess(PFILE_OBJECT fileObject, PSHARE_ACCESS shareAccess);

// ----- Kernel-mode file calls (kernel handles; close with ZwClose) ----------------------
NTSTATUS ZwCreateFile(PHANDLE fileHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES attributes,
                      PIO_STATUS_BLOCK ioStatus, PLARGE_INTEGER allocationSize, ULONG fileAttributes,
                      ULONG shareAccess, ULONG createDisposition, ULONG createOptions, PVOID eaBuffer,
                      ULONG eaLength);
NTSTATUS ZwOpenFile(PHANDLE fileHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES attributes,
                    PIO_STATUS_BLOCK ioStatus, ULONG shareAccess, ULONG openOptions);
NTSTATUS ZwQueryInformationFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID information, ULONG length,
                                FILE_INFORMATION_CLASS informationClass);

namespace korin::io {

// Valid caller memory. A syscall entry declares the buffers its caller handed
// in for the duration of the call; probing a user-mode request's buffer
// outside every declared range raises STATUS_ACCESS_VIOLATION, which is how a
// caller's bad pointer is caught instead of crashing the machine.
class UserBufferScope {
public:
    UserBufferScope(const void* address, SIZE_T length);
    ~UserBufferScope();
    UserBufferScope(const UserBufferScope&) = delete;
    UserBufferScope& operator=(const UserBufferScope&) = delete;
};

// Drivers: loading a shared object and calling its DriverEntry with the
// registry path "\Registry\Machine\System\CurrentControlSet\Services\<service>".
// type is SERVICE_KERNEL_DRIVER (1) or SERVICE_FILE_SYSTEM_DRIVER (2), which
// decides between "\Driver\<service>" and "\FileSystem\<service>" as its name.
NTSTATUS LoadDriver(const std::string& imagePath, const std::u16string& service, ULONG type,
                    PDRIVER_OBJECT* driver);
// A driver built into the machine (the host file system), started the same way.
NTSTATUS StartBuiltinDriver(PDRIVER_INITIALIZE entry, const std::u16string& service, ULONG type,
                            PDRIVER_OBJECT* driver);
// Calls DriverUnload (STATUS_INVALID_DEVICE_REQUEST when the driver has none)
// and releases the driver object and its image.
NTSTATUS UnloadDriver(PDRIVER_OBJECT driver);
PDRIVER_OBJECT FindDriver(const std::u16string& service);

}  // namespace korin::io

// ----- Request observers (io_observers.cpp) ------------------------------------------
namespace korin::io {

// Called once for every request the I/O manager sent and saw completed, in
// the issuing thread, after completion and before the IRP is freed and the
// system call returns (IoStatus, the stack location and the file object are
// still readable). An observer may block briefly but must not issue a
// request on the same file object. Observers run without any I/O manager
// lock held; one removed may still finish a call that had already started.
using RequestObserver = std::function<void(PIRP irp)>;
int AddRequestObserver(RequestObserver observer);
void RemoveRequestObserver(int id);
// The I/O manager's side: runs the observers for irp.
void NotifyRequestCompleted(PIRP irp);

}  // namespace korin::io

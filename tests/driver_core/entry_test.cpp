// Start-up and unload: the control device and its link, the dispatch slots,
// the registry paths, start-up with no drives, failed start-ups that leave
// nothing, and an unload that frees every drive so the service can start
// again in the same machine.
#include "core_fixture.h"

#include "platform/nt/iomgr.h"
#include "platform/nt/ob.h"
#include "platform/nt/pool.h"
#include "platform/nt/process.h"
#include "platform/nt/syscalls.h"

#include <cstring>

namespace korin::drivercore {
namespace {

using StartupTest = DriverTest;

TEST_F(StartupTest, CreatesTheControlDeviceAndItsLink) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    PDEVICE_OBJECT control = KrGlobal.ControlDevice;
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->Name, u"\\FileSystem\\KRDriverCDO");
    EXPECT_EQ(control->DeviceType, 8u) << "FILE_DEVICE_DISK_FILE_SYSTEM";
    EXPECT_EQ(control->Characteristics, 0x100u) << "FILE_DEVICE_SECURE_OPEN";
    EXPECT_EQ(control->Flags & (DO_EXCLUSIVE | DO_DEVICE_INITIALIZING), 0u);
    EXPECT_EQ(control->DeviceExtension, nullptr);
    EXPECT_EQ(control->Sddl, u"D:P(A;;GA;;;WD)");
    const GUID expected = {0x6CCD5625, 0xEEC7, 0x4001, {0x87, 0xAD, 0x2F, 0x18, 0x4A, 0xCB, 0x25, 0xA4}};
    EXPECT_EQ(std::memcmp(&control->ClassGuid, &expected, sizeof expected), 0);
    EXPECT_EQ(LinkTarget(u"\\DosDevices\\KRDriver"), u"\\FileSystem\\KRDriverCDO");
    EXPECT_EQ(KrGlobal.DriverObject, Driver());
    EXPECT_EQ(Driver()->DriverUnload, KrUnload);
}

TEST_F(StartupTest, ServesExactlyNineRequests) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const std::vector<UCHAR> served = {IRP_MJ_CREATE,
                                       IRP_MJ_CLOSE,
                                       IRP_MJ_QUERY_INFORMATION,
                                       IRP_MJ_SET_INFORMATION,
                                       IRP_MJ_QUERY_VOLUME_INFORMATION,
                                       IRP_MJ_SET_VOLUME_INFORMATION,
                                       IRP_MJ_DIRECTORY_CONTROL,
                                       IRP_MJ_DEVICE_CONTROL,
                                       IRP_MJ_CLEANUP};
    for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        const bool isServed = std::find(served.begin(), served.end(), major) != served.end();
        EXPECT_EQ(Driver()->MajorFunction[major] == FsdDispatch, isServed) << IrpMajorName(major);
    }
    EXPECT_EQ(Driver()->FastIoDispatch, nullptr);
}

TEST_F(StartupTest, DriveKeyPathIsTheServiceKeyAndDriveWithoutTerminator) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const UNICODE_STRING& service = KrGlobal.ServiceKeyPath;
    const UNICODE_STRING& drive = KrGlobal.DriveKeyPath;
    EXPECT_EQ(Text(service), kServiceKey);
    EXPECT_EQ(service.MaximumLength, service.Length);
    EXPECT_EQ(Text(drive), kServiceKey + u"\\Drive");
    EXPECT_EQ(drive.Length, service.Length + 12);
    EXPECT_EQ(drive.MaximumLength, service.Length + 12);
    EXPECT_EQ(pool::LiveBlocks("QReg"), 2u);
}

TEST_F(StartupTest, EmptyDriveKeyStartsWithTheControlDeviceOnly) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    for (VCB* slot : KrGlobal.DriveTable) EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(Driver()->DeviceObject, KrGlobal.ControlDevice);
    EXPECT_EQ(KrGlobal.ControlDevice->NextDevice, nullptr);

    // Any process opens the control device by its link.
    ps::Process user("any user");
    ps::ProcessScope scope(user);
    std::u16string path = u"\\??\\KRDriver";
    UNICODE_STRING name = Counted(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK io{};
    ASSERT_EQ(NtCreateFile(&handle, GENERIC_READ | GENERIC_WRITE, &attributes, &io, nullptr, 0, 0, FILE_OPEN, 0,
                           nullptr, 0),
              STATUS_SUCCESS);
    EXPECT_EQ(io.Information, FILE_OPENED);
    EXPECT_EQ(NtClose(handle), STATUS_SUCCESS);
}

TEST_F(StartupTest, MissingDriveKeyStillStarts) {
    {
        std::u16string path = kDriveKey;
        UNICODE_STRING name = Counted(path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        HANDLE key;
        ASSERT_EQ(ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes), STATUS_SUCCESS);
        ASSERT_EQ(ZwDeleteKey(key), STATUS_SUCCESS);
        ZwClose(key);
    }
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_NE(KrGlobal.ControlDevice, nullptr);
    EXPECT_EQ(CreateDriveNow(u'K', u"Work"), STATUS_OBJECT_NAME_NOT_FOUND) << "no Drive key, no drive";
    EXPECT_EQ(Drive(u'K'), nullptr);
}

HANDLE OpenControlDevice() {
    std::u16string path = u"\\??\\KRDriver";
    UNICODE_STRING name = Counted(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK io{};
    EXPECT_EQ(NtCreateFile(&handle, GENERIC_READ | GENERIC_WRITE, &attributes, &io, nullptr, 0, 0, FILE_OPEN, 0,
                           nullptr, 0),
              STATUS_SUCCESS);
    return handle;
}

// A program that stops the service while it holds the control device open
// (as the uninstaller does) closes its handle after the unload, even after
// the next start: the request finds the retired device, not a drive.
TEST_F(StartupTest, ControlHandleOutlivesTheUnload) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ps::Process program("uninstaller");
    ps::ProcessScope scope(program);
    HANDLE stale = OpenControlDevice();
    Stop();
    EXPECT_FALSE(DeviceExists(u"\\FileSystem\\KRDriverCDO"));
    ASSERT_EQ(Start(), STATUS_SUCCESS);

    IO_STATUS_BLOCK io{};
    ULONG word = 0;
    EXPECT_EQ(NtDeviceIoControlFile(stale, nullptr, nullptr, nullptr, &io, 0xCD4B2418u, nullptr, 0, &word, sizeof word),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(NtClose(stale), STATUS_SUCCESS);
    HANDLE fresh = OpenControlDevice();
    EXPECT_EQ(NtClose(fresh), STATUS_SUCCESS);
}

// A start-up that fails leaves neither device nor link, so a later start can
// succeed.
TEST_F(StartupTest, FailedStartLeavesNothing) {
    // The link name is taken.
    ASSERT_EQ(ob::CreateSymbolicLink(u"\\??\\KRDriver", u"\\Device\\Elsewhere"), STATUS_SUCCESS);
    EXPECT_EQ(Start(), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_FALSE(DeviceExists(u"\\FileSystem\\KRDriverCDO"));
    ASSERT_EQ(ob::DeleteSymbolicLink(u"\\??\\KRDriver"), STATUS_SUCCESS);

    // No pool for either registry path.
    for (unsigned nth : {1u, 2u}) {
        pool::FailNthAllocation("QReg", nth);
        EXPECT_EQ(Start(), STATUS_INSUFFICIENT_RESOURCES) << nth;
        pool::ClearInjectedFailures();
        EXPECT_FALSE(DeviceExists(u"\\FileSystem\\KRDriverCDO"));
        EXPECT_EQ(LinkTarget(u"\\??\\KRDriver"), u"");
        EXPECT_TRUE(DriverBlocks().empty());
    }
    ASSERT_EQ(Start(), STATUS_SUCCESS);
}

// The machine lives on after a service stop: the unload frees every drive
// (mounted, created, deleted), its tree, its detached nodes and its device,
// and the next start finds every name free again.
TEST_F(StartupTest, UnloadFreesEveryDriveAndTheServiceStartsAgain) {
    StoreDrive(u"0", u'K', u"Stored");
    SetDword(kDriveKey, u"NextInstance", 1);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    TREE_NODE* docs = AddFolder(Root(u'K'), u"Docs");
    AddMapping(docs, u"a.txt", u"C:\\a.txt");
    TREE_NODE* old = AddFolder(docs, u"Old");
    AddFolder(old, u"Inner");
    {
        DriveLock lock(Drive(u'K'));
        ASSERT_EQ(RemoveChild(old), STATUS_SUCCESS);  // detached, as a deleted folder is
    }
    ASSERT_EQ(CreateDriveNow(u'L', u"Created"), STATUS_SUCCESS);
    ASSERT_EQ(CreateDriveNow(u'M', u"Deleted"), STATUS_SUCCESS);
    AddFolder(Root(u'M'), u"Gone");
    ASSERT_EQ(DeleteDrive(u'M'), STATUS_SUCCESS);
    EXPECT_TRUE(DeviceExists(u"\\Device\\KTDrive2")) << "a deleted drive's device stays while the driver runs";

    Stop();
    EXPECT_TRUE(DriverBlocks().empty());
    for (const char16_t* device : {u"\\FileSystem\\KRDriverCDO", u"\\Device\\KTDrive0", u"\\Device\\KTDrive1",
                                   u"\\Device\\KTDrive2"})
        EXPECT_FALSE(DeviceExists(device)) << Narrow(device);
    EXPECT_EQ(LinkTarget(u"\\??\\KRDriver"), u"");
    EXPECT_EQ(LinkTarget(u"\\??\\K:"), u"");

    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_NE(Drive(u'K'), nullptr);
    EXPECT_NE(Drive(u'L'), nullptr) << "a created drive is linked by the driver at the next start";
    EXPECT_EQ(LinkTarget(u"\\??\\L:"), u"\\Device\\KTDrive1");
    EXPECT_EQ(Drive(u'M'), nullptr);
    EXPECT_EQ(Children(Find(u'K', u"Docs")), (std::vector<std::u16string>{u"Old", u"a.txt"}))
        << "the store wins: the detached folder was never deleted from it";
}

}  // namespace
}  // namespace korin::drivercore

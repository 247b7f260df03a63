// The drive-level requests: create, delete, move and rename a drive, and the
// name of its volume device.

#include "control_fixture.h"

#include "platform/nt/ob.h"
#include "platform/nt/pool.h"
#include "platform/nt/syscalls.h"

#include <cstring>

namespace korin::control_test {
namespace {

using DriveRequests = ControlTest;

bool DeviceExists(const std::u16string& name) {
    PDEVICE_OBJECT device = nullptr;
    std::u16string remainder;
    return NT_SUCCESS(ob::ParsePath(name, &device, &remainder)) && remainder.empty();
}

std::vector<std::u16string> LinkTargets(const std::u16string& name) { return ob::QueryLinkTargets(name); }

TEST_F(DriveRequests, CreateTakesNextInstanceStoresTheRecordAndMountsWithoutALink) {
    SetNextInstance(4);
    MakeDrive(u'K', u"Work");
    ULONG type = 0;
    Bytes data;
    ASSERT_TRUE(ReadValue(u"", u"4", &type, &data));
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(data, (Bytes{0x4B, 0, 0x08, 0, 'W', 0, 'o', 0, 'r', 0, 'k', 0}));
    EXPECT_TRUE(KeyExists(u"4"));
    ASSERT_TRUE(ReadValue(u"", u"NextInstance", &type, &data));
    EXPECT_EQ(data, (Bytes{5, 0, 0, 0}));
    EXPECT_TRUE(DeviceExists(u"\\Device\\KTDrive4"));
    EXPECT_TRUE(LinkTargets(u"\\??\\K:").empty());  // the caller defines the letter
    EXPECT_EQ(TypeOf(u"K:\\"), ItemDriveRoot);
}

TEST_F(DriveRequests, DeviceNameOfInstanceTwelveIs34Bytes) {
    SetNextInstance(12);
    MakeDrive(u'K', u"Work");
    Reply reply = Send(IOCTL_GET_DEVICE_NAME, LetterBytes(u'k'), 260);
    ASSERT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.information, 34u);
    const std::u16string expected = u"\\Device\\KTDrive12";
    EXPECT_EQ(std::memcmp(reply.output.data(), expected.data(), 34), 0);
    EXPECT_EQ(reply.output[34], 0xAB);  // no NUL written
}

TEST_F(DriveRequests, DeletedDriveLeavesTheStoreAndItsNumberIsNotGivenAgain) {
    SetNextInstance(4);
    MakeDrive(u'K', u"Work");
    MakeFolder(u"K:\\Docs");
    Reply reply = Send(IOCTL_DELETE_DRIVE, LetterBytes(u'k'));
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.Word(), 0u);
    ULONG type = 0;
    Bytes data;
    EXPECT_FALSE(ReadValue(u"", u"4", &type, &data));
    EXPECT_FALSE(KeyExists(u"4"));
    EXPECT_EQ(TypeOf(u"K:\\"), ItemNone);

    MakeDrive(u'K', u"Again");
    EXPECT_TRUE(KeyExists(u"5"));
    EXPECT_TRUE(DeviceExists(u"\\Device\\KTDrive4"));  // stays until the driver goes
    EXPECT_TRUE(DeviceExists(u"\\Device\\KTDrive5"));
    EXPECT_EQ(TypeOf(u"K:\\Docs"), ItemNotFound);
}

TEST_F(DriveRequests, MoveKeepsTheTreeAndRewritesTheRecord) {
    MakeDrive(u'K', u"Work");
    MakeFolder(u"K:\\Docs");
    MakeMapping(u"K:\\Docs\\a.txt", u"C:\\a.txt");
    Reply reply = Send(IOCTL_CHANGE_DRIVE_LETTER, LetterPairBytes(u'K', u'M'));
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.Word(), 0u);
    ULONG type = 0;
    Bytes data;
    ASSERT_TRUE(ReadValue(u"", u"0", &type, &data));
    EXPECT_EQ(data, RecordBytes(u'M', u"Work"));
    EXPECT_EQ(TypeOf(u"K:\\Docs"), ItemNone);
    EXPECT_EQ(TypeOf(u"M:\\Docs\\a.txt"), ItemFileMapping);
    EXPECT_EQ(LinkTargets(u"\\??\\M:"), std::vector<std::u16string>{u"\\Device\\KTDrive0"});
    EXPECT_TRUE(LinkTargets(u"\\??\\K:").empty());
}

TEST_F(DriveRequests, SetDriveNameRewritesTheRecordAndTheLabel) {
    MakeDrive(u'K', u"Work");
    Reply reply = Send(IOCTL_SET_DRIVE_NAME, LetterAndNameBytes(u'K', u"Home"));
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.Word(), 0u);
    ULONG type = 0;
    Bytes data;
    ASSERT_TRUE(ReadValue(u"", u"0", &type, &data));
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(data, RecordBytes(u'K', u"Home"));
    EXPECT_NE(NamespaceDump().find("drive K instance 0 name Home\n"), std::string::npos) << NamespaceDump();
}

// The store does not take the new record: the answer is the write's
// status, and neither the record nor the drive's name changes.
TEST_F(DriveRequests, SetDriveNameTheStoreRefusesKeepsTheOldName) {
    MakeDrive(u'K', u"Work");
    const std::string before = StateDump();
    korin::pool::FailNthAllocation("aaa0", 1);
    Reply reply = Send(IOCTL_SET_DRIVE_NAME, LetterAndNameBytes(u'K', u"Home"));
    korin::pool::ClearInjectedFailures();
    EXPECT_EQ(reply.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(StateDump(), before);
    EXPECT_NE(NamespaceDump().find("drive K instance 0 name Work\n"), std::string::npos) << NamespaceDump();
}

TEST_F(DriveRequests, RestartMountsEveryStoredDriveWithItsLetterLink) {
    MakeDrive(u'K', u"Work");
    MakeDrive(u'l', u"Lower");
    MakeFolder(u"K:\\Docs");
    MakeMapping(u"L:\\x", u"\\\\srv\\share\\x");
    RestartDriver();
    EXPECT_EQ(LinkTargets(u"\\??\\K:"), std::vector<std::u16string>{u"\\Device\\KTDrive0"});
    EXPECT_EQ(LinkTargets(u"\\??\\L:"), std::vector<std::u16string>{u"\\Device\\KTDrive1"});
    EXPECT_EQ(TypeOf(u"K:\\Docs"), ItemFolder);
    EXPECT_EQ(TypeOf(u"L:\\x"), ItemFileMapping);
}

}  // namespace
}  // namespace korin::control_test

namespace korin::control_test {
namespace {

// An uninstall stops the service while its own control handle is still open:
// the handle's requests must fail cleanly, and the driver start again.
TEST_F(DriveRequests, ServiceStopWithAnOpenControlHandle) {
    MakeDrive(u'K', u"Work");
    MakeFolder(u"K:\\Docs");
    HANDLE open = OpenControl();
    ASSERT_NE(open, nullptr);
    ASSERT_EQ(io::UnloadDriver(driver_), STATUS_SUCCESS);
    driver_ = nullptr;
    const struct {
        ULONG code;
        Bytes input;
    } requests[] = {
        {IOCTL_PREPARE_UNLOAD, {}},
        {IOCTL_QUERY_ITEM_TYPE, PathBytes(u"K:\\Docs")},
        {IOCTL_CREATE_FOLDER, PathBytes(u"K:\\New")},
        {IOCTL_CREATE_DRIVE, RecordBytes(u'M', u"More")},
        {IOCTL_DELETE_DRIVE, LetterBytes(u'K')},
        {IOCTL_GET_DEVICE_NAME, LetterBytes(u'K')},
    };
    for (const auto& request : requests) {
        Reply reply = Send(request.code, request.input, request.code == IOCTL_PREPARE_UNLOAD ? 0 : 260, open);
        EXPECT_TRUE(!NT_SUCCESS(reply.status) || (reply.information == 4 && reply.Word() != 0))
            << std::hex << request.code << " " << NtStatusName(reply.status);
    }
    EXPECT_EQ(NtClose(open), STATUS_SUCCESS);
    NtClose(control_);
    control_ = nullptr;
    StartDriver();
    EXPECT_EQ(TypeOf(u"K:\\Docs"), ItemFolder);
}

}  // namespace
}  // namespace korin::control_test

// The driver client against a recording control device: the exact bytes each
// call sends, the output size it gives, what it makes of the answer, and the
// defined values it returns when DeviceIoControl itself fails.

#include "common/driver_client.h"
#include "fake_control_device.h"

#include "platform/nt/ob.h"
#include "platform/win32/files.h"

#include <gtest/gtest.h>

#include <cstring>

namespace korin::common_test {
namespace {

std::vector<UCHAR> Utf16(std::u16string_view text, bool nul = false) {
    std::vector<UCHAR> bytes(text.size() * 2);
    std::memcpy(bytes.data(), text.data(), bytes.size());
    if (nul) bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

std::vector<UCHAR> Join(std::vector<UCHAR> a, const std::vector<UCHAR>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class DriverClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        ob::ResetNamespace();
        device_ = std::make_unique<FakeControlDevice>();
        handle_ = OpenControlDevice();
        ASSERT_NE(handle_, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        device_.reset();
        ob::ResetNamespace();
    }

    std::unique_ptr<FakeControlDevice> device_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

TEST_F(DriverClientTest, EachCallSendsItsCodeAndExactBytes) {
    const struct {
        const char* what;
        std::function<void(HANDLE)> call;
        ULONG code;
        std::vector<UCHAR> input;
        ULONG outputLength;
    } cases[] = {
        {"CreateDrive K Work", [](HANDLE h) { CreateDrive(h, u'K', u"Work"); }, IOCTL_CREATE_DRIVE,
         {0x4B, 0, 0x08, 0, 'W', 0, 'o', 0, 'r', 0, 'k', 0}, 4},
        {"CreateFolder", [](HANDLE h) { CreateFolder(h, u"K:\\Docs"); }, IOCTL_CREATE_FOLDER, Utf16(u"K:\\Docs"), 4},
        {"CreateMapping", [](HANDLE h) { CreateMapping(h, u"K:\\Docs\\a.txt", u"C:\\a.txt"); }, IOCTL_CREATE_MAPPING,
         Join(Utf16(u"K:\\Docs\\a.txt", true), Utf16(u"C:\\a.txt", true)), 4},
        {"DeleteDrive", [](HANDLE h) { DeleteDrive(h, u'K'); }, IOCTL_DELETE_DRIVE, {'K', 0}, 4},
        {"DeleteFolder", [](HANDLE h) { DeleteFolder(h, u"K:\\Docs\\"); }, IOCTL_DELETE_FOLDER, Utf16(u"K:\\Docs\\"),
         4},
        {"DeleteMapping", [](HANDLE h) { DeleteMapping(h, u"K:\\a"); }, IOCTL_DELETE_MAPPING, Utf16(u"K:\\a"), 4},
        {"QueryItemType", [](HANDLE h) { QueryItemType(h, u"K:\\a"); }, IOCTL_QUERY_ITEM_TYPE, Utf16(u"K:\\a"), 4},
        {"RenameMapping", [](HANDLE h) { RenameMapping(h, u"K:\\a", u"b"); }, IOCTL_RENAME_MAPPING,
         Join(Utf16(u"K:\\a", true), Utf16(u"b", true)), 4},
        {"RenameFolder", [](HANDLE h) { RenameFolder(h, u"K:\\D\\", u"E"); }, IOCTL_RENAME_FOLDER,
         Join(Utf16(u"K:\\D\\", true), Utf16(u"E", true)), 4},
        {"GetDriveDeviceName", [](HANDLE h) { GetDriveDeviceName(h, u'K'); }, IOCTL_GET_DEVICE_NAME, {'K', 0}, 260},
        {"SetDriveName K:\\ Work", [](HANDLE h) { SetDriveName(h, u"K:\\", u"Work"); }, IOCTL_SET_DRIVE_NAME,
         {'K', 0, 'W', 0, 'o', 0, 'r', 0, 'k', 0, 0, 0}, 4},
        {"ChangeDriveLetter", [](HANDLE h) { ChangeDriveLetter(h, u'K', u'M'); }, IOCTL_CHANGE_DRIVE_LETTER,
         {'K', 0, 'M', 0}, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.call(handle_);
        RecordedRequest sent = device_->Last();
        EXPECT_EQ(sent.code, c.code);
        EXPECT_EQ(sent.input, c.input);
        EXPECT_EQ(sent.outputLength, c.outputLength);
    }
    // The sizes callers count on.
    EXPECT_EQ(cases[0].input.size(), 12u);
    EXPECT_EQ(cases[2].input.size(), 46u);
    EXPECT_EQ(cases[10].input.size(), 12u);
}

TEST_F(DriverClientTest, PackStringPairPutsBothStringsWithTheirNuls) {
    EXPECT_EQ(PackStringPair(u"K:\\Docs\\a.txt", u"C:\\a.txt"),
              Join(Utf16(u"K:\\Docs\\a.txt", true), Utf16(u"C:\\a.txt", true)));
    EXPECT_EQ(PackStringPair(u"", u""), (std::vector<BYTE>{0, 0, 0, 0}));
}

TEST_F(DriverClientTest, StatusWordIsReturnedAsTheDriverWroteIt) {
    device_->Answer({STATUS_SUCCESS, Word(0xC0000035)});
    EXPECT_EQ(CreateFolder(handle_, u"K:\\Docs"), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(CreateMapping(handle_, u"K:\\a", u"C:\\a"), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(RenameFolder(handle_, u"K:\\a", u"b"), STATUS_OBJECT_NAME_COLLISION);
    device_->Answer({STATUS_SUCCESS, Word(0)});
    EXPECT_EQ(RenameMapping(handle_, u"K:\\a", u"b"), STATUS_SUCCESS);
    device_->Answer({STATUS_SUCCESS, Word(ItemFolderMapping)});
    EXPECT_EQ(QueryItemType(handle_, u"K:\\a"), ItemFolderMapping);
}

TEST_F(DriverClientTest, DeviceNameIsCutToTheBytesReturned) {
    device_->Answer({STATUS_SUCCESS, [] {
                         std::vector<UCHAR> name(34);
                         std::memcpy(name.data(), u"\\Device\\KTDrive12", 34);
                         return name;
                     }()});
    const std::u16string name = GetDriveDeviceName(handle_, u'K');
    EXPECT_EQ(name, u"\\Device\\KTDrive12");
    EXPECT_EQ(name.size(), 17u);
}

TEST_F(DriverClientTest, DeletesReturnOneWhateverTheAnswer) {
    device_->Answer({STATUS_OBJECT_NAME_NOT_FOUND, Word(STATUS_OBJECT_NAME_NOT_FOUND)});
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(DeleteMapping(handle_, u"K:\\missing", &status), 1);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(DeleteFolder(handle_, u"K:\\missing"), 1);
}

// A request that fails as a request never leaves the caller with 0: the
// output variable is not written then, so the status comes from the error.
TEST_F(DriverClientTest, FailedRequestsReturnTheStatusBehindTheError) {
    device_->Answer({STATUS_ACCESS_DENIED, Word(0)});
    EXPECT_EQ(CreateFolder(handle_, u"K:\\x"), STATUS_ACCESS_DENIED);
    EXPECT_EQ(CreateDrive(handle_, u'K', u"x"), STATUS_ACCESS_DENIED);
    EXPECT_EQ(SetDriveName(handle_, u"K:", u"x"), STATUS_ACCESS_DENIED);
    device_->Answer({STATUS_NO_SUCH_DEVICE, {}});
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(GetDriveDeviceName(handle_, u'Q', &status), u"");
    EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);  // the letter requests' reading of ERROR_FILE_NOT_FOUND
    ChangeDriveLetter(handle_, u'Q', u'R', &status);
    EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(QueryItemType(handle_, u"K:\\x", &status), ItemNone);
    EXPECT_NE(status, STATUS_SUCCESS);
    // A success that delivers no word is not taken for a verdict of 0.
    device_->Answer({STATUS_SUCCESS, {}});
    EXPECT_EQ(RenameMapping(handle_, u"K:\\a", u"b"), STATUS_UNSUCCESSFUL);
}

TEST_F(DriverClientTest, CallsOnABadHandleReturnDefinedFailures) {
    CloseHandle(handle_);
    const HANDLE closed = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    for (HANDLE bad : {closed, INVALID_HANDLE_VALUE}) {
        EXPECT_NE(CreateDrive(bad, u'K', u"Work"), STATUS_SUCCESS);
        EXPECT_NE(CreateFolder(bad, u"K:\\Docs"), STATUS_SUCCESS);
        EXPECT_NE(CreateMapping(bad, u"K:\\a", u"C:\\a"), STATUS_SUCCESS);
        EXPECT_NE(RenameMapping(bad, u"K:\\a", u"b"), STATUS_SUCCESS);
        EXPECT_NE(RenameFolder(bad, u"K:\\a", u"b"), STATUS_SUCCESS);
        EXPECT_NE(SetDriveName(bad, u"K:", u"x"), STATUS_SUCCESS);
        EXPECT_EQ(CreateFolder(bad, u"K:\\Docs"), STATUS_INVALID_HANDLE);
        EXPECT_EQ(QueryItemType(bad, u"K:\\a"), ItemNone);
        EXPECT_EQ(GetDriveDeviceName(bad, u'K'), u"");
        EXPECT_EQ(DeleteMapping(bad, u"K:\\a"), 1);
    }
    EXPECT_TRUE(device_->Requests().empty());
}

TEST(DriverClientWithoutDriver, OpenControlDeviceFails) {
    ob::ResetNamespace();
    EXPECT_EQ(OpenControlDevice(), INVALID_HANDLE_VALUE);
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
}

}  // namespace
}  // namespace korin::common_test

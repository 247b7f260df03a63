// File information calls: what travels through the system buffer, the
// position of synchronous files, and renames with their target directory.
#include "platform/nt/iomgr.h"
#include "test_driver.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>

namespace korin::test {
namespace {

class InformationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ob::ResetNamespace();
        a_.emplace(u"InfoA");
        b_.emplace(u"InfoB");
        a_->AddDevice(u"\\Device\\InfoA");
        b_->AddDevice(u"\\Device\\InfoB");
        ob::CreateSymbolicLink(u"\\??\\A:", u"\\Device\\InfoA");
        ob::CreateSymbolicLink(u"\\??\\B:", u"\\Device\\InfoB");
    }
    void TearDown() override {
        EXPECT_EQ(io::LiveFileObjects(), 0u);
        a_.reset();
        b_.reset();
        ob::ResetNamespace();
    }
    HANDLE OpenA(const std::u16string& name, ACCESS_MASK access = FILE_READ_DATA | DELETE | SYNCHRONIZE) {
        HANDLE handle = nullptr;
        EXPECT_EQ(Open(u"\\??\\A:" + name, &handle, access, FILE_SHARE_READ, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT),
                  STATUS_SUCCESS);
        return handle;
    }

    std::optional<TestDriver> a_, b_;
};

struct QueryCase {
    const char* what;
    NTSTATUS status;
    ULONG_PTR information;
    size_t copied;
};

TEST_F(InformationTest, QueriesCopyBackWhatTheDriverReportsUnlessItFailed) {
    const QueryCase cases[] = {
        {"success", STATUS_SUCCESS, 24, 24},
        {"warning", STATUS_BUFFER_OVERFLOW, 10, 10},
        {"error", STATUS_INFO_LENGTH_MISMATCH, 24, 0},
        {"information beyond the buffer", STATUS_SUCCESS, 1000, 32},
    };
    HANDLE handle = OpenA(u"\\f");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        unsigned char buffer[32];
        std::memset(buffer, 0x11, sizeof buffer);
        a_->On(IRP_MJ_QUERY_INFORMATION, [&](PDEVICE_OBJECT, PIRP irp) {
            EXPECT_NE(irp->AssociatedIrp.SystemBuffer, static_cast<void*>(buffer));
            EXPECT_EQ(irp->Stack.Parameters.QueryFile.Length, sizeof buffer);
            EXPECT_EQ(irp->Stack.Parameters.QueryFile.FileInformationClass, FileStandardInformation);
            std::memset(irp->AssociatedIrp.SystemBuffer, 0x77, sizeof buffer);
            return TestDriver::Complete(irp, c.status, c.information);
        });
        IO_STATUS_BLOCK io{};
        EXPECT_EQ(NtQueryInformationFile(handle, &io, buffer, sizeof buffer, FileStandardInformation), c.status);
        EXPECT_EQ(io.Information, c.information);
        for (size_t i = 0; i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], i < c.copied ? 0x77 : 0x11) << i;
    }
    NtClose(handle);
}

TEST_F(InformationTest, TheDriverGetsACopyOfWhatIsSet) {
    HANDLE handle = OpenA(u"\\f");
    FILE_DISPOSITION_INFORMATION disposition{TRUE};
    a_->On(IRP_MJ_SET_INFORMATION, [&](PDEVICE_OBJECT, PIRP irp) {
        auto& set = irp->Stack.Parameters.SetFile;
        EXPECT_EQ(set.FileInformationClass, FileDispositionInformation);
        EXPECT_EQ(set.FileObject, nullptr);
        EXPECT_NE(irp->AssociatedIrp.SystemBuffer, static_cast<void*>(&disposition));
        EXPECT_TRUE(static_cast<FILE_DISPOSITION_INFORMATION*>(irp->AssociatedIrp.SystemBuffer)->DeleteFile);
        return TestDriver::Complete(irp, STATUS_SUCCESS);
    });
    IO_STATUS_BLOCK io{};
    EXPECT_EQ(NtSetInformationFile(handle, &io, &disposition, sizeof disposition, FileDispositionInformation),
              STATUS_SUCCESS);
    NtClose(handle);
    HANDLE readOnly = OpenA(u"\\g", FILE_READ_DATA | SYNCHRONIZE);
    EXPECT_EQ(NtSetInformationFile(readOnly, &io, &disposition, sizeof disposition, FileDispositionInformation),
              STATUS_ACCESS_DENIED);
    NtClose(readOnly);
}

TEST_F(InformationTest, TheIoManagerKeepsThePositionOfSynchronousFiles) {
    HANDLE handle = OpenA(u"\\f");
    a_->ClearRequests();
    FILE_POSITION_INFORMATION position{};
    position.CurrentByteOffset.QuadPart = 4096;
    IO_STATUS_BLOCK io{};
    EXPECT_EQ(NtSetInformationFile(handle, &io, &position, sizeof position, FilePositionInformation), STATUS_SUCCESS);
    FILE_POSITION_INFORMATION read{};
    EXPECT_EQ(NtQueryInformationFile(handle, &io, &read, sizeof read, FilePositionInformation), STATUS_SUCCESS);
    EXPECT_EQ(read.CurrentByteOffset.QuadPart, 4096);
    position.CurrentByteOffset.QuadPart = -1;
    EXPECT_EQ(NtSetInformationFile(handle, &io, &position, sizeof position, FilePositionInformation),
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(a_->Requests().empty());
    NtClose(handle);
}

// A FILE_RENAME_INFORMATION with its name, in a buffer of the right alignment.
struct RenameBuffer {
    explicit RenameBuffer(const std::u16string& name, HANDLE root = nullptr, BOOLEAN replace = FALSE)
        : bytes(offsetof(FILE_RENAME_INFORMATION, FileName) + name.size() * 2) {
        storage.resize(bytes / 8 + 1);
        auto* info = reinterpret_cast<FILE_RENAME_INFORMATION*>(storage.data());
        info->ReplaceIfExists = replace;
        info->RootDirectory = root;
        info->FileNameLength = static_cast<ULONG>(name.size() * 2);
        std::memcpy(info->FileName, name.data(), name.size() * 2);
    }
    FILE_RENAME_INFORMATION* Info() { return reinterpret_cast<FILE_RENAME_INFORMATION*>(storage.data()); }
    ULONG Length() const { return static_cast<ULONG>(bytes); }
    size_t bytes;
    std::vector<uint64_t> storage;
};

TEST_F(InformationTest, ARenameOpensTheTargetDirectoryAndPassesItToTheDriver) {
    HANDLE handle = OpenA(u"\\dir\\old");
    PFILE_OBJECT seenTarget = nullptr;
    BOOLEAN seenReplace = FALSE;
    a_->On(IRP_MJ_SET_INFORMATION, [&](PDEVICE_OBJECT, PIRP irp) {
        seenTarget = irp->Stack.Parameters.SetFile.FileObject;
        seenReplace = irp->Stack.Parameters.SetFile.ReplaceIfExists;
        return TestDriver::Complete(irp, STATUS_SUCCESS);
    });
    a_->ClearRequests();
    RenameBuffer rename(u"\\??\\A:\\other\\new", nullptr, TRUE);
    IO_STATUS_BLOCK io{};
    ASSERT_EQ(NtSetInformationFile(handle, &io, rename.Info(), rename.Length(), FileRenameInformation),
              STATUS_SUCCESS);
    auto requests = a_->Requests();
    ASSERT_EQ(requests.size(), 4u);
    const Request& open = requests[0];
    EXPECT_EQ(open.major, IRP_MJ_CREATE);
    EXPECT_EQ(open.fileName, u"\\other\\new");
    EXPECT_EQ(open.stackFlags & SL_OPEN_TARGET_DIRECTORY, SL_OPEN_TARGET_DIRECTORY);
    EXPECT_EQ(open.desiredAccess, FILE_ADD_FILE | SYNCHRONIZE);
    EXPECT_EQ(open.shareAccess, FILE_SHARE_READ | FILE_SHARE_WRITE);
    EXPECT_EQ(open.createOptions >> 24, FILE_OPEN);
    EXPECT_EQ(requests[1].major, IRP_MJ_SET_INFORMATION);
    EXPECT_EQ(seenTarget, open.fileObject);
    EXPECT_TRUE(seenReplace);
    EXPECT_EQ(requests[2].major, IRP_MJ_CLEANUP);
    EXPECT_EQ(requests[2].fileObject, open.fileObject);
    EXPECT_EQ(requests[3].major, IRP_MJ_CLOSE);
    EXPECT_EQ(requests[3].fileObject, open.fileObject);
    NtClose(handle);
}

TEST_F(InformationTest, ARenameTargetMayBeRelativeToARootDirectory) {
    HANDLE handle = OpenA(u"\\dir\\old");
    HANDLE root = OpenA(u"\\dir2");
    a_->On(IRP_MJ_SET_INFORMATION, [](PDEVICE_OBJECT, PIRP irp) { return TestDriver::Complete(irp, STATUS_SUCCESS); });
    a_->ClearRequests();
    RenameBuffer rename(u"new", root);
    IO_STATUS_BLOCK io{};
    ASSERT_EQ(NtSetInformationFile(handle, &io, rename.Info(), rename.Length(), FileRenameInformation),
              STATUS_SUCCESS);
    auto requests = a_->Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests[0].fileName, u"new");
    PFILE_OBJECT rootObject = io::ReferenceFileObjectByHandle(root);
    EXPECT_EQ(requests[0].related, rootObject);
    io::DereferenceFileObject(rootObject);
    NtClose(root);
    NtClose(handle);
}

TEST_F(InformationTest, ABareNewNameNeedsNoTargetDirectory) {
    HANDLE handle = OpenA(u"\\dir\\old");
    PFILE_OBJECT seenTarget = reinterpret_cast<PFILE_OBJECT>(1);
    a_->On(IRP_MJ_SET_INFORMATION, [&](PDEVICE_OBJECT, PIRP irp) {
        seenTarget = irp->Stack.Parameters.SetFile.FileObject;
        return TestDriver::Complete(irp, STATUS_SUCCESS);
    });
    a_->ClearRequests();
    RenameBuffer rename(u"new");
    IO_STATUS_BLOCK io{};
    EXPECT_EQ(NtSetInformationFile(handle, &io, rename.Info(), rename.Length(), FileRenameInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(seenTarget, nullptr);
    EXPECT_EQ(a_->Majors(), std::vector<UCHAR>{IRP_MJ_SET_INFORMATION});
    NtClose(handle);
}

TEST_F(InformationTest, RenamesAcrossDevicesOrWithBadBuffersAreRefused) {
    HANDLE handle = OpenA(u"\\dir\\old");
    a_->ClearRequests();
    IO_STATUS_BLOCK io{};
    RenameBuffer other(u"\\??\\B:\\new");
    EXPECT_EQ(NtSetInformationFile(handle, &io, other.Info(), other.Length(), FileRenameInformation),
              STATUS_NOT_SAME_DEVICE);
    EXPECT_EQ(b_->Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));

    RenameBuffer odd(u"\\??\\A:\\x");
    odd.Info()->FileNameLength = 3;
    EXPECT_EQ(NtSetInformationFile(handle, &io, odd.Info(), odd.Length(), FileRenameInformation),
              STATUS_INVALID_PARAMETER);
    RenameBuffer tooLong(u"\\??\\A:\\x");
    tooLong.Info()->FileNameLength = 400;
    EXPECT_EQ(NtSetInformationFile(handle, &io, tooLong.Info(), tooLong.Length(), FileRenameInformation),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(NtSetInformationFile(handle, &io, other.Info(), 8, FileRenameInformation), STATUS_INFO_LENGTH_MISMATCH);
    RenameBuffer missing(u"\\??\\Q:\\x");
    EXPECT_EQ(NtSetInformationFile(handle, &io, missing.Info(), missing.Length(), FileRenameInformation),
              STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_TRUE(a_->Requests().empty());

    HANDLE noDelete = OpenA(u"\\dir\\ro", FILE_READ_DATA | SYNCHRONIZE);
    RenameBuffer same(u"\\??\\A:\\dir\\new");
    EXPECT_EQ(NtSetInformationFile(noDelete, &io, same.Info(), same.Length(), FileRenameInformation),
              STATUS_ACCESS_DENIED);
    NtClose(noDelete);
    NtClose(handle);
}

}  // namespace
}  // namespace korin::test

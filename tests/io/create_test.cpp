// Opens and the end of handles: what IRP_MJ_CREATE carries, reparse to
// another device and reparse loops, failed opens, cleanup and close order,
// kernel handles and process exit.
#include "platform/nt/iomgr.h"
#include "platform/nt/pool.h"
#include "platform/nt/process.h"
#include "platform/nt/zw.h"
#include "test_driver.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>

namespace korin::test {
namespace {

class CreateTest : public ::testing::Test {
protected:
    void SetUp() override {
        ob::ResetNamespace();
        a_.emplace(u"CreateA");
        b_.emplace(u"CreateB");
        devA_ = a_->AddDevice(u"\\Device\\VolA");
        devB_ = b_->AddDevice(u"\\Device\\VolB");
        ob::CreateSymbolicLink(u"\\??\\A:", u"\\Device\\VolA");
        ob::CreateSymbolicLink(u"\\??\\B:", u"\\Device\\VolB");
    }
    void TearDown() override {
        EXPECT_EQ(io::LiveFileObjects(), 0u);
        a_.reset();
        b_.reset();
        ob::ResetNamespace();
    }

    std::optional<TestDriver> a_, b_;
    PDEVICE_OBJECT devA_ = nullptr;
    PDEVICE_OBJECT devB_ = nullptr;
};

// Replaces the file object's name as a file system does before STATUS_REPARSE.
NTSTATUS Reparse(PIRP irp, const std::u16string& newName) {
    PFILE_OBJECT fileObject = irp->Stack.FileObject;
    ExFreePool(fileObject->FileName.Buffer);
    auto bytes = static_cast<USHORT>(newName.size() * sizeof(WCHAR));
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, bytes, PoolTag("Qnfn")));
    std::memcpy(buffer, newName.data(), bytes);
    fileObject->FileName = {bytes, bytes, buffer};
    return TestDriver::Complete(irp, STATUS_REPARSE, IO_REPARSE);
}

TEST_F(CreateTest, TheCreateRequestCarriesTheOpensParameters) {
    HANDLE handle;
    IO_STATUS_BLOCK io{};
    ASSERT_EQ(Open(u"\\??\\a:\\Dir\\File.txt", &handle, GENERIC_READ | SYNCHRONIZE, FILE_SHARE_READ, FILE_OPEN_IF,
                   FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr, &io),
              STATUS_SUCCESS);
    EXPECT_EQ(io.Status, STATUS_SUCCESS);
    EXPECT_EQ(io.Information, FILE_OPENED);
    auto requests = a_->Requests();
    ASSERT_EQ(requests.size(), 1u);
    const Request& r = requests[0];
    EXPECT_EQ(r.major, IRP_MJ_CREATE);
    EXPECT_EQ(r.device, devA_);
    EXPECT_EQ(r.fileName, u"\\Dir\\File.txt");
    EXPECT_EQ(r.related, nullptr);
    EXPECT_EQ(r.createOptions, (FILE_OPEN_IF << 24) | FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE);
    EXPECT_EQ(r.shareAccess, FILE_SHARE_READ);
    EXPECT_EQ(r.desiredAccess, FILE_GENERIC_READ | SYNCHRONIZE);
    EXPECT_EQ(r.requestorMode, UserMode);
    EXPECT_TRUE(r.synchronous);
    EXPECT_EQ(r.stackFlags & (SL_OPEN_TARGET_DIRECTORY | SL_CASE_SENSITIVE), 0);
    EXPECT_TRUE(r.fileObject->Flags & FO_SYNCHRONOUS_IO);
    EXPECT_EQ(r.fileObject->DeviceObject, devA_);
    EXPECT_EQ(NtClose(handle), STATUS_SUCCESS);
}

TEST_F(CreateTest, AReparseOpensTheNewNameOnAnotherDevice) {
    a_->On(IRP_MJ_CREATE, [](PDEVICE_OBJECT, PIRP irp) {
        std::u16string rest(irp->Stack.FileObject->FileName.Buffer, irp->Stack.FileObject->FileName.Length / 2);
        return Reparse(irp, u"\\??\\B:\\Target" + rest.substr(rest.find(u'\\', 1)));
    });
    HANDLE handle;
    IO_STATUS_BLOCK io{};
    ASSERT_EQ(Open(u"\\??\\A:\\Map\\plan.txt", &handle, FILE_READ_DATA, FILE_SHARE_READ, FILE_OPEN,
                   FILE_SYNCHRONOUS_IO_NONALERT, nullptr, &io),
              STATUS_SUCCESS);
    EXPECT_EQ(io.Information, FILE_OPENED);
    EXPECT_EQ(a_->Majors(), std::vector<UCHAR>{IRP_MJ_CREATE});  // the reparsed file object gets no cleanup or close
    auto requests = b_->Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].fileName, u"\\Target\\plan.txt");
    EXPECT_EQ(requests[0].device, devB_);
    PFILE_OBJECT fileObject = io::ReferenceFileObjectByHandle(handle);
    ASSERT_NE(fileObject, nullptr);
    EXPECT_EQ(fileObject->DeviceObject, devB_);
    io::DereferenceFileObject(fileObject);
    EXPECT_EQ(io::LiveFileObjects(), 1u);
    EXPECT_EQ(NtClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(b_->Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
}

TEST_F(CreateTest, AReparseLoopEndsUnresolved) {
    a_->On(IRP_MJ_CREATE, [](PDEVICE_OBJECT, PIRP irp) { return Reparse(irp, u"\\??\\A:\\again"); });
    size_t namesBefore = pool::LiveBlocks("Qnfn");
    HANDLE handle = nullptr;
    EXPECT_EQ(Open(u"\\??\\A:\\start", &handle), STATUS_REPARSE_POINT_NOT_RESOLVED);
    EXPECT_EQ(a_->Requests().size(), static_cast<size_t>(io::kMaxReparses) + 1);
    EXPECT_EQ(pool::LiveBlocks("Qnfn"), namesBefore);
}

TEST_F(CreateTest, AReparseToANameThatDoesNotExistFailsWithTheParseStatus) {
    a_->On(IRP_MJ_CREATE, [](PDEVICE_OBJECT, PIRP irp) { return Reparse(irp, u"\\??\\Q:\\x"); });
    HANDLE handle;
    EXPECT_EQ(Open(u"\\??\\A:\\m", &handle), STATUS_OBJECT_PATH_NOT_FOUND);
}

TEST_F(CreateTest, AFailedCreateFreesTheFileObjectWithoutCleanupOrClose) {
    a_->On(IRP_MJ_CREATE, [](PDEVICE_OBJECT, PIRP irp) {
        return TestDriver::Complete(irp, STATUS_OBJECT_NAME_NOT_FOUND, FILE_DOES_NOT_EXIST);
    });
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK io{};
    EXPECT_EQ(Open(u"\\??\\A:\\missing", &handle, FILE_READ_DATA, 0, FILE_OPEN, 0, nullptr, &io),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(io.Information, FILE_DOES_NOT_EXIST);
    EXPECT_EQ(a_->Majors(), std::vector<UCHAR>{IRP_MJ_CREATE});
    EXPECT_EQ(pool::LiveBlocks("IoNm"), 0u);
}

TEST_F(CreateTest, BadOpenArgumentsAreRefusedBeforeAnyDriverSeesThem) {
    struct Case {
        const char16_t* name;
        ULONG disposition;
        ULONG options;
        ACCESS_MASK access;
        NTSTATUS expected;
    } cases[] = {
        {u"\\??\\A:\\f", 6, 0, FILE_READ_DATA, STATUS_INVALID_PARAMETER},
        {u"\\??\\A:\\f", FILE_OPEN, FILE_DIRECTORY_FILE | FILE_NON_DIRECTORY_FILE, FILE_READ_DATA,
         STATUS_INVALID_PARAMETER},
        {u"\\??\\A:\\f", FILE_OVERWRITE_IF, FILE_DIRECTORY_FILE, FILE_READ_DATA, STATUS_INVALID_PARAMETER},
        {u"\\??\\A:\\f", FILE_OPEN, FILE_DELETE_ON_CLOSE, FILE_READ_DATA, STATUS_INVALID_PARAMETER},
        {u"A:\\f", FILE_OPEN, 0, FILE_READ_DATA, STATUS_OBJECT_PATH_SYNTAX_BAD},
        {u"\\??\\Nope:\\f", FILE_OPEN, 0, FILE_READ_DATA, STATUS_OBJECT_PATH_NOT_FOUND},
    };
    for (const auto& c : cases) {
        HANDLE handle;
        EXPECT_EQ(Open(c.name, &handle, c.access, 0, c.disposition, c.options), c.expected);
    }
    EXPECT_TRUE(a_->Requests().empty());
}

TEST_F(CreateTest, CleanupAtTheLastHandleAndCloseAtTheLastReference) {
    HANDLE dir, file;
    ASSERT_EQ(Open(u"\\??\\A:\\dir", &dir), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"sub\\file", &file, FILE_READ_DATA | SYNCHRONIZE, FILE_SHARE_READ, FILE_OPEN,
                   FILE_SYNCHRONOUS_IO_NONALERT, dir),
              STATUS_SUCCESS);
    auto opens = a_->Requests();
    ASSERT_EQ(opens.size(), 2u);
    PFILE_OBJECT dirObject = opens[0].fileObject;
    PFILE_OBJECT fileObject = opens[1].fileObject;
    EXPECT_EQ(opens[1].related, dirObject);
    EXPECT_EQ(opens[1].fileName, u"sub\\file");
    a_->ClearRequests();

    // The related open keeps the directory's file object: cleanup only.
    EXPECT_EQ(NtClose(dir), STATUS_SUCCESS);
    auto afterFirst = a_->Requests();
    ASSERT_EQ(afterFirst.size(), 1u);
    EXPECT_EQ(afterFirst[0].major, IRP_MJ_CLEANUP);
    EXPECT_EQ(afterFirst[0].fileObject, dirObject);
    a_->ClearRequests();

    EXPECT_EQ(NtClose(file), STATUS_SUCCESS);
    auto afterSecond = a_->Requests();
    ASSERT_EQ(afterSecond.size(), 3u);
    EXPECT_EQ(afterSecond[0].major, IRP_MJ_CLEANUP);
    EXPECT_EQ(afterSecond[0].fileObject, fileObject);
    EXPECT_EQ(afterSecond[1].major, IRP_MJ_CLOSE);
    EXPECT_EQ(afterSecond[1].fileObject, fileObject);
    EXPECT_EQ(afterSecond[2].major, IRP_MJ_CLOSE);
    EXPECT_EQ(afterSecond[2].fileObject, dirObject);
    EXPECT_EQ(NtClose(file), STATUS_INVALID_HANDLE);
}

TEST_F(CreateTest, AReferenceOutlivesTheHandle) {
    HANDLE handle;
    ASSERT_EQ(Open(u"\\??\\A:\\f", &handle), STATUS_SUCCESS);
    PFILE_OBJECT fileObject = io::ReferenceFileObjectByHandle(handle);
    ASSERT_NE(fileObject, nullptr);
    a_->ClearRequests();
    EXPECT_EQ(NtClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(a_->Majors(), std::vector<UCHAR>{IRP_MJ_CLEANUP});
    EXPECT_EQ(io::ReferenceFileObjectByHandle(handle), nullptr);
    io::DereferenceFileObject(fileObject);
    EXPECT_EQ(a_->Majors(), (std::vector<UCHAR>{IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
}

TEST_F(CreateTest, ARelativeNameMustNotBeAbsolute) {
    HANDLE dir, file;
    ASSERT_EQ(Open(u"\\??\\A:\\dir", &dir), STATUS_SUCCESS);
    EXPECT_EQ(Open(u"\\file", &file, FILE_READ_DATA, 0, FILE_OPEN, 0, dir), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Open(u"file", &file, FILE_READ_DATA, 0, FILE_OPEN, 0, reinterpret_cast<HANDLE>(0x7ffc)),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(NtClose(dir), STATUS_SUCCESS);
}

TEST_F(CreateTest, KernelOpensUseTheKernelHandleTable) {
    NtName name(u"\\??\\B:\\k");
    name.attributes.Attributes |= OBJ_KERNEL_HANDLE;
    IO_STATUS_BLOCK io{};
    HANDLE handle;
    ASSERT_EQ(ZwOpenFile(&handle, FILE_READ_ATTRIBUTES, &name.attributes, &io, FILE_SHARE_READ, 0), STATUS_SUCCESS);
    EXPECT_EQ(b_->Requests()[0].requestorMode, KernelMode);
    EXPECT_EQ(ps::CurrentProcess().Handles().Lookup(handle), nullptr);
    EXPECT_EQ(NtClose(handle), STATUS_INVALID_HANDLE);
    EXPECT_EQ(ob::KernelHandles().Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(b_->Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
}

TEST_F(CreateTest, ProcessExitCleansUpAndClosesEveryHandleNewestFirst) {
    PFILE_OBJECT first = nullptr, second = nullptr;
    {
        ps::Process process("client");
        ps::ProcessScope scope(process);
        HANDLE h1, h2;
        ASSERT_EQ(Open(u"\\??\\A:\\one", &h1), STATUS_SUCCESS);
        ASSERT_EQ(Open(u"\\??\\A:\\two", &h2), STATUS_SUCCESS);
        EXPECT_EQ(process.Handles().Count(), 2u);
        EXPECT_EQ(ps::SystemProcess().Handles().Lookup(h1), nullptr);
        auto opens = a_->Requests();
        first = opens[0].fileObject;
        second = opens[1].fileObject;
        a_->ClearRequests();
    }
    auto requests = a_->Requests();
    ASSERT_EQ(requests.size(), 4u);
    const std::pair<UCHAR, PFILE_OBJECT> expected[] = {
        {IRP_MJ_CLEANUP, second}, {IRP_MJ_CLOSE, second}, {IRP_MJ_CLEANUP, first}, {IRP_MJ_CLOSE, first}};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(requests[i].major, expected[i].first) << i;
        EXPECT_EQ(requests[i].fileObject, expected[i].second) << i;
    }
}

}  // namespace
}  // namespace korin::test

namespace korin::test {
namespace {

PDEVICE_OBJECT g_hostDevice = nullptr;

int HostDescriptorOf(PFILE_OBJECT fileObject) { return fileObject->DeviceObject == g_hostDevice ? 42 : -1; }

TEST_F(CreateTest, TheHostDescriptorOfAHandleComesFromTheRegisteredHook) {
    HANDLE onA, onB;
    ASSERT_EQ(Open(u"\\??\\A:\\f", &onA), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"\\??\\B:\\f", &onB), STATUS_SUCCESS);
    EXPECT_EQ(io::HostDescriptorOfHandle(onA), -1);  // no hook yet
    g_hostDevice = devB_;
    io::SetHostDescriptorHook(HostDescriptorOf);
    EXPECT_EQ(io::HostDescriptorOfHandle(onA), -1);
    EXPECT_EQ(io::HostDescriptorOfHandle(onB), 42);
    EXPECT_EQ(io::HostDescriptorOfHandle(reinterpret_cast<HANDLE>(0x7ff0)), -1);
    io::SetHostDescriptorHook(nullptr);
    EXPECT_EQ(io::HostDescriptorOfHandle(onB), -1);
    NtClose(onA);
    NtClose(onB);
}

}  // namespace
}  // namespace korin::test

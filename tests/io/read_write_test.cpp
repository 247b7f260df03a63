// Reading, writing and directory queries: offsets and the position of
// synchronous files, the device's buffering method, asynchronous requests a
// driver posts, and the caller's buffer in a directory query.
#include "platform/nt/exceptions.h"
#include "platform/nt/iomgr.h"
#include "platform/nt/pool.h"
#include "test_driver.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <thread>

namespace korin::test {
namespace {

class ReadWriteTest : public ::testing::Test {
protected:
    void SetUp() override {
        ob::ResetNamespace();
        driver_.emplace(u"RwTest");
        device_ = driver_->AddDevice(u"\\Device\\Rw");
        // A file of 100 bytes, each its own offset.
        driver_->On(IRP_MJ_READ, [this](PDEVICE_OBJECT, PIRP irp) {
            auto& p = irp->Stack.Parameters.Read;
            offsets_.push_back(p.ByteOffset.QuadPart);
            LONGLONG offset = p.ByteOffset.QuadPart;
            if (offset >= 100) return TestDriver::Complete(irp, STATUS_END_OF_FILE);
            ULONG count = static_cast<ULONG>(std::min<LONGLONG>(p.Length, 100 - offset));
            auto* out = static_cast<unsigned char*>(irp->AssociatedIrp.SystemBuffer ? irp->AssociatedIrp.SystemBuffer
                                                                                     : irp->UserBuffer);
            for (ULONG i = 0; i < count; ++i) out[i] = static_cast<unsigned char>(offset + i);
            return TestDriver::Complete(irp, STATUS_SUCCESS, count);
        });
    }
    void TearDown() override {
        EXPECT_EQ(io::LiveFileObjects(), 0u);
        driver_.reset();
        ob::ResetNamespace();
    }

    std::optional<TestDriver> driver_;
    PDEVICE_OBJECT device_ = nullptr;
    std::vector<LONGLONG> offsets_;
};

TEST_F(ReadWriteTest, ReadsOfASynchronousFileAdvanceItsPosition) {
    for (bool buffered : {false, true}) {
        SCOPED_TRACE(buffered ? "buffered device" : "neither-I/O device");
        offsets_.clear();
        device_->Flags = buffered ? (device_->Flags | DO_BUFFERED_IO) : (device_->Flags & ~DO_BUFFERED_IO);
        HANDLE handle;
        ASSERT_EQ(Open(u"\\Device\\Rw\\f", &handle), STATUS_SUCCESS);
        unsigned char buffer[64];
        IO_STATUS_BLOCK io{};
        EXPECT_EQ(NtReadFile(handle, nullptr, nullptr, nullptr, &io, buffer, 60, nullptr, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(io.Information, 60u);
        EXPECT_EQ(buffer[59], 59);
        EXPECT_EQ(NtReadFile(handle, nullptr, nullptr, nullptr, &io, buffer, 60, nullptr, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(io.Information, 40u);
        EXPECT_EQ(buffer[0], 60);
        EXPECT_EQ(NtReadFile(handle, nullptr, nullptr, nullptr, &io, buffer, 60, nullptr, nullptr), STATUS_END_OF_FILE);
        LARGE_INTEGER at{};
        at.QuadPart = 10;
        EXPECT_EQ(NtReadFile(handle, nullptr, nullptr, nullptr, &io, buffer, 5, &at, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(buffer[0], 10);
        EXPECT_EQ(NtReadFile(handle, nullptr, nullptr, nullptr, &io, buffer, 1, nullptr, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(buffer[0], 15);
        EXPECT_EQ(offsets_, (std::vector<LONGLONG>{0, 60, 100, 10, 15}));
        NtClose(handle);
    }
}

TEST_F(ReadWriteTest, AnAsynchronousFileNeedsAnOffsetAndMayBePosted) {
    driver_->On(IRP_MJ_READ, [](PDEVICE_OBJECT device, PIRP irp) {
        EXPECT_FALSE(IoIsOperationSynchronous(irp));
        IoMarkIrpPending(irp);
        PIO_WORKITEM item = IoAllocateWorkItem(device);
        struct Context {
            PIO_WORKITEM item;
            PIRP irp;
        };
        IoQueueWorkItem(
            item,
            [](PDEVICE_OBJECT, PVOID context) {
                auto* c = static_cast<Context*>(context);
                IoFreeWorkItem(c->item);
                std::memcpy(c->irp->UserBuffer, "late", 4);
                TestDriver::Complete(c->irp, STATUS_SUCCESS, 4);
                delete c;
            },
            CriticalWorkQueue, new Context{item, irp});
        return STATUS_PENDING;
    });
    HANDLE handle;
    ASSERT_EQ(Open(u"\\Device\\Rw\\f", &handle, FILE_READ_DATA, 0, FILE_OPEN, 0), STATUS_SUCCESS);
    char buffer[8] = {};
    IO_STATUS_BLOCK io{};
    EXPECT_EQ(NtReadFile(handle, nullptr, nullptr, nullptr, &io, buffer, 4, nullptr, nullptr), STATUS_INVALID_PARAMETER);
    LARGE_INTEGER at{};
    EXPECT_EQ(NtReadFile(handle, nullptr, nullptr, nullptr, &io, buffer, 4, &at, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(io.Information, 4u);
    EXPECT_STREQ(buffer, "late");
    NtClose(handle);
}

TEST_F(ReadWriteTest, WritesNeedWriteAccessAndReachAnUnsetRoutineAsInvalid) {
    HANDLE readOnly, writable;
    ASSERT_EQ(Open(u"\\Device\\Rw\\f", &readOnly), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"\\Device\\Rw\\f", &writable, FILE_APPEND_DATA | SYNCHRONIZE), STATUS_SUCCESS);
    char data[4] = "abc";
    IO_STATUS_BLOCK io{};
    EXPECT_EQ(NtWriteFile(readOnly, nullptr, nullptr, nullptr, &io, data, 3, nullptr, nullptr), STATUS_ACCESS_DENIED);
    EXPECT_EQ(NtWriteFile(writable, nullptr, nullptr, nullptr, &io, data, 3, nullptr, nullptr),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(NtReadFile(writable, nullptr, nullptr, nullptr, &io, data, 3, nullptr, nullptr), STATUS_ACCESS_DENIED);
    NtClose(readOnly);
    NtClose(writable);
}

TEST_F(ReadWriteTest, ADirectoryQueryFillsTheCallersBufferEvenFromAWorker) {
    UNICODE_STRING pattern = RTL_CONSTANT_STRING(u"*.TXT");
    struct Seen {
        PVOID userBuffer = nullptr;
        std::u16string pattern;
        UCHAR flags = 0;
        FILE_INFORMATION_CLASS infoClass{};
        ULONG fileIndex = 0;
        KPROCESSOR_MODE mode = KernelMode;
    } seen;
    driver_->On(IRP_MJ_DIRECTORY_CONTROL, [&](PDEVICE_OBJECT device, PIRP irp) {
        auto& q = irp->Stack.Parameters.QueryDirectory;
        seen = {irp->UserBuffer, io::ToString(q.FileName), irp->Stack.Flags, q.FileInformationClass, q.FileIndex,
                irp->RequestorMode};
        // Lock the caller's buffer in its own thread, fill it from a worker.
        IoAllocateMdl(irp->UserBuffer, q.Length, FALSE, FALSE, irp);
        MmProbeAndLockPages(irp->MdlAddress, irp->RequestorMode, IoWriteAccess);
        IoMarkIrpPending(irp);
        PIO_WORKITEM item = IoAllocateWorkItem(device);
        struct Context {
            PIO_WORKITEM item;
            PIRP irp;
        };
        IoQueueWorkItem(
            item,
            [](PDEVICE_OBJECT, PVOID context) {
                auto* c = static_cast<Context*>(context);
                IoFreeWorkItem(c->item);
                auto* out = static_cast<char*>(MmMapLockedPagesSpecifyCache(c->irp->MdlAddress, KernelMode, MmCached,
                                                                            nullptr, FALSE, NormalPagePriority));
                std::memcpy(out, "entries", 8);
                TestDriver::Complete(c->irp, STATUS_SUCCESS, 8);
                delete c;
            },
            CriticalWorkQueue, new Context{item, irp});
        return STATUS_PENDING;
    });
    HANDLE dir;
    ASSERT_EQ(Open(u"\\Device\\Rw\\dir", &dir, FILE_LIST_DIRECTORY | SYNCHRONIZE), STATUS_SUCCESS);
    char buffer[128] = {};
    IO_STATUS_BLOCK io{};
    size_t mdlsBefore = pool::LiveBlocks("IoMd");
    EXPECT_EQ(KorinQueryDirectoryFile(dir, &io, buffer, sizeof buffer, FileBothDirectoryInformation,
                                      SL_RESTART_SCAN | SL_INDEX_SPECIFIED, &pattern, 42),
              STATUS_SUCCESS);
    EXPECT_STREQ(buffer, "entries");
    EXPECT_EQ(io.Information, 8u);
    EXPECT_EQ(pool::LiveBlocks("IoMd"), mdlsBefore);
    EXPECT_EQ(seen.userBuffer, static_cast<void*>(buffer));
    EXPECT_EQ(seen.pattern, u"*.TXT");
    EXPECT_EQ(seen.flags, SL_RESTART_SCAN | SL_INDEX_SPECIFIED);
    EXPECT_EQ(seen.infoClass, FileBothDirectoryInformation);
    EXPECT_EQ(seen.fileIndex, 42u);
    EXPECT_EQ(seen.mode, UserMode);

    EXPECT_EQ(NtQueryDirectoryFile(dir, nullptr, nullptr, nullptr, &io, buffer, sizeof buffer,
                                   FileNamesInformation, TRUE, nullptr, FALSE),
              STATUS_SUCCESS);
    EXPECT_EQ(seen.flags, SL_RETURN_SINGLE_ENTRY);
    EXPECT_TRUE(seen.pattern.empty());
    NtClose(dir);

    HANDLE noList;
    ASSERT_EQ(Open(u"\\Device\\Rw\\dir", &noList, FILE_READ_ATTRIBUTES), STATUS_SUCCESS);
    EXPECT_EQ(NtQueryDirectoryFile(noList, nullptr, nullptr, nullptr, &io, buffer, sizeof buffer,
                                   FileNamesInformation, TRUE, nullptr, FALSE),
              STATUS_ACCESS_DENIED);
    NtClose(noList);
}

}  // namespace
}  // namespace korin::test

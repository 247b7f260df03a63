// Sending requests to drivers: the default routine of unset major functions,
// exceptions escaping a dispatch routine, requests posted to worker threads
// and what IoIsOperationSynchronous answers.
#include "platform/nt/exceptions.h"
#include "platform/nt/iomgr.h"
#include "platform/nt/resource.h"
#include "test_driver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <stdexcept>
#include <thread>

namespace korin::test {
namespace {

class DispatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        ob::ResetNamespace();
        driver_.emplace(u"DispatchTest");
        device_ = driver_->AddDevice(u"\\Device\\Disp");
    }
    void TearDown() override {
        EXPECT_EQ(io::LiveFileObjects(), 0u);
        driver_.reset();
        ob::ResetNamespace();
    }

    std::optional<TestDriver> driver_;
    PDEVICE_OBJECT device_ = nullptr;
};

TEST_F(DispatchTest, AnUnsetMajorFunctionIsAnInvalidDeviceRequest) {
    driver_->Unset(IRP_MJ_CREATE);
    HANDLE handle;
    EXPECT_EQ(Open(u"\\Device\\Disp", &handle), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(driver_->Requests().empty());
}

struct ThrowCase {
    const char* what;
    std::function<void()> raise;
    NTSTATUS expected;
};

TEST_F(DispatchTest, ExceptionsEscapingADispatchRoutineFailTheRequestOnly) {
    const ThrowCase cases[] = {
        {"raised access violation", [] { ExRaiseStatus(STATUS_ACCESS_VIOLATION); }, STATUS_ACCESS_VIOLATION},
        {"raised misalignment", [] { ExRaiseStatus(STATUS_DATATYPE_MISALIGNMENT); }, STATUS_DATATYPE_MISALIGNMENT},
        {"bad_alloc", [] { throw std::bad_alloc(); }, STATUS_INSUFFICIENT_RESOURCES},
        {"runtime_error", [] { throw std::runtime_error("driver bug"); }, STATUS_DRIVER_INTERNAL_ERROR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        driver_->On(IRP_MJ_CREATE, [&](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
            // State a driver sets on entry and would undo on a normal return.
            KeEnterCriticalRegion();
            IoSetTopLevelIrp(irp);
            c.raise();
            return STATUS_SUCCESS;
        });
        HANDLE handle;
        EXPECT_EQ(Open(u"\\Device\\Disp\\f", &handle), c.expected);
        EXPECT_EQ(IoGetTopLevelIrp(), nullptr);
        EXPECT_EQ(KeCriticalRegionDepth(), 0u);
    }
}

TEST_F(DispatchTest, AnExceptionAfterCompletionKeepsTheCompletion) {
    driver_->On(IRP_MJ_CREATE, [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        TestDriver::Complete(irp, STATUS_SUCCESS, FILE_OPENED);
        ExRaiseStatus(STATUS_ACCESS_VIOLATION);
    });
    HANDLE handle;
    ASSERT_EQ(Open(u"\\Device\\Disp\\f", &handle), STATUS_SUCCESS);
    EXPECT_EQ(NtClose(handle), STATUS_SUCCESS);
}

TEST_F(DispatchTest, ProbingMemoryTheCallerDidNotHandInRaisesAccessViolation) {
    char declared[16];
    char undeclared[16];
    driver_->On(IRP_MJ_CREATE, [&](PDEVICE_OBJECT, PIRP irp) {
        ProbeForWrite(declared, sizeof declared, 1);
        ProbeForRead(undeclared, sizeof undeclared, 1);
        return TestDriver::Complete(irp, STATUS_SUCCESS, FILE_OPENED);
    });
    io::UserBufferScope scope(declared, sizeof declared);
    HANDLE handle;
    EXPECT_EQ(Open(u"\\Device\\Disp\\f", &handle), STATUS_ACCESS_VIOLATION);
}

// The posting pattern of a file system: mark pending, queue a work item,
// complete from the worker (which frees its work item first).
struct Posted {
    PIO_WORKITEM item;
    PIRP irp;
    NTSTATUS status;
    std::atomic<bool>* release;
};

void PostedWorker(PDEVICE_OBJECT, PVOID context) {
    auto* posted = static_cast<Posted*>(context);
    IoFreeWorkItem(posted->item);
    while (!posted->release->load()) std::this_thread::yield();
    TestDriver::Complete(posted->irp, posted->status, 7);
    delete posted;
}

NTSTATUS PostToWorker(PDEVICE_OBJECT device, PIRP irp, NTSTATUS finalStatus, std::atomic<bool>* release) {
    IoMarkIrpPending(irp);
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    IoQueueWorkItem(item, PostedWorker, CriticalWorkQueue, new Posted{item, irp, finalStatus, release});
    return STATUS_PENDING;
}

TEST_F(DispatchTest, APostedRequestCompletesItsWaitingCallerWithTheWorkersStatus) {
    std::atomic<bool> release{false};
    std::atomic<bool> dispatched{false};
    driver_->On(IRP_MJ_CREATE, [&](PDEVICE_OBJECT device, PIRP irp) {
        dispatched = true;
        return PostToWorker(device, irp, STATUS_SHARING_VIOLATION, &release);
    });
    NTSTATUS result = STATUS_PENDING;
    IO_STATUS_BLOCK io{};
    std::thread caller([&] {
        HANDLE handle;
        result = Open(u"\\Device\\Disp\\f", &handle, FILE_READ_DATA, 0, FILE_OPEN, 0, nullptr, &io);
    });
    while (!dispatched) std::this_thread::yield();
    release = true;
    caller.join();
    EXPECT_EQ(result, STATUS_SHARING_VIOLATION);
    EXPECT_EQ(io.Information, 7u);
}

TEST_F(DispatchTest, OnlyRequestsOnSynchronousFilesOrApisAreSynchronous) {
    std::atomic<bool> release{true};
    std::vector<BOOLEAN> seen;
    driver_->On(IRP_MJ_READ, [&](PDEVICE_OBJECT device, PIRP irp) {
        seen.push_back(IoIsOperationSynchronous(irp));
        if (!IoIsOperationSynchronous(irp)) return PostToWorker(device, irp, STATUS_END_OF_FILE, &release);
        return TestDriver::Complete(irp, STATUS_SUCCESS);
    });
    HANDLE syncHandle, asyncHandle;
    ASSERT_EQ(Open(u"\\Device\\Disp\\s", &syncHandle, FILE_READ_DATA | SYNCHRONIZE, 0, FILE_OPEN,
                   FILE_SYNCHRONOUS_IO_NONALERT),
              STATUS_SUCCESS);
    ASSERT_EQ(Open(u"\\Device\\Disp\\a", &asyncHandle, FILE_READ_DATA, 0, FILE_OPEN, 0), STATUS_SUCCESS);
    PFILE_OBJECT syncFile = io::ReferenceFileObjectByHandle(syncHandle);
    PFILE_OBJECT asyncFile = io::ReferenceFileObjectByHandle(asyncHandle);

    const std::pair<PFILE_OBJECT, ULONG> requests[] = {
        {syncFile, 0}, {asyncFile, 0}, {asyncFile, IRP_SYNCHRONOUS_API}};
    std::vector<NTSTATUS> results;
    for (auto [file, flags] : requests) {
        PIRP irp = io::AllocateIrp(IRP_MJ_READ, file, UserMode);
        irp->Flags |= flags;
        results.push_back(io::SendIrpAndWait(irp));
        io::FreeIrp(irp);
    }
    EXPECT_EQ(seen, (std::vector<BOOLEAN>{TRUE, FALSE, TRUE}));
    EXPECT_EQ(results, (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_END_OF_FILE, STATUS_SUCCESS}));
    io::DereferenceFileObject(syncFile);
    io::DereferenceFileObject(asyncFile);
    NtClose(syncHandle);
    NtClose(asyncHandle);
}

}  // namespace
}  // namespace korin::test

namespace korin::test {
namespace {

TEST_F(DispatchTest, RequestObserversSeeEveryCompletedRequestBeforeItIsFreed) {
    std::vector<std::pair<UCHAR, NTSTATUS>> seen;
    std::vector<CCHAR> boosts;
    int id = io::AddRequestObserver([&](PIRP irp) {
        seen.emplace_back(irp->Stack.MajorFunction, irp->IoStatus.Status);
        boosts.push_back(irp->Completion.PriorityBoost);
    });
    driver_->On(IRP_MJ_READ, [](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_END_OF_FILE;
        IoCompleteRequest(irp, IO_DISK_INCREMENT);
        return STATUS_END_OF_FILE;
    });
    HANDLE handle;
    ASSERT_EQ(Open(u"\\Device\\Disp\\f", &handle), STATUS_SUCCESS);
    char buffer[4];
    IO_STATUS_BLOCK io{};
    NtReadFile(handle, nullptr, nullptr, nullptr, &io, buffer, sizeof buffer, nullptr, nullptr);
    NtClose(handle);
    io::RemoveRequestObserver(id);
    ASSERT_EQ(Open(u"\\Device\\Disp\\f", &handle), STATUS_SUCCESS);
    NtClose(handle);
    const std::vector<std::pair<UCHAR, NTSTATUS>> expected = {{IRP_MJ_CREATE, STATUS_SUCCESS},
                                                              {IRP_MJ_READ, STATUS_END_OF_FILE},
                                                              {IRP_MJ_CLEANUP, STATUS_SUCCESS},
                                                              {IRP_MJ_CLOSE, STATUS_SUCCESS}};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(boosts, (std::vector<CCHAR>{IO_NO_INCREMENT, IO_DISK_INCREMENT, IO_NO_INCREMENT, IO_NO_INCREMENT}));
}

}  // namespace
}  // namespace korin::test

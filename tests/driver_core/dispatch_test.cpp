// Request dispatch seen from a handler: this program routes
// IRP_MJ_SET_VOLUME_INFORMATION to a stub handler (the link step wraps
// CommonSetVolumeInformation), so each test decides what "the handler" does:
// complete, post, raise an expected status or fault. The requests go to a
// drive's volume device through the I/O manager, as any request does.
#include "core_fixture.h"

#include "platform/nt/iomgr.h"
#include "platform/nt/pool.h"
#include "platform/nt/workqueue.h"

#include <cstring>
#include <functional>
#include <thread>

namespace {
std::function<NTSTATUS(IRP_CONTEXT*)> g_stub;
}

extern "C" NTSTATUS __real__Z26CommonSetVolumeInformationP11IRP_CONTEXT(IRP_CONTEXT* context);
extern "C" NTSTATUS __wrap__Z26CommonSetVolumeInformationP11IRP_CONTEXT(IRP_CONTEXT* context) {
    return g_stub ? g_stub(context) : __real__Z26CommonSetVolumeInformationP11IRP_CONTEXT(context);
}

namespace korin::drivercore {
namespace {

// What the stub saw on one run.
struct HandlerRun {
    std::thread::id thread;
    BOOLEAN wait = FALSE;
    BOOLEAN isTopLevel = FALSE;
    PIRP topLevel = nullptr;
    ULONG criticalRegions = 0;
};

class DispatchTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        StoreDrive(u"0", u'X', u"Dispatch");
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        device_ = Drive(u'X')->VolumeDevice;
    }
    void TearDown() override {
        g_stub = nullptr;
        DriverTest::TearDown();
    }
    // A request the stub handler serves; synchronous ones may wait.
    PIRP NewRequest(bool synchronous) {
        PIRP irp = io::AllocateIrp(IRP_MJ_SET_VOLUME_INFORMATION, nullptr, UserMode);
        if (synchronous) irp->Flags |= IRP_SYNCHRONOUS_API;
        return irp;
    }
    static void WaitFor(PIRP irp) {
        std::unique_lock lock(irp->Completion.Mutex);
        irp->Completion.Done.wait(lock, [&] { return irp->Completion.Completed; });
    }
    // Records the run, then does what the test asked.
    void Stub(std::function<NTSTATUS(IRP_CONTEXT*, int)> then) {
        g_stub = [this, then](IRP_CONTEXT* context) {
            runs_.push_back({std::this_thread::get_id(), context->Wait, context->IsTopLevel, IoGetTopLevelIrp(),
                             KeCriticalRegionDepth()});
            return then(context, static_cast<int>(runs_.size()));
        };
    }

    PDEVICE_OBJECT device_ = nullptr;
    std::vector<HandlerRun> runs_;
};

TEST_F(DispatchTest, ContextDescribesTheRequest) {
    IRP_CONTEXT seen{};
    Stub([&](IRP_CONTEXT* context, int) {
        seen = *context;
        context->Irp->IoStatus.Information = 0;
        return CompleteRequest(context, STATUS_SUCCESS, IO_DISK_INCREMENT);
    });
    for (bool synchronous : {true, false}) {
        PIRP irp = NewRequest(synchronous);
        irp->Stack.MinorFunction = 7;
        EXPECT_EQ(IoCallDriver(device_, irp), STATUS_SUCCESS);
        EXPECT_EQ(std::memcmp(seen.Signature, "ICX:", 4), 0);
        EXPECT_EQ(seen.Size, sizeof(IRP_CONTEXT));
        EXPECT_EQ(seen.Irp, irp);
        EXPECT_EQ(seen.MajorFunction, IRP_MJ_SET_VOLUME_INFORMATION);
        EXPECT_EQ(seen.MinorFunction, 7);
        EXPECT_EQ(seen.DeviceObject, device_);
        EXPECT_EQ(seen.FileObject, nullptr);
        EXPECT_EQ(seen.Wait, synchronous) << "IoIsOperationSynchronous decides";
        EXPECT_TRUE(seen.IsTopLevel);
        EXPECT_EQ(seen.WorkItem, nullptr);
        io::FreeIrp(irp);
    }
    ASSERT_EQ(runs_.size(), 2u);
    EXPECT_EQ(runs_[0].criticalRegions, 1u) << "handlers run in a critical region";
    EXPECT_NE(runs_[0].topLevel, nullptr) << "the IRP is the thread's top-level IRP while it runs";
    EXPECT_EQ(KeCriticalRegionDepth(), 0u);
    EXPECT_EQ(IoGetTopLevelIrp(), nullptr);
}

TEST_F(DispatchTest, ForeignTopLevelIrpIsKept) {
    Stub([](IRP_CONTEXT* context, int) { return CompleteRequest(context, STATUS_SUCCESS, IO_NO_INCREMENT); });
    IRP other{};
    IoSetTopLevelIrp(&other);
    PIRP irp = NewRequest(true);
    IoCallDriver(device_, irp);
    EXPECT_FALSE(runs_.at(0).isTopLevel);
    EXPECT_EQ(runs_.at(0).topLevel, &other);
    EXPECT_EQ(IoGetTopLevelIrp(), &other);
    IoSetTopLevelIrp(nullptr);
    io::FreeIrp(irp);
}

TEST_F(DispatchTest, ExpectedExceptionCompletesWithItsStatus) {
    Stub([](IRP_CONTEXT*, int) -> NTSTATUS { ExRaiseStatus(STATUS_OBJECT_NAME_INVALID); });
    PIRP irp = NewRequest(true);
    irp->IoStatus.Information = 99;
    EXPECT_EQ(IoCallDriver(device_, irp), STATUS_OBJECT_NAME_INVALID);
    ASSERT_TRUE(irp->Completion.Completed);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(irp->Completion.PriorityBoost, IO_NO_INCREMENT);
    EXPECT_EQ(irp->IoStatus.Information, 0u);
    EXPECT_EQ(pool::LiveByTag().count("RIcx"), 0u) << "the context is freed";
    EXPECT_EQ(KeCriticalRegionDepth(), 0u);
    EXPECT_EQ(IoGetTopLevelIrp(), nullptr);
    io::FreeIrp(irp);
}

// An access violation is not the file system's to swallow: the context is
// freed and the exception goes on to the I/O manager, whose frame fails the
// request with it.
TEST_F(DispatchTest, UnexpectedExceptionGoesOnToTheIoManager) {
    for (NTSTATUS fault : {STATUS_ACCESS_VIOLATION, STATUS_DATATYPE_MISALIGNMENT}) {
        Stub([fault](IRP_CONTEXT*, int) -> NTSTATUS { ExRaiseStatus(fault); });
        PIRP irp = NewRequest(true);
        EXPECT_EQ(IoCallDriver(device_, irp), fault);
        EXPECT_EQ(irp->IoStatus.Status, fault);
        EXPECT_EQ(pool::LiveByTag().count("RIcx"), 0u);
        EXPECT_EQ(KeCriticalRegionDepth(), 0u) << "FsdDispatch left its critical region on the way out";
        EXPECT_EQ(IoGetTopLevelIrp(), nullptr);
        io::FreeIrp(irp);
    }
}

TEST_F(DispatchTest, FilterOnlyHandlesExpectedStatuses) {
    PIRP irp = NewRequest(true);
    IRP_CONTEXT* context = CreateIrpContext(device_, irp);
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(ExceptionFilter(context, STATUS_INSUFFICIENT_RESOURCES), EXCEPTION_EXECUTE_HANDLER);
    EXPECT_EQ(context->ExceptionStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(ProcessException(context), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_INSUFFICIENT_RESOURCES);
    io::FreeIrp(irp);

    // A context whose signature is damaged counts as none and is never written.
    IRP_CONTEXT damaged{};
    std::memcpy(damaged.Signature, "ICY:", 4);
    damaged.Size = sizeof damaged;
    damaged.ExceptionStatus = STATUS_SUCCESS;
    EXPECT_EQ(ExceptionFilter(&damaged, STATUS_OBJECT_NAME_INVALID), EXCEPTION_EXECUTE_HANDLER);
    EXPECT_EQ(damaged.ExceptionStatus, STATUS_SUCCESS);
    EXPECT_EQ(ProcessException(&damaged), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(ExceptionFilter(&damaged, STATUS_ACCESS_VIOLATION), EXCEPTION_CONTINUE_SEARCH);
    EXPECT_EQ(ExceptionFilter(nullptr, STATUS_ACCESS_VIOLATION), EXCEPTION_CONTINUE_SEARCH);
    EXPECT_EQ(ProcessException(nullptr), STATUS_INSUFFICIENT_RESOURCES);
}

// A handler that may not wait posts; the worker runs it again from the start,
// allowed to wait, and completes the request the issuer is waiting for.
TEST_F(DispatchTest, PostedRequestRunsAgainInAWorker) {
    for (bool foreignTopLevel : {false, true}) {
        runs_.clear();
        Stub([](IRP_CONTEXT* context, int run) {
            if (run == 1) return CompleteOrPost(context, STATUS_PENDING);
            context->Irp->IoStatus.Information = 5;
            return CompleteOrPost(context, STATUS_SUCCESS);
        });
        IRP other{};
        if (foreignTopLevel) IoSetTopLevelIrp(&other);
        PIRP irp = NewRequest(false);
        EXPECT_EQ(IoCallDriver(device_, irp), STATUS_PENDING);
        IoSetTopLevelIrp(nullptr);
        WaitFor(irp);
        EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
        EXPECT_EQ(irp->IoStatus.Information, 5u);
        EXPECT_EQ(irp->Completion.PriorityBoost, IO_DISK_INCREMENT);
        EXPECT_TRUE(irp->PendingReturned);
        ASSERT_EQ(runs_.size(), 2u);
        EXPECT_FALSE(runs_[0].wait);
        EXPECT_TRUE(runs_[1].wait) << "a posted request may wait";
        EXPECT_NE(runs_[1].thread, std::this_thread::get_id());
        EXPECT_EQ(runs_[1].criticalRegions, 1u);
        EXPECT_EQ(runs_[1].topLevel, foreignTopLevel ? FSRTL_FSP_TOP_LEVEL_IRP : nullptr);
        workqueue::Drain();
        EXPECT_EQ(pool::LiveByTag().count("RIcx"), 0u);
        EXPECT_EQ(pool::LiveByTag().count("IoWk"), 0u) << "the work item is freed";
        io::FreeIrp(irp);
    }
}

TEST_F(DispatchTest, ExceptionsInAWorkerStillCompleteTheRequest) {
    for (NTSTATUS raised : {STATUS_OBJECT_NAME_INVALID, STATUS_ACCESS_VIOLATION}) {
        runs_.clear();
        Stub([raised](IRP_CONTEXT* context, int run) -> NTSTATUS {
            if (run == 1) return CompleteOrPost(context, STATUS_PENDING);
            ExRaiseStatus(raised);
        });
        PIRP irp = NewRequest(false);
        EXPECT_EQ(IoCallDriver(device_, irp), STATUS_PENDING);
        WaitFor(irp);  // never completed would hang here
        EXPECT_EQ(irp->IoStatus.Status, raised);
        EXPECT_EQ(irp->Completion.PriorityBoost, IO_NO_INCREMENT);
        workqueue::Drain();
        EXPECT_EQ(pool::LiveByTag().count("RIcx"), 0u);
        io::FreeIrp(irp);
    }
}

TEST_F(DispatchTest, NoPoolFailsTheRequestAtOnce) {
    Stub([](IRP_CONTEXT* context, int) { return CompleteOrPost(context, STATUS_PENDING); });
    pool::FailNthAllocation("RIcx", 1);
    PIRP irp = NewRequest(false);
    EXPECT_EQ(IoCallDriver(device_, irp), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(runs_.empty()) << "no context, no handler";
    EXPECT_EQ(irp->IoStatus.Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(irp->Completion.PriorityBoost, IO_NO_INCREMENT);
    io::FreeIrp(irp);

    pool::FailNthAllocation("IoWk", 1);
    irp = NewRequest(false);
    EXPECT_EQ(IoCallDriver(device_, irp), STATUS_PENDING) << "posting always answers pending";
    ASSERT_TRUE(irp->Completion.Completed);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(runs_.size(), 1u);
    EXPECT_EQ(pool::LiveByTag().count("RIcx"), 0u);
    io::FreeIrp(irp);
}

TEST_F(DispatchTest, UnservedMajorFunctionIsAnInternalError) {
    PIRP irp = io::AllocateIrp(IRP_MJ_READ, nullptr, UserMode);
    irp->Stack.DeviceObject = device_;
    EXPECT_EQ(FsdDispatch(device_, irp), STATUS_DRIVER_INTERNAL_ERROR);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_DRIVER_INTERNAL_ERROR);
    EXPECT_EQ(irp->Completion.PriorityBoost, IO_NO_INCREMENT);
    io::FreeIrp(irp);
    // Through the I/O manager the read never reaches the driver.
    irp = io::AllocateIrp(IRP_MJ_READ, nullptr, UserMode);
    EXPECT_EQ(IoCallDriver(device_, irp), STATUS_INVALID_DEVICE_REQUEST);
    io::FreeIrp(irp);
}

TEST_F(DispatchTest, UserBuffersAreLockedOnlyWhenTheyAreTheCallers) {
    char buffer[64];
    PIRP irp = NewRequest(false);
    irp->UserBuffer = buffer;
    EXPECT_EQ(MapUserBuffer(irp), buffer) << "without an MDL the user buffer itself";
    EXPECT_EQ(LockUserBuffer(irp, sizeof buffer, IoWriteAccess), STATUS_INVALID_USER_BUFFER)
        << "not a buffer the caller handed in";
    EXPECT_EQ(irp->MdlAddress, nullptr);
    EXPECT_EQ(pool::LiveByTag().count("IoMd"), 0u);
    {
        io::UserBufferScope declared(buffer, sizeof buffer);
        pool::FailNthAllocation("IoMd", 1);
        EXPECT_EQ(LockUserBuffer(irp, sizeof buffer, IoWriteAccess), STATUS_INSUFFICIENT_RESOURCES);
        ASSERT_EQ(LockUserBuffer(irp, sizeof buffer, IoWriteAccess), STATUS_SUCCESS);
        PMDL mdl = irp->MdlAddress;
        ASSERT_NE(mdl, nullptr);
        EXPECT_EQ(LockUserBuffer(irp, sizeof buffer, IoWriteAccess), STATUS_SUCCESS);
        EXPECT_EQ(irp->MdlAddress, mdl) << "an IRP that has an MDL keeps it";
    }
    EXPECT_EQ(MapUserBuffer(irp), buffer);
    io::FreeIrp(irp);  // the MDL goes with the IRP
}

}  // namespace
}  // namespace korin::drivercore

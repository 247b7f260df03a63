// Posting with the real cleanup handler: a cleanup that meets a drive whose
// lock another thread holds does not block the closing thread; a worker
// completes it once the lock is free.
#include "core_fixture.h"

#include "platform/nt/iomgr.h"
#include "platform/nt/pool.h"
#include "platform/nt/process.h"
#include "platform/nt/syscalls.h"
#include "platform/nt/workqueue.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace korin::drivercore {
namespace {

using PostedCleanupTest = DriverTest;

// Holds a resource exclusive in a thread of its own until Release().
class ForeignHolder {
public:
    explicit ForeignHolder(PERESOURCE resource) : thread_([this, resource] {
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(resource, TRUE);
        std::unique_lock lock(mutex_);
        held_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return released_; });
        ExReleaseResourceLite(resource);
        KeLeaveCriticalRegion();
    }) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return held_; });
    }
    ~ForeignHolder() {
        Release();
        thread_.join();
    }
    void Release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool held_ = false, released_ = false;
    std::thread thread_;
};

bool Completed(PIRP irp) {
    std::lock_guard lock(irp->Completion.Mutex);
    return irp->Completion.Completed;
}

TEST_F(PostedCleanupTest, BusyDriveLockPostsTheCleanupToAWorker) {
    StoreDrive(u"0", u'X', u"Busy");
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    VCB* vcb = Drive(u'X');
    ps::Process process("closer");
    ps::ProcessScope scope(process);
    std::u16string path = u"\\Device\\KTDrive0";  // the volume itself
    UNICODE_STRING name = Counted(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE handle;
    IO_STATUS_BLOCK io{};
    ASSERT_EQ(NtCreateFile(&handle, GENERIC_READ, &attributes, &io, nullptr, 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           FILE_OPEN, 0, nullptr, 0),
              STATUS_SUCCESS);
    PFILE_OBJECT fileObject = io::ReferenceFileObjectByHandle(handle);
    ASSERT_NE(fileObject, nullptr);

    PIRP irp = io::AllocateIrp(IRP_MJ_CLEANUP, fileObject, UserMode);
    {
        ForeignHolder holder(&vcb->MainResource);
        EXPECT_EQ(IoCallDriver(fileObject->DeviceObject, irp), STATUS_PENDING) << "returned without waiting";
        // The worker now waits for the lock; the request stays open meanwhile.
        for (int i = 0; i < 500 && ExGetExclusiveWaiterCount(&vcb->MainResource) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(ExGetExclusiveWaiterCount(&vcb->MainResource), 1u);
        EXPECT_FALSE(Completed(irp));
        EXPECT_EQ(fileObject->Flags & FO_CLEANUP_COMPLETE, 0u);
    }
    {
        std::unique_lock lock(irp->Completion.Mutex);
        irp->Completion.Done.wait(lock, [&] { return irp->Completion.Completed; });
    }
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS) << "the status the handler gives when it can wait";
    EXPECT_EQ(irp->Completion.PriorityBoost, IO_DISK_INCREMENT);
    EXPECT_TRUE(irp->PendingReturned);
    EXPECT_NE(fileObject->Flags & FO_CLEANUP_COMPLETE, 0u);
    io::FreeIrp(irp);
    io::DereferenceFileObject(fileObject);
    EXPECT_EQ(NtClose(handle), STATUS_SUCCESS);
    workqueue::Drain();  // the worker frees the context just after it completes the request
    EXPECT_EQ(pool::LiveByTag().count("RIcx"), 0u);
    EXPECT_EQ(pool::LiveByTag().count("IoWk"), 0u);
}

}  // namespace
}  // namespace korin::drivercore

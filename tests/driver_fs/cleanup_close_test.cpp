// The end of a handle: cleanup withdraws share access and carries out a
// pending delete at the folder's last handle; close frees the CCB and, with
// the last reference, the FCB (never the root's).
#include "drive_fixture.h"

#include "platform/nt/pool.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace korin::drivertest {
namespace {

NTSTATUS SetDeleteDisposition(HANDLE handle, bool deleteFile) {
    FILE_DISPOSITION_INFORMATION info{static_cast<BOOLEAN>(deleteFile)};
    IO_STATUS_BLOCK ioStatus{};
    return NtSetInformationFile(handle, &ioStatus, &info, sizeof info, FileDispositionInformation);
}

constexpr ULONG kDeleteOptions = FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
constexpr ACCESS_MASK kDeleteAccess = DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

class CleanupCloseTest : public DriveTest {};

TEST_F(CleanupCloseTest, EachOpenOfAFolderMakesAndFreesItsFcbTheRootsStays) {
    AddFolder(u"Docs");
    FCB* rootFcb = Drive()->RootFcb;
    for (int i = 0; i < 3; ++i) {
        Handle folder, root;
        ASSERT_EQ(Open(u"X:\\Docs", folder).Status, STATUS_SUCCESS);
        ASSERT_EQ(Open(u"X:\\", root).Status, STATUS_SUCCESS);
        EXPECT_NE(Find(u"Docs")->Fcb, nullptr);
        EXPECT_EQ(pool::LiveBlocks("RDcb"), 2u) << "the root's and Docs'";
        EXPECT_EQ(pool::LiveBlocks("RCcb"), 2u);
        folder.Close();
        root.Close();
        EXPECT_EQ(Find(u"Docs")->Fcb, nullptr);
        EXPECT_EQ(pool::LiveBlocks("RDcb"), 1u);
        EXPECT_EQ(pool::LiveBlocks("RCcb"), 0u);
        EXPECT_EQ(Drive()->RootFcb, rootFcb);
        EXPECT_EQ(rootFcb->ReferenceCount, 0u);
    }
}

TEST_F(CleanupCloseTest, FolderMarkedThroughOneOfTwoHandlesGoesWithTheLast) {
    AddFolder(u"old");
    Handle first, second;
    ASSERT_EQ(Open(u"X:\\old", first, kDeleteOptions, FILE_OPEN, kDeleteAccess).Status, STATUS_SUCCESS);
    ASSERT_EQ(Open(u"X:\\old", second, kDeleteOptions, FILE_OPEN, kDeleteAccess).Status, STATUS_SUCCESS);
    ASSERT_EQ(SetDeleteDisposition(first.get(), true), STATUS_SUCCESS);
    first.Close();
    EXPECT_NE(Find(u"old"), nullptr);
    EXPECT_TRUE(StoreKeyExists(u"old"));
    second.Close();
    EXPECT_EQ(Find(u"old"), nullptr);
    EXPECT_FALSE(StoreKeyExists(u"old"));
}

// The store cannot delete the folder's key at the last cleanup (its walk
// finds no pool): the folder stays in memory as it stays in the store, so
// the next start shows the same tree.
TEST_F(CleanupCloseTest, FolderTheStoreCannotDeleteIsKept) {
    AddFolder(u"old");
    Handle handle;
    ASSERT_EQ(Open(u"X:\\old", handle, kDeleteOptions, FILE_OPEN, kDeleteAccess).Status, STATUS_SUCCESS);
    ASSERT_EQ(SetDeleteDisposition(handle.get(), true), STATUS_SUCCESS);
    pool::FailNthAllocation("QKey", 1);
    handle.Close();
    pool::ClearInjectedFailures();
    EXPECT_NE(Find(u"old"), nullptr);
    EXPECT_TRUE(StoreKeyExists(u"old"));
    EXPECT_EQ(Children(u""), std::vector<std::u16string>{u"old"});
}

TEST_F(CleanupCloseTest, FolderThatGainedAChildAfterTheDeleteWasAskedForIsKept) {
    AddFolder(u"old");
    Handle folder;
    ASSERT_EQ(Open(u"X:\\old", folder, kDeleteOptions, FILE_OPEN, kDeleteAccess).Status, STATUS_SUCCESS);
    ASSERT_EQ(SetDeleteDisposition(folder.get(), true), STATUS_SUCCESS);
    Handle child;
    ASSERT_EQ(Open(u"X:\\old\\child", child, kDeleteOptions, FILE_CREATE).Status, STATUS_SUCCESS);
    child.Close();
    folder.Close();
    EXPECT_NE(Find(u"old\\child"), nullptr);
    EXPECT_TRUE(StoreKeyExists(u"old\\child"));
}

TEST_F(CleanupCloseTest, HandleToAFolderThatLeftTheTreeClosesWithoutTouchingIt) {
    AddFolder(u"a\\0");  // named like the drive's own key below the Drive key
    AddFolder(u"a\\stays");
    Handle folder;
    ASSERT_EQ(Open(u"X:\\a\\0", folder, kDeleteOptions, FILE_OPEN, kDeleteAccess).Status, STATUS_SUCCESS);
    TREE_NODE* gone = Find(u"a\\0");
    ExAcquireResourceExclusiveLite(&Drive()->MainResource, TRUE);
    ASSERT_EQ(RemoveChild(gone), STATUS_SUCCESS);
    ExReleaseResourceLite(&Drive()->MainResource);
    // A delete asked for on the detached folder must not find a key by its
    // name anywhere else.
    EXPECT_EQ(SetDeleteDisposition(folder.get(), true), STATUS_SUCCESS);
    folder.Close();
    EXPECT_EQ(gone->Fcb, nullptr);
    EXPECT_EQ(pool::LiveBlocks("RDcb"), 1u);
    EXPECT_EQ(Children(u"a"), std::vector<std::u16string>{u"stays"});
    EXPECT_TRUE(StoreKeyExists(u"a\\stays"));
}

TEST_F(CleanupCloseTest, CleanupMeetingABusyDriveIsPostedAndFinishedByAWorker) {
    AddFolder(u"Docs");
    Handle folder;
    ASSERT_EQ(Open(u"X:\\Docs", folder).Status, STATUS_SUCCESS);
    FCB* fcb = Find(u"Docs")->Fcb;

    ExAcquireResourceExclusiveLite(&Drive()->MainResource, TRUE);
    std::atomic<bool> closed{false};
    std::thread closer([&] {
        ps::ProcessScope scope(*process_);
        folder.Close();
        closed = true;
    });
    // The cleanup waits in a worker, not in the closing thread's own request.
    while (ExGetExclusiveWaiterCount(&Drive()->MainResource) == 0) std::this_thread::yield();
    EXPECT_FALSE(closed);
    EXPECT_EQ(fcb->OpenHandleCount, 1u);
    ExReleaseResourceLite(&Drive()->MainResource);
    closer.join();
    EXPECT_TRUE(closed);
    EXPECT_EQ(Find(u"Docs")->Fcb, nullptr);
}

TEST_F(CleanupCloseTest, VolumeAndControlDeviceHandlesCloseWithoutChange) {
    Handle volume, control;
    ASSERT_EQ(Open(u"X:", volume, FILE_SYNCHRONOUS_IO_NONALERT).Status, STATUS_SUCCESS);
    ASSERT_EQ(Open(u"KRDriver", control, FILE_SYNCHRONOUS_IO_NONALERT, FILE_OPEN, FILE_READ_DATA | FILE_WRITE_DATA)
                  .Status,
              STATUS_SUCCESS);
    EXPECT_EQ(volume.Close(), STATUS_SUCCESS);
    EXPECT_EQ(control.Close(), STATUS_SUCCESS);
    EXPECT_EQ(Drive()->RootFcb->OpenHandleCount, 0u);
}

}  // namespace
}  // namespace korin::drivertest

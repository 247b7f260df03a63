// Share access as file systems use it: the first open sets it, later opens
// are checked against it and added, cleanup removes them.
#include "platform/nt/io.h"

#include <gtest/gtest.h>

namespace korin::test {
namespace {

struct Open {
    ACCESS_MASK access;
    ULONG share;
};

struct ShareCase {
    const char* what;
    Open first;
    Open second;
    NTSTATUS expected;
};

constexpr ULONG kAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

const ShareCase kCases[] = {
    {"readers sharing read", {FILE_READ_DATA, FILE_SHARE_READ}, {FILE_READ_DATA, FILE_SHARE_READ}, STATUS_SUCCESS},
    {"reader denying read", {FILE_READ_DATA, 0}, {FILE_READ_DATA, kAll}, STATUS_SHARING_VIOLATION},
    {"second refuses the first's read", {FILE_READ_DATA, kAll}, {FILE_READ_DATA, FILE_SHARE_WRITE},
     STATUS_SHARING_VIOLATION},
    {"writer after read-only share", {FILE_READ_DATA, FILE_SHARE_READ}, {FILE_WRITE_DATA, kAll},
     STATUS_SHARING_VIOLATION},
    {"append counts as write", {FILE_READ_DATA, FILE_SHARE_READ}, {FILE_APPEND_DATA, kAll},
     STATUS_SHARING_VIOLATION},
    {"execute counts as read", {FILE_READ_DATA, FILE_SHARE_WRITE}, {FILE_EXECUTE, kAll}, STATUS_SHARING_VIOLATION},
    {"delete needs delete sharing", {FILE_READ_DATA, FILE_SHARE_READ}, {DELETE, kAll}, STATUS_SHARING_VIOLATION},
    {"delete shared", {FILE_READ_DATA, kAll}, {DELETE, kAll}, STATUS_SUCCESS},
    {"deleter refuses no-delete-share", {DELETE, kAll}, {FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE},
     STATUS_SHARING_VIOLATION},
    {"attributes only after exclusive", {FILE_READ_DATA | FILE_WRITE_DATA | DELETE, 0},
     {FILE_READ_ATTRIBUTES | SYNCHRONIZE, 0}, STATUS_SUCCESS},
    {"exclusive after attributes only", {FILE_READ_ATTRIBUTES, 0}, {FILE_READ_DATA | FILE_WRITE_DATA, 0},
     STATUS_SUCCESS},
    {"writers sharing write", {FILE_WRITE_DATA, FILE_SHARE_WRITE}, {FILE_WRITE_DATA, FILE_SHARE_WRITE},
     STATUS_SUCCESS},
};

TEST(ShareAccessTest, SecondOpenAgainstFirst) {
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.what);
        SHARE_ACCESS share{};
        FILE_OBJECT first{}, second{};
        IoSetShareAccess(c.first.access, c.first.share, &first, &share);
        EXPECT_EQ(IoCheckShareAccess(c.second.access, c.second.share, &second, &share, TRUE), c.expected);
    }
}

TEST(ShareAccessTest, OpensAreCountedUntilRemoved) {
    SHARE_ACCESS share{};
    FILE_OBJECT reader{}, writer{}, stat{}, late{};
    IoSetShareAccess(FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, &reader, &share);
    ASSERT_EQ(IoCheckShareAccess(FILE_WRITE_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, &writer, &share, TRUE),
              STATUS_SUCCESS);
    ASSERT_EQ(IoCheckShareAccess(FILE_READ_ATTRIBUTES, 0, &stat, &share, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(share.OpenCount, 2u);
    EXPECT_EQ(share.Readers, 1u);
    EXPECT_EQ(share.Writers, 1u);
    EXPECT_EQ(share.SharedWrite, 2u);
    EXPECT_TRUE(writer.WriteAccess);
    EXPECT_TRUE(writer.SharedRead);
    EXPECT_FALSE(writer.ReadAccess);

    // A read-only-sharing open is refused while the writer is there...
    EXPECT_EQ(IoCheckShareAccess(FILE_READ_DATA, FILE_SHARE_READ, &late, &share, FALSE), STATUS_SHARING_VIOLATION);
    IoRemoveShareAccess(&writer, &share);
    IoRemoveShareAccess(&stat, &share);
    // ...and accepted once it left; the check without update records nothing.
    EXPECT_EQ(IoCheckShareAccess(FILE_READ_DATA, FILE_SHARE_READ, &late, &share, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(share.OpenCount, 1u);
    IoUpdateShareAccess(&late, &share);
    EXPECT_EQ(share.OpenCount, 2u);
    EXPECT_EQ(share.Readers, 2u);
    IoRemoveShareAccess(&late, &share);
    IoRemoveShareAccess(&reader, &share);
    EXPECT_EQ(share.OpenCount, 0u);
    EXPECT_EQ(share.Readers + share.Writers + share.Deleters + share.SharedRead + share.SharedWrite +
                  share.SharedDelete,
              0u);
}

TEST(ShareAccessTest, SettingForAnOpenWithoutDataAccessClearsTheRecord) {
    SHARE_ACCESS share{5, 1, 1, 1, 1, 1, 1};
    FILE_OBJECT stat{};
    IoSetShareAccess(FILE_READ_ATTRIBUTES, 0, &stat, &share);
    EXPECT_EQ(share.OpenCount, 0u);
    EXPECT_EQ(share.Readers, 0u);
}

}  // namespace
}  // namespace korin::test

// Setting file information: renames, deletes, times and attributes, sizes.
#include "fixture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korin::hostfs::test {
namespace {

using SetInfoTest = HostFsTest;

constexpr ACCESS_MASK kRenameAccess = DELETE | FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

OpenArgs WithAccess(ACCESS_MASK access, ULONG options = 0) {
    OpenArgs args;
    args.Access = access;
    args.Options |= options;
    return args;
}

TEST_F(SetInfoTest, RenameWithinAndAcrossDirectories) {
    MakeHostDirectory("a");
    MakeHostDirectory("B");
    WriteHostFile("a/one.txt", "1");
    Handle h;
    ASSERT_EQ(Open(T(u"a\\one.txt"), &h, WithAccess(kRenameAccess)), STATUS_SUCCESS);

    ASSERT_EQ(Rename(h.get(), T(u"a\\two.txt"), false), STATUS_SUCCESS);
    EXPECT_FALSE(HostExists("a/one.txt"));
    EXPECT_EQ(ReadHostFile("a/two.txt"), "1");
    EXPECT_EQ(QueryName(h.get()), u"\\a\\two.txt");

    // Into another directory named in another case.
    ASSERT_EQ(Rename(h.get(), T(u"b\\three.txt"), false), STATUS_SUCCESS);
    EXPECT_EQ(ReadHostFile("B/three.txt"), "1");
    EXPECT_EQ(QueryName(h.get()), u"\\B\\three.txt");

    // A change of case only.
    ASSERT_EQ(Rename(h.get(), T(u"B\\THREE.txt"), false), STATUS_SUCCESS);
    EXPECT_FALSE(HostExists("B/three.txt"));
    EXPECT_TRUE(HostExists("B/THREE.txt"));

    // Into a directory that is not there.
    EXPECT_EQ(Rename(h.get(), T(u"absent\\x.txt"), false), STATUS_OBJECT_PATH_NOT_FOUND);
    // A name Linux cannot hold.
    EXPECT_EQ(Rename(h.get(), T(u"B\\x/y.txt"), false), STATUS_OBJECT_NAME_INVALID);
    EXPECT_TRUE(HostExists("B/THREE.txt"));
}

TEST_F(SetInfoTest, RenameOntoAnExistingName) {
    WriteHostFile("src.txt", "source");
    WriteHostFile("Dest.txt", "destination");
    MakeHostDirectory("dir");
    Handle h;
    ASSERT_EQ(Open(T(u"src.txt"), &h, WithAccess(kRenameAccess)), STATUS_SUCCESS);

    // Without ReplaceIfExists: a collision in any case, and nothing changes.
    for (const char16_t* target : {u"Dest.txt", u"dest.TXT", u"dir"}) {
        SCOPED_TRACE(Narrow(target));
        EXPECT_EQ(Rename(h.get(), T(target), false), STATUS_OBJECT_NAME_COLLISION);
        EXPECT_EQ(ReadHostFile("src.txt"), "source");
        EXPECT_EQ(ReadHostFile("Dest.txt"), "destination");
    }
    // A directory is not replaced, nor a file someone has open.
    EXPECT_EQ(Rename(h.get(), T(u"dir"), true), STATUS_ACCESS_DENIED);
    {
        Handle holder;
        ASSERT_EQ(Open(T(u"Dest.txt"), &holder), STATUS_SUCCESS);
        EXPECT_EQ(Rename(h.get(), T(u"Dest.txt"), true), STATUS_ACCESS_DENIED);
        EXPECT_EQ(ReadHostFile("Dest.txt"), "destination");
    }
    // With ReplaceIfExists, the existing file goes and the new name's case holds.
    ASSERT_EQ(Rename(h.get(), T(u"DEST.txt"), true), STATUS_SUCCESS);
    EXPECT_FALSE(HostExists("src.txt"));
    EXPECT_FALSE(HostExists("Dest.txt"));
    EXPECT_EQ(ReadHostFile("DEST.txt"), "source");
}

TEST_F(SetInfoTest, RenameNeedsDeleteAccessAndAName) {
    WriteHostFile("f.txt", "x");
    Handle h;
    ASSERT_EQ(Open(T(u"f.txt"), &h, WithAccess(FILE_GENERIC_READ)), STATUS_SUCCESS);
    EXPECT_EQ(Rename(h.get(), T(u"g.txt"), false), STATUS_ACCESS_DENIED);
    Handle root;
    ASSERT_EQ(Open(u"\\??\\T:\\", &root, WithAccess(kRenameAccess)), STATUS_SUCCESS);
    EXPECT_NE(Rename(root.get(), T(u"moved"), false), STATUS_SUCCESS);
    EXPECT_TRUE(HostExists("f.txt"));
    EXPECT_FALSE(HostExists("g.txt"));
}

// Opens below a renamed directory keep naming their files.
TEST_F(SetInfoTest, RenamedDirectoryCarriesItsOpenChildren) {
    MakeHostDirectory("old");
    WriteHostFile("old/child.txt", "c");
    Handle directory, child;
    ASSERT_EQ(Open(T(u"old"), &directory, WithAccess(kRenameAccess)), STATUS_SUCCESS);
    ASSERT_EQ(Open(T(u"old\\child.txt"), &child, WithAccess(kRenameAccess)), STATUS_SUCCESS);
    ASSERT_EQ(Rename(directory.get(), T(u"new"), false), STATUS_SUCCESS);
    EXPECT_EQ(QueryName(child.get()), u"\\new\\child.txt");
    ASSERT_EQ(Rename(child.get(), T(u"new\\renamed.txt"), false), STATUS_SUCCESS);
    EXPECT_TRUE(HostExists("new/renamed.txt"));
    // A directory cannot move into itself.
    EXPECT_EQ(Rename(directory.get(), T(u"new\\inner"), false), STATUS_INVALID_PARAMETER);
}

TEST_F(SetInfoTest, Deletes) {
    WriteHostFile("file.txt", "x");
    MakeHostDirectory("empty");
    MakeHostDirectory("full");
    WriteHostFile("full/inside.txt", "y");
    const struct {
        const char16_t* name;
        const char* host;
        NTSTATUS status;
        bool goneAfterClose;
    } cases[] = {
        {u"file.txt", "file.txt", STATUS_SUCCESS, true},
        {u"EMPTY", "empty", STATUS_SUCCESS, true},
        {u"full", "full", STATUS_DIRECTORY_NOT_EMPTY, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host);
        Handle h;
        ASSERT_EQ(Open(T(c.name), &h, WithAccess(DELETE | FILE_READ_ATTRIBUTES)), STATUS_SUCCESS);
        EXPECT_EQ(SetDelete(h.get(), true), c.status);
        FILE_STANDARD_INFORMATION standard{};
        ASSERT_EQ(Query(h.get(), FileStandardInformation, &standard), STATUS_SUCCESS);
        EXPECT_EQ(standard.DeletePending, NT_SUCCESS(c.status));
        EXPECT_TRUE(HostExists(c.host));  // not before the last cleanup
        h.Close();
        EXPECT_EQ(HostExists(c.host), !c.goneAfterClose);
    }
    EXPECT_EQ(ReadHostFile("full/inside.txt"), "y");
}

TEST_F(SetInfoTest, DeleteCanBeTakenBackAndNeedsAccess) {
    WriteHostFile("f.txt", "x");
    Handle h;
    ASSERT_EQ(Open(T(u"f.txt"), &h, WithAccess(DELETE)), STATUS_SUCCESS);
    ASSERT_EQ(SetDelete(h.get(), true), STATUS_SUCCESS);
    Handle other;
    EXPECT_EQ(Open(T(u"f.txt"), &other), STATUS_DELETE_PENDING);
    ASSERT_EQ(SetDelete(h.get(), false), STATUS_SUCCESS);
    h.Close();
    EXPECT_TRUE(HostExists("f.txt"));

    ASSERT_EQ(Open(T(u"f.txt"), &h, WithAccess(FILE_GENERIC_WRITE)), STATUS_SUCCESS);
    EXPECT_EQ(SetDelete(h.get(), true), STATUS_ACCESS_DENIED);
    h.Close();
    ASSERT_EQ(chmod(Host("f.txt").c_str(), 0444), 0);
    ASSERT_EQ(Open(T(u"f.txt"), &h, WithAccess(DELETE)), STATUS_SUCCESS);
    EXPECT_EQ(SetDelete(h.get(), true), STATUS_CANNOT_DELETE);
    h.Close();
    EXPECT_TRUE(HostExists("f.txt"));
}

// A pending delete removes the file it was asked for, not whatever holds its
// name when the last handle closes.
TEST_F(SetInfoTest, PendingDeleteSparesAFileThatTookTheName) {
    WriteHostFile("name.txt", "old");
    Handle h;
    ASSERT_EQ(Open(T(u"name.txt"), &h, WithAccess(DELETE)), STATUS_SUCCESS);
    ASSERT_EQ(SetDelete(h.get(), true), STATUS_SUCCESS);
    ASSERT_EQ(rename(Host("name.txt").c_str(), Host("moved.txt").c_str()), 0);
    WriteHostFile("name.txt", "new");
    h.Close();
    EXPECT_EQ(ReadHostFile("name.txt"), "new");
}

TEST_F(SetInfoTest, TimesAndReadOnlyAttribute) {
    WriteHostFile("t.txt", "x");
    Handle h;
    ASSERT_EQ(Open(T(u"t.txt"), &h, WithAccess(FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES)), STATUS_SUCCESS);
    struct stat before;
    ASSERT_EQ(stat(Host("t.txt").c_str(), &before), 0);

    FILE_BASIC_INFORMATION basic{};
    basic.LastWriteTime.QuadPart = 116444736000000000LL + 1500000000LL * 10000000LL + 5;  // 500 ns past
    basic.LastAccessTime.QuadPart = -1;                                                 // unchanged
    IO_STATUS_BLOCK iosb{};
    ASSERT_EQ(NtSetInformationFile(h.get(), &iosb, &basic, sizeof(basic), FileBasicInformation), STATUS_SUCCESS);
    struct stat after;
    ASSERT_EQ(stat(Host("t.txt").c_str(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_sec, 1500000000);
    EXPECT_EQ(after.st_mtim.tv_nsec, 500);
    EXPECT_EQ(after.st_atim.tv_sec, before.st_atim.tv_sec);
    EXPECT_EQ(after.st_atim.tv_nsec, before.st_atim.tv_nsec);

    basic = {};
    basic.FileAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE;
    ASSERT_EQ(NtSetInformationFile(h.get(), &iosb, &basic, sizeof(basic), FileBasicInformation), STATUS_SUCCESS);
    ASSERT_EQ(stat(Host("t.txt").c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 0222, 0u);
    EXPECT_EQ(after.st_mtim.tv_sec, 1500000000);  // zero times leave them alone
    FILE_BASIC_INFORMATION queried{};
    ASSERT_EQ(Query(h.get(), FileBasicInformation, &queried), STATUS_SUCCESS);
    EXPECT_EQ(queried.FileAttributes, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);

    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    ASSERT_EQ(NtSetInformationFile(h.get(), &iosb, &basic, sizeof(basic), FileBasicInformation), STATUS_SUCCESS);
    ASSERT_EQ(stat(Host("t.txt").c_str(), &after), 0);
    EXPECT_NE(after.st_mode & S_IWUSR, 0u);

    Handle readOnly;
    ASSERT_EQ(Open(T(u"t.txt"), &readOnly, WithAccess(FILE_READ_ATTRIBUTES)), STATUS_SUCCESS);
    EXPECT_EQ(NtSetInformationFile(readOnly.get(), &iosb, &basic, sizeof(basic), FileBasicInformation),
              STATUS_ACCESS_DENIED);
}

TEST_F(SetInfoTest, EndOfFileAllocationAndPosition) {
    WriteHostFile("s.txt", "0123456789");
    Handle h;
    ASSERT_EQ(Open(T(u"s.txt"), &h, WithAccess(FILE_GENERIC_READ | FILE_GENERIC_WRITE)), STATUS_SUCCESS);
    IO_STATUS_BLOCK iosb{};
    FILE_END_OF_FILE_INFORMATION eof{};
    eof.EndOfFile.QuadPart = 4;
    ASSERT_EQ(NtSetInformationFile(h.get(), &iosb, &eof, sizeof(eof), FileEndOfFileInformation), STATUS_SUCCESS);
    EXPECT_EQ(ReadHostFile("s.txt"), "0123");
    eof.EndOfFile.QuadPart = 6;
    ASSERT_EQ(NtSetInformationFile(h.get(), &iosb, &eof, sizeof(eof), FileEndOfFileInformation), STATUS_SUCCESS);
    EXPECT_EQ(ReadHostFile("s.txt"), std::string("0123\0\0", 6));

    // An allocation above the end of file keeps the end; below it, cuts there.
    eof.EndOfFile.QuadPart = 1 << 20;
    ASSERT_EQ(NtSetInformationFile(h.get(), &iosb, &eof, sizeof(eof), FileAllocationInformation), STATUS_SUCCESS);
    EXPECT_EQ(ReadHostFile("s.txt").size(), 6u);
    eof.EndOfFile.QuadPart = 2;
    ASSERT_EQ(NtSetInformationFile(h.get(), &iosb, &eof, sizeof(eof), FileAllocationInformation), STATUS_SUCCESS);
    EXPECT_EQ(ReadHostFile("s.txt"), "01");

    eof.EndOfFile.QuadPart = -1;
    EXPECT_EQ(NtSetInformationFile(h.get(), &iosb, &eof, sizeof(eof), FileEndOfFileInformation),
              STATUS_INVALID_PARAMETER);

    FILE_POSITION_INFORMATION position{};
    position.CurrentByteOffset.QuadPart = 1;
    ASSERT_EQ(NtSetInformationFile(h.get(), &iosb, &position, sizeof(position), FilePositionInformation),
              STATUS_SUCCESS);
    FILE_POSITION_INFORMATION queried{};
    ASSERT_EQ(Query(h.get(), FilePositionInformation, &queried), STATUS_SUCCESS);
    EXPECT_EQ(queried.CurrentByteOffset.QuadPart, 1);

    Handle readOnly;
    ASSERT_EQ(Open(T(u"s.txt"), &readOnly, WithAccess(FILE_GENERIC_READ)), STATUS_SUCCESS);
    eof.EndOfFile.QuadPart = 0;
    EXPECT_EQ(NtSetInformationFile(readOnly.get(), &iosb, &eof, sizeof(eof), FileEndOfFileInformation),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(ReadHostFile("s.txt"), "01");
}

}  // namespace
}  // namespace korin::hostfs::test

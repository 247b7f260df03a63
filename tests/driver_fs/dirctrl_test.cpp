// Directory listings of virtual folders: entries and their layouts per
// class, search patterns, buffer sizes, end statuses, position tokens, and
// mappings whose targets are present, absent or unreachable.
#include "drive_fixture.h"

#include "platform/nt/pool.h"

#include <cstring>
#include <filesystem>

namespace korin::drivertest {
namespace {

using Names = std::vector<std::u16string>;

// Folder F holds, in this order: folder a, mapping b.txt to an existing host
// file, and mapping c to a host folder deleted after the mapping was made.
class ListingTest : public DriveTest {
protected:
    void SetUp() override {
        DriveTest::SetUp();
        if (HasFatalFailure()) return;
        WriteHostFile("b.txt", "twelve bytes");
        MakeHostDirectory("gone");
        AddFolder(u"F\\a");
        AddMapping(u"F\\b.txt", u"H:\\b.txt");
        AddMapping(u"F\\c", u"H:\\gone\\");
        std::filesystem::remove(HostPath("gone"));
        AddFolder(u"Empty");
    }

    // What the target itself reports through the host drive.
    void TargetFacts(const std::u16string& hostPath, FILE_BASIC_INFORMATION* basic,
                     FILE_STANDARD_INFORMATION* standard) {
        Handle file;
        ASSERT_EQ(Open(hostPath, file, FILE_SYNCHRONOUS_IO_NONALERT).Status, STATUS_SUCCESS);
        IO_STATUS_BLOCK ioStatus{};
        ASSERT_EQ(NtQueryInformationFile(file.get(), &ioStatus, basic, sizeof *basic, FileBasicInformation),
                  STATUS_SUCCESS);
        ASSERT_EQ(NtQueryInformationFile(file.get(), &ioStatus, standard, sizeof *standard, FileStandardInformation),
                  STATUS_SUCCESS);
    }

    Handle folder_;
    void OpenFolder(const std::u16string& path = u"X:\\F") {
        ASSERT_EQ(Open(path, folder_).Status, STATUS_SUCCESS);
    }
};

TEST_F(ListingTest, ListsFoldersAndExistingTargetsAndLeavesOutAbsentOnes) {
    OpenFolder();
    Listing listing = QueryDirectory(folder_.get(), FileBothDirectoryInformation, 4096);
    ASSERT_EQ(listing.Status, STATUS_SUCCESS);
    EXPECT_EQ(listing.Names(), (Names{u".", u"..", u"a", u"b.txt"}));
    ASSERT_EQ(listing.Entries.size(), 4u);

    for (size_t i = 0; i < 3; ++i) {
        const DirEntry& e = listing.Entries[i];
        EXPECT_EQ(e.FileAttributes, 0x90u) << Narrow(e.Name);
        EXPECT_EQ(e.CreationTime | e.LastAccessTime | e.LastWriteTime | e.ChangeTime, 0) << Narrow(e.Name);
        EXPECT_EQ(e.EndOfFile | e.AllocationSize, 0) << Narrow(e.Name);
        EXPECT_EQ(e.NextEntryOffset, 94u + e.Name.size() * 2) << Narrow(e.Name);
    }
    FILE_BASIC_INFORMATION basic{};
    FILE_STANDARD_INFORMATION standard{};
    TargetFacts(u"H:\\b.txt", &basic, &standard);
    const DirEntry& b = listing.Entries[3];
    EXPECT_EQ(b.FileAttributes, basic.FileAttributes);
    EXPECT_NE(b.LastWriteTime, 0);
    EXPECT_EQ(b.CreationTime, basic.CreationTime.QuadPart);
    EXPECT_EQ(b.LastAccessTime, basic.LastAccessTime.QuadPart);
    EXPECT_EQ(b.LastWriteTime, basic.LastWriteTime.QuadPart);
    EXPECT_EQ(b.ChangeTime, basic.ChangeTime.QuadPart);
    EXPECT_EQ(b.EndOfFile, 12);
    EXPECT_EQ(b.AllocationSize, standard.AllocationSize.QuadPart);
    EXPECT_EQ(b.NextEntryOffset, 0u) << "the last entry ends the chain";
    EXPECT_EQ(listing.Information, b.Offset + 94u + 10u);

    EXPECT_EQ(QueryDirectory(folder_.get(), FileBothDirectoryInformation, 4096).Status, STATUS_NO_MORE_FILES);
}

struct PatternCase {
    const char16_t* Pattern;
    Names Expected;
};

class PatternTest : public ListingTest, public ::testing::WithParamInterface<PatternCase> {};

TEST_P(PatternTest, DotEntriesThenMatchingChildren) {
    OpenFolder();
    EXPECT_EQ(ListAll(folder_.get(), FileBothDirectoryInformation, 4096, GetParam().Pattern), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(Patterns, PatternTest,
                         ::testing::Values(PatternCase{u"*.TXT", {u".", u"..", u"b.txt"}},
                                           PatternCase{u"*.txt", {u".", u"..", u"b.txt"}},
                                           PatternCase{u"A", {u".", u"..", u"a"}},
                                           PatternCase{u"?", {u".", u"..", u"a"}},
                                           PatternCase{u"zz*", {u".", u".."}},
                                           PatternCase{u"*", {u".", u"..", u"a", u"b.txt"}}));

TEST_F(ListingTest, PatternOfALaterQueryAppliesToThatQueryOnly) {
    OpenFolder();
    Listing first = QueryDirectory(folder_.get(), FileNamesInformation, 4096, SL_RETURN_SINGLE_ENTRY, u"*.TXT");
    EXPECT_EQ(first.Names(), Names{u"."});
    Listing second = QueryDirectory(folder_.get(), FileNamesInformation, 4096, SL_RESTART_SCAN, u"a");
    EXPECT_EQ(second.Names(), (Names{u".", u"..", u"a"}));
    Listing third = QueryDirectory(folder_.get(), FileNamesInformation, 4096, SL_RESTART_SCAN);
    EXPECT_EQ(third.Names(), (Names{u".", u"..", u"b.txt"})) << "the first query's pattern stays saved";
}

struct ClassCase {
    FILE_INFORMATION_CLASS Class;
    ULONG Size;  // the structure's size: the smallest buffer
    bool ListsAbsentTargets;
};

class ClassTest : public ListingTest, public ::testing::WithParamInterface<ClassCase> {};

TEST_P(ClassTest, EntriesAreUnalignedAndSizedByTheStructure) {
    const ClassCase& c = GetParam();
    OpenFolder();
    Listing listing = QueryDirectory(folder_.get(), c.Class, 4096);
    ASSERT_EQ(listing.Status, STATUS_SUCCESS);
    Names expected{u".", u"..", u"a", u"b.txt"};
    if (c.ListsAbsentTargets) expected.push_back(u"c");
    EXPECT_EQ(listing.Names(), expected);
    ULONG offset = 0;
    for (const DirEntry& e : listing.Entries) {
        EXPECT_EQ(e.Offset, offset) << Narrow(e.Name);
        const ULONG length = c.Size - 2 + static_cast<ULONG>(e.Name.size() * 2);
        if (&e != &listing.Entries.back()) {
            EXPECT_EQ(e.NextEntryOffset, length) << Narrow(e.Name);
        }
        offset += length;
    }
    EXPECT_EQ(listing.Information, offset);
    EXPECT_EQ(listing.Entries.back().NextEntryOffset, 0u);
}

TEST_P(ClassTest, BufferBelowTheStructureSizeIsRefused) {
    OpenFolder();
    Listing listing = QueryDirectory(folder_.get(), GetParam().Class, GetParam().Size - 1);
    EXPECT_EQ(listing.Status, STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(listing.Information, 0u);
}

INSTANTIATE_TEST_SUITE_P(Classes, ClassTest,
                         ::testing::Values(ClassCase{FileDirectoryInformation, 72, false},
                                           ClassCase{FileFullDirectoryInformation, 72, false},
                                           ClassCase{FileBothDirectoryInformation, 96, false},
                                           ClassCase{FileNamesInformation, 16, true},
                                           ClassCase{FileIdBothDirectoryInformation, 112, false},
                                           ClassCase{FileIdFullDirectoryInformation, 88, false}));

TEST_F(ListingTest, SeventyTwoByteBufferHoldsOnlyTheDot) {
    OpenFolder();
    Listing first = QueryDirectory(folder_.get(), FileDirectoryInformation, 72);
    ASSERT_EQ(first.Status, STATUS_SUCCESS);
    EXPECT_EQ(first.Information, 72u);
    EXPECT_EQ(first.Names(), Names{u"."});
    EXPECT_EQ(first.Entries[0].NextEntryOffset, 0u);
    // ".." needs 74 bytes.
    Listing second = QueryDirectory(folder_.get(), FileDirectoryInformation, 72);
    EXPECT_EQ(second.Status, STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(second.Information, 0u);
    Listing third = QueryDirectory(folder_.get(), FileDirectoryInformation, 74);
    EXPECT_EQ(third.Names(), Names{u".."}) << "the entry that did not fit comes next";
}

TEST_F(ListingTest, SixByteNameEntryIsNotRoundedUp) {
    AddFolder(u"G\\abc");
    AddFolder(u"G\\d");
    OpenFolder(u"X:\\G");
    Listing listing = QueryDirectory(folder_.get(), FileDirectoryInformation, 4096);
    ASSERT_EQ(listing.Names(), (Names{u".", u"..", u"abc", u"d"}));
    EXPECT_EQ(listing.Entries[2].NextEntryOffset, 76u);
    EXPECT_EQ(listing.Entries[3].Offset, listing.Entries[2].Offset + 76);
}

TEST_F(ListingTest, EmptyFolderAnswersNoSuchFileThenNoMoreFiles) {
    OpenFolder(u"X:\\Empty");
    Listing first = QueryDirectory(folder_.get(), FileBothDirectoryInformation, 4096);
    EXPECT_EQ(first.Status, STATUS_NO_SUCH_FILE);
    EXPECT_EQ(first.Information, 0u);
    EXPECT_EQ(QueryDirectory(folder_.get(), FileBothDirectoryInformation, 4096).Status, STATUS_NO_MORE_FILES);
    EXPECT_EQ(QueryDirectory(folder_.get(), FileBothDirectoryInformation, 4096, SL_RESTART_SCAN).Status,
              STATUS_NO_MORE_FILES);
}

TEST_F(ListingTest, ReturnSingleEntryGivesOneEntryPerQuery) {
    OpenFolder();
    Names seen;
    for (int i = 0; i < 3; ++i) {
        Listing listing = QueryDirectory(folder_.get(), FileBothDirectoryInformation, 4096, SL_RETURN_SINGLE_ENTRY,
                                         i == 0 ? u"*.txt" : nullptr);
        ASSERT_EQ(listing.Status, STATUS_SUCCESS);
        ASSERT_EQ(listing.Entries.size(), 1u);
        EXPECT_EQ(listing.Entries[0].NextEntryOffset, 0u);
        seen.push_back(listing.Entries[0].Name);
    }
    // "a" is left out by the pattern without ending the third query.
    EXPECT_EQ(seen, (Names{u".", u"..", u"b.txt"}));
    EXPECT_EQ(QueryDirectory(folder_.get(), FileBothDirectoryInformation, 4096, SL_RETURN_SINGLE_ENTRY).Status,
              STATUS_NO_MORE_FILES);
}

TEST_F(ListingTest, SingleEntryQuerySkipsAnAbsentTarget) {
    AddMapping(u"F\\d", u"H:\\b.txt");
    OpenFolder();
    Names seen;
    for (;;) {
        Listing listing = QueryDirectory(folder_.get(), FileDirectoryInformation, 4096, SL_RETURN_SINGLE_ENTRY);
        if (listing.Status != STATUS_SUCCESS) break;
        ASSERT_EQ(listing.Entries.size(), 1u);
        seen.push_back(listing.Entries[0].Name);
    }
    EXPECT_EQ(seen, (Names{u".", u"..", u"a", u"b.txt", u"d"}));
}

TEST_F(ListingTest, UnknownClassIsRefusedUnlessTheFolderIsEmpty) {
    OpenFolder();
    EXPECT_EQ(QueryDirectory(folder_.get(), FileObjectIdInformation, 4096).Status, STATUS_INVALID_PARAMETER);
    Handle empty;
    ASSERT_EQ(Open(u"X:\\Empty", empty).Status, STATUS_SUCCESS);
    EXPECT_EQ(QueryDirectory(empty.get(), FileObjectIdInformation, 4096).Status, STATUS_NO_SUCH_FILE);
}

TEST_F(ListingTest, RestartScanStartsAgainAtTheDot) {
    OpenFolder();
    EXPECT_EQ(QueryDirectory(folder_.get(), FileNamesInformation, 4096).Names(),
              (Names{u".", u"..", u"a", u"b.txt", u"c"}));
    EXPECT_EQ(QueryDirectory(folder_.get(), FileNamesInformation, 4096, SL_RESTART_SCAN).Names(),
              (Names{u".", u"..", u"a", u"b.txt", u"c"}));
}

TEST_F(ListingTest, UnreachableNetworkTargetsAreListedWithPlainAttributes) {
    // No UNC root is configured: every UNC path is unreachable.
    AddMapping(u"N\\report.doc", u"\\\\server\\share\\report.doc");
    AddMapping(u"N\\Shared", u"\\\\server\\share\\dir\\");
    OpenFolder(u"X:\\N");
    Listing listing = QueryDirectory(folder_.get(), FileBothDirectoryInformation, 4096);
    ASSERT_EQ(listing.Names(), (Names{u".", u"..", u"report.doc", u"Shared"}));
    EXPECT_EQ(listing.Entries[2].FileAttributes, 0x80u);
    EXPECT_EQ(listing.Entries[3].FileAttributes, 0x90u);
    for (size_t i = 2; i < 4; ++i) {
        const DirEntry& e = listing.Entries[i];
        EXPECT_EQ(e.CreationTime | e.LastAccessTime | e.LastWriteTime | e.ChangeTime | e.EndOfFile |
                      e.AllocationSize,
                  0);
    }
}

TEST_F(ListingTest, MappingToAFolderOfTheSameDriveIsListedWithoutDeadlock) {
    // Reading the target opens and queries a folder of this very drive.
    AddMapping(u"F\\self", u"X:\\F\\");
    OpenFolder();
    Listing listing = QueryDirectory(folder_.get(), FileBothDirectoryInformation, 4096);
    ASSERT_EQ(listing.Names(), (Names{u".", u"..", u"a", u"b.txt", u"self"}));
    EXPECT_EQ(listing.Entries[4].FileAttributes, 0x90u);
}

TEST_F(ListingTest, TargetThatOpensButAnswersNoQueryIsListedWithZeroFacts) {
    // "X:" opens the volume itself, which refuses every information query.
    AddMapping(u"V\\volume", u"X:");
    OpenFolder(u"X:\\V");
    Listing listing = QueryDirectory(folder_.get(), FileBothDirectoryInformation, 4096);
    ASSERT_EQ(listing.Names(), (Names{u".", u"..", u"volume"}));
    const DirEntry& e = listing.Entries[2];
    EXPECT_EQ(e.FileAttributes, 0u);
    EXPECT_EQ(e.CreationTime | e.LastAccessTime | e.LastWriteTime | e.ChangeTime | e.EndOfFile | e.AllocationSize,
              0);
}

TEST_F(ListingTest, FileIndexIsTheChildsPositionAndCanBeGivenBack) {
    OpenFolder();
    Listing listing = QueryDirectory(folder_.get(), FileNamesInformation, 4096);
    ASSERT_EQ(listing.Names(), (Names{u".", u"..", u"a", u"b.txt", u"c"}));
    std::vector<ULONG> indexes;
    for (const DirEntry& e : listing.Entries) indexes.push_back(e.FileIndex);
    EXPECT_EQ(indexes, (std::vector<ULONG>{0, 0, 0, 1, 2}));

    // Continuing at b.txt's token returns b.txt and what follows it.
    Listing resumed = QueryDirectory(folder_.get(), FileNamesInformation, 4096, SL_INDEX_SPECIFIED, nullptr, 1);
    EXPECT_EQ(resumed.Names(), (Names{u"b.txt", u"c"}));
}

TEST_F(ListingTest, TokenThatDenotesNoChildEndsTheScan) {
    OpenFolder();
    ASSERT_EQ(QueryDirectory(folder_.get(), FileNamesInformation, 4096).Status, STATUS_SUCCESS);
    for (ULONG token : {3u, 4u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        EXPECT_EQ(QueryDirectory(folder_.get(), FileNamesInformation, 4096, SL_INDEX_SPECIFIED, nullptr, token).Status,
                  STATUS_NO_MORE_FILES)
            << token;
    }
}

TEST_F(ListingTest, PositionWhoseChildLeftTheFolderContinuesWithTheNextChild) {
    for (const char16_t* name : {u"x1", u"x2", u"x3", u"x4"}) AddFolder(std::u16string(u"P\\") + name);
    TREE_NODE* other = AddFolder(u"Other");
    AddFolder(u"Other\\o1");
    OpenFolder(u"X:\\P");
    Names seen;
    for (int i = 0; i < 3; ++i) {
        Listing listing = QueryDirectory(folder_.get(), FileNamesInformation, 4096, SL_RETURN_SINGLE_ENTRY);
        ASSERT_EQ(listing.Entries.size(), 1u);
        seen.push_back(listing.Entries[0].Name);
    }
    ASSERT_EQ(seen, (Names{u".", u"..", u"x1"}));

    // x2, the next child, moves to another folder between two queries: its
    // list links now lead into that folder.
    TREE_NODE* x2 = Find(u"P\\x2");
    {
        ExAcquireResourceExclusiveLite(&Drive()->MainResource, TRUE);
        ASSERT_EQ(RemoveChild(x2), STATUS_SUCCESS);
        InsertChild(other, x2);
        ExReleaseResourceLite(&Drive()->MainResource);
    }
    EXPECT_EQ(QueryDirectory(folder_.get(), FileNamesInformation, 4096).Names(), (Names{u"x3", u"x4"}));
    EXPECT_EQ(Children(u"Other"), (Names{u"o1", u"x2"}));
}

TEST_F(ListingTest, ContinuingListingSkipsAChildRemovedBetweenQueries) {
    for (const char16_t* name : {u"x1", u"x2", u"x3"}) AddFolder(std::u16string(u"P\\") + name);
    OpenFolder(u"X:\\P");
    Names seen;
    for (int i = 0; i < 3; ++i) {
        seen.push_back(QueryDirectory(folder_.get(), FileNamesInformation, 4096, SL_RETURN_SINGLE_ENTRY).Entries.at(0).Name);
    }
    TREE_NODE* x2 = Find(u"P\\x2");
    ExAcquireResourceExclusiveLite(&Drive()->MainResource, TRUE);
    ASSERT_EQ(RemoveChild(x2), STATUS_SUCCESS);
    ExReleaseResourceLite(&Drive()->MainResource);
    Listing rest = QueryDirectory(folder_.get(), FileNamesInformation, 4096);
    EXPECT_EQ(rest.Names(), Names{u"x3"});
}

TEST_F(ListingTest, ChildRenamedBetweenQueriesDoesNotHideThoseAfterIt) {
    for (const char16_t* name : {u"x1", u"x2", u"x3", u"x4"}) AddFolder(std::u16string(u"P\\") + name);
    OpenFolder(u"X:\\P");
    for (int i = 0; i < 3; ++i) QueryDirectory(folder_.get(), FileNamesInformation, 4096, SL_RETURN_SINGLE_ENTRY);
    // x2 is next; its new name moves it to the end of the folder.
    TREE_NODE* x2 = Find(u"P\\x2");
    std::u16string newName = u"y2";
    UNICODE_STRING y2 = Counted(newName);
    ExAcquireResourceExclusiveLite(&Drive()->MainResource, TRUE);
    ASSERT_EQ(RenameFolderNode(x2, &y2), STATUS_SUCCESS);
    ExReleaseResourceLite(&Drive()->MainResource);
    EXPECT_EQ(QueryDirectory(folder_.get(), FileNamesInformation, 4096).Names(), (Names{u"x3", u"x4", u"y2"}));
}

TEST_F(ListingTest, ChangeNotificationIsRefused) {
    OpenFolder();
    PFILE_OBJECT fileObject = io::ReferenceFileObjectByHandle(folder_.get());
    ASSERT_NE(fileObject, nullptr);
    PIRP irp = io::AllocateIrp(IRP_MJ_DIRECTORY_CONTROL, fileObject, UserMode);
    irp->Flags |= IRP_SYNCHRONOUS_API;
    irp->Stack.MinorFunction = IRP_MN_NOTIFY_CHANGE_DIRECTORY;
    EXPECT_EQ(io::SendIrpAndWait(irp), STATUS_INVALID_DEVICE_REQUEST);
    io::FreeIrp(irp);
    io::DereferenceFileObject(fileObject);
}

// A query sent as a raw IRP: the caller's buffer, requestor mode and
// synchronism chosen by the test.
struct RawQuery {
    NTSTATUS Returned;
    NTSTATUS Status;
    ULONG_PTR Information;
};

RawQuery SendRawQuery(HANDLE handle, PVOID buffer, ULONG length, KPROCESSOR_MODE mode, bool synchronous) {
    PFILE_OBJECT fileObject = io::ReferenceFileObjectByHandle(handle);
    PIRP irp = io::AllocateIrp(IRP_MJ_DIRECTORY_CONTROL, fileObject, mode);
    if (synchronous) irp->Flags |= IRP_SYNCHRONOUS_API;
    irp->Stack.MinorFunction = IRP_MN_QUERY_DIRECTORY;
    irp->Stack.Parameters.QueryDirectory.Length = length;
    irp->Stack.Parameters.QueryDirectory.FileInformationClass = FileNamesInformation;
    irp->UserBuffer = buffer;
    RawQuery result{};
    result.Returned = IoCallDriver(fileObject->DeviceObject, irp);
    {
        std::unique_lock lock(irp->Completion.Mutex);
        irp->Completion.Done.wait(lock, [&] { return irp->Completion.Completed; });
    }
    result.Status = irp->IoStatus.Status;
    result.Information = irp->IoStatus.Information;
    io::FreeIrp(irp);
    io::DereferenceFileObject(fileObject);
    return result;
}

TEST_F(ListingTest, CallersBadBufferFailsTheQuery) {
    Handle folder;
    // Opened without synchronous I/O so that the raw query below is synchronous only by its flag.
    ASSERT_EQ(Open(u"X:\\F", folder, FILE_DIRECTORY_FILE).Status, STATUS_SUCCESS);
    std::vector<uint8_t> undeclared(4096);  // never handed in by a system call
    RawQuery query = SendRawQuery(folder.get(), undeclared.data(), 4096, UserMode, true);
    EXPECT_EQ(query.Status, STATUS_INVALID_USER_BUFFER);
    EXPECT_EQ(query.Information, 0u);
    // The handle still works.
    EXPECT_EQ(QueryDirectory(folder.get(), FileNamesInformation, 4096).Status, STATUS_SUCCESS);
}

TEST_F(ListingTest, QueryThatMayNotWaitIsPostedAndFillsTheBufferFromAWorker) {
    Handle folder;
    ASSERT_EQ(Open(u"X:\\F", folder, FILE_DIRECTORY_FILE).Status, STATUS_SUCCESS);
    std::vector<uint8_t> buffer(4096, 0xEE);
    RawQuery query = SendRawQuery(folder.get(), buffer.data(), 4096, KernelMode, false);
    EXPECT_EQ(query.Returned, STATUS_PENDING);
    ASSERT_EQ(query.Status, STATUS_SUCCESS);
    std::vector<DirEntry> entries = ParseEntries(buffer, static_cast<ULONG>(query.Information), FileNamesInformation);
    Names names;
    for (const DirEntry& e : entries) names.push_back(e.Name);
    EXPECT_EQ(names, (Names{u".", u"..", u"a", u"b.txt", u"c"}));
}

struct ExhaustionCase {
    ULONG Tag;
    const char16_t* Pattern;
};

class PatternExhaustionTest : public ListingTest, public ::testing::WithParamInterface<ExhaustionCase> {};

TEST_P(PatternExhaustionTest, NoPoolForThePatternFailsTheQuery) {
    OpenFolder();
    const ExhaustionCase& c = GetParam();
    pool::FailNthAllocation(c.Tag, 1);
    EXPECT_EQ(QueryDirectory(folder_.get(), FileNamesInformation, 4096, 0, c.Pattern).Status,
              STATUS_INSUFFICIENT_RESOURCES);
    pool::ClearInjectedFailures();
    EXPECT_EQ(QueryDirectory(folder_.get(), FileNamesInformation, 4096, 0, c.Pattern).Status, STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Tags, PatternExhaustionTest,
                         ::testing::Values(ExhaustionCase{TAG_QUERY_PATTERN, u"*"},
                                           ExhaustionCase{TAG_SAVED_PATTERN, u"*"},
                                           ExhaustionCase{TAG_STAR_PATTERN, nullptr}));

TEST_F(ListingTest, ListingOnTheVolumeOpenIsRefused) {
    Handle volume;
    ASSERT_EQ(Open(u"X:", volume, FILE_SYNCHRONOUS_IO_NONALERT).Status, STATUS_SUCCESS);
    EXPECT_EQ(QueryDirectory(volume.get(), FileNamesInformation, 4096).Status, STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace korin::drivertest

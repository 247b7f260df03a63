// Opens on a virtual drive: the volume, the root and folders, directory
// creation, reparse through mappings, open-target-directory, share access,
// and what is left behind when an open fails.
#include "drive_fixture.h"

#include "driver/store.h"
#include "platform/nt/pool.h"

#include <cstring>

namespace korin::drivertest {
namespace {

PFILE_OBJECT FileObjectOf(const Handle& handle) { return io::ReferenceFileObjectByHandle(handle.get()); }

class CreateTest : public DriveTest {};

TEST_F(CreateTest, VolumeOpenNamesTheVcbAndRootOpenTheRootFcb) {
    Handle volume, root;
    OpenResult volumeOpen = Open(u"X:", volume, FILE_SYNCHRONOUS_IO_NONALERT);
    ASSERT_EQ(volumeOpen.Status, STATUS_SUCCESS);
    EXPECT_EQ(volumeOpen.Information, FILE_OPENED);
    ASSERT_EQ(Open(u"X:\\", root).Status, STATUS_SUCCESS);

    PFILE_OBJECT volumeObject = FileObjectOf(volume);
    EXPECT_EQ(volumeObject->FsContext, Drive());
    EXPECT_EQ(volumeObject->FsContext2, nullptr);
    io::DereferenceFileObject(volumeObject);
    PFILE_OBJECT rootObject = FileObjectOf(root);
    EXPECT_EQ(rootObject->FsContext, Drive()->RootFcb);
    EXPECT_NE(rootObject->FsContext2, nullptr);
    EXPECT_EQ(Drive()->RootFcb->OpenHandleCount, 1u);
    io::DereferenceFileObject(rootObject);
}

TEST_F(CreateTest, RelativeOpenAgainstTheVolumeStartsAtTheRoot) {
    AddFolder(u"a");
    Handle volume, folder;
    ASSERT_EQ(Open(u"X:", volume, FILE_SYNCHRONOUS_IO_NONALERT).Status, STATUS_SUCCESS);
    std::u16string relative = u"a";
    UNICODE_STRING name = Counted(relative);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, volume.get(), nullptr);
    IO_STATUS_BLOCK ioStatus{};
    ASSERT_EQ(NtCreateFile(folder.out(), FILE_READ_ATTRIBUTES, &attributes, &ioStatus, nullptr, 0, FILE_SHARE_READ,
                           FILE_OPEN, FILE_DIRECTORY_FILE, nullptr, 0),
              STATUS_SUCCESS);
    PFILE_OBJECT fileObject = FileObjectOf(folder);
    EXPECT_EQ(static_cast<FCB*>(fileObject->FsContext)->Node, Find(u"a"));
    io::DereferenceFileObject(fileObject);
}

TEST_F(CreateTest, CreateDirectoryMakesEveryMissingFolderInMemoryAndRegistry) {
    Handle d3;
    OpenResult open = Open(u"X:\\d1\\d2\\d3", d3, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, FILE_CREATE);
    ASSERT_EQ(open.Status, STATUS_SUCCESS);
    EXPECT_EQ(open.Information, FILE_OPENED);
    EXPECT_NE(Find(u"d1\\d2\\d3"), nullptr);
    EXPECT_TRUE(StoreKeyExists(u"d1\\d2\\d3"));
    // Only the folder opened has an FCB.
    EXPECT_EQ(Find(u"d1")->Fcb, nullptr);
    EXPECT_EQ(pool::LiveBlocks("RDcb"), 2u) << "d3's and the root's";
}

// A directory create the store refuses (the parent's key was removed behind
// the driver's back) fails with the registry's status; no folder is left in
// memory that the next start would not find.
TEST_F(CreateTest, CreateDirectoryTheStoreRefusesFailsAndLeavesNoFolder) {
    AddFolder(u"Docs");
    {
        std::u16string path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KRDriver\\Drive\\0\\Docs";
        UNICODE_STRING name{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2), path.data()};
        HANDLE key = nullptr;
        ASSERT_EQ(OpenKey(&key, &name, nullptr), STATUS_SUCCESS);
        ASSERT_EQ(ZwDeleteKey(key), STATUS_SUCCESS);
        ZwClose(key);
    }
    Handle sub;
    OpenResult open = Open(u"X:\\Docs\\Sub", sub, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, FILE_CREATE);
    EXPECT_EQ(open.Status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Find(u"Docs\\Sub"), nullptr);
    EXPECT_TRUE(Children(u"Docs").empty());
    EXPECT_FALSE(StoreKeyExists(u"Docs\\Sub"));
    ExpectPoolClean();
}

TEST_F(CreateTest, CreatingAnExistingFolderOpensIt) {
    AddFolder(u"Docs");
    for (ULONG disposition : {FILE_CREATE, FILE_OPEN_IF}) {
        Handle folder;
        OpenResult open = Open(u"X:\\Docs", folder, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, disposition);
        EXPECT_EQ(open.Status, STATUS_SUCCESS) << disposition;
        EXPECT_EQ(open.Information, FILE_OPENED) << disposition;
    }
    EXPECT_EQ(Children(u""), std::vector<std::u16string>{u"Docs"});
}

TEST_F(CreateTest, FolderOpensWithNonDirectoryOptionAllTheSame) {
    AddFolder(u"Docs");
    Handle folder;
    EXPECT_EQ(Open(u"X:\\Docs", folder, FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT).Status,
              STATUS_SUCCESS);
}

struct MissingCase {
    ULONG Options;
    ULONG Disposition;
};

class PlainFileCreateTest : public CreateTest, public ::testing::WithParamInterface<MissingCase> {};

TEST_P(PlainFileCreateTest, DriveHoldsNoFilesOfItsOwn) {
    AddFolder(u"Docs");
    Handle file;
    OpenResult open = Open(u"X:\\Docs\\new.txt", file, GetParam().Options, GetParam().Disposition,
                           FILE_GENERIC_WRITE, FILE_SHARE_READ);
    EXPECT_EQ(open.Status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Children(u"Docs"), std::vector<std::u16string>{});
}

INSTANTIATE_TEST_SUITE_P(Dispositions, PlainFileCreateTest,
                         ::testing::Values(MissingCase{FILE_NON_DIRECTORY_FILE, FILE_CREATE},
                                           MissingCase{0, FILE_OPEN_IF}, MissingCase{0, FILE_OVERWRITE_IF},
                                           MissingCase{0, FILE_SUPERSEDE}, MissingCase{0, FILE_OPEN},
                                           MissingCase{FILE_DIRECTORY_FILE, FILE_OPEN}));

class BadFolderNameTest : public CreateTest, public ::testing::WithParamInterface<const char16_t*> {};

TEST_P(BadFolderNameTest, IsRefusedAndNothingIsCreated) {
    Handle folder;
    OpenResult open = Open(std::u16string(u"X:\\ok\\") + GetParam(), folder, FILE_DIRECTORY_FILE, FILE_CREATE);
    EXPECT_EQ(open.Status, STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Children(u"ok"), std::vector<std::u16string>{});
}

INSTANTIATE_TEST_SUITE_P(Names, BadFolderNameTest,
                         ::testing::Values(u"a*b", u"what?", u"x:y", u"pi|pe", u"<tag>", u"quo\"te", u"..", u".",
                                           u"tab\there", u"lone\xD800", u"\xDC00low", u"\xD800\xD800\xDC00"));

TEST_F(CreateTest, ReparseRewritesTheNameIntoTheTargetAndTheRest) {
    AddMapping(u"Docs", u"H:\\Work\\Docs\\");
    AddMapping(u"Notes", u"H:\\Data\\notes.txt");
    AddMapping(u"Share", u"\\\\server\\pub\\");
    struct Case {
        const char16_t* Name;
        const char16_t* Reparsed;
    } cases[] = {
        {u"\\Docs\\plan.txt", u"\\??\\H:\\Work\\Docs\\plan.txt"},
        {u"\\Docs", u"\\??\\H:\\Work\\Docs\\"},
        {u"\\docs\\sub\\x", u"\\??\\H:\\Work\\Docs\\sub\\x"},
        {u"\\Notes", u"\\??\\H:\\Data\\notes.txt"},
        {u"\\Share\\a.doc", u"\\??\\UNC\\server\\pub\\a.doc"},
    };
    for (const Case& c : cases) {
        RawCreateResult result = RawCreate(c.Name, 0, FILE_OPEN);
        EXPECT_EQ(result.Status, STATUS_REPARSE) << Narrow(c.Name);
        EXPECT_EQ(result.Information, IO_REPARSE) << Narrow(c.Name);
        EXPECT_EQ(result.Boost, IO_NO_INCREMENT) << Narrow(c.Name);
        EXPECT_EQ(result.FileName, c.Reparsed) << Narrow(c.Name);
    }
}

TEST_F(CreateTest, DirectoryCreateOnAMappingReparsesAndKeepsTheMapping) {
    AddMapping(u"Docs", u"H:\\Work\\Docs\\");
    RawCreateResult result = RawCreate(u"\\Docs", FILE_DIRECTORY_FILE, FILE_CREATE);
    EXPECT_EQ(result.Status, STATUS_REPARSE);
    ASSERT_NE(Find(u"Docs"), nullptr);
    EXPECT_NE(Find(u"Docs")->Target, nullptr);
}

TEST_F(CreateTest, PathPastAFileMappingIsRefused) {
    AddMapping(u"Notes", u"H:\\Data\\notes.txt");
    RawCreateResult result = RawCreate(u"\\Notes\\x", 0, FILE_OPEN);
    EXPECT_EQ(result.Status, STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(result.FileName, u"\\Notes\\x");
}

TEST_F(CreateTest, ReparseNameLongerThanACountedStringIsRefusedWithoutChange) {
    // A target of 20000 characters and a rest of 15000 make 70000 bytes.
    std::u16string target = u"H:\\" + std::u16string(19996, u'd') + u"\\";
    AddMapping(u"Deep", target);
    std::u16string name = u"\\Deep\\" + std::u16string(14994, u'r');
    RawCreateResult result = RawCreate(name, 0, FILE_OPEN);
    EXPECT_EQ(result.Status, STATUS_NAME_TOO_LONG);
    EXPECT_EQ(result.FileName, name);
}

TEST_F(CreateTest, OpenTargetDirectoryOpensTheParentAndCutsTheName) {
    AddFolder(u"a\\existing");
    AddMapping(u"a\\mapped", u"H:\\m.txt");
    struct Case {
        const char16_t* Name;
        ULONG_PTR Information;
        const char16_t* Cut;
    } cases[] = {
        {u"\\a\\new", FILE_DOES_NOT_EXIST, u"new"},
        {u"\\a\\existing", FILE_EXISTS, u"existing"},
        {u"\\a\\MAPPED", FILE_EXISTS, u"MAPPED"},
        {u"\\a\\new\\", FILE_DOES_NOT_EXIST, u"new"},
        {u"\\top", FILE_DOES_NOT_EXIST, u"top"},
    };
    for (const Case& c : cases) {
        RawCreateResult result = RawCreate(c.Name, 0, FILE_OPEN, SL_OPEN_TARGET_DIRECTORY);
        ASSERT_EQ(result.Status, STATUS_SUCCESS) << Narrow(c.Name);
        EXPECT_EQ(result.Information, c.Information) << Narrow(c.Name);
        EXPECT_EQ(result.FileName, c.Cut) << Narrow(c.Name);
    }
    // The folder opened was a; its open is closed again, and nothing was created.
    EXPECT_EQ(Find(u"a")->Fcb, nullptr);
    EXPECT_EQ(Find(u"a\\new"), nullptr);
}

TEST_F(CreateTest, SecondOpenThatConflictsWithTheFirstsSharingFails) {
    AddFolder(u"Docs");
    Handle first, second;
    ASSERT_EQ(Open(u"X:\\Docs", first, FILE_DIRECTORY_FILE, FILE_OPEN, FILE_READ_DATA | FILE_READ_ATTRIBUTES, 0)
                  .Status,
              STATUS_SUCCESS);
    EXPECT_EQ(Open(u"X:\\Docs", second, FILE_DIRECTORY_FILE, FILE_OPEN, FILE_READ_DATA, FILE_SHARE_READ).Status,
              STATUS_SHARING_VIOLATION);
    PFILE_OBJECT fileObject = FileObjectOf(first);
    EXPECT_EQ(static_cast<FCB*>(fileObject->FsContext)->OpenHandleCount, 1u);
    io::DereferenceFileObject(fileObject);
    first.Close();
    EXPECT_EQ(Open(u"X:\\Docs", second, FILE_DIRECTORY_FILE, FILE_OPEN, FILE_READ_DATA, FILE_SHARE_READ).Status,
              STATUS_SUCCESS);
}

struct ExhaustionCase {
    ULONG Tag;
    const char16_t* Path;
    ULONG Disposition;
};

class CreateExhaustionTest : public CreateTest, public ::testing::WithParamInterface<ExhaustionCase> {};

TEST_P(CreateExhaustionTest, NoPoolFailsTheOpenAndLeavesNothingBehind) {
    AddFolder(u"Docs");
    AddMapping(u"Map", u"H:\\m\\");
    const ExhaustionCase& c = GetParam();
    pool::FailNthAllocation(c.Tag, 1);
    Handle handle;
    EXPECT_EQ(Open(c.Path, handle, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, c.Disposition).Status,
              STATUS_INSUFFICIENT_RESOURCES);
    pool::ClearInjectedFailures();
    EXPECT_EQ(Find(u"Docs")->Fcb, nullptr);
    EXPECT_EQ(TransientPool(), poolBaseline_);
    EXPECT_NE(Open(c.Path, handle, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, c.Disposition).Status,
              STATUS_INSUFFICIENT_RESOURCES);
}

INSTANTIATE_TEST_SUITE_P(Tags, CreateExhaustionTest,
                         ::testing::Values(ExhaustionCase{TAG_FCB, u"X:\\Docs", FILE_OPEN},
                                           ExhaustionCase{TAG_CCB, u"X:\\Docs", FILE_OPEN},
                                           ExhaustionCase{TAG_REPARSE_NAME, u"X:\\Map\\x", FILE_OPEN},
                                           ExhaustionCase{TAG_TREE_NODE, u"X:\\Docs\\new", FILE_CREATE}));

}  // namespace
}  // namespace korin::drivertest

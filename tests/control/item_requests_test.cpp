// The folder and mapping requests: create, delete, rename and query item
// type, each with its main path and the statuses callers interpret.

#include "control_fixture.h"

#include "driver/store.h"
#include "platform/nt/syscalls.h"

namespace korin::control_test {
namespace {

class ItemRequests : public ControlTest {
protected:
    void SetUp() override {
        ControlTest::SetUp();
        MakeDrive(u'K', u"Work");  // instance 0
    }
};

Bytes TargetData(std::u16string_view target) {
    Bytes data = PathBytes(target);
    data.push_back(0);
    data.push_back(0);
    return data;
}

TEST_F(ItemRequests, SecondCreateOfAFolderAnswersCollisionInTheStatusWord) {
    MakeFolder(u"K:\\Docs");
    const std::string before = StateDump();
    Reply reply = Send(IOCTL_CREATE_FOLDER, PathBytes(u"K:\\Docs"));
    EXPECT_EQ(reply.status, STATUS_SUCCESS);  // DeviceIoControl itself succeeds
    EXPECT_EQ(reply.information, 4u);
    EXPECT_EQ(reply.Word(), 0xC0000035u);
    EXPECT_EQ(StateDump(), before);
    EXPECT_TRUE(KeyExists(u"0\\Docs"));
}

// The store refuses the new item (its folder's key was removed behind the
// driver's back): the registry's status goes into the status word and the
// item is in neither memory nor the store.
TEST_F(ItemRequests, CreateTheStoreRefusesAnswersItsStatusAndChangesNothing) {
    MakeFolder(u"K:\\Docs");
    {
        std::u16string path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KRDriver\\Drive\\0\\Docs";
        UNICODE_STRING name{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2), path.data()};
        HANDLE key = nullptr;
        ASSERT_EQ(OpenKey(&key, &name, nullptr), STATUS_SUCCESS);
        ASSERT_EQ(ZwDeleteKey(key), STATUS_SUCCESS);
        ZwClose(key);
    }
    const std::string before = StateDump();
    EXPECT_EQ(Verdict(IOCTL_CREATE_FOLDER, PathBytes(u"K:\\Docs\\Sub")), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Verdict(IOCTL_CREATE_MAPPING, PairBytes(u"K:\\Docs\\a.txt", u"C:\\a.txt")),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(StateDump(), before);
    EXPECT_EQ(TypeOf(u"K:\\Docs\\Sub"), ItemNotFound);
}

// A folder rename the store refuses (a key of the new name that only the
// store holds) answers the registry's status and keeps the old name.
TEST_F(ItemRequests, FolderRenameTheStoreRefusesKeepsTheOldName) {
    MakeFolder(u"K:\\Docs");
    MakeMapping(u"K:\\Docs\\a.txt", u"C:\\a.txt");
    {
        std::u16string path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KRDriver\\Drive\\0";
        std::u16string taken = u"Taken";
        UNICODE_STRING name{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2), path.data()};
        UNICODE_STRING takenName{10, 10, taken.data()};
        HANDLE key = nullptr, child = nullptr;
        ASSERT_EQ(OpenKey(&key, &name, nullptr), STATUS_SUCCESS);
        ASSERT_EQ(CreateKey(&child, &takenName, key), STATUS_SUCCESS);
        ZwClose(child);
        ZwClose(key);
    }
    const std::string before = StateDump();
    EXPECT_EQ(Verdict(IOCTL_RENAME_FOLDER, PairBytes(u"K:\\Docs", u"TAKEN")), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(StateDump(), before);
    EXPECT_EQ(TypeOf(u"K:\\Docs\\a.txt"), ItemFileMapping);
}

TEST_F(ItemRequests, MappingNamedLikeAFolderInAnotherCaseCollides) {
    MakeFolder(u"K:\\Docs");
    MakeFolder(u"K:\\Docs\\A.TXT");
    const std::string before = StateDump();
    EXPECT_EQ(Verdict(IOCTL_CREATE_MAPPING, PairBytes(u"K:\\Docs\\a.txt", u"C:\\a.txt")),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(StateDump(), before);
}

TEST_F(ItemRequests, UncTargetIsStoredAsSentAndKeptInNtForm) {
    MakeFolder(u"K:\\Docs");
    MakeMapping(u"K:\\Docs\\dir", u"\\\\srv\\share\\dir\\");
    ULONG type = 0;
    Bytes data;
    ASSERT_TRUE(ReadValue(u"0\\Docs", u"dir", &type, &data));
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(data, TargetData(u"\\\\srv\\share\\dir\\"));
    EXPECT_NE(NamespaceDump().find("dir -> \\??\\UNC\\srv\\share\\dir\\\n"), std::string::npos) << NamespaceDump();
    EXPECT_EQ(TypeOf(u"K:\\Docs\\dir"), ItemFolderMapping);
}

TEST_F(ItemRequests, LocalTargetIsStoredWithItsNulAndKeptInNtForm) {
    MakeMapping(u"K:\\a.txt", u"C:\\a.txt");
    ULONG type = 0;
    Bytes data;
    ASSERT_TRUE(ReadValue(u"0", u"a.txt", &type, &data));
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(data.size(), 18u);  // 8 characters and the NUL
    EXPECT_EQ(data, TargetData(u"C:\\a.txt"));
    EXPECT_NE(NamespaceDump().find("a.txt -> \\??\\C:\\a.txt\n"), std::string::npos) << NamespaceDump();
}

TEST_F(ItemRequests, ItemTypeOfEveryKindOfPath) {
    MakeFolder(u"K:\\Docs");
    MakeMapping(u"K:\\Docs\\a.txt", u"C:\\a.txt");
    MakeMapping(u"K:\\Docs\\dir", u"C:\\dir\\");
    const struct {
        std::u16string path;
        ItemType type;
    } cases[] = {
        {u"c:\\windows", ItemNone},         // C has no virtual drive
        {u"\\\\srv\\share\\x.txt", ItemNone},  // a UNC path
        {u"1:\\x", ItemNone},
        {u"K:", ItemDriveRoot},
        {u"K:\\", ItemDriveRoot},
        {u"k:\\", ItemDriveRoot},
        {u"k:\\nothing", ItemNotFound},
        {u"K:\\Docs", ItemFolder},
        {u"k:\\DOCS\\", ItemFolder},
        {u"K:\\Docs\\a.txt", ItemFileMapping},
        {u"K:\\Docs\\A.TXT", ItemFileMapping},
        {u"K:\\Docs\\dir", ItemFolderMapping},
        {u"K:\\Docs\\a.txt\\deeper", ItemNotFound},  // nothing lives below a mapping
        {u"K:\\Docs\\nothing\\deeper", ItemNotFound},
    };
    for (const auto& c : cases) EXPECT_EQ(TypeOf(c.path), c.type) << Narrow(c.path);
}

TEST_F(ItemRequests, DeleteOfAMissingMappingFailsAndLeavesOutputAndStoreAlone) {
    MakeFolder(u"K:\\Docs");
    MakeMapping(u"K:\\Docs\\a.txt", u"C:\\a.txt");
    const std::string before = StateDump();
    Reply reply = Send(IOCTL_DELETE_MAPPING, PathBytes(u"K:\\Docs\\b.txt"));
    EXPECT_EQ(reply.status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(reply.OutputUntouched());
    EXPECT_EQ(StateDump(), before);
}

TEST_F(ItemRequests, DeleteFolderRemovesItsWholeTreeFromMemoryAndStore) {
    MakeFolder(u"K:\\Docs");
    MakeFolder(u"K:\\Docs\\Sub");
    MakeMapping(u"K:\\Docs\\Sub\\a.txt", u"C:\\a.txt");
    MakeFolder(u"K:\\Keep");
    Reply reply = Send(IOCTL_DELETE_FOLDER, PathBytes(u"k:\\docs\\"));
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.Word(), 0u);
    EXPECT_FALSE(KeyExists(u"0\\Docs"));
    EXPECT_TRUE(KeyExists(u"0\\Keep"));
    EXPECT_EQ(TypeOf(u"K:\\Docs"), ItemNotFound);
    EXPECT_EQ(TypeOf(u"K:\\Docs\\Sub\\a.txt"), ItemNotFound);
    RestartDriver();
    EXPECT_EQ(TypeOf(u"K:\\Docs"), ItemNotFound);
    EXPECT_EQ(TypeOf(u"K:\\Keep"), ItemFolder);
}

TEST_F(ItemRequests, DeleteMappingRemovesItsValue) {
    MakeMapping(u"K:\\a.txt", u"C:\\a.txt");
    MakeMapping(u"K:\\b.txt", u"C:\\b.txt");
    Reply reply = Send(IOCTL_DELETE_MAPPING, PathBytes(u"K:\\A.txt"));
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.Word(), 0u);
    ULONG type = 0;
    Bytes data;
    EXPECT_FALSE(ReadValue(u"0", u"a.txt", &type, &data));
    EXPECT_TRUE(ReadValue(u"0", u"b.txt", &type, &data));
    EXPECT_EQ(TypeOf(u"K:\\a.txt"), ItemNotFound);
    // The name is free again.
    MakeMapping(u"K:\\a.txt", u"C:\\other.txt");
}

TEST_F(ItemRequests, RenameFolderMovesItsKeyTreeAndKeepsItsChildren) {
    MakeFolder(u"K:\\Docs");
    MakeFolder(u"K:\\Docs\\Sub");
    MakeMapping(u"K:\\Docs\\a.txt", u"C:\\a.txt");
    MakeMapping(u"K:\\Docs\\Sub\\d", u"\\\\srv\\share\\d\\");
    EXPECT_EQ(Verdict(IOCTL_RENAME_FOLDER, PairBytes(u"K:\\Docs\\", u"Papers")), STATUS_SUCCESS);

    EXPECT_FALSE(KeyExists(u"0\\Docs"));
    EXPECT_TRUE(KeyExists(u"0\\Papers\\Sub"));
    ULONG type = 0;
    Bytes data;
    ASSERT_TRUE(ReadValue(u"0\\Papers", u"a.txt", &type, &data));
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(data, TargetData(u"C:\\a.txt"));
    ASSERT_TRUE(ReadValue(u"0\\Papers\\Sub", u"d", &type, &data));
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(data, TargetData(u"\\\\srv\\share\\d\\"));

    for (bool restarted : {false, true}) {
        if (restarted) RestartDriver();
        EXPECT_EQ(TypeOf(u"K:\\Docs"), ItemNotFound) << restarted;
        EXPECT_EQ(TypeOf(u"K:\\Papers"), ItemFolder) << restarted;
        EXPECT_EQ(TypeOf(u"K:\\Papers\\a.txt"), ItemFileMapping) << restarted;
        EXPECT_EQ(TypeOf(u"K:\\Papers\\Sub\\d"), ItemFolderMapping) << restarted;
    }
}

TEST_F(ItemRequests, RenameMappingMovesItsValue) {
    MakeFolder(u"K:\\Docs");
    MakeMapping(u"K:\\Docs\\a.txt", u"C:\\data\\a.txt");
    EXPECT_EQ(Verdict(IOCTL_RENAME_MAPPING, PairBytes(u"K:\\Docs\\a.txt", u"b.txt")), STATUS_SUCCESS);
    ULONG type = 0;
    Bytes data;
    EXPECT_FALSE(ReadValue(u"0\\Docs", u"a.txt", &type, &data));
    ASSERT_TRUE(ReadValue(u"0\\Docs", u"b.txt", &type, &data));
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(data, TargetData(u"C:\\data\\a.txt"));
    EXPECT_EQ(TypeOf(u"K:\\Docs\\a.txt"), ItemNotFound);
    EXPECT_EQ(TypeOf(u"K:\\Docs\\b.txt"), ItemFileMapping);
    EXPECT_NE(NamespaceDump().find("b.txt -> \\??\\C:\\data\\a.txt\n"), std::string::npos);
}

TEST_F(ItemRequests, RenameToANameTheNodeAlreadyHasInAnotherCaseCollides) {
    MakeMapping(u"K:\\a.txt", u"C:\\a.txt");
    MakeFolder(u"K:\\Docs");
    const std::string before = StateDump();
    EXPECT_EQ(Verdict(IOCTL_RENAME_MAPPING, PairBytes(u"K:\\a.txt", u"A.TXT")), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Verdict(IOCTL_RENAME_FOLDER, PairBytes(u"K:\\Docs", u"DOCS")), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Verdict(IOCTL_RENAME_MAPPING, PairBytes(u"K:\\a.txt", u"docs")), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(StateDump(), before);
}

TEST_F(ItemRequests, RenameOfAMissingItemAnswersTheRequestsOwnStatus) {
    const std::string before = StateDump();
    EXPECT_EQ(Verdict(IOCTL_RENAME_MAPPING, PairBytes(u"K:\\a.txt", u"b.txt")), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Verdict(IOCTL_RENAME_FOLDER, PairBytes(u"K:\\Docs", u"Papers")), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(StateDump(), before);
}

TEST_F(ItemRequests, LongTargetsSurviveRenamesWhole) {
    // Longer than the 2044 bytes of value data a fixed copy buffer would hold.
    std::u16string target = u"C:\\" + std::u16string(3000, u'x') + u"\\";
    MakeFolder(u"K:\\Docs");
    MakeMapping(u"K:\\Docs\\" + std::u16string(255, u'n'), target);
    MakeMapping(u"K:\\Docs\\m", target);
    EXPECT_EQ(Verdict(IOCTL_RENAME_MAPPING, PairBytes(u"K:\\Docs\\m", u"m2")), STATUS_SUCCESS);
    EXPECT_EQ(Verdict(IOCTL_RENAME_FOLDER, PairBytes(u"K:\\Docs", u"Papers")), STATUS_SUCCESS);
    ULONG type = 0;
    Bytes data;
    ASSERT_TRUE(ReadValue(u"0\\Papers", u"m2", &type, &data));
    EXPECT_EQ(data, TargetData(target));
    ASSERT_TRUE(ReadValue(u"0\\Papers", std::u16string(255, u'n'), &type, &data));
    EXPECT_EQ(data, TargetData(target));
}

TEST_F(ItemRequests, RequestsWorkOnADriveHandleToo) {
    MakeFolder(u"K:\\Docs");
    HANDLE volume = nullptr;
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\KTDrive0\\Docs");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK io{};
    ASSERT_EQ(NtCreateFile(&volume, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &io, nullptr, 0,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                           FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0),
              STATUS_SUCCESS);
    Reply created = Send(IOCTL_CREATE_FOLDER, PathBytes(u"K:\\Docs\\Sub"), 4, volume);
    EXPECT_EQ(created.status, STATUS_SUCCESS);
    EXPECT_EQ(created.Word(), 0u);
    EXPECT_EQ(TypeOf(u"K:\\Docs\\Sub"), ItemFolder);
    // Prepare-unload alone looks at the device it was sent to (the handle has
    // the write access its code asks for).
    Reply unload = Send(IOCTL_PREPARE_UNLOAD, {}, 0, volume);
    EXPECT_EQ(unload.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(NtClose(volume), STATUS_SUCCESS);
}

}  // namespace
}  // namespace korin::control_test

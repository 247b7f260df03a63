// The life of a drive: mounting stored drives at start-up, creating,
// deleting, moving and renaming drives, instance numbers that are never
// reused, and requests that fail (bad input, no pool) without changing
// anything.
#include "core_fixture.h"

#include "platform/nt/pool.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <thread>

namespace korin::drivercore {
namespace {

using DriveLifecycleTest = DriverTest;

std::optional<ULONG> NextInstance() {
    std::optional<RegValue> value = ReadValue(kDriveKey, u"NextInstance");
    if (!value || value->type != REG_DWORD || value->data.size() != 4) return std::nullopt;
    ULONG number;
    std::memcpy(&number, value->data.data(), 4);
    return number;
}

// Everything the Drive key holds, for "nothing changed" checks.
struct DriveKeySnapshot {
    std::vector<std::u16string> subkeys, values;
    std::optional<ULONG> next;
    bool operator==(const DriveKeySnapshot&) const = default;
};
DriveKeySnapshot Snapshot() { return {Subkeys(kDriveKey), ValueNames(kDriveKey), NextInstance()}; }

TEST_F(DriveLifecycleTest, CreateStoresRecordAndKeyAndMountsWithoutLink) {
    SetDword(kDriveKey, u"NextInstance", 4);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_EQ(CreateDriveNow(u'X', u"Work"), STATUS_SUCCESS);

    EXPECT_EQ(Subkeys(kDriveKey), std::vector<std::u16string>{u"4"});
    std::optional<RegValue> record = ReadValue(kDriveKey, u"4");
    ASSERT_TRUE(record);
    EXPECT_EQ(record->type, REG_BINARY);
    const std::vector<uint8_t> expected = {0x58, 0x00, 0x08, 0x00, 0x57, 0x00, 0x6F, 0x00, 0x72, 0x00, 0x6B, 0x00};
    EXPECT_EQ(record->data, expected) << "X, 8, W o r k";
    EXPECT_EQ(NextInstance(), 5u);

    VCB* vcb = Drive(u'X');
    ASSERT_NE(vcb, nullptr);
    EXPECT_EQ(KrGlobal.DriveTable[u'X' - u'A'], vcb);
    EXPECT_TRUE(DeviceExists(u"\\Device\\KTDrive4"));
    EXPECT_EQ(vcb->VolumeDevice->DeviceExtension, vcb);
    EXPECT_EQ(vcb->VolumeDevice->DeviceType, FILE_DEVICE_DISK_FILE_SYSTEM);
    EXPECT_EQ(vcb->VolumeDevice->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_EQ(LinkTarget(u"\\??\\X:"), u"") << "the creator defines the letter itself";
    EXPECT_EQ(Text(vcb->InstanceName), u"4");
    EXPECT_EQ(Text(vcb->DriveName), u"Work");
    EXPECT_EQ(vcb->Header.NodeTypeCode, 0x0501);
    EXPECT_TRUE(IsVcb(vcb));
    EXPECT_EQ(vcb->RootFcb->Header.NodeTypeCode, 0x0504);
    TREE_NODE* root = Root(u'X');
    EXPECT_EQ(root->Fcb, vcb->RootFcb);
    EXPECT_EQ(Text(root->Name), u"\\");
    EXPECT_TRUE(IsFolderEmpty(root));
}

TEST_F(DriveLifecycleTest, InstanceNumbersAreNeverReused) {
    SetDword(kDriveKey, u"NextInstance", 3);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_EQ(CreateDriveNow(u'K', u"Three"), STATUS_SUCCESS);
    EXPECT_EQ(Text(Drive(u'K')->InstanceName), u"3");
    EXPECT_EQ(NextInstance(), 4u);
    ASSERT_EQ(DeleteDrive(u'k'), STATUS_SUCCESS);
    ASSERT_EQ(CreateDriveNow(u'K', u"Four"), STATUS_SUCCESS);
    EXPECT_EQ(Text(Drive(u'K')->InstanceName), u"4");
    EXPECT_TRUE(DeviceExists(u"\\Device\\KTDrive3")) << "the deleted drive's device keeps its name";
    EXPECT_TRUE(DeviceExists(u"\\Device\\KTDrive4"));
    EXPECT_EQ(NextInstance(), 5u);
}

// Without a readable "NextInstance" the new number is above every number in
// use: drive subkeys, record values (even orphaned ones) and the devices of
// deleted drives, which keep their names until the driver stops.
TEST_F(DriveLifecycleTest, UnreadableNextInstanceAvoidsEveryNumberInUse) {
    StoreDrive(u"2", u'K', u"Stored");
    SetValue(kDriveKey, u"5", REG_BINARY, DriveRecord(u'Q', u"Orphan"));
    SetDword(kDriveKey, u"NextInstance", 7);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_EQ(CreateDriveNow(u'L', u"Seven"), STATUS_SUCCESS);
    ASSERT_EQ(DeleteDrive(u'L'), STATUS_SUCCESS);  // 7 lives on as \Device\KTDrive7 only

    DeleteValue(kDriveKey, u"NextInstance");
    ASSERT_EQ(CreateDriveNow(u'M', u"Eight"), STATUS_SUCCESS);
    EXPECT_EQ(Text(Drive(u'M')->InstanceName), u"8");
    EXPECT_EQ(NextInstance(), 9u) << "the value is written again";

    SetValue(kDriveKey, u"NextInstance", REG_SZ, StringData(u"9"));  // not a REG_DWORD
    ASSERT_EQ(CreateDriveNow(u'N', u"Nine"), STATUS_SUCCESS);
    EXPECT_EQ(Text(Drive(u'N')->InstanceName), u"9");
}

TEST_F(DriveLifecycleTest, NextInstanceAlreadyInUseIsSkipped) {
    StoreDrive(u"3", u'K', u"Stored");
    SetDword(kDriveKey, u"NextInstance", 3);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_EQ(CreateDriveNow(u'L', u"New"), STATUS_SUCCESS);
    EXPECT_EQ(Text(Drive(u'L')->InstanceName), u"4");
    EXPECT_EQ(ReadValue(kDriveKey, u"3")->data, DriveRecord(u'K', u"Stored")) << "drive 3 is untouched";
    EXPECT_EQ(NextInstance(), 5u);
}

TEST_F(DriveLifecycleTest, StoredDrivesMountWithTheirLinks) {
    StoreDrive(u"0", u'x', u"Lower");  // a lower-case letter in the record
    StoreDrive(u"12", u'K', u"Twelve");
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    VCB* x = Drive(u'X');
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(KrGlobal.DriveTable[u'X' - u'A'], x);
    EXPECT_EQ(LinkTarget(u"\\??\\X:"), u"\\Device\\KTDrive0");
    EXPECT_EQ(LinkTarget(u"\\??\\x:"), u"\\Device\\KTDrive0");
    EXPECT_EQ(Text(x->DriveName), u"Lower");
    EXPECT_EQ(ReadValue(kDriveKey, u"0")->data, DriveRecord(u'x', u"Lower")) << "the record itself is not rewritten";
    EXPECT_EQ(LinkTarget(u"\\??\\K:"), u"\\Device\\KTDrive12");
}

struct BadRecordCase {
    const char* what;
    std::vector<uint8_t> record;
    bool withKey;
};

class UnmountableDriveTest : public DriverTest, public ::testing::WithParamInterface<BadRecordCase> {};

// A drive that cannot be mounted is skipped with its tree; the others mount.
TEST_P(UnmountableDriveTest, IsSkippedAndTheOthersMount) {
    const BadRecordCase& c = GetParam();
    if (!c.record.empty()) SetValue(kDriveKey, u"1", REG_BINARY, c.record);
    if (c.withKey) {
        CreateKeyPath(kDriveKey + u"\\1\\Folder");
        SetValue(kDriveKey + u"\\1", u"m", REG_SZ, StringData(u"C:\\m"));
    }
    StoreDrive(u"0", u'L', u"Good");  // enumerated first
    ASSERT_EQ(Start(), STATUS_SUCCESS) << c.what;
    EXPECT_FALSE(DeviceExists(u"\\Device\\KTDrive1")) << c.what;
    EXPECT_NE(Drive(u'L'), nullptr) << c.what;
    for (int i = 0; i < 26; ++i)
        if (i != u'L' - u'A') {
            EXPECT_EQ(KrGlobal.DriveTable[i], nullptr) << c.what;
        }
}

std::vector<uint8_t> Truncated(std::vector<uint8_t> bytes, size_t size) {
    bytes.resize(size);
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Records, UnmountableDriveTest,
    ::testing::Values(BadRecordCase{"value without its folder key", DriveRecord(u'K', u"NoKey"), false},
                      BadRecordCase{"folder key without its value", {}, true},
                      BadRecordCase{"record shorter than its header", {0x4B, 0x00, 0x02}, true},
                      BadRecordCase{"name longer than the record", Truncated(DriveRecord(u'K', u"Name"), 9), true},
                      BadRecordCase{"letter that is no letter", DriveRecord(u'1', u"Digit"), true},
                      BadRecordCase{"letter of another stored drive", DriveRecord(u'L', u"Twin"), true}));

TEST_F(DriveLifecycleTest, LongDriveSubkeyNamesDoNotStopTheLoad) {
    // Longer than the 24 characters the start-up buffer holds, and sorted first.
    CreateKeyPath(kDriveKey + u"\\0123456789012345678901234567890123456789");
    StoreDrive(u"5", u'K', u"AfterTheLongName");
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_NE(Drive(u'K'), nullptr);
}

struct BadCreateCase {
    const char* what;
    std::vector<uint8_t> record;
    NTSTATUS status;
};

class RefusedCreateTest : public DriverTest, public ::testing::WithParamInterface<BadCreateCase> {};

TEST_P(RefusedCreateTest, ChangesNothing) {
    const BadCreateCase& c = GetParam();
    StoreDrive(u"0", u'K', u"Existing");
    SetDword(kDriveKey, u"NextInstance", 1);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const DriveKeySnapshot before = Snapshot();
    EXPECT_EQ(CreateDrive(c.record.empty() ? nullptr : c.record.data(), static_cast<ULONG>(c.record.size())),
              c.status)
        << c.what;
    EXPECT_EQ(Snapshot(), before) << c.what;
    EXPECT_FALSE(DeviceExists(u"\\Device\\KTDrive1")) << c.what;
    EXPECT_EQ(Drive(u'K')->DriveName.Length, 16) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Records, RefusedCreateTest,
    ::testing::Values(BadCreateCase{"no record", {}, STATUS_INVALID_PARAMETER},
                      BadCreateCase{"shorter than the header", {0x4C, 0x00, 0x00}, STATUS_INVALID_PARAMETER},
                      BadCreateCase{"name beyond the buffer", Truncated(DriveRecord(u'L', u"Work"), 11),
                                    STATUS_INVALID_PARAMETER},
                      BadCreateCase{"not a letter", DriveRecord(u':', u"Colon"), STATUS_INVALID_PARAMETER},
                      BadCreateCase{"letter of a drive", DriveRecord(u'k', u"Again"), STATUS_OBJECT_NAME_COLLISION}));

TEST_F(DriveLifecycleTest, DeleteRemovesSlotLinkAndStoreButKeepsTheDevice) {
    StoreDrive(u"0", u'K', u"Doomed");
    CreateKeyPath(kDriveKey + u"\\0\\Docs\\Deep\\Deeper");
    SetValue(kDriveKey + u"\\0\\Docs", u"a.txt", REG_SZ, StringData(u"C:\\a.txt"));
    StoreDrive(u"1", u'L', u"Kept");
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    TREE_NODE* docs = Find(u'K', u"Docs");
    ASSERT_NE(docs, nullptr);

    EXPECT_EQ(DeleteDrive(u'k'), STATUS_SUCCESS);
    EXPECT_EQ(Drive(u'K'), nullptr);
    EXPECT_EQ(LinkTarget(u"\\??\\K:"), u"");
    EXPECT_FALSE(KeyExists(kDriveKey + u"\\0"));
    EXPECT_FALSE(ReadValue(kDriveKey, u"0"));
    EXPECT_TRUE(DeviceExists(u"\\Device\\KTDrive0"));
    EXPECT_EQ(Text(docs->Name), u"Docs") << "the namespace stays in memory";
    EXPECT_NE(Drive(u'L'), nullptr);
    EXPECT_TRUE(KeyExists(kDriveKey + u"\\1"));

    const DriveKeySnapshot before = Snapshot();
    EXPECT_EQ(DeleteDrive(u'K'), STATUS_NO_SUCH_DEVICE) << "the letter has no drive any more";
    EXPECT_EQ(DeleteDrive(u'?'), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Snapshot(), before);
    EXPECT_NE(Drive(u'L'), nullptr);
}

TEST_F(DriveLifecycleTest, MoveChangesLinkSlotAndRecordOnly) {
    StoreDrive(u"0", u'K', u"Moving");
    CreateKeyPath(kDriveKey + u"\\0\\Docs");
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    VCB* vcb = Drive(u'K');
    ASSERT_EQ(ChangeDriveLetter(u'k', u'm'), STATUS_SUCCESS);
    EXPECT_EQ(Drive(u'K'), nullptr);
    EXPECT_EQ(LinkTarget(u"\\??\\K:"), u"");
    EXPECT_EQ(Drive(u'M'), vcb);
    EXPECT_EQ(KrGlobal.DriveTable[u'M' - u'A'], vcb);
    EXPECT_EQ(LinkTarget(u"\\??\\M:"), u"\\Device\\KTDrive0");
    EXPECT_EQ(ReadValue(kDriveKey, u"0")->data, DriveRecord(u'm', u"Moving")) << "the new letter as sent";
    EXPECT_NE(Find(u'M', u"Docs"), nullptr);
    EXPECT_TRUE(KeyExists(kDriveKey + u"\\0\\Docs"));

    Restart();
    EXPECT_NE(Find(u'M', u"Docs"), nullptr) << "the moved drive comes back on its new letter";
}

TEST_F(DriveLifecycleTest, RefusedMovesChangeNothing) {
    StoreDrive(u"0", u'K', u"First");
    StoreDrive(u"1", u'L', u"Second");
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    VCB* k = Drive(u'K');
    VCB* l = Drive(u'L');
    EXPECT_EQ(ChangeDriveLetter(u'K', u'L'), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(ChangeDriveLetter(u'Q', u'R'), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(ChangeDriveLetter(u'K', u'1'), STATUS_INVALID_PARAMETER);
    pool::FailNthAllocation("aaa0", 1);
    EXPECT_EQ(ChangeDriveLetter(u'K', u'M'), STATUS_INSUFFICIENT_RESOURCES) << "the record cannot be written";
    pool::FailNthAllocation("Qdev", 1);
    EXPECT_EQ(ChangeDriveLetter(u'K', u'M'), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Drive(u'K'), k);
    EXPECT_EQ(Drive(u'L'), l);
    EXPECT_EQ(Drive(u'M'), nullptr);
    EXPECT_EQ(LinkTarget(u"\\??\\K:"), u"\\Device\\KTDrive0");
    EXPECT_EQ(LinkTarget(u"\\??\\L:"), u"\\Device\\KTDrive1");
    EXPECT_EQ(ReadValue(kDriveKey, u"0")->data, DriveRecord(u'K', u"First"));
    EXPECT_EQ(ChangeDriveLetter(u'K', u'k'), STATUS_SUCCESS) << "a drive may keep its own letter";
    EXPECT_EQ(Drive(u'K'), k);
    EXPECT_EQ(LinkTarget(u"\\??\\K:"), u"\\Device\\KTDrive0");
}

TEST_F(DriveLifecycleTest, RenameRewritesRecordAndLabel) {
    StoreDrive(u"0", u'K', u"Old");
    CreateKeyPath(kDriveKey + u"\\0\\Docs");
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    std::u16string text = u"Work";
    UNICODE_STRING name = Counted(text);
    ASSERT_EQ(SetDriveName(u'k', &name), STATUS_SUCCESS);
    EXPECT_EQ(Text(Drive(u'K')->DriveName), u"Work");
    EXPECT_EQ(ReadValue(kDriveKey, u"0")->data, DriveRecord(u'k', u"Work")) << "the letter as sent";
    EXPECT_EQ(Subkeys(kDriveKey + u"\\0"), std::vector<std::u16string>{u"Docs"});

    EXPECT_EQ(SetDriveName(u'Q', &name), STATUS_NO_SUCH_DEVICE);
    std::u16string other = u"Other";
    UNICODE_STRING otherName = Counted(other);
    for (const char* tag : {"QStr", "aaa0"}) {
        pool::FailNthAllocation(Tag(tag), 1);
        EXPECT_EQ(SetDriveName(u'K', &otherName), STATUS_INSUFFICIENT_RESOURCES) << tag;
        EXPECT_EQ(Text(Drive(u'K')->DriveName), u"Work") << tag;
        EXPECT_EQ(ReadValue(kDriveKey, u"0")->data, DriveRecord(u'k', u"Work")) << tag;
    }
}

// Without pool at any step of a create, the create fails, and neither the
// store, nor the namespace, nor the pool keeps anything of it: the next
// create gets the same number.
struct PoolStep {
    const char* tag;
    unsigned nth;
};

class CreateWithoutPoolTest : public DriverTest, public ::testing::WithParamInterface<PoolStep> {};

TEST_P(CreateWithoutPoolTest, FailsCleanly) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const DriveKeySnapshot before = Snapshot();
    pool::FailNthAllocation(Tag(GetParam().tag), GetParam().nth);
    EXPECT_EQ(CreateDriveNow(u'K', u"Work"), STATUS_INSUFFICIENT_RESOURCES);
    pool::ClearInjectedFailures();
    EXPECT_EQ(Snapshot(), before);
    EXPECT_EQ(Drive(u'K'), nullptr);
    EXPECT_FALSE(DeviceExists(u"\\Device\\KTDrive0"));
    EXPECT_EQ(Driver()->DeviceObject, KrGlobal.ControlDevice);
    EXPECT_EQ(DriverBlocks(), (std::map<std::string, size_t>{{"QReg", 2}}));

    ASSERT_EQ(CreateDriveNow(u'K', u"Work"), STATUS_SUCCESS);
    EXPECT_EQ(Text(Drive(u'K')->InstanceName), u"0");
}

INSTANTIATE_TEST_SUITE_P(Steps, CreateWithoutPoolTest,
                         ::testing::Values(PoolStep{"QVol", 1}, PoolStep{"Qdev", 1}, PoolStep{"FSNs", 1},
                                           PoolStep{"RDcb", 1}, PoolStep{"QTN0", 1}, PoolStep{"QStr", 1},
                                           PoolStep{"QStr", 2}),
                         [](const auto& info) { return std::string(info.param.tag) + std::to_string(info.param.nth); });

class StartWithoutPoolTest : public DriverTest, public ::testing::WithParamInterface<PoolStep> {};

TEST_P(StartWithoutPoolTest, SkipsTheDriveCleanly) {
    StoreDrive(u"0", u'K', u"Work");
    CreateKeyPath(kDriveKey + u"\\0\\Docs");
    pool::FailNthAllocation(Tag(GetParam().tag), GetParam().nth);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    pool::ClearInjectedFailures();
    EXPECT_EQ(Drive(u'K'), nullptr);
    EXPECT_EQ(LinkTarget(u"\\??\\K:"), u"");
    EXPECT_FALSE(DeviceExists(u"\\Device\\KTDrive0"));
    EXPECT_TRUE(KeyExists(kDriveKey + u"\\0\\Docs")) << "the stored drive stays for the next start";
    Restart();
    EXPECT_NE(Find(u'K', u"Docs"), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Steps, StartWithoutPoolTest,
                         ::testing::Values(PoolStep{"QVol", 1}, PoolStep{"Qdev", 1}, PoolStep{"FSNs", 1},
                                           PoolStep{"RDcb", 1}, PoolStep{"QTN0", 1}, PoolStep{"QStr", 1},
                                           PoolStep{"QStr", 2}),
                         [](const auto& info) { return std::string(info.param.tag) + std::to_string(info.param.nth); });

// Concurrent creates each get their own number; none is lost or doubled.
TEST_F(DriveLifecycleTest, ConcurrentCreatesGetDistinctNumbers) {
    SetDword(kDriveKey, u"NextInstance", 10);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    std::vector<std::thread> threads;
    const std::u16string letters = u"DEFGHIJK";
    for (char16_t letter : letters)
        threads.emplace_back([this, letter] { EXPECT_EQ(CreateDriveNow(letter, u"Concurrent"), STATUS_SUCCESS); });
    for (auto& t : threads) t.join();
    std::set<std::u16string> numbers;
    for (char16_t letter : letters) {
        ASSERT_NE(Drive(letter), nullptr);
        numbers.insert(Text(Drive(letter)->InstanceName));
    }
    EXPECT_EQ(numbers.size(), letters.size());
    EXPECT_EQ(NextInstance(), 10u + letters.size());
    EXPECT_EQ(Subkeys(kDriveKey).size(), letters.size());
}

}  // namespace
}  // namespace korin::drivercore

// The object namespace: path parsing through directories and link chains,
// the "\DosDevices" alias, device names, stacked DOS device definitions and
// link observers.
#include "test_driver.h"

#include <gtest/gtest.h>

#include <optional>

namespace korin::test {
namespace {

class NamespaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ob::ResetNamespace();
        driver_.emplace(u"NsTest");
        vol1_ = driver_->AddDevice(u"\\Device\\Vol1");
        vol2_ = driver_->AddDevice(u"\\Device\\Vol2");
    }
    void TearDown() override {
        driver_.reset();
        ob::ResetNamespace();
    }

    std::optional<TestDriver> driver_;
    PDEVICE_OBJECT vol1_ = nullptr;
    PDEVICE_OBJECT vol2_ = nullptr;
};

struct ParseCase {
    const char16_t* path;
    int device;  // 1 or 2
    const char16_t* remainder;
};

TEST_F(NamespaceTest, PathsReachTheirDeviceThroughLinkChainsWithoutCase) {
    ASSERT_EQ(ob::CreateSymbolicLink(u"\\??\\A:", u"\\??\\B:"), STATUS_SUCCESS);
    ASSERT_EQ(ob::CreateSymbolicLink(u"\\??\\B:", u"\\Device\\Vol1\\sub"), STATUS_SUCCESS);
    ASSERT_EQ(ob::CreateSymbolicLink(u"\\??\\C:", u"\\Device\\Vol2"), STATUS_SUCCESS);
    const ParseCase cases[] = {
        {u"\\Device\\Vol1", 1, u""},
        {u"\\DEVICE\\vol1\\File.txt", 1, u"\\File.txt"},
        {u"\\Device\\Vol2\\", 2, u"\\"},
        {u"\\??\\c:\\x\\y", 2, u"\\x\\y"},
        {u"\\??\\B:", 1, u"\\sub"},
        {u"\\??\\a:\\x", 1, u"\\sub\\x"},
        {u"\\DosDevices\\A:\\x", 1, u"\\sub\\x"},
        {u"\\dosdevices\\c:", 2, u""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path, c.path + std::char_traits<char16_t>::length(c.path)));
        PDEVICE_OBJECT device = nullptr;
        std::u16string remainder = u"unchanged";
        ASSERT_EQ(ob::ParsePath(c.path, &device, &remainder), STATUS_SUCCESS);
        EXPECT_EQ(device, c.device == 1 ? vol1_ : vol2_);
        EXPECT_EQ(remainder, c.remainder);
    }
}

TEST_F(NamespaceTest, PathsThatReachNoDeviceFail) {
    ASSERT_EQ(ob::CreateSymbolicLink(u"\\??\\Loop1", u"\\??\\Loop2"), STATUS_SUCCESS);
    ASSERT_EQ(ob::CreateSymbolicLink(u"\\??\\Loop2", u"\\??\\Loop1\\x"), STATUS_SUCCESS);
    ASSERT_EQ(ob::CreateSymbolicLink(u"\\??\\Nowhere", u"\\Device\\Gone"), STATUS_SUCCESS);
    const std::pair<const char16_t*, NTSTATUS> cases[] = {
        {u"\\Device\\Missing", STATUS_OBJECT_NAME_NOT_FOUND},
        {u"\\Device\\Missing\\x", STATUS_OBJECT_PATH_NOT_FOUND},
        {u"\\NoDirectory\\x", STATUS_OBJECT_PATH_NOT_FOUND},
        {u"\\??\\Nowhere\\x", STATUS_OBJECT_PATH_NOT_FOUND},
        {u"Device\\Vol1", STATUS_OBJECT_PATH_SYNTAX_BAD},
        {u"", STATUS_OBJECT_PATH_SYNTAX_BAD},
        {u"\\Device", STATUS_OBJECT_TYPE_MISMATCH},
        {u"\\", STATUS_OBJECT_TYPE_MISMATCH},
        {u"\\Device\\\\Vol1", STATUS_OBJECT_NAME_INVALID},
        {u"\\??\\Loop1\\file", STATUS_REPARSE_POINT_NOT_RESOLVED},
    };
    for (const auto& [path, expected] : cases) {
        SCOPED_TRACE(std::string(path, path + std::char_traits<char16_t>::length(path)));
        PDEVICE_OBJECT device = nullptr;
        std::u16string remainder;
        EXPECT_EQ(ob::ParsePath(path, &device, &remainder), expected);
    }
}

TEST_F(NamespaceTest, DosDevicesIsTheSameDirectoryAsQuestionMarks) {
    UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\DosDevices\\KRTest");
    UNICODE_STRING target = RTL_CONSTANT_STRING(u"\\Device\\Vol1");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_EQ(ob::QueryLinkTargets(u"KRTest"), std::vector<std::u16string>{u"\\Device\\Vol1"});
    EXPECT_EQ(ob::QueryLinkTargets(u"\\??\\krtest"), std::vector<std::u16string>{u"\\Device\\Vol1"});
    EXPECT_EQ(ob::ListLinks(u"\\??"), ob::ListLinks(u"\\DosDevices"));
    EXPECT_EQ(ob::ListLinks(u"\\??"), std::vector<std::u16string>{u"KRTest"});
    UNICODE_STRING other = RTL_CONSTANT_STRING(u"\\??\\KRTEST");
    EXPECT_EQ(IoCreateSymbolicLink(&other, &target), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(IoDeleteSymbolicLink(&other), STATUS_SUCCESS);
    EXPECT_TRUE(ob::ListLinks(u"\\??").empty());
    EXPECT_EQ(IoDeleteSymbolicLink(&other), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(NamespaceTest, DeviceNamesAreUniqueAndGoWithTheDevice) {
    UNICODE_STRING same = RTL_CONSTANT_STRING(u"\\device\\VOL1");
    UNICODE_STRING noDirectory = RTL_CONSTANT_STRING(u"\\NoSuchDirectory\\Dev");
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver_->Driver(), 0, &same, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(IoCreateDevice(driver_->Driver(), 0, &noDirectory, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(vol1_->Name, u"\\Device\\Vol1");
    IoDeleteDevice(vol1_);
    PDEVICE_OBJECT found = nullptr;
    std::u16string remainder;
    EXPECT_EQ(ob::ParsePath(u"\\Device\\Vol1", &found, &remainder), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(IoCreateDevice(driver_->Driver(), 0, &same, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
}

TEST_F(NamespaceTest, DosDeviceDefinitionsStackAndUnstack) {
    ASSERT_EQ(ob::DefineDosDevice(u"X:", u"\\Device\\Vol1"), STATUS_SUCCESS);
    ASSERT_EQ(ob::DefineDosDevice(u"x:", u"\\Device\\Vol2"), STATUS_SUCCESS);
    ASSERT_EQ(ob::DefineDosDevice(u"X:", u"\\Device\\Vol1\\a"), STATUS_SUCCESS);
    using Targets = std::vector<std::u16string>;
    EXPECT_EQ(ob::QueryLinkTargets(u"X:"), (Targets{u"\\Device\\Vol1\\a", u"\\Device\\Vol2", u"\\Device\\Vol1"}));

    // An exact match removes the newest equal definition, hidden or not.
    std::u16string vol1 = u"\\DEVICE\\VOL1";
    EXPECT_EQ(ob::RemoveDosDevice(u"X:", &vol1, true), STATUS_SUCCESS);
    EXPECT_EQ(ob::QueryLinkTargets(u"X:"), (Targets{u"\\Device\\Vol1\\a", u"\\Device\\Vol2"}));
    EXPECT_EQ(ob::RemoveDosDevice(u"X:", &vol1, true), STATUS_OBJECT_NAME_NOT_FOUND);

    // Without one, the newest goes and the one below shows again.
    EXPECT_EQ(ob::RemoveDosDevice(u"X:", &vol1, false), STATUS_SUCCESS);
    PDEVICE_OBJECT device = nullptr;
    std::u16string remainder;
    ASSERT_EQ(ob::ParsePath(u"\\??\\X:\\f", &device, &remainder), STATUS_SUCCESS);
    EXPECT_EQ(device, vol2_);
    EXPECT_EQ(remainder, u"\\f");

    EXPECT_EQ(ob::RemoveDosDevice(u"X:", nullptr, false), STATUS_SUCCESS);
    EXPECT_TRUE(ob::QueryLinkTargets(u"X:").empty());
    EXPECT_TRUE(ob::ListLinks(u"\\??").empty());
    EXPECT_EQ(ob::RemoveDosDevice(u"X:", nullptr, false), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(NamespaceTest, DeletingALinkRemovesEveryStackedDefinition) {
    ASSERT_EQ(ob::CreateSymbolicLink(u"\\??\\Y:", u"\\Device\\Vol1"), STATUS_SUCCESS);
    ASSERT_EQ(ob::DefineDosDevice(u"Y:", u"\\Device\\Vol2"), STATUS_SUCCESS);
    EXPECT_EQ(ob::DeleteSymbolicLink(u"\\DosDevices\\y:"), STATUS_SUCCESS);
    EXPECT_TRUE(ob::QueryLinkTargets(u"Y:").empty());
}

TEST_F(NamespaceTest, ADosDeviceCannotHideADevice) {
    EXPECT_EQ(ob::DefineDosDevice(u"\\Device\\Vol1", u"\\Device\\Vol2"), STATUS_OBJECT_NAME_COLLISION);
}

struct Change {
    std::u16string name;
    std::optional<std::u16string> target;
    bool operator==(const Change&) const = default;
};

TEST_F(NamespaceTest, ObserversHearEveryChangeOfAVisibleTargetInDosDevices) {
    std::vector<Change> changes;
    int id = ob::AddLinkObserver([&](const std::u16string& name, const std::optional<std::u16string>& target) {
        changes.push_back({name, target});
    });
    ob::DefineDosDevice(u"X:", u"\\Device\\Vol1");
    ob::DefineDosDevice(u"X:", u"\\Device\\Vol2");
    std::u16string vol1 = u"\\Device\\Vol1";
    ob::RemoveDosDevice(u"X:", &vol1, true);      // hidden: nothing visible changes
    ob::DefineDosDevice(u"X:", u"\\device\\vol2");  // the same target again
    ob::CreateSymbolicLink(u"\\Device\\NotObserved", u"\\Device\\Vol1");
    UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\DosDevices\\Z:");
    UNICODE_STRING target = RTL_CONSTANT_STRING(u"\\Device\\Vol1");
    IoCreateSymbolicLink(&link, &target);
    ob::RemoveDosDevice(u"X:", nullptr, false);
    ob::RemoveDosDevice(u"X:", nullptr, false);
    IoDeleteSymbolicLink(&link);
    ob::RemoveLinkObserver(id);
    ob::DefineDosDevice(u"W:", u"\\Device\\Vol1");

    std::vector<Change> expected = {
        {u"X:", u"\\Device\\Vol1"}, {u"X:", u"\\Device\\Vol2"}, {u"Z:", u"\\Device\\Vol1"},
        {u"X:", std::nullopt},      {u"Z:", std::nullopt},
    };
    EXPECT_EQ(changes, expected);
}

TEST_F(NamespaceTest, AnObserverMayChangeLinksItself) {
    std::vector<Change> changes;
    int id = ob::AddLinkObserver([&](const std::u16string& name, const std::optional<std::u16string>& target) {
        changes.push_back({name, target});
        if (name == u"P:" && target) ob::DefineDosDevice(u"Q:", *target);
    });
    ob::DefineDosDevice(u"P:", u"\\Device\\Vol1");
    ob::RemoveLinkObserver(id);
    std::vector<Change> expected = {{u"P:", u"\\Device\\Vol1"}, {u"Q:", u"\\Device\\Vol1"}};
    EXPECT_EQ(changes, expected);
    EXPECT_EQ(ob::QueryLinkTargets(u"Q:"), std::vector<std::u16string>{u"\\Device\\Vol1"});
}

}  // namespace
}  // namespace korin::test

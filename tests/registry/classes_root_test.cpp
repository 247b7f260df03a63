// HKEY_CLASSES_ROOT: the user's and the machine's Software\Classes as one.
#include "platform/win32/registry.h"
#include "registry_fixture.h"

namespace korin::registry::testing {
namespace {

class ClassesRoot : public RegistryTest {
protected:
    // Machine: .txt (default "txtfile", "Content Type"), txtfile, Shared.
    // User:    .txt (default "userfile"), Shared, Zuser.
    void SetUp() override {
        RegistryTest::SetUp();
        Write(u"\\Registry\\Machine\\SOFTWARE\\Classes\\.txt", u"", u"txtfile");
        Write(u"\\Registry\\Machine\\SOFTWARE\\Classes\\.txt", u"Content Type", u"text/plain");
        Write(u"\\Registry\\Machine\\SOFTWARE\\Classes\\txtfile", u"", u"Text");
        Write(u"\\Registry\\Machine\\SOFTWARE\\Classes\\Shared", u"Machine", u"m");
        Write(u"\\Registry\\User\\CurrentUser\\Software\\Classes\\.TXT", u"", u"userfile");
        Write(u"\\Registry\\User\\CurrentUser\\Software\\Classes\\Shared", u"User", u"u");
        Write(u"\\Registry\\User\\CurrentUser\\Software\\Classes\\Zuser", u"", u"z");
    }
    void Write(std::u16string_view path, std::u16string_view name, std::u16string_view text) {
        KeyHandle key;
        ASSERT_EQ(CreateKey(key.out(), path), STATUS_SUCCESS);
        ASSERT_EQ(SetValue(key, name, REG_SZ, text.data(), static_cast<ULONG>(text.size() * 2)), STATUS_SUCCESS);
    }
    static std::u16string Read(HKEY key, const char16_t* name) {
        WCHAR text[64] = {};
        DWORD size = sizeof text - 2;
        LSTATUS error = RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size);
        return error == ERROR_SUCCESS ? std::u16string(text) : u"error " + std::u16string(1, u'0' + error % 10);
    }
    static bool ExistsAt(std::u16string_view path) {
        KeyHandle key;
        return OpenKey(key.out(), path) == STATUS_SUCCESS;
    }
};

TEST_F(ClassesRoot, ReadsPreferTheUserAndFallBackToTheMachine) {
    HKEY txt;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u".txt", 0, KEY_READ, &txt), ERROR_SUCCESS);
    EXPECT_EQ(Read(txt, nullptr), u"userfile");
    EXPECT_EQ(Read(txt, u"Content Type"), u"text/plain");
    RegCloseKey(txt);
    HKEY machineOnly;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"txtfile", 0, KEY_READ, &machineOnly), ERROR_SUCCESS);
    EXPECT_EQ(Read(machineOnly, nullptr), u"Text");
    RegCloseKey(machineOnly);
    HKEY missing = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"nothing", 0, KEY_READ, &missing), ERROR_FILE_NOT_FOUND);
}

TEST_F(ClassesRoot, EnumerationMergesWithoutDuplicates) {
    WCHAR name[64];
    std::vector<std::u16string> keys;
    for (DWORD i = 0; RegEnumKeyW(HKEY_CLASSES_ROOT, i, name, 64) == ERROR_SUCCESS; ++i) keys.emplace_back(name);
    EXPECT_EQ(keys, (std::vector<std::u16string>{u".TXT", u"Shared", u"txtfile", u"Zuser"}));

    HKEY shared;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"Shared", 0, KEY_READ, &shared), ERROR_SUCCESS);
    std::vector<std::u16string> values;
    for (DWORD i = 0;; ++i) {
        DWORD length = 64;
        if (RegEnumValueW(shared, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        values.emplace_back(name);
    }
    EXPECT_EQ(values, (std::vector<std::u16string>{u"User", u"Machine"}));
    RegCloseKey(shared);

    HKEY txt;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u".txt", 0, KEY_READ, &txt), ERROR_SUCCESS);
    values.clear();
    for (DWORD i = 0;; ++i) {
        DWORD length = 64;
        if (RegEnumValueW(txt, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        values.emplace_back(name);
    }
    EXPECT_EQ(values, (std::vector<std::u16string>{u"", u"Content Type"}));  // one default value, the user's
    RegCloseKey(txt);
}

TEST_F(ClassesRoot, WritesGoToTheUserOnlyWhereItHasTheKey) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, u"Shared", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, u"New", 0, REG_NONE, nullptr, 0), ERROR_SUCCESS);
    RegCloseKey(key);
    KeyHandle user;
    ASSERT_EQ(OpenKey(user.out(), u"\\Registry\\User\\CurrentUser\\Software\\Classes\\Shared"), STATUS_SUCCESS);
    EXPECT_EQ(ValueNames(user), (std::vector<std::u16string>{u"User", u"New"}));

    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, u"txtfile", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, u"New", 0, REG_NONE, nullptr, 0), ERROR_SUCCESS);
    RegCloseKey(key);
    KeyHandle machine;
    ASSERT_EQ(OpenKey(machine.out(), u"\\Registry\\Machine\\SOFTWARE\\Classes\\txtfile"), STATUS_SUCCESS);
    EXPECT_EQ(ValueNames(machine), (std::vector<std::u16string>{u"", u"New"}));

    // New keys go to the machine, even below a key the user has.
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, u"Zuser\\shell\\open", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    RegCloseKey(key);
    EXPECT_TRUE(ExistsAt(u"\\Registry\\Machine\\SOFTWARE\\Classes\\Zuser\\shell\\open"));
    EXPECT_FALSE(ExistsAt(u"\\Registry\\User\\CurrentUser\\Software\\Classes\\Zuser\\shell"));

    // Deleting takes the user's key first.
    EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u"Shared"), ERROR_SUCCESS);
    EXPECT_FALSE(ExistsAt(u"\\Registry\\User\\CurrentUser\\Software\\Classes\\Shared"));
    EXPECT_TRUE(ExistsAt(u"\\Registry\\Machine\\SOFTWARE\\Classes\\Shared"));
}

}  // namespace
}  // namespace korin::registry::testing

// The Win32 registry functions: buffers, ends, errors, and agreement with
// the kernel's view of the same database.
#include "platform/win32/registry.h"
#include "registry_fixture.h"

#include <cstring>

namespace korin::registry::testing {
namespace {

// A user-mode key handle closed at scope exit.
struct HKey {
    HKEY h = nullptr;
    HKey() = default;
    HKey(const HKey&) = delete;
    ~HKey() {
        if (h) RegCloseKey(h);
    }
    PHKEY out() { return &h; }
    operator HKEY() const { return h; }  // NOLINT
};

class RegApi : public RegistryTest {
protected:
    void SetUp() override {
        RegistryTest::SetUp();
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Test", 0, KEY_ALL_ACCESS, key_.out()), ERROR_SUCCESS);
    }
    void TearDown() override {
        if (key_.h) RegCloseKey(key_.h);
        key_.h = nullptr;
        RegistryTest::TearDown();
    }
    LSTATUS Set(const char16_t* name, DWORD type, const void* data, DWORD size) {
        return RegSetValueExW(key_, name, 0, type, static_cast<const BYTE*>(data), size);
    }
    HKey key_;  // HKLM\Test
};

TEST_F(RegApi, EnumValueReportsShortBuffersAndTheEnd) {
    const char16_t data[] = u"Work";
    ASSERT_EQ(Set(u"Twelve chars", REG_SZ, data, sizeof data), ERROR_SUCCESS);

    WCHAR name[32];
    BYTE buffer[200];
    DWORD nameLength = 12, type = 0, dataLength = sizeof buffer;  // no room for the NUL
    EXPECT_EQ(RegEnumValueW(key_, 0, name, &nameLength, nullptr, &type, buffer, &dataLength), ERROR_MORE_DATA);
    EXPECT_EQ(nameLength, 12u);  // left as it was

    nameLength = 13;
    dataLength = 4;
    EXPECT_EQ(RegEnumValueW(key_, 0, name, &nameLength, nullptr, &type, buffer, &dataLength), ERROR_MORE_DATA);
    EXPECT_EQ(dataLength, sizeof data);  // the size needed
    EXPECT_EQ(nameLength, 12u);
    EXPECT_EQ(std::u16string(name), u"Twelve chars");

    nameLength = 32;
    dataLength = 0;
    EXPECT_EQ(RegEnumValueW(key_, 0, name, &nameLength, nullptr, &type, nullptr, &dataLength), ERROR_SUCCESS);
    EXPECT_EQ(dataLength, sizeof data);  // no buffer: the size alone

    std::memset(buffer, 0, sizeof buffer);
    nameLength = 32;
    dataLength = sizeof buffer;
    ASSERT_EQ(RegEnumValueW(key_, 0, name, &nameLength, nullptr, &type, buffer, &dataLength), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(dataLength, sizeof data);
    EXPECT_EQ(std::memcmp(buffer, data, sizeof data), 0);

    nameLength = 32;
    EXPECT_EQ(RegEnumValueW(key_, 1, name, &nameLength, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
}

TEST_F(RegApi, EnumKeyReportsShortBuffersAndTheEnd) {
    HKey folder;
    ASSERT_EQ(RegCreateKeyExW(key_, u"Docs", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, folder.out(), nullptr),
              ERROR_SUCCESS);
    WCHAR name[260];
    EXPECT_EQ(RegEnumKeyW(key_, 0, name, 4), ERROR_MORE_DATA);
    ASSERT_EQ(RegEnumKeyW(key_, 0, name, 5), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name), u"Docs");
    EXPECT_EQ(RegEnumKeyW(key_, 1, name, 260), ERROR_NO_MORE_ITEMS);

    DWORD length = 260;
    FILETIME written{};
    ASSERT_EQ(RegEnumKeyExW(key_, 0, name, &length, nullptr, nullptr, nullptr, &written), ERROR_SUCCESS);
    EXPECT_EQ(length, 4u);
    EXPECT_NE(written.dwHighDateTime, 0u);
}

TEST_F(RegApi, QueryValueAnswersSizeTypeAndMisses) {
    const DWORD number = 0xDEADBEEF;
    ASSERT_EQ(Set(nullptr, REG_DWORD, &number, sizeof number), ERROR_SUCCESS);  // the default value
    DWORD type = 0, size = 0;
    ASSERT_EQ(RegQueryValueExW(key_, u"", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(size, 4u);
    DWORD read = 0;
    size = 2;
    EXPECT_EQ(RegQueryValueExW(key_, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(&read), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 4u);
    ASSERT_EQ(RegQueryValueExW(key_, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(&read), &size), ERROR_SUCCESS);
    EXPECT_EQ(read, number);
    EXPECT_EQ(RegQueryValueExW(key_, u"missing", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueW(key_, u"missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExW(key_, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(&read), nullptr),
              ERROR_INVALID_PARAMETER);
}

TEST_F(RegApi, CreateBuildsThePathAndReportsDisposition) {
    HKey deep, again;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\KRDriver\\Drive", 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, deep.out(), &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"system\\currentcontrolset\\services\\krdriver\\drive", 0, nullptr,
                              0, KEY_READ, nullptr, again.out(), &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);

    // The readers' path form, with its final backslash.
    HKey reader;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\KRDriver\\Drive\\", 0,
                            KEY_QUERY_VALUE, reader.out()),
              ERROR_SUCCESS);
    HKey missing;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\Nowhere\\Drive", 0, KEY_READ, missing.out()),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"\\SYSTEM", 0, KEY_READ, missing.out()), ERROR_BAD_PATHNAME);
    EXPECT_EQ(missing.h, nullptr);
}

TEST_F(RegApi, DeleteKeyRulesAndDeletedHandles) {
    HKey parent, child, survivor;
    ASSERT_EQ(RegCreateKeyExW(key_, u"P\\C", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, child.out(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExW(key_, u"P", 0, KEY_ALL_ACCESS, parent.out()), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(key_, u"P"), ERROR_ACCESS_DENIED);  // it has a subkey
    ASSERT_EQ(RegDeleteKeyW(parent, u"C"), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(child, u"x", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
    ASSERT_EQ(RegDeleteKeyW(parent, u""), ERROR_SUCCESS);  // the key itself
    EXPECT_EQ(RegSetValueExW(parent, u"x", 0, REG_NONE, nullptr, 0), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteKeyW(key_, u"P"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyW(key_, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(RegApi, HandlesAndPredefinedKeys) {
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    HKey hklm;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Test", 0, KEY_READ, hklm.out()), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(hklm.h), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(hklm.h), ERROR_INVALID_HANDLE);
    hklm.h = nullptr;
    WCHAR name[64];
    std::vector<std::u16string> roots;
    for (DWORD i = 0; RegEnumKeyW(HKEY_USERS, i, name, 64) == ERROR_SUCCESS; ++i) roots.emplace_back(name);
    EXPECT_EQ(roots, std::vector<std::u16string>{u"CurrentUser"});

    // HKEY_CURRENT_USER is \Registry\User\CurrentUser for the kernel too.
    HKey user;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Korin", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              user.out(), nullptr),
              ERROR_SUCCESS);
    const DWORD one = 1;
    ASSERT_EQ(RegSetValueExW(user, u"Tips", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4), ERROR_SUCCESS);
    KeyHandle kernel;
    ASSERT_EQ(OpenKey(kernel.out(), u"\\Registry\\User\\CurrentUser\\Software\\Korin"), STATUS_SUCCESS);
    Value value;
    ASSERT_EQ(QueryValue(kernel, u"tips", &value), STATUS_SUCCESS);
    EXPECT_EQ(value.data, (std::vector<uint8_t>{1, 0, 0, 0}));
}

TEST_F(RegApi, ReadsWhatTheKernelWrote) {
    // A drive record for letter X named Work: 58 00 08 00 then the name.
    const uint8_t record[] = {0x58, 0, 8, 0, 'W', 0, 'o', 0, 'r', 0, 'k', 0};
    ASSERT_EQ(SetValue(test_, u"3", REG_BINARY, record, sizeof record), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(test_, u"NextInstance", 4), STATUS_SUCCESS);
    WCHAR name[260];
    BYTE data[200];
    std::vector<std::u16string> names;
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = 260, dataLength = sizeof data, type;
        std::memset(data, 0, sizeof data);
        LSTATUS error = RegEnumValueW(key_, i, name, &nameLength, nullptr, &type, data, &dataLength);
        if (error == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(error, ERROR_SUCCESS);
        names.emplace_back(name, nameLength);
        if (names.back() == u"3") {
            EXPECT_EQ(type, REG_BINARY);
            EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(data + 4)), u"Work");
        }
    }
    EXPECT_EQ(names, (std::vector<std::u16string>{u"3", u"NextInstance"}));
}

TEST_F(RegApi, QueryInfoCountsInCharacters) {
    const BYTE data[10] = {};
    ASSERT_EQ(Set(u"abc", REG_BINARY, data, 10), ERROR_SUCCESS);
    ASSERT_EQ(Set(u"a", REG_BINARY, data, 3), ERROR_SUCCESS);
    HKey sub;
    ASSERT_EQ(RegCreateKeyExW(key_, u"subkey", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, sub.out(), nullptr),
              ERROR_SUCCESS);
    DWORD subkeys, maxSubkey, values, maxValueName, maxData;
    ASSERT_EQ(RegQueryInfoKeyW(key_, nullptr, nullptr, nullptr, &subkeys, &maxSubkey, nullptr, &values,
                               &maxValueName, &maxData, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subkeys, 1u);
    EXPECT_EQ(maxSubkey, 6u);
    EXPECT_EQ(values, 2u);
    EXPECT_EQ(maxValueName, 3u);
    EXPECT_EQ(maxData, 10u);
}

}  // namespace
}  // namespace korin::registry::testing

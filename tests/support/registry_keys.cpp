#include "tests/support/registry_keys.h"

#include "tests/support/counted.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace korin::testsupport {
namespace {

// For failure messages.
std::string Ascii(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

}  // namespace

NTSTATUS OpenOrCreateKey(KeyHandle& key, const std::u16string& path, bool create) {
    UNICODE_STRING name = Counted(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    if (!create) return ZwOpenKey(key.out(), KEY_ALL_ACCESS, &attributes);
    return ZwCreateKey(key.out(), KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr);
}

void CreateKeyPath(const std::u16string& path) {
    for (size_t at = std::u16string(u"\\Registry\\Machine\\").size(); at <= path.size(); ++at) {
        if (at != path.size() && path[at] != u'\\') continue;
        KeyHandle key;
        ASSERT_EQ(OpenOrCreateKey(key, path.substr(0, at), true), STATUS_SUCCESS) << Ascii(path.substr(0, at));
    }
}

void SetValue(const std::u16string& keyPath, const std::u16string& valueName, ULONG type, const void* data,
              ULONG size, bool createKey) {
    KeyHandle key;
    ASSERT_EQ(OpenOrCreateKey(key, keyPath, createKey), STATUS_SUCCESS);
    std::u16string text = valueName;
    UNICODE_STRING name = Counted(text);
    ASSERT_EQ(ZwSetValueKey(key.get(), &name, 0, type, const_cast<void*>(data), size), STATUS_SUCCESS);
}

void StoreDriveZero(const std::u16string& driveKey, WCHAR letter, const std::u16string& label, bool createKeys) {
    CreateKeyPath(driveKey + u"\\0");
    DWORD nextInstance = 1;
    SetValue(driveKey, u"NextInstance", REG_DWORD, &nextInstance, sizeof nextInstance, createKeys);
    std::vector<uint8_t> record(4 + label.size() * 2);
    record[0] = static_cast<uint8_t>(letter);
    record[2] = static_cast<uint8_t>(label.size() * 2);
    std::memcpy(record.data() + 4, label.data(), label.size() * 2);
    SetValue(driveKey, u"0", REG_BINARY, record.data(), static_cast<ULONG>(record.size()), createKeys);
}

}  // namespace korin::testsupport

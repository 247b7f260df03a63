// Shared helpers for the registry tests: a temporary registry database per
// test, and short forms of the Zw calls.
#pragma once

#include "platform/nt/zw.h"
#include "platform/registry/process_database.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace korin::registry::testing {

// A counted string that owns its text.
class UStr {
public:
    UStr(std::u16string_view text) : text_(text) {  // NOLINT: implicit on purpose
        string_.Buffer = text_.data();
        string_.Length = static_cast<USHORT>(text_.size() * sizeof(WCHAR));
        string_.MaximumLength = string_.Length;
    }
    UStr(const UStr&) = delete;
    PUNICODE_STRING get() { return &string_; }

private:
    std::u16string text_;
    UNICODE_STRING string_;
};

// A kernel key handle closed at scope exit.
struct KeyHandle {
    HANDLE h = nullptr;
    KeyHandle() = default;
    KeyHandle(const KeyHandle&) = delete;
    ~KeyHandle() {
        if (h) ZwClose(h);
    }
    PHANDLE out() { return &h; }
    operator HANDLE() const { return h; }  // NOLINT
};

inline NTSTATUS OpenKey(PHANDLE handle, std::u16string_view name, HANDLE root = nullptr,
                        ACCESS_MASK access = KEY_ALL_ACCESS) {
    UStr text(name);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, text.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    return ZwOpenKey(handle, access, &oa);
}

inline NTSTATUS CreateKey(PHANDLE handle, std::u16string_view name, HANDLE root = nullptr,
                          PULONG disposition = nullptr) {
    UStr text(name);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, text.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    return ZwCreateKey(handle, KEY_ALL_ACCESS, &oa, 0, nullptr, REG_OPTION_NON_VOLATILE, disposition);
}

inline NTSTATUS SetValue(HANDLE key, std::u16string_view name, ULONG type, const void* data, ULONG size) {
    UStr text(name);
    return ZwSetValueKey(key, text.get(), 0, type, const_cast<void*>(data), size);
}

inline NTSTATUS SetDword(HANDLE key, std::u16string_view name, DWORD value) {
    return SetValue(key, name, REG_DWORD, &value, sizeof value);
}

struct Value {
    ULONG type = 0;
    std::vector<uint8_t> data;
};

// Reads a value the way the driver does: ask for the size, then read.
inline NTSTATUS QueryValue(HANDLE key, std::u16string_view name, Value* out) {
    UStr text(name);
    ULONG needed = 0;
    NTSTATUS status = ZwQueryValueKey(key, text.get(), KeyValuePartialInformation, nullptr, 0, &needed);
    if (status != STATUS_BUFFER_TOO_SMALL) return status;
    std::vector<uint8_t> buffer(needed);
    status = ZwQueryValueKey(key, text.get(), KeyValuePartialInformation, buffer.data(), needed, &needed);
    if (!NT_SUCCESS(status)) return status;
    auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data());
    out->type = info->Type;
    out->data.assign(info->Data, info->Data + info->DataLength);
    return status;
}

// Subkey names by index until STATUS_NO_MORE_ENTRIES; any other failure fails the test.
inline std::vector<std::u16string> SubkeyNames(HANDLE key) {
    std::vector<std::u16string> names;
    for (ULONG i = 0;; ++i) {
        alignas(8) uint8_t buffer[2056];
        ULONG length = 0;
        NTSTATUS status = ZwEnumerateKey(key, i, KeyBasicInformation, buffer, sizeof buffer, &length);
        if (status == STATUS_NO_MORE_ENTRIES) break;
        EXPECT_EQ(status, STATUS_SUCCESS) << NtStatusName(status);
        if (status != STATUS_SUCCESS) break;
        auto* info = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer);
        names.emplace_back(info->Name, info->NameLength / sizeof(WCHAR));
    }
    return names;
}

inline std::vector<std::u16string> ValueNames(HANDLE key) {
    std::vector<std::u16string> names;
    for (ULONG i = 0;; ++i) {
        alignas(8) uint8_t buffer[2056];
        ULONG length = 0;
        NTSTATUS status = ZwEnumerateValueKey(key, i, KeyValueBasicInformation, buffer, sizeof buffer, &length);
        if (status == STATUS_NO_MORE_ENTRIES) break;
        EXPECT_EQ(status, STATUS_SUCCESS) << NtStatusName(status);
        if (status != STATUS_SUCCESS) break;
        auto* info = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer);
        names.emplace_back(info->Name, info->NameLength / sizeof(WCHAR));
    }
    return names;
}

// Every test gets a registry database of its own in a temporary directory.
class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "korin-registry-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        dbPath_ = dir_ + "/registry.db";
        ASSERT_EQ(OpenDatabase(dbPath_), STATUS_SUCCESS);
        ASSERT_EQ(CreateKey(test_.out(), u"\\Registry\\Machine\\Test"), STATUS_SUCCESS);
    }
    void TearDown() override {
        if (test_.h) ZwClose(test_.h);
        test_.h = nullptr;
        CloseDatabase();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    // Closes and reopens the process's database, as a restart would.
    void Reopen() {
        CloseDatabase();
        ASSERT_EQ(OpenDatabase(dbPath_), STATUS_SUCCESS);
    }

    std::string dir_, dbPath_;
    KeyHandle test_;  // \Registry\Machine\Test, created empty for each test
};

}  // namespace korin::registry::testing

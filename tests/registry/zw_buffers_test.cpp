// The buffer rules of ZwEnumerateKey, ZwEnumerateValueKey and ZwQueryValueKey.
#include "registry_fixture.h"

#include <cstring>
#include <functional>

namespace korin::registry::testing {
namespace {

using ZwBuffers = RegistryTest;

// One information request: a class and how to issue it.
struct Request {
    const char* label;
    size_t fixedSize;  // the offset of Name / Data / Class
    std::function<NTSTATUS(HANDLE, PVOID, ULONG, PULONG)> call;
};

// Name "Mapping" (14 bytes), REG_SZ data "C:\Specs\" with NUL (20 bytes), and a
// subkey "Folder" (12 bytes).
class ZwBufferRules : public RegistryTest {
protected:
    void SetUp() override {
        RegistryTest::SetUp();
        KeyHandle folder;
        ASSERT_EQ(CreateKey(folder.out(), u"Folder", test_), STATUS_SUCCESS);
        ASSERT_EQ(SetValue(test_, u"Mapping", REG_SZ, kTarget, sizeof kTarget), STATUS_SUCCESS);
    }
    static constexpr char16_t kTarget[] = u"C:\\Specs\\";
};

std::vector<std::pair<Request, ULONG>> AllRequests() {
    auto value = [](KEY_VALUE_INFORMATION_CLASS c) {
        return [c](HANDLE h, PVOID b, ULONG l, PULONG r) { return ZwEnumerateValueKey(h, 0, c, b, l, r); };
    };
    auto query = [](KEY_VALUE_INFORMATION_CLASS c) {
        return [c](HANDLE h, PVOID b, ULONG l, PULONG r) {
            UStr name(u"MAPPING");
            return ZwQueryValueKey(h, name.get(), c, b, l, r);
        };
    };
    auto key = [](KEY_INFORMATION_CLASS c) {
        return [c](HANDLE h, PVOID b, ULONG l, PULONG r) { return ZwEnumerateKey(h, 0, c, b, l, r); };
    };
    // Full sizes: header + 14-byte name (+ 20-byte data, for full info after
    // the name aligned to 4 bytes: 20 + 14 = 34 -> 36).
    return {
        {{"enumerate key basic", 16, key(KeyBasicInformation)}, 16 + 12},
        {{"enumerate key node", 24, key(KeyNodeInformation)}, 24 + 12},
        {{"enumerate key full", 44, key(KeyFullInformation)}, 44},
        {{"enumerate value basic", 12, value(KeyValueBasicInformation)}, 12 + 14},
        {{"enumerate value full", 20, value(KeyValueFullInformation)}, 36 + 20},
        {{"enumerate value partial", 12, value(KeyValuePartialInformation)}, 12 + 20},
        {{"query value basic", 12, query(KeyValueBasicInformation)}, 12 + 14},
        {{"query value full", 20, query(KeyValueFullInformation)}, 36 + 20},
        {{"query value partial", 12, query(KeyValuePartialInformation)}, 12 + 20},
    };
}

TEST_F(ZwBufferRules, EmptyBufferAnswersTheFullSize) {
    for (auto& [request, fullSize] : AllRequests()) {
        SCOPED_TRACE(request.label);
        ULONG needed = 0;
        EXPECT_EQ(request.call(test_, nullptr, 0, &needed), STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(needed, fullSize);
    }
}

TEST_F(ZwBufferRules, ShortBuffersFollowTheRules) {
    for (auto& [request, fullSize] : AllRequests()) {
        SCOPED_TRACE(request.label);
        struct Step {
            ULONG length;
            NTSTATUS expected;
        };
        std::vector<Step> steps = {{static_cast<ULONG>(request.fixedSize - 1), STATUS_BUFFER_TOO_SMALL},
                                   {fullSize, STATUS_SUCCESS}};
        if (fullSize > request.fixedSize) {
            steps.push_back({static_cast<ULONG>(request.fixedSize), STATUS_BUFFER_OVERFLOW});
            steps.push_back({fullSize - 1, STATUS_BUFFER_OVERFLOW});
        }
        for (const Step& step : steps) {
            std::vector<uint8_t> buffer(fullSize + 8, 0xEE);
            ULONG needed = 0;
            EXPECT_EQ(request.call(test_, buffer.data(), step.length, &needed), step.expected) << step.length;
            EXPECT_EQ(needed, fullSize);
            // Nothing is written past the length given.
            for (size_t i = step.length; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xEE) << i;
            if (step.expected == STATUS_BUFFER_TOO_SMALL) {
                for (size_t i = 0; i < step.length; ++i) ASSERT_EQ(buffer[i], 0xEE) << i;
            }
        }
    }
}

TEST_F(ZwBufferRules, OverflowFillsTheFixedPart) {
    alignas(8) uint8_t buffer[20];
    ULONG needed = 0;
    UStr name(u"Mapping");
    ASSERT_EQ(ZwQueryValueKey(test_, name.get(), KeyValueFullInformation, buffer, sizeof buffer, &needed),
              STATUS_BUFFER_OVERFLOW);
    auto* full = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer);
    EXPECT_EQ(full->Type, REG_SZ);
    EXPECT_EQ(full->NameLength, 14u);
    EXPECT_EQ(full->DataLength, 20u);
    EXPECT_EQ(full->DataOffset, 36u);

    alignas(8) uint8_t partial[12];
    ASSERT_EQ(ZwQueryValueKey(test_, name.get(), KeyValuePartialInformation, partial, sizeof partial, &needed),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(partial)->DataLength, 20u);
}

TEST_F(ZwBufferRules, FullInformationPlacesDataAfterTheName) {
    ULONG needed = 0;
    ASSERT_EQ(ZwEnumerateValueKey(test_, 0, KeyValueFullInformation, nullptr, 0, &needed), STATUS_BUFFER_TOO_SMALL);
    std::vector<uint8_t> buffer(needed);  // exactly the size reported, as the driver allocates
    ASSERT_EQ(ZwEnumerateValueKey(test_, 0, KeyValueFullInformation, buffer.data(), needed, &needed), STATUS_SUCCESS);
    KEY_VALUE_FULL_INFORMATION full;
    std::memcpy(&full, buffer.data(), offsetof(KEY_VALUE_FULL_INFORMATION, Name));
    EXPECT_EQ(full.DataOffset % sizeof(ULONG), 0u);
    EXPECT_GE(full.DataOffset, offsetof(KEY_VALUE_FULL_INFORMATION, Name) + full.NameLength);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(buffer.data() + 20), 7), u"Mapping");
    EXPECT_EQ(std::memcmp(buffer.data() + full.DataOffset, kTarget, sizeof kTarget), 0);
}

// The driver's fixed buffers: 64 bytes (header + 24 characters) and 534.
TEST_F(ZwBuffers, BasicKeyInformationInFixedBuffers) {
    struct Case {
        size_t nameChars;
        ULONG bufferSize;
        NTSTATUS expected;
    } const cases[] = {
        {24, 64, STATUS_SUCCESS},   {25, 64, STATUS_BUFFER_OVERFLOW},  {1, 64, STATUS_SUCCESS},
        {255, 534, STATUS_SUCCESS}, {255, 2056, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.nameChars);
        KeyHandle parent, child;
        ASSERT_EQ(CreateKey(parent.out(), u"P", test_), STATUS_SUCCESS);
        std::u16string name(c.nameChars, u'n');
        ASSERT_EQ(CreateKey(child.out(), name, parent), STATUS_SUCCESS);
        std::vector<uint8_t> buffer(c.bufferSize);
        ULONG length = 0;
        EXPECT_EQ(ZwEnumerateKey(parent, 0, KeyBasicInformation, buffer.data(), c.bufferSize, &length), c.expected);
        EXPECT_EQ(length, 16 + 2 * c.nameChars);
        KEY_BASIC_INFORMATION info;
        std::memcpy(&info, buffer.data(), 16);
        EXPECT_EQ(info.NameLength, 2 * c.nameChars);  // the whole length, even when cut
        ASSERT_EQ(ZwDeleteKey(child), STATUS_SUCCESS);
        ASSERT_EQ(ZwDeleteKey(parent), STATUS_SUCCESS);
    }
}

TEST_F(ZwBuffers, EndsAndMissesHaveTheirStatuses) {
    alignas(8) uint8_t buffer[64];
    ULONG length = 0;
    EXPECT_EQ(ZwEnumerateKey(test_, 0, KeyBasicInformation, buffer, sizeof buffer, &length), STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(ZwEnumerateValueKey(test_, 0, KeyValueFullInformation, nullptr, 0, &length), STATUS_NO_MORE_ENTRIES);
    UStr missing(u"missing");
    EXPECT_EQ(ZwQueryValueKey(test_, missing.get(), KeyValuePartialInformation, nullptr, 0, &length),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwDeleteValueKey(test_, missing.get()), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwEnumerateKey(test_, 0, static_cast<KEY_INFORMATION_CLASS>(9), buffer, sizeof buffer, &length),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwQueryValueKey(test_, missing.get(), static_cast<KEY_VALUE_INFORMATION_CLASS>(9), buffer,
                              sizeof buffer, &length),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwEnumerateKey(reinterpret_cast<HANDLE>(0x7FF0), 0, KeyBasicInformation, buffer, sizeof buffer, &length),
              STATUS_INVALID_HANDLE);
}

// Deleting a tree the driver's way: always enumerate index 0, delete it, repeat.
TEST_F(ZwBuffers, DeleteKeyTreeByIndexZero) {
    std::function<void(HANDLE, int)> build = [&](HANDLE parent, int depth) {
        for (const char16_t* name : {u"one", u"Two", u"three"}) {
            KeyHandle child;
            ASSERT_EQ(CreateKey(child.out(), name, parent), STATUS_SUCCESS);
            ASSERT_EQ(SetDword(child, u"v", depth), STATUS_SUCCESS);
            if (depth > 0) build(child, depth - 1);
        }
    };
    KeyHandle root;
    ASSERT_EQ(CreateKey(root.out(), u"Tree", test_), STATUS_SUCCESS);
    build(root, 2);
    std::function<NTSTATUS(HANDLE, const std::u16string&)> deleteTree = [&](HANDLE parent, const std::u16string& name) {
        KeyHandle key;
        NTSTATUS status = OpenKey(key.out(), name, parent);
        if (!NT_SUCCESS(status)) return status;
        while (true) {
            alignas(8) uint8_t buffer[534];
            ULONG length;
            status = ZwEnumerateKey(key, 0, KeyBasicInformation, buffer, sizeof buffer, &length);
            if (status != STATUS_SUCCESS) break;
            auto* info = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer);
            status = deleteTree(key, std::u16string(info->Name, info->NameLength / 2));
            if (!NT_SUCCESS(status)) return status;
        }
        EXPECT_EQ(status, STATUS_NO_MORE_ENTRIES);
        return ZwDeleteKey(key);
    };
    EXPECT_EQ(deleteTree(test_, u"Tree"), STATUS_SUCCESS);
    EXPECT_TRUE(SubkeyNames(test_).empty());
}

}  // namespace
}  // namespace korin::registry::testing

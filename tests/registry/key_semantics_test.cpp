// Windows registry semantics through the Zw routines: names without case,
// orders, byte-exact values, deletion rules and deleted keys.
#include "registry_fixture.h"

#include "platform/nt/handles.h"

#include <algorithm>
#include <cstring>

namespace korin::registry::testing {
namespace {

using KeySemantics = RegistryTest;

TEST_F(KeySemantics, NamesCompareWithoutCaseAndKeepTheirCase) {
    struct Case {
        std::u16string created, lookedUp;
    } const cases[] = {
        {u"MixedCase", u"MIXEDCASE"},
        {u"MixedCase2", u"mixedcase2"},
        {u"\u00C4rger", u"\u00E4RGER"},         // Latin-1 letters with diaeresis
        {u"\u03A3\u03C3", u"\u03C3\u03A3"},     // Greek sigma
        {u"\u0416\u0436", u"\u0436\u0436"},     // Cyrillic zhe
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.created.begin(), c.created.end()));
        KeyHandle created, opened, again;
        ULONG disposition = 0;
        ASSERT_EQ(CreateKey(created.out(), c.created, test_, &disposition), STATUS_SUCCESS);
        EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
        EXPECT_EQ(OpenKey(opened.out(), c.lookedUp, test_), STATUS_SUCCESS);
        ASSERT_EQ(CreateKey(again.out(), c.lookedUp, test_, &disposition), STATUS_SUCCESS);
        EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);

        ASSERT_EQ(SetDword(created, c.created, 1), STATUS_SUCCESS);
        ASSERT_EQ(SetDword(created, c.lookedUp, 2), STATUS_SUCCESS);  // the same value again
        Value value;
        ASSERT_EQ(QueryValue(opened, c.lookedUp, &value), STATUS_SUCCESS);
        EXPECT_EQ(value.data, (std::vector<uint8_t>{2, 0, 0, 0}));
        EXPECT_EQ(ValueNames(opened), std::vector<std::u16string>{c.created});
    }
    std::vector<std::u16string> expected;
    for (const Case& c : cases) expected.push_back(c.created);
    std::vector<std::u16string> names = SubkeyNames(test_);
    std::sort(expected.begin(), expected.end());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, expected);
}

TEST_F(KeySemantics, NamesWithUnpairedSurrogatesRoundTrip) {
    const std::u16string names[] = {std::u16string{char16_t(0xD800), u'a'}, std::u16string{u'b', char16_t(0xDFFF)},
                                    std::u16string{char16_t(0xDBFF), char16_t(0xDFFF)}};
    for (const auto& name : names) {
        KeyHandle key;
        ASSERT_EQ(CreateKey(key.out(), name, test_), STATUS_SUCCESS);
        ASSERT_EQ(SetDword(test_, name, 1), STATUS_SUCCESS);
    }
    std::vector<std::u16string> expected(std::begin(names), std::end(names));
    EXPECT_EQ(ValueNames(test_), expected);
    std::sort(expected.begin(), expected.end());  // all upper-case to themselves
    EXPECT_EQ(SubkeyNames(test_), expected);
}

TEST_F(KeySemantics, SubkeysEnumerateByUpperCasedName) {
    // '_' (0x5F) lies between 'Z' and 'a': ordering by the names as written
    // would put "_x" before "b"; by upper-cased names it comes after "B".
    for (const char16_t* name : {u"\u00e9t\u00e9", u"_x", u"b", u"ab", u"A", u"Zeta", u"a1"}) {
        KeyHandle key;
        ASSERT_EQ(CreateKey(key.out(), name, test_), STATUS_SUCCESS);
    }
    EXPECT_EQ(SubkeyNames(test_),
              (std::vector<std::u16string>{u"A", u"a1", u"ab", u"b", u"Zeta", u"_x", u"\u00e9t\u00e9"}));
}

TEST_F(KeySemantics, ValuesEnumerateInCreationOrderAndRewritesKeepTheirPlace) {
    for (const char16_t* name : {u"zulu", u"Alpha", u"mike", u"", u"bravo"}) ASSERT_EQ(SetDword(test_, name, 1), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(test_, u"ALPHA", 7), STATUS_SUCCESS);  // rewrite: same place, first spelling kept
    UStr mike(u"mike");
    ASSERT_EQ(ZwDeleteValueKey(test_, mike.get()), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(test_, u"Mike", 2), STATUS_SUCCESS);  // deleted and written again: goes last
    EXPECT_EQ(ValueNames(test_), (std::vector<std::u16string>{u"zulu", u"Alpha", u"", u"bravo", u"Mike"}));
    Value value;
    ASSERT_EQ(QueryValue(test_, u"alpha", &value), STATUS_SUCCESS);
    EXPECT_EQ(value.data, (std::vector<uint8_t>{7, 0, 0, 0}));
}

TEST_F(KeySemantics, TypesAndDataAreKeptByteExact) {
    std::vector<uint8_t> large(100000);
    for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<uint8_t>(i * 7);
    const char16_t target[] = u"C:\\Specs\\";  // with its NUL, as the driver writes it
    struct Case {
        const char16_t* name;
        ULONG type;
        std::vector<uint8_t> data;
    } const cases[] = {
        {u"sz", REG_SZ, std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(target),
                                             reinterpret_cast<const uint8_t*>(target) + sizeof target)},
        {u"sz without NUL", REG_SZ, {'A', 0, 'B', 0}},
        {u"empty sz", REG_SZ, {}},
        {u"dword", REG_DWORD, {0x78, 0x56, 0x34, 0x12}},
        {u"binary with zeros", REG_BINARY, {0, 0, 0x58, 0, 8, 0, 0, 0xFF}},
        {u"none", REG_NONE, {}},
        {u"multi", REG_MULTI_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}},
        {u"unknown type", 0x12345678, {1, 2, 3}},
        {u"odd dword", REG_DWORD, {1, 2}},  // the registry does not police sizes
        {u"large", REG_BINARY, large},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(SetValue(test_, c.name, c.type, c.data.data(), static_cast<ULONG>(c.data.size())), STATUS_SUCCESS);
    }
    Reopen();
    KeyHandle key;
    ASSERT_EQ(OpenKey(key.out(), u"\\Registry\\Machine\\Test"), STATUS_SUCCESS);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::u16string(c.name).size());
        Value value;
        ASSERT_EQ(QueryValue(key, c.name, &value), STATUS_SUCCESS);
        EXPECT_EQ(value.type, c.type);
        EXPECT_EQ(value.data, c.data);
    }
}

TEST_F(KeySemantics, DefaultValueIsTheUnnamedOne) {
    const DWORD data = 5;
    ASSERT_EQ(ZwSetValueKey(test_, nullptr, 0, REG_DWORD, const_cast<DWORD*>(&data), sizeof data), STATUS_SUCCESS);
    Value value;
    ASSERT_EQ(QueryValue(test_, u"", &value), STATUS_SUCCESS);
    EXPECT_EQ(value.type, REG_DWORD);
    EXPECT_EQ(ValueNames(test_), std::vector<std::u16string>{u""});
    ASSERT_EQ(ZwDeleteValueKey(test_, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(QueryValue(test_, u"", &value), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(KeySemantics, KeyWithSubkeysCannotBeDeleted) {
    KeyHandle parent, child;
    ASSERT_EQ(CreateKey(parent.out(), u"Parent", test_), STATUS_SUCCESS);
    ASSERT_EQ(CreateKey(child.out(), u"Child", parent), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(parent, u"v", 1), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(parent), STATUS_CANNOT_DELETE);
    EXPECT_EQ(SubkeyNames(parent), std::vector<std::u16string>{u"Child"});  // nothing changed
    EXPECT_EQ(ValueNames(parent), std::vector<std::u16string>{u"v"});
    ASSERT_EQ(ZwDeleteKey(child), STATUS_SUCCESS);
    ASSERT_EQ(ZwDeleteKey(parent), STATUS_SUCCESS);  // its values go with it
    KeyHandle again;
    EXPECT_EQ(OpenKey(again.out(), u"Parent", test_), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(CreateKey(again.out(), u"Parent", test_), STATUS_SUCCESS);
    EXPECT_TRUE(ValueNames(again).empty());
}

TEST_F(KeySemantics, HiveRootsCannotBeDeleted) {
    for (const char16_t* path : {u"\\Registry\\Machine\\SYSTEM", u"\\Registry\\User\\CurrentUser"}) {
        KeyHandle empty, root;
        ASSERT_EQ(CreateKey(empty.out(), std::u16string(path) + u"\\Probe"), STATUS_SUCCESS);
        ASSERT_EQ(ZwDeleteKey(empty), STATUS_SUCCESS);
        ASSERT_EQ(OpenKey(root.out(), path), STATUS_SUCCESS);
        EXPECT_EQ(ZwDeleteKey(root), STATUS_CANNOT_DELETE);
    }
}

TEST_F(KeySemantics, HandleToDeletedKeyAnswersKeyDeleted) {
    KeyHandle doomed, other;
    ASSERT_EQ(CreateKey(doomed.out(), u"Doomed", test_), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(doomed, u"v", 1), STATUS_SUCCESS);
    ASSERT_EQ(OpenKey(other.out(), u"\\Registry\\Machine\\Test\\Doomed"), STATUS_SUCCESS);
    EXPECT_EQ(ValueNames(other).size(), 1u);  // a snapshot exists before the deletion
    ASSERT_EQ(ZwDeleteKey(doomed), STATUS_SUCCESS);
    // A new key of the same name is another key.
    KeyHandle successor;
    ASSERT_EQ(CreateKey(successor.out(), u"Doomed", test_), STATUS_SUCCESS);

    for (HANDLE h : {doomed.h, other.h}) {
        alignas(8) uint8_t buffer[256];
        ULONG length = 0;
        Value value;
        KeyHandle child;
        UStr name(u"v");
        EXPECT_EQ(QueryValue(h, u"v", &value), STATUS_KEY_DELETED);
        EXPECT_EQ(SetDword(h, u"w", 1), STATUS_KEY_DELETED);
        EXPECT_EQ(ZwDeleteValueKey(h, name.get()), STATUS_KEY_DELETED);
        EXPECT_EQ(ZwEnumerateValueKey(h, 0, KeyValueBasicInformation, buffer, sizeof buffer, &length),
                  STATUS_KEY_DELETED);
        EXPECT_EQ(ZwEnumerateKey(h, 0, KeyBasicInformation, buffer, sizeof buffer, &length), STATUS_KEY_DELETED);
        EXPECT_EQ(CreateKey(child.out(), u"Child", h), STATUS_KEY_DELETED);
        EXPECT_EQ(OpenKey(child.out(), u"", h), STATUS_KEY_DELETED);
        EXPECT_EQ(ZwDeleteKey(h), STATUS_KEY_DELETED);
    }
    EXPECT_TRUE(ValueNames(successor).empty());
}

TEST_F(KeySemantics, CreateNeedsTheParentAndReportsDisposition) {
    KeyHandle key;
    EXPECT_EQ(CreateKey(key.out(), u"\\Registry\\Machine\\Test\\Missing\\Child"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(OpenKey(key.out(), u"Missing", test_), STATUS_OBJECT_NAME_NOT_FOUND);
    ULONG disposition = 0;
    ASSERT_EQ(CreateKey(key.out(), u"\\Registry\\Machine\\Test\\Made", nullptr, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    KeyHandle again;
    ASSERT_EQ(CreateKey(again.out(), u"\\REGISTRY\\MACHINE\\TEST\\MADE", nullptr, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
}

TEST_F(KeySemantics, MalformedNamesAreRefused) {
    struct Case {
        std::u16string name;
        bool relative;
        NTSTATUS expected;
    } const cases[] = {
        {u"Trailing\\", true, STATUS_SUCCESS},
        {u"\\Leading", true, STATUS_OBJECT_PATH_SYNTAX_BAD},
        {u"Two\\\\Separators", true, STATUS_OBJECT_NAME_INVALID},
        {std::u16string(255, u'k'), true, STATUS_SUCCESS},
        {std::u16string(256, u'k'), true, STATUS_INVALID_PARAMETER},
        {u"Registry\\Machine\\Test\\X", false, STATUS_OBJECT_PATH_SYNTAX_BAD},
        {u"\\Device\\Test", false, STATUS_OBJECT_NAME_NOT_FOUND},
        {u"\\RegistryX\\Machine", false, STATUS_OBJECT_NAME_NOT_FOUND},
        {u"\\Registry\\Machine\\Test\\Y\\", false, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.size());
        KeyHandle key;
        EXPECT_EQ(CreateKey(key.out(), c.name, c.relative ? test_.h : nullptr), c.expected);
    }
    KeyHandle key;
    EXPECT_EQ(SetDword(test_, std::u16string(16383, u'v'), 1), STATUS_SUCCESS);
    EXPECT_EQ(SetDword(test_, std::u16string(16384, u'v'), 1), STATUS_INVALID_PARAMETER);
    UStr name(u"Test");
    OBJECT_ATTRIBUTES oa{};  // Length not set
    oa.ObjectName = name.get();
    EXPECT_EQ(ZwOpenKey(key.out(), KEY_READ, &oa), STATUS_INVALID_PARAMETER);
}

TEST_F(KeySemantics, AccessIsCheckedPerHandle) {
    KeyHandle reader, writer;
    ASSERT_EQ(OpenKey(reader.out(), u"", test_, KEY_QUERY_VALUE), STATUS_SUCCESS);
    EXPECT_EQ(SetDword(reader, u"v", 1), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwDeleteKey(reader), STATUS_ACCESS_DENIED);
    alignas(8) uint8_t buffer[64];
    ULONG length;
    EXPECT_EQ(ZwEnumerateKey(reader, 0, KeyBasicInformation, buffer, sizeof buffer, &length), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwEnumerateValueKey(reader, 0, KeyValueBasicInformation, buffer, sizeof buffer, &length),
              STATUS_NO_MORE_ENTRIES);
    ASSERT_EQ(OpenKey(writer.out(), u"", test_, GENERIC_WRITE), STATUS_SUCCESS);
    EXPECT_EQ(SetDword(writer, u"v", 1), STATUS_SUCCESS);
}

TEST_F(KeySemantics, ZwCloseClosesAnyKernelHandle) {
    struct Probe : ob::HandleObject {
        bool* closed;
        explicit Probe(bool* c) : closed(c) {}
        void OnHandleClosed() override { *closed = true; }
    };
    bool closed = false;
    HANDLE handle = ob::KernelHandles().Insert(std::make_shared<Probe>(&closed));
    alignas(8) uint8_t buffer[64];
    ULONG length;
    EXPECT_EQ(ZwEnumerateKey(handle, 0, KeyBasicInformation, buffer, sizeof buffer, &length),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_TRUE(closed);
    EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
}

TEST_F(KeySemantics, EnumerationSeesChangesMadeBetweenCalls) {
    for (int i = 0; i < 3; ++i) ASSERT_EQ(SetDword(test_, u"v" + std::u16string(1, u'0' + i), i), STATUS_SUCCESS);
    alignas(8) uint8_t buffer[256];
    ULONG length;
    ASSERT_EQ(ZwEnumerateValueKey(test_, 0, KeyValueBasicInformation, buffer, sizeof buffer, &length), STATUS_SUCCESS);
    KeyHandle other;
    ASSERT_EQ(OpenKey(other.out(), u"", test_), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(other, u"v3", 3), STATUS_SUCCESS);  // through another handle
    EXPECT_EQ(ZwEnumerateValueKey(test_, 3, KeyValueBasicInformation, buffer, sizeof buffer, &length), STATUS_SUCCESS);
    UStr first(u"v0");
    ASSERT_EQ(ZwDeleteValueKey(other, first.get()), STATUS_SUCCESS);
    EXPECT_EQ(ZwEnumerateValueKey(test_, 3, KeyValueBasicInformation, buffer, sizeof buffer, &length),
              STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(ValueNames(test_), (std::vector<std::u16string>{u"v1", u"v2", u"v3"}));
}

}  // namespace
}  // namespace korin::registry::testing

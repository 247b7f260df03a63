// The registry store: the layout changes write through, the tree a restart
// rebuilds from it, renames that move whole key trees and values without
// losing or cutting anything, hand-edited stores, deep trees, and loads and
// changes that run out of pool.
#include "core_fixture.h"

#include "platform/nt/pool.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace korin::drivercore {
namespace {

class StoreTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        StoreDrive(u"0", u'X', u"Store");
        SetDword(kDriveKey, u"NextInstance", 1);
    }
    static std::u16string Folder(const std::u16string& relative) {
        return relative.empty() ? kDriveKey + u"\\0" : kDriveKey + u"\\0\\" + relative;
    }
    static std::u16string TargetOf(TREE_NODE* node) { return node && node->Target ? Text(*node->Target) : u"<none>"; }
};

TEST_F(StoreTest, FolderInFolderWithMappingLayout) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    TREE_NODE* docs = AddFolder(Root(u'X'), u"Docs");
    TREE_NODE* projects = AddFolder(docs, u"Projects");
    TREE_NODE* spec = AddMapping(projects, u"Spec", u"C:\\Specs\\");
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(TargetOf(spec), u"\\??\\C:\\Specs\\");

    EXPECT_EQ(Subkeys(Folder(u"")), std::vector<std::u16string>{u"Docs"});
    EXPECT_EQ(Subkeys(Folder(u"Docs")), std::vector<std::u16string>{u"Projects"});
    std::optional<RegValue> value = ReadValue(Folder(u"Docs\\Projects"), u"Spec");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->type, REG_SZ);
    EXPECT_EQ(value->data, StringData(u"C:\\Specs\\"));
    EXPECT_EQ(value->data.size(), 20u) << "the target's 18 bytes and its NUL";
}

TEST_F(StoreTest, RestartListsFoldersFirstThenMappings) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    TREE_NODE* root = Root(u'X');
    AddMapping(root, u"M1", u"C:\\one.txt");
    TREE_NODE* f1 = AddFolder(root, u"F1");
    AddMapping(f1, u"Inner", u"\\\\server\\share\\dir\\");
    AddMapping(root, u"M2", u"");
    EXPECT_EQ(Children(root), (std::vector<std::u16string>{u"M1", u"F1", u"M2"}));

    Restart();
    root = Root(u'X');
    EXPECT_EQ(Children(root), (std::vector<std::u16string>{u"F1", u"M1", u"M2"}));
    EXPECT_EQ(TargetOf(Find(u'X', u"M1")), u"\\??\\C:\\one.txt");
    EXPECT_EQ(TargetOf(Find(u'X', u"F1\\Inner")), u"\\??\\UNC\\server\\share\\dir\\");
    TREE_NODE* m2 = Find(u'X', u"M2");
    ASSERT_NE(m2, nullptr);
    ASSERT_NE(m2->Target, nullptr) << "an empty target still makes a mapping";
    EXPECT_EQ(m2->Target->Length, 0);
    EXPECT_EQ(Find(u'X', u"F1")->Target, nullptr);
}

TEST_F(StoreTest, RenamedFolderMovesToTheEndWithItsChildren) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    TREE_NODE* root = Root(u'X');
    TREE_NODE* docs = AddFolder(root, u"Docs");
    TREE_NODE* inner = AddFolder(docs, u"Inner");
    AddFolder(root, u"Music");
    std::u16string text = u"Papers";
    UNICODE_STRING name = Counted(text);
    {
        DriveLock lock(Drive(u'X'));
        ASSERT_EQ(RenameFolderNode(docs, &name), STATUS_SUCCESS);
        EXPECT_NE(Text(docs->Name).data(), text.data());
    }
    EXPECT_EQ(Children(root), (std::vector<std::u16string>{u"Music", u"Papers"}));
    EXPECT_EQ(Find(u'X', u"papers"), docs);
    EXPECT_EQ(Find(u'X', u"Docs"), nullptr);
    EXPECT_EQ(Find(u'X', u"Papers\\Inner"), inner);
}

TEST_F(StoreTest, RenamedFolderMovesItsWholeKeyTree) {
    const std::u16string longTarget = u"C:\\" + std::u16string(3000, u'L') + u"\\";  // beyond the 2056-byte buffers
    const std::u16string longName(600, u'n');                                      // a value name beyond them too
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    TREE_NODE* docs = AddFolder(Root(u'X'), u"Docs");
    AddMapping(docs, u"a.txt", u"C:\\a.txt");
    TREE_NODE* projects = AddFolder(docs, u"Projects");
    AddMapping(projects, u"Spec", u"C:\\Specs\\");
    AddMapping(projects, longName, longTarget);
    TREE_NODE* deep = AddFolder(AddFolder(projects, u"Deep"), u"Deeper");
    AddMapping(deep, u"x", u"\\\\s\\x");
    AddFolder(Root(u'X'), u"After");

    std::u16string text = u"Papers";
    UNICODE_STRING name = Counted(text);
    {
        DriveLock lock(Drive(u'X'));
        ASSERT_EQ(RenameFolderNode(docs, &name), STATUS_SUCCESS);
    }
    EXPECT_FALSE(KeyExists(Folder(u"Docs")));
    EXPECT_EQ(Subkeys(Folder(u"")), (std::vector<std::u16string>{u"After", u"Papers"}));
    EXPECT_EQ(Subkeys(Folder(u"Papers")), std::vector<std::u16string>{u"Projects"});
    const struct {
        std::u16string folder, value, target;
    } expected[] = {{u"Papers", u"a.txt", u"C:\\a.txt"},
                    {u"Papers\\Projects", u"Spec", u"C:\\Specs\\"},
                    {u"Papers\\Projects", longName, longTarget},
                    {u"Papers\\Projects\\Deep\\Deeper", u"x", u"\\\\s\\x"}};
    for (const auto& e : expected) {
        std::optional<RegValue> value = ReadValue(Folder(e.folder), e.value);
        ASSERT_TRUE(value) << Narrow(e.folder) << " " << Narrow(e.value.substr(0, 20));
        EXPECT_EQ(value->type, REG_SZ);
        EXPECT_EQ(value->data, StringData(e.target)) << "copied whole";
    }
    EXPECT_EQ(Children(Root(u'X')), (std::vector<std::u16string>{u"After", u"Papers"}));
    EXPECT_EQ(Children(docs), (std::vector<std::u16string>{u"a.txt", u"Projects"})) << "the node keeps its children";

    Restart();
    EXPECT_EQ(TargetOf(Find(u'X', u"Papers\\Projects\\" + longName)), u"\\??\\" + longTarget);
}

TEST_F(StoreTest, CaseOnlyRenameIsACollisionAndChangesNothing) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    TREE_NODE* docs = AddFolder(Root(u'X'), u"Docs");
    AddMapping(docs, u"a", u"C:\\a");
    std::u16string text = u"DOCS";
    UNICODE_STRING name = Counted(text);
    {
        DriveLock lock(Drive(u'X'));
        EXPECT_EQ(RenameFolderNode(docs, &name), STATUS_OBJECT_NAME_COLLISION);
    }
    EXPECT_EQ(Text(docs->Name), u"Docs");
    EXPECT_EQ(Subkeys(Folder(u"")), std::vector<std::u16string>{u"Docs"});
    EXPECT_TRUE(ReadValue(Folder(u"Docs"), u"a"));
}

// The store's own renames refuse what would lose data: a new name that the
// registry takes for the old one, or one already taken by a key the tree
// does not know.
TEST_F(StoreTest, StoreRenamesNeverLoseTheOldCopy) {
    CreateKeyPath(Folder(u"Docs\\Inner"));
    CreateKeyPath(Folder(u"Stray"));
    SetValue(Folder(u""), u"map", REG_SZ, StringData(u"C:\\m"));
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    HANDLE key;
    std::u16string path = Folder(u"");
    UNICODE_STRING keyName = Counted(path);
    ASSERT_EQ(OpenKey(&key, &keyName, nullptr), STATUS_SUCCESS);
    std::u16string docs = u"Docs", upper = u"DOCS", stray = u"Stray", map = u"map", upperMap = u"MAP", other = u"other";
    UNICODE_STRING docsName = Counted(docs), upperName = Counted(upper), strayName = Counted(stray);
    UNICODE_STRING mapName = Counted(map), upperMapName = Counted(upperMap), otherName = Counted(other);
    EXPECT_EQ(RenameKeyTree(key, &docsName, &upperName), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(RenameKeyTree(key, &docsName, &strayName), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(RenameValue(key, &mapName, &upperMapName), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Subkeys(Folder(u"")), (std::vector<std::u16string>{u"Docs", u"Stray"}));
    EXPECT_EQ(Subkeys(Folder(u"Docs")), std::vector<std::u16string>{u"Inner"});
    EXPECT_EQ(ValueNames(Folder(u"")), std::vector<std::u16string>{u"map"});

    EXPECT_EQ(RenameValue(key, &mapName, &otherName), STATUS_SUCCESS);
    EXPECT_EQ(ValueNames(Folder(u"")), std::vector<std::u16string>{u"other"});
    EXPECT_EQ(ReadValue(Folder(u""), u"other")->data, StringData(u"C:\\m"));
    // A source that is not there: the copy fails and nothing is left of it.
    EXPECT_EQ(RenameKeyTree(key, &mapName, &otherName), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(KeyExists(Folder(u"other")));
    ZwClose(key);
}

// A hand-edited key with a subkey and a value of one name: the folder wins,
// the mapping is not added a second time, and nothing leaks (TearDown).
// Unnamed (default) values name nothing and are skipped; data without a NUL
// is read up to its length.
TEST_F(StoreTest, HandEditedStoreLoadsWithoutDuplicates) {
    CreateKeyPath(Folder(u"Docs\\Inner"));
    SetValue(Folder(u""), u"DOCS", REG_SZ, StringData(u"C:\\clash"));
    SetValue(Folder(u""), u"", REG_SZ, StringData(u"C:\\default"));
    std::vector<uint8_t> bare = StringData(u"C:\\bare");
    bare.resize(bare.size() - 2);
    SetValue(Folder(u""), u"bare", REG_SZ, bare);
    SetValue(Folder(u""), u"cut", REG_SZ, StringData(std::u16string(u"C:\\one\0C:\\two", 13)));
    SetValue(Folder(u""), u"dword", REG_DWORD, {0x31, 0x00, 0x00, 0x00});
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(Children(Root(u'X')), (std::vector<std::u16string>{u"Docs", u"bare", u"cut", u"dword"}));
    EXPECT_EQ(Find(u'X', u"docs")->Target, nullptr) << "the folder came first and stays a folder";
    EXPECT_NE(Find(u'X', u"Docs\\Inner"), nullptr);
    EXPECT_EQ(TargetOf(Find(u'X', u"bare")), u"\\??\\C:\\bare");
    EXPECT_EQ(TargetOf(Find(u'X', u"cut")), u"\\??\\C:\\one");
    EXPECT_EQ(TargetOf(Find(u'X', u"dword")), u"\\??\\1") << "every value counts as a mapping";
}

TEST_F(StoreTest, LongNamesLoadWhole) {
    const std::u16string folder(255, u'F');  // the longest key name
    const std::u16string mapping(1000, u'm');
    const std::u16string target = u"C:\\" + std::u16string(5000, u't');
    CreateKeyPath(Folder(folder));
    SetValue(Folder(folder), mapping, REG_SZ, StringData(target));
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(TargetOf(Find(u'X', folder + u"\\" + mapping)), u"\\??\\" + target);
}

// Depth costs no stack: trees far deeper than any user makes are created,
// loaded, renamed and deleted level by level.
TEST_F(StoreTest, DeepTreesWorkAtEveryLevel) {
    constexpr int kDepth = 120;
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    TREE_NODE* at = AddFolder(Root(u'X'), u"Top");
    std::u16string path = u"Top";
    for (int level = 1; level < kDepth; ++level) {
        at = AddFolder(at, u"L" + std::u16string(1, static_cast<char16_t>(u'0' + level % 10)));
        path += u"\\" + Text(at->Name);
    }
    AddMapping(at, u"bottom", u"C:\\bottom");
    EXPECT_EQ(ReadValue(Folder(path), u"bottom")->data, StringData(u"C:\\bottom"));

    Restart();
    TREE_NODE* top = Find(u'X', u"Top");
    ASSERT_NE(Find(u'X', path + u"\\bottom"), nullptr);
    std::u16string text = u"Moved";
    UNICODE_STRING name = Counted(text);
    {
        DriveLock lock(Drive(u'X'));
        ASSERT_EQ(RenameFolderNode(top, &name), STATUS_SUCCESS);
    }
    const std::u16string moved = u"Moved" + path.substr(3);
    EXPECT_EQ(ReadValue(Folder(moved), u"bottom")->data, StringData(u"C:\\bottom"));
    EXPECT_FALSE(KeyExists(Folder(u"Top")));

    HANDLE key;
    std::u16string rootPath = Folder(u"");
    UNICODE_STRING rootName = Counted(rootPath);
    ASSERT_EQ(OpenKey(&key, &rootName, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(DeleteKeyTree(key, &name), STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_TRUE(Subkeys(Folder(u"")).empty());
}

// The key that holds a node: the Drive key for a root, the parent's key for
// any other node, nothing for a node of a detached subtree.
TEST_F(StoreTest, OpenParentKeyFindsTheHoldingKey) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    TREE_NODE* docs = AddFolder(Root(u'X'), u"Docs");
    TREE_NODE* inner = AddFolder(docs, u"Inner");
    TREE_NODE* leaf = AddMapping(inner, u"leaf", u"C:\\leaf");
    SetValue(kDriveKey, u"marker", REG_SZ, StringData(u"drive key"));
    SetValue(Folder(u"Docs\\Inner"), u"marker", REG_SZ, StringData(u"inner key"));
    auto markerOf = [](HANDLE key) {
        std::u16string text = u"marker";
        UNICODE_STRING name = Counted(text);
        alignas(8) uint8_t buffer[256];
        ULONG size;
        EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &size), STATUS_SUCCESS);
        auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
        return std::u16string(reinterpret_cast<char16_t*>(info->Data), info->DataLength / 2 - 1);
    };
    DriveLock lock(Drive(u'X'));
    HANDLE key;
    ASSERT_EQ(OpenParentKey(&key, Root(u'X')), STATUS_SUCCESS);
    EXPECT_EQ(markerOf(key), u"drive key");
    ZwClose(key);
    ASSERT_EQ(OpenParentKey(&key, leaf), STATUS_SUCCESS);
    EXPECT_EQ(markerOf(key), u"inner key");
    ZwClose(key);
    ASSERT_EQ(RemoveChild(docs), STATUS_SUCCESS);
    EXPECT_EQ(OpenParentKey(&key, leaf), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(OpenParentKey(&key, docs), STATUS_OBJECT_PATH_NOT_FOUND);
}

// Out of pool while a node is made: the request fails, the tree and the
// store are as before.
TEST_F(StoreTest, NodeCreationWithoutPoolChangesNothing) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    TREE_NODE* root = Root(u'X');
    std::u16string nameText = u"New", targetText = u"C:\\t";
    UNICODE_STRING name = Counted(nameText), target = Counted(targetText);
    DriveLock lock(Drive(u'X'));
    TREE_NODE* node = nullptr;
    for (const char* tag : {"QTN0", "Qstr"}) {  // the node, its name
        pool::FailNthAllocation(Tag(tag), 1);
        EXPECT_EQ(CreateFolderNode(&node, root, &name), STATUS_INSUFFICIENT_RESOURCES) << tag;
    }
    for (const auto& [tag, nth] :
         std::initializer_list<std::pair<const char*, unsigned>>{{"QTN0", 1}, {"Qstr", 1}, {"Qstr", 2}}) {
        pool::FailNthAllocation(Tag(tag), nth);
        EXPECT_EQ(CreateMappingNode(&node, root, &name, &target), STATUS_INSUFFICIENT_RESOURCES) << tag << nth;
        pool::ClearInjectedFailures();
    }
    EXPECT_EQ(node, nullptr);
    EXPECT_TRUE(IsFolderEmpty(root));
    EXPECT_TRUE(Subkeys(Folder(u"")).empty());
    EXPECT_TRUE(ValueNames(Folder(u"")).empty());
}

// Removes a key (it must have no subkeys) behind the driver's back, as a
// hand edit of the store would.
void DeleteKeyBehindDriver(const std::u16string& path) {
    UNICODE_STRING name = Counted(path);
    HANDLE key = nullptr;
    ASSERT_EQ(OpenKey(&key, &name, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(key), STATUS_SUCCESS);
    ZwClose(key);
}

// The store refuses a new folder or mapping: the creation answers the
// registry's status and the node is gone from memory (and freed, TearDown
// checks the pool), as it is absent from the store.
TEST_F(StoreTest, NodeCreationTheStoreRefusesChangesNothing) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    TREE_NODE* docs = AddFolder(Root(u'X'), u"Docs");
    ASSERT_NE(docs, nullptr);
    DeleteKeyBehindDriver(Folder(u"Docs"));
    std::u16string nameText = u"New", targetText = u"C:\\t";
    UNICODE_STRING name = Counted(nameText), target = Counted(targetText);
    {
        DriveLock lock(Drive(u'X'));
        TREE_NODE* node = nullptr;
        EXPECT_EQ(CreateFolderNode(&node, docs, &name), STATUS_OBJECT_NAME_NOT_FOUND);
        EXPECT_EQ(CreateMappingNode(&node, docs, &name, &target), STATUS_OBJECT_NAME_NOT_FOUND);
        EXPECT_EQ(node, nullptr);
        EXPECT_TRUE(IsFolderEmpty(docs));
        EXPECT_EQ(docs->ChildrenRoot, nullptr);
        EXPECT_EQ(LookupChild(docs, &name), nullptr);
    }
    EXPECT_FALSE(KeyExists(Folder(u"Docs\\New")));
    EXPECT_EQ(Subkeys(Folder(u"")), std::vector<std::u16string>{});
    EXPECT_TRUE(ValueNames(Folder(u"")).empty());
}

// The store refuses a folder's rename: the registry's status comes back and
// the node keeps its name and its place in enumeration and lookup.
TEST_F(StoreTest, FolderRenameTheStoreRefusesKeepsTheOldName) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    TREE_NODE* root = Root(u'X');
    TREE_NODE* docs = AddFolder(root, u"Docs");
    AddFolder(docs, u"Inner");
    AddFolder(root, u"Last");
    CreateKeyPath(Folder(u"Taken"));  // only the store has it
    struct Case {
        const char* what;
        std::u16string newName;
        const char* failTag;  // pool tag to fail once, or nullptr
        NTSTATUS expected;
    };
    const Case cases[] = {
        {"copy walk without pool", u"Renamed", "QKey", STATUS_INSUFFICIENT_RESOURCES},
        {"name of a key only the store holds", u"taken", nullptr, STATUS_OBJECT_NAME_COLLISION},
    };
    for (const Case& c : cases) {
        UNICODE_STRING name = Counted(c.newName);
        {
            DriveLock lock(Drive(u'X'));
            if (c.failTag) pool::FailNthAllocation(Tag(c.failTag), 1);
            EXPECT_EQ(RenameFolderNode(docs, &name), c.expected) << c.what;
            pool::ClearInjectedFailures();
            EXPECT_EQ(Text(docs->Name), u"Docs") << c.what;
            EXPECT_EQ(docs->Parent, root) << c.what;
            EXPECT_EQ(LookupChild(root, &name), nullptr) << c.what;
        }
        EXPECT_EQ(Children(root), (std::vector<std::u16string>{u"Docs", u"Last"})) << c.what;
        EXPECT_NE(Find(u'X', u"Docs\\Inner"), nullptr) << c.what;
        EXPECT_EQ(Subkeys(Folder(u"")), (std::vector<std::u16string>{u"Docs", u"Last", u"Taken"})) << c.what;
        EXPECT_EQ(Subkeys(Folder(u"Docs")), std::vector<std::u16string>{u"Inner"}) << c.what;
    }
}

// Height of a splay tree, walked without recursion.
size_t TreeHeight(PRTL_SPLAY_LINKS root) {
    size_t height = 0;
    std::vector<std::pair<PRTL_SPLAY_LINKS, size_t>> pending;
    if (root) pending.emplace_back(root, 1);
    while (!pending.empty()) {
        auto [at, depth] = pending.back();
        pending.pop_back();
        height = std::max(height, depth);
        if (at->LeftChild) pending.emplace_back(at->LeftChild, depth + 1);
        if (at->RightChild) pending.emplace_back(at->RightChild, depth + 1);
    }
    return height;
}

// A large folder arrives from the store in name order: after the start its
// lookup tree is of logarithmic height (not a chain as long as the folder),
// every child is found, and the listing keeps folders first, each run in the
// store's order.
TEST_F(StoreTest, LargeSortedFolderLoadsIntoAShallowTree) {
    constexpr int kMappings = 20000, kFolders = 300;
    CreateKeyPath(Folder(u"Big"));
    {
        std::u16string path = Folder(u"Big");
        UNICODE_STRING keyName = Counted(path);
        HANDLE key = nullptr;
        ASSERT_EQ(OpenKey(&key, &keyName, nullptr), STATUS_SUCCESS);
        const std::vector<uint8_t> data = StringData(u"C:\\t");
        for (int i = 0; i < kMappings; ++i) {
            char text[16];
            std::snprintf(text, sizeof text, "m%05d", i);
            std::u16string name(text, text + std::strlen(text));
            UNICODE_STRING valueName = Counted(name);
            ASSERT_EQ(ZwSetValueKey(key, &valueName, 0, REG_SZ, const_cast<uint8_t*>(data.data()),
                                    static_cast<ULONG>(data.size())),
                      STATUS_SUCCESS);
        }
        ZwClose(key);
    }
    for (int i = 0; i < kFolders; ++i) {
        char text[16];
        std::snprintf(text, sizeof text, "f%03d", i);
        CreateKeyPath(Folder(u"Big\\" + std::u16string(text, text + std::strlen(text))));
    }
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    TREE_NODE* big = Find(u'X', u"Big");
    ASSERT_NE(big, nullptr);
    const size_t height = TreeHeight(big->ChildrenRoot);
    EXPECT_LE(height, 16u) << "a balanced tree of 20300 children is 15 high";

    const std::vector<std::u16string> children = Children(big);
    ASSERT_EQ(children.size(), size_t{kMappings + kFolders});
    EXPECT_EQ(children.front(), u"f000");
    EXPECT_EQ(children[kFolders - 1], u"f299");
    EXPECT_EQ(children[kFolders], u"m00000");
    EXPECT_EQ(children.back(), u"m19999");
    DriveLock lock(Drive(u'X'));
    for (const std::u16string& name : children) {
        UNICODE_STRING counted = Counted(name);
        TREE_NODE* found = LookupChild(big, &counted);
        ASSERT_NE(found, nullptr) << Narrow(name);
        ASSERT_EQ(Text(found->Name), name);
    }
}

// Out of pool while the tree loads: the drive starts with what could be
// loaded and nothing is left allocated (TearDown); with pool again, the next
// start loads it all.
class LoadWithoutPoolTest : public StoreTest, public ::testing::WithParamInterface<std::pair<const char*, unsigned>> {};

TEST_P(LoadWithoutPoolTest, LoadsWhatItCanAndLeaksNothing) {
    CreateKeyPath(Folder(u"A\\AA\\AAA"));
    CreateKeyPath(Folder(u"B"));
    SetValue(Folder(u"A\\AA"), u"m1", REG_SZ, StringData(u"C:\\m1"));
    SetValue(Folder(u"A\\AA"), u"m2", REG_SZ, StringData(u"C:\\m2"));
    SetValue(Folder(u""), u"top", REG_SZ, StringData(u"\\\\s\\top\\"));
    const auto& [tag, nth] = GetParam();
    pool::FailNthAllocation(Tag(tag), nth);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    pool::ClearInjectedFailures();
    ASSERT_NE(Drive(u'X'), nullptr);
    Restart();
    EXPECT_EQ(Children(Root(u'X')), (std::vector<std::u16string>{u"A", u"B", u"top"}));
    EXPECT_EQ(Children(Find(u'X', u"A\\AA")), (std::vector<std::u16string>{u"AAA", u"m1", u"m2"}));
}

INSTANTIATE_TEST_SUITE_P(Steps, LoadWithoutPoolTest,
                         ::testing::Values(std::make_pair("QKey", 1u), std::make_pair("QKey", 2u),
                                           std::make_pair("QKey", 3u), std::make_pair("QTN0", 2u),
                                           std::make_pair("QTN0", 4u), std::make_pair("QStr", 3u),
                                           std::make_pair("QStr", 6u), std::make_pair("Qstr", 1u),
                                           std::make_pair("Qstr", 2u)),
                         [](const auto& info) { return std::string(info.param.first) + std::to_string(info.param.second); });

}  // namespace
}  // namespace korin::drivercore

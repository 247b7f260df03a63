// The tree operations on nodes alone (no drive, no registry): lookup by name
// without case through the splay tree, creation order in ChildList, detaching
// and renaming, NT target forms, and freeing without recursion.
#include "core_fixture.h"

#include "platform/nt/pool.h"

#include <algorithm>
#include <random>

namespace korin::drivercore {
namespace {

class TreeTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(AllocateTreeNode(&root_), STATUS_SUCCESS); }
    void TearDown() override {
        FreeNodeTree(root_);
        FreeDetachedNodes();
        pool::ClearInjectedFailures();
        for (const char* tag : {"QTN0", "Qstr", "QStr", "RDcb"}) EXPECT_EQ(pool::LiveByTag().count(tag), 0u) << tag;
    }

    TREE_NODE* Add(TREE_NODE* parent, const std::u16string& name) {
        TREE_NODE* node;
        EXPECT_EQ(AllocateTreeNode(&node), STATUS_SUCCESS);
        std::u16string text = name;
        UNICODE_STRING counted = Counted(text);
        EXPECT_EQ(DuplicateString(&node->Name, &counted), STATUS_SUCCESS);
        InsertChild(parent, node);
        return node;
    }
    TREE_NODE* Lookup(TREE_NODE* parent, const std::u16string& name) {
        std::u16string text = name;
        UNICODE_STRING counted = Counted(text);
        return LookupChild(parent, &counted);
    }
    static std::vector<std::u16string> ListOrder(TREE_NODE* node) {
        std::vector<std::u16string> names;
        for (PLIST_ENTRY e = node->ChildList.Flink; e != &node->ChildList; e = e->Flink)
            names.push_back(Text(CONTAINING_RECORD(e, TREE_NODE, SiblingLink)->Name));
        return names;
    }
    // The splay tree in order, checking every parent link on the way.
    static std::vector<std::u16string> TreeOrder(TREE_NODE* node) {
        std::vector<std::u16string> names;
        PRTL_SPLAY_LINKS top = node->ChildrenRoot;
        if (!top) return names;
        EXPECT_TRUE(RtlIsRoot(top));
        std::vector<PRTL_SPLAY_LINKS> stack;
        PRTL_SPLAY_LINKS at = top;
        while (at || !stack.empty()) {
            while (at) {
                if (at->LeftChild) {
                    EXPECT_EQ(at->LeftChild->Parent, at);
                }
                if (at->RightChild) {
                    EXPECT_EQ(at->RightChild->Parent, at);
                }
                stack.push_back(at);
                at = at->LeftChild;
            }
            at = stack.back();
            stack.pop_back();
            TREE_NODE* child = CONTAINING_RECORD(at, TREE_NODE, Links);
            EXPECT_EQ(child->Parent, node);
            names.push_back(Text(child->Name));
            at = at->RightChild;
        }
        return names;
    }
    static bool SortedIgnoringCase(const std::vector<std::u16string>& names) {
        for (size_t i = 1; i < names.size(); ++i) {
            std::u16string a = names[i - 1], b = names[i];
            UNICODE_STRING x = Counted(a), y = Counted(b);
            if (RtlCompareUnicodeString(&x, &y, TRUE) >= 0) return false;
        }
        return true;
    }

    TREE_NODE* root_ = nullptr;
};

TEST_F(TreeTest, LookupIgnoresCaseAndSplaysTheMatchToTheRoot) {
    for (const char16_t* name : {u"Alpha", u"Zeta", u"Docs", u"Beta", u"Mid", u"Omega"}) Add(root_, name);
    TREE_NODE* docs = Lookup(root_, u"DOCS");
    ASSERT_NE(docs, nullptr);
    EXPECT_EQ(Text(docs->Name), u"Docs");
    EXPECT_EQ(root_->ChildrenRoot, &docs->Links) << "the match is the root of its parent's splay tree";
    EXPECT_EQ(Lookup(root_, u"docs"), docs);
    EXPECT_EQ(Lookup(root_, u"Doc"), nullptr);
    EXPECT_EQ(Lookup(root_, u"Docs2"), nullptr);
    EXPECT_EQ(Lookup(root_, u""), nullptr);
}

TEST_F(TreeTest, EnumerationKeepsCreationOrderWhateverTheLookups) {
    const std::vector<std::u16string> names = {u"M1", u"F1", u"M2", u"a", u"Z"};
    for (const auto& name : names) Add(root_, name);
    for (const auto& name : names) Lookup(root_, name);
    EXPECT_EQ(ListOrder(root_), names);
    EXPECT_FALSE(IsFolderEmpty(root_));
    EXPECT_TRUE(IsFolderEmpty(Lookup(root_, u"M1")));
}

// Many insertions, lookups and removals in random order: the splay tree must
// stay a search tree holding exactly the children of ChildList.
TEST_F(TreeTest, SplayTreeAndChildListStayInStep) {
    std::mt19937 random(7);
    std::vector<std::u16string> present;
    for (int step = 0; step < 3000; ++step) {
        // Few letters in random case: names meet again, often in another case.
        auto letter = [&] { return static_cast<char16_t>((random() % 2 ? u'a' : u'A') + random() % 6); };
        std::u16string name = {u'n', letter(), letter()};
        TREE_NODE* found = Lookup(root_, name);
        auto it = std::find_if(present.begin(), present.end(), [&](const std::u16string& p) {
            std::u16string a = p, b = name;
            UNICODE_STRING x = Counted(a), y = Counted(b);
            return RtlEqualUnicodeString(&x, &y, TRUE);
        });
        ASSERT_EQ(found != nullptr, it != present.end()) << Narrow(name);
        if (found && random() % 2) {
            ASSERT_EQ(RemoveChild(found), STATUS_SUCCESS);
            present.erase(it);
        } else if (!found) {
            Add(root_, name);
            present.push_back(name);
        }
    }
    std::vector<std::u16string> inTree = TreeOrder(root_);
    EXPECT_TRUE(SortedIgnoringCase(inTree));
    std::vector<std::u16string> inList = ListOrder(root_);
    EXPECT_EQ(inList, present) << "ChildList keeps insertion order";
    std::sort(inList.begin(), inList.end());
    std::sort(inTree.begin(), inTree.end());
    EXPECT_EQ(inTree, inList);
}

TEST_F(TreeTest, RemovedNodeKeepsItsChildrenAndFcb) {
    TREE_NODE* docs = Add(root_, u"Docs");
    TREE_NODE* inner = Add(docs, u"Inner");
    Add(root_, u"Other");
    FCB* fcb = AllocateFcb(nullptr);
    ASSERT_NE(fcb, nullptr);
    fcb->Node = docs;
    docs->Fcb = fcb;

    ASSERT_EQ(RemoveChild(docs), STATUS_SUCCESS);
    EXPECT_EQ(docs->Parent, nullptr);
    EXPECT_TRUE(RtlIsRoot(&docs->Links));
    EXPECT_EQ(docs->Fcb, fcb);
    EXPECT_EQ(Lookup(docs, u"inner"), inner);
    EXPECT_EQ(inner->Parent, docs);
    EXPECT_EQ(Lookup(root_, u"Docs"), nullptr);
    EXPECT_EQ(ListOrder(root_), std::vector<std::u16string>{u"Other"});
    EXPECT_EQ(RemoveChild(docs), STATUS_INVALID_PARAMETER) << "a detached node has no parent";
    EXPECT_EQ(RemoveChild(root_), STATUS_INVALID_PARAMETER) << "the root has no parent";

    // The last close frees the FCB without touching the former parent.
    FreeFcb(fcb);
    EXPECT_EQ(docs->Fcb, nullptr);
    EXPECT_EQ(ListOrder(root_), std::vector<std::u16string>{u"Other"});
    // TearDown frees the detached subtree with the rest.
}

TEST_F(TreeTest, RenameRefusesAnyNameASiblingHasCaseIncluded) {
    TREE_NODE* docs = Add(root_, u"Docs");
    Add(root_, u"Music");
    const size_t strings = pool::LiveBlocks("Qstr");
    for (const char16_t* taken : {u"DOCS", u"docs", u"Docs", u"MUSIC"}) {
        std::u16string text = taken;
        UNICODE_STRING name = Counted(text);
        EXPECT_EQ(RenameFolderNode(docs, &name), STATUS_OBJECT_NAME_COLLISION) << Narrow(text);
    }
    EXPECT_EQ(Text(docs->Name), u"Docs");
    EXPECT_EQ(pool::LiveBlocks("Qstr"), strings) << "a refused rename allocates nothing";
    std::u16string text = u"x";
    UNICODE_STRING name = Counted(text);
    EXPECT_EQ(RenameFolderNode(root_, &name), STATUS_INVALID_PARAMETER);
}

// A rename is written to the store first; a tree no drive holds has no store
// to write to, so the rename is refused and the node keeps its name and
// place. (The rename itself is in store_test.cpp.)
TEST_F(TreeTest, RenameWithoutAStoreChangesNothing) {
    TREE_NODE* docs = Add(root_, u"Docs");
    Add(root_, u"Music");
    std::u16string text = u"Papers";
    UNICODE_STRING name = Counted(text);
    EXPECT_EQ(RenameFolderNode(docs, &name), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(ListOrder(root_), (std::vector<std::u16string>{u"Docs", u"Music"}));
    EXPECT_EQ(Lookup(root_, u"docs"), docs);
    EXPECT_EQ(Lookup(root_, u"Papers"), nullptr);
}

TEST_F(TreeTest, RenameWithoutPoolChangesNothing) {
    TREE_NODE* docs = Add(root_, u"Docs");
    pool::FailNthAllocation("Qstr", 1);
    std::u16string text = u"Papers";
    UNICODE_STRING name = Counted(text);
    EXPECT_EQ(RenameFolderNode(docs, &name), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Lookup(root_, u"Docs"), docs);
    EXPECT_EQ(docs->Parent, root_);
}

struct TargetCase {
    std::u16string user;
    std::u16string nt;
};

class TargetFormTest : public TreeTest, public ::testing::WithParamInterface<TargetCase> {};

TEST_P(TargetFormTest, BuildsTheNtForm) {
    TREE_NODE* node = Add(root_, u"m");
    std::u16string user = GetParam().user;
    UNICODE_STRING target = Counted(user);
    ASSERT_EQ(SetNodeTarget(node, &target), STATUS_SUCCESS);
    ASSERT_NE(node->Target, nullptr) << "a mapping always has a Target";
    EXPECT_EQ(Text(*node->Target), GetParam().nt);
    EXPECT_EQ(node->Target->Length, GetParam().nt.size() * 2);
    if (user.empty()) {
        EXPECT_EQ(node->Target->Buffer, nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, TargetFormTest,
                         ::testing::Values(TargetCase{u"\\\\server\\share\\dir\\", u"\\??\\UNC\\server\\share\\dir\\"},
                                           TargetCase{u"C:\\file.txt", u"\\??\\C:\\file.txt"},
                                           TargetCase{u"C:\\Specs\\", u"\\??\\C:\\Specs\\"},
                                           TargetCase{u"\\\\srv", u"\\??\\UNC\\srv"},
                                           TargetCase{u"", u""}));

TEST_F(TreeTest, NewTargetReplacesTheOldOne) {
    TREE_NODE* node = Add(root_, u"m");
    std::u16string first = u"C:\\a", second = u"\\\\s\\x";
    UNICODE_STRING a = Counted(first), b = Counted(second);
    ASSERT_EQ(SetNodeTarget(node, &a), STATUS_SUCCESS);
    const size_t strings = pool::LiveBlocks("Qstr");
    ASSERT_EQ(SetNodeTarget(node, &b), STATUS_SUCCESS);
    EXPECT_EQ(pool::LiveBlocks("Qstr"), strings) << "the old target is freed";
    EXPECT_EQ(Text(*node->Target), u"\\??\\UNC\\s\\x");

    pool::FailNthAllocation("Qstr", 1);
    EXPECT_EQ(SetNodeTarget(node, &a), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Text(*node->Target), u"\\??\\UNC\\s\\x") << "a failed replacement keeps the old target";
}

TEST_F(TreeTest, TargetTooLongForACountedStringIsRefused) {
    TREE_NODE* node = Add(root_, u"m");
    std::u16string user = u"C:\\" + std::u16string(32762, u'x');  // the "\??\" prefix would overflow
    UNICODE_STRING target = Counted(user);
    EXPECT_EQ(SetNodeTarget(node, &target), STATUS_NAME_TOO_LONG);
    EXPECT_EQ(node->Target, nullptr);
}

// A deep chain of folders and a wide folder are freed without recursion.
TEST_F(TreeTest, FreesDeepAndWideTreesWithoutRecursion) {
    TREE_NODE* at = root_;
    for (int depth = 0; depth < 100000; ++depth) at = Add(at, u"d");
    for (int i = 0; i < 5000; ++i) Add(root_, u"w" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)) +
                                                 std::u16string(1, static_cast<char16_t>(0x100 + i / 26)));
    EXPECT_EQ(pool::LiveBlocks("QTN0"), 105001u);
    // TearDown frees it all and checks the pool.
}

}  // namespace
}  // namespace korin::drivercore

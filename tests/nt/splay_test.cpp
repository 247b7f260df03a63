// Splay links: rotations, deletion on every shape, and random operations
// checked against std::set.
#include "platform/nt/rtl.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <set>
#include <vector>

namespace {

struct Node {
    RTL_SPLAY_LINKS links;
    int key;
};

int KeyOf(PRTL_SPLAY_LINKS l) { return CONTAINING_RECORD(l, Node, links)->key; }

// A tree of Nodes owned by the fixture; root tracks the current tree root.
class Tree {
public:
    // Inserts by ordered descent without splaying, as the driver inserts children.
    Node* Insert(int key) {
        nodes_.push_back(std::make_unique<Node>());
        Node* n = nodes_.back().get();
        n->key = key;
        RtlInitializeSplayLinks(&n->links);
        byKey_[key] = n;
        if (!root) {
            root = &n->links;
            return n;
        }
        PRTL_SPLAY_LINKS p = root;
        for (;;) {
            if (key < KeyOf(p)) {
                if (!p->LeftChild) {
                    RtlInsertAsLeftChild(p, &n->links);
                    return n;
                }
                p = p->LeftChild;
            } else {
                if (!p->RightChild) {
                    RtlInsertAsRightChild(p, &n->links);
                    return n;
                }
                p = p->RightChild;
            }
        }
    }
    PRTL_SPLAY_LINKS Links(int key) { return &byKey_.at(key)->links; }

    std::vector<int> InOrder() const {
        std::vector<int> keys;
        Walk(root, keys);
        return keys;
    }
    // Every child points back at its parent; the root points at itself.
    void ExpectLinksConsistent() const {
        if (!root) return;
        EXPECT_TRUE(RtlIsRoot(root));
        Check(root);
    }
    // Parenthesised shape, e.g. "(1 2 (3))" is 2 with children 1 and 3.
    std::string Shape() const { return Shape(root); }

    PRTL_SPLAY_LINKS root = nullptr;

private:
    static void Walk(PRTL_SPLAY_LINKS l, std::vector<int>& keys) {
        if (!l) return;
        Walk(l->LeftChild, keys);
        keys.push_back(KeyOf(l));
        Walk(l->RightChild, keys);
    }
    static void Check(PRTL_SPLAY_LINKS l) {
        for (PRTL_SPLAY_LINKS c : {l->LeftChild, l->RightChild}) {
            if (!c) continue;
            EXPECT_EQ(c->Parent, l) << "child " << KeyOf(c) << " of " << KeyOf(l);
            Check(c);
        }
    }
    static std::string Shape(PRTL_SPLAY_LINKS l) {
        if (!l) return "-";
        if (!l->LeftChild && !l->RightChild) return std::to_string(KeyOf(l));
        return "(" + Shape(l->LeftChild) + " " + std::to_string(KeyOf(l)) + " " + Shape(l->RightChild) + ")";
    }

    std::vector<std::unique_ptr<Node>> nodes_;
    std::map<int, Node*> byKey_;
};

Tree Build(std::initializer_list<int> insertionOrder) {
    Tree t;
    for (int k : insertionOrder) t.Insert(k);
    return t;
}

struct SplayCase {
    const char* name;
    std::initializer_list<int> insert;
    int splay;
    const char* before;
    const char* after;
};

TEST(RtlSplay, RotationShapes) {
    const SplayCase cases[] = {
        {"root stays", {2, 1, 3}, 2, "(1 2 3)", "(1 2 3)"},
        {"zig left", {2, 1}, 1, "(1 2 -)", "(- 1 2)"},
        {"zig right", {1, 2}, 2, "(- 1 2)", "(1 2 -)"},
        {"zig-zig left", {3, 2, 1}, 1, "((1 2 -) 3 -)", "(- 1 (- 2 3))"},
        {"zig-zig right", {1, 2, 3}, 3, "(- 1 (- 2 3))", "((1 2 -) 3 -)"},
        {"zig-zag left-right", {3, 1, 2}, 2, "((- 1 2) 3 -)", "(1 2 3)"},
        {"zig-zag right-left", {1, 3, 2}, 2, "(- 1 (2 3 -))", "(1 2 3)"},
        {"zig-zig then zig", {4, 3, 2, 1}, 1, "(((1 2 -) 3 -) 4 -)", "(- 1 ((- 2 3) 4 -))"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Tree t = Build(c.insert);
        ASSERT_EQ(t.Shape(), c.before);
        PRTL_SPLAY_LINKS x = t.Links(c.splay);
        t.root = RtlSplay(x);
        EXPECT_EQ(t.root, x);
        EXPECT_TRUE(RtlIsRoot(x));
        EXPECT_EQ(t.Shape(), c.after);
        t.ExpectLinksConsistent();
    }
}

TEST(RtlSplay, EveryNodeOfABigTreeKeepsOrder) {
    Tree t;
    std::mt19937 rng(7);
    std::vector<int> keys(200);
    for (int i = 0; i < 200; ++i) keys[i] = i * 3;
    std::shuffle(keys.begin(), keys.end(), rng);
    for (int k : keys) t.Insert(k);
    std::vector<int> sorted = t.InOrder();
    std::shuffle(keys.begin(), keys.end(), rng);
    for (int k : keys) {
        t.root = RtlSplay(t.Links(k));
        ASSERT_EQ(KeyOf(t.root), k);
        ASSERT_EQ(t.InOrder(), sorted);
    }
    t.ExpectLinksConsistent();
}

struct DeleteCase {
    const char* name;
    std::initializer_list<int> insert;
    int remove;
};

TEST(RtlDelete, EveryShapeKeepsOrder) {
    const DeleteCase cases[] = {
        {"only node", {1}, 1},
        {"root with left child", {2, 1}, 2},
        {"root with right child", {1, 2}, 1},
        {"root with two children", {2, 1, 3}, 2},
        {"root, predecessor deep", {5, 2, 8, 1, 3, 4}, 5},
        {"leaf on the left", {2, 1, 3}, 1},
        {"leaf on the right", {2, 1, 3}, 3},
        {"inner node with left child only", {5, 3, 8, 2}, 3},
        {"inner node with right child only", {5, 3, 8, 4}, 3},
        {"inner node, predecessor is its left child", {10, 5, 15, 3, 7}, 5},
        {"inner node, predecessor deep with a left child", {10, 5, 15, 2, 8, 6, 7, 1}, 5},
        {"inner right node with two children", {10, 5, 15, 12, 20, 11}, 15},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Tree t = Build(c.insert);
        std::vector<int> expected = t.InOrder();
        expected.erase(std::find(expected.begin(), expected.end(), c.remove));
        PRTL_SPLAY_LINKS gone = t.Links(c.remove);
        t.root = RtlDelete(gone);
        EXPECT_EQ(t.InOrder(), expected);
        EXPECT_EQ(t.root == nullptr, expected.empty());
        t.ExpectLinksConsistent();
        EXPECT_TRUE(RtlIsRoot(gone)) << "the removed node is left in the single-node state";
        EXPECT_EQ(gone->LeftChild, nullptr);
        EXPECT_EQ(gone->RightChild, nullptr);
    }
}

TEST(RtlSplayAndDelete, RandomOperationsMatchStdSet) {
    std::mt19937 rng(12345);
    Tree t;
    std::set<int> model;
    std::uniform_int_distribution<int> keyDist(0, 999);
    for (int i = 0; i < 300; ++i) {
        int k = keyDist(rng);
        if (model.insert(k).second) t.Insert(k);
    }
    for (int step = 0; step < 2000 && !model.empty(); ++step) {
        auto it = model.begin();
        std::advance(it, std::uniform_int_distribution<size_t>(0, model.size() - 1)(rng));
        int k = *it;
        switch (rng() % 3) {
        case 0:
            t.root = RtlSplay(t.Links(k));
            ASSERT_EQ(KeyOf(t.root), k);
            break;
        case 1:
            t.root = RtlDelete(t.Links(k));
            model.erase(k);
            break;
        default: {
            int fresh = keyDist(rng) + 1000 * (step + 1);
            if (model.insert(fresh).second) t.Insert(fresh);
            break;
        }
        }
        ASSERT_EQ(t.InOrder(), std::vector<int>(model.begin(), model.end())) << "step " << step;
    }
    t.ExpectLinksConsistent();
}

TEST(RtlSubtreeSuccessorPredecessor, NearestInTheSubtree) {
    Tree t = Build({10, 5, 15, 3, 7, 12, 20, 6, 13});
    EXPECT_EQ(KeyOf(RtlSubtreeSuccessor(t.Links(10))), 12);
    EXPECT_EQ(KeyOf(RtlSubtreePredecessor(t.Links(10))), 7);
    EXPECT_EQ(KeyOf(RtlSubtreeSuccessor(t.Links(5))), 6);
    EXPECT_EQ(KeyOf(RtlSubtreePredecessor(t.Links(15))), 13);
    EXPECT_EQ(RtlSubtreeSuccessor(t.Links(20)), nullptr);
    EXPECT_EQ(RtlSubtreePredecessor(t.Links(3)), nullptr);
    EXPECT_EQ(RtlSubtreeSuccessor(t.Links(7)), nullptr) << "the successor above is not in the subtree";
}

}  // namespace

// Records: what a new FCB and CCB hold, the signature checks behind
// FsContext, and clean failures when pool is exhausted.
#include "core_fixture.h"

#include "platform/nt/pool.h"

#include <cstring>
#include <memory>

namespace korin::drivercore {
namespace {

class RecordTest : public ::testing::Test {
protected:
    void TearDown() override {
        pool::ClearInjectedFailures();
        for (const char* tag : {"RDcb", "RCcb", "QTN0", "RDi2"}) EXPECT_EQ(pool::LiveByTag().count(tag), 0u) << tag;
    }
};

TEST_F(RecordTest, NewFcbIsAFolderOfItsDrive) {
    auto vcb = std::make_unique<VCB>();
    FCB* fcb = AllocateFcb(vcb.get());
    ASSERT_NE(fcb, nullptr);
    EXPECT_EQ(pool::LiveBlocks("RDcb"), 1u);
    EXPECT_EQ(fcb->Header.NodeTypeCode, 0x0503);
    EXPECT_EQ(fcb->Header.NodeByteSize, static_cast<SHORT>(sizeof(FCB)));
    EXPECT_EQ(fcb->Header.IsFastIoPossible, FastIoIsNotPossible);
    EXPECT_EQ(fcb->Header.Resource, &fcb->MainResource);
    EXPECT_EQ(fcb->Header.FileSize.QuadPart, 0);
    EXPECT_EQ(std::memcmp(fcb->Signature, "FCB:", 4), 0);
    EXPECT_EQ(fcb->Size, sizeof(FCB));
    EXPECT_EQ(fcb->Vcb, vcb.get());
    EXPECT_EQ(fcb->FileAttributes, 0x90u);
    EXPECT_EQ(fcb->OpenHandleCount + fcb->ReferenceCount + fcb->FcbState, 0u);
    EXPECT_EQ(fcb->ShareAccess.OpenCount, 0u);
    // The resource is real: it can be taken and given back.
    EXPECT_TRUE(ExAcquireResourceExclusiveLite(&fcb->MainResource, FALSE));
    ExReleaseResourceLite(&fcb->MainResource);
    EXPECT_TRUE(IsFcb(fcb));
    EXPECT_FALSE(IsVcb(fcb));
    FreeFcb(fcb);
}

TEST_F(RecordTest, FreeFcbDetachesItFromItsNode) {
    TREE_NODE* node;
    ASSERT_EQ(AllocateTreeNode(&node), STATUS_SUCCESS);
    FCB* fcb = AllocateFcb(nullptr);
    ASSERT_NE(fcb, nullptr);
    fcb->Node = node;
    node->Fcb = fcb;
    FreeFcb(fcb);
    EXPECT_EQ(node->Fcb, nullptr);
    FreeTreeNode(node);
}

TEST_F(RecordTest, NewNodeStandsAlone) {
    TREE_NODE* node;
    ASSERT_EQ(AllocateTreeNode(&node), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(node->Signature, "TRE:", 4), 0);
    EXPECT_EQ(node->Size, sizeof(TREE_NODE));
    EXPECT_EQ(node->Target, nullptr);
    EXPECT_EQ(node->ChildrenRoot, nullptr);
    EXPECT_TRUE(RtlIsRoot(&node->Links));
    EXPECT_EQ(node->Links.LeftChild, nullptr);
    EXPECT_EQ(node->Links.RightChild, nullptr);
    EXPECT_TRUE(IsListEmpty(&node->ChildList));
    EXPECT_EQ(node->Fcb, nullptr);
    EXPECT_EQ(node->Parent, nullptr);
    FreeTreeNode(node);
}

TEST_F(RecordTest, RootNameIsStaticAndNeverFreed) {
    TREE_NODE* root;
    ASSERT_EQ(AllocateTreeNode(&root), STATUS_SUCCESS);
    NameRootNode(root);
    EXPECT_EQ(Text(root->Name), u"\\");
    EXPECT_EQ(root->Name.Length, 2);
    EXPECT_EQ(root->Name.MaximumLength, 4);
    FreeTreeNode(root);  // would abort if it freed the static name
}

TEST_F(RecordTest, NewCcbIsPositionedBeforeEverything) {
    CCB* ccb = AllocateCcb();
    ASSERT_NE(ccb, nullptr);
    EXPECT_EQ(ccb->NodeTypeCode, 0x0507);
    EXPECT_EQ(ccb->NodeByteSize, static_cast<SHORT>(sizeof(CCB)));
    EXPECT_EQ(std::memcmp(ccb->Signature, "CCB:", 4), 0);
    EXPECT_EQ(ccb->Size, sizeof(CCB));
    EXPECT_EQ(ccb->CurrentEntry, nullptr);
    EXPECT_EQ(ccb->SearchPattern.Buffer, nullptr);
    EXPECT_EQ(ccb->SearchPattern.Length, 0);
    EXPECT_EQ(ccb->EntriesReturned, 0u);
    // A pattern saved by a directory query goes with the CCB.
    ccb->SearchPattern.Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, 8, TAG_SAVED_PATTERN));
    ccb->SearchPattern.Length = ccb->SearchPattern.MaximumLength = 8;
    FreeCcb(ccb);
}

TEST_F(RecordTest, SignatureChecksNeedSignatureAndSize) {
    auto vcb = std::make_unique<VCB>();
    std::memcpy(vcb->Signature, "VCB:", 4);
    vcb->Size = sizeof(VCB);
    EXPECT_TRUE(IsVcb(vcb.get()));
    EXPECT_FALSE(IsFcb(vcb.get()));
    vcb->Size = sizeof(VCB) + 1;
    EXPECT_FALSE(IsVcb(vcb.get())) << "a wrong size is not a VCB";
    EXPECT_FALSE(IsVcb(nullptr));
    EXPECT_FALSE(IsFcb(nullptr));
}

TEST_F(RecordTest, ExhaustedPoolFailsEveryAllocation) {
    pool::FailNthAllocation("QTN0", 1);
    TREE_NODE* node = reinterpret_cast<TREE_NODE*>(0x1);
    EXPECT_EQ(AllocateTreeNode(&node), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(node, reinterpret_cast<TREE_NODE*>(0x1));
    pool::FailNthAllocation("RDcb", 1);
    EXPECT_EQ(AllocateFcb(nullptr), nullptr);
    pool::FailNthAllocation("RCcb", 1);
    EXPECT_EQ(AllocateCcb(), nullptr);
}

}  // namespace
}  // namespace korin::drivercore

// Caller buffers: probing against the ranges a system call declared, and MDLs.
#include "platform/nt/exceptions.h"
#include "platform/nt/io.h"
#include "platform/nt/pool.h"

#include <gtest/gtest.h>

namespace korin::test {
namespace {

NTSTATUS Raised(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const NtStatusException& e) {
        return e.status();
    }
    return STATUS_SUCCESS;
}

TEST(ProbeTest, OnlyDeclaredRangesOfThisThreadPass) {
    alignas(8) char buffer[64];
    EXPECT_EQ(Raised([&] { ProbeForWrite(buffer, 8, 1); }), STATUS_ACCESS_VIOLATION);
    {
        io::UserBufferScope scope(buffer, 32);
        EXPECT_EQ(Raised([&] { ProbeForWrite(buffer, 32, 1); }), STATUS_SUCCESS);
        EXPECT_EQ(Raised([&] { ProbeForRead(buffer + 8, 24, 4); }), STATUS_SUCCESS);
        EXPECT_EQ(Raised([&] { ProbeForWrite(buffer, 33, 1); }), STATUS_ACCESS_VIOLATION);
        EXPECT_EQ(Raised([&] { ProbeForWrite(buffer + 1, 8, 4); }), STATUS_DATATYPE_MISALIGNMENT);
        EXPECT_EQ(Raised([&] { ProbeForWrite(buffer + 40, 0, 1); }), STATUS_SUCCESS);  // nothing to probe
        NTSTATUS otherThread = STATUS_SUCCESS;
        std::thread([&] { otherThread = Raised([&] { ProbeForWrite(buffer, 8, 1); }); }).join();
        EXPECT_EQ(otherThread, STATUS_ACCESS_VIOLATION);
    }
    EXPECT_EQ(Raised([&] { ProbeForWrite(buffer, 8, 1); }), STATUS_ACCESS_VIOLATION);
}

TEST(MdlTest, AUserBufferIsLockedMappedAndFreedWithItsIrp) {
    char buffer[100];
    IRP irp{};
    size_t before = pool::LiveBlocks("IoMd");
    PMDL mdl = IoAllocateMdl(buffer + 3, 50, FALSE, FALSE, &irp);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(irp.MdlAddress, mdl);
    EXPECT_EQ(mdl->ByteCount, 50u);
    EXPECT_EQ(static_cast<char*>(mdl->StartVa) + mdl->ByteOffset, buffer + 3);
    EXPECT_EQ(MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority), nullptr);

    EXPECT_EQ(Raised([&] { MmProbeAndLockPages(mdl, UserMode, IoWriteAccess); }), STATUS_ACCESS_VIOLATION);
    EXPECT_FALSE(mdl->MdlFlags & MDL_PAGES_LOCKED);
    {
        io::UserBufferScope scope(buffer, sizeof buffer);
        EXPECT_EQ(Raised([&] { MmProbeAndLockPages(mdl, UserMode, IoWriteAccess); }), STATUS_SUCCESS);
    }
    EXPECT_TRUE(mdl->MdlFlags & MDL_PAGES_LOCKED);
    PVOID mapped = MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority);
    EXPECT_EQ(mapped, buffer + 3);
    EXPECT_TRUE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);

    PMDL second = IoAllocateMdl(buffer, 10, TRUE, FALSE, &irp);
    EXPECT_EQ(mdl->Next, second);
    MmUnlockPages(mdl);
    IoFreeMdl(second);
    IoFreeMdl(mdl);
    EXPECT_EQ(pool::LiveBlocks("IoMd"), before);
}

TEST(MdlTest, KernelBuffersNeedNoDeclaration) {
    char buffer[16];
    PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
    EXPECT_EQ(Raised([&] { MmProbeAndLockPages(mdl, KernelMode, IoReadAccess); }), STATUS_SUCCESS);
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
}

}  // namespace
}  // namespace korin::test

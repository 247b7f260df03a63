// Kernel pool: heap blocks with a hidden header carrying the tag, per-tag
// live counts and injected allocation failures.
#include "pool.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

namespace {

constexpr ULONG kNoneTag = PoolTag("None");
constexpr uint64_t kLiveMagic = 0x4B4F52494E504F4CULL;  // "KORINPOL"
constexpr uint64_t kFreedMagic = 0x46524545444F4F4CULL;
constexpr unsigned char kNewFill = 0xCD;   // fresh blocks: pool is not zeroed
constexpr unsigned char kFreedFill = 0xDD;  // freed blocks, before release

// Precedes every block; its size keeps the caller's block 16-byte aligned.
struct alignas(16) BlockHeader {
    uint64_t magic;
    ULONG tag;
    POOL_TYPE type;
    SIZE_T bytes;
};
static_assert(sizeof(BlockHeader) % 16 == 0);

struct PoolState {
    std::mutex mutex;
    std::unordered_map<ULONG, size_t> live;         // tag -> live blocks
    std::unordered_map<ULONG, unsigned> failNth;    // tag -> allocations left until the failing one
    std::unordered_set<ULONG> failAll;
};

// Never destroyed: blocks may be freed by threads that outlive static destructors.
PoolState& State() {
    static PoolState* state = new PoolState;
    return *state;
}

[[noreturn]] void PoolBug(const char* what, PVOID block, ULONG tag, ULONG expected) {
    std::fprintf(stderr, "KORIN POOL BUG: %s (block %p, tag \"%s\", freed with \"%s\")\n", what, block,
                 korin::pool::TagText(tag).c_str(), korin::pool::TagText(expected).c_str());
    std::fflush(stderr);
    std::abort();
}

// True when an injected failure applies to this allocation of tag. Tag 0 in
// an injection stands for every tag. Called with the state locked.
bool ShouldFail(PoolState& s, ULONG tag) {
    if (s.failAll.count(tag) || s.failAll.count(0)) return true;
    bool fail = false;
    for (ULONG key : {tag, ULONG{0}}) {
        auto it = s.failNth.find(key);
        if (it == s.failNth.end()) continue;
        if (--it->second == 0) {
            s.failNth.erase(it);
            fail = true;
        }
        if (key == 0) break;
    }
    return fail;
}

}  // namespace

PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag) {
    if (bytes > SIZE_MAX / 2) return nullptr;
    PoolState& s = State();
    {
        std::lock_guard lock(s.mutex);
        if (ShouldFail(s, tag)) return nullptr;
    }
    auto* header = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + bytes));
    if (!header) return nullptr;
    header->magic = kLiveMagic;
    header->tag = tag;
    header->type = type;
    header->bytes = bytes;
    std::memset(header + 1, kNewFill, bytes);
    {
        std::lock_guard lock(s.mutex);
        ++s.live[tag];
    }
    return header + 1;
}

PVOID ExAllocatePool(POOL_TYPE type, SIZE_T bytes) { return ExAllocatePoolWithTag(type, bytes, kNoneTag); }

void ExFreePoolWithTag(PVOID block, ULONG tag) {
    if (!block) PoolBug("free of a NULL block", block, 0, tag);
    auto* header = static_cast<BlockHeader*>(block) - 1;
    if (header->magic == kFreedMagic) PoolBug("block freed twice", block, header->tag, tag);
    if (header->magic != kLiveMagic) PoolBug("free of a block that is not from pool", block, 0, tag);
    if (tag != 0 && tag != header->tag) PoolBug("block freed with the wrong tag", block, header->tag, tag);
    PoolState& s = State();
    {
        std::lock_guard lock(s.mutex);
        auto it = s.live.find(header->tag);
        if (it == s.live.end() || it->second == 0) PoolBug("live count underflow", block, header->tag, tag);
        if (--it->second == 0) s.live.erase(it);
    }
    std::memset(block, kFreedFill, header->bytes);
    header->magic = kFreedMagic;
    std::free(header);
}

void ExFreePool(PVOID block) { ExFreePoolWithTag(block, 0); }

namespace korin::pool {

size_t LiveBlocks(ULONG tag) {
    PoolState& s = State();
    std::lock_guard lock(s.mutex);
    if (tag != 0) {
        auto it = s.live.find(tag);
        return it == s.live.end() ? 0 : it->second;
    }
    size_t total = 0;
    for (const auto& [t, count] : s.live) total += count;
    return total;
}

size_t LiveBlocks(const char (&tag)[5]) { return LiveBlocks(PoolTag(tag)); }

std::map<std::string, size_t> LiveByTag() {
    PoolState& s = State();
    std::lock_guard lock(s.mutex);
    std::map<std::string, size_t> result;
    for (const auto& [t, count] : s.live) result[TagText(t)] += count;
    return result;
}

void FailNthAllocation(ULONG tag, unsigned nth) {
    PoolState& s = State();
    std::lock_guard lock(s.mutex);
    if (nth == 0)
        s.failNth.erase(tag);
    else
        s.failNth[tag] = nth;
}

void FailNthAllocation(const char (&tag)[5], unsigned nth) { FailNthAllocation(PoolTag(tag), nth); }

void FailAllAllocations(ULONG tag, bool fail) {
    PoolState& s = State();
    std::lock_guard lock(s.mutex);
    if (fail)
        s.failAll.insert(tag);
    else
        s.failAll.erase(tag);
}

void ClearInjectedFailures() {
    PoolState& s = State();
    std::lock_guard lock(s.mutex);
    s.failNth.clear();
    s.failAll.clear();
}

std::string TagText(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        auto c = static_cast<unsigned char>(tag >> (8 * i));
        if (c < 0x20 || c > 0x7E) {
            char hex[16];
            std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(tag));
            return hex;
        }
        text += static_cast<char>(c);
    }
    return text;
}

}  // namespace korin::pool

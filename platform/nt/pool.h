// Kernel pool with per-tag accounting and injected allocation failures.
//
// Every block carries its four-character tag. The pool counts live blocks per
// tag so tests can prove that what should be freed was freed, and a test can
// make the Nth allocation of a tag fail to exercise out-of-memory paths.
#pragma once

#include "ntbase.h"

#include <map>
#include <string>

enum POOL_TYPE { NonPagedPool = 0, PagedPool = 1, NonPagedPoolNx = 512 };

// Tags are written as in the source, e.g. PoolTag("QTN0"), and stored the way
// the kernel stores them (first character in the low byte).
constexpr ULONG PoolTag(const char (&t)[5]) {
    return static_cast<ULONG>(static_cast<UCHAR>(t[0])) | static_cast<ULONG>(static_cast<UCHAR>(t[1])) << 8 |
           static_cast<ULONG>(static_cast<UCHAR>(t[2])) << 16 | static_cast<ULONG>(static_cast<UCHAR>(t[3])) << 24;
}

PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag);
PVOID ExAllocatePool(POOL_TYPE type, SIZE_T bytes);  // tag "None"
// tag 0: any tag. A wrong tag, a double free or a foreign block aborts (a driver bug).
void ExFreePoolWithTag(PVOID block, ULONG tag);
void ExFreePool(PVOID block);

namespace korin::pool {

// Live blocks of a tag (or of all tags when tag is 0).
size_t LiveBlocks(ULONG tag = 0);
size_t LiveBlocks(const char (&tag)[5]);
// Live block counts by tag text, e.g. {"QTN0": 3}. Tags with no live block are absent.
std::map<std::string, size_t> LiveByTag();
// Injections: tag 0 stands for every tag. New blocks are filled with 0xCD, as
// pool is not zeroed.
// The nth (1-based) allocation of tag from now on fails; 0 clears the injection.
void FailNthAllocation(ULONG tag, unsigned nth);
void FailNthAllocation(const char (&tag)[5], unsigned nth);
// Every allocation of tag fails until cleared.
void FailAllAllocations(ULONG tag, bool fail);
void ClearInjectedFailures();
std::string TagText(ULONG tag);

}  // namespace korin::pool

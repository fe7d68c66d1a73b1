// Inside the ESL heap: the region and block layout, shared by the heap and
// its consistency checker. Not for use outside esl/.
//
// A heap is a chain of regions. Each region starts with a Region header and
// continues with blocks, each behind an 8-byte header:
//
//   word 0  bits 0-27  contents size in units of 4 bytes
//           bit 28     block mark (set in every valid header)
//           bit 29     first block of its region (the free-list head, never handed out)
//           bit 30     last block of its region
//           bit 31     free
//   word 1             the physically preceding block (for the first block, the region)
//
// A free block keeps its free-list links in the first two words of its
// contents: the previous free block (null for the head) and the next one.
//
// On the 32-bit target every link is a plain address, as the layout above
// says. Where addresses are 64 bits wide the headers keep their size: the
// back link is stored as the distance down to the preceding header and the
// free-list links as offsets from the start of the region (0 for none).
//
// Everything here has internal linkage: the heap is compiled without
// AddressSanitizer instrumentation (it reads and writes the poisoned headers)
// and must not share inline code with instrumented files.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "esl/heap.h"
#include "esl/platform.h"

namespace eslheap {

namespace {

const uint32_t kSizeMask = 0x0FFFFFFFu;
const uint32_t kBlockMark = 1u << 28;
const uint32_t kFirstBlock = 1u << 29;
const uint32_t kLastBlock = 1u << 30;
const uint32_t kFreeBlock = 1u << 31;
const uint32_t kFlagBits = ~kSizeMask;

#if UINTPTR_MAX == 0xFFFFFFFFu
#define ESL_HEAP_ADDRESS_LINKS 1
#endif

struct Block {
    uint32_t word;
    uint32_t back;
};
static_assert(sizeof(Block) == 8, "a block header is two 32-bit words");

struct RegionIndex;

// Regions start on 16-byte boundaries, and the header's size is a multiple of 16.
struct alignas(16) Region {
    Region* next;
    Region* previous;
    Block* firstFree;  // the region's first block, or null for a large-block region
    uint32_t freeBytes;
    uint32_t largestFree;
    uint32_t growth;   // first region only
    Region* last;      // first region only; null while the chain is the first region alone
    uint32_t flags;
    uint32_t size;     // bytes of the region, header included
    volatile long references;  // first region only
    Region* parent;
    void* parentBlock;
    eslp::Lock lock;   // first region of a heap without heapNoLock only
    // First region only: the address-ordered index of the heap's regions,
    // made when a second region joins (null while the heap has one).
    RegionIndex* index;
    // First region only: the blocks of this heap that hold regions of heaps
    // nested in it, whose contents look like blocks but are not this heap's.
    RegionIndex* nested;
};

// Where a pointer's region is found without reading anything outside the
// heap's own memory: address ranges sorted by their start, in memory of
// their own. The ranges of one index never overlap.
struct RegionIndex {
    uint32_t count;
    uint32_t capacity;
    uint32_t bytes;  // of this index
    struct Entry {
        const char* start;
        const char* end;
        Region* region;
    } entries[1];
};

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(CRITICAL_SECTION) == 24, "the 32-bit critical section");
static_assert(offsetof(Region, lock) == 48, "the lock lies at offset 48");
static_assert(sizeof(Region) == 80, "the region header is 80 bytes");
#endif
// Large blocks are cut from the end of a page-sized region so that they
// stay 16-byte aligned; that needs the header to be a multiple of 16.
static_assert(sizeof(Region) % 16 == 0, "region header size");

const uint32_t kRegionHeader = sizeof(Region);

struct StackRegion {
    StackRegion* next;
    StackRegion* current;  // first region only
    uint32_t growth;
    char* base;
    uint32_t usable;
    uint32_t used;
    uint32_t reserved[2];
};
#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(StackRegion) == 32, "the stack-heap header is 32 bytes");
#endif
const uint32_t kStackHeader = (sizeof(StackRegion) + 15u) & ~15u;

inline uint32_t SizeOf(const Block* b) { return (b->word & kSizeMask) << 2; }
inline void SetSize(Block* b, uint32_t bytes) { b->word = (b->word & kFlagBits) | (bytes >> 2); }
inline char* Contents(Block* b) { return reinterpret_cast<char*>(b + 1); }
inline Block* HeaderOf(void* contents) { return static_cast<Block*>(contents) - 1; }
inline Block* NextBlock(Block* b) { return reinterpret_cast<Block*>(Contents(b) + SizeOf(b)); }
inline Block* FirstBlock(Region* r) {
    return reinterpret_cast<Block*>(reinterpret_cast<char*>(r) + kRegionHeader);
}
inline char* RegionEnd(Region* r) { return reinterpret_cast<char*>(r) + r->size; }

// The physically preceding header; for the first block, the region.
inline void* Back(const Block* b) {
#if defined(ESL_HEAP_ADDRESS_LINKS)
    return reinterpret_cast<void*>(static_cast<uintptr_t>(b->back));
#else
    return const_cast<char*>(reinterpret_cast<const char*>(b)) - b->back;
#endif
}
inline void SetBack(Block* b, const void* p) {
#if defined(ESL_HEAP_ADDRESS_LINKS)
    b->back = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
#else
    b->back = static_cast<uint32_t>(reinterpret_cast<const char*>(b) - static_cast<const char*>(p));
#endif
}

inline uint32_t* Links(Block* b) { return reinterpret_cast<uint32_t*>(b + 1); }
inline Block* DecodeLink(Region* r, uint32_t v) {
    if (v == 0)
        return nullptr;
#if defined(ESL_HEAP_ADDRESS_LINKS)
    (void)r;
    return reinterpret_cast<Block*>(static_cast<uintptr_t>(v));
#else
    return reinterpret_cast<Block*>(reinterpret_cast<char*>(r) + v);
#endif
}
inline uint32_t EncodeLink(Region* r, const Block* b) {
    if (b == nullptr)
        return 0;
#if defined(ESL_HEAP_ADDRESS_LINKS)
    (void)r;
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(b));
#else
    return static_cast<uint32_t>(reinterpret_cast<const char*>(b) - reinterpret_cast<char*>(r));
#endif
}
inline Block* FreePrev(Region* r, Block* b) { return DecodeLink(r, Links(b)[0]); }
inline Block* FreeNext(Region* r, Block* b) { return DecodeLink(r, Links(b)[1]); }
inline void SetFreePrev(Region* r, Block* b, const Block* p) { Links(b)[0] = EncodeLink(r, p); }
inline void SetFreeNext(Region* r, Block* b, const Block* p) { Links(b)[1] = EncodeLink(r, p); }

}  // namespace

}  // namespace eslheap

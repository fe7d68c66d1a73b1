// ESL heap: regions from the system carved into blocks with 8-byte headers,
// first-fit free lists per region, large requests in regions of their own,
// and the stack heap, a bump allocator released all at once.
//
// With ESL_HEAP_POISON (sanitizer builds) this file is compiled without
// AddressSanitizer instrumentation and tells the sanitizer instead what its
// callers may touch: headers and free bytes are poisoned, and a block handed
// out is addressable for exactly the bytes that were asked for.
#include "esl/heap.h"

#include <stdio.h>

#include <atomic>

#include "esl/heap_debug.h"
#include "esl/heap_layout.h"
#include "esl/memory.h"
#include "esl/object.h"
#include "esl/platform.h"

#if defined(ESL_HEAP_POISON)
#include <sanitizer/asan_interface.h>
#include <sanitizer/lsan_interface.h>
#endif

using namespace eslheap;

namespace {

// A region's single free block must fit the header's 28-bit unit count.
const uint32_t kMaxRegion = (1u << 30) - 4096u;
// Largest rounded request: the region made for it stays within kMaxRegion.
const uint32_t kMaxRequest = kMaxRegion - 4096u;
const uint32_t kDefaultSize = 65536u;

const char kInvalidFree[] = "無効なメモリブロックをヒープから解放しようとしました。\n";
const char kInvalidPointer[] = "無効なポインタを解放しようとしました。\n";
const char kNoMemoryText[] =
    "メモリ確保に失敗しました。\n他のアプリケーションで使用しているメモリを解放してください。\n"
    "メモリ確保を再実行しますか？";
const char kNoMemoryCaption[] = "◆ ESL メモリアロケーション ◆";

std::atomic<Region*> g_globalHeap{nullptr};
std::atomic<unsigned int> g_failRegions{0};
std::atomic<ESLQuestionHook> g_questionHook{nullptr};
std::atomic<ESLHeapTraceHook> g_traceHook{nullptr};

inline void Traced(ESLHeap heap, char op, void* block, unsigned int size, void* result) {
    if (ESLHeapTraceHook hook = g_traceHook.load(std::memory_order_relaxed))
        hook(heap, op, block, size, result);
}

uint32_t RoundUp4096(uint32_t x) { return (x + 4095u) & ~4095u; }
uint32_t RoundRequest(uint32_t size) { return size == 0 ? 8u : (size + 7u) & ~7u; }

// --- what the sanitizer may know ---

void Poison(const void* p, size_t n) {
#if defined(ESL_HEAP_POISON)
    if (n != 0)
        __asan_poison_memory_region(p, n);
#else
    (void)p;
    (void)n;
#endif
}

void Unpoison(const void* p, size_t n) {
#if defined(ESL_HEAP_POISON)
    if (n != 0)
        __asan_unpoison_memory_region(p, n);
#else
    (void)p;
    (void)n;
#endif
}

// Hands a block's first `size` bytes to its owner; with zero fill, the
// contents from `zeroFrom` to the end are cleared first.
void Expose(Block* b, uint32_t size, uint32_t zeroFrom, bool zero) {
    char* c = Contents(b);
    uint32_t length = SizeOf(b);
    if (size == 0)
        size = 1;  // a request of 0 counts as 1
    if (size > length)
        size = length;
    Unpoison(c, length);
    if (zero && zeroFrom < length)
        eslFillMemory(c + zeroFrom, 0, length - zeroFrom);
    Poison(c + size, length - size);
}

void ConcealFree(Block* b) { Poison(Contents(b), SizeOf(b)); }

// --- regions ---

Region* AsRegion(ESLHeap heap) { return static_cast<Region*>(heap); }

bool HasLock(const Region* h) { return !(h->flags & heapNoLock); }

class Guard {
public:
    Guard(Region* h, uint32_t flags) : m_heap(!(flags & heapNoLock) && HasLock(h) ? h : nullptr) {
        if (m_heap != nullptr)
            eslp::EnterLock(&m_heap->lock);
    }
    ~Guard() {
        if (m_heap != nullptr)
            eslp::LeaveLock(&m_heap->lock);
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

private:
    Region* m_heap;
};

bool AskForMemory() {
    ESLQuestionHook hook = g_questionHook.load();
    if (hook != nullptr)
        return hook(kNoMemoryText, kNoMemoryCaption);
    return eslp::AskYesNo(kNoMemoryText, kNoMemoryCaption);
}

void* SystemRegion(uint32_t size, bool executable) {
    unsigned int fail = g_failRegions.load();
    while (fail != 0) {
        if (g_failRegions.compare_exchange_weak(fail, fail - 1))
            return nullptr;
    }
    return eslp::AllocateRegion(size, executable);
}

// System memory for a region or an index page: when there is none, the
// out-of-memory question, and a retry while the user wants one. Null when
// the user gives up.
void* SystemRegionAsking(uint32_t size, bool executable) {
    void* memory;
    while ((memory = SystemRegion(size, executable)) == nullptr) {
        if (!AskForMemory())
            return nullptr;
    }
    return memory;
}

// --- the region indexes ---

RegionIndex::Entry EntryOf(const void* start, const void* end, Region* r) {
    RegionIndex::Entry e;
    e.start = static_cast<const char*>(start);
    e.end = static_cast<const char*>(end);
    e.region = r;
    return e;
}

RegionIndex::Entry EntryOf(Region* r) { return EntryOf(r, RegionEnd(r), r); }

// Position of the first entry that starts above `p`.
uint32_t UpperBound(const RegionIndex* x, const void* p) {
    uint32_t low = 0, high = x->count;
    while (low < high) {
        uint32_t mid = (low + high) / 2;
        if (x->entries[mid].start <= static_cast<const char*>(p))
            low = mid + 1;
        else
            high = mid;
    }
    return low;
}

// The entry whose range holds `p`, or null.
const RegionIndex::Entry* Find(const RegionIndex* x, const void* p) {
    if (x == nullptr)
        return nullptr;
    uint32_t at = UpperBound(x, p);
    if (at == 0 || static_cast<const char*>(p) >= x->entries[at - 1].end)
        return nullptr;
    return &x->entries[at - 1];
}

// An index's page is system memory like a region's, and a lack of it is
// handled the same way: the question, and a retry.
RegionIndex* NewIndex(uint32_t capacity) {
    uint32_t bytes = RoundUp4096(static_cast<uint32_t>(sizeof(RegionIndex) + capacity * sizeof(RegionIndex::Entry)));
    void* memory = SystemRegionAsking(bytes, false);
    if (memory == nullptr)
        return nullptr;
    RegionIndex* x = static_cast<RegionIndex*>(memory);
    x->count = 0;
    x->bytes = bytes;
    x->capacity = static_cast<uint32_t>((bytes - sizeof(RegionIndex)) / sizeof(RegionIndex::Entry)) + 1;
    return x;
}

void FreeIndex(RegionIndex* x) {
    if (x != nullptr)
        eslp::FreeRegion(x, x->bytes);
}

// Makes room for one more entry, before anything is taken that would need
// it; a new index starts with `seed` when one is given. False when no memory
// can be had and the user gives up.
bool Reserve(RegionIndex** slot, const RegionIndex::Entry* seed) {
    RegionIndex* x = *slot;
    if (x != nullptr && x->count < x->capacity)
        return true;
    RegionIndex* bigger = NewIndex(x == nullptr ? 16u : x->capacity * 2u);
    if (bigger == nullptr)
        return false;
    if (x == nullptr) {
        if (seed != nullptr)
            bigger->entries[bigger->count++] = *seed;
    } else {
        for (uint32_t i = 0; i < x->count; ++i)
            bigger->entries[i] = x->entries[i];
        bigger->count = x->count;
        FreeIndex(x);
    }
    *slot = bigger;
    return true;
}

// The heap's own index, with its first region, has room for one more region.
bool ReserveRegion(Region* h) {
    RegionIndex::Entry first = EntryOf(h);
    return Reserve(&h->index, &first);
}

// Adds an entry to an index that has room for it.
void Insert(RegionIndex* x, const RegionIndex::Entry& e) {
    uint32_t at = UpperBound(x, e.start);
    for (uint32_t i = x->count; i > at; --i)
        x->entries[i] = x->entries[i - 1];
    x->entries[at] = e;
    ++x->count;
}

void Remove(RegionIndex* x, const void* start) {
    if (x == nullptr)
        return;
    uint32_t at = UpperBound(x, start);
    if (at == 0 || x->entries[at - 1].start != start)
        return;
    for (uint32_t i = at - 1; i + 1 < x->count; ++i)
        x->entries[i] = x->entries[i + 1];
    --x->count;
}

// What a nested heap's region occupies in its parent: all of the parent's
// block but its start, which alone is the parent's to free.
const void* NestedStart(void* parentBlock) { return static_cast<char*>(parentBlock) + sizeof(Block); }

// Gives a region's memory back to where it came from.
void ReturnRegion(Region* r) {
    Region* parent = r->parent;
    void* parentBlock = r->parentBlock;
    uint32_t size = r->size;
#if defined(ESL_HEAP_POISON)
    __lsan_unregister_root_region(r, size);
#endif
    Unpoison(r, size);
    if (parent != nullptr) {
        {
            Guard held(parent, parent->flags);
            Remove(parent->nested, NestedStart(parentBlock));
            eslHeapFree(parent, parentBlock, 0);
        }
        eslHeapDestroy(parent);
    } else {
        eslp::FreeRegion(r, size);
    }
}

// Region memory from the parent heap, recorded there as a nested heap's so
// that the parent never takes the blocks in it for its own. Null when no
// memory can be had and the user gives up.
void* BorrowFromParent(Region* parent, uint32_t size, void** parentBlock) {
    // Held across reserving, allocating and recording, so the room reserved
    // is still there.
    Guard held(parent, parent->flags);
    void* block;
    for (;;) {
        if (!Reserve(&parent->nested, nullptr))
            return nullptr;
        block = eslHeapAllocate(parent, size + 16, heapZeroFill);
        if (block != nullptr)
            break;
        if (!AskForMemory())
            return nullptr;
    }
    Insert(parent->nested, EntryOf(NestedStart(block), static_cast<char*>(block) + SizeOf(HeaderOf(block)), parent));
    *parentBlock = block;
    return reinterpret_cast<void*>((reinterpret_cast<uintptr_t>(block) + 15u) & ~uintptr_t(15));
}

// A region with one free block filling it; a heap of its own until linked
// into a chain. Null when no memory can be had and the user gives up.
Region* NewRegion(uint32_t size, uint32_t growth, uint32_t flags, Region* parent) {
    if (size < kRegionHeader + 64 || size > kMaxRegion)
        return nullptr;
    void* memory = nullptr;
    void* parentBlock = nullptr;
    if (parent != nullptr) {
        memory = BorrowFromParent(parent, size, &parentBlock);
        if (memory == nullptr)
            return nullptr;
        Unpoison(memory, size);  // the parent exposed only what it was asked for, from the block start
    } else {
        memory = SystemRegionAsking(size, true);
        if (memory == nullptr)
            return nullptr;
    }
    Region* r = static_cast<Region*>(memory);
    r->next = nullptr;
    r->previous = nullptr;
    r->last = nullptr;
    r->growth = growth;
    r->flags = flags;
    r->size = size;
    r->references = 1;
    r->parent = parent;
    r->parentBlock = parentBlock;
    r->index = nullptr;
    r->nested = nullptr;
    if (parent != nullptr)
        eslp::AtomicIncrement(&parent->references);
    if (!(flags & heapNoLock))
        eslp::InitLock(&r->lock);
    Block* b = FirstBlock(r);
    uint32_t bytes = size - kRegionHeader - sizeof(Block);
    b->word = (bytes >> 2) | kBlockMark | kFirstBlock | kLastBlock | kFreeBlock;
    SetBack(b, r);
    SetFreePrev(r, b, nullptr);
    SetFreeNext(r, b, nullptr);
    r->firstFree = b;
    r->freeBytes = bytes;
    r->largestFree = bytes;
#if defined(ESL_HEAP_POISON)
    __lsan_register_root_region(r, size);
#endif
    // The region header stays addressable: the lock and the reference count
    // are worked on by platform code that the sanitizer watches.
    Poison(b, size - kRegionHeader);
    return r;
}

Region* LastRegion(Region* h) { return h->last != nullptr ? h->last : h; }

void Unlink(Region* h, Region* r) {
    r->previous->next = r->next;
    if (r->next != nullptr)
        r->next->previous = r->previous;
    else
        h->last = r->previous == h ? nullptr : r->previous;
    r->next = r->previous = nullptr;
}

void InsertAfterFirst(Region* h, Region* r) {
    r->previous = h;
    r->next = h->next;
    if (h->next != nullptr)
        h->next->previous = r;
    else
        h->last = r;
    h->next = r;
}

void Release(Region* h, Region* r) {
    Unlink(h, r);
    Remove(h->index, r);
    ReturnRegion(r);
}

// The region of `h` whose blocks may hold `p`, or null: none of its own
// regions holds it, or it lies in a region of a heap nested in `h`.
Region* RegionOf(Region* h, const void* p) {
    const char* c = static_cast<const char*>(p);
    Region* r = h;
    if (h->index != nullptr) {
        const RegionIndex::Entry* e = Find(h->index, p);
        if (e == nullptr)
            return nullptr;
        r = e->region;
    }
    if (c < reinterpret_cast<char*>(FirstBlock(r)) + sizeof(Block) || c >= RegionEnd(r))
        return nullptr;
    return Find(h->nested, p) == nullptr ? r : nullptr;
}

// True when `b`, inside `r`, is a header the heap wrote: marked, ending
// inside the region, and named by its predecessor as the block after it.
bool IsHeader(Region* r, Block* b) {
    if (!(b->word & kBlockMark))
        return false;
    char* end = Contents(b) + SizeOf(b);
    if (end > RegionEnd(r) || ((b->word & kLastBlock) != 0) != (end == RegionEnd(r)))
        return false;
    if (b->word & kFirstBlock)
        return b == FirstBlock(r) && Back(b) == r;
    Block* prev = static_cast<Block*>(Back(b));
    if (prev < FirstBlock(r) || prev >= b || (reinterpret_cast<uintptr_t>(prev) & 7) != 0)
        return false;
    return (prev->word & kBlockMark) && !(prev->word & kLastBlock) && NextBlock(prev) == b;
}

enum Located {
    kInUse,       // a block in use of the heap
    kOutside,     // no region of the heap holds it
    kNotInUse,    // odd, free, a region's first block, or not a block at all
};

// Finds the block in use whose contents start at `p`, reading nothing but
// region headers and headers proved to lie inside one of the heap's regions.
Located Locate(Region* h, void* p, Region** region, Block** block) {
    if ((reinterpret_cast<uintptr_t>(p) & 7) != 0)
        return kNotInUse;
    Region* r = RegionOf(h, p);
    if (r == nullptr)
        return kOutside;
    Block* b = HeaderOf(p);
    if (!IsHeader(r, b) || (b->word & (kFreeBlock | kFirstBlock)))
        return kNotInUse;
    *region = r;
    *block = b;
    return kInUse;
}

// --- free lists ---

void UnlinkFree(Region* r, Block* b) {
    Block* prev = FreePrev(r, b);
    Block* next = FreeNext(r, b);
    SetFreeNext(r, prev, next);
    if (next != nullptr)
        SetFreePrev(r, next, prev);
}

void InsertAfterHead(Region* r, Block* b) {
    Block* head = r->firstFree;
    Block* next = FreeNext(r, head);
    SetFreePrev(r, b, head);
    SetFreeNext(r, b, next);
    SetFreeNext(r, head, b);
    if (next != nullptr)
        SetFreePrev(r, next, b);
}

// Moves the free block `f` to `to` (a new header position in the same run of
// bytes) with `bytes` of contents, keeping its place in the list and its flags.
void MoveFreeHeader(Region* r, Block* f, Block* to, uint32_t bytes, Block* before) {
    uint32_t word = f->word;
    Block* prev = FreePrev(r, f);
    Block* next = FreeNext(r, f);
    if (to != f)
        f->word = 0;  // the old header must never look valid again
    to->word = (word & kFlagBits) | (bytes >> 2);
    SetBack(to, before);
    SetFreePrev(r, to, prev);
    SetFreeNext(r, to, next);
    SetFreeNext(r, prev, to);
    if (next != nullptr)
        SetFreePrev(r, next, to);
    if (!(word & kLastBlock))
        SetBack(NextBlock(to), to);
}

// `b` takes in the free block `f` that follows it.
void Absorb(Region* r, Block* b, Block* f) {
    UnlinkFree(r, f);
    bool last = (f->word & kLastBlock) != 0;
    SetSize(b, SizeOf(b) + SizeOf(f) + sizeof(Block));
    f->word = 0;
    if (last)
        b->word |= kLastBlock;
    else
        SetBack(NextBlock(b), b);
}

bool IsEmpty(Region* r) { return (FirstBlock(r)->word & kLastBlock) != 0; }

// --- allocation ---

// First fit in one region's free list, cut short by its free-byte count.
Block* Search(Region* r, uint32_t n) {
    int64_t remaining = static_cast<int64_t>(r->freeBytes) - 32;
    uint32_t largestSeen = 0;
    Block* found = nullptr;
    for (Block* f = r->firstFree; f != nullptr && static_cast<int64_t>(n) <= remaining;) {
        uint32_t b = SizeOf(f);
        if (b > largestSeen)
            largestSeen = b;
        uint64_t need = static_cast<uint64_t>(n) + ((f->word & kFirstBlock) ? 32u : 8u);
        if (b >= need) {
            found = f;
            break;
        }
        if (f->word & kLastBlock)
            break;
        f = FreeNext(r, f);
        remaining -= b;
    }
    int64_t estimate = remaining > static_cast<int64_t>(largestSeen) ? remaining : largestSeen;
    if (estimate < 0)
        estimate = 0;
    if (estimate < static_cast<int64_t>(r->largestFree))
        r->largestFree = static_cast<uint32_t>(estimate);
    return found;
}

Block* Take(Region* r, Block* f, uint32_t n, bool large) {
    uint32_t b = SizeOf(f);
    if (large) {
        n = (b - 29u) & ~15u;
        r->firstFree = nullptr;  // nothing else is served from this region
    }
    if (!(f->word & kFirstBlock) && b < n + 32u) {
        UnlinkFree(r, f);
        f->word &= ~kFreeBlock;
        r->freeBytes -= b;
        return f;
    }
    bool last = (f->word & kLastBlock) != 0;
    uint32_t rest = b - n - sizeof(Block);
    SetSize(f, rest);
    f->word &= ~kLastBlock;
    Block* out = reinterpret_cast<Block*>(Contents(f) + rest);
    out->word = (n >> 2) | kBlockMark | (last ? kLastBlock : 0);
    SetBack(out, f);
    if (!last)
        SetBack(NextBlock(out), out);
    r->freeBytes -= n + sizeof(Block);
    return out;
}

void* AllocateLocked(Region* h, uint32_t size, uint32_t flags) {
    uint32_t n = RoundRequest(size);
    Region* r = h;
    bool large = false;
    if (h->parent == nullptr && n >= h->growth / 2) {
        if (!ReserveRegion(h))
            return nullptr;
        Region* big = NewRegion(RoundUp4096(n + kRegionHeader + 48u), kDefaultSize, heapNoLock, nullptr);
        if (big == nullptr)
            return nullptr;
        Insert(h->index, EntryOf(big));
        Region* tail = LastRegion(h);
        big->previous = tail;
        tail->next = big;
        h->last = big;
        r = big;
        large = true;
    }
    for (;;) {
        if (n <= r->largestFree) {
            if (Block* f = Search(r, n)) {
                Block* out = Take(r, f, n, large);
                Expose(out, size, 0, (flags & heapZeroFill) != 0);
                return Contents(out);
            }
        }
        if (large)
            return nullptr;  // cannot happen: the region was made to fit
        Region* next = r->next;
        if (next != nullptr && next->firstFree != nullptr) {
            r = next;
            continue;
        }
        uint32_t want = RoundUp4096(n + kRegionHeader + 88u);
        // The growth size is a region size like any other: whole pages, so
        // that blocks cut from its end stay 8-byte aligned.
        if (h->parent == nullptr && RoundUp4096(h->growth) > want)
            want = RoundUp4096(h->growth);
        if (!ReserveRegion(h))
            return nullptr;
        Region* added = NewRegion(want, kDefaultSize, heapNoLock, h->parent);
        if (added == nullptr)
            return nullptr;
        Insert(h->index, EntryOf(added));
        InsertAfterFirst(h, added);
        r = added;
    }
}

// --- freeing ---

void FreeLocked(Region* h, Region* r, Block* b) {
    uint32_t bytes = SizeOf(b);
    Block* prev = static_cast<Block*>(Back(b));
    Block* cur;
    if (prev->word & kFreeBlock) {
        bool last = (b->word & kLastBlock) != 0;
        SetSize(prev, SizeOf(prev) + bytes + sizeof(Block));
        b->word = 0;
        if (last)
            prev->word |= kLastBlock;
        else
            SetBack(NextBlock(prev), prev);
        r->freeBytes += bytes + sizeof(Block);
        cur = prev;
    } else {
        b->word |= kFreeBlock;
        InsertAfterHead(r, b);
        r->freeBytes += bytes;
        cur = b;
    }
    if (!(cur->word & kLastBlock)) {
        Block* next = NextBlock(cur);
        if (next->word & kFreeBlock) {
            Absorb(r, cur, next);
            r->freeBytes += sizeof(Block);
        }
    }
    if (SizeOf(cur) > r->largestFree)
        r->largestFree = SizeOf(cur);
    ConcealFree(cur);
    if (r == h)
        return;
    if ((cur->word & (kFirstBlock | kLastBlock)) == (kFirstBlock | kLastBlock)) {
        if (r->firstFree == nullptr) {
            Release(h, r);  // a large block's region goes back at once
            return;
        }
        // Keep one empty region as a spare, right behind the first.
        Region* spare = h->next;
        if (spare != r) {
            Unlink(h, r);
            InsertAfterFirst(h, r);
            if (spare != nullptr && spare->firstFree != nullptr && IsEmpty(spare))
                Release(h, spare);
        }
        return;
    }
    // Regions with more free space drift to the front.
    Region* before = r->previous;
    if (before != h && before->freeBytes < r->freeBytes) {
        Region* outer = before->previous;
        Region* after = r->next;
        outer->next = r;
        r->previous = outer;
        r->next = before;
        before->previous = r;
        before->next = after;
        if (after != nullptr)
            after->previous = before;
        else
            h->last = before;
    }
}

// --- reallocation in place ---

void ShrinkLocked(Region* r, Block* b, uint32_t n, uint32_t size, bool zero) {
    uint32_t old = SizeOf(b);
    if (!(b->word & kLastBlock)) {
        Block* f = NextBlock(b);
        if (f->word & kFreeBlock) {
            uint32_t freeBytes = SizeOf(f) + (old - n);
            SetSize(b, n);
            Block* to = NextBlock(b);
            MoveFreeHeader(r, f, to, freeBytes, b);
            r->freeBytes += old - n;
            if (freeBytes > r->largestFree)
                r->largestFree = freeBytes;
            ConcealFree(to);
        }
    }
    Expose(b, size, size, zero);
}

// Grows `b` into the free block after it; false when the room is too small.
bool GrowInPlace(Region* r, Block* b, uint32_t n, uint32_t size, bool zero) {
    uint32_t old = SizeOf(b);
    if (b->word & kLastBlock)
        return false;
    Block* f = NextBlock(b);
    if (!(f->word & kFreeBlock))
        return false;
    uint32_t fs = SizeOf(f);
    if (static_cast<uint64_t>(old) + fs + sizeof(Block) < n)
        return false;
    uint32_t growth = n - old;
    if (growth < fs / 2) {
        SetSize(b, n);
        MoveFreeHeader(r, f, NextBlock(b), fs - growth, b);
        r->freeBytes -= growth;
    } else {
        Absorb(r, b, f);
        r->freeBytes -= fs;
    }
    Expose(b, size, old, zero);
    return true;
}

void* ReallocateLocked(Region* h, void* block, uint32_t size, uint32_t flags) {
    Region* r = nullptr;
    Block* b = nullptr;
    switch (Locate(h, block, &r, &b)) {
    case kInUse:
        break;
    case kOutside:
        eslTrace("%s", kInvalidFree);
        return nullptr;
    case kNotInUse:
        eslTrace("%s", kInvalidPointer);
        return nullptr;
    }
    if (size > kMaxRequest)
        return nullptr;  // the old block stays valid
    bool zero = (flags & heapZeroFill) != 0;
    uint32_t old = SizeOf(b);
    uint32_t n = RoundRequest(size);
    if (n < old) {
        ShrinkLocked(r, b, n, size, zero);
    } else if (n > old) {
        if (!GrowInPlace(r, b, n, size, zero)) {
            void* moved = AllocateLocked(h, size, flags);
            if (moved == nullptr)
                return nullptr;
            Unpoison(block, old);
            eslMoveMemory(moved, block, old);
            FreeLocked(h, r, b);
            return moved;
        }
    } else {
        // The owner may now use exactly the new size.
        uint32_t exposed = size == 0 ? 1 : size;
        Unpoison(block, old);
        Poison(static_cast<char*>(block) + exposed, old - exposed);
    }
    return block;
}

Region* ResolveOrCreate(ESLHeap heap) { return heap != nullptr ? AsRegion(heap) : AsRegion(eslGetGlobalHeap()); }
Region* ResolveExisting(ESLHeap heap) { return heap != nullptr ? AsRegion(heap) : g_globalHeap.load(); }

void PrintBlock(Block* b) {
    char line[128];
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(Contents(b));
    uint32_t size = SizeOf(b);
    int pos = snprintf(line, sizeof line, sizeof(void*) > 4 ? "block %016llXH (%d bytes) :" : "block %08llXH (%d bytes) :",
                       static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(bytes)), static_cast<int>(size));
    for (uint32_t i = 0; i < size && i < 16; ++i)
        pos += snprintf(line + pos, sizeof line - pos, " %02X", bytes[i]);
    snprintf(line + pos, sizeof line - pos, "\n");
    eslDebugOutput(line);
}

}  // namespace

// --- the global heap ---

ESL_EXPORT ESLHeap eslGetGlobalHeap(void) {
    Region* h = g_globalHeap.load(std::memory_order_acquire);
    if (h != nullptr)
        return h;
    Region* created = AsRegion(eslHeapCreate(0, 0, 0, nullptr));
    if (created == nullptr)
        return nullptr;
    Region* expected = nullptr;
    if (!g_globalHeap.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
        eslHeapDestroy(created);  // another thread made it first
        return expected;
    }
    return created;
}

ESL_EXPORT void eslFreeGlobalHeap(void) {
    Region* h = g_globalHeap.load(std::memory_order_acquire);
    if (h == nullptr)
        return;
    eslHeapDump(h, 100);
    // No longer the global heap, even where references keep it alive. Done
    // before the destruction: once the heap is gone, another thread's new
    // global heap may have its address.
    Region* expected = h;
    g_globalHeap.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
    eslHeapDestroy(h);
}

// --- heaps ---

ESL_EXPORT ESLHeap eslHeapCreate(unsigned int initialSize, unsigned int growSize, unsigned int flags,
                                 ESLHeap parent) {
    // A growth no region can have would fail every later region unasked.
    if (initialSize > kMaxRegion || growSize > kMaxRegion)
        return nullptr;
    uint32_t size = initialSize == 0 ? kDefaultSize : RoundUp4096(initialSize);
    uint32_t growth = growSize == 0 ? kDefaultSize : growSize;
    return NewRegion(size, growth, flags, AsRegion(parent));
}

ESL_EXPORT void eslHeapDestroy(ESLHeap heap) {
    if (heap == nullptr)
        return;
    Region* h = AsRegion(heap);
    if (eslp::AtomicDecrement(&h->references) > 0)
        return;
    Region* expected = h;
    g_globalHeap.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
    if (HasLock(h))
        eslp::DeleteLock(&h->lock);
    FreeIndex(h->index);
    FreeIndex(h->nested);  // empty: every nested heap held a reference
    Region* r = h;
    while (r != nullptr) {
        Region* next = r->next;
        ReturnRegion(r);
        r = next;
    }
}

ESL_EXPORT void* eslHeapAllocate(ESLHeap heap, unsigned int size, unsigned int flags) {
    if (size > kMaxRequest)
        return nullptr;
    Region* h = ResolveOrCreate(heap);
    if (h == nullptr)
        return nullptr;
    void* result;
    {
        flags |= h->flags;
        Guard guard(h, flags);
        result = AllocateLocked(h, size, flags);
    }
    Traced(heap, 'a', nullptr, size, result);
    return result;
}

ESL_EXPORT void eslHeapFree(ESLHeap heap, void* block, unsigned int flags) {
    if (block == nullptr)
        return;
    Region* h = ResolveExisting(heap);
    if (h == nullptr) {
        eslTrace("%s", kInvalidFree);
        return;
    }
    Guard guard(h, flags | h->flags);
    Region* r = nullptr;
    Block* b = nullptr;
    // Also refuses a block already free: a double free would corrupt the list.
    if (Locate(h, block, &r, &b) != kInUse) {
        eslTrace("%s", kInvalidFree);
        return;
    }
    FreeLocked(h, r, b);
    Traced(heap, 'f', block, 0, nullptr);
}

ESL_EXPORT void* eslHeapReallocate(ESLHeap heap, void* block, unsigned int size, unsigned int flags) {
    if (block == nullptr)
        return eslHeapAllocate(heap, size, flags);
    Region* h = ResolveExisting(heap);
    if (h == nullptr) {
        eslTrace("%s", kInvalidFree);
        return nullptr;
    }
    void* result;
    {
        flags |= h->flags;
        Guard guard(h, flags);
        result = ReallocateLocked(h, block, size, flags);
    }
    Traced(heap, 'r', block, size, result);
    return result;
}

ESL_EXPORT unsigned int eslHeapGetLength(ESLHeap heap, void* block) {
    if (block == nullptr)
        return 0xFFFFFFFFu;
    Region* h = ResolveExisting(heap);
    if (h == nullptr)
        return 0xFFFFFFFFu;
    Guard guard(h, h->flags);
    Region* r = nullptr;
    Block* b = nullptr;
    return Locate(h, block, &r, &b) == kInUse ? SizeOf(b) : 0xFFFFFFFFu;
}

ESL_EXPORT void eslHeapLock(ESLHeap heap) {
    Region* h = ResolveOrCreate(heap);
    if (h != nullptr && HasLock(h))
        eslp::EnterLock(&h->lock);
}

ESL_EXPORT void eslHeapUnlock(ESLHeap heap) {
    Region* h = ResolveExisting(heap);
    if (h != nullptr && HasLock(h))
        eslp::LeaveLock(&h->lock);
}

ESL_EXPORT void eslHeapDump(ESLHeap heap, int maxBlocks) {
    Region* h = ResolveExisting(heap);
    if (h == nullptr)
        return;
    Guard guard(h, h->flags);
    int listed = 0;
    for (Region* r = h; r != nullptr; r = r->next) {
        for (Block* b = FirstBlock(r);; b = NextBlock(b)) {
            if (!(b->word & kFreeBlock)) {
                if (listed >= maxBlocks)
                    return;
                if (listed++ == 0)
                    eslDebugOutput("ESL の解放されていないメモリブロックがあります\n");
                PrintBlock(b);
            }
            if (b->word & kLastBlock)
                break;
        }
    }
}

// --- diagnostics ---

namespace {

bool Fault(char* report, size_t bytes, const char* format, const void* where, unsigned long long value) {
    if (report != nullptr && bytes != 0)
        snprintf(report, bytes, format, where, value);
    return false;
}

}  // namespace

bool eslHeapCheck(ESLHeap heap, char* report, size_t reportBytes) {
    Region* h = ResolveExisting(heap);
    if (h == nullptr)
        return Fault(report, reportBytes, "no heap %p (%llu)", nullptr, 0);
    Guard guard(h, h->flags);
    if (h->references < 1)
        return Fault(report, reportBytes, "heap %p has %llu references", h, static_cast<unsigned long long>(h->references));
    Region* prevRegion = nullptr;
    bool largeSeen = false;
    for (Region* r = h; r != nullptr; prevRegion = r, r = r->next) {
        if (r->previous != prevRegion)
            return Fault(report, reportBytes, "region %p: previous link broken (%llu)", r, 0);
        if (r != h && r->firstFree != nullptr && largeSeen)
            return Fault(report, reportBytes, "region %p: ordinary region after a large-block region (%llu)", r, 0);
        if (r->firstFree == nullptr) {
            if (r == h)
                return Fault(report, reportBytes, "first region %p has no free list (%llu)", r, 0);
            largeSeen = true;
        } else if (r->firstFree != FirstBlock(r)) {
            return Fault(report, reportBytes, "region %p: free list does not start at the first block (%llu)", r, 0);
        }
        unsigned long long freeBytes = 0, freeBlocks = 0, largestFree = 0;
        bool prevFree = false;
        Block* before = nullptr;
        for (Block* b = FirstBlock(r);; b = NextBlock(b)) {
            if ((reinterpret_cast<uintptr_t>(Contents(b)) & 7) != 0 || !(b->word & kBlockMark))
                return Fault(report, reportBytes, "block %p: no mark (word %llx)", b, b->word);
            bool first = b == FirstBlock(r);
            if (((b->word & kFirstBlock) != 0) != first)
                return Fault(report, reportBytes, "block %p: first bit wrong (word %llx)", b, b->word);
            if (Back(b) != (first ? static_cast<void*>(r) : static_cast<void*>(before)))
                return Fault(report, reportBytes, "block %p: back link broken (word %llx)", b, b->word);
            if (Contents(b) + SizeOf(b) > RegionEnd(r))
                return Fault(report, reportBytes, "block %p: runs past its region (size %llu)", b, SizeOf(b));
            bool isFree = (b->word & kFreeBlock) != 0;
            if (first && !isFree)
                return Fault(report, reportBytes, "block %p: first block in use (%llu)", b, 0);
            if (isFree && prevFree)
                return Fault(report, reportBytes, "block %p: two free blocks side by side (%llu)", b, 0);
            if (isFree) {
                freeBytes += SizeOf(b);
                ++freeBlocks;
                if (SizeOf(b) > largestFree)
                    largestFree = SizeOf(b);
            }
            prevFree = isFree;
            before = b;
            if (b->word & kLastBlock) {
                if (Contents(b) + SizeOf(b) != RegionEnd(r))
                    return Fault(report, reportBytes, "block %p: last block ends before its region (size %llu)", b, SizeOf(b));
                break;
            }
        }
        if (freeBytes != r->freeBytes)
            return Fault(report, reportBytes, "region %p: free-byte count wrong (%llu counted)", r, freeBytes);
        if (r->firstFree == nullptr) {
            if (freeBlocks != 1)
                return Fault(report, reportBytes, "large-block region %p holds %llu free blocks", r, freeBlocks);
            continue;
        }
        // The first-fit walk may leave the estimate up to 32 bytes below a
        // block it did not visit.
        if (largestFree > static_cast<unsigned long long>(r->largestFree) + 32)
            return Fault(report, reportBytes, "region %p: largest-free estimate below a free block of %llu bytes", r, largestFree);
        unsigned long long listed = 0;
        Block* prevFreeBlock = nullptr;
        for (Block* f = r->firstFree; f != nullptr; prevFreeBlock = f, f = FreeNext(r, f)) {
            if (++listed > freeBlocks)
                return Fault(report, reportBytes, "region %p: free list longer than the free blocks (%llu)", r, listed);
            if (reinterpret_cast<char*>(f) < reinterpret_cast<char*>(FirstBlock(r)) || reinterpret_cast<char*>(f) >= RegionEnd(r) ||
                !(f->word & kFreeBlock) || !(f->word & kBlockMark))
                return Fault(report, reportBytes, "free list of region %p holds a block in use (%llu)", r, listed);
            if (FreePrev(r, f) != prevFreeBlock)
                return Fault(report, reportBytes, "free list of region %p: previous link broken at entry %llu", r, listed);
        }
        if (listed != freeBlocks)
            return Fault(report, reportBytes, "region %p: free list misses free blocks (%llu listed)", r, listed);
    }
    if (LastRegion(h) != prevRegion)
        return Fault(report, reportBytes, "heap %p: last region wrong (%llu)", h, 0);
    if (const RegionIndex* x = h->index) {
        unsigned long long regions = 0;
        for (Region* r = h; r != nullptr; r = r->next) {
            ++regions;
            uint32_t at = UpperBound(x, r);
            if (at == 0 || x->entries[at - 1].region != r || x->entries[at - 1].end != RegionEnd(r))
                return Fault(report, reportBytes, "region %p is missing from the index (%llu)", r, 0);
        }
        if (x->count != regions)
            return Fault(report, reportBytes, "heap %p: the index holds %llu entries", h, x->count);
    } else if (h->next != nullptr) {
        return Fault(report, reportBytes, "heap %p has regions but no index (%llu)", h, 0);
    }
    if (report != nullptr && reportBytes != 0)
        report[0] = '\0';
    return true;
}

void eslHeapGetStatistics(ESLHeap heap, ESLHeapStatistics* statistics) {
    ESLHeapStatistics s = {0, 0, 0, 0, 0, 0, 0};
    Region* h = ResolveExisting(heap);
    if (h != nullptr) {
        Guard guard(h, h->flags);
        s.indexBytes = (h->index != nullptr ? h->index->bytes : 0) + (h->nested != nullptr ? h->nested->bytes : 0);
        for (Region* r = h; r != nullptr; r = r->next) {
            ++s.regions;
            s.regionBytes += r->size;
            for (Block* b = FirstBlock(r);; b = NextBlock(b)) {
                if (!(b->word & kFreeBlock)) {
                    ++s.usedBlocks;
                    s.usedBytes += SizeOf(b);
                } else {
                    ++s.freeBlocks;
                    s.freeBytes += SizeOf(b);
                }
                if (b->word & kLastBlock)
                    break;
            }
        }
    }
    *statistics = s;
}

void eslHeapFailRegions(unsigned int count) { g_failRegions.store(count); }

ESLQuestionHook eslHeapSetQuestionHook(ESLQuestionHook hook) { return g_questionHook.exchange(hook); }

ESLHeapTraceHook eslHeapSetTraceHook(ESLHeapTraceHook hook) { return g_traceHook.exchange(hook); }

// --- the stack heap ---

namespace {

StackRegion* NewStackRegion(uint32_t size, uint32_t growth) {
    StackRegion* r = static_cast<StackRegion*>(SystemRegion(size, false));
    if (r == nullptr)
        return nullptr;
    r->next = nullptr;
    r->current = r;
    r->growth = growth;
    r->base = reinterpret_cast<char*>(r) + kStackHeader;
    r->usable = size - kStackHeader;
    r->used = 0;
    r->reserved[0] = r->reserved[1] = 0;
#if defined(ESL_HEAP_POISON)
    __lsan_register_root_region(r, size);
#endif
    return r;
}

void FreeStackRegion(StackRegion* r) {
#if defined(ESL_HEAP_POISON)
    __lsan_unregister_root_region(r, r->usable + kStackHeader);
#endif
    eslp::FreeRegion(r, r->usable + kStackHeader);
}

}  // namespace

ESL_EXPORT ESLStackHeap eslStackHeapCreate(unsigned int initialSize, unsigned int growSize, unsigned int) {
    if (initialSize > kMaxRegion || growSize > kMaxRegion)
        return nullptr;
    uint32_t size = initialSize == 0 ? kDefaultSize : RoundUp4096(initialSize);
    if (size <= kStackHeader)
        size = 4096;
    return NewStackRegion(size, growSize == 0 ? kDefaultSize : growSize);
}

ESL_EXPORT void eslStackHeapDestroy(ESLStackHeap heap) {
    if (heap == nullptr)
        return;
    eslStackHeapFree(heap);
    FreeStackRegion(static_cast<StackRegion*>(heap));
}

ESL_EXPORT void* eslStackHeapAllocate(ESLStackHeap heap, unsigned int size) {
    if (heap == nullptr || size > kMaxRequest)
        return nullptr;
    StackRegion* first = static_cast<StackRegion*>(heap);
    uint32_t n = (size + 15u) & ~15u;
    StackRegion* cur = first->current;
    while (cur->usable - cur->used < n) {
        uint32_t want = n + kStackHeader > first->growth ? n + kStackHeader : first->growth;
        StackRegion* r = NewStackRegion(RoundUp4096(want), first->growth);
        if (r == nullptr)
            return nullptr;
        r->next = cur->next;
        cur->next = r;
        first->current = r;
        cur = r;
    }
    void* p = cur->base + cur->used;
    cur->used += n;
    return p;
}

ESL_EXPORT void eslStackHeapFree(ESLStackHeap heap) {
    if (heap == nullptr)
        return;
    StackRegion* first = static_cast<StackRegion*>(heap);
    StackRegion* r = first->next;
    while (r != nullptr) {
        StackRegion* next = r->next;
        FreeStackRegion(r);
        r = next;
    }
    first->next = nullptr;
    first->current = first;
    first->used = 0;
}

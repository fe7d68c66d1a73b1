// ESL heap: the exported allocation functions.
//
// This is the interim allocator. It keeps the exported interface and its
// observable contract (rounded block lengths, zero filling, validation of
// foreign pointers, the dump of blocks still in use, heap references and
// the lazily created global heap) but takes its blocks from malloc, each
// behind a small header. The region-and-free-list heap replaces the inside
// of these functions later without touching their callers.
//
// The stack heap is already the final design: a bump allocator over
// page-granular regions.
#include "esl/heap.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "esl/object.h"
#include "esl/platform.h"

namespace {

const uint32_t kHeapMagic = 0x50414548u;   // "HEAP"
const uint32_t kBlockMark = 0x4B4C4245u;   // "EBLK"
const uint32_t kFreedMark = 0x45455246u;   // "FREE"
const unsigned int kMaxRequest = 1u << 30;  // requests must stay below 1 GiB

struct HeapRecord;

// Sits right before the contents. Its size is a multiple of 16 on both
// targets, so the contents keep the alignment malloc gave the header.
struct alignas(16) BlockHeader {
    BlockHeader* prev;
    BlockHeader* next;
    HeapRecord* heap;
    uint32_t size;  // rounded size of the contents
    uint32_t mark;
};

struct HeapRecord {
    uint32_t magic;
    uint32_t flags;
    volatile long references;
    uint32_t initialSize;
    uint32_t growSize;
    HeapRecord* parent;
    BlockHeader* blocks;  // blocks in use, newest first
    eslp::Lock lock;
};

std::atomic<HeapRecord*> g_globalHeap{nullptr};

const char kInvalidFree[] = "無効なメモリブロックをヒープから解放しようとしました。\n";
const char kInvalidPointer[] = "無効なポインタを解放しようとしました。\n";

uint32_t RoundRequest(unsigned int size) { return size == 0 ? 8u : (size + 7u) & ~7u; }

HeapRecord* Resolve(ESLHeap heap) {
    if (heap == nullptr)
        return static_cast<HeapRecord*>(eslGetGlobalHeap());
    HeapRecord* h = static_cast<HeapRecord*>(heap);
    return h->magic == kHeapMagic ? h : nullptr;
}

class HeapGuard {
public:
    HeapGuard(HeapRecord* h, unsigned int callFlags)
        : m_heap(((h->flags | callFlags) & heapNoLock) ? nullptr : h) {
        if (m_heap)
            eslp::EnterLock(&m_heap->lock);
    }
    ~HeapGuard() {
        if (m_heap)
            eslp::LeaveLock(&m_heap->lock);
    }
    HeapGuard(const HeapGuard&) = delete;
    HeapGuard& operator=(const HeapGuard&) = delete;

private:
    HeapRecord* m_heap;
};

// The header of a pointer handed out by this heap, or null. The pointer
// must at least be one the caller obtained from some ESL heap; the mark
// tells live blocks from anything else.
BlockHeader* HeaderOf(void* block) {
    if (block == nullptr || (reinterpret_cast<uintptr_t>(block) & 7) != 0)
        return nullptr;
    if (reinterpret_cast<uintptr_t>(block) < sizeof(BlockHeader))
        return nullptr;
    BlockHeader* b = reinterpret_cast<BlockHeader*>(static_cast<char*>(block) - sizeof(BlockHeader));
    return b->mark == kBlockMark ? b : nullptr;
}

void Link(HeapRecord* h, BlockHeader* b) {
    b->heap = h;
    b->prev = nullptr;
    b->next = h->blocks;
    if (h->blocks)
        h->blocks->prev = b;
    h->blocks = b;
}

void Unlink(HeapRecord* h, BlockHeader* b) {
    if (b->prev)
        b->prev->next = b->next;
    else
        h->blocks = b->next;
    if (b->next)
        b->next->prev = b->prev;
    b->prev = b->next = nullptr;
}

void ReleaseBlock(BlockHeader* b) {
    b->mark = kFreedMark;
    free(b);
}

}  // namespace

// --- global heap ---

ESL_EXPORT ESLHeap eslGetGlobalHeap(void) {
    HeapRecord* h = g_globalHeap.load(std::memory_order_acquire);
    if (h != nullptr)
        return h;
    HeapRecord* created = static_cast<HeapRecord*>(eslHeapCreate(0, 0, 0, nullptr));
    if (created == nullptr)
        return nullptr;
    HeapRecord* expected = nullptr;
    if (!g_globalHeap.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
        // Another thread got there first.
        eslHeapDestroy(created);
        return expected;
    }
    return created;
}

ESL_EXPORT void eslFreeGlobalHeap(void) {
    HeapRecord* h = g_globalHeap.load(std::memory_order_acquire);
    if (h == nullptr)
        return;
    eslHeapDump(h, 100);
    eslHeapDestroy(h);
    // A heap with outstanding references lives on but is no longer global.
    HeapRecord* expected = h;
    g_globalHeap.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
}

// --- heaps ---

ESL_EXPORT ESLHeap eslHeapCreate(unsigned int initialSize, unsigned int growSize, unsigned int flags,
                                 ESLHeap parent) {
    HeapRecord* p = nullptr;
    if (parent != nullptr) {
        p = Resolve(parent);
        if (p == nullptr)
            return nullptr;
    }
    HeapRecord* h = static_cast<HeapRecord*>(calloc(1, sizeof(HeapRecord)));
    if (h == nullptr)
        return nullptr;
    h->magic = kHeapMagic;
    h->flags = flags;
    h->references = 1;
    h->initialSize = initialSize == 0 ? 65536u : ((initialSize + 4095u) & ~4095u);
    h->growSize = growSize == 0 ? 65536u : growSize;
    h->parent = p;
    h->blocks = nullptr;
    if (!(flags & heapNoLock))
        eslp::InitLock(&h->lock);
    if (p != nullptr)
        eslp::AtomicIncrement(&p->references);
    return h;
}

ESL_EXPORT void eslHeapDestroy(ESLHeap heap) {
    if (heap == nullptr)
        return;
    HeapRecord* h = static_cast<HeapRecord*>(heap);
    if (h->magic != kHeapMagic)
        return;
    if (eslp::AtomicDecrement(&h->references) > 0)
        return;
    // Blocks still in use go with the heap, as its regions would.
    BlockHeader* b = h->blocks;
    while (b != nullptr) {
        BlockHeader* next = b->next;
        ReleaseBlock(b);
        b = next;
    }
    h->blocks = nullptr;
    if (!(h->flags & heapNoLock))
        eslp::DeleteLock(&h->lock);
    HeapRecord* parent = h->parent;
    HeapRecord* expected = h;
    g_globalHeap.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
    h->magic = 0;
    free(h);
    if (parent != nullptr)
        eslHeapDestroy(parent);
}

ESL_EXPORT void* eslHeapAllocate(ESLHeap heap, unsigned int size, unsigned int flags) {
    if (size >= kMaxRequest)
        return nullptr;
    HeapRecord* h = Resolve(heap);
    if (h == nullptr)
        return nullptr;
    uint32_t n = RoundRequest(size);
    BlockHeader* b = static_cast<BlockHeader*>(malloc(sizeof(BlockHeader) + n));
    if (b == nullptr)
        return nullptr;
    b->size = n;
    b->mark = kBlockMark;
    void* contents = b + 1;
    if ((flags | h->flags) & heapZeroFill)
        memset(contents, 0, n);
    HeapGuard guard(h, flags);
    Link(h, b);
    return contents;
}

ESL_EXPORT void eslHeapFree(ESLHeap heap, void* block, unsigned int flags) {
    if (block == nullptr)
        return;
    HeapRecord* h = Resolve(heap);
    if (h == nullptr) {
        eslTrace("%s", kInvalidFree);
        return;
    }
    HeapGuard guard(h, flags);
    BlockHeader* b = HeaderOf(block);
    if (b == nullptr || b->heap != h) {
        eslTrace("%s", kInvalidFree);
        return;
    }
    Unlink(h, b);
    ReleaseBlock(b);
}

ESL_EXPORT void* eslHeapReallocate(ESLHeap heap, void* block, unsigned int size, unsigned int flags) {
    if (block == nullptr)
        return eslHeapAllocate(heap, size, flags);
    BlockHeader* b = HeaderOf(block);
    if (b == nullptr) {
        eslTrace("%s", kInvalidPointer);
        return nullptr;
    }
    if (size >= kMaxRequest)
        return nullptr;  // the old block stays valid
    HeapRecord* h = Resolve(heap);
    if (h == nullptr) {
        eslTrace("%s", kInvalidFree);
        return nullptr;
    }
    HeapGuard guard(h, flags);
    if (b->heap != h) {
        eslTrace("%s", kInvalidFree);
        return nullptr;
    }
    bool zero = ((flags | h->flags) & heapZeroFill) != 0;
    uint32_t old = b->size;
    uint32_t n = RoundRequest(size);
    if (n == old) {
        if (zero)
            memset(static_cast<char*>(block) + size, 0, n - size);
        return block;
    }
    BlockHeader* prev = b->prev;
    BlockHeader* next = b->next;
    BlockHeader* moved = static_cast<BlockHeader*>(realloc(b, sizeof(BlockHeader) + n));
    if (moved == nullptr)
        return nullptr;  // realloc left the block as it was
    // Relink: realloc may have moved the header.
    if (prev)
        prev->next = moved;
    else
        h->blocks = moved;
    if (next)
        next->prev = moved;
    moved->size = n;
    char* contents = reinterpret_cast<char*>(moved + 1);
    if (zero) {
        uint32_t from = n > old ? old : size;
        memset(contents + from, 0, n - from);
    }
    return contents;
}

ESL_EXPORT unsigned int eslHeapGetLength(ESLHeap, void* block) {
    BlockHeader* b = HeaderOf(block);
    return b == nullptr ? 0xFFFFFFFFu : b->size;
}

ESL_EXPORT void eslHeapLock(ESLHeap heap) {
    HeapRecord* h = Resolve(heap);
    if (h != nullptr && !(h->flags & heapNoLock))
        eslp::EnterLock(&h->lock);
}

ESL_EXPORT void eslHeapUnlock(ESLHeap heap) {
    HeapRecord* h = heap == nullptr ? g_globalHeap.load(std::memory_order_acquire)
                                    : static_cast<HeapRecord*>(heap);
    if (h != nullptr && h->magic == kHeapMagic && !(h->flags & heapNoLock))
        eslp::LeaveLock(&h->lock);
}

ESL_EXPORT void eslHeapDump(ESLHeap heap, int maxBlocks) {
    HeapRecord* h = heap == nullptr ? g_globalHeap.load(std::memory_order_acquire)
                                    : static_cast<HeapRecord*>(heap);
    if (h == nullptr || h->magic != kHeapMagic)
        return;
    HeapGuard guard(h, 0);
    // Oldest first, as an address-ordered walk of a fresh heap would roughly give.
    BlockHeader* b = h->blocks;
    while (b != nullptr && b->next != nullptr)
        b = b->next;
    int listed = 0;
    for (; b != nullptr && listed < maxBlocks; b = b->prev, ++listed) {
        if (listed == 0)
            eslDebugOutput("ESL の解放されていないメモリブロックがあります\n");
        char line[160];
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(b + 1);
        int pos;
        if (sizeof(void*) > 4)
            pos = snprintf(line, sizeof line, "block %016llXH (%d bytes) :",
                           static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(bytes)),
                           static_cast<int>(b->size));
        else
            pos = snprintf(line, sizeof line, "block %08XH (%d bytes) :",
                           static_cast<unsigned int>(reinterpret_cast<uintptr_t>(bytes)),
                           static_cast<int>(b->size));
        uint32_t shown = b->size < 16 ? b->size : 16;
        for (uint32_t i = 0; i < shown && pos > 0 && pos < static_cast<int>(sizeof line) - 4; ++i)
            pos += snprintf(line + pos, sizeof line - pos, " %02X", bytes[i]);
        eslDebugOutput(line);
        eslDebugOutput("\n");
    }
}

// --- stack heap ---

namespace {

struct StackRegion {
    StackRegion* next;
    StackRegion* current;  // first region only
    uint32_t growth;
    uint32_t usable;
    uint32_t used;
    char* base;
};

// 32 bytes on the 32-bit target; whatever keeps 16-byte alignment elsewhere.
const uint32_t kStackHeader = (sizeof(StackRegion) + 15u) & ~15u;

StackRegion* NewStackRegion(uint32_t size, uint32_t growth) {
    StackRegion* r = static_cast<StackRegion*>(eslp::AllocateRegion(size));
    if (r == nullptr)
        return nullptr;
    r->next = nullptr;
    r->current = r;
    r->growth = growth;
    r->base = reinterpret_cast<char*>(r) + kStackHeader;
    r->usable = size - kStackHeader;
    r->used = 0;
    return r;
}

uint32_t RoundUp4096(uint32_t x) { return (x + 4095u) & ~4095u; }

}  // namespace

ESL_EXPORT ESLStackHeap eslStackHeapCreate(unsigned int initialSize, unsigned int growSize, unsigned int) {
    if (initialSize >= kMaxRequest || growSize >= kMaxRequest)
        return nullptr;
    uint32_t size = initialSize == 0 ? 65536u : RoundUp4096(initialSize);
    if (size <= kStackHeader)
        size = 4096;
    return NewStackRegion(size, growSize == 0 ? 65536u : growSize);
}

ESL_EXPORT void eslStackHeapDestroy(ESLStackHeap heap) {
    if (heap == nullptr)
        return;
    eslStackHeapFree(heap);
    eslp::FreeRegion(heap);
}

ESL_EXPORT void* eslStackHeapAllocate(ESLStackHeap heap, unsigned int size) {
    if (heap == nullptr || size >= kMaxRequest)
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
        eslp::FreeRegion(r);
        r = next;
    }
    first->next = nullptr;
    first->current = first;
    first->used = 0;
}

#include <gtest/gtest.h>

#include <string.h>

#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "esl/heap.h"
#include "esl/heap_debug.h"
#include "esl/heap_layout.h"
#include "test_support.h"

namespace {

const unsigned int kBad = 0xFFFFFFFFu;
const char kInvalidFree[] = "無効なメモリブロックをヒープから解放しようとしました。\n";
const char kInvalidPointer[] = "無効なポインタを解放しようとしました。\n";

// The region header's size decides the figures that depend on it; on the
// 32-bit target it is 80 bytes, elsewhere larger.
const uint32_t kHeader = eslheap::kRegionHeader;
uint32_t RoundUp4096(uint32_t x) { return (x + 4095u) & ~4095u; }

#define EXPECT_HEAP_SOUND(h)                                          \
    do {                                                              \
        char why[200];                                                \
        EXPECT_TRUE(eslHeapCheck((h), why, sizeof why)) << why;       \
    } while (0)

ESLHeapStatistics Stats(ESLHeap h) {
    ESLHeapStatistics s;
    eslHeapGetStatistics(h, &s);
    return s;
}

class Heap : public ::testing::Test {
protected:
    void SetUp() override { heap = eslHeapCreate(0, 0, 0, nullptr); ASSERT_NE(heap, nullptr); }
    void TearDown() override {
        EXPECT_HEAP_SOUND(heap);
        eslHeapDestroy(heap);
    }
    char* Alloc(unsigned int size, unsigned int flags = 0) {
        return static_cast<char*>(eslHeapAllocate(heap, size, flags));
    }
    ESLHeap heap = nullptr;
};

TEST_F(Heap, FreshHeapFigures) {
    EXPECT_EQ(Stats(heap).freeBytes, 65536u - kHeader - 8);
    struct { unsigned int request, length; } cases[] = {{0, 8}, {1, 8}, {8, 8}, {10, 16}, {4097, 4104}};
    std::vector<char*> blocks;
    for (auto c : cases) {
        blocks.push_back(Alloc(c.request));
        ASSERT_NE(blocks.back(), nullptr);
        EXPECT_EQ(eslHeapGetLength(heap, blocks.back()), c.length) << c.request;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(blocks.back()) % 8, 0u);
    }
    // Blocks are cut from the end of the first block, downwards.
    for (size_t i = 1; i < blocks.size(); ++i)
        EXPECT_EQ(blocks[i] + cases[i].length + 8, blocks[i - 1]);
    EXPECT_EQ(Stats(heap).freeBytes, 65536u - kHeader - 8 - (8 + 8 + 8 + 16 + 4104) - 5 * 8);
    // Freeing the newest merges it back into the region's first block.
    eslHeapFree(heap, blocks.back(), 0);
    EXPECT_EQ(Stats(heap).freeBlocks, 1u);
    for (char* p : blocks)
        eslHeapFree(heap, p, 0);
    EXPECT_EQ(Stats(heap).freeBytes, 65536u - kHeader - 8);
    EXPECT_EQ(Stats(heap).regions, 1u);
}

// Where each request lands. A region's first block is used up, holes are
// freed in a known order, and each request must take the hole the first-fit
// walk reaches first (the most recently freed, after the region's first
// block), cut from the hole's end or taken whole.
TEST(HeapPlacement, FirstFitOverTheFreeList) {
    ESLHeap h = eslHeapCreate(8192, 0, 0, nullptr);
    std::map<std::string, char*> at;
    auto take = [&](const char* name, unsigned int size) {
        at[name] = static_cast<char*>(eslHeapAllocate(h, size, 0));
        ASSERT_NE(at[name], nullptr) << name;
    };
    // Top down: each block is cut from the end of the first block.
    const struct { const char* name; unsigned int size; } layout[] = {
        {"K0", 8}, {"H0", 400}, {"K1", 8}, {"H1", 200}, {"K2", 8}, {"H2", 96}, {"K3", 8}, {"H3", 304}, {"K4", 8}};
    unsigned int firstBlock = 8192 - kHeader - 8, used = 0;
    for (auto b : layout) {
        take(b.name, b.size);
        used += b.size + 8;
    }
    // The filler leaves 24 bytes in the first block: too few for anything.
    unsigned int filler = firstBlock - used - 8 - 24;
#if defined(_WIN32) && !defined(_WIN64)
    EXPECT_EQ(filler, 6960u);
#endif
    take("filler", filler);
    for (const char* hole : {"H0", "H1", "H2", "H3"})
        eslHeapFree(h, at[hole], 0);  // the list: first block, H3, H2, H1, H0

    const struct {
        unsigned int size;
        const char* from;
        int offset;  // from the block named
        unsigned int length;
        const char* rule;
    } requests[] = {
        {88, "H3", 304 - 88, 88, "the newest hole that fits, cut at its end"},
        {200, "H3", 0, 208, "fits with 8 to spare: taken whole"},
        {64, "H2", 96 - 64, 64, "32 to spare: cut"},
        {176, "H1", 0, 200, "24 to spare: taken whole"},
        {0, "filler", 0, 0, "(the filler goes back into the first block)"},
        {88, "K4", -8 - 88, 88, "the first block fits, before any hole"},
    };
    for (auto r : requests) {
        if (r.length == 0) {
            eslHeapFree(h, at[r.from], 0);
            continue;
        }
        char* p = static_cast<char*>(eslHeapAllocate(h, r.size, 0));
        EXPECT_EQ(p, at[r.from] + r.offset) << r.rule;
        EXPECT_EQ(eslHeapGetLength(h, p), r.length) << r.rule;
    }
    EXPECT_HEAP_SOUND(h);
    eslHeapDestroy(h);
}

// A region that gains more free space than the one before it moves ahead of
// it, and is searched first.
TEST(HeapPlacement, RegionsWithMoreRoomMoveForward) {
    ESLHeap h = eslHeapCreate(4096, 0, 0, nullptr);
    char* a = static_cast<char*>(eslHeapAllocate(h, 3000, 0));  // leaves the first region 1000 bytes
    char* b = static_cast<char*>(eslHeapAllocate(h, 2000, 0));  // region 2
    char* c1 = static_cast<char*>(eslHeapAllocate(h, 32000, 0));
    char* c2 = static_cast<char*>(eslHeapAllocate(h, 65536 - kHeader - 8 - 2008 - 32008 - 32, 0));  // fills region 2
    char* d = static_cast<char*>(eslHeapAllocate(h, 3000, 0));  // region 3, placed ahead of region 2
    ASSERT_TRUE(a && b && c1 && c2 && d);
    EXPECT_EQ(Stats(h).regions, 3u);
    // Region 2 now has 1000 free bytes more than region 3.
    eslHeapFree(h, c2, 0);
    eslHeapFree(h, c1, 0);
    char* e = static_cast<char*>(eslHeapAllocate(h, 1500, 0));
    EXPECT_EQ(e, b - 8 - 1504) << "the request went to the region behind";
    for (char* x : {a, b, d, e})
        eslHeapFree(h, x, 0);
    EXPECT_HEAP_SOUND(h);
    eslHeapDestroy(h);
}

TEST_F(Heap, HalfTheGrowthOrMoreGetsARegionOfItsOwn) {
    uint32_t region = RoundUp4096(32768 + kHeader + 48);
    uint32_t length = (region - kHeader - 8 - 29) & ~15u;
#if defined(_WIN32) && !defined(_WIN64)
    EXPECT_EQ(region, 36864u);
    EXPECT_EQ(length, 36736u);
#endif
    for (ESLHeap h : {heap, eslGetGlobalHeap()}) {
        ESLHeapStatistics before = Stats(h);
        char* p = static_cast<char*>(eslHeapAllocate(h, 32768, 0));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(eslHeapGetLength(h, p), length);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
        EXPECT_EQ(Stats(h).regions, before.regions + 1);
        EXPECT_EQ(Stats(h).regionBytes, before.regionBytes + region);
        memset(p, 0x5C, 32768);
        EXPECT_HEAP_SOUND(h);
        eslHeapFree(h, p, 0);
        EXPECT_EQ(Stats(h).regions, before.regions);  // returned at once
    }
    // Just below half stays in the ordinary regions.
    char* q = Alloc(32760);
    EXPECT_EQ(eslHeapGetLength(heap, q), 32760u);
    EXPECT_EQ(Stats(heap).regions, 1u);
    eslHeapFree(heap, q, 0);
}

TEST(HeapFamily, GrowthSizesAreWholePages) {
    // Regions grown by an odd growth size still give 8-aligned blocks that
    // free; a growth no region can have is refused at creation.
    for (unsigned int growth : {65537u, 65540u, 70000u}) {
        ESLHeap h = eslHeapCreate(4096, growth, 0, nullptr);
        ASSERT_NE(h, nullptr);
        std::vector<void*> blocks;
        for (int i = 0; i < 64; ++i) {
            blocks.push_back(eslHeapAllocate(h, 200, 0));
            ASSERT_NE(blocks.back(), nullptr);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(blocks.back()) % 8, 0u) << growth;
            EXPECT_EQ(eslHeapGetLength(h, blocks.back()), 200u) << growth;
        }
        EXPECT_GT(Stats(h).regions, 1u);
        for (void* p : blocks)
            eslHeapFree(h, p, 0);
        EXPECT_EQ(Stats(h).usedBlocks, 0u) << growth;
        EXPECT_HEAP_SOUND(h);
        eslHeapDestroy(h);
    }
    EXPECT_EQ(eslHeapCreate(0, 0x7FFFFFFFu, 0, nullptr), nullptr);
}

TEST_F(Heap, ReallocationInPlaceAndByMoving) {
    EXPECT_EQ(eslHeapGetLength(heap, eslHeapReallocate(heap, nullptr, 100, 0)), 104u);
    char* above = Alloc(64);
    char* hole = Alloc(2000);
    char* p = Alloc(100);
    char* below = Alloc(8);
    eslHeapFree(heap, hole, 0);  // a free block of 2000 bytes right after p
    for (int i = 0; i < 100; ++i)
        p[i] = static_cast<char>(i);
    struct Step { unsigned int size; bool samePlace; unsigned int length; } steps[] = {
        {400, true, 400},     // grows into the free block, splitting it
        {48, true, 48},       // shrinks, giving the rest to the free block
        {2000, true, 2112},   // what would be left is under half: takes it whole
        {2112, true, 2112},   // equal: nothing changes
        {9000, false, 9000},  // no room: moves
    };
    for (const Step& s : steps) {
        char* q = static_cast<char*>(eslHeapReallocate(heap, p, s.size, 0));
        ASSERT_NE(q, nullptr) << s.size;
        EXPECT_EQ(q == p, s.samePlace) << s.size;
        EXPECT_EQ(eslHeapGetLength(heap, q), s.length) << s.size;
        for (int i = 0; i < 48; ++i)
            ASSERT_EQ(q[i], static_cast<char>(i)) << s.size;
        p = q;
        EXPECT_HEAP_SOUND(heap);
    }
    for (char* x : {above, p, below})
        eslHeapFree(heap, x, 0);
}

TEST_F(Heap, ZeroFillOfAddedBytesInPlaceAndMoved) {
    ESLHeap zero = eslHeapCreate(0, 0, heapZeroFill, nullptr);
    struct { ESLHeap h; unsigned int callFlags; bool moveIt; } cases[] = {
        {zero, 0, false}, {zero, 0, true}, {heap, heapZeroFill, false}, {heap, heapZeroFill, true}};
    for (auto c : cases) {
        // Dirty the memory first so that zeros are not luck.
        void* dirty = eslHeapAllocate(c.h, 20000, 0);
        memset(dirty, 0xCC, 20000);
        eslHeapFree(c.h, dirty, 0);
        unsigned char* above = static_cast<unsigned char*>(eslHeapAllocate(c.h, 1200, 0));
        memset(above, 0xCC, 1200);
        unsigned char* p = static_cast<unsigned char*>(eslHeapAllocate(c.h, 100, c.callFlags));
        for (int i = 0; i < 100; ++i)
            ASSERT_EQ(p[i], 0);
        memset(p, 0x11, 100);
        if (!c.moveIt)
            eslHeapFree(c.h, above, 0);
        unsigned char* q = static_cast<unsigned char*>(eslHeapReallocate(c.h, p, 1000, c.callFlags));
        ASSERT_NE(q, nullptr);
        EXPECT_EQ(q != p, c.moveIt);
        for (int i = 0; i < 1000; ++i)
            ASSERT_EQ(q[i], i < 100 ? 0x11 : 0) << i;
        eslHeapFree(c.h, q, 0);
        if (c.moveIt)
            eslHeapFree(c.h, above, 0);
    }
    EXPECT_HEAP_SOUND(zero);
    eslHeapDestroy(zero);
}

TEST_F(Heap, RefusalsChangeNothing) {
    CapturedOutput out;
    alignas(16) unsigned char foreign[128];
    memset(foreign, 0x5A, sizeof foreign);
    char* p = Alloc(64);
    char* freed = Alloc(32);
    char* keep = Alloc(16);
    strcpy(keep, "still here");
    eslHeapFree(heap, freed, 0);
    ESLHeap other = eslHeapCreate(0, 0, 0, nullptr);
    void* theirs = eslHeapAllocate(other, 32, 0);
    // A nested heap's regions are blocks of this heap, and its blocks look
    // like this heap's own; the second is not the last of its region.
    ESLHeap nested = eslHeapCreate(4096, 0, 0, heap);
    eslHeapAllocate(nested, 48, 0);
    void* nestedBlock = eslHeapAllocate(nested, 48, 0);
    ESLHeapStatistics before = Stats(heap);

    // Pointers that are not blocks in use of this heap. A reallocation says
    // whether no region of the heap holds the pointer at all.
    struct { void* p; const char* reallocText; } bad[] = {
        {foreign + 64, kInvalidFree}, {theirs, kInvalidFree},  {nestedBlock, kInvalidFree},
        {p + 1, kInvalidPointer},     {p + 8, kInvalidPointer}, {p + 48, kInvalidPointer},
        {freed, kInvalidPointer},
    };
    for (auto x : bad) {
        EXPECT_EQ(eslHeapGetLength(heap, x.p), kBad);
        out.clear();
        eslHeapFree(heap, x.p, 0);
        EXPECT_EQ(out.text(), kInvalidFree);
        out.clear();
        EXPECT_EQ(eslHeapReallocate(heap, x.p, 10, 0), nullptr);
        EXPECT_EQ(out.text(), x.reallocText);
    }
    EXPECT_EQ(eslHeapGetLength(nested, nestedBlock), 48u);
    EXPECT_EQ(eslHeapGetLength(heap, nullptr), kBad);
    EXPECT_EQ(eslHeapGetLength(other, theirs), 32u);
    for (unsigned char c : foreign)
        ASSERT_EQ(c, 0x5A);

    // Sizes whose rounding reaches 1 GiB, or that are near it, are refused.
    out.clear();
    for (unsigned int size : {0xFFFFFFFFu, 0xFFFFFFF9u, 1u << 30, (1u << 30) - 8})
        EXPECT_EQ(Alloc(size), nullptr) << size;
    EXPECT_EQ(eslHeapReallocate(heap, keep, 0xFFFFFFFFu, 0), nullptr);
    EXPECT_STREQ(keep, "still here");
    EXPECT_EQ(out.text(), "");

    ESLHeapStatistics after = Stats(heap);
    EXPECT_EQ(after.usedBytes, before.usedBytes);
    EXPECT_EQ(after.freeBytes, before.freeBytes);
    eslHeapFree(heap, nullptr, 0);  // ignored, not traced
    EXPECT_EQ(out.text(), "");
    eslHeapFree(other, theirs, 0);
    eslHeapDestroy(other);
    EXPECT_HEAP_SOUND(nested);
    eslHeapDestroy(nested);
    eslHeapFree(heap, p, 0);
    eslHeapFree(heap, keep, 0);
}

TEST_F(Heap, DumpListsBlocksInUseInAddressOrder) {
    CapturedOutput out;
    eslHeapDump(heap, 100);
    EXPECT_EQ(out.text(), "");

    unsigned char* a = reinterpret_cast<unsigned char*>(Alloc(16));
    unsigned char* b = reinterpret_cast<unsigned char*>(Alloc(3));
    unsigned char* c = reinterpret_cast<unsigned char*>(Alloc(40));
    for (int i = 0; i < 16; ++i)
        a[i] = static_cast<unsigned char>(0xA0 + i);
    memset(b, 0x01, 3);
    memset(c, 0xEE, 40);
    eslHeapDump(heap, 100);
    char head[64];
    snprintf(head, sizeof head, sizeof(void*) > 4 ? "block %016llXH" : "block %08llXH",
             static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(c)));
    // c lies lowest, so it comes first.
    EXPECT_EQ(out.text().find(std::string("ESL の解放されていないメモリブロックがあります\n") + head), 0u) << out.text();
    EXPECT_EQ(out.count("block "), 3);
    EXPECT_EQ(out.count("(16 bytes) : A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF\n"), 1);
    EXPECT_EQ(out.count("(8 bytes) : 01 01 01"), 1);
    EXPECT_EQ(out.count("(40 bytes) : EE EE EE EE EE EE EE EE EE EE EE EE EE EE EE EE\n"), 1);
    out.clear();
    eslHeapDump(heap, 2);
    EXPECT_EQ(out.count("block "), 2);
    for (unsigned char* x : {a, b, c})
        eslHeapFree(heap, x, 0);
    out.clear();
    eslHeapDump(heap, 100);
    EXPECT_EQ(out.text(), "");
}

TEST(HeapFamily, SubHeapsBorrowFromTheirParent) {
    ESLHeap parent = eslHeapCreate(0, 0, 0, nullptr);
    ESLHeap child = eslHeapCreate(4096, 0, heapNoLock, parent);
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(Stats(parent).usedBlocks, 1u);  // the child's first region
    // A request too big for the child's regions adds one, again from the parent.
    void* big = eslHeapAllocate(child, 50000, 0);
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(Stats(child).regions, 2u);
    EXPECT_EQ(Stats(parent).usedBlocks, 2u);
    eslHeapDestroy(parent);  // the child's regions still hold references
    void* p = eslHeapAllocate(parent, 40, 0);
    EXPECT_EQ(eslHeapGetLength(parent, p), 40u);
    eslHeapFree(parent, p, 0);
    eslHeapFree(child, big, 0);  // its region is kept as the spare
    EXPECT_HEAP_SOUND(child);
    EXPECT_HEAP_SOUND(parent);
    eslHeapDestroy(child);  // releases the parent too
}

TEST(HeapFamily, OutOfMemoryAsksAndRetries) {
    static std::vector<std::string> asked;
    static std::vector<bool> answers;
    ESLQuestionHook previous = eslHeapSetQuestionHook([](const char* text, const char* caption) {
        asked.push_back(std::string(caption) + "|" + text);
        bool yes = answers.front();
        answers.erase(answers.begin());
        return yes;
    });
    const std::string question =
        "◆ ESL メモリアロケーション ◆|メモリ確保に失敗しました。\n"
        "他のアプリケーションで使用しているメモリを解放してください。\nメモリ確保を再実行しますか？";
    answers = {true};
    eslHeapFailRegions(1);
    ESLHeap h = eslHeapCreate(0, 0, 0, nullptr);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(asked, std::vector<std::string>{question});

    // A second region first needs the page of the heap's region index, then
    // the region: each is asked for again while the user says yes.
    const struct { unsigned int failures; std::vector<bool> answers; bool served; const char* what; } cases[] = {
        {1, {true}, true, "the index page, retried"},
        {2, {true, false}, false, "a large block's region, given up"},
        {1, {true}, true, "a large block's region, retried"},
    };
    std::vector<void*> blocks;
    for (const auto& c : cases) {
        asked.clear();
        answers = c.answers;
        eslHeapFailRegions(c.failures);
        void* p = eslHeapAllocate(h, 100000, 0);
        EXPECT_EQ(p != nullptr, c.served) << c.what;
        EXPECT_EQ(asked.size(), c.answers.size()) << c.what;
        EXPECT_TRUE(answers.empty()) << c.what;
        if (p != nullptr)
            blocks.push_back(p);
    }
    for (void* p : blocks)
        eslHeapFree(h, p, 0);
    eslHeapFailRegions(0);
    eslHeapSetQuestionHook(previous);
    EXPECT_HEAP_SOUND(h);
    eslHeapDestroy(h);
}

TEST(HeapFamily, GlobalHeapLockIsReentrant) {
    ESLHeap global = eslGetGlobalHeap();
    ASSERT_NE(global, nullptr);
    EXPECT_EQ(eslGetGlobalHeap(), global);
    eslHeapLock(nullptr);
    eslHeapLock(nullptr);
    void* q = eslHeapAllocate(nullptr, 20, 0);
    EXPECT_EQ(eslHeapGetLength(global, q), 24u);
    eslHeapFree(global, q, 0);
    eslHeapUnlock(nullptr);
    eslHeapUnlock(nullptr);
}

TEST(HeapFamily, CheckerSeesABrokenHeader) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "block headers are poisoned in sanitizer builds";
#else
    ESLHeap h = eslHeapCreate(0, 0, 0, nullptr);
    eslheap::Block* header = eslheap::HeaderOf(eslHeapAllocate(h, 24, 0));
    uint32_t saved = header->back;
    header->back ^= 8;
    char why[200];
    EXPECT_FALSE(eslHeapCheck(h, why, sizeof why));
    EXPECT_NE(strstr(why, "back link"), nullptr) << why;
    header->back = saved;
    EXPECT_HEAP_SOUND(h);
    eslHeapDestroy(h);
#endif
}

// --- randomized against a shadow model ---

struct Live {
    unsigned char* p;
    unsigned int size;
    unsigned char tag;
    bool zeroTail;  // added bytes of the last growth were to be zero
};

class Shadow {
public:
    explicit Shadow(ESLHeap heap) : m_heap(heap) {}
    // No two live blocks overlap.
    bool Claim(const Live& b) {
        uintptr_t s = reinterpret_cast<uintptr_t>(b.p), e = s + (b.size ? b.size : 1);
        auto next = m_ranges.lower_bound(s);
        if (next != m_ranges.end() && next->first < e)
            return false;
        if (next != m_ranges.begin() && std::prev(next)->second > s)
            return false;
        m_ranges[s] = e;
        return true;
    }
    void Drop(const Live& b) { m_ranges.erase(reinterpret_cast<uintptr_t>(b.p)); }
    ESLHeap m_heap;

private:
    std::map<uintptr_t, uintptr_t> m_ranges;
};

void RunTrace(ESLHeap heap, unsigned seed, int operations, bool checkEveryThousand) {
    std::mt19937 rng(seed);
    Shadow shadow(heap);
    std::vector<Live> live;
    auto size = [&]() -> unsigned int {
        unsigned r = rng() % 100;
        if (r < 80)
            return 8 + rng() % 505;          // small
        if (r < 97)
            return 512 + rng() % 8000;       // medium
        return 20000 + rng() % 60000;        // some beyond half the growth
    };
    for (int op = 0; op < operations; ++op) {
        unsigned kind = rng() % 10;
        if (live.size() < 200 || (kind < 4 && live.size() < 3000)) {
            unsigned flags = rng() % 4 == 0 ? heapZeroFill : 0;
            Live b{nullptr, size(), static_cast<unsigned char>(rng()), false};
            b.p = static_cast<unsigned char*>(eslHeapAllocate(heap, b.size, flags));
            ASSERT_NE(b.p, nullptr);
            ASSERT_GE(eslHeapGetLength(heap, b.p), b.size);
            if (flags) {
                for (unsigned i = 0; i < b.size; ++i)
                    ASSERT_EQ(b.p[i], 0) << "zero fill at " << i;
            }
            ASSERT_TRUE(shadow.Claim(b)) << "overlap at op " << op;
            memset(b.p, b.tag, b.size);
            live.push_back(b);
        } else if (kind < 7) {
            size_t i = rng() % live.size();
            Live& b = live[i];
            for (unsigned k = 0; k < b.size; ++k)
                ASSERT_EQ(b.p[k], b.tag) << "contents lost at op " << op;
            shadow.Drop(b);
            eslHeapFree(heap, b.p, 0);
            live[i] = live.back();
            live.pop_back();
        } else {
            Live& b = live[rng() % live.size()];
            unsigned int newSize = rng() % 3 == 0 ? b.size / 2 + 1 : size();
            unsigned flags = rng() % 4 == 0 ? heapZeroFill : 0;
            shadow.Drop(b);
            unsigned int oldLength = eslHeapGetLength(heap, b.p);
            unsigned char* q = static_cast<unsigned char*>(eslHeapReallocate(heap, b.p, newSize, flags));
            ASSERT_NE(q, nullptr);
            unsigned kept = newSize < b.size ? newSize : b.size;
            for (unsigned k = 0; k < kept; ++k)
                ASSERT_EQ(q[k], b.tag) << "reallocation lost contents at op " << op;
            // Zero fill covers what the block gains beyond its old length.
            if (flags) {
                for (unsigned k = oldLength; k < newSize; ++k)
                    ASSERT_EQ(q[k], 0) << "added bytes not zero at op " << op;
            }
            b.p = q;
            b.size = newSize;
            ASSERT_GE(eslHeapGetLength(heap, q), newSize);
            ASSERT_TRUE(shadow.Claim(b)) << "overlap after reallocation at op " << op;
            memset(q, b.tag, newSize);
        }
        if (checkEveryThousand && op % 1000 == 999) {
            char why[200];
            ASSERT_TRUE(eslHeapCheck(heap, why, sizeof why)) << "op " << op << ": " << why;
        }
    }
    for (Live& b : live)
        eslHeapFree(heap, b.p, 0);
}

TEST(HeapStress, OwnAndChildHeapsAgainstAShadowModel) {
    ESLHeap own = eslHeapCreate(0, 0, 0, nullptr);
    RunTrace(own, 1, 150000, true);
    EXPECT_EQ(Stats(own).usedBlocks, 0u);
    EXPECT_LE(Stats(own).regions, 2u);  // the first and at most one spare
    ESLHeap child = eslHeapCreate(8192, 16384, 0, own);
    RunTrace(child, 2, 100000, true);
    EXPECT_EQ(Stats(child).usedBlocks, 0u);
    EXPECT_HEAP_SOUND(child);
    eslHeapDestroy(child);
    EXPECT_HEAP_SOUND(own);
    EXPECT_EQ(Stats(own).usedBlocks, 0u);
    eslHeapDestroy(own);
}

TEST(HeapStress, FourThreadsOnTheGlobalHeap) {
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 4; ++t)
        threads.emplace_back([t] { RunTrace(nullptr, 100 + t, 20000, false); });
    for (auto& t : threads)
        t.join();
    EXPECT_HEAP_SOUND(nullptr);
}

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer still sees overruns and uses after free of ESL blocks.
TEST(HeapSanitizer, OverrunAndUseAfterFreeAreReported) {
    EXPECT_DEATH(
        {
            char* p = static_cast<char*>(eslHeapAllocate(nullptr, 13, 0));
            volatile char* v = p;
            v[13] = 1;  // one byte past the request
        },
        "ERROR: AddressSanitizer");
    EXPECT_DEATH(
        {
            char* p = static_cast<char*>(eslHeapAllocate(nullptr, 64, 0));
            eslHeapFree(nullptr, p, 0);
            volatile char* v = p;
            v[8] = 1;
        },
        "AddressSanitizer: use-after-poison");
}
#endif

// --- the stack heap ---

TEST(StackHeap, BumpsGrowsAndResets) {
    ESLStackHeap s = eslStackHeapCreate(0, 0, 0);
    ASSERT_NE(s, nullptr);
    uint32_t usable = 65536 - eslheap::kStackHeader;
#if defined(_WIN32) && !defined(_WIN64)
    EXPECT_EQ(usable, 65504u);
#endif
    char* a = static_cast<char*>(eslStackHeapAllocate(s, 1));
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 16, 0u);
    // 1 byte takes 16; the rest of the region is exactly usable.
    EXPECT_EQ(static_cast<char*>(eslStackHeapAllocate(s, usable - 16)), a + 16);
    char* b = static_cast<char*>(eslStackHeapAllocate(s, 16));
    EXPECT_TRUE(b < a || b >= a + usable);  // a new region
    // A request beyond the growth size gets roundup4096(n + header) bytes.
    char* big = static_cast<char*>(eslStackHeapAllocate(s, 100000));
    ASSERT_NE(big, nullptr);
    memset(big, 0x3C, 100000);
    uint32_t rest = RoundUp4096(100000 + eslheap::kStackHeader) - eslheap::kStackHeader - 100000;
    EXPECT_EQ(static_cast<char*>(eslStackHeapAllocate(s, rest)), big + 100000);
    char* c = static_cast<char*>(eslStackHeapAllocate(s, 16));
    EXPECT_TRUE(c < big || c >= big + 100000 + rest);
    EXPECT_EQ(eslStackHeapAllocate(s, 1u << 30), nullptr);
    eslStackHeapFree(s);
    EXPECT_EQ(eslStackHeapAllocate(s, 5), a);
    eslStackHeapDestroy(s);
    eslStackHeapDestroy(nullptr);
}

}  // namespace

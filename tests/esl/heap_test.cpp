#include <gtest/gtest.h>

#include <string.h>

#include <thread>
#include <vector>

#include "esl/heap.h"
#include "test_support.h"

namespace {

const unsigned int kBad = 0xFFFFFFFFu;
const char kInvalidFree[] = "無効なメモリブロックをヒープから解放しようとしました。\n";

class Heap : public ::testing::Test {
protected:
    void SetUp() override { heap = eslHeapCreate(0, 0, 0, nullptr); ASSERT_NE(heap, nullptr); }
    void TearDown() override { eslHeapDestroy(heap); }
    ESLHeap heap = nullptr;
};

TEST_F(Heap, LengthsAreRoundedToEight) {
    void* a = eslHeapAllocate(heap, 0, 0);
    void* b = eslHeapAllocate(heap, 10, 0);
    void* c = eslHeapAllocate(heap, 8, 0);
    void* d = eslHeapAllocate(heap, 4097, 0);
    ASSERT_TRUE(a && b && c && d);
    EXPECT_EQ(eslHeapGetLength(heap, a), 8u);
    EXPECT_EQ(eslHeapGetLength(heap, b), 16u);
    EXPECT_EQ(eslHeapGetLength(heap, c), 8u);
    EXPECT_EQ(eslHeapGetLength(nullptr, d), 4104u);  // the heap argument is not needed
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % 8, 0u);
    memset(d, 0xA5, 4104);  // the whole rounded length is usable
    for (void* p : {a, b, c, d})
        eslHeapFree(heap, p, 0);
}

TEST_F(Heap, LengthOfAnythingElseIsTheFailureValue) {
    EXPECT_EQ(eslHeapGetLength(heap, nullptr), kBad);
    void* p = eslHeapAllocate(heap, 64, 0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(eslHeapGetLength(heap, static_cast<char*>(p) + 1), kBad);
    // A pointer into the middle of a block carries no mark in front of it.
    memset(p, 0, 64);
    EXPECT_EQ(eslHeapGetLength(heap, static_cast<char*>(p) + 48), kBad);
    eslHeapFree(heap, p, 0);
}

TEST_F(Heap, ZeroFillOnAllocateAndOnGrowth) {
    ESLHeap zero = eslHeapCreate(0, 0, heapZeroFill, nullptr);
    ASSERT_NE(zero, nullptr);
    // Dirty some memory first so that zeros are not luck.
    for (int i = 0; i < 8; ++i) {
        void* dirty = eslHeapAllocate(zero, 1000, 0);
        memset(dirty, 0xCC, 1000);
        eslHeapFree(zero, dirty, 0);
    }
    unsigned char* p = static_cast<unsigned char*>(eslHeapAllocate(zero, 1000, 0));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(p[i], 0) << i;
    memset(p, 0x11, 1000);
    p = static_cast<unsigned char*>(eslHeapReallocate(zero, p, 50000, 0));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(eslHeapGetLength(zero, p), 50000u);
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(p[i], 0x11) << i;
    for (int i = 1000; i < 50000; ++i)
        ASSERT_EQ(p[i], 0) << i;
    eslHeapFree(zero, p, 0);
    eslHeapDestroy(zero);

    // The per-call flag works on an ordinary heap too.
    unsigned char* q = static_cast<unsigned char*>(eslHeapAllocate(heap, 24, 0));
    memset(q, 0x77, 24);
    q = static_cast<unsigned char*>(eslHeapReallocate(heap, q, 4000, heapZeroFill));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q[23], 0x77);
    EXPECT_EQ(q[24], 0);
    EXPECT_EQ(q[3999], 0);
    eslHeapFree(heap, q, 0);
}

TEST_F(Heap, ReallocateKeepsContentsAndAcceptsNull) {
    char* p = static_cast<char*>(eslHeapReallocate(heap, nullptr, 100, 0));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(eslHeapGetLength(heap, p), 104u);
    for (int i = 0; i < 100; ++i)
        p[i] = static_cast<char>(i);
    p = static_cast<char*>(eslHeapReallocate(heap, p, 10000, 0));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(p[i], static_cast<char>(i));
    p = static_cast<char*>(eslHeapReallocate(heap, p, 20, 0));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(eslHeapGetLength(heap, p), 24u);
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(p[i], static_cast<char>(i));
    eslHeapFree(heap, p, 0);
}

TEST_F(Heap, AbsurdSizesFailWithoutHarm) {
    EXPECT_EQ(eslHeapAllocate(heap, 1u << 30, 0), nullptr);
    EXPECT_EQ(eslHeapAllocate(heap, 0xFFFFFFFFu, 0), nullptr);
    EXPECT_EQ(eslHeapAllocate(heap, 0xFFFFFFF9u, 0), nullptr);  // would round to 0
    char* p = static_cast<char*>(eslHeapAllocate(heap, 16, 0));
    ASSERT_NE(p, nullptr);
    strcpy(p, "still here");
    EXPECT_EQ(eslHeapReallocate(heap, p, 0xFFFFFFFFu, 0), nullptr);
    EXPECT_STREQ(p, "still here");
    EXPECT_EQ(eslHeapGetLength(heap, p), 16u);
    eslHeapFree(heap, p, 0);
}

TEST_F(Heap, ForeignBlocksAreRefusedAndTraced) {
    CapturedOutput out;
    // A buffer of our own whose "header" area is readable but unmarked.
    alignas(16) unsigned char foreign[128];
    memset(foreign, 0x5A, sizeof foreign);
    eslHeapFree(heap, foreign + 64, 0);
    EXPECT_EQ(out.text(), kInvalidFree);
    for (unsigned char c : foreign)
        ASSERT_EQ(c, 0x5A);

    // A block of another heap is not this heap's to free.
    ESLHeap other = eslHeapCreate(0, 0, 0, nullptr);
    void* theirs = eslHeapAllocate(other, 32, 0);
    out.clear();
    eslHeapFree(heap, theirs, 0);
    EXPECT_EQ(out.text(), kInvalidFree);
    EXPECT_EQ(eslHeapGetLength(other, theirs), 32u);
    eslHeapFree(other, theirs, 0);
    eslHeapDestroy(other);

    out.clear();
    EXPECT_EQ(eslHeapReallocate(heap, foreign + 64, 10, 0), nullptr);
    EXPECT_EQ(out.text(), "無効なポインタを解放しようとしました。\n");

    // The heap still works.
    void* p = eslHeapAllocate(heap, 8, 0);
    EXPECT_NE(p, nullptr);
    eslHeapFree(heap, p, 0);
    eslHeapFree(heap, nullptr, 0);  // ignored, not traced
    EXPECT_EQ(out.count("\n"), 1);
}

TEST_F(Heap, DumpListsBlocksInUseOnly) {
    CapturedOutput out;
    eslHeapDump(heap, 100);
    EXPECT_EQ(out.text(), "");

    unsigned char* a = static_cast<unsigned char*>(eslHeapAllocate(heap, 16, 0));
    unsigned char* b = static_cast<unsigned char*>(eslHeapAllocate(heap, 3, 0));
    unsigned char* c = static_cast<unsigned char*>(eslHeapAllocate(heap, 40, 0));
    for (int i = 0; i < 16; ++i)
        a[i] = static_cast<unsigned char>(0xA0 + i);
    memset(b, 0x01, 8);
    memset(c, 0xEE, 40);
    eslHeapDump(heap, 100);
    EXPECT_EQ(out.count("ESL の解放されていないメモリブロックがあります\n"), 1);
    EXPECT_EQ(out.count("block "), 3);
    EXPECT_EQ(out.count("(16 bytes) : A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF\n"), 1);
    EXPECT_EQ(out.count("(8 bytes) : 01 01 01 01 01 01 01 01\n"), 1);
    // At most 16 bytes of a block are shown.
    EXPECT_EQ(out.count("(40 bytes) : EE EE EE EE EE EE EE EE EE EE EE EE EE EE EE EE\n"), 1);

    out.clear();
    eslHeapDump(heap, 2);
    EXPECT_EQ(out.count("block "), 2);

    eslHeapFree(heap, a, 0);
    eslHeapFree(heap, b, 0);
    eslHeapFree(heap, c, 0);
    out.clear();
    eslHeapDump(heap, 100);
    EXPECT_EQ(out.text(), "");
}

TEST(HeapReferences, ParentOutlivesItsSubHeap) {
    ESLHeap parent = eslHeapCreate(0, 0, 0, nullptr);
    ESLHeap child = eslHeapCreate(4096, 0, heapNoLock, parent);
    ASSERT_NE(child, nullptr);
    eslHeapDestroy(parent);  // the child still holds a reference
    void* p = eslHeapAllocate(parent, 40, 0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(eslHeapGetLength(parent, p), 40u);
    eslHeapFree(parent, p, 0);
    void* q = eslHeapAllocate(child, 10, 0);
    EXPECT_EQ(eslHeapGetLength(child, q), 16u);
    eslHeapDestroy(child);  // releases q and the last reference of the parent
}

TEST(GlobalHeap, NullHandleMeansTheGlobalHeap) {
    ESLHeap global = eslGetGlobalHeap();
    ASSERT_NE(global, nullptr);
    EXPECT_EQ(eslGetGlobalHeap(), global);
    void* p = eslHeapAllocate(nullptr, 20, 0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(eslHeapGetLength(global, p), 24u);
    eslHeapFree(global, p, 0);  // the same heap under its own handle

    // The lock is re-entrant: calls inside a held lock still work.
    eslHeapLock(nullptr);
    eslHeapLock(nullptr);
    void* q = eslHeapAllocate(nullptr, 8, 0);
    eslHeapFree(nullptr, q, 0);
    eslHeapUnlock(nullptr);
    eslHeapUnlock(nullptr);
}

TEST(GlobalHeap, ConcurrentThreadsKeepTheirBlocks) {
    auto work = [](unsigned char tag, bool* ok) {
        std::vector<unsigned char*> blocks;
        for (int i = 0; i < 300; ++i) {
            unsigned char* p = static_cast<unsigned char*>(eslHeapAllocate(nullptr, 8 + i % 64, 0));
            if (p == nullptr) {
                *ok = false;
                return;
            }
            memset(p, tag, 8 + i % 64);
            blocks.push_back(p);
        }
        for (size_t i = 0; i < blocks.size(); ++i) {
            for (int k = 0; k < 8 + static_cast<int>(i) % 64; ++k)
                if (blocks[i][k] != tag)
                    *ok = false;
            eslHeapFree(nullptr, blocks[i], 0);
        }
    };
    bool ok1 = true, ok2 = true;
    std::thread t1(work, 0x11, &ok1);
    std::thread t2(work, 0x22, &ok2);
    t1.join();
    t2.join();
    EXPECT_TRUE(ok1);
    EXPECT_TRUE(ok2);
}

TEST(StackHeap, BumpsAndResets) {
    ESLStackHeap s = eslStackHeapCreate(0, 0, 0);
    ASSERT_NE(s, nullptr);
    char* a = static_cast<char*>(eslStackHeapAllocate(s, 1));
    char* b = static_cast<char*>(eslStackHeapAllocate(s, 17));
    char* c = static_cast<char*>(eslStackHeapAllocate(s, 16));
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(b - a, 16);  // 1 byte takes 16
    EXPECT_EQ(c - b, 32);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 16, 0u);

    // Larger than the growth size: a region of its own, fully usable.
    char* big = static_cast<char*>(eslStackHeapAllocate(s, 100000));
    ASSERT_NE(big, nullptr);
    memset(big, 0x3C, 100000);
    char* after = static_cast<char*>(eslStackHeapAllocate(s, 32));
    ASSERT_NE(after, nullptr);
    memset(after, 0, 32);

    // Fill the rest of a region, then spill into a new one.
    for (int i = 0; i < 10; ++i) {
        char* p = static_cast<char*>(eslStackHeapAllocate(s, 16000));
        ASSERT_NE(p, nullptr);
        memset(p, i, 16000);
    }
    EXPECT_EQ(eslStackHeapAllocate(s, 1u << 30), nullptr);

    eslStackHeapFree(s);
    EXPECT_EQ(eslStackHeapAllocate(s, 5), a);
    eslStackHeapDestroy(s);
    eslStackHeapDestroy(nullptr);
}

}  // namespace

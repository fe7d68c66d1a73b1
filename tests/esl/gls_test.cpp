#include <gtest/gtest.h>

#include <string.h>

#include <thread>
#include <vector>

#include "esl/heap.h"
#include "gls/library.h"
#include "test_support.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif
#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

const char kLeakHeading[] = "ESL の解放されていないメモリブロックがあります\n";

int GlobalBlocksInUse() {
    CapturedOutput out;
    eslHeapDump(nullptr, 100000);
    return out.count("block ");
}

TEST(Library, ReferenceCountedInitialisation) {
    glsInitializeLibrary();
    ESLHeap global = eslGetGlobalHeap();
    ASSERT_NE(global, nullptr);
    glsInitializeLibrary();
    void* leak = eslHeapAllocate(nullptr, 16, 0);
    memset(leak, 0xAB, 16);
    {
        CapturedOutput out;
        glsCloseLibrary();  // one of two: nothing is torn down
        EXPECT_EQ(out.text(), "");
    }
    EXPECT_EQ(eslGetGlobalHeap(), global);
    EXPECT_EQ(eslHeapGetLength(nullptr, leak), 16u);
    {
        CapturedOutput out;
        glsCloseLibrary();  // the last one lists what is left and frees the heap
        EXPECT_EQ(out.count(kLeakHeading), 1);
        EXPECT_EQ(out.count("(16 bytes) : AB AB AB AB AB AB AB AB AB AB AB AB AB AB AB AB\n"), 1);
    }
    // The heap comes back on demand, empty.
    EXPECT_NE(eslGetGlobalHeap(), nullptr);
    EXPECT_EQ(GlobalBlocksInUse(), 0);

    // A second cycle initialises afresh.
    glsInitializeLibrary();
    EXPECT_NE(eslGetGlobalHeap(), nullptr);
    glsCloseLibrary();
}

TEST(Library, TaskRecordsArePerThreadAndCounted) {
    glsInitializeLibrary();
    int base = GlobalBlocksInUse();  // includes this thread's record
    std::thread([&] {
        glsCloseTask();  // never registered: nothing happens
        EXPECT_EQ(GlobalBlocksInUse(), base);
        glsInitializeTask();
        glsInitializeTask();
        EXPECT_EQ(GlobalBlocksInUse(), base + 1);
        glsCloseTask();
        EXPECT_EQ(GlobalBlocksInUse(), base + 1);
        glsCloseTask();
        EXPECT_EQ(GlobalBlocksInUse(), base);
        glsCloseTask();
        EXPECT_EQ(GlobalBlocksInUse(), base);
    }).join();
    glsCloseLibrary();
}

TEST(Library, ProcessorTypeWord) {
    glsEnableProcessorType(0);
    unsigned int detected = glsGetEnabledProcessorType();
#if defined(__i386__) || defined(__x86_64__)
    unsigned int eax, ebx, ecx, edx;
    ASSERT_TRUE(__get_cpuid(1, &eax, &ebx, &ecx, &edx));
    unsigned int expected = 0;
    if (edx & (1u << 23))
        expected |= processorMMX;
    if (edx & (1u << 25))
        expected |= processorSSE;
    EXPECT_EQ(detected, expected);
#endif
    glsDisableProcessorType(processorSSE | processorMMX);
    EXPECT_EQ(glsGetEnabledProcessorType(), 0u);
    glsEnableProcessorType(processorSSE);
    EXPECT_EQ(glsGetEnabledProcessorType(), static_cast<unsigned int>(processorSSE));
    glsEnableProcessorType(0x100);  // other bits are kept as given
    EXPECT_EQ(glsGetEnabledProcessorType(), 0x108u);
    glsDisableProcessorType(0x100);
    glsEnableProcessorType(0);  // a fresh detection replaces the word
    EXPECT_EQ(glsGetEnabledProcessorType(), detected);
}

TEST(Memory, FillWritesExactlyTheRange) {
    for (unsigned int n : {0u, 1u, 7u, 127u, 128u, 129u, 1000u}) {
        for (unsigned int offset : {0u, 1u, 3u, 5u}) {
            std::vector<unsigned char> buf(1100, 0x11);
            eslFillMemory(buf.data() + offset, 0xC3, n);
            for (size_t i = 0; i < buf.size(); ++i) {
                bool inside = i >= offset && i < offset + n;
                ASSERT_EQ(buf[i], inside ? 0xC3 : 0x11) << "n=" << n << " offset=" << offset << " i=" << i;
            }
        }
    }
}

TEST(Memory, MoveHandlesOverlapInBothDirections) {
    unsigned int saved = glsGetEnabledProcessorType();
    for (unsigned int features : {saved, 0u}) {
        glsDisableProcessorType(0xFFFFFFFFu);
        glsEnableProcessorType(features == 0 ? 0x10000u : features);
        for (unsigned int n : {0u, 1u, 9u, 127u, 128u, 129u, 511u, 512u, 513u, 1500u}) {
            for (int shift : {-17, -16, -3, -1, 1, 3, 16, 17}) {
                std::vector<unsigned char> buf(2100);
                for (size_t i = 0; i < buf.size(); ++i)
                    buf[i] = static_cast<unsigned char>(i * 7 + i / 251);
                std::vector<unsigned char> expected = buf;
                size_t src = 300, dst = static_cast<size_t>(300 + shift);
                // What a byte copy in the safe direction produces.
                std::vector<unsigned char> original(buf.begin() + src, buf.begin() + src + n);
                std::copy(original.begin(), original.end(), expected.begin() + dst);
                eslMoveMemory(buf.data() + dst, buf.data() + src, n);
                ASSERT_EQ(buf, expected) << "n=" << n << " shift=" << shift;
            }
        }
    }
    glsDisableProcessorType(0xFFFFFFFFu);
    glsEnableProcessorType(saved == 0 ? 0u : saved);
}

TEST(GameWindow, ClassName) {
    EXPECT_STREQ(GetGameWindowClassName(), "ZazadERA_GameWindow");
#if defined(_WIN32)
    RegisterGameWindowClass();
    WNDCLASSA wc;
    ASSERT_TRUE(GetClassInfoA(GetModuleHandleA(nullptr), GetGameWindowClassName(), &wc));
    EXPECT_EQ(wc.style, static_cast<UINT>(CS_NOCLOSE));
    EXPECT_EQ(wc.cbWndExtra, 4);
#endif
}

}  // namespace

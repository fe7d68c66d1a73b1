#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include "esl/heap.h"
#include "gls/exception_log.h"
#include "gls/library.h"
#include "gls/processor.h"
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

// --- fill and copy against byte-by-byte references ---

// Runs the body once with the streaming paths allowed (where the processor
// has them) and once with only the plain paths.
template <class Body>
void ForBothPaths(Body body) {
    unsigned int saved = eslGetProcessorFeatures();
    glsEnableProcessorType(0);
    unsigned int detected = eslGetProcessorFeatures();
#if defined(__i386__) || defined(__x86_64__)
    ASSERT_NE(detected & processorSSE, 0u) << "every x86 test machine has SSE";
#endif
    for (unsigned int features : {detected, detected & ~static_cast<unsigned int>(processorSSE)}) {
        eslSetProcessorFeatures(features);
        SCOPED_TRACE(features & processorSSE ? "streaming" : "plain");
        body();
        if (::testing::Test::HasFatalFailure())
            break;
    }
    eslSetProcessorFeatures(saved);
}

std::vector<unsigned int> SizesToCheck() {
    std::vector<unsigned int> sizes;
    for (unsigned int n = 0; n <= 1100; ++n)
        sizes.push_back(n);
    for (unsigned int n = 4090; n <= 4100; ++n)
        sizes.push_back(n);
    return sizes;
}

const unsigned int kMiB = 1u << 20;

// Margins of 32 bytes around the range show writes outside it.
void CheckFill(unsigned int n, unsigned int dstAlign) {
    static std::vector<unsigned char> buf, expected;
    buf.assign(n + 64, 0x11);
    expected = buf;
    memset(expected.data() + 32 + dstAlign, 0xC3, n);
    eslFillMemory(buf.data() + 32 + dstAlign, 0xC3, n);
    ASSERT_TRUE(buf == expected) << "fill n=" << n << " dst%16=" << dstAlign;
}

// Copy between separate buffers; offsets 0 to 15 of each cover every
// alignment modulo 16, whatever the buffers' own alignment.
void CheckCopy(unsigned int n, unsigned int srcAlign, unsigned int dstAlign) {
    static std::vector<unsigned char> src, dst, expected;
    if (src.size() < n + 64) {
        src.resize(n + 64);
        for (size_t i = 0; i < src.size(); ++i)
            src[i] = static_cast<unsigned char>(i * 7 + i / 251 + 1);
    }
    dst.assign(n + 64, 0x11);
    expected = dst;
    memcpy(expected.data() + 32 + dstAlign, src.data() + 32 + srcAlign, n);
    eslMoveMemory(dst.data() + 32 + dstAlign, src.data() + 32 + srcAlign, n);
    ASSERT_TRUE(dst == expected) << "copy n=" << n << " src%16=" << srcAlign << " dst%16=" << dstAlign;
}

// Copy within one buffer: the result must be what a byte copy in the safe
// direction gives (the source as it was before the copy).
void CheckOverlap(unsigned int n, unsigned int srcAt, int shift) {
    std::vector<unsigned char> buf(n + 2 * 1100);
    for (size_t i = 0; i < buf.size(); ++i)
        buf[i] = static_cast<unsigned char>(i * 13 + i / 241);
    std::vector<unsigned char> expected = buf;
    size_t dstAt = static_cast<size_t>(static_cast<int>(srcAt) + shift);
    memcpy(expected.data() + dstAt, buf.data() + srcAt, n);  // from the untouched original
    eslMoveMemory(buf.data() + dstAt, buf.data() + srcAt, n);
    ASSERT_TRUE(buf == expected) << "overlap n=" << n << " src=" << srcAt << " shift=" << shift;
}

TEST(Memory, FillMatchesReference) {
    ForBothPaths([] {
        for (unsigned int n : SizesToCheck())
            for (unsigned int d = 0; d < 16; ++d)
                ASSERT_NO_FATAL_FAILURE(CheckFill(n, d));
        for (unsigned int n : {kMiB - 1, kMiB, kMiB + 1})
            for (unsigned int d : {0u, 1u, 6u, 15u})
                ASSERT_NO_FATAL_FAILURE(CheckFill(n, d));
    });
}

TEST(Memory, CopyMatchesReference) {
    ForBothPaths([] {
        for (unsigned int n : SizesToCheck())
            for (unsigned int s = 0; s < 16; ++s)
                for (unsigned int d = 0; d < 16; ++d)
                    ASSERT_NO_FATAL_FAILURE(CheckCopy(n, s, d));
        for (unsigned int n : {kMiB - 1, kMiB, kMiB + 1})
            for (unsigned int s : {0u, 3u})
                for (unsigned int d : {0u, 3u, 8u})
                    ASSERT_NO_FATAL_FAILURE(CheckCopy(n, s, d));
    });
}

TEST(Memory, OverlappingCopyInBothDirections) {
    ForBothPaths([] {
        for (unsigned int n : {0u, 1u, 9u, 127u, 128u, 129u, 511u, 512u, 513u, 544u, 1100u})
            for (int shift : {-513, -512, -33, -32, -17, -16, -15, -8, -4, -3, -1, 1, 3, 4, 8, 15, 16, 17, 32, 33, 512, 513})
                for (unsigned int s = 0; s < 16; ++s)
                    ASSERT_NO_FATAL_FAILURE(CheckOverlap(n, 1100 + s, shift));
        ASSERT_NO_FATAL_FAILURE(CheckOverlap(kMiB, 1104, -7));
        ASSERT_NO_FATAL_FAILURE(CheckOverlap(kMiB, 1104, 48));
    });
}

// --- detection: a probe that faults ends it and keeps what was found ---

bool ProbePasses() { return true; }
bool ProbeFails() { return false; }
bool ProbeFaults() { __builtin_trap(); }

TEST(Library, DetectionStopsAtAFaultingProbe) {
#if defined(__i386__) || defined(__x86_64__)
    // Bit 0 of CPUID leaf 1 EDX (an x87 unit) is set on every such processor.
    struct Case {
        std::vector<ProcessorProbe> probes;
        unsigned int expected;
    } cases[] = {
        {{{0, 0x100, ProbePasses}, {0, 0x200, ProbeFails}, {0, 0x400, ProbePasses}}, 0x500},
        {{{0, 0x100, ProbePasses}, {0, 0x200, ProbeFaults}, {0, 0x400, ProbePasses}}, 0x100},
        {{{0, 0x100, ProbeFaults}, {0, 0x200, ProbePasses}}, 0},
        {{{0, processorMMX, kProcessorProbes[0].run}, {0, 0x200, ProbeFaults}}, processorMMX},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DetectProcessorFeatures(c.probes.data(), static_cast<unsigned int>(c.probes.size())), c.expected);
    // The guard is left behind intact: it catches again, and a clean body completes.
    EXPECT_FALSE(RunGuarded([](void*) { ProbeFaults(); }, nullptr));
    int ran = 0;
    EXPECT_TRUE(RunGuarded([](void* p) { ++*static_cast<int*>(p); }, &ran));
    EXPECT_EQ(ran, 1);
#endif
}

#if defined(_WIN32)

// --- the crash filter called directly (its dialogs and log: e2e_crash) ---

EXCEPTION_POINTERS Pointers(EXCEPTION_RECORD& record, CONTEXT& context, DWORD code, uintptr_t address, DWORD flags) {
    record = EXCEPTION_RECORD();
    record.ExceptionCode = code;
    record.ExceptionAddress = reinterpret_cast<void*>(address);
    context = CONTEXT();
    context.EFlags = flags;
    return EXCEPTION_POINTERS{&record, &context};
}

TEST(CrashFilter, SingleStepResumesWithTheTrapFlagCleared) {
    for (DWORD flags : {0x346u, 0x246u}) {
        EXCEPTION_RECORD record;
        CONTEXT context;
        EXCEPTION_POINTERS pointers = Pointers(record, context, 0x80000004, 0, flags);
        EXPECT_EQ(TopLevelExceptionFilter(&pointers), EXCEPTION_CONTINUE_EXECUTION);
        EXPECT_EQ(context.EFlags, 0x246u);
    }
}

// An in-page error is retried a few times at one address; then the user is
// asked, as for any other fault, instead of the program spinning forever.
TEST(CrashFilter, InPageErrorsAreRetriedThenAsked) {
    static std::vector<std::string> asked;
    CrashQuestionHook previous = SetCrashQuestionHook([](const char* text, unsigned int buttons) {
        asked.push_back(text);
        EXPECT_EQ(buttons, static_cast<unsigned int>(MB_YESNOCANCEL));
        return IDNO;  // go on without a log
    });
    const struct { uintptr_t address; bool asks; } faults[] = {
        {0x1000, false}, {0x1000, false}, {0x1000, false}, {0x1000, true}, {0x1000, true},
        {0x2000, false},  // another address counts afresh
    };
    for (auto f : faults) {
        EXCEPTION_RECORD record;
        CONTEXT context;
        EXCEPTION_POINTERS pointers = Pointers(record, context, 0xC0000006, f.address, 0x246);
        asked.clear();
        EXPECT_EQ(TopLevelExceptionFilter(&pointers), EXCEPTION_CONTINUE_EXECUTION);
        ASSERT_EQ(asked.size(), f.asks ? 1u : 0u) << std::hex << f.address;
        if (f.asks) {
            EXPECT_NE(asked[0].find("\n    ページ例外\n"), std::string::npos) << asked[0];
        }
        EXPECT_EQ(context.EFlags, 0x246u);
    }
    SetCrashQuestionHook(previous);
}

TEST(CrashFilter, InstalledByEachThreadsFirstRegistration) {
    glsInitializeLibrary();
    SetUnhandledExceptionFilter(nullptr);
    std::thread([] {
        glsInitializeTask();
        glsInitializeTask();
        glsCloseTask();
        glsCloseTask();
    }).join();
    EXPECT_EQ(SetUnhandledExceptionFilter(nullptr), &TopLevelExceptionFilter);
    glsCloseLibrary();
}

#endif

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

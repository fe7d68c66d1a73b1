// Processor-feature detection: the alignment-check test for CPUID, CPUID
// leaves 0 and 1, and probe instructions that must both execute and give the
// expected result, because an operating system that does not save a unit's
// state leaves its instructions faulting even where CPUID reports them.
#include "gls/processor.h"

#include "esl/memory.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#include <x86intrin.h>
#define GLS_X86 1
#endif

#if defined(_WIN32)
#include "esl/platform.h"
#else
#include <setjmp.h>
#include <signal.h>
#include <string.h>
#endif

namespace {

#if defined(GLS_X86)

// Read twice so that the compiler cannot know the two operands are equal and
// fold a probe's comparison away: the instruction has to run.
volatile int g_probeSeed = 0x5A;
volatile float g_probeFloat = 1.0f;

// MMX: compare a register with an equal one; every byte compares equal.
// (The x86_64 compiler may carry MMX intrinsics in SSE registers; MMX is
// part of that architecture anyway.)
__attribute__((target("mmx"), noinline)) bool ProbeMMX() {
    __m64 a = _mm_cvtsi32_si64(g_probeSeed);
    __m64 b = _mm_cvtsi32_si64(g_probeSeed);
    unsigned int low = static_cast<unsigned int>(_mm_cvtsi64_si32(_mm_cmpeq_pi8(a, b)));
    _mm_empty();
    return low == 0xFFFFFFFFu;
}

// SSE: a packed-single compare gives all ones, the high halves are moved
// down, and the word insert into an MMX register (an SSE instruction) zeroes
// its low word.
__attribute__((target("mmx,sse"), noinline)) bool ProbeSSE() {
    __m128 a = _mm_set_ps1(g_probeFloat);
    __m128 b = _mm_set_ps1(g_probeFloat);
    __m128 ones = _mm_cmpeq_ps(a, b);
    ones = _mm_movehl_ps(ones, ones);
    __m64 m;
    _mm_storel_pi(&m, ones);
    m = _mm_insert_pi16(m, 0, 0);
    unsigned int low = static_cast<unsigned int>(_mm_cvtsi64_si32(m));
    _mm_empty();
    return low == 0xFFFF0000u;
}

__attribute__((target("mmx"))) void LeaveMmxState() { _mm_empty(); }

// A processor without CPUID (before the 486) cannot change EFLAGS bit 18.
bool CanToggleAlignmentCheck() {
    const unsigned int kAlignmentCheck = 1u << 18;
    auto original = __readeflags();
    __writeeflags(original ^ kAlignmentCheck);
    auto changed = __readeflags();
    __writeeflags(original);  // at once: with the flag set, unaligned accesses may fault
    return ((original ^ changed) & kAlignmentCheck) != 0;
}

struct Detection {
    const ProcessorProbe* probes;
    unsigned int count;
    volatile unsigned int found;  // survives a fault in a later probe
};

void DetectGuarded(void* context) {
    Detection* d = static_cast<Detection*>(context);
    unsigned int maxLeaf, ebx, ecx, edx;
    __cpuid(0, maxLeaf, ebx, ecx, edx);
    if (maxLeaf < 1)
        return;
    unsigned int eax;
    __cpuid(1, eax, ebx, ecx, edx);
    for (unsigned int i = 0; i < d->count; ++i) {
        const ProcessorProbe& p = d->probes[i];
        if ((edx >> p.edxBit) & 1u) {
            if (p.run())
                d->found = d->found | p.feature;
        }
    }
}

#endif  // GLS_X86

}  // namespace

#if defined(GLS_X86)
const ProcessorProbe kProcessorProbes[2] = {
    {23, processorMMX, &ProbeMMX},
    {25, processorSSE, &ProbeSSE},
};
#else
const ProcessorProbe kProcessorProbes[2] = {};
#endif

unsigned int DetectProcessorFeatures(const ProcessorProbe* probes, unsigned int count) {
#if defined(GLS_X86)
    if (!CanToggleAlignmentCheck())
        return 0;
    Detection detection = {probes, count, 0};
    if (!RunGuarded(&DetectGuarded, &detection) && (detection.found & processorMMX))
        LeaveMmxState();  // a probe may have stopped between its MMX instructions and EMMS
    return detection.found;
#else
    (void)probes;
    (void)count;
    return 0;
#endif
}

// --- the guard ---
//
// Each platform catches the fault on the faulting thread and jumps back to
// the guard's frame with __builtin_longjmp, which restores only the stack
// and frame pointers and the resume address; the guarded body is left
// without unwinding, so bodies hold no resources.

#if defined(_WIN32) && defined(__i386__)

namespace {

// A frame of the thread's structured exception chain (fs:[0]). The system
// passes the frame's address to the handler, so the jump buffer travels in it.
struct GuardFrame {
    GuardFrame* next;
    EXCEPTION_DISPOSITION(__cdecl* handler)(EXCEPTION_RECORD*, void*, CONTEXT*, void*);
    void* jump[5];
};

EXCEPTION_DISPOSITION __cdecl GuardHandler(EXCEPTION_RECORD* record, void* frame, CONTEXT*, void*) {
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
        return ExceptionContinueSearch;
    __builtin_longjmp(static_cast<GuardFrame*>(frame)->jump, 1);
}

// GCC 12 takes the fs-relative read inside NtCurrentTeb for an access at
// address 0x18 and warns about it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
__attribute__((noinline)) NT_TIB* CurrentThreadBlock() { return reinterpret_cast<NT_TIB*>(NtCurrentTeb()); }
#pragma GCC diagnostic pop

}  // namespace

bool RunGuarded(void (*body)(void*), void* context) {
    NT_TIB* tib = CurrentThreadBlock();
    GuardFrame frame;
    frame.next = reinterpret_cast<GuardFrame*>(tib->ExceptionList);
    frame.handler = &GuardHandler;
    volatile bool completed = false;
    if (__builtin_setjmp(frame.jump) == 0) {
        tib->ExceptionList = reinterpret_cast<EXCEPTION_REGISTRATION_RECORD*>(&frame);
        body(context);
        completed = true;
    }
    // After a fault the chain still holds the dispatcher's own frames, which
    // lay below this one on the abandoned stack: unlink them all.
    tib->ExceptionList = reinterpret_cast<EXCEPTION_REGISTRATION_RECORD*>(frame.next);
    return completed;
}

#elif defined(_WIN32)

// x86_64 has no frame chain to join; a vectored handler sees the exception
// first, on the faulting thread.
namespace {

__thread void** t_guardJump = nullptr;

LONG CALLBACK GuardHandler(EXCEPTION_POINTERS*) {
    void** jump = t_guardJump;
    if (jump == nullptr)
        return EXCEPTION_CONTINUE_SEARCH;
    t_guardJump = nullptr;
    __builtin_longjmp(jump, 1);
}

}  // namespace

bool RunGuarded(void (*body)(void*), void* context) {
    void* jump[5];
    void* handler = AddVectoredExceptionHandler(1, &GuardHandler);
    if (handler == nullptr)
        return false;
    volatile bool completed = false;
    if (__builtin_setjmp(jump) == 0) {
        t_guardJump = jump;
        body(context);
        completed = true;
    }
    t_guardJump = nullptr;
    RemoveVectoredExceptionHandler(handler);
    return completed;
}

#else

// Host: the probes can only fail with SIGILL.
namespace {

thread_local sigjmp_buf* t_guardJump = nullptr;

void GuardHandler(int signal) {
    sigjmp_buf* jump = t_guardJump;
    if (jump == nullptr) {
        ::signal(signal, SIG_DFL);
        raise(signal);
        return;
    }
    t_guardJump = nullptr;
    siglongjmp(*jump, 1);
}

}  // namespace

bool RunGuarded(void (*body)(void*), void* context) {
    struct sigaction action, previous;
    memset(&action, 0, sizeof action);
    action.sa_handler = &GuardHandler;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGILL, &action, &previous) != 0)
        return false;
    sigjmp_buf jump;
    volatile bool completed = false;
    if (sigsetjmp(jump, 1) == 0) {
        t_guardJump = &jump;
        body(context);
        completed = true;
    }
    t_guardJump = nullptr;
    sigaction(SIGILL, &previous, nullptr);
    return completed;
}

#endif

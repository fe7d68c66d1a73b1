// Test program of the crash filter. Like the installer, a Windows program
// whose static application object initialises the library (which installs
// the filter). It raises the exception that E2E_CRASH names:
//   single-step       sets the trap flag; exit 0 when execution goes on with it cleared
//   breakpoint        an INT3 byte; exit 0 when execution goes on after it
//   unknown           RaiseException with a code no table names; exit 0 when it returns
//   access-violation  a write to address 0x10 with known register contents; never returns
//   stack-overflow    unbounded recursion on the main thread; never returns
// Exit 2 for anything else.
#include <intrin.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <x86intrin.h>

#include "gls/library.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {

// Pointer-sized words where the general registers point at the fault; the
// driver reads them back from the log. Word 2 points 64 bytes before a page
// that cannot be read, so the dump that follows it stops after 4 lines.
alignas(16) uintptr_t g_blockA[32];
alignas(16) uintptr_t g_blockB[32];
alignas(16) uintptr_t g_blockC[32];
uintptr_t g_a, g_d, g_di;

[[noreturn]] void FaultWithKnownRegisters() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    unsigned char* pages = static_cast<unsigned char*>(
        VirtualAlloc(nullptr, 2 * info.dwPageSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    DWORD old;
    if (pages == nullptr || !VirtualProtect(pages + info.dwPageSize, info.dwPageSize, PAGE_NOACCESS, &old))
        ExitProcess(4);
    uintptr_t words[8] = {reinterpret_cast<uintptr_t>(g_blockB), 7, reinterpret_cast<uintptr_t>(pages + info.dwPageSize - 64),
                          0xFFFF, reinterpret_cast<uintptr_t>(g_blockC), 0, 0, 0};
    memcpy(g_blockA, words, sizeof words);
    unsigned char* text = reinterpret_cast<unsigned char*>(g_blockA) + sizeof words;
    for (size_t i = 0; i < sizeof g_blockA - sizeof words; ++i)
        text[i] = static_cast<unsigned char>(0x20 + i % 0x5F);
    text[0] = 0x0A;
    text[1] = 'A';
    g_a = reinterpret_cast<uintptr_t>(g_blockA);
    g_d = reinterpret_cast<uintptr_t>(g_blockB);
    g_di = reinterpret_cast<uintptr_t>(g_blockC);
    // Resuming repeats the faulting write, so control never comes back here
    // and the frame pointer may be overwritten.
#if defined(__x86_64__)
    __asm__ __volatile__(
        "movq %0, %%rax\n\tmovq %1, %%rdx\n\tmovq %2, %%rdi\n\t"
        "movl $5, %%ebx\n\txorl %%ecx, %%ecx\n\tmovl $0xFFFF, %%esi\n\tmovl $0x1234, %%ebp\n\t"
        "movl $1, %%r8d\n\tmovl $2, %%r9d\n\tmovl $3, %%r10d\n\tmovl $4, %%r11d\n\t"
        "movl $5, %%r12d\n\tmovl $6, %%r13d\n\tmovl $7, %%r14d\n\tmovl $8, %%r15d\n\t"
        "1: movl $1, 0x10\n\tjmp 1b"
        :
        : "m"(g_a), "m"(g_d), "m"(g_di)
        : "rax", "rbx", "rcx", "rdx", "rsi", "rdi", "r8", "r9", "r10", "r11", "r12", "r13", "r14", "r15", "memory");
#else
    __asm__ __volatile__(
        "movl %0, %%eax\n\tmovl %1, %%edx\n\tmovl %2, %%edi\n\t"
        "movl $5, %%ebx\n\txorl %%ecx, %%ecx\n\tmovl $0xFFFF, %%esi\n\tmovl $0x1234, %%ebp\n\t"
        "1: movl $1, 0x10\n\tjmp 1b"
        :
        : "m"(g_a), "m"(g_d), "m"(g_di)
        : "eax", "ebx", "ecx", "edx", "esi", "edi", "memory");
#endif
    __builtin_unreachable();
}

// Each call keeps a kilobyte on the stack, and the sum keeps it from
// becoming a loop.
__attribute__((noinline)) unsigned int Overflow(unsigned int depth) {
    volatile unsigned char frame[1024];
    frame[depth % sizeof frame] = static_cast<unsigned char>(depth);
    if (depth == 0xFFFFFFFFu)
        return frame[0];
    return Overflow(depth + 1) + frame[depth % sizeof frame];
}

// The installer's application object starts the library in its constructor.
struct Application {
    Application() { glsInitializeLibrary(); }
} theApplication;

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const char* action = getenv("E2E_CRASH");
    if (action == nullptr)
        return 2;
    if (strcmp(action, "single-step") == 0) {
        __writeeflags(__readeflags() | 0x100);  // the next instruction traps
        volatile int step = 0;
        step = step + 1;
        return (__readeflags() & 0x100) == 0 ? 0 : 3;
    }
    if (strcmp(action, "breakpoint") == 0) {
        __debugbreak();
        return 0;
    }
    if (strcmp(action, "unknown") == 0) {
        RaiseException(0xE0001234, 0, 0, nullptr);
        return 0;
    }
    if (strcmp(action, "access-violation") == 0)
        FaultWithKnownRegisters();
    if (strcmp(action, "stack-overflow") == 0)
        return static_cast<int>(Overflow(0));
    return 2;
}

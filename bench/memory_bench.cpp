// eslFillMemory and eslMoveMemory beside the C library's memset and memmove,
// for sizes from 64 bytes to 64 MiB, with the streaming (SSE) paths enabled
// and with only the plain 4- and 8-byte paths, in one run.
//
// Each operation is repeated over the same buffers (so sizes that fit a cache
// stay in it, as they do in a loop of a program) until 64 MiB have passed,
// at least 8 times; best of 5. Throughput in MB/s of bytes filled or copied
// (1 MB = 10^6 bytes).
//
// The last table shows what the streaming stores do to the heap's zero-filled
// allocations: allocate with heapZeroFill, then read the whole block once, as
// its owner would, and free it.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "esl/heap.h"
#include "esl/memory.h"

namespace {

double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Called through volatile pointers so that the compiler cannot drop or
// merge the calls.
void* (*volatile g_memset)(void*, int, size_t) = memset;
void* (*volatile g_memmove)(void*, const void*, size_t) = memmove;
void (*volatile g_fill)(void*, unsigned char, unsigned int) = eslFillMemory;
void (*volatile g_move)(void*, const void*, unsigned int) = eslMoveMemory;
volatile unsigned char g_sink;

template <class Op>
double MegabytesPerSecond(size_t n, Op op) {
    size_t repeats = std::max<size_t>(8, (64u << 20) / n);
    op();  // warm up: pages faulted in, caches as in the steady state
    double best = 1e30;
    for (int run = 0; run < 5; ++run) {
        double start = Now();
        for (size_t k = 0; k < repeats; ++k)
            op();
        best = std::min(best, Now() - start);
    }
    return static_cast<double>(n) * repeats / best / 1e6;
}

enum Mode { kPlain, kStreaming };

void SetMode(Mode mode) { eslSetProcessorFeatures(mode == kStreaming ? processorSSE : 0); }

}  // namespace

int main() {
    const size_t kSizes[] = {64,       256,      1 << 10,  4 << 10,  16 << 10, 64 << 10,
                             256 << 10, 1 << 20, 4 << 20, 16 << 20, 64 << 20};
    // 64-byte aligned buffers; the copy goes between two of them.
    size_t largest = 64u << 20;
    std::vector<unsigned char> a(largest + 64, 1), b(largest + 64, 2);
    unsigned char* src = a.data() + (64 - reinterpret_cast<uintptr_t>(a.data()) % 64) % 64;
    unsigned char* dst = b.data() + (64 - reinterpret_cast<uintptr_t>(b.data()) % 64) % 64;

    printf("fill (MB/s)\n%10s %10s %10s %10s %9s %9s\n", "bytes", "memset", "streaming", "plain", "str/mem",
           "plain/mem");
    for (size_t n : kSizes) {
        unsigned int u = static_cast<unsigned int>(n);
        double crt = MegabytesPerSecond(n, [&] { g_memset(dst, 0x5A, n); });
        SetMode(kStreaming);
        double streaming = MegabytesPerSecond(n, [&] { g_fill(dst, 0x5A, u); });
        SetMode(kPlain);
        double plain = MegabytesPerSecond(n, [&] { g_fill(dst, 0x5A, u); });
        printf("%10zu %10.0f %10.0f %10.0f %9.2f %9.2f\n", n, crt, streaming, plain, streaming / crt, plain / crt);
    }

    printf("\ncopy (MB/s)\n%10s %10s %10s %10s %9s %9s\n", "bytes", "memmove", "streaming", "plain", "str/mem",
           "plain/mem");
    for (size_t n : kSizes) {
        unsigned int u = static_cast<unsigned int>(n);
        double crt = MegabytesPerSecond(n, [&] { g_memmove(dst, src, n); });
        SetMode(kStreaming);
        double streaming = MegabytesPerSecond(n, [&] { g_move(dst, src, u); });
        SetMode(kPlain);
        double plain = MegabytesPerSecond(n, [&] { g_move(dst, src, u); });
        printf("%10zu %10.0f %10.0f %10.0f %9.2f %9.2f\n", n, crt, streaming, plain, streaming / crt, plain / crt);
    }

    // Misaligned source: the streaming copy takes its unaligned-load path.
    printf("\ncopy, source 16-aligned + 4 (MB/s)\n%10s %10s %10s %10s %9s %9s\n", "bytes", "memmove", "streaming",
           "plain", "str/mem", "plain/mem");
    for (size_t n : {size_t(4) << 10, size_t(1) << 20, size_t(16) << 20}) {
        unsigned int u = static_cast<unsigned int>(n);
        double crt = MegabytesPerSecond(n, [&] { g_memmove(dst, src + 4, n); });
        SetMode(kStreaming);
        double streaming = MegabytesPerSecond(n, [&] { g_move(dst, src + 4, u); });
        SetMode(kPlain);
        double plain = MegabytesPerSecond(n, [&] { g_move(dst, src + 4, u); });
        printf("%10zu %10.0f %10.0f %10.0f %9.2f %9.2f\n", n, crt, streaming, plain, streaming / crt, plain / crt);
    }

    printf("\nzero-filled heap block: allocate, read it all, free (MB/s of block)\n%10s %10s %10s %9s\n", "bytes",
           "streaming", "plain", "str/plain");
    // (Larger blocks take regions of their own, whose mapping costs hide the fill.)
    for (size_t n : {size_t(256), size_t(1) << 10, size_t(4) << 10, size_t(16) << 10}) {
        unsigned int u = static_cast<unsigned int>(n);
        auto cycle = [&] {
            unsigned char* p = static_cast<unsigned char*>(eslHeapAllocate(nullptr, u, heapZeroFill));
            unsigned int sum = 0;
            for (size_t i = 0; i < n; i += 64)
                sum += p[i];
            g_sink = static_cast<unsigned char>(sum);
            eslHeapFree(nullptr, p, 0);
        };
        SetMode(kStreaming);
        double streaming = MegabytesPerSecond(n, cycle);
        SetMode(kPlain);
        double plain = MegabytesPerSecond(n, cycle);
        printf("%10zu %10.0f %10.0f %9.2f\n", n, streaming, plain, streaming / plain);
    }
    return 0;
}

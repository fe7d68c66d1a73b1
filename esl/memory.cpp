// Bulk fill and copy.
//
// Plain path: byte steps up to a 4-aligned destination, then 8 bytes per step
// as two 32-bit words, then the bytes left over.
//
// Streaming path (128 bytes or more, processorSSE enabled): the destination is
// first brought to a 16-byte boundary, then written 16 bytes at a time with
// non-temporal stores (MOVNTPS), which do not pull the destination into the
// cache; a copy from a 16-aligned source reads 32 bytes per step with aligned
// loads and prefetches 512 bytes ahead. A store fence ends the streaming part,
// so the bytes are visible to other threads once the call returns. What is
// left (under 16 or 32 bytes) goes through the plain path.
//
// Every step of a copy loads all of its bytes before it stores any, and the
// direction keeps the unread part of the source ahead of the writes: that is
// what makes overlapping copies come out as a byte-by-byte copy would.
#include "esl/memory.h"

#include <string.h>

#if defined(__i386__) || defined(__x86_64__)
#include <xmmintrin.h>
#define ESL_SSE_PATHS 1
// The 32-bit build targets processors without SSE; only these functions
// may use it, and only after the feature word says the processor has it.
#define ESL_TARGET_SSE __attribute__((target("sse")))
#endif

namespace {

volatile unsigned int g_processorFeatures = 0;

const unsigned int kStreamingThreshold = 128;
const unsigned int kPrefetchDistance = 512;

typedef unsigned char byte;

inline uint32_t Load32(const byte* p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}
inline void Store32(byte* p, uint32_t v) { memcpy(p, &v, 4); }
inline uint16_t Load16(const byte* p) {
    uint16_t v;
    memcpy(&v, p, 2);
    return v;
}
inline void Store16(byte* p, uint16_t v) { memcpy(p, &v, 2); }
inline uintptr_t Misalignment(const void* p, uintptr_t alignment) {
    return reinterpret_cast<uintptr_t>(p) & (alignment - 1);
}

// --- plain paths ---

void FillPlain(byte* d, uint32_t pattern, unsigned int n) {
    byte value = static_cast<byte>(pattern);
    while (n != 0 && Misalignment(d, 4) != 0) {
        *d++ = value;
        --n;
    }
    for (; n >= 8; n -= 8, d += 8) {
        Store32(d, pattern);
        Store32(d + 4, pattern);
    }
    while (n-- != 0)
        *d++ = value;
}

void CopyForwardPlain(byte* d, const byte* s, unsigned int n) {
    while (n != 0 && Misalignment(d, 4) != 0) {
        *d++ = *s++;
        --n;
    }
    for (; n >= 8; n -= 8, d += 8, s += 8) {
        uint32_t lo = Load32(s), hi = Load32(s + 4);
        Store32(d, lo);
        Store32(d + 4, hi);
    }
    while (n-- != 0)
        *d++ = *s++;
}

// d and s point just past the ends of the regions.
void CopyBackwardPlain(byte* d, const byte* s, unsigned int n) {
    while (n != 0 && Misalignment(d, 4) != 0) {
        *--d = *--s;
        --n;
    }
    for (; n >= 8; n -= 8) {
        d -= 8;
        s -= 8;
        uint32_t lo = Load32(s), hi = Load32(s + 4);
        Store32(d, lo);
        Store32(d + 4, hi);
    }
    while (n-- != 0)
        *--d = *--s;
}

#if defined(ESL_SSE_PATHS)

// --- streaming paths; n >= kStreamingThreshold, so the alignment steps
// (at most 15 bytes) always leave at least one 16-byte block ---

ESL_TARGET_SSE void FillStreaming(byte* d, uint32_t pattern, unsigned int n) {
    if (Misalignment(d, 2) != 0) {
        *d++ = static_cast<byte>(pattern);
        --n;
    }
    if (Misalignment(d, 4) != 0) {
        Store16(d, static_cast<uint16_t>(pattern));
        d += 2;
        n -= 2;
    }
    while (Misalignment(d, 16) != 0) {
        Store32(d, pattern);
        d += 4;
        n -= 4;
    }
    // Loaded as bits: no float conversion may touch the pattern.
    alignas(16) uint32_t words[4] = {pattern, pattern, pattern, pattern};
    __m128 block = _mm_load_ps(reinterpret_cast<const float*>(words));
    for (; n >= 16; n -= 16, d += 16)
        _mm_stream_ps(reinterpret_cast<float*>(d), block);
    _mm_sfence();
    FillPlain(d, pattern, n);
}

ESL_TARGET_SSE void CopyForwardStreaming(byte* d, const byte* s, unsigned int n) {
    if (Misalignment(d, 2) != 0) {
        *d++ = *s++;
        --n;
    }
    if (Misalignment(d, 4) != 0) {
        Store16(d, Load16(s));
        d += 2;
        s += 2;
        n -= 2;
    }
    while (Misalignment(d, 16) != 0) {
        Store32(d, Load32(s));
        d += 4;
        s += 4;
        n -= 4;
    }
    if (Misalignment(s, 16) == 0) {
        for (; n > kPrefetchDistance; n -= 32, d += 32, s += 32) {
            _mm_prefetch(reinterpret_cast<const char*>(s + kPrefetchDistance), _MM_HINT_NTA);
            __m128 a = _mm_load_ps(reinterpret_cast<const float*>(s));
            __m128 b = _mm_load_ps(reinterpret_cast<const float*>(s + 16));
            _mm_stream_ps(reinterpret_cast<float*>(d), a);
            _mm_stream_ps(reinterpret_cast<float*>(d + 16), b);
        }
        for (; n >= 32; n -= 32, d += 32, s += 32) {
            __m128 a = _mm_load_ps(reinterpret_cast<const float*>(s));
            __m128 b = _mm_load_ps(reinterpret_cast<const float*>(s + 16));
            _mm_stream_ps(reinterpret_cast<float*>(d), a);
            _mm_stream_ps(reinterpret_cast<float*>(d + 16), b);
        }
    } else {
        for (; n >= 16; n -= 16, d += 16, s += 16)
            _mm_stream_ps(reinterpret_cast<float*>(d), _mm_loadu_ps(reinterpret_cast<const float*>(s)));
    }
    _mm_sfence();
    CopyForwardPlain(d, s, n);
}

// d and s point just past the ends of the regions.
ESL_TARGET_SSE void CopyBackwardStreaming(byte* d, const byte* s, unsigned int n) {
    if (Misalignment(d, 2) != 0) {
        *--d = *--s;
        --n;
    }
    if (Misalignment(d, 4) != 0) {
        d -= 2;
        s -= 2;
        Store16(d, Load16(s));
        n -= 2;
    }
    while (Misalignment(d, 16) != 0) {
        d -= 4;
        s -= 4;
        Store32(d, Load32(s));
        n -= 4;
    }
    if (Misalignment(s, 16) == 0) {
        for (; n > kPrefetchDistance; n -= 32) {
            d -= 32;
            s -= 32;
            _mm_prefetch(reinterpret_cast<const char*>(s - kPrefetchDistance), _MM_HINT_NTA);
            __m128 a = _mm_load_ps(reinterpret_cast<const float*>(s));
            __m128 b = _mm_load_ps(reinterpret_cast<const float*>(s + 16));
            _mm_stream_ps(reinterpret_cast<float*>(d + 16), b);
            _mm_stream_ps(reinterpret_cast<float*>(d), a);
        }
        for (; n >= 32; n -= 32) {
            d -= 32;
            s -= 32;
            __m128 a = _mm_load_ps(reinterpret_cast<const float*>(s));
            __m128 b = _mm_load_ps(reinterpret_cast<const float*>(s + 16));
            _mm_stream_ps(reinterpret_cast<float*>(d + 16), b);
            _mm_stream_ps(reinterpret_cast<float*>(d), a);
        }
    } else {
        for (; n >= 16; n -= 16) {
            d -= 16;
            s -= 16;
            _mm_stream_ps(reinterpret_cast<float*>(d), _mm_loadu_ps(reinterpret_cast<const float*>(s)));
        }
    }
    _mm_sfence();
    CopyBackwardPlain(d, s, n);
}

bool UseStreaming(unsigned int n) {
    return n >= kStreamingThreshold && (g_processorFeatures & processorSSE) != 0;
}

#endif

}  // namespace

unsigned int eslGetProcessorFeatures() { return g_processorFeatures; }
void eslSetProcessorFeatures(unsigned int features) { g_processorFeatures = features; }

void eslFillMemory(void* dst, unsigned char value, unsigned int n) {
    uint32_t pattern = value * 0x01010101u;
    byte* d = static_cast<byte*>(dst);
#if defined(ESL_SSE_PATHS)
    if (UseStreaming(n)) {
        FillStreaming(d, pattern, n);
        return;
    }
#endif
    FillPlain(d, pattern, n);
}

void eslMoveMemory(void* dst, const void* src, unsigned int n) {
    byte* d = static_cast<byte*>(dst);
    const byte* s = static_cast<const byte*>(src);
    if (n == 0 || d == s)
        return;
    // Compared as integers: the two regions need not belong to one object.
    bool forwards = reinterpret_cast<uintptr_t>(s) > reinterpret_cast<uintptr_t>(d);
#if defined(ESL_SSE_PATHS)
    if (UseStreaming(n)) {
        if (forwards)
            CopyForwardStreaming(d, s, n);
        else
            CopyBackwardStreaming(d + n, s + n, n);
        return;
    }
#endif
    if (forwards)
        CopyForwardPlain(d, s, n);
    else
        CopyBackwardPlain(d + n, s + n, n);
}

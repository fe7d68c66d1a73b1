// Adaptive frequency models of the EKISA code and the context tree built from
// them. The decoder and the encoder must keep these in exact step, so every
// rule that changes a model lives here, once.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "esl/heap.h"
#include "esl/memory.h"

const int ekisaEscape = -1;
const uint32_t ekisaMaxEntries = 260;
const uint32_t ekisaChildClasses = 128;
const uint32_t ekisaPoolModels = 2048;
const uint32_t ekisaHalvingTotal = 0x2000;
const uint32_t ekisaContextDepth = 4;
const uint32_t ekisaWindowSize = 0x10000;
const uint32_t ekisaWindowMask = 0xFFFF;
// Per byte value a ring of its last 256 window positions (16 bits each),
// then per byte value the ring slot its next position goes to.
const uint32_t ekisaOccurrenceSlots = 256;
const uint32_t ekisaOccurrenceBytes = 256 * ekisaOccurrenceSlots * sizeof(uint16_t) + 256;
const uint32_t ekisaMaxPhrase = 255;

// Child classes per level: the k-th most recent byte is shifted right by
// kEKISAContextShift[k-1]; a child is only created once its class has been
// seen kEKISAGrowthLimit[depth] times.
static const uint32_t kEKISAContextShift[ekisaContextDepth] = {1, 3, 4, 5};
static const uint32_t kEKISAGrowthLimit[ekisaContextDepth] = {1, 8, 16, 32};

// Exact floor(x / d) for x < 2^31 and 0 < d < 2^16, from the inverse
// 2^31 / d: the product is low by less than one, so one correction step
// suffices. Both coders divide by a model's total twice per symbol; each
// model keeps the inverse of its total, so they divide by multiplying.
constexpr uint32_t EKISAInverseOf(uint32_t d) { return 0x80000000u / d; }

// The inverses of every total a model can have, worked out once: a model's
// total changes with almost every symbol, and a division per symbol is slow
// on some processors (and under emulation).
struct EKISAInverseTable {
    uint32_t inverse[ekisaHalvingTotal + 1];
    constexpr EKISAInverseTable() : inverse() {
        for (uint32_t d = 1; d <= ekisaHalvingTotal; ++d)
            inverse[d] = EKISAInverseOf(d);
    }
};
inline constexpr EKISAInverseTable kEKISAInverses{};

// Totals stay at most ekisaHalvingTotal (an append after a bump can reach
// it); a larger one is divided all the same.
inline uint32_t EKISAInverse(uint32_t d) {
    return d <= ekisaHalvingTotal ? kEKISAInverses.inverse[d] : EKISAInverseOf(d);
}
inline uint32_t EKISADivide(uint32_t x, uint32_t d, uint32_t inverse) {
    const uint32_t q = static_cast<uint32_t>((static_cast<uint64_t>(x) * inverse) >> 31);
    // Without a branch: the correction is as often needed as not.
    return q + static_cast<uint32_t>(x - q * d >= d);
}

// The decoder finds an entry by its cumulative count. Flat models (the base
// model, the phrase models) put it far down the table, so every model also
// keeps the sum of the counts of each group of 16 entries: the search then
// steps over whole groups and scans one.
const uint32_t ekisaGroupShift = 4;
const uint32_t ekisaGroupEntries = 1u << ekisaGroupShift;
const uint32_t ekisaGroups = (ekisaMaxEntries + ekisaGroupEntries - 1) / ekisaGroupEntries;
// A bumped entry moves in front of the run of entries with its old count.
// For the small counts that nearly every bump has, each model keeps where
// that run starts; larger counts search for it.
const uint32_t ekisaTrackedCounts = 32;

// The fields a symbol touches come first: the header and the first, most
// used counts share the first 64 bytes; the counts, which the decoder scans,
// lie apart from the symbols, which it reads once. The size is a multiple of
// 64 bytes, so that models in an aligned array (the pool's) never share a
// cache line.
struct EKISASymbolModel {
    uint32_t inverse;     // EKISAInverse(total), kept with it
    uint16_t total;       // sum of the counts of the entries in use
    uint16_t entryCount;  // entries in use, at most ekisaMaxEntries
    // Sum of the counts of the entries in use, per group of 16 entries
    // (entries beyond entryCount count 0).
    uint16_t groupCounts[ekisaGroups];
    // The entries: counts[k] and symbols[k] (0..255, or ekisaEscape), the
    // counts non-increasing.
    uint16_t counts[ekisaMaxEntries];
    int16_t symbols[ekisaMaxEntries];
    // runStart[c], 0 < c < ekisaTrackedCounts: index of the first entry
    // whose count is at most c (entryCount when there is none). Appending
    // an entry (count 1, at the end) leaves every value right.
    uint16_t runStart[ekisaTrackedCounts];
    // Per class of the next older byte, how often it was seen in this
    // model's context; the model numbers of the children are kept by the
    // pool (EKISAModelPool::Child).
    uint16_t childCounts[ekisaChildClasses];
    uint16_t padding[3];
    // groupCounts, runStart, total and inverse are kept by every operation
    // below; the inverse is looked up when the total changes, well before
    // the next symbol in the model needs it.

    void InitModel() {
        for (uint32_t k = 0; k < 256; ++k) {
            counts[k] = 1;
            symbols[k] = static_cast<int16_t>(k);
        }
        counts[256] = 1;
        symbols[256] = ekisaEscape;
        entryCount = 257;
        Recount();
        ClearChildren();
    }

    // The group sums, the run starts and the total from the entries in use
    // (for a model whose entries were written directly).
    void Recount() {
        uint32_t sum = 0;
        for (uint32_t g = 0; g < ekisaGroups; ++g)
            groupCounts[g] = 0;
        for (uint32_t k = 0; k < entryCount; ++k) {
            groupCounts[k >> ekisaGroupShift] = static_cast<uint16_t>(groupCounts[k >> ekisaGroupShift] + counts[k]);
            sum += counts[k];
        }
        SetTotal(sum);
        uint32_t k = 0;
        for (uint32_t c = ekisaTrackedCounts - 1; c > 0; --c) {
            while (k < entryCount && counts[k] > c)
                ++k;
            runStart[c] = static_cast<uint16_t>(k);
        }
        runStart[0] = static_cast<uint16_t>(entryCount);  // no count is 0
    }

    void ClearChildren() {
        for (uint32_t k = 0; k < ekisaChildClasses; ++k)
            childCounts[k] = 0;
    }

    // The entry moves in front of every entry with a smaller count, but stays
    // behind those with an equal one.
    void BumpSymbol(uint32_t index) {
        const uint32_t old = counts[index];
        // The counts are sorted, so the entries passed are exactly those
        // before it with the same (old) count, from the run's start k on.
        uint32_t k;
        if (old < ekisaTrackedCounts) {
            k = runStart[old];
            runStart[old] = static_cast<uint16_t>(k + 1u);  // the entry at k leaves the run
        } else {
            k = index > 0 && counts[index - 1] == old ? RunStart(index, old) : index;
        }
        if (k != index)
            MoveSymbolUp(k, index);
        // By position only the count at k changes.
        counts[k] = static_cast<uint16_t>(old + 1u);
        groupCounts[k >> ekisaGroupShift] = static_cast<uint16_t>(groupCounts[k >> ekisaGroupShift] + 1u);
        if (total + 1u >= ekisaHalvingTotal)
            HalveCounts();
        else
            SetTotal(total + 1u);
    }

    // The counts of entries k..index (k < index) are all the same: only the
    // symbols move, one place down as a block, and the one at index goes
    // first. Two symbols per step from the end; most moves are a few
    // places, for which a call to memmove costs more.
    void MoveSymbolUp(uint32_t k, uint32_t index) {
        const int16_t moved = symbols[index];
        uint32_t j = index;
        for (; j >= k + 2; j -= 2) {
            uint32_t pair;
            memcpy(&pair, &symbols[j - 2], sizeof(pair));
            memcpy(&symbols[j - 1], &pair, sizeof(pair));
        }
        if (j > k)
            symbols[j] = symbols[j - 1];
        symbols[k] = moved;
    }

    // The first index of the run of entries with the count old (at least
    // ekisaTrackedCounts) that ends at index.
    __attribute__((noinline)) uint32_t RunStart(uint32_t index, uint32_t old) const {
        // The first entry with the old count lies in [low, low + span);
        // counts[index - 1] is it.
        uint32_t low = 0;
        uint32_t span = index;
        while (span > 1) {
            const uint32_t half = span / 2;
            low = counts[low + half - 1] == old ? low : low + half;
            span -= half;
        }
        return low;
    }

    // Symbol counts round up so that nothing falls to zero; child counts
    // round down. The order of the entries is unchanged.
    __attribute__((noinline)) void HalveCounts() {
        for (uint32_t k = 0; k < entryCount; ++k)
            counts[k] = static_cast<uint16_t>((counts[k] + 1u) >> 1);
        Recount();
        for (uint32_t k = 0; k < ekisaChildClasses; ++k)
            childCounts[k] = static_cast<uint16_t>(childCounts[k] >> 1);
    }

    // False (and nothing changed) when the model is full.
    bool AppendSymbol(int symbol) {
        if (entryCount >= ekisaMaxEntries)
            return false;
        counts[entryCount] = 1;
        symbols[entryCount] = static_cast<int16_t>(symbol);
        groupCounts[entryCount >> ekisaGroupShift] = static_cast<uint16_t>(groupCounts[entryCount >> ekisaGroupShift] + 1u);
        entryCount = static_cast<uint16_t>(entryCount + 1u);
        SetTotal(total + 1u);
        return true;
    }

    void SetTotal(uint32_t t) {
        total = static_cast<uint16_t>(t);
        inverse = EKISAInverse(t);
    }

    int FindSymbol(int symbol) const {
        for (uint32_t k = 0; k < entryCount; ++k) {
            if (symbols[k] == symbol)
                return static_cast<int>(k);
        }
        return -1;
    }
};

static_assert(sizeof(EKISASymbolModel) % 64 == 0 && offsetof(EKISASymbolModel, counts) < 64,
              "whole cache lines, the first counts in the first");

// Classes a model below the base can have children in: 32 at depth 1, 16
// and 8 deeper (see kEKISAContextShift).
const uint32_t ekisaDeepChildClasses = 32;

// The pool's models and their rows of child numbers each live in one heap
// block, taken whole when the coder is prepared: the coders allocate
// nothing while they code. Pages of the blocks that a short entry never
// reaches are never touched.
struct EKISAModelPool {
    EKISASymbolModel* first;  // model 0 of the pool, 64-byte aligned in block
    void* block;              // the heap block that holds the models
    uint32_t used;            // models handed out, 0..ekisaPoolModels
    // The child model numbers (or -1), one row per model, packed densely
    // apart from the models: the context walk runs for every byte, and rows
    // inside the scattered models would cost a cache miss per level.
    int16_t (*next)[ekisaDeepChildClasses];  // 64-byte aligned in nextBlock
    void* nextBlock;
    EKISASymbolModel base;
    int16_t baseNext[ekisaChildClasses];

    // The child model of class cls under model parent (-1: the base model).
    int Child(int parent, uint32_t cls) const { return parent < 0 ? baseNext[cls] : next[parent][cls]; }

    void Reset() {
        used = 0;
        base.InitModel();
        for (uint32_t k = 0; k < ekisaChildClasses; ++k)
            baseNext[k] = -1;
    }

    // size bytes from a 64-byte boundary in a new heap block (the heap
    // aligns less than that); null when the heap cannot serve it.
    static uint8_t* AllocateAligned(void*& block, uintptr_t size) {
        block = eslHeapAllocate(nullptr, static_cast<unsigned int>(size + 64), 0);
        if (block == nullptr)
            return nullptr;
        return reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(block) + 63) & ~static_cast<uintptr_t>(63));
    }

    // Room for every model, unless there is already; false when the heap
    // cannot serve it.
    bool Allocate() {
        if (block == nullptr)
            first = reinterpret_cast<EKISASymbolModel*>(AllocateAligned(block, ekisaPoolModels * sizeof(EKISASymbolModel)));
        if (nextBlock == nullptr)
            next = reinterpret_cast<int16_t(*)[ekisaDeepChildClasses]>(
                AllocateAligned(nextBlock, ekisaPoolModels * sizeof(*next)));
        return block != nullptr && nextBlock != nullptr;
    }
};

// Number of doublings of a count needed to reach the model's total: the
// encoder's cheap stand-in for the code length of a symbol.
inline uint32_t EKISASymbolCost(uint32_t count, uint32_t total) {
    uint32_t cost = 0;
    while ((count << cost) < total)
        ++cost;
    return cost;
}

// Notes that b was stored at position, in the occurrence block (see
// EKISAHistory). One base pointer reaches both parts, which leaves a
// register free where registers are few.
inline void EKISAStorePlace(uint8_t* block, uint32_t b, uint32_t position) {
    uint8_t& slot = block[256 * ekisaOccurrenceSlots * sizeof(uint16_t) + b];
    reinterpret_cast<uint16_t*>(block)[b * ekisaOccurrenceSlots + slot] = static_cast<uint16_t>(position);
    slot = static_cast<uint8_t>(slot + 1u);
}

// The last four bytes, the window of the last 65,536 bytes and, per byte
// value, the last 256 window positions where it was stored. Decoder and
// encoder keep identical copies.
struct EKISAHistory {
    uint8_t recent[4];
    uint32_t ring;      // slot the next byte goes to, 0..3
    uint32_t position;  // window position of the next byte
    uint8_t* window;
    // One block of ekisaOccurrenceBytes: places[b * 256 + slot] are the
    // window positions where b was stored (a ring), nextSlot[b] is the slot
    // of its next one. Positions fit 16 bits, and the slot byte wraps by
    // itself, so storing a byte costs two plain stores.
    uint16_t* places;
    uint8_t* nextSlot;

    void AttachOccurrences(void* block) {
        places = static_cast<uint16_t*>(block);
        nextSlot = block != nullptr ? reinterpret_cast<uint8_t*>(places + 256 * ekisaOccurrenceSlots) : nullptr;
    }

    uint8_t Recent(uint32_t back) const { return recent[(ring - 1u - back) & 3u]; }
    uint8_t LastByte() const { return window[(position - 1u) & ekisaWindowMask]; }

    void Store(uint8_t b) {
        recent[ring] = b;
        ring = (ring + 1u) & 3u;
        EKISAStorePlace(reinterpret_cast<uint8_t*>(places), b, position);
        window[position] = b;
        position = (position + 1u) & ekisaWindowMask;
    }

    // Window position of the p-th (1..256) most recent place where b was
    // stored (0 where fewer were).
    uint32_t Occurrence(uint8_t b, uint32_t p) const {
        return places[b * ekisaOccurrenceSlots + ((nextSlot[b] - p) & 0xFFu)];
    }
};

// The last four bytes in one word, the most recent in the low byte.
inline uint32_t EKISAPackRecent(const uint8_t recent[4], uint32_t ring) {
    uint32_t packed = 0;
    for (uint32_t back = 0; back < 4; ++back)
        packed |= static_cast<uint32_t>(recent[(ring - 1u - back) & 3u]) << (8 * back);
    return packed;
}
inline uint32_t EKISAPackRecent(const EKISAHistory& history) { return EKISAPackRecent(history.recent, history.ring); }

// Follows the child models named by the recent bytes (packed, the most
// recent in the low byte), as deep as they exist; one level after another.
inline EKISASymbolModel* EKISAWalkPacked(EKISAModelPool* pool, uint32_t recent, uint32_t* depth) {
    const int n0 = pool->baseNext[(recent & 0xFFu) >> kEKISAContextShift[0]];
    if (n0 < 0) {
        *depth = 0;
        return &pool->base;
    }
    const int n1 = pool->next[n0][((recent >> 8) & 0xFFu) >> kEKISAContextShift[1]];
    if (n1 < 0) {
        *depth = 1;
        return &pool->first[n0];
    }
    const int n2 = pool->next[n1][((recent >> 16) & 0xFFu) >> kEKISAContextShift[2]];
    if (n2 < 0) {
        *depth = 2;
        return &pool->first[n1];
    }
    const int n3 = pool->next[n2][(recent >> 24) >> kEKISAContextShift[3]];
    if (n3 < 0) {
        *depth = 3;
        return &pool->first[n2];
    }
    *depth = 4;
    return &pool->first[n3];
}

inline EKISASymbolModel* EKISAWalkContext(EKISAModelPool* pool, const uint8_t recent[4], uint32_t ring,
                                          uint32_t* depth) {
    return EKISAWalkPacked(pool, EKISAPackRecent(recent, ring), depth);
}

// Gives the context that ends in the recent bytes (the literal just stored
// first) a model of its own, seeded from m (the model it was coded in, at
// depth), unless the context already has one at every level.
__attribute__((noinline)) inline void EKISAAddContextModel(EKISAModelPool* pool, const EKISASymbolModel* m, uint32_t depth,
                                 uint32_t recent) {
    int16_t* row = pool->baseNext;
    for (uint32_t j = 0; j <= depth; ++j) {
        const uint32_t cls = ((recent >> (8 * j)) & 0xFFu) >> kEKISAContextShift[j];
        const int existing = row[cls];
        if (existing >= 0) {
            row = pool->next[existing];
            continue;
        }
        const uint32_t number = pool->used++;
        row[cls] = static_cast<int16_t>(number);
        EKISASymbolModel* fresh = &pool->first[number];
        // m's counts are sorted, and so are the reduced ones.
        uint32_t n = 0;
        for (uint32_t k = 0; k < m->entryCount; ++k) {
            const uint32_t c = m->counts[k] >> 4;
            if (m->symbols[k] == ekisaEscape || c == 0)
                continue;
            fresh->counts[n] = static_cast<uint16_t>(c);
            fresh->symbols[n] = m->symbols[k];
            ++n;
        }
        fresh->counts[n] = 1;
        fresh->symbols[n] = ekisaEscape;
        fresh->entryCount = static_cast<uint16_t>(n + 1u);
        fresh->Recount();
        fresh->ClearChildren();
        for (uint32_t k = 0; k < ekisaDeepChildClasses; ++k)
            pool->next[number][k] = -1;
        return;
    }
}

// After the literal s was coded in m (at depth) and stored in the history
// (recent: the packed recent bytes, s the latest): count the class of s
// under m and, once it has been seen often enough, give the context that
// now ends in s a model of its own, seeded from m (the pool has room for
// every model it can hand out).
inline void EKISAGrowTree(EKISAModelPool* pool, EKISASymbolModel* m, uint32_t depth, uint32_t s,
                          uint32_t recent) {
    if (pool->used >= ekisaPoolModels || depth >= ekisaContextDepth)
        return;
    uint16_t& seen = m->childCounts[s >> kEKISAContextShift[depth]];
    seen = static_cast<uint16_t>(seen + 1u);
    if (seen >= kEKISAGrowthLimit[depth])
        EKISAAddContextModel(pool, m, depth, recent);
}

inline void EKISAGrowTree(EKISAModelPool* pool, EKISASymbolModel* m, uint32_t depth, uint32_t s,
                          const EKISAHistory& history) {
    EKISAGrowTree(pool, m, depth, s, EKISAPackRecent(history));
}

// Buffer size of a coder: whole 32-bit words, at least one, at most 1 GiB.
inline uint32_t EKISABufferCapacity(uint32_t requested) {
    uint32_t capacity = requested < 4 ? 4 : requested;
    if (capacity > 0x40000000u)
        capacity = 0x40000000u;
    return (capacity + 3u) & ~3u;
}

// The tables of one EKISA code context (the model pool, the history and the
// three phrase models): allocated on first need and kept across
// re-preparations, then reset to their starting state. A coder that clears
// each occurrence record itself before it first uses it passes
// clearOccurrences false. False when the heap cannot serve them; what was
// allocated stays for the destructor.
inline bool EKISAPrepareCodeTables(EKISAModelPool*& pool, EKISAHistory& history, EKISASymbolModel*& lengths,
                                   EKISASymbolModel*& indexes, EKISASymbolModel*& runs, bool clearOccurrences) {
    if (pool == nullptr) {
        pool = static_cast<EKISAModelPool*>(eslHeapAllocate(nullptr, sizeof(EKISAModelPool), 0));
        if (pool != nullptr) {
            pool->first = nullptr;
            pool->block = nullptr;
            pool->next = nullptr;
            pool->nextBlock = nullptr;
            pool->used = 0;
        }
    }
    if (pool != nullptr && !pool->Allocate())
        return false;
    if (history.window == nullptr)
        history.window = static_cast<uint8_t*>(eslHeapAllocate(nullptr, ekisaWindowSize, 0));
    if (history.places == nullptr)
        history.AttachOccurrences(eslHeapAllocate(nullptr, ekisaOccurrenceBytes, 0));
    EKISASymbolModel** models[] = {&lengths, &indexes, &runs};
    for (EKISASymbolModel** m : models) {
        if (*m == nullptr)
            *m = static_cast<EKISASymbolModel*>(eslHeapAllocate(nullptr, sizeof(EKISASymbolModel), 0));
    }
    if (pool == nullptr || history.window == nullptr || history.places == nullptr || lengths == nullptr ||
        indexes == nullptr || runs == nullptr)
        return false;

    pool->Reset();
    memset(history.recent, 0, sizeof(history.recent));
    history.ring = 0;
    eslFillMemory(history.window, 0, ekisaWindowSize);
    if (clearOccurrences)
        eslFillMemory(history.places, 0, ekisaOccurrenceBytes);
    history.position = 0;
    for (EKISASymbolModel** m : models)
        (*m)->InitModel();
    return true;
}

inline void EKISAFreeCodeTables(EKISAModelPool*& pool, EKISAHistory& history, EKISASymbolModel*& lengths,
                                EKISASymbolModel*& indexes, EKISASymbolModel*& runs) {
    void* blocks[] = {pool != nullptr ? pool->block : nullptr, pool != nullptr ? pool->nextBlock : nullptr, pool, history.window, history.places, lengths, indexes, runs};
    for (void* block : blocks) {
        if (block != nullptr)
            eslHeapFree(nullptr, block, 0);
    }
    pool = nullptr;
    history.window = nullptr;
    history.AttachOccurrences(nullptr);
    lengths = indexes = runs = nullptr;
}

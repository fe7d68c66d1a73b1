// Adaptive frequency models of the EKISA code and the context tree built from
// them. The decoder and the encoder must keep these in exact step, so every
// rule that changes a model lives here, once.
#pragma once

#include <stdint.h>
#include <string.h>

#include "esl/heap.h"
#include "esl/memory.h"

struct EKISASymbolEntry {
    uint16_t count;
    int16_t symbol;  // 0..255, or ekisaEscape
};

struct EKISAChildEntry {
    uint16_t count;
    int16_t model;  // number of the child model in the pool, or -1
};

const int ekisaEscape = -1;
const uint32_t ekisaMaxEntries = 260;
const uint32_t ekisaChildClasses = 128;
const uint32_t ekisaPoolModels = 2048;
const uint32_t ekisaHalvingTotal = 0x2000;
const uint32_t ekisaContextDepth = 4;
const uint32_t ekisaWindowSize = 0x10000;
const uint32_t ekisaWindowMask = 0xFFFF;
// One record per byte value: the next slot, then a ring of 256 positions.
const uint32_t ekisaOccurrenceWords = 257;
const uint32_t ekisaMaxPhrase = 255;

// Child classes per level: the k-th most recent byte is shifted right by
// kEKISAContextShift[k-1]; a child is only created once its class has been
// seen kEKISAGrowthLimit[depth] times.
static const uint32_t kEKISAContextShift[ekisaContextDepth] = {1, 3, 4, 5};
static const uint32_t kEKISAGrowthLimit[ekisaContextDepth] = {1, 8, 16, 32};

// The decoder finds an entry by its cumulative count. Flat models (the base
// model, the phrase models) put it far down the table, so every model also
// keeps the sum of the counts of each group of 16 entries: the search then
// steps over whole groups and scans one.
const uint32_t ekisaGroupShift = 4;
const uint32_t ekisaGroupEntries = 1u << ekisaGroupShift;
const uint32_t ekisaGroups = (ekisaMaxEntries + ekisaGroupEntries - 1) / ekisaGroupEntries;

struct EKISASymbolModel {
    uint32_t total;       // sum of the counts of the entries in use
    uint32_t entryCount;  // entries in use, at most ekisaMaxEntries
    // Sum of the counts of the entries in use, per group of 16 entries
    // (entries beyond entryCount count 0). Kept by every operation below.
    uint16_t groupCounts[ekisaGroups];
    EKISASymbolEntry entries[ekisaMaxEntries];  // non-increasing counts
    EKISAChildEntry children[ekisaChildClasses];

    void InitModel() {
        for (uint32_t k = 0; k < 256; ++k) {
            entries[k].count = 1;
            entries[k].symbol = static_cast<int16_t>(k);
        }
        entries[256].count = 1;
        entries[256].symbol = ekisaEscape;
        total = 257;
        entryCount = 257;
        for (uint32_t g = 0; g < ekisaGroups; ++g)
            groupCounts[g] = static_cast<uint16_t>(g < 256 / ekisaGroupEntries ? ekisaGroupEntries : 0);
        groupCounts[256 >> ekisaGroupShift] = 1;  // the escape
        ClearChildren();
    }

    // For a model whose entries were written directly: the group sums and
    // the total from the entries in use.
    void RecountGroups() {
        uint32_t sum = 0;
        for (uint32_t g = 0; g < ekisaGroups; ++g)
            groupCounts[g] = 0;
        for (uint32_t k = 0; k < entryCount; ++k) {
            groupCounts[k >> ekisaGroupShift] = static_cast<uint16_t>(groupCounts[k >> ekisaGroupShift] + entries[k].count);
            sum += entries[k].count;
        }
        total = sum;
    }

    void ClearChildren() {
        for (uint32_t k = 0; k < ekisaChildClasses; ++k) {
            children[k].count = 0;
            children[k].model = -1;
        }
    }

    // The entry moves in front of every entry with a smaller count, but stays
    // behind those with an equal one.
    void BumpSymbol(uint32_t index) {
        const uint32_t old = entries[index].count;
        // The counts are sorted, so the entries passed are exactly those
        // before it with the same (old) count; mostly there are none.
        const uint32_t k = index > 0 && entries[index - 1].count == old ? MoveUp(index, old) : index;
        // By position only the count at k changes.
        entries[k].count = static_cast<uint16_t>(old + 1u);
        groupCounts[k >> ekisaGroupShift] = static_cast<uint16_t>(groupCounts[k >> ekisaGroupShift] + 1u);
        if (++total >= ekisaHalvingTotal)
            HalveCounts();
    }

    // Moves the entry at index (count old, as its predecessor's) in front of
    // all entries with the count old; gives its new index.
    __attribute__((noinline)) uint32_t MoveUp(uint32_t index, uint32_t old) {
        // Most moves are short: look back a few entries, then bisect.
        uint32_t low;
        if (index < 4 || entries[index - 4].count != old) {
            low = index - 1;
            while (low > 0 && entries[low - 1].count == old)
                --low;
        } else {
            // The first entry with the old count lies in [low, low + span);
            // entries[index - 4] has it. Without branches on the counts,
            // which would be mispredicted half the time.
            low = 0;
            uint32_t span = index - 3;
            while (span > 1) {
                const uint32_t half = span / 2;
                low = entries[low + half - 1].count == old ? low : low + half;
                span -= half;
            }
        }
        // All of entries[low..index] hold the old count: only the symbols
        // move, one place down, and the bumped one goes first.
        const int16_t moved = entries[index].symbol;
        if (index - low > 8) {
            memmove(&entries[low + 1], &entries[low], (index - low) * sizeof(EKISASymbolEntry));
        } else {
            for (uint32_t j = index; j > low; --j)
                entries[j].symbol = entries[j - 1].symbol;
        }
        entries[low].symbol = moved;
        return low;
    }

    // Symbol counts round up so that nothing falls to zero; child counts
    // round down. The order of the entries is unchanged.
    __attribute__((noinline)) void HalveCounts() {
        uint32_t sum = 0;
        for (uint32_t g = 0; g < ekisaGroups; ++g)
            groupCounts[g] = 0;
        for (uint32_t k = 0; k < entryCount; ++k) {
            const uint32_t c = (entries[k].count + 1u) >> 1;
            entries[k].count = static_cast<uint16_t>(c);
            groupCounts[k >> ekisaGroupShift] = static_cast<uint16_t>(groupCounts[k >> ekisaGroupShift] + c);
            sum += c;
        }
        total = sum;
        for (uint32_t k = 0; k < ekisaChildClasses; ++k)
            children[k].count = static_cast<uint16_t>(children[k].count >> 1);
    }

    // False (and nothing changed) when the model is full.
    bool AppendSymbol(int symbol) {
        if (entryCount >= ekisaMaxEntries)
            return false;
        entries[entryCount].count = 1;
        entries[entryCount].symbol = static_cast<int16_t>(symbol);
        groupCounts[entryCount >> ekisaGroupShift] = static_cast<uint16_t>(groupCounts[entryCount >> ekisaGroupShift] + 1u);
        ++entryCount;
        ++total;
        return true;
    }

    int FindSymbol(int symbol) const {
        for (uint32_t k = 0; k < entryCount; ++k) {
            if (entries[k].symbol == symbol)
                return static_cast<int>(k);
        }
        return -1;
    }
};

static_assert(sizeof(EKISASymbolModel) ==
                  8 + ((2 * ekisaGroups + 3) & ~3u) + 4 * ekisaMaxEntries + 4 * ekisaChildClasses,
              "the model is a packed table of 16-bit values");

// Classes a model below the base can have children in: 32 at depth 1, 16
// and 8 deeper (see kEKISAContextShift).
const uint32_t ekisaDeepChildClasses = 32;

// The models live in arrays that grow on demand, so that a short entry
// does not pay for a full pool: most never create more than a few hundred.
// Model numbers stay valid when the arrays move; pointers into them do not.
struct EKISAModelPool {
    EKISASymbolModel* first;  // model 0 of the pool
    uint32_t used;            // models handed out, 0..ekisaPoolModels
    uint32_t capacity;        // models there is room for at first and next
    // The child model numbers once more, packed densely: the context walk
    // runs for every byte, and reading these from the scattered models
    // would cost a cache miss per level. Kept equal to children[].model.
    int16_t (*next)[ekisaDeepChildClasses];
    EKISASymbolModel base;
    int16_t baseNext[ekisaChildClasses];

    void Reset() {
        used = 0;
        base.InitModel();
        for (uint32_t k = 0; k < ekisaChildClasses; ++k)
            baseNext[k] = -1;
    }

    // Room for at least models models; false when the heap cannot serve it
    // (what was there stays as it was).
    bool Reserve(uint32_t models) {
        if (models <= capacity)
            return true;
        uint32_t grown = capacity < 16 ? 16 : capacity;
        while (grown < models)
            grown *= 2;
        if (grown > ekisaPoolModels)
            grown = ekisaPoolModels;
        void* m = eslHeapReallocate(nullptr, first, grown * sizeof(EKISASymbolModel), 0);
        if (m == nullptr)
            return false;
        first = static_cast<EKISASymbolModel*>(m);
        void* n = eslHeapReallocate(nullptr, next, grown * sizeof(*next), 0);
        if (n == nullptr)
            return false;
        next = static_cast<int16_t(*)[ekisaDeepChildClasses]>(n);
        capacity = grown;
        return true;
    }
};

// Exact floor(x / d) for x < 2^31 and 0 < d < 2^16, from the inverse
// 2^31 / d: the product is low by less than one, so one correction step
// suffices. Both coders divide by a model's total twice per symbol; this
// costs one division instead of two.
inline uint32_t EKISAInverse(uint32_t d) { return 0x80000000u / d; }
inline uint32_t EKISADivide(uint32_t x, uint32_t d, uint32_t inverse) {
    const uint32_t q = static_cast<uint32_t>((static_cast<uint64_t>(x) * inverse) >> 31);
    // Without a branch: the correction is as often needed as not.
    return q + static_cast<uint32_t>(x - q * d >= d);
}

// Number of doublings of a count needed to reach the model's total: the
// encoder's cheap stand-in for the code length of a symbol.
inline uint32_t EKISASymbolCost(uint32_t count, uint32_t total) {
    uint32_t cost = 0;
    while ((count << cost) < total)
        ++cost;
    return cost;
}

// The last four bytes, the window of the last 65,536 bytes and, per byte
// value, the last 256 window positions where it was stored. Decoder and
// encoder keep identical copies.
struct EKISAHistory {
    uint8_t recent[4];
    uint32_t ring;      // slot the next byte goes to, 0..3
    uint32_t position;  // window position of the next byte
    uint8_t* window;
    uint32_t* occurrences;

    uint8_t Recent(uint32_t back) const { return recent[(ring - 1u - back) & 3u]; }
    uint8_t LastByte() const { return window[(position - 1u) & ekisaWindowMask]; }

    void Store(uint8_t b) {
        recent[ring] = b;
        ring = (ring + 1u) & 3u;
        uint32_t* record = occurrences + b * ekisaOccurrenceWords;
        const uint32_t slot = record[0];
        record[1 + slot] = position;
        record[0] = (slot + 1u) & 0xFFu;
        window[position] = b;
        position = (position + 1u) & ekisaWindowMask;
    }

    // Window position after the p-th most recent place where b was stored.
    uint32_t Occurrence(uint8_t b, uint32_t p) const {
        const uint32_t* record = occurrences + b * ekisaOccurrenceWords;
        return record[1 + ((record[0] - p) & 0xFFu)];
    }
};

// Follows the child models named by the recent bytes, as deep as they exist.
inline EKISASymbolModel* EKISAWalkContext(EKISAModelPool* pool, const uint8_t recent[4],
                                          uint32_t ring, uint32_t* depth) {
    EKISASymbolModel* m = &pool->base;
    const int16_t* row = pool->baseNext;
    uint32_t d = 0;
    while (d < ekisaContextDepth) {
        const uint8_t x = recent[(ring - 1u - d) & 3u];
        const int n = row[x >> kEKISAContextShift[d]];
        if (n < 0)
            break;
        m = &pool->first[n];
        row = pool->next[n];
        ++d;
    }
    *depth = d;
    return m;
}

// The last four bytes in one word, the most recent in the low byte.
inline uint32_t EKISAPackRecent(const EKISAHistory& history) {
    return static_cast<uint32_t>(history.Recent(0)) | static_cast<uint32_t>(history.Recent(1)) << 8 |
           static_cast<uint32_t>(history.Recent(2)) << 16 | static_cast<uint32_t>(history.Recent(3)) << 24;
}

// EKISAWalkContext over the packed recent bytes, one level after another.
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

// Gives the context that ends in the recent bytes (the literal just stored
// first) a model of its own, seeded from m (the model it was coded in, at
// depth), unless the context already has one at every level.
__attribute__((noinline)) inline void EKISAAddContextModel(EKISAModelPool* pool, const EKISASymbolModel* m, uint32_t depth,
                                 uint32_t recent) {
    int parentNumber = -1;  // the base model
    int16_t* row = pool->baseNext;
    for (uint32_t j = 0; j <= depth; ++j) {
        const uint32_t cls = ((recent >> (8 * j)) & 0xFFu) >> kEKISAContextShift[j];
        const int existing = row[cls];
        if (existing >= 0) {
            parentNumber = existing;
            row = pool->next[existing];
            continue;
        }
        const uint32_t number = pool->used++;
        EKISASymbolModel* parent = parentNumber < 0 ? &pool->base : &pool->first[parentNumber];
        parent->children[cls].model = static_cast<int16_t>(number);
        row[cls] = static_cast<int16_t>(number);
        EKISASymbolModel* fresh = &pool->first[number];
        for (uint32_t g = 0; g < ekisaGroups; ++g)
            fresh->groupCounts[g] = 0;
        uint32_t n = 0;
        uint32_t sum = 0;
        for (uint32_t k = 0; k < m->entryCount; ++k) {
            const uint32_t c = m->entries[k].count >> 4;
            if (m->entries[k].symbol == ekisaEscape || c == 0)
                continue;
            fresh->entries[n].count = static_cast<uint16_t>(c);
            fresh->entries[n].symbol = m->entries[k].symbol;
            fresh->groupCounts[n >> ekisaGroupShift] = static_cast<uint16_t>(fresh->groupCounts[n >> ekisaGroupShift] + c);
            ++n;
            sum += c;
        }
        fresh->entries[n].count = 1;
        fresh->entries[n].symbol = ekisaEscape;
        fresh->groupCounts[n >> ekisaGroupShift] = static_cast<uint16_t>(fresh->groupCounts[n >> ekisaGroupShift] + 1u);
        fresh->entryCount = n + 1;
        fresh->total = sum + 1;
        fresh->ClearChildren();
        for (uint32_t k = 0; k < ekisaDeepChildClasses; ++k)
            pool->next[number][k] = -1;
        return;
    }
}

// After the literal s was coded in m (at depth) and stored in the history
// (recent: the packed recent bytes, s the latest): count the class of s
// under m and, once it has been seen often enough, give the context that
// now ends in s a model of its own, seeded from m. False when the pool
// could not grow: the coder can no longer keep in step with its peer.
inline bool EKISAGrowTree(EKISAModelPool* pool, EKISASymbolModel* m, uint32_t depth, uint32_t s,
                          uint32_t recent) {
    if (pool->used >= ekisaPoolModels || depth >= ekisaContextDepth)
        return true;
    EKISAChildEntry& seen = m->children[s >> kEKISAContextShift[depth]];
    seen.count = static_cast<uint16_t>(seen.count + 1u);
    if (seen.count < kEKISAGrowthLimit[depth])
        return true;
    if (pool->used == pool->capacity) {
        // m moves with the models unless it is the base model.
        const bool inPool = m != &pool->base;
        const uint32_t index = inPool ? static_cast<uint32_t>(m - pool->first) : 0;
        if (!pool->Reserve(pool->used + 1))
            return false;
        if (inPool)
            m = pool->first + index;
    }
    EKISAAddContextModel(pool, m, depth, recent);
    return true;
}

inline bool EKISAGrowTree(EKISAModelPool* pool, EKISASymbolModel* m, uint32_t depth, uint32_t s,
                          const EKISAHistory& history) {
    return EKISAGrowTree(pool, m, depth, s, EKISAPackRecent(history));
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
// re-preparations, then reset to their starting state. The pool starts with
// room for poolRoom models and grows as the coder needs. A coder that clears
// each occurrence record itself before it first uses it passes
// clearOccurrences false. False when the heap cannot serve them; what was
// allocated stays for the destructor.
inline bool EKISAPrepareCodeTables(EKISAModelPool*& pool, EKISAHistory& history, EKISASymbolModel*& lengths,
                                   EKISASymbolModel*& indexes, EKISASymbolModel*& runs, uint32_t poolRoom,
                                   bool clearOccurrences) {
    const uint32_t occurrenceBytes = 256 * ekisaOccurrenceWords * sizeof(uint32_t);
    if (pool == nullptr) {
        pool = static_cast<EKISAModelPool*>(eslHeapAllocate(nullptr, sizeof(EKISAModelPool), 0));
        if (pool != nullptr) {
            pool->first = nullptr;
            pool->next = nullptr;
            pool->capacity = 0;
        }
    }
    if (pool != nullptr && !pool->Reserve(poolRoom))
        return false;
    if (history.window == nullptr)
        history.window = static_cast<uint8_t*>(eslHeapAllocate(nullptr, ekisaWindowSize, 0));
    if (history.occurrences == nullptr)
        history.occurrences = static_cast<uint32_t*>(eslHeapAllocate(nullptr, occurrenceBytes, 0));
    EKISASymbolModel** models[] = {&lengths, &indexes, &runs};
    for (EKISASymbolModel** m : models) {
        if (*m == nullptr)
            *m = static_cast<EKISASymbolModel*>(eslHeapAllocate(nullptr, sizeof(EKISASymbolModel), 0));
    }
    if (pool == nullptr || history.window == nullptr || history.occurrences == nullptr || lengths == nullptr ||
        indexes == nullptr || runs == nullptr)
        return false;

    pool->Reset();
    memset(history.recent, 0, sizeof(history.recent));
    history.ring = 0;
    eslFillMemory(history.window, 0, ekisaWindowSize);
    if (clearOccurrences)
        eslFillMemory(history.occurrences, 0, static_cast<unsigned int>(occurrenceBytes));
    history.position = 0;
    for (EKISASymbolModel** m : models)
        (*m)->InitModel();
    return true;
}

inline void EKISAFreeCodeTables(EKISAModelPool*& pool, EKISAHistory& history, EKISASymbolModel*& lengths,
                                EKISASymbolModel*& indexes, EKISASymbolModel*& runs) {
    void* blocks[] = {pool != nullptr ? pool->first : nullptr, pool != nullptr ? pool->next : nullptr, pool, history.window, history.occurrences, lengths, indexes, runs};
    for (void* block : blocks) {
        if (block != nullptr)
            eslHeapFree(nullptr, block, 0);
    }
    pool = nullptr;
    history.window = nullptr;
    history.occurrences = nullptr;
    lengths = indexes = runs = nullptr;
}

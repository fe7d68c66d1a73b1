// Adaptive frequency models of the EKISA code and the context tree built from
// them. The decoder and the encoder must keep these in exact step, so every
// rule that changes a model lives here, once.
#pragma once

#include <stdint.h>
#include <string.h>

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

struct EKISASymbolModel {
    uint32_t total;       // sum of the counts of the entries in use
    uint32_t entryCount;  // entries in use, at most ekisaMaxEntries
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
        ClearChildren();
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
        const uint32_t count = entries[index].count + 1u;
        uint32_t k = index;
        if (k > 0 && entries[k - 1].count < count) {
            // The counts are sorted: find the first entry with a smaller
            // count by bisection and move the block in between at once.
            uint32_t low = 0;
            uint32_t high = k - 1;
            while (low < high) {
                const uint32_t mid = (low + high) / 2;
                if (entries[mid].count < count)
                    high = mid;
                else
                    low = mid + 1;
            }
            const EKISASymbolEntry moved = entries[index];
            memmove(&entries[low + 1], &entries[low], (index - low) * sizeof(EKISASymbolEntry));
            entries[low] = moved;
            k = low;
        }
        entries[k].count = static_cast<uint16_t>(count);
        if (++total >= ekisaHalvingTotal)
            HalveCounts();
    }

    // Symbol counts round up so that nothing falls to zero; child counts
    // round down. The order of the entries is unchanged.
    void HalveCounts() {
        uint32_t sum = 0;
        for (uint32_t k = 0; k < entryCount; ++k) {
            const uint32_t c = (entries[k].count + 1u) >> 1;
            entries[k].count = static_cast<uint16_t>(c);
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

static_assert(sizeof(EKISASymbolModel) == 8 + 4 * ekisaMaxEntries + 4 * ekisaChildClasses,
              "the model is a packed table of 16-bit pairs");

// Classes a model below the base can have children in: 32 at depth 1, 16
// and 8 deeper (see kEKISAContextShift).
const uint32_t ekisaDeepChildClasses = 32;

struct EKISAModelPool {
    EKISASymbolModel* first;  // model 0 of the pool
    uint32_t used;            // models handed out, 0..ekisaPoolModels
    EKISASymbolModel base;
    EKISASymbolModel models[ekisaPoolModels];
    // The child model numbers once more, packed densely: the context walk
    // runs for every byte, and reading these from the scattered models
    // would cost a cache miss per level. Kept equal to children[].model.
    int16_t baseNext[ekisaChildClasses];
    int16_t next[ekisaPoolModels][ekisaDeepChildClasses];

    void Reset() {
        first = models;
        used = 0;
        base.InitModel();
        for (uint32_t k = 0; k < ekisaChildClasses; ++k)
            baseNext[k] = -1;
    }
};

// Exact floor(x / d) for x < 2^31 and 0 < d < 2^16, from the inverse
// 2^31 / d: the product is low by less than one, so one correction step
// suffices. Both coders divide by a model's total twice per symbol; this
// costs one division instead of two.
inline uint32_t EKISAInverse(uint32_t d) { return 0x80000000u / d; }
inline uint32_t EKISADivide(uint32_t x, uint32_t d, uint32_t inverse) {
    uint32_t q = static_cast<uint32_t>((static_cast<uint64_t>(x) * inverse) >> 31);
    if (x - q * d >= d)
        ++q;
    return q;
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

// After the literal s was coded in m (at depth) and stored in the history:
// count the class of s under m and, once it has been seen often enough, give
// the context that now ends in s a model of its own, seeded from m.
inline void EKISAGrowTree(EKISAModelPool* pool, EKISASymbolModel* m, uint32_t depth, uint32_t s,
                          const EKISAHistory& history) {
    if (pool->used >= ekisaPoolModels || depth >= ekisaContextDepth)
        return;
    EKISAChildEntry& seen = m->children[s >> kEKISAContextShift[depth]];
    seen.count = static_cast<uint16_t>(seen.count + 1u);
    if (seen.count < kEKISAGrowthLimit[depth])
        return;

    int parentNumber = -1;  // the base model
    int16_t* row = pool->baseNext;
    for (uint32_t j = 0; j <= depth; ++j) {
        const uint32_t cls = history.Recent(j) >> kEKISAContextShift[j];
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
        uint32_t n = 0;
        uint32_t sum = 0;
        for (uint32_t k = 0; k < m->entryCount; ++k) {
            const uint32_t c = m->entries[k].count >> 4;
            if (m->entries[k].symbol == ekisaEscape || c == 0)
                continue;
            fresh->entries[n].count = static_cast<uint16_t>(c);
            fresh->entries[n].symbol = m->entries[k].symbol;
            ++n;
            sum += c;
        }
        fresh->entries[n].count = 1;
        fresh->entries[n].symbol = ekisaEscape;
        fresh->entryCount = n + 1;
        fresh->total = sum + 1;
        fresh->ClearChildren();
        for (uint32_t k = 0; k < ekisaDeepChildClasses; ++k)
            pool->next[number][k] = -1;
        return;
    }
}

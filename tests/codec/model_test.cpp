// Symbol models, their costs and the growth of the context tree.
#include <gtest/gtest.h>

#include <memory>
#include <utility>
#include <vector>

#include "codec_support.h"
#include "ekisa/symbol_model.h"

namespace {

TEST(SymbolModel, FreshModelHoldsEveryByteAndTheEscape) {
    EKISASymbolModel m;
    m.InitModel();
    EXPECT_EQ(m.total, 257u);
    EXPECT_EQ(m.entryCount, 257u);
    for (int k = 0; k < 256; ++k)
        ASSERT_EQ(m.FindSymbol(k), k);
    EXPECT_EQ(m.FindSymbol(ekisaEscape), 256);
    EXPECT_EQ(m.counts[256], 1u);
    for (uint16_t c : m.childCounts)
        ASSERT_EQ(c, 0u);
    EXPECT_EQ(m.FindSymbol(300), -1);
}

TEST(SymbolModel, HalvesWhenTheTotalReaches8192) {
    EKISASymbolModel m;
    m.InitModel();
    m.childCounts[5] = 7;
    m.childCounts[6] = 1;
    for (int k = 0; k < 7934; ++k)
        m.BumpSymbol(static_cast<uint32_t>(m.FindSymbol(0x33)));
    EXPECT_EQ(m.total, 8191u);
    EXPECT_EQ(m.symbols[0], 0x33);
    EXPECT_EQ(m.counts[0], 7935u);
    m.BumpSymbol(0);  // the 7,935th bump: 8,192 is reached
    EXPECT_EQ(m.counts[0], 3968u);
    for (uint32_t k = 1; k < m.entryCount; ++k)
        ASSERT_EQ(m.counts[k], 1u) << "counts round up and never fall to 0";
    EXPECT_EQ(m.total, 3968u + 256u);
    EXPECT_EQ(m.childCounts[5], 3u) << "child counts round down";
    EXPECT_EQ(m.childCounts[6], 0u);
}

TEST(SymbolModel, BumpStopsBehindAnEqualCount) {
    EKISASymbolModel m;
    m.InitModel();
    // Counts 3 ('a'), 2 ('b'), 2 ('c'), then ones.
    m.BumpSymbol(static_cast<uint32_t>(m.FindSymbol('a')));
    m.BumpSymbol(static_cast<uint32_t>(m.FindSymbol('a')));
    m.BumpSymbol(static_cast<uint32_t>(m.FindSymbol('b')));
    m.BumpSymbol(static_cast<uint32_t>(m.FindSymbol('c')));
    ASSERT_EQ(m.symbols[0], 'a');
    ASSERT_EQ(m.symbols[1], 'b');
    ASSERT_EQ(m.symbols[2], 'c');
    // 'c' rises to 3: past 'b' (2), but behind 'a' (3).
    m.BumpSymbol(2);
    EXPECT_EQ(m.symbols[0], 'a');
    EXPECT_EQ(m.symbols[1], 'c');
    EXPECT_EQ(m.counts[1], 3u);
    EXPECT_EQ(m.symbols[2], 'b');
    // A symbol with count 1 deep in the table rises to 2: behind 'b' (2),
    // and the entries it passed keep their order.
    const int z = m.FindSymbol('z');
    const int before = m.FindSymbol('y');
    m.BumpSymbol(static_cast<uint32_t>(z));
    EXPECT_EQ(m.symbols[3], 'z');
    EXPECT_EQ(m.FindSymbol('y'), before + 1);
    EXPECT_EQ(m.total, 257u + 6u);
}

// The plain form of the model rules: a bumped entry moves one place at a
// time past every entry with a smaller count. The shared model takes
// shortcuts (look-back, bisection, moving only symbols, group sums); both
// must agree entry for entry.
struct PlainModel {
    std::vector<std::pair<uint32_t, int>> entries;  // count, symbol
    uint32_t total = 0;
    void Init() {
        entries.clear();
        for (int k = 0; k < 256; ++k)
            entries.push_back({1u, k});
        entries.push_back({1u, ekisaEscape});
        total = 257;
    }
    void Bump(size_t i) {
        ++entries[i].first;
        while (i > 0 && entries[i - 1].first < entries[i].first) {
            std::swap(entries[i - 1], entries[i]);
            --i;
        }
        if (++total >= ekisaHalvingTotal) {
            total = 0;
            for (auto& e : entries) {
                e.first = (e.first + 1) / 2;
                total += e.first;
            }
        }
    }
};

void ExpectSameModel(const EKISASymbolModel& m, const PlainModel& plain) {
    ASSERT_EQ(m.entryCount, plain.entries.size());
    ASSERT_EQ(m.total, plain.total);
    uint32_t groups[ekisaGroups] = {};
    for (uint32_t k = 0; k < m.entryCount; ++k) {
        ASSERT_EQ(m.counts[k], plain.entries[k].first) << k;
        ASSERT_EQ(m.symbols[k], plain.entries[k].second) << k;
        groups[k >> ekisaGroupShift] += m.counts[k];
    }
    for (uint32_t g = 0; g < ekisaGroups; ++g)
        ASSERT_EQ(m.groupCounts[g], groups[g]) << "group " << g;
    for (uint32_t c = 1; c < ekisaTrackedCounts; ++c) {
        uint32_t first = 0;
        while (first < m.entryCount && m.counts[first] > c)
            ++first;
        ASSERT_EQ(m.runStart[c], first) << "run of count " << c;
    }
}

TEST(SymbolModel, BumpsAndAppendsAgreeWithThePlainRules) {
    EKISASymbolModel m;
    m.InitModel();
    PlainModel plain;
    plain.Init();
    ExpectSameModel(m, plain);
    // Skewed choices (a few symbols often, the rest rarely) give long runs of
    // equal counts, moves of every length and several halvings.
    uint32_t state = 12345;
    for (int step = 0; step < 40000; ++step) {
        state = state * 1103515245u + 12345u;
        const uint32_t r = state >> 8;
        size_t i;
        if (r % 4 == 0)
            i = r % plain.entries.size();
        else
            i = (r >> 3) % (1 + (r >> 12) % 24);
        m.BumpSymbol(static_cast<uint32_t>(i));
        plain.Bump(i);
        if (step % 4999 == 0) {
            if (m.AppendSymbol(300 + step))
                plain.entries.push_back({1u, 300 + step}), ++plain.total;
        }
        if (step % 997 == 0)
            ExpectSameModel(m, plain);
    }
    ExpectSameModel(m, plain);
}

// The decoder finds the entry whose share of the range begins at or below
// the code: a code exactly at the start of a share belongs to that entry,
// also where the share opens a group of 16 (the search steps over whole
// groups first). 257 entries of count 17 make a total of 4369 = 0xFFFF / 15,
// the starting range, so the code 15 * 17 * i lies exactly at the start of
// entry i.
TEST(SymbolModel, DecodingFindsTheEntryAtExactShareBoundaries) {
    EKISASymbolModel m;
    m.InitModel();
    for (uint32_t k = 0; k < m.entryCount; ++k)
        m.counts[k] = 17;
    m.Recount();
    ASSERT_EQ(m.total * 15u, 0xFFFFu);
    for (uint32_t i : {1u, 15u, 16u, 17u, 31u, 32u, 100u, 255u, 256u}) {
        for (uint32_t code : {15 * 17 * i, 15 * 17 * i - 1}) {
            // The first word of a stream is the code register.
            const Bytes stream{0, 0, static_cast<uint8_t>(code >> 8), static_cast<uint8_t>(code), 0, 0, 0, 0};
            InFile in(stream);
            EKISADecodeContext dec(0x10);
            dec.SetSourceFile(&in.file);
            ASSERT_EQ(dec.BeginEKISACode(), eslResultSuccess);
            EKISASymbolModel copy = m;
            EXPECT_EQ(dec.DecodeModelIndex(&copy), static_cast<int>(code % (15 * 17) == 0 ? i : i - 1)) << code;
        }
    }
}

TEST(SymbolModel, RecountFollowsDirectlyWrittenEntries) {
    EKISASymbolModel m;
    m.InitModel();
    m.entryCount = 20;
    for (uint32_t k = 0; k < 20; ++k)
        m.counts[k] = static_cast<uint16_t>(40 - k);
    m.Recount();
    EXPECT_EQ(m.total, 610u);
    EXPECT_EQ(m.groupCounts[0], 520u);
    EXPECT_EQ(m.groupCounts[1], 90u);
    EXPECT_EQ(m.groupCounts[2], 0u) << "entries beyond the count in use are not summed";
}

TEST(SymbolModel, AppendStopsAtTheCapacity) {
    EKISASymbolModel m;
    m.InitModel();
    for (int k = 0; k < 3; ++k)
        EXPECT_TRUE(m.AppendSymbol(k));
    EXPECT_EQ(m.entryCount, 260u);
    EXPECT_EQ(m.total, 260u);
    EXPECT_FALSE(m.AppendSymbol(7));
    EXPECT_EQ(m.entryCount, 260u);
    EXPECT_EQ(m.total, 260u);
}

TEST(SymbolModel, CostCountsDoublingsToTheTotal) {
    EXPECT_EQ(EKISASymbolCost(257, 257), 0u);
    EXPECT_EQ(EKISASymbolCost(1, 257), 9u);
    EXPECT_EQ(EKISASymbolCost(1, 256), 8u);
    EXPECT_EQ(EKISASymbolCost(100, 8191), 7u);
    EXPECT_EQ(EKISASymbolCost(5000, 8191), 1u);
}

struct Tree {
    PoolPtr pool = NewModelPool();
    std::unique_ptr<uint8_t[]> window{new uint8_t[ekisaWindowSize]()};
    std::unique_ptr<uint8_t[]> occurrences{new uint8_t[ekisaOccurrenceBytes]()};
    EKISAHistory history{};
    Tree() {
        history.window = window.get();
        history.AttachOccurrences(occurrences.get());
    }
    // One literal coded in the context model, as both coders do it.
    void Literal(uint8_t s) {
        uint32_t depth;
        EKISASymbolModel* m = EKISAWalkContext(pool.get(), history.recent, history.ring, &depth);
        const int k = m->FindSymbol(s);
        if (k >= 0)
            m->BumpSymbol(static_cast<uint32_t>(k));
        else
            m->AppendSymbol(s);
        history.Store(s);
        EKISAGrowTree(pool.get(), m, depth, s, history);
    }
};

TEST(ContextTree, GrowsLevelByLevelAtTheLimits) {
    Tree t;
    t.Literal('A');  // base, depth 0: limit 1, so a model at once
    ASSERT_EQ(t.pool->used, 1u);
    EXPECT_EQ(t.pool->Child(-1, 'A' >> 1), 0);

    // Context "A" has model 0 (depth 1). A 'B' coded there counts class
    // 'B' >> 3 of model 0; the context "B" only gets a model of its own at
    // the eighth sighting (limit 8 at depth 1).
    t.Literal('B');
    EXPECT_EQ(t.pool->used, 1u);
    EXPECT_EQ(t.pool->first[0].childCounts['B' >> 3], 1u);
    for (int k = 0; k < 6; ++k) {
        t.Literal('A');  // context "B" has no model: coded in the base model
        t.Literal('B');
    }
    EXPECT_EQ(t.pool->first[0].childCounts['B' >> 3], 7u);
    EXPECT_EQ(t.pool->used, 1u);
    t.Literal('A');
    t.Literal('B');
    ASSERT_EQ(t.pool->used, 2u);
    EXPECT_EQ(t.pool->Child(-1, 'B' >> 1), 1) << "the first missing level gets the model";
    // The next 'B' finds level 0 ("B") present and creates level 1 ("A" before "B").
    t.Literal('A');
    t.Literal('B');
    ASSERT_EQ(t.pool->used, 3u);
    EXPECT_EQ(t.pool->Child(1, 'A' >> 3), 2);
}

TEST(ContextTree, NewModelIsSeededFromTheCodingModel) {
    Tree t;
    EKISASymbolModel& base = t.pool->base;
    // Counts in the base model: 'x' 40, 'y' 16, 'z' 15.
    for (int k = 0; k < 39; ++k)
        base.BumpSymbol(static_cast<uint32_t>(base.FindSymbol('x')));
    for (int k = 0; k < 15; ++k)
        base.BumpSymbol(static_cast<uint32_t>(base.FindSymbol('y')));
    for (int k = 0; k < 14; ++k)
        base.BumpSymbol(static_cast<uint32_t>(base.FindSymbol('z')));
    t.Literal('q');  // coded in the base model: 'q' rises to 2
    ASSERT_EQ(t.pool->used, 1u);
    const EKISASymbolModel& fresh = t.pool->first[0];
    ASSERT_EQ(fresh.entryCount, 3u);
    EXPECT_EQ(fresh.symbols[0], 'x');
    EXPECT_EQ(fresh.counts[0], 40u >> 4);
    EXPECT_EQ(fresh.symbols[1], 'y');
    EXPECT_EQ(fresh.counts[1], 1u);
    EXPECT_EQ(fresh.symbols[2], ekisaEscape);
    EXPECT_EQ(fresh.total, 2u + 1u + 1u);
    for (uint32_t k = 0; k < ekisaDeepChildClasses; ++k)
        ASSERT_EQ(t.pool->Child(0, k), -1);
}

TEST(ContextTree, FullPoolStopsGrowthButNotCoding) {
    Tree t;
    t.pool->used = ekisaPoolModels;
    t.Literal('A');
    EXPECT_EQ(t.pool->used, ekisaPoolModels);
    EXPECT_EQ(t.pool->Child(-1, 'A' >> 1), -1);
    EXPECT_EQ(t.pool->base.childCounts['A' >> 1], 0u) << "nothing is counted either";
    EXPECT_EQ(t.pool->base.symbols[0], 'A') << "the model itself still learns";
}

TEST(ContextTree, DepthFourIsTheDeepest) {
    Tree t;
    for (int k = 0; k < 1000; ++k)
        t.Literal(k % 2 ? 'b' : 'a');
    uint32_t depth;
    EKISAWalkContext(t.pool.get(), t.history.recent, t.history.ring, &depth);
    EXPECT_EQ(depth, 4u);
    const uint32_t used = t.pool->used;
    for (int k = 0; k < 100; ++k)
        t.Literal(k % 2 ? 'b' : 'a');
    EXPECT_EQ(t.pool->used, used) << "a model at depth 4 has no children";
}

TEST(History, StoresRingWindowAndOccurrences) {
    Tree t;
    EKISAHistory& h = t.history;
    for (int k = 0; k < 300; ++k)
        h.Store(static_cast<uint8_t>(k % 3 == 0 ? 'b' : 'c'));
    EXPECT_EQ(h.position, 300u);
    EXPECT_EQ(h.LastByte(), 'c');
    EXPECT_EQ(h.Recent(0), 'c');
    EXPECT_EQ(h.Recent(2), 'b');  // 297 % 3 == 0
    EXPECT_EQ(h.Occurrence('b', 1), 297u);
    EXPECT_EQ(h.Occurrence('b', 2), 294u);
    // 'c' was stored 200 times; the ring holds the last 256 (and zeros).
    EXPECT_EQ(h.Occurrence('c', 1), 299u);
    EXPECT_EQ(h.nextSlot['c'], 200u);
    for (int k = 0; k < 70000; ++k)
        h.Store('d');
    EXPECT_EQ(h.position, (300u + 70000u) & 0xFFFFu) << "the window position wraps";
    EXPECT_EQ(h.nextSlot['d'], 70000u % 256u);
}

}  // namespace

namespace {

// The coders divide by a model's total through an inverse; the quotients
// must be exact, or the bits would change.
TEST(SymbolModel, DivisionThroughTheInverseIsExact) {
    for (uint32_t d = 1; d <= 8193; ++d) {
        const uint32_t inverse = EKISAInverse(d);
        const uint32_t top = (1u << 30) + 8192;
        for (uint32_t q : {0u, 1u, 2u, 3u, top / d / 2, top / d - 1, top / d}) {
            for (uint32_t x : {q * d, q * d + d - 1, q * d - 1}) {
                if (x > top)
                    continue;
                ASSERT_EQ(EKISADivide(x, d, inverse), x / d) << x << " / " << d;
            }
        }
    }
    uint32_t s = 1;
    for (int k = 0; k < 200000; ++k) {
        s = s * 1664525u + 1013904223u;
        const uint32_t d = 1 + (s >> 8) % 8193;
        s = s * 1664525u + 1013904223u;
        const uint32_t x = s >> 2;  // below 2^30
        ASSERT_EQ(EKISADivide(x, d, EKISAInverse(d)), x / d);
    }
}

}  // namespace

// The thorough parse (parseBest): whatever it plans must decode with the
// decoder to the input, for the inputs a stretch-wise planner is most
// likely to get wrong, in any split of the writes; and it writes the same
// bytes on every target.
#include <gtest/gtest.h>

#include "codec_support.h"

namespace {

const uint32_t kBest = EKISAEncodeContext::searchPhrase | EKISAEncodeContext::parseBest;
const uint32_t kBestWithRuns = kBest | EKISAEncodeContext::searchRun;

Bytes Repeat(const Bytes& unit, uint32_t n) {
    Bytes out;
    while (out.size() < n)
        out.push_back(unit[out.size() % unit.size()]);
    return out;
}

// A block of 5,000 bytes that comes again exactly one window later.
Bytes RepeatedAfterWindow() {
    Bytes out = RandomBytes(5000, 11);
    const Bytes filler = StructuredBinary(65536 - 5000, 12);
    out.insert(out.end(), filler.begin(), filler.end());
    out.insert(out.end(), out.begin(), out.begin() + 5000);
    return out;
}

// Runs of every length around the stretch and phrase limits, of a few bytes.
Bytes Runs() {
    Bytes out;
    for (uint32_t n : {1u, 2u, 3u, 254u, 255u, 256u, 511u, 4095u, 4096u, 4352u, 70000u})
        out.insert(out.end(), n, static_cast<uint8_t>(out.size() * 7));
    return out;
}

uint64_t Fnv1a(const Bytes& data) {
    uint64_t h = 0xCBF29CE484222325ull;
    for (uint8_t b : data) {
        h ^= b;
        h *= 0x100000001B3ull;
    }
    return h;
}

struct Case {
    const char* name;
    Bytes plain;
    Splits writes;
    bool smaller;         // clearly compressible: the parse must beat the default (flags 1)
    uint32_t repeatFrom;  // if not 0, what follows repeats what comes before: it must cost little
};

// Both search settings; the same bytes when coded again; read back whole and
// in odd pieces.
void ExpectBestRoundTrip(const Case& c) {
    const uint32_t n = static_cast<uint32_t>(c.plain.size());
    for (uint32_t flags : {kBest, kBestWithRuns}) {
        SCOPED_TRACE(std::string(c.name) + (flags == kBest ? ", flags 1" : ", flags 3"));
        const Bytes coded = EncodeEKISA(c.plain, flags, c.writes);
        ASSERT_EQ(coded, EncodeEKISA(c.plain, flags, c.writes)) << "same input, same split, same bytes";
        for (const Splits& reads : {Splits{}, Splits{1, 4093, 65536, 7}})
            ASSERT_TRUE(DecodeEKISA(coded, n, reads) == c.plain);
        if (flags != kBest)
            continue;
        if (c.smaller) {
            EXPECT_LT(coded.size(), EncodeEKISA(c.plain, flags & 3, c.writes).size());
        }
        if (c.repeatFrom != 0) {
            const Bytes head(c.plain.begin(), c.plain.begin() + c.repeatFrom);
            EXPECT_LT(coded.size(), EncodeEKISA(head, flags, c.writes).size() + (n - c.repeatFrom) / 32);
        }
    }
}

TEST(BestParse, RoundTripsEdgeInputs) {
    const Bytes text = RepetitiveText(120000);
    const Bytes binary = StructuredBinary(90000, 5);
    const Case cases[] = {
        {"empty", Bytes(), {}, false, 0},
        {"one byte", Bytes{0x41}, {}, false, 0},
        {"runs", Runs(), {}, true, 0},
        {"runs, a byte per write", Bytes(9000, 0), {1}, false, 0},
        {"period 3", Repeat({'a', 'b', 'c'}, 30000), {}, true, 3},
        {"period 3 after noise", [] {
             Bytes b = RandomBytes(3000, 3);
             const Bytes p = Repeat({0x10, 0x00, 0xFF}, 20000);
             b.insert(b.end(), p.begin(), p.end());
             return b;
         }(), {}, true, 3003},
        {"a block one window later", RepeatedAfterWindow(), {}, true, 65536},
        {"repeats longer than 255", text, {}, true, 0},
        {"writes at every stretch boundary", binary, {4096}, true, 0},
        {"writes around the stretch and its look-ahead", binary, {4095, 4097, 4351, 4352, 255, 256}, true, 0},
        {"odd writes", text, {1, 2, 3, 5, 7, 11, 13, 4099}, false, 0},
        {"random bytes", RandomBytes(20000, 9), {}, false, 0},
    };
    for (const Case& c : cases)
        ExpectBestRoundTrip(c);
}

// The bytes are pinned: host and 32-bit builds must write the same, and a
// context that coded something else before starts afresh at each begin.
TEST(BestParse, SameBytesEverywhereAndAfterARestart) {
    Bytes plain = StructuredBinary(100000, 7);
    const Bytes text = RepetitiveText(50000);
    plain.insert(plain.end(), text.begin(), text.end());
    const Bytes coded = EncodeEKISA(plain, kBest, {65536});
    EXPECT_EQ(Fnv1a(coded), 0x1efd5fd3b26e4d4dull) << coded.size() << " bytes";

    OutFile out;
    EKISAEncodeContext enc(0x4000);
    enc.SetTargetFile(&out.file);
    const Bytes before = RandomBytes(70000, 8);
    ASSERT_EQ(enc.BeginEKISACodeEncoding(kBest), eslResultSuccess);
    enc.WriteEKISACodeBytes(before.data(), static_cast<uint32_t>(before.size()));
    ASSERT_EQ(enc.FinishEKISACode(), eslResultSuccess);
    const size_t first = out.Data().size();
    ASSERT_EQ(enc.BeginEKISACodeEncoding(kBest), eslResultSuccess);
    for (size_t at = 0; at < plain.size(); at += 65536)
        enc.WriteEKISACodeBytes(plain.data() + at, static_cast<uint32_t>(std::min<size_t>(65536, plain.size() - at)));
    ASSERT_EQ(enc.FinishEKISACode(), eslResultSuccess);
    const Bytes all = out.Data();
    EXPECT_TRUE(Bytes(all.begin() + static_cast<long>(first), all.end()) == coded);
}

}  // namespace

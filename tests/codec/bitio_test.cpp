// Bit writer and reader, the gamma code and the gamma run bytes.
#include <gtest/gtest.h>

#include "codec_support.h"

namespace {

struct BitWriter {
    OutFile out;
    EKISAEncodeContext enc;
    BitWriter() : enc(0x10) { enc.SetTargetFile(&out.file); }  // small buffer: many hand-overs
    Bytes Finish() {
        EXPECT_EQ(enc.FlushBits(), 0);
        return out.Data();
    }
};

struct BitReader {
    InFile in;
    EKISADecodeContext dec;
    explicit BitReader(const Bytes& bytes) : in(bytes), dec(0x10) { dec.SetSourceFile(&in.file); }
};

// Reference: a plain list of bits, packed most significant first.
Bytes Pack(const std::vector<int>& bits) {
    Bytes out((bits.size() + 31) / 32 * 4, 0);
    for (size_t k = 0; k < bits.size(); ++k)
        if (bits[k])
            out[k / 8] = static_cast<uint8_t>(out[k / 8] | (0x80 >> (k % 8)));
    return out;
}

TEST(BitIO, OneBitThenZerosFormsOneWord) {
    BitWriter w;
    EXPECT_EQ(w.enc.WriteBits(0x80000000u, 1), 0);
    EXPECT_EQ(w.enc.WriteBits(0, 31), 0);
    EXPECT_EQ(w.Finish(), (Bytes{0x80, 0, 0, 0}));

    BitWriter partial;
    partial.enc.WriteBits(0xA0000000u, 3);  // 101, padded with zero bits
    EXPECT_EQ(partial.Finish(), (Bytes{0xA0, 0, 0, 0}));

    BitWriter none;
    EXPECT_EQ(none.Finish(), Bytes());
}

TEST(BitIO, WriteBitsMatchesAPlainBitListAndReadsBack) {
    uint32_t seed = 12345;
    auto next = [&] { seed = seed * 1103515245u + 12345u; return seed; };
    std::vector<std::pair<uint32_t, uint32_t>> items;  // value, width
    std::vector<int> bits;
    for (int k = 0; k < 3000; ++k) {
        const uint32_t n = 1 + next() % 32;
        const uint32_t v = next() ^ (next() << 7);
        items.push_back({v, n});
        for (uint32_t b = 0; b < n; ++b)
            bits.push_back((v >> (31 - b)) & 1);
    }
    BitWriter w;
    for (auto& it : items)
        ASSERT_EQ(w.enc.WriteBits(it.first, it.second), 0);
    const Bytes bytes = w.Finish();
    ASSERT_EQ(bytes, Pack(bits));

    BitReader r(bytes);
    for (auto& it : items) {
        const uint32_t expected = it.second == 32 ? it.first : it.first >> (32 - it.second);
        ASSERT_EQ(r.dec.ReadBits(it.second), expected);
    }
}

TEST(BitIO, ReaderPadsAShortInputToAWholeWord) {
    BitReader r(Bytes{1, 2, 3, 4, 5, 6});
    EXPECT_EQ(r.dec.ReadBits(32), 0x01020304u);
    EXPECT_EQ(r.dec.ReadBits(8), 0x05u);
    EXPECT_EQ(r.dec.ReadBits(24), 0x060000u) << "the missing bytes read as zeros";
    EXPECT_EQ(r.dec.FillBitRegister(), 1);
    EXPECT_EQ(r.dec.ReadBit(), 1) << "end of input";
    EXPECT_EQ(r.dec.ReadBits(5), 0u);
}

TEST(BitIO, ReadBitsJoinsWordsFirstWordMostSignificant) {
    BitReader r(Bytes{0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0});
    EXPECT_EQ(r.dec.ReadBits(20), 0x12345u);
    EXPECT_EQ(r.dec.ReadBits(20), 0x6789Au);
    EXPECT_EQ(r.dec.ReadBit(), -1);  // bit 1 of 0xB
    EXPECT_EQ(r.dec.ReadBit(), 0);
    EXPECT_EQ(r.dec.ReadBits(22), 0x3CDEF0u);
}

TEST(BitIO, GammaCodesHaveTheirBitPatterns) {
    const struct {
        uint32_t value;
        const char* bits;
    } kCodes[] = {{1, "0"}, {2, "100"}, {3, "110"}, {4, "10100"}, {5, "10110"}, {6, "11100"}, {9, "1010110"}};
    for (auto& code : kCodes) {
        BitWriter w;
        ASSERT_EQ(w.enc.WriteGammaCode(code.value), 0);
        std::vector<int> bits;
        for (const char* p = code.bits; *p; ++p)
            bits.push_back(*p == '1');
        EXPECT_EQ(w.Finish(), Pack(bits)) << code.value;

        BitReader r(Pack(bits));
        EXPECT_EQ(r.dec.ReadGammaCode(), static_cast<int32_t>(code.value)) << code.bits;
    }
}

TEST(BitIO, GammaCodeAtTheEndOfInput) {
    // 101 and then nothing: bit patterns cut short give -1.
    InFile in(Bytes{0xFF, 0xFF, 0xFF, 0xFF});
    EKISADecodeContext dec(4);
    dec.SetSourceFile(&in.file);
    EXPECT_EQ(dec.ReadBits(29), 0x1FFFFFFFu);
    EXPECT_EQ(dec.ReadGammaCode(), -1) << "111 needs more bits than there are";
    EXPECT_EQ(dec.ReadGammaCode(), -1);

    // Only "101" left before the end.
    BitReader r(Bytes{0x00, 0x00, 0x00, 0x05});
    EXPECT_EQ(r.dec.ReadBits(29), 0u);
    EXPECT_EQ(r.dec.ReadGammaCode(), -1);
}

TEST(BitIO, GammaCodesRoundTrip) {
    std::vector<uint32_t> values;
    for (uint32_t v = 1; v < 3000; ++v)
        values.push_back(v);
    for (uint32_t shift = 12; shift < 31; ++shift)
        values.push_back((1u << shift) + shift);
    values.push_back(0x7FFFFFFFu);
    BitWriter w;
    for (uint32_t v : values)
        ASSERT_EQ(w.enc.WriteGammaCode(v), 0);
    BitReader r(w.Finish());
    for (uint32_t v : values)
        ASSERT_EQ(r.dec.ReadGammaCode(), static_cast<int32_t>(v));
}

Bytes RunSample() {
    Bytes data;
    const uint8_t kPieces[][6] = {{0, 0, 0}, {5, 0x80}, {0, 0, 0, 0}, {0xFF, 1, 0x7F, 0x81}, {0}, {9}};
    const int kSizes[] = {3, 2, 4, 4, 1, 1};
    for (int round = 0; round < 50; ++round)
        for (int k = 0; k < 6; ++k)
            data.insert(data.end(), kPieces[k], kPieces[k] + kSizes[k]);
    return data;
}

TEST(BitIO, GammaRunBytesRoundTripInAnySplit) {
    for (const Bytes& data : {RunSample(), Bytes{7, 7, 0, 0, 3}, Bytes(100, 0), RandomBytes(500, 3)}) {
        BitWriter w;
        ASSERT_EQ(w.enc.WriteGammaRunBytes(data.data(), static_cast<uint32_t>(data.size())), 0);
        const Bytes coded = w.Finish();
        // Requests that end exactly where runs end, and ones that do not.
        for (const Splits& splits : {Splits{}, Splits{1}, Splits{3, 2, 4, 4, 1, 1}, Splits{3, 5, 7}}) {
            BitReader r(coded);
            ASSERT_EQ(r.dec.BeginGammaRunBytes(), eslResultSuccess);
            Bytes back(data.size());
            size_t at = 0;
            uint32_t done = 0;
            while (done < back.size()) {
                uint32_t n = splits.empty() ? static_cast<uint32_t>(back.size())
                                            : splits[at++ % splits.size()];
                n = std::min<uint32_t>(n, static_cast<uint32_t>(back.size()) - done);
                ASSERT_EQ(r.dec.ReadGammaRunBytes(back.data() + done, n), n);
                done += n;
            }
            ASSERT_EQ(back, data) << "split of " << splits.size();
        }
    }
}

TEST(BitIO, GammaRunBytesStopAtTheEndOfInput) {
    const Bytes data{0, 0, 4, 4, 4, 0};
    BitWriter w;
    w.enc.WriteGammaRunBytes(data.data(), static_cast<uint32_t>(data.size()));
    Bytes coded = w.Finish();
    BitReader r(coded);
    ASSERT_EQ(r.dec.BeginGammaRunBytes(), eslResultSuccess);
    Bytes back(64, 0xEE);
    const uint32_t got = r.dec.ReadGammaRunBytes(back.data(), 64);
    ASSERT_GE(got, data.size());
    EXPECT_LT(got, 64u) << "padding zero bits cannot make a long run";
    EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));

    BitReader empty(Bytes{});
    EXPECT_NE(empty.dec.BeginGammaRunBytes(), eslResultSuccess);
    EXPECT_EQ(empty.dec.ReadGammaRunBytes(back.data(), 8), 0u);
}

}  // namespace

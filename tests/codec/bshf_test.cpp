// BSHF: key preparation, the block permutation, and the coder contexts.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "codec_support.h"
#include "ekisa/bshf_buffer.h"

namespace {

Bytes KeyOf(const EKIBshfBuffer& b) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(b.GetKey().GetBuffer());
    return Bytes(p, p + b.GetKey().GetLength());
}

Bytes Block(EKIBshfBuffer& b, const Bytes& in, bool encode) {
    memcpy(b.GetInputBlock(), in.data(), 32);
    if (encode)
        b.EncodeBlock();
    else
        b.DecodeBlock();
    return Bytes(b.GetOutputBlock(), b.GetOutputBlock() + 32);
}

TEST(BshfKey, ShortPasswordsAreExtendedTo32Bytes) {
    EKIBshfBuffer b;
    ASSERT_TRUE(b.PrepareKey("abcde"));
    const Bytes key = KeyOf(b);
    ASSERT_EQ(key.size(), 32u);
    EXPECT_EQ(std::string(key.begin(), key.begin() + 5), "abcde");
    EXPECT_EQ(key[5], 0x1B);
    for (uint32_t i = 6; i < 32; ++i)
        ASSERT_EQ(key[i], static_cast<uint8_t>(key[i - 1] + key[i % 6])) << i;
    EXPECT_EQ(key[6], static_cast<uint8_t>(0x1B + 'a'));
    EXPECT_EQ(b.GetBlockCounter(), 0);

    const std::string p31(31, 'k');
    ASSERT_TRUE(b.PrepareKey(p31.c_str()));
    EXPECT_EQ(KeyOf(b).size(), 32u);
    EXPECT_EQ(KeyOf(b)[31], 0x1B);
}

TEST(BshfKey, LongPasswordsStayAsTheyAre) {
    EKIBshfBuffer b;
    for (size_t n : {32u, 33u, 100u}) {
        std::string p;
        for (size_t k = 0; k < n; ++k)
            p += static_cast<char>('!' + k % 90);
        ASSERT_TRUE(b.PrepareKey(p.c_str()));
        EXPECT_EQ(KeyOf(b), Bytes(p.begin(), p.end()));
    }
}

TEST(BshfKey, NullAndEmptyUseTheDefaultPassword) {
    ASSERT_EQ(strlen(EKIBshfBuffer::defaultPassword), 1u);
    EKIBshfBuffer a, b, c;
    ASSERT_TRUE(a.PrepareKey(nullptr));
    ASSERT_TRUE(b.PrepareKey(""));
    ASSERT_TRUE(c.PrepareKey(EKIBshfBuffer::defaultPassword));
    EXPECT_EQ(KeyOf(a), KeyOf(c));
    EXPECT_EQ(KeyOf(b), KeyOf(c));
    EXPECT_EQ(KeyOf(a).size(), 32u);
    EXPECT_EQ(KeyOf(a)[1], 0x1B);
}

TEST(BshfBlock, EveryBitGoesToExactlyOnePlace) {
    for (const char* password : {"x", "abcde", "\x08\x08\x08\x08", "\xff\xfe", "\x01", "\x09\x11"}) {
        EKIBshfBuffer b;
        ASSERT_TRUE(b.PrepareKey(password));
        Bytes seen(32, 0);
        for (int bit = 0; bit < 256; ++bit) {
            ASSERT_TRUE(b.PrepareKey(password));  // the same counter for every block
            Bytes in(32, 0);
            in[bit / 8] = static_cast<uint8_t>(0x80 >> (bit % 8));
            const Bytes out = Block(b, in, true);
            int ones = 0;
            for (int k = 0; k < 256; ++k)
                if (out[k / 8] & (0x80 >> (k % 8))) {
                    ++ones;
                    ASSERT_FALSE(seen[k / 8] & (0x80 >> (k % 8))) << "two bits sent to " << k;
                    seen[k / 8] = static_cast<uint8_t>(seen[k / 8] | (0x80 >> (k % 8)));
                }
            ASSERT_EQ(ones, 1) << password << " bit " << bit;
        }
    }
}

TEST(BshfBlock, DecodeUndoesEncodeForAnyKeyAndCounter) {
    for (uint32_t seed = 1; seed <= 40; ++seed) {
        Bytes password = RandomBytes(1 + seed % 45, seed);
        for (auto& c : password)
            if (c == 0)
                c = 0x20;
        password.push_back(0);
        const char* text = reinterpret_cast<const char*>(password.data());
        EKIBshfBuffer enc, dec;
        ASSERT_TRUE(enc.PrepareKey(text));
        ASSERT_TRUE(dec.PrepareKey(text));
        for (int block = 0; block < 50; ++block) {
            const Bytes plain = RandomBytes(32, seed * 1000 + static_cast<uint32_t>(block));
            const Bytes coded = Block(enc, plain, true);
            ASSERT_EQ(Block(dec, coded, false), plain) << "seed " << seed << " block " << block;
        }
    }
}

TEST(BshfBlock, CounterWrapsAfterKeyLengthBlocks) {
    EKIBshfBuffer b;
    ASSERT_TRUE(b.PrepareKey("password"));
    const Bytes plain = RandomBytes(32, 99);
    std::vector<Bytes> outs;
    for (int k = 0; k <= 32; ++k) {
        EXPECT_EQ(b.GetBlockCounter(), k % 32);
        outs.push_back(Block(b, plain, true));
    }
    EXPECT_EQ(b.GetBlockCounter(), 1);
    EXPECT_EQ(outs[32], outs[0]) << "block K uses the permutation of block 0";
    int differing = 0;
    for (int k = 1; k < 32; ++k)
        differing += outs[k] != outs[0];
    EXPECT_GE(differing, 28) << "the same block is enciphered differently at other positions";

    // A 40-byte key has 40 permutations.
    const std::string p40(40, 'q');
    ASSERT_TRUE(b.PrepareKey((p40 + "").c_str()));
    for (int k = 0; k < 40; ++k)
        Block(b, plain, true);
    EXPECT_EQ(b.GetBlockCounter(), 0);
}

TEST(BshfContext, RoundTripsInEverySplit) {
    const Bytes plain = RandomBytes(10000, 5);
    for (const char* password : {(const char*)nullptr, "", "pw", "a much longer password than 32 bytes ..."}) {
        for (const Splits& w : {Splits{}, Splits{1}, Splits{31, 33, 7}, Splits{65536}}) {
            const Bytes coded = EncodeBSHF(plain, password, w);
            ASSERT_EQ(coded.size(), (plain.size() + 31) / 32 * 32);
            for (const Splits& r : {Splits{}, Splits{1}, Splits{5, 64, 100}}) {
                ASSERT_EQ(DecodeBSHF(coded, password, static_cast<uint32_t>(plain.size()), r), plain);
            }
        }
    }
    // The default password serves null and empty alike.
    EXPECT_EQ(EncodeBSHF(plain, nullptr), EncodeBSHF(plain, ""));
    EXPECT_EQ(EncodeBSHF(plain, nullptr), EncodeBSHF(plain, EKIBshfBuffer::defaultPassword));
}

TEST(BshfContext, WrongPasswordGivesOtherBytes) {
    const Bytes plain = RepetitiveText(4096);
    const Bytes coded = EncodeBSHF(plain, "right");
    EXPECT_NE(coded, plain);
    const Bytes wrong = DecodeBSHF(coded, "wrong", 4096);
    ASSERT_EQ(wrong.size(), 4096u);
    EXPECT_NE(wrong, plain);
    EXPECT_NE(DecodeBSHF(coded, nullptr, 4096), plain);
}

TEST(BshfContext, FinishFillsOnlyAPartialBlock) {
    EXPECT_EQ(EncodeBSHF(Bytes(), "k").size(), 0u);
    EXPECT_EQ(EncodeBSHF(Bytes(64, 1), "k").size(), 64u);
    EXPECT_EQ(EncodeBSHF(Bytes(65, 1), "k").size(), 96u);
}

TEST(BshfContext, BlockCutShortIsNotDelivered) {
    const Bytes plain = RandomBytes(64, 8);
    Bytes coded = EncodeBSHF(plain, "k");
    coded.resize(50);
    const Bytes back = DecodeBSHF(coded, "k", 64);
    ASSERT_EQ(back.size(), 32u);
    EXPECT_TRUE(std::equal(back.begin(), back.end(), plain.begin()));
}

}  // namespace

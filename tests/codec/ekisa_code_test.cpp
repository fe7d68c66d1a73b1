// EKISA code: encoder -> memory file -> decoder round trips, and the coder
// behaviours that the format fixes.
#include <gtest/gtest.h>

#include <string>

#include "codec_support.h"
#include "esl/heap_debug.h"

namespace {

const Splits kWriteSplits[] = {{}, {1}, {2, 3, 5, 7, 11, 13, 17, 19, 23}, {65536}, {254, 255, 256, 257}};
const Splits kReadSplits[] = {{}, {1}, {3, 7, 31, 127, 509}, {65536}, {0x4000}};

void ExpectRoundTrip(const Bytes& plain, uint32_t flags, const char* what) {
    for (const Splits& w : kWriteSplits) {
        const Bytes coded = EncodeEKISA(plain, flags, w);
        ASSERT_GE(coded.size(), 4u) << what;
        ASSERT_EQ(coded.size() % 4, 0u) << what << ": the stream is whole 32-bit words";
        for (const Splits& r : kReadSplits) {
            const Bytes back = DecodeEKISA(coded, static_cast<uint32_t>(plain.size()), r);
            ASSERT_EQ(back.size(), plain.size()) << what << " (flags " << flags << ", write split "
                                                 << w.size() << ", read split " << r.size() << ")";
            ASSERT_TRUE(back == plain) << what << ": bytes differ";
        }
    }
}

TEST(EKISACode, RoundTripsEdgeInputsInEverySplit) {
    for (uint32_t flags : {0u, 1u, 3u}) {
        ExpectRoundTrip(Bytes(), flags, "empty");
        ExpectRoundTrip(Bytes{0x41}, flags, "one byte");
        ExpectRoundTrip(Bytes{0x00}, flags, "one zero byte");
        ExpectRoundTrip(Bytes(70000, 0x5A), flags, "70,000 equal bytes");
    }
}

TEST(EKISACode, RoundTripsTextWithLongRepeats) {
    const Bytes text = RepetitiveText(150000);
    for (uint32_t flags : {1u, 3u})
        ExpectRoundTrip(text, flags, "text");
    const Bytes coded = EncodeEKISA(text, 1);
    EXPECT_LT(coded.size(), text.size() / 4) << "long repeats should be coded as phrases";
}

TEST(EKISACode, RoundTripsRandomAndStructuredBytes) {
    ExpectRoundTrip(RandomBytes(100000, 1), 1, "random");
    ExpectRoundTrip(RandomBytes(3000, 2), 3, "random, flags 3");
    ExpectRoundTrip(StructuredBinary(300000, 3), 1, "structured binary");
    ExpectRoundTrip(StructuredBinary(120000, 4), 3, "structured binary, flags 3");
}

TEST(EKISACode, RoundTripsARealPEFile) {
    std::string path;
    Bytes pe = FindPEFile(&path);
    if (pe.empty())
        GTEST_SKIP() << "no 32-bit PE file on this machine (the structured-binary test covers the kind)";
    if (pe.size() > 600000)
        pe.resize(600000);
    for (uint32_t flags : {1u, 3u}) {
        for (const Splits& w : {Splits{}, Splits{4096, 1, 65536}}) {
            const Bytes coded = EncodeEKISA(pe, flags, w);
            EXPECT_LT(coded.size(), pe.size()) << path;
            for (const Splits& r : {Splits{}, Splits{1, 65536, 7}}) {
                const Bytes back = DecodeEKISA(coded, static_cast<uint32_t>(pe.size()), r);
                ASSERT_TRUE(back == pe) << path << " flags " << flags;
            }
        }
    }
}

// Requests of random sizes, mostly short ones that end inside phrases, and
// of one byte each: what a request leaves of a phrase is carried into the
// next one.
TEST(EKISACode, DecodesInPiecesOfRandomSizes) {
    Bytes plain = StructuredBinary(120000, 21);
    const Bytes text = RepetitiveText(60000);
    plain.insert(plain.end(), text.begin(), text.end());
    const Bytes coded = EncodeEKISA(plain, 1);
    Splits random;
    uint32_t s = 7;
    for (int k = 0; k < 400; ++k) {
        s = s * 1103515245u + 12345u;
        const uint32_t r = s >> 16;
        random.push_back(r % 4 == 0 ? 1 + r % 5000 : 1 + r % 40);
    }
    for (const Splits& pieces : {random, Splits{1}}) {
        const Bytes back = DecodeEKISA(coded, static_cast<uint32_t>(plain.size()), pieces);
        ASSERT_EQ(back.size(), plain.size());
        ASSERT_TRUE(back == plain);
    }
}

// Every length modulo 4 of the coded stream, in particular one that ends on
// a word boundary right before symbols that need no further bits.
TEST(EKISACode, EveryPrefixLengthDecodesFully) {
    const Bytes text = RepetitiveText(3000);
    for (uint32_t n = 0; n <= 600; n += (n < 64 ? 1 : 7)) {
        const Bytes plain(text.begin(), text.begin() + n);
        const Bytes coded = EncodeEKISA(plain, 1);
        const Bytes back = DecodeEKISA(coded, n);
        ASSERT_TRUE(back == plain) << "prefix of " << n << " bytes";
    }
    for (uint32_t n = 1; n <= 2000; n += 97) {
        const Bytes plain(n, static_cast<uint8_t>(n));
        ASSERT_TRUE(DecodeEKISA(EncodeEKISA(plain, 3), n) == plain) << n << " equal bytes";
    }
}

// Streams whose bits end on a word boundary leave the decoder with an empty
// register before symbols that need no bits (a byte that its context all but
// certainly predicts): one word of zero bits stands in, once. Literals only
// (flags 0), so that the last symbols are such bytes.
TEST(EKISACode, StandInWordIsSuppliedOnceAtTheEnd) {
    Bytes text;
    for (int k = 0; k < 3000; ++k)
        text.push_back(static_cast<uint8_t>(k % 7 == 6 ? 'b' : 'a'));
    int needed = 0;
    for (uint32_t n = 1; n <= 3000; n += 1 + n / 300) {
        const Bytes plain(text.begin(), text.begin() + n);
        InFile in(EncodeEKISA(plain, 0));
        EKISADecodeContext dec(0x10000);
        dec.SetSourceFile(&in.file);
        ASSERT_EQ(dec.BeginEKISACode(), eslResultSuccess);
        Bytes back(n);
        ASSERT_EQ(dec.ReadEKISACodeBytes(back.data(), n), n) << n;
        ASSERT_TRUE(back == plain);
        EXPECT_TRUE(dec.GetPaddingBits() == 0 || dec.GetPaddingBits() == 32);
        needed += dec.GetPaddingBits() != 0;
    }
    EXPECT_GT(needed, 0) << "no sample ended on a word boundary before such symbols";
}

TEST(EKISACode, FinishOnNothingWritesFourZeroBytes) {
    EXPECT_EQ(EncodeEKISA(Bytes(), 1), Bytes(4, 0));
    EXPECT_EQ(EncodeEKISA(Bytes(), 3), Bytes(4, 0));
}

TEST(EKISACode, OutputDoesNotDependOnBufferSizeOrRepetition) {
    const Bytes plain = StructuredBinary(50000, 9);
    const Bytes a = EncodeEKISA(plain, 1);
    EXPECT_EQ(a, EncodeEKISA(plain, 1)) << "same input, same bits";
    OutFile out;
    EKISAEncodeContext enc(12);  // tiny buffer: many hand-overs
    enc.SetTargetFile(&out.file);
    ASSERT_EQ(enc.BeginEKISACodeEncoding(1), eslResultSuccess);
    EXPECT_EQ(enc.WriteEKISACodeBytes(plain.data(), static_cast<uint32_t>(plain.size())), plain.size());
    EXPECT_EQ(enc.FinishEKISACode(), eslResultSuccess);
    EXPECT_EQ(out.Data(), a);
}

// An encoder restarted with BeginEKISACodeEncoding reuses its tables and
// starts afresh: the second stream is bit for bit the first.
TEST(EKISACode, RestartedContextsRepeatTheirOutput) {
    const Bytes plain = RepetitiveText(20000);
    const Bytes once = EncodeEKISA(plain, 1);
    OutFile out;
    EKISAEncodeContext enc(0x4000);
    enc.SetTargetFile(&out.file);
    for (int k = 0; k < 2; ++k) {
        ASSERT_EQ(enc.BeginEKISACodeEncoding(1), eslResultSuccess);
        enc.WriteEKISACodeBytes(plain.data(), static_cast<uint32_t>(plain.size()));
        ASSERT_EQ(enc.FinishEKISACode(), eslResultSuccess);
    }
    Bytes both = once;
    both.insert(both.end(), once.begin(), once.end());
    ASSERT_EQ(out.Data(), both);

    EXPECT_TRUE(DecodeEKISA(Bytes(both.begin() + static_cast<long>(once.size()), both.end()),
                            static_cast<uint32_t>(plain.size())) == plain);
}

TEST(EKISACode, RunsUseIndexZeroOnlyWithFlag2) {
    const Bytes plain(70000, 0x77);
    for (uint32_t flags : {1u, 3u}) {
        OutFile out;
        EKISAEncodeContext enc(0x4000);
        enc.SetTargetFile(&out.file);
        ASSERT_EQ(enc.BeginEKISACodeEncoding(flags), eslResultSuccess);
        enc.WriteEKISACodeBytes(plain.data(), static_cast<uint32_t>(plain.size()));
        const EKISASymbolModel* index = enc.GetPhraseIndexModel();
        const int zero = index->FindSymbol(0);
        ASSERT_GE(zero, 0);
        if (flags == 1) {
            EXPECT_EQ(index->counts[zero], 1u) << "no run may be coded";
            EXPECT_EQ(enc.GetRunLengthModel()->total, 257u);
            EXPECT_GT(enc.GetPhraseLengthModel()->total, 257u) << "equal bytes become phrases";
        } else {
            EXPECT_GT(index->counts[zero], 1u) << "runs are coded with index 0";
            EXPECT_GT(enc.GetRunLengthModel()->total, 257u);
        }
        ASSERT_EQ(enc.FinishEKISACode(), eslResultSuccess);
        EXPECT_TRUE(DecodeEKISA(out.Data(), 70000) == plain);
    }
}

TEST(EKISACode, OneByteRepeatsAreLiterals) {
    // No two-byte sequence occurs twice and no byte follows itself: nothing
    // but literals, so the phrase models stay fresh.
    Bytes plain;
    for (int a = 1; a < 40; ++a)
        for (int b = a + 1; b < 40; ++b) {
            plain.push_back(static_cast<uint8_t>(a));
            plain.push_back(static_cast<uint8_t>(b));
        }
    // "1 2 1 3 ..." repeats single bytes often but no pair.
    OutFile out;
    EKISAEncodeContext enc(0x4000);
    enc.SetTargetFile(&out.file);
    ASSERT_EQ(enc.BeginEKISACodeEncoding(3), eslResultSuccess);
    enc.WriteEKISACodeBytes(plain.data(), static_cast<uint32_t>(plain.size()));
    EXPECT_EQ(enc.GetPhraseIndexModel()->total, 257u);
    EXPECT_EQ(enc.GetRunLengthModel()->total, 257u);
    EXPECT_EQ(enc.GetPhraseLengthModel()->total, 257u);
    ASSERT_EQ(enc.FinishEKISACode(), eslResultSuccess);
    EXPECT_TRUE(DecodeEKISA(out.Data(), static_cast<uint32_t>(plain.size())) == plain);
}

TEST(EKISACode, PoolFillsTo2048ModelsAndCodingGoesOn) {
    Bytes plain = RandomBytes(150000, 11);
    const Bytes more = StructuredBinary(150000, 12);
    plain.insert(plain.end(), more.begin(), more.end());
    OutFile out;
    EKISAEncodeContext enc(0x4000);
    enc.SetTargetFile(&out.file);
    ASSERT_EQ(enc.BeginEKISACodeEncoding(1), eslResultSuccess);
    enc.WriteEKISACodeBytes(plain.data(), static_cast<uint32_t>(plain.size()));
    ASSERT_EQ(enc.GetModelPool()->used, 2048u) << "the sample should exhaust the pool";
    ASSERT_EQ(enc.FinishEKISACode(), eslResultSuccess);

    InFile in(out.Data());
    EKISADecodeContext dec(0x10000);
    dec.SetSourceFile(&in.file);
    ASSERT_EQ(dec.BeginEKISACode(), eslResultSuccess);
    // Everything the context needs was taken by BeginEKISACode.
    static int heapCalls;
    heapCalls = 0;
    const ESLHeapTraceHook previous = eslHeapSetTraceHook([](ESLHeap, char, void*, unsigned int, void*) { ++heapCalls; });
    Bytes back(plain.size());
    const uint32_t got = dec.ReadEKISACodeBytes(back.data(), static_cast<uint32_t>(back.size()));
    eslHeapSetTraceHook(previous);
    ASSERT_EQ(got, back.size());
    EXPECT_TRUE(back == plain);
    EXPECT_EQ(dec.GetModelPool()->used, 2048u);
    EXPECT_EQ(heapCalls, 0) << "decoding allocates nothing";
}

TEST(EKISACode, FirstLiteralCreatesChildModelZero) {
    const Bytes plain{0x41, 0x42};
    OutFile out;
    EKISAEncodeContext enc(0x4000);
    enc.SetTargetFile(&out.file);
    ASSERT_EQ(enc.BeginEKISACodeEncoding(1), eslResultSuccess);
    enc.WriteEKISACodeBytes(plain.data(), 1);
    const EKISAModelPool* pool = enc.GetModelPool();
    EXPECT_EQ(pool->used, 1u);
    EXPECT_EQ(pool->Child(-1, 0x41 >> 1), 0);
    EXPECT_EQ(pool->base.childCounts[0x41 >> 1], 1u);
    // Seeded from the base model, where every count is below 16: only the escape.
    EXPECT_EQ(pool->first[0].entryCount, 1u);
    EXPECT_EQ(pool->first[0].symbols[0], ekisaEscape);
    enc.WriteEKISACodeBytes(plain.data() + 1, 1);
    ASSERT_EQ(enc.FinishEKISACode(), eslResultSuccess);

    InFile in(out.Data());
    EKISADecodeContext dec(0x10000);
    dec.SetSourceFile(&in.file);
    ASSERT_EQ(dec.BeginEKISACode(), eslResultSuccess);
    uint8_t b = 0;
    ASSERT_EQ(dec.ReadEKISACodeBytes(&b, 1), 1u);
    EXPECT_EQ(b, 0x41);
    EXPECT_EQ(dec.GetModelPool()->used, 1u);
    EXPECT_EQ(dec.GetModelPool()->Child(-1, 0x20), 0);
    ASSERT_EQ(dec.ReadEKISACodeBytes(&b, 1), 1u);
    EXPECT_EQ(b, 0x42);
    // In the model of context 0x41 the escape was bumped and 0x42 added.
    EXPECT_EQ(dec.GetModelPool()->first[0].entryCount, 2u);
    EXPECT_EQ(dec.GetModelPool()->first[0].FindSymbol(0x42), 1);
}

TEST(EKISACode, ZeroByteRequestConsumesNothing) {
    const Bytes plain = RepetitiveText(1000);
    const Bytes coded = EncodeEKISA(plain, 1);
    InFile in(coded);
    EKISADecodeContext dec(0x10000);
    dec.SetSourceFile(&in.file);
    ASSERT_EQ(dec.BeginEKISACode(), eslResultSuccess);
    uint8_t dummy = 0;
    EXPECT_EQ(dec.ReadEKISACodeBytes(&dummy, 0), 0u);
    Bytes back(plain.size());
    EXPECT_EQ(dec.ReadEKISACodeBytes(back.data(), static_cast<uint32_t>(back.size())), back.size());
    EXPECT_TRUE(back == plain);
}

TEST(EKISACode, ChainedThroughBSHF) {
    const Bytes plain = StructuredBinary(80000, 21);
    for (const char* password : {"", "secret", "a password that is longer than thirty-two bytes"}) {
        for (const Splits& w : {Splits{}, Splits{1, 100, 4096}}) {
            const Bytes coded = EncodeChained(plain, password, 1, w);
            ASSERT_EQ(coded.size() % 32, 0u) << "whole cipher blocks";
            for (const Splits& r : {Splits{}, Splits{1}, Splits{65536, 5}}) {
                const Bytes back = DecodeChained(coded, password, static_cast<uint32_t>(plain.size()), r);
                ASSERT_TRUE(back == plain) << "password \"" << password << "\"";
            }
            EXPECT_TRUE(DecodeChained(coded, "wrong", static_cast<uint32_t>(plain.size())) != plain);
        }
    }
}

TEST(EKISACode, DecoderWithoutSourceReadsNothing) {
    EKISADecodeContext dec(0x100);
    ASSERT_EQ(dec.BeginEKISACode(), eslResultSuccess);
    uint8_t buffer[64];
    // Only the stand-in zero word: a few bytes at most, then nothing.
    const uint32_t first = dec.ReadEKISACodeBytes(buffer, sizeof(buffer));
    EXPECT_LT(first, sizeof(buffer));
    EXPECT_EQ(dec.ReadEKISACodeBytes(buffer, sizeof(buffer)), 0u);
    EXPECT_EQ(dec.ReadNextData(buffer, sizeof(buffer)), 0u);
}

// A source that delivers its stream and then, instead of ending, a second
// source that is this context itself: the loop must end, not recurse.
TEST(EKISACode, LoopingChainOfSourcesEnds) {
    EKISADecodeContext a(0x100);
    EKISADecodeContext b(0x100);
    a.SetSourceContext(&b);
    b.SetSourceContext(&a);
    ASSERT_EQ(b.BeginBSHFCode(nullptr), eslResultSuccess);
    ASSERT_EQ(a.BeginEKISACode(), eslResultSuccess);
    uint8_t buffer[16];
    EXPECT_LT(a.ReadEKISACodeBytes(buffer, sizeof(buffer)), sizeof(buffer));

    EKISADecodeContext self(0x100);
    self.SetSourceContext(&self);
    ASSERT_EQ(self.BeginEKISACode(), eslResultSuccess);
    EXPECT_LT(self.ReadEKISACodeBytes(buffer, sizeof(buffer)), sizeof(buffer));
}

}  // namespace

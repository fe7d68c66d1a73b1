// Streams the writer never produces: hand-made symbol sequences, truncated
// and damaged streams, garbage, and targets that refuse bytes.
#include <gtest/gtest.h>

#include <string.h>

#include <memory>

#include "codec_support.h"

namespace {

// Writes symbols straight into models that mirror the decoder's, to build
// streams with phrases, end marks and impossible escapes.
struct Forger {
    OutFile out;
    EKISAEncodeContext enc{0x4000};
    EKISASymbolModel base, model0, model1, phraseIndex, phraseLength, runLength;
    Forger() {
        enc.SetTargetFile(&out.file);
        enc.BeginEKISACodeEncoding(0);
        for (EKISASymbolModel* m : {&base, &phraseIndex, &phraseLength, &runLength})
            m->InitModel();
        // What the decoder creates after a first literal coded in the base
        // model: counts below 16 leave only the escape.
        for (EKISASymbolModel* m : {&model0, &model1}) {
            m->entryCount = 1;
            m->total = 1;
            m->counts[0] = 1;
            m->symbols[0] = ekisaEscape;
            m->Recount();
            m->ClearChildren();
        }
    }
    void Code(EKISASymbolModel& m, int symbol) { enc.EncodeModelSymbol(&m, symbol); }
    Bytes Finish() {
        EXPECT_EQ(enc.FinishEKISACode(), eslResultSuccess);
        return out.Data();
    }
};

struct Reader {
    InFile in;
    EKISADecodeContext dec{0x10000};
    explicit Reader(const Bytes& coded) : in(coded) {
        dec.SetSourceFile(&in.file);
        EXPECT_EQ(dec.BeginEKISACode(), eslResultSuccess);
    }
    Bytes Read(uint32_t n) {
        Bytes out(n);
        out.resize(dec.ReadEKISACodeBytes(out.data(), n));
        return out;
    }
};

// 'A' (base model), then in context "A" (model 0): escape, escape in the
// base model, phrase index 0 with length 3; then the end mark.
Bytes RunOfThreeThenEnd() {
    Forger f;
    f.Code(f.base, 'A');
    f.Code(f.model0, ekisaEscape);
    f.Code(f.base, ekisaEscape);
    f.Code(f.phraseIndex, 0);
    f.Code(f.runLength, 3);
    f.Code(f.model0, ekisaEscape);  // context "AAAA" is still model 0
    f.Code(f.base, ekisaEscape);
    f.Code(f.phraseIndex, ekisaEscape);  // end mark
    for (int k = 0; k < 8; ++k)
        f.Code(f.base, 'Z');  // more bits after the end mark
    return f.Finish();
}

TEST(DecoderStreams, RunAfterAByteRepeatsItAndTheEndMarkStops) {
    Reader r(RunOfThreeThenEnd());
    EXPECT_EQ(r.Read(100), (Bytes{0x41, 0x41, 0x41, 0x41}));
    EXPECT_EQ(r.Read(100), Bytes()) << "nothing after the end mark";
    EXPECT_EQ(r.Read(1), Bytes());
}

TEST(DecoderStreams, PhraseLongerThanTheRequestGoesOnInTheNext) {
    Reader r(RunOfThreeThenEnd());
    EXPECT_EQ(r.Read(2), (Bytes{0x41, 0x41}));
    EXPECT_EQ(r.Read(1), (Bytes{0x41}));
    EXPECT_EQ(r.Read(1), (Bytes{0x41}));
    EXPECT_EQ(r.Read(1), Bytes());
}

TEST(DecoderStreams, PhraseCopiesFromTheLastPlaceOfTheByte) {
    // "ace" as literals, then 'a' again, then phrase index 2 after 'a': the
    // copy starts right after the 'a' before the last one, giving "ce".
    // (The letters lie in different context classes: byte >> 1.)
    Forger f;
    f.Code(f.base, 'a');  // creates model 0 for context "a"
    f.Code(f.model0, ekisaEscape);
    f.Code(f.base, 'c');
    f.model0.AppendSymbol('c');
    // Context "c": no model (its class was counted in model 0 only); 'e'
    // coded in the base model gives the context "e" model 1.
    f.Code(f.base, 'e');
    f.Code(f.model1, ekisaEscape);
    f.Code(f.base, 'a');
    f.model1.AppendSymbol('a');
    // Context "a" at depth 1: model 0 again.
    f.Code(f.model0, ekisaEscape);
    f.Code(f.base, ekisaEscape);
    f.Code(f.phraseIndex, 2);
    f.Code(f.phraseLength, 2);
    Reader r(f.Finish());
    EXPECT_EQ(r.Read(6), (Bytes{'a', 'c', 'e', 'a', 'c', 'e'}));
}

// Mirrors the decoder's whole model tree with the shared model code, so that
// long hand-made sequences stay in step with what the decoder will do.
struct TreeForger {
    OutFile out;
    EKISAEncodeContext enc{0x4000};
    PoolPtr pool = NewModelPool();
    std::unique_ptr<uint8_t[]> window{new uint8_t[ekisaWindowSize]()};
    std::unique_ptr<uint8_t[]> occurrences{new uint8_t[ekisaOccurrenceBytes]()};
    EKISAHistory history{};
    Bytes plain;
    TreeForger() {
        enc.SetTargetFile(&out.file);
        enc.BeginEKISACodeEncoding(0);
        history.window = window.get();
        history.AttachOccurrences(occurrences.get());
    }
    // A literal; with escape, escaped to the base model even when the
    // context model holds it (the decoder then adds it a second time).
    // False when the decoder must refuse it: the model would go past the
    // 256 bytes and the escape.
    bool Literal(uint8_t b, bool escape) {
        uint32_t depth;
        EKISASymbolModel* m = EKISAWalkContext(pool.get(), history.recent, history.ring, &depth);
        if (m->FindSymbol(b) >= 0 && (!escape || m == &pool->base)) {
            enc.EncodeModelSymbol(m, b);
        } else {
            enc.EncodeModelSymbol(m, ekisaEscape);
            enc.EncodeModelSymbol(&pool->base, b);
            if (m->entryCount >= 257)
                return false;
            m->AppendSymbol(b);
        }
        history.Store(b);
        plain.push_back(b);
        EKISAGrowTree(pool.get(), m, depth, b, history);
        return true;
    }
    Bytes Finish() {
        EXPECT_EQ(enc.FinishEKISACode(), eslResultSuccess);
        return out.Data();
    }
};

// The writer escapes only for a symbol the context model lacks, so no model
// holds more than 257 entries. Escapes for held symbols give wrong bytes
// (the entry checksum's business) until a model would grow past that: there
// the decoder stops instead of writing beyond the model.
TEST(DecoderStreams, ModelThatWouldOverfillStopsDecoding) {
    TreeForger f;
    for (int round = 0; round < 200; ++round)
        for (uint8_t b : {'w', 'x', 'y', 'z'})
            ASSERT_TRUE(f.Literal(b, false));
    const size_t fine = f.plain.size();
    // Context "wxyz" now has a model of its own; escape into it again and
    // again with the same byte, returning to the same context each time.
    bool refused = false;
    for (int round = 0; round < 300 && !refused; ++round) {
        refused = !f.Literal('q', true);
        for (uint8_t b : {'w', 'x', 'y', 'z'})
            if (!refused)
                refused = !f.Literal(b, false);
    }
    ASSERT_TRUE(refused) << "the forged stream should overfill a model";
    const size_t expected = f.plain.size();
    ASSERT_GT(expected, fine);
    for (int k = 0; k < 8; ++k)
        f.enc.EncodeModelSymbol(&f.pool->base, 'Z');  // bits after the point of refusal
    Reader r(f.Finish());
    const Bytes got = r.Read(static_cast<uint32_t>(expected + 100));
    EXPECT_EQ(got, f.plain) << "decoded in step up to the refusal, and no further";
    EXPECT_EQ(r.Read(10), Bytes()) << "the context stays stopped";
}

TEST(DecoderStreams, CodeBeyondTheIntervalFails) {
    Reader r(Bytes(64, 0xFF));  // the code register starts above the range
    EXPECT_EQ(r.Read(10), Bytes());
    EXPECT_EQ(r.Read(10), Bytes());
}

TEST(DecoderStreams, TruncatedStreamsStopEarly) {
    const Bytes plain = RepetitiveText(60000);
    const Bytes coded = EncodeEKISA(plain, 1);
    ASSERT_GT(coded.size(), 1000u);
    for (size_t cut = 0; cut < coded.size(); cut += 1 + cut / 3) {
        Bytes part(coded.begin(), coded.begin() + static_cast<long>(cut));
        Reader r(part);
        const Bytes back = r.Read(static_cast<uint32_t>(plain.size()));
        ASSERT_LE(back.size(), plain.size());
        if (cut < coded.size() / 2) {
            EXPECT_LT(back.size(), plain.size()) << "a stream cut to " << cut << " bytes";
        }
        // What the bytes before the cut hold decodes as it was.
        const size_t same = static_cast<size_t>(
            std::mismatch(back.begin(), back.end(), plain.begin()).first - back.begin());
        EXPECT_GE(same + 16, cut / 2) << "cut at " << cut;
    }
}

TEST(DecoderStreams, DamagedAndRandomStreamsNeverOverrun) {
    const Bytes plain = RepetitiveText(30000);
    const Bytes coded = EncodeEKISA(plain, 3);
    uint32_t seed = 77;
    for (int trial = 0; trial < 200; ++trial) {
        Bytes bad = coded;
        seed = seed * 1664525u + 1013904223u;
        const int flips = 1 + static_cast<int>(seed % 4);
        for (int k = 0; k < flips; ++k) {
            seed = seed * 1664525u + 1013904223u;
            bad[seed % bad.size()] ^= static_cast<uint8_t>(1 + (seed >> 24) % 255);
        }
        Reader r(bad);
        Bytes out(plain.size() + 64, 0xCD);
        const uint32_t got = r.dec.ReadEKISACodeBytes(out.data(), static_cast<uint32_t>(plain.size()));
        ASSERT_LE(got, plain.size());
        for (size_t k = plain.size(); k < out.size(); ++k)
            ASSERT_EQ(out[k], 0xCD) << "written past the request";
    }
    for (uint32_t n = 0; n < 300; n += 7) {
        const Bytes garbage = RandomBytes(n, n + 1);
        Reader r(garbage);
        const Bytes out = r.Read(100000);
        EXPECT_LT(out.size(), 100000u) << "garbage of " << n << " bytes";
        // Chained: garbage through the cipher.
        const Bytes chained = DecodeChained(garbage, "k", 100000);
        EXPECT_LT(chained.size(), 100000u);
    }
}

// A file that accepts a limited number of bytes, then nothing.
class LimitedFile : public ESLFileObject {
public:
    explicit LimitedFile(uint32_t limit) : m_limit(limit) {}
    ESLFileObject* Duplicate() override { return nullptr; }
    uint32_t Read(void*, uint32_t) override { return 0; }
    uint32_t Write(const void* src, uint32_t bytes) override {
        const uint32_t n = bytes < m_limit ? bytes : m_limit;
        m_limit -= n;
        m_data.insert(m_data.end(), static_cast<const uint8_t*>(src), static_cast<const uint8_t*>(src) + n);
        return n;
    }
    uint32_t GetLength() override { return static_cast<uint32_t>(m_data.size()); }
    uint32_t Seek(int32_t, int) override { return 0; }
    uint32_t GetPointer() override { return static_cast<uint32_t>(m_data.size()); }
    Bytes m_data;

private:
    uint32_t m_limit;
};

TEST(EncoderFailures, RefusedBytesAreReportedNotOverrun) {
    const Bytes plain = RandomBytes(200000, 4);
    for (uint32_t flags : {1u, 1u | EKISAEncodeContext::parseBest}) {
        LimitedFile target(10000);
        EKISAEncodeContext enc(0x4000);
        enc.SetTargetFile(&target);
        ASSERT_EQ(enc.BeginEKISACodeEncoding(flags), eslResultSuccess);
        const uint32_t taken = enc.WriteEKISACodeBytes(plain.data(), static_cast<uint32_t>(plain.size()));
        EXPECT_LT(taken, plain.size()) << "a refused write is a short count";
        EXPECT_TRUE(enc.HasWriteFailed());
        EXPECT_EQ(enc.WriteEKISACodeBytes(plain.data(), 100), 0u);
        EXPECT_NE(enc.FinishEKISACode(), eslResultSuccess);
        EXPECT_EQ(target.m_data.size(), 10000u);
        // A new coding on a target with room starts afresh.
        LimitedFile roomy(1u << 30);
        enc.SetTargetFile(&roomy);
        ASSERT_EQ(enc.BeginEKISACodeEncoding(flags), eslResultSuccess);
        EXPECT_FALSE(enc.HasWriteFailed());
        EXPECT_EQ(enc.WriteEKISACodeBytes(plain.data(), 1000), 1000u);
        EXPECT_EQ(enc.FinishEKISACode(), eslResultSuccess);
        EXPECT_EQ(DecodeEKISA(roomy.m_data, 1000, {}), Bytes(plain.begin(), plain.begin() + 1000));
    }
    {
        LimitedFile target(10);
        EKISAEncodeContext enc(0x4000);
        enc.SetTargetFile(&target);
        ASSERT_EQ(enc.BeginEKISACodeEncoding(1), eslResultSuccess);
        EXPECT_EQ(enc.WriteEKISACodeBytes(plain.data(), 50), 50u) << "still in the buffer";
        EXPECT_NE(enc.FinishEKISACode(), eslResultSuccess) << "the flush is refused";
    }
    {
        LimitedFile target(1000);
        EKISAEncodeContext enc(64);
        enc.SetTargetFile(&target);
        ASSERT_EQ(enc.BeginBSHFEncoding("k"), eslResultSuccess);
        const uint32_t taken = enc.WriteBSHFCodeBytes(plain.data(), 5000);
        EXPECT_LT(taken, 5000u);
        EXPECT_EQ(enc.WriteBSHFCodeBytes(plain.data(), 64), 0u);
        EXPECT_NE(enc.FinishBSHFCode(), eslResultSuccess);
        EXPECT_EQ(target.m_data.size(), 1000u);
    }
}

TEST(EncoderFailures, ChainedCipherRefusalReachesTheCodeWriter) {
    const Bytes plain = RandomBytes(100000, 6);
    LimitedFile target(4096);
    EKISAEncodeContext cipher(0x4000), code(0x4000);
    cipher.SetTargetFile(&target);
    code.SetTargetContext(&cipher);
    ASSERT_EQ(cipher.BeginBSHFEncoding(nullptr), eslResultSuccess);
    ASSERT_EQ(code.BeginEKISACodeEncoding(1), eslResultSuccess);
    EXPECT_LT(code.WriteEKISACodeBytes(plain.data(), static_cast<uint32_t>(plain.size())), plain.size());
    EXPECT_NE(code.FinishEKISACode(), eslResultSuccess);
    EXPECT_NE(cipher.FinishBSHFCode(), eslResultSuccess);
}

TEST(EncoderFailures, NoTargetTakesNothing) {
    EKISAEncodeContext enc(0x4000);
    uint8_t data[8] = {};
    EXPECT_EQ(enc.WriteNextData(data, 8), 0u);
    ASSERT_EQ(enc.BeginEKISACodeEncoding(1), eslResultSuccess);
    EXPECT_EQ(enc.WriteEKISACodeBytes(data, 8), 8u);
    EXPECT_NE(enc.FinishEKISACode(), eslResultSuccess);

    EKISAEncodeContext loop(0x4000);
    loop.SetTargetContext(&loop);
    ASSERT_EQ(loop.BeginBSHFEncoding("k"), eslResultSuccess);
    uint8_t block[64] = {};
    EXPECT_EQ(loop.WriteBSHFCodeBytes(block, 64), 64u);
    EXPECT_NE(loop.FinishBSHFCode(), eslResultSuccess) << "a context cannot write into itself";
}

}  // namespace

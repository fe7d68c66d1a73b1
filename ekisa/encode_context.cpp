// Encoder of the EKISA code and of BSHF cipher blocks. The EKISA writer's
// default choices (phrase search, run search, cost comparison) fix its
// output bit for bit; archives and their checks elsewhere rely on the exact
// same stream, so they must not be tuned for better compression. The
// thorough parse (parseBest, best_parse.cpp) is where smaller output goes.
#include "ekisa/encode_context.h"

#include <string.h>

#include "ekisa/best_parse.h"
#include "ekisa/bshf_buffer.h"
#include "esl/heap.h"

namespace {

const uint32_t kNoCandidate = 0x7FFFFFFFu;

inline void StoreBigEndian(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

inline uint32_t HighestBit(uint32_t v) { return 31u - static_cast<uint32_t>(__builtin_clz(v)); }

// Cost of a symbol the model holds (see EKISASymbolCost).
uint32_t CostIn(const EKISASymbolModel* model, int symbol) {
    const int k = model->FindSymbol(symbol);
    if (k < 0)
        return kNoCandidate;  // not reached: every caller asks for held symbols
    return EKISASymbolCost(model->counts[k], model->total);
}

}  // namespace

EKISAEncodeContext::EKISAEncodeContext(uint32_t bufferSize)
    : m_bitsUsed(0),
      m_bitWord(0),
      m_capacity(0),
      m_position(0),
      m_buffer(nullptr),
      m_targetFile(nullptr),
      m_targetContext(nullptr),
      m_encoder(nullptr),
      m_finisher(nullptr),
      m_writeFailed(false),
      m_writing(false),
      m_low(0),
      m_range(0xFFFF),
      m_delay(0),
      m_deferred(-1),
      m_flags(0),
      m_pool(nullptr),
      m_phraseLengthModel(nullptr),
      m_phraseIndexModel(nullptr),
      m_runLengthModel(nullptr),
      m_best(nullptr),
      m_bshf(nullptr),
      m_bshfHeld(0) {
    memset(&m_history, 0, sizeof(m_history));
    const uint32_t capacity = EKISABufferCapacity(bufferSize);
    m_buffer = static_cast<uint8_t*>(eslHeapAllocate(nullptr, capacity, 0));
    if (m_buffer != nullptr)
        m_capacity = capacity;
}

EKISAEncodeContext::~EKISAEncodeContext() {
    FreeCodeTables();
    if (m_buffer != nullptr)
        eslHeapFree(nullptr, m_buffer, 0);
    delete m_bshf;
}

void EKISAEncodeContext::FreeCodeTables() {
    EKISAFreeCodeTables(m_pool, m_history, m_phraseLengthModel, m_phraseIndexModel, m_runLengthModel);
    if (m_best != nullptr)
        eslHeapFree(nullptr, m_best, 0);
    m_best = nullptr;
}

void EKISAEncodeContext::SetTargetFile(ESLFileObject* file) {
    m_targetFile = file;
    m_targetContext = nullptr;
}

void EKISAEncodeContext::SetTargetContext(EKISAEncodeContext* context) {
    m_targetContext = context;
    m_targetFile = nullptr;
}

uint32_t EKISAEncodeContext::WriteNextData(const uint8_t* buffer, uint32_t bytes) {
    if (m_targetFile != nullptr)
        return m_targetFile->Write(buffer, bytes);
    if (m_targetContext != nullptr) {
        EKISAEncodeContext* target = m_targetContext;
        // No mode begun, or a chain of targets that loops back to a context
        // that is handing out its own buffer.
        if (target->m_encoder == nullptr || target->m_writing)
            return 0;
        return (target->*(target->m_encoder))(buffer, bytes);
    }
    eslTrace("警告：WriteNextData 関数がオーバーライドされていません。\n");
    return 0;
}

// ---------------------------------------------------------------------------
// Bit writer

// A refused hand-over loses the buffer (keeping it would make the next word
// land past its end) and marks the context as failed.
// A new coding after a refused write starts from an empty output; the bits
// and bytes held when the target refused belong to the lost stream.
void EKISAEncodeContext::RestartAfterFailure() {
    if (!m_writeFailed)
        return;
    m_writeFailed = false;
    m_position = 0;
    m_bitsUsed = 0;
    m_bitWord = 0;
}

bool EKISAEncodeContext::HandBuffer(uint32_t bytes) {
    if (m_buffer == nullptr || m_writing) {
        m_writeFailed = true;
        m_position = 0;
        return false;
    }
    if (m_writeFailed) {
        m_position = 0;
        return false;
    }
    m_writing = true;
    const uint32_t taken = WriteNextData(m_buffer, bytes);
    m_writing = false;
    m_position = 0;
    if (taken < bytes) {
        m_writeFailed = true;
        return false;
    }
    return true;
}

int EKISAEncodeContext::WriteBits(uint32_t bits, uint32_t n) {
    if (n > 32)
        n = 32;
    while (n > 0) {
        if (static_cast<uint32_t>(m_bitsUsed) + n < 32) {
            m_bitWord = (m_bitWord << n) | (bits >> (32 - n));
            m_bitsUsed += static_cast<int32_t>(n);
            return 0;
        }
        const uint32_t free = 32 - static_cast<uint32_t>(m_bitsUsed);
        uint32_t word;
        if (free == 32) {
            word = bits;
            bits = 0;
        } else {
            word = (m_bitWord << free) | (bits >> (32 - free));
            bits <<= free;
        }
        n -= free;
        m_bitsUsed = 0;
        m_bitWord = 0;
        if (m_buffer == nullptr) {
            m_writeFailed = true;
            return 1;
        }
        if (m_position + 4 > m_capacity && !HandBuffer(m_position))
            return 1;  // only after a mix of BSHF bytes and bits
        StoreBigEndian(m_buffer + m_position, word);
        m_position += 4;
        if (m_position >= m_capacity && !HandBuffer(m_position))
            return 1;
    }
    return 0;
}

int EKISAEncodeContext::FlushBits() {
    if (m_bitsUsed > 0) {
        const uint32_t word = m_bitWord << (32 - m_bitsUsed);
        m_bitsUsed = 0;
        m_bitWord = 0;
        if (m_buffer == nullptr) {
            m_writeFailed = true;
            return 1;
        }
        if (m_position + 4 > m_capacity && !HandBuffer(m_position))
            return 1;
        StoreBigEndian(m_buffer + m_position, word);
        m_position += 4;
    }
    return HandBuffer(m_position) ? 0 : 1;
}

void EKISAEncodeContext::WriteOnes(uint32_t n) {
    while (n > 0) {
        const uint32_t k = n < 32 ? n : 32;
        WriteBits(0xFFFFFFFFu, k);
        n -= k;
    }
}

int EKISAEncodeContext::WriteGammaCode(uint32_t value) {
    if (value == 0)
        return 1;  // not representable
    int r = 0;
    if (value == 1)
        return WriteBits(0, 1);
    r |= WriteBits(0x80000000u, 1);
    for (uint32_t b = HighestBit(value); b-- > 0;) {
        r |= WriteBits(((value >> b) & 1u) << 31, 1);
        r |= WriteBits(b > 0 ? 0x80000000u : 0u, 1);
    }
    return r;
}

int EKISAEncodeContext::WriteGammaRunBytes(const uint8_t* data, uint32_t bytes) {
    if (bytes == 0)
        return 0;
    int r = WriteBits(data[0] != 0 ? 0x80000000u : 0u, 1);
    uint32_t i = 0;
    while (i < bytes) {
        const bool zero = data[i] == 0;
        uint32_t end = i;
        while (end < bytes && (data[end] == 0) == zero)
            ++end;
        r |= WriteGammaCode(end - i);
        if (!zero) {
            for (uint32_t k = i; k < end; ++k) {
                const uint32_t b = data[k];
                if (b < 0x80) {
                    r |= WriteBits(0, 1);
                    r |= WriteGammaCode(b);
                } else {
                    r |= WriteBits(0x80000000u, 1);
                    r |= WriteGammaCode(256 - b);
                }
            }
        }
        i = end;
    }
    return r;
}

// ---------------------------------------------------------------------------
// Arithmetic encoder
//
// The code value is [written bits][pending: a 0 and m_deferred 1s]
// [delay register, 16 bits][low, 16 bits]; the range spans the low 16 bits.
// A carry out of the delay register turns the pending 0 1..1 into 1 0..0.

void EKISAEncodeContext::ResolvePending() {
    if (m_deferred >= 0) {
        WriteBits(0, 1);
        WriteOnes(static_cast<uint32_t>(m_deferred));
    }
}

void EKISAEncodeContext::EncodeModelIndex(EKISASymbolModel* model, uint32_t index, uint32_t cumulative) {
    const uint32_t total = model->total;
    const uint32_t range = m_range;
    cumulative &= 0xFFFF;
    const uint32_t inverse = model->inverse;
    m_low += EKISADivide(cumulative * range + total - 1, total, inverse);
    m_range = EKISADivide(model->counts[index] * range, total, inverse);

    if (m_low >= 0x10000) {
        if (++m_delay >= 0x10000) {
            WriteBits(0x80000000u, 1);
            --m_deferred;
            while (m_deferred > 0) {
                const uint32_t k = m_deferred < 16 ? static_cast<uint32_t>(m_deferred) : 16;
                WriteBits(0, k);
                m_deferred -= static_cast<int32_t>(k);
            }
            m_delay &= 0xFFFF;
        }
        m_low &= 0xFFFF;
    }

    while (m_range < 0x8000 && m_range != 0) {
        m_low <<= 1;
        m_range <<= 1;
        m_delay = (m_delay << 1) | (m_low >> 16);
        m_low &= 0xFFFF;
        const uint32_t top = m_delay >> 16;
        m_delay &= 0xFFFF;
        if (top) {
            ++m_deferred;
        } else {
            ResolvePending();
            m_deferred = 0;
        }
    }
    model->BumpSymbol(index);
}

void EKISAEncodeContext::EncodeModelSymbol(EKISASymbolModel* model, int symbol) {
    uint32_t cumulative = 0;
    for (uint32_t k = 0; k < model->entryCount; ++k) {
        if (model->symbols[k] == symbol) {
            EncodeModelIndex(model, k, cumulative);
            return;
        }
        cumulative += model->counts[k];
    }
}

// ---------------------------------------------------------------------------
// EKISA code

ESLResult EKISAEncodeContext::BeginEKISACodeEncoding(uint32_t flags) {
    RestartAfterFailure();
    m_encoder = nullptr;
    m_finisher = nullptr;
    if (!EKISAPrepareCodeTables(m_pool, m_history, m_phraseLengthModel, m_phraseIndexModel, m_runLengthModel, true))
        return eslResultGeneral;
    if ((flags & parseBest) != 0) {
        if (m_best == nullptr)
            m_best = static_cast<EKISABestParse*>(eslHeapAllocate(nullptr, sizeof(EKISABestParse), 0));
        if (m_best == nullptr)
            return eslResultGeneral;
        m_best->Reset();
    }
    m_low = 0;
    m_range = 0xFFFF;
    m_delay = 0;
    m_deferred = -1;
    m_flags = flags;
    m_encoder = &EKISAEncodeContext::WriteEKISACodeBytes;
    m_finisher = &EKISAEncodeContext::FinishEKISACode;
    return eslResultSuccess;
}

// Cost of coding data[0..length) as literals from the current state, without
// changing any model; stops counting once it reaches bound.
uint32_t EKISAEncodeContext::LiteralCost(const uint8_t* data, uint32_t length, uint32_t bound) {
    uint8_t recent[4];
    memcpy(recent, m_history.recent, sizeof(recent));
    uint32_t ring = m_history.ring;
    const EKISASymbolModel* base = &m_pool->base;
    uint32_t cost = 0;
    for (uint32_t k = 0; k < length && cost < bound; ++k) {
        uint32_t depth;
        const EKISASymbolModel* w = EKISAWalkContext(m_pool, recent, ring, &depth);
        const uint8_t x = data[k];
        recent[ring] = x;
        ring = (ring + 1) & 3;
        const int held = w->FindSymbol(x);
        if (held >= 0)
            cost += EKISASymbolCost(w->counts[held], w->total);
        else
            cost += CostIn(w, ekisaEscape) + CostIn(base, x);
    }
    return cost;
}

// A literal c in m (walked at depth): stored first, then coded in m, or
// escaped to the base model and added to m; then the tree grows.
inline void EKISAEncodeContext::CodeLiteral(EKISASymbolModel* m, uint32_t depth, uint8_t c) {
    m_history.Store(c);
    uint32_t cumulative = 0;
    uint32_t k = 0;
    while (k < m->entryCount && m->symbols[k] != c) {
        cumulative += m->counts[k];
        ++k;
    }
    if (k < m->entryCount) {
        EncodeModelIndex(m, k, cumulative);
    } else {
        EncodeModelSymbol(m, ekisaEscape);
        EncodeModelSymbol(&m_pool->base, c);
        m->AppendSymbol(c);
    }
    EKISAGrowTree(m_pool, m, depth, c, m_history);
}

// A copy of bytes[0, length) out of context m: the escape (in the base
// model too, below it), then index 0 and the run length, or the phrase's
// index and length; the bytes are stored as the decoder stores them.
inline void EKISAEncodeContext::CodeCopy(EKISASymbolModel* m, uint32_t index, const uint8_t* bytes,
                                         uint32_t length) {
    EncodeModelSymbol(m, ekisaEscape);
    if (m != &m_pool->base)
        EncodeModelSymbol(&m_pool->base, ekisaEscape);
    EncodeModelSymbol(m_phraseIndexModel, static_cast<int>(index));
    EncodeModelSymbol(index == 0 ? m_runLengthModel : m_phraseLengthModel, static_cast<int>(length));
    for (uint32_t k = 0; k < length; ++k)
        m_history.Store(bytes[k]);
}

// The plan of each stretch coded step by step, each in the context the
// decoder will be in.
uint32_t EKISAEncodeContext::WriteBestParse(const uint8_t* data, uint32_t bytes) {
    const EKISAParseInput in = {m_pool,
                                &m_history,
                                m_phraseIndexModel,
                                m_phraseLengthModel,
                                m_runLengthModel,
                                (m_flags & searchPhrase) != 0,
                                (m_flags & searchRun) != 0};
    uint32_t i = 0;
    while (i < bytes) {
        m_best->Plan(in, data + i, bytes - i);
        for (uint32_t s = 0; s < m_best->stepCount; ++s) {
            const EKISAParseStep step = m_best->steps[s];
            const uint32_t start = i;
            uint32_t depth;
            EKISASymbolModel* m = EKISAWalkContext(m_pool, m_history.recent, m_history.ring, &depth);
            if (step.index < 0) {
                CodeLiteral(m, depth, data[i]);
                ++i;
            } else {
                CodeCopy(m, static_cast<uint32_t>(step.index), data + i, step.length);
                i += step.length;
            }
            if (m_writeFailed)
                return start;
        }
    }
    return bytes;
}

// Once the target refuses bytes the count stops at the symbol being coded,
// and later calls take nothing: the caller sees a short write instead of
// bytes counted as stored that never reached the target.
uint32_t EKISAEncodeContext::WriteEKISACodeBytes(const uint8_t* data, uint32_t bytes) {
    if (m_pool == nullptr || m_encoder != &EKISAEncodeContext::WriteEKISACodeBytes || m_writeFailed)
        return 0;
    if ((m_flags & parseBest) != 0 && m_best != nullptr && (m_flags & (searchPhrase | searchRun)) != 0)
        return WriteBestParse(data, bytes);
    EKISAHistory& history = m_history;
    EKISAModelPool* const pool = m_pool;
    EKISASymbolModel* const base = &pool->base;
    const uint8_t* const window = history.window;
    uint32_t i = 0;
    while (i < bytes) {
        const uint32_t start = i;
        uint32_t depth;
        EKISASymbolModel* m = EKISAWalkContext(pool, history.recent, history.ring, &depth);
        const uint8_t b = history.LastByte();
        const uint32_t remaining = bytes - i;
        const uint32_t longest = remaining < ekisaMaxPhrase ? remaining : ekisaMaxPhrase;
        const uint8_t* input = data + i;

        uint32_t run = 0;
        if (m_flags & searchRun) {
            while (run < longest && input[run] == b)
                ++run;
        }

        // Longest phrase among the places b was last stored; the nearest
        // wins a tie. Only a strictly longer match can replace the best, so
        // a candidate must first agree at the best length so far.
        uint32_t bestLength = 0;
        uint32_t bestIndex = 0;
        if (m_flags & searchPhrase) {
            for (uint32_t j = 1; j <= 255; ++j) {
                const uint32_t position = history.Occurrence(b, j);
                if (window[position] != b)
                    break;
                const uint32_t source = position + 1;
                if (input[bestLength] != window[(source + bestLength) & ekisaWindowMask])
                    continue;
                uint32_t limit = (history.position - position - 1) & ekisaWindowMask;
                if (limit > longest)
                    limit = longest;
                if (limit <= bestLength)
                    continue;
                uint32_t length = 0;
                while (length < limit && input[length] == window[(source + length) & ekisaWindowMask])
                    ++length;
                if (length > bestLength) {
                    bestLength = length;
                    bestIndex = j;
                    if (bestLength == longest)
                        break;
                }
            }
        }

        if (bestLength >= 2 || run >= 2) {
            uint32_t escapeCost = CostIn(m, ekisaEscape);
            if (m != base)
                escapeCost += CostIn(base, ekisaEscape);
            const uint32_t phraseCost =
                bestLength >= 2 ? CostIn(m_phraseIndexModel, static_cast<int>(bestIndex)) +
                                      CostIn(m_phraseLengthModel, static_cast<int>(bestLength)) + escapeCost
                                : kNoCandidate;
            const uint32_t runCost = run >= 2 ? CostIn(m_phraseIndexModel, 0) +
                                                    CostIn(m_runLengthModel, static_cast<int>(run)) + escapeCost
                                              : kNoCandidate;
            const bool useRun = runCost <= phraseCost;
            const uint32_t length = useRun ? run : bestLength;
            const uint32_t copyCost = useRun ? runCost : phraseCost;
            if (LiteralCost(input, length, copyCost) >= copyCost) {
                CodeCopy(m, useRun ? 0 : bestIndex, input, length);
                i += length;
                if (m_writeFailed)
                    return start;
                continue;
            }
        }

        CodeLiteral(m, depth, input[0]);
        ++i;
        if (m_writeFailed)
            return start;
    }
    return bytes;
}

ESLResult EKISAEncodeContext::FinishEKISACode() {
    ResolvePending();
    m_deferred = -1;
    WriteBits(m_delay << 16, 16);
    WriteBits(m_low << 16, 16);
    const int r = FlushBits();
    return (r != 0 || m_writeFailed) ? eslResultGeneral : eslResultSuccess;
}

// ---------------------------------------------------------------------------
// BSHF

ESLResult EKISAEncodeContext::BeginBSHFEncoding(const char* password) {
    RestartAfterFailure();
    m_encoder = nullptr;
    m_finisher = nullptr;
    if (m_bshf == nullptr)
        m_bshf = new EKIBshfBuffer;
    if (m_bshf == nullptr || !m_bshf->PrepareKey(password))
        return eslResultGeneral;
    m_bshfHeld = 0;
    m_encoder = &EKISAEncodeContext::WriteBSHFCodeBytes;
    m_finisher = &EKISAEncodeContext::FinishBSHFCode;
    return eslResultSuccess;
}

uint32_t EKISAEncodeContext::WriteBSHFCodeBytes(const uint8_t* data, uint32_t bytes) {
    if (m_bshf == nullptr || m_encoder != &EKISAEncodeContext::WriteBSHFCodeBytes || m_writeFailed ||
        m_buffer == nullptr)
        return 0;
    uint8_t* input = m_bshf->GetInputBlock();
    for (uint32_t i = 0; i < bytes; ++i) {
        input[m_bshfHeld++] = data[i];
        if (m_bshfHeld < EKIBshfBuffer::blockBytes)
            continue;
        m_bshfHeld = 0;
        m_bshf->EncodeBlock();
        const uint8_t* output = m_bshf->GetOutputBlock();
        for (uint32_t k = 0; k < EKIBshfBuffer::blockBytes; ++k) {
            m_buffer[m_position++] = output[k];
            if (m_position >= m_capacity && !HandBuffer(m_position))
                return i;  // the block that failed is not counted as taken
        }
    }
    return bytes;
}

ESLResult EKISAEncodeContext::FinishBSHFCode() {
    if (m_bshfHeld > 0 && m_encoder == &EKISAEncodeContext::WriteBSHFCodeBytes) {
        // The reader knows the plain length and ignores the fill.
        uint8_t fill[EKIBshfBuffer::blockBytes];
        memset(fill, 0, sizeof(fill));
        WriteBSHFCodeBytes(fill, EKIBshfBuffer::blockBytes - m_bshfHeld);
    }
    const int r = FlushBits();
    return (r != 0 || m_writeFailed) ? eslResultGeneral : eslResultSuccess;
}

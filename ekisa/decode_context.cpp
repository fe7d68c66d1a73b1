// Decoder of the EKISA code (context-modelled arithmetic code with phrase
// copies) and of BSHF cipher blocks, over a buffered 32-bit bit reader.
#include "ekisa/decode_context.h"

#include <string.h>

#include "ekisa/bshf_buffer.h"
#include "esl/heap.h"
#include "esl/memory.h"

namespace {

inline uint32_t LoadBigEndian(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

// v != 0
inline uint32_t HighestBit(uint32_t v) { return 31u - static_cast<uint32_t>(__builtin_clz(v)); }

// Everything one EKISA code context holds once its pool is full, with the
// archive's read buffer.
static_assert(sizeof(EKISAModelPool) + ekisaPoolModels * (sizeof(EKISASymbolModel) + 2 * ekisaDeepChildClasses) +
                      ekisaWindowSize + ekisaOccurrenceBytes + 3 * sizeof(EKISASymbolModel) + 0x10000 <=
                  3700000,
              "a decode context stays within 3.7 MB");

}  // namespace

EKISADecodeContext::EKISADecodeContext(uint32_t bufferSize)
    : m_bitsLeft(0),
      m_bitRegister(0),
      m_capacity(0),
      m_bytesLeft(0),
      m_readBuffer(nullptr),
      m_readPointer(nullptr),
      m_sourceFile(nullptr),
      m_sourceContext(nullptr),
      m_decoder(nullptr),
      m_refilling(false),
      m_zeroRunFlag(0),
      m_runLength(0),
      m_runStarted(false),
      m_code(0),
      m_range(0xFFFF),
      m_paddingBits(0),
      m_pool(nullptr),
      m_copyRemaining(0),
      m_copySource(-1),
      m_phraseLengthModel(nullptr),
      m_phraseIndexModel(nullptr),
      m_runLengthModel(nullptr),
      m_endFlag(0),
      m_readyRecords(),
      m_bshf(nullptr),
      m_bshfIndex(EKIBshfBuffer::blockBytes),
      m_bshfHeld(0) {
    memset(&m_history, 0, sizeof(m_history));
    const uint32_t capacity = EKISABufferCapacity(bufferSize);
    m_readBuffer = static_cast<uint8_t*>(eslHeapAllocate(nullptr, capacity, 0));
    if (m_readBuffer != nullptr)
        m_capacity = capacity;
    m_readPointer = m_readBuffer;
}

EKISADecodeContext::~EKISADecodeContext() {
    FreeCodeTables();
    if (m_readBuffer != nullptr)
        eslHeapFree(nullptr, m_readBuffer, 0);
    delete m_bshf;
}

void EKISADecodeContext::FreeCodeTables() {
    EKISAFreeCodeTables(m_pool, m_history, m_phraseLengthModel, m_phraseIndexModel, m_runLengthModel);
}

void EKISADecodeContext::DiscardInput() {
    m_bitsLeft = 0;
    m_bitRegister = 0;
    m_bytesLeft = 0;
    m_readPointer = m_readBuffer;
    m_refilling = false;
}

void EKISADecodeContext::SetSourceFile(ESLFileObject* file) {
    m_sourceFile = file;
    m_sourceContext = nullptr;
}

void EKISADecodeContext::SetSourceContext(EKISADecodeContext* context) {
    m_sourceContext = context;
    m_sourceFile = nullptr;
}

uint32_t EKISADecodeContext::ReadNextData(uint8_t* buffer, uint32_t bytes) {
    if (m_sourceFile != nullptr)
        return m_sourceFile->Read(buffer, bytes);
    if (m_sourceContext != nullptr) {
        EKISADecodeContext* source = m_sourceContext;
        // No mode begun, or a chain of sources that loops back to a context
        // waiting for its own refill.
        if (source->m_decoder == nullptr || source->m_refilling)
            return 0;
        return (source->*(source->m_decoder))(buffer, bytes);
    }
    eslTrace("警告：ReadNextData 関数がオーバーライドされていません。\n");
    return 0;
}

// ---------------------------------------------------------------------------
// Bit reader

bool EKISADecodeContext::RefillBuffer() {
    if (m_readBuffer == nullptr || m_refilling)
        return false;
    m_refilling = true;
    uint32_t got = ReadNextData(m_readBuffer, m_capacity);
    m_refilling = false;
    if (got == 0)
        return false;
    if (got > m_capacity)
        got = m_capacity;  // a source that claims more than it was given
    const uint32_t padded = (got + 3u) & ~3u;  // capacity is a multiple of 4
    for (uint32_t k = got; k < padded; ++k)
        m_readBuffer[k] = 0;
    m_readPointer = m_readBuffer;
    m_bytesLeft = padded;
    return true;
}

int EKISADecodeContext::FillBitRegister() {
    if (m_bitsLeft > 0)
        return 0;
    if (m_bytesLeft < 4) {
        m_bytesLeft = 0;
        if (!RefillBuffer())
            return 1;
    }
    m_bitRegister = LoadBigEndian(m_readPointer);
    m_readPointer += 4;
    m_bytesLeft -= 4;
    m_bitsLeft = 32;
    return 0;
}

int EKISADecodeContext::ReadBit() {
    if (m_bitsLeft == 0 && FillBitRegister() != 0)
        return 1;
    const uint32_t bit = m_bitRegister >> 31;
    m_bitRegister <<= 1;
    --m_bitsLeft;
    return bit ? -1 : 0;
}

uint32_t EKISADecodeContext::ReadBits(uint32_t n) {
    if (n > 32)
        n = 32;
    uint32_t result = 0;
    while (n > 0) {
        if (m_bitsLeft == 0 && FillBitRegister() != 0)
            return 0;
        const uint32_t take = n < static_cast<uint32_t>(m_bitsLeft) ? n : static_cast<uint32_t>(m_bitsLeft);
        if (take == 32) {
            result = m_bitRegister;
            m_bitRegister = 0;
        } else {
            result = (result << take) | (m_bitRegister >> (32 - take));
            m_bitRegister <<= take;
        }
        m_bitsLeft -= static_cast<int32_t>(take);
        n -= take;
    }
    return result;
}

int32_t EKISADecodeContext::ReadGammaCode() {
    int bit = ReadBit();
    if (bit == 1)
        return -1;
    if (bit == 0)
        return 1;
    uint32_t value = 1;
    for (;;) {
        const int data = ReadBit();
        if (data == 1)
            return -1;
        if (value > 0x3FFFFFFFu)
            return -1;  // longer than any count this code carries
        value = (value << 1) | (data ? 1u : 0u);
        const int more = ReadBit();
        if (more == 1)
            return -1;
        if (more == 0)
            return static_cast<int32_t>(value);
    }
}

ESLResult EKISADecodeContext::BeginGammaRunBytes() {
    const int bit = ReadBit();
    m_runLength = 0;
    m_runStarted = false;
    if (bit == 1) {
        m_zeroRunFlag = 0;
        return eslResultGeneral;
    }
    m_zeroRunFlag = bit;  // 0 or all ones
    return eslResultSuccess;
}

// Runs alternate strictly, also when one ends exactly where a request ends:
// the kind of the next run must not depend on how the reads were split.
uint32_t EKISADecodeContext::ReadGammaRunBytes(uint8_t* buffer, uint32_t bytes) {
    uint32_t count = 0;
    while (count < bytes) {
        if (m_runLength == 0) {
            const int32_t run = ReadGammaCode();
            if (run < 0)
                return count;
            if (m_runStarted)
                m_zeroRunFlag = ~m_zeroRunFlag;
            m_runStarted = true;
            m_runLength = static_cast<uint32_t>(run);
        }
        uint32_t take = bytes - count;
        if (take > m_runLength)
            take = m_runLength;
        if (m_zeroRunFlag == 0) {
            eslFillMemory(buffer + count, 0, take);
            count += take;
            m_runLength -= take;
            continue;
        }
        for (uint32_t k = 0; k < take; ++k) {
            const int sign = ReadBit();
            if (sign == 1)
                return count;
            const int32_t v = ReadGammaCode();
            if (v < 0)
                return count;
            const uint32_t magnitude = static_cast<uint32_t>(v);
            buffer[count++] = static_cast<uint8_t>(sign ? 0u - magnitude : magnitude);
            --m_runLength;
        }
    }
    return count;
}

// ---------------------------------------------------------------------------
// Arithmetic decoder

// When the input is exhausted, one word of zero bits stands in for the
// padding that a stream ending on a word boundary lacks: its last symbols may
// need no further bits, yet the decoder holds no register to decode them
// with. Needing more than that one word means the stream is over.
bool EKISADecodeContext::RefillCodeRegister() {
    if (FillBitRegister() == 0)
        return true;
    if (m_paddingBits != 0)
        return false;
    m_paddingBits = 32;
    m_bitRegister = 0;
    m_bitsLeft = 32;
    return true;
}

// The next word of code bits for the arithmetic decoder, whose bit register
// is empty; -1 when there is none, not even the padding word. Out of line:
// the decoder's registers stay in the caller's locals.
int64_t EKISADecodeContext::NextCodeWord() {
    if (m_bytesLeft >= 4) {  // FillBitRegister's usual case
        const uint32_t w = LoadBigEndian(m_readPointer);
        m_readPointer += 4;
        m_bytesLeft -= 4;
        return w;
    }
    m_bitsLeft = 0;
    if (!RefillCodeRegister())
        return -1;
    m_bitsLeft = 0;  // taken by the caller
    return m_bitRegister;
}

__attribute__((always_inline)) inline int EKISADecodeContext::DecodeIndex(EKISASymbolModel* model, Coder& r) {
    if (r.bitsLeft == 0) {
        const int64_t next = NextCodeWord();
        if (next < 0)
            return -1;
        r.bits = static_cast<uint32_t>(next);
        r.bitsLeft = 32;
    }
    const uint32_t range = r.range;
    uint32_t code = r.code;
    const uint32_t total = model->total;
    // A code at or beyond the range points past the last entry (the range
    // is at most 0xFFFF and the total at least 1, the escape's count, by
    // construction). Below it, code * total stays far inside 32 bits.
    if (code >= range)
        return -1;
    // The entry is the one whose share of the range holds the code:
    // floor(code * total / range) >= cum  <=>  code * total >= cum * range,
    // so the scan runs in units of the range and needs no division. Whole
    // groups of 16 entries first, by their kept sums, then the entries of
    // one group. The code is below the range, so the shares passed stay
    // below the sum of all counts in use times the range: both scans end
    // inside the model, at an entry in use, without a bound of their own.
    const uint32_t scaled = code * total;  // < 2^16 * 2^13
    uint32_t rest = scaled;
    const uint16_t* group = model->groupCounts;
    uint32_t share;
    while (rest >= (share = *group * range)) {
        rest -= share;
        ++group;
    }
    const uint16_t* count = model->counts + ((group - model->groupCounts) << ekisaGroupShift);
    while (rest >= (share = *count * range)) {
        rest -= share;
        ++count;
    }
    const uint32_t inverse = model->inverse;
    uint32_t newRange = EKISADivide(share, total, inverse);
    if (newRange == 0)
        return -1;
    // scaled - rest is the cumulative count before the entry times the range.
    code -= EKISADivide(scaled - rest + total - 1, total, inverse);
    // Renormalise: 0..15 bits from the bit register, without a branch on
    // the shift while it holds enough.
    const uint32_t shift = 15 - HighestBit(newRange);
    newRange <<= shift;
    if (static_cast<uint32_t>(r.bitsLeft) >= shift) {
        code = (code << shift) | ((r.bits >> 1) >> (31 - shift));
        r.bits <<= shift;
        r.bitsLeft -= static_cast<int32_t>(shift);
    } else {
        // Its last bits, then the first ones of the next word.
        const uint32_t have = static_cast<uint32_t>(r.bitsLeft);
        code = (code << have) | ((r.bits >> 1) >> (31 - have));
        const int64_t next = NextCodeWord();
        if (next < 0)
            return -1;
        const uint32_t word = static_cast<uint32_t>(next);
        const uint32_t need = shift - have;  // 1..15
        code = (code << need) | (word >> (32 - need));
        r.bits = word << need;
        r.bitsLeft = static_cast<int32_t>(32 - need);
    }
    r.range = newRange;
    r.code = code;
    return static_cast<int>(count - model->counts);
}

int EKISADecodeContext::DecodeModelIndex(EKISASymbolModel* model) {
    Coder r = LoadCoder();
    const int i = DecodeIndex(model, r);
    StoreCoder(r);
    return i;
}

int EKISADecodeContext::DecodeModelSymbol(EKISASymbolModel* model) {
    const int i = DecodeModelIndex(model);
    if (i < 0)
        return -1;
    const int symbol = model->symbols[i];
    model->BumpSymbol(static_cast<uint32_t>(i));
    return symbol;
}

// ---------------------------------------------------------------------------
// EKISA code

ESLResult EKISADecodeContext::BeginEKISACode() {
    m_decoder = nullptr;
    m_endFlag = 1;
    // Every table is taken here, the pool whole: decoding allocates
    // nothing. A short entry should still cost little: the pages of the pool
    // that its models never reach are never touched, and the occurrence
    // table, an eighth of a megabyte, is cleared one record at a time as
    // byte values turn up. Every byte stored is either a literal, whose
    // record is readied on the literal path, or copied from the window,
    // which holds only such bytes and zeros; so record 0 is readied here and
    // the copy paths need no check.
    if (!EKISAPrepareCodeTables(m_pool, m_history, m_phraseLengthModel, m_phraseIndexModel, m_runLengthModel, false))
        return eslResultGeneral;
    memset(m_readyRecords, 0, sizeof(m_readyRecords));
    ReadyRecord(0);
    m_paddingBits = 0;
    m_code = ReadBits(32);
    m_range = 0xFFFF;
    m_copyRemaining = 0;
    m_endFlag = 0;
    m_decoder = &EKISADecodeContext::ReadEKISACodeBytes;
    return eslResultSuccess;
}

void EKISADecodeContext::ReadyRecord(uint32_t b) {
    eslFillMemory(m_history.places + b * ekisaOccurrenceSlots, 0, ekisaOccurrenceSlots * sizeof(uint16_t));
    m_history.nextSlot[b] = 0;
    m_readyRecords[b >> 5] |= 1u << (b & 31);
}

// Produces k bytes of a phrase into out and the history: from the window at
// source on (source advances), or, for a run (source -1), the last byte k
// times. recent follows the bytes.
__attribute__((always_inline)) inline void EKISADecodeContext::CopyPhrase(uint8_t* out, uint32_t k, int32_t& source,
                                                                          uint32_t& position, uint32_t& recent) {
    uint8_t* const window = m_history.window;
    uint8_t* const occurrences = reinterpret_cast<uint8_t*>(m_history.places);
    if (source >= 0) {
        // Byte by byte, in order: the source may run into the bytes being
        // written, and a byte value may recur in the phrase. In stretches
        // where neither position wraps.
        uint32_t from = static_cast<uint32_t>(source);
        uint32_t done = 0;
        while (done < k) {
            uint32_t stretch = k - done;
            if (stretch > ekisaWindowSize - from)
                stretch = ekisaWindowSize - from;
            if (stretch > ekisaWindowSize - position)
                stretch = ekisaWindowSize - position;
            const uint8_t* src = window + from;
            uint8_t* to = window + position;
            uint8_t* o = out + done;
            for (uint32_t j = 0; j < stretch; ++j) {
                const uint8_t b = src[j];
                to[j] = b;
                o[j] = b;
                EKISAStorePlace(occurrences, b, position + j);
            }
            from = (from + stretch) & ekisaWindowMask;
            position = (position + stretch) & ekisaWindowMask;
            done += stretch;
        }
        source = static_cast<int32_t>(from);
    } else {
        const uint8_t b = static_cast<uint8_t>(recent);
        for (uint32_t j = 0; j < k; ++j) {
            EKISAStorePlace(occurrences, b, position);
            window[position] = b;
            position = (position + 1u) & ekisaWindowMask;
        }
        eslFillMemory(out, static_cast<unsigned char>(b), k);
    }
    if (k >= 4) {
        recent = static_cast<uint32_t>(out[k - 1]) | static_cast<uint32_t>(out[k - 2]) << 8 |
                 static_cast<uint32_t>(out[k - 3]) << 16 | static_cast<uint32_t>(out[k - 4]) << 24;
    } else {
        for (uint32_t j = 0; j < k; ++j)
            recent = recent << 8 | out[j];
    }
}

uint32_t EKISADecodeContext::ReadEKISACodeBytes(uint8_t* buffer, uint32_t bytes) {
    if (m_endFlag || m_pool == nullptr || m_decoder != &EKISADecodeContext::ReadEKISACodeBytes)
        return 0;
    EKISAHistory& history = m_history;
    EKISAModelPool* const pool = m_pool;
    EKISASymbolModel* const base = &pool->base;
    uint8_t* const window = history.window;
    uint8_t* const occurrences = reinterpret_cast<uint8_t*>(history.places);
    // The hot state lives in locals; it goes back to the members on return.
    Coder r = LoadCoder();
    uint32_t position = history.position;
    uint32_t recent = EKISAPackRecent(history);
    int32_t copyRemaining = m_copyRemaining;
    int32_t copySource = m_copySource;
    uint32_t count = 0;
    if (copyRemaining > 0 && bytes > 0) {
        // The rest of a phrase that the last request cut short.
        const uint32_t k = bytes < static_cast<uint32_t>(copyRemaining) ? bytes : static_cast<uint32_t>(copyRemaining);
        CopyPhrase(buffer, k, copySource, position, recent);
        copyRemaining -= static_cast<int32_t>(k);
        count = k;
    }
    while (count < bytes) {
        uint32_t depth;
        EKISASymbolModel* m = EKISAWalkPacked(pool, recent, &depth);
        const int i = DecodeIndex(m, r);
        if (i < 0)
            break;
        int s = m->symbols[i];
        m->BumpSymbol(static_cast<uint32_t>(i));
        if (s == ekisaEscape && m != base) {
            const int j = DecodeIndex(base, r);
            if (j < 0)
                break;
            s = base->symbols[j];
            base->BumpSymbol(static_cast<uint32_t>(j));
            // The writer escapes only for symbols the model lacks, so a model
            // never holds more than the 256 bytes and the escape. A stream
            // that would go beyond that is corrupt (and would, repeated,
            // overfill the model). Duplicates below that limit only give
            // wrong bytes, which the entry's checksum reports; looking for
            // them would cost a scan of the model per escape.
            if (s != ekisaEscape && (m->entryCount >= 257 || !m->AppendSymbol(s)))
                break;
        }

        if (s != ekisaEscape) {
            const uint32_t b = static_cast<uint8_t>(s);
            if (!(m_readyRecords[b >> 5] & (1u << (b & 31))))
                ReadyRecord(b);
            EKISAStorePlace(occurrences, b, position);
            window[position] = static_cast<uint8_t>(b);
            position = (position + 1u) & ekisaWindowMask;
            recent = recent << 8 | b;
            buffer[count++] = static_cast<uint8_t>(b);
            EKISAGrowTree(pool, m, depth, b, recent);
            continue;
        }

        // Phrase: an index (0 repeats the last byte) and a length. The
        // escape in the index model marks the end of the stream.
        EKISASymbolModel* const indexes = m_phraseIndexModel;
        const int pi = DecodeIndex(indexes, r);
        if (pi < 0)
            break;
        const int p = indexes->symbols[pi];
        indexes->BumpSymbol(static_cast<uint32_t>(pi));
        if (p < 0)
            break;
        EKISASymbolModel* const lengths = p == 0 ? m_runLengthModel : m_phraseLengthModel;
        const int li = DecodeIndex(lengths, r);
        if (li < 0)
            break;
        const int length = lengths->symbols[li];
        lengths->BumpSymbol(static_cast<uint32_t>(li));
        if (length < 0)
            break;
        copySource = p == 0 ? -1
                            : static_cast<int32_t>((history.Occurrence(static_cast<uint8_t>(recent),
                                                                       static_cast<uint32_t>(p)) + 1) & ekisaWindowMask);
        // The phrase at once, as far as the request goes.
        const uint32_t k = bytes - count < static_cast<uint32_t>(length) ? bytes - count : static_cast<uint32_t>(length);
        CopyPhrase(buffer + count, k, copySource, position, recent);
        copyRemaining = length - static_cast<int32_t>(k);
        count += k;
    }
    StoreCoder(r);
    history.position = position;
    history.ring = 0;  // recent[3] is the latest byte
    for (uint32_t t = 0; t < 4; ++t)
        history.recent[3 - t] = static_cast<uint8_t>(recent >> (8 * t));
    m_copyRemaining = copyRemaining;
    m_copySource = copySource;
    if (count < bytes) {
        // End mark or a symbol that cannot be decoded: the state is no longer
        // in step with the writer, so nothing more is produced.
        m_endFlag = 1;
        m_copyRemaining = 0;
    }
    return count;
}

// ---------------------------------------------------------------------------
// BSHF

ESLResult EKISADecodeContext::BeginBSHFCode(const char* password) {
    m_decoder = nullptr;
    if (m_bshf == nullptr)
        m_bshf = new EKIBshfBuffer;
    if (m_bshf == nullptr || !m_bshf->PrepareKey(password))
        return eslResultGeneral;
    m_bshfIndex = EKIBshfBuffer::blockBytes;
    m_bshfHeld = 0;
    m_decoder = &EKISADecodeContext::ReadBSHFCodeBytes;
    return eslResultSuccess;
}

uint32_t EKISADecodeContext::ReadBSHFCodeBytes(uint8_t* buffer, uint32_t bytes) {
    if (m_bshf == nullptr || m_decoder != &EKISADecodeContext::ReadBSHFCodeBytes)
        return 0;
    uint8_t* input = m_bshf->GetInputBlock();
    uint32_t count = 0;
    while (count < bytes) {
        if (m_bshfIndex >= EKIBshfBuffer::blockBytes) {
            // Cipher bytes come straight from the read buffer, unpadded; a
            // block cut short by the end of input is never delivered.
            while (m_bshfHeld < EKIBshfBuffer::blockBytes) {
                if (m_bytesLeft == 0) {
                    if (m_readBuffer == nullptr || m_refilling)
                        return count;
                    m_refilling = true;
                    uint32_t got = ReadNextData(m_readBuffer, m_capacity);
                    m_refilling = false;
                    if (got == 0)
                        return count;
                    m_bytesLeft = got > m_capacity ? m_capacity : got;
                    m_readPointer = m_readBuffer;
                }
                uint32_t take = EKIBshfBuffer::blockBytes - m_bshfHeld;
                if (take > m_bytesLeft)
                    take = m_bytesLeft;
                eslMoveMemory(input + m_bshfHeld, m_readPointer, take);
                m_readPointer += take;
                m_bytesLeft -= take;
                m_bshfHeld += take;
            }
            m_bshf->DecodeBlock();
            m_bshfHeld = 0;
            m_bshfIndex = 0;
        }
        uint32_t k = EKIBshfBuffer::blockBytes - m_bshfIndex;
        if (k > bytes - count)
            k = bytes - count;
        eslMoveMemory(buffer + count, m_bshf->GetOutputBlock() + m_bshfIndex, k);
        m_bshfIndex += k;
        count += k;
    }
    return count;
}

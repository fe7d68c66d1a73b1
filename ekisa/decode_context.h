// Decoding context of the EKISA code and of the BSHF cipher.
#pragma once

#include "esl/file.h"
#include "esl/object.h"
#include "ekisa/symbol_model.h"

class EKIBshfBuffer;

class EKISADecodeContext : public ESLObject {
    ESL_DECLARE_CLASS(EKISADecodeContext, ESLObject)
public:
    explicit EKISADecodeContext(uint32_t bufferSize);
    ~EKISADecodeContext() override;
    EKISADecodeContext(const EKISADecodeContext&) = delete;
    EKISADecodeContext& operator=(const EKISADecodeContext&) = delete;

    // Forgets buffered input and the bit register (neither setting a source
    // nor beginning a mode does), so that the context can decode another
    // stream from its start.
    void DiscardInput();
    void SetSourceFile(ESLFileObject* file);
    void SetSourceContext(EKISADecodeContext* context);
    virtual uint32_t ReadNextData(uint8_t* buffer, uint32_t bytes);

    // Takes every table the EKISA code needs (about 3.3 MB, kept for the
    // next begin) and reads the first 32 code bits.
    ESLResult BeginEKISACode();
    // Up to bytes plain bytes, in requests of any size (a phrase that a
    // request cuts goes on in the next); fewer at the end mark or when the
    // stream cannot be decoded, and 0 from then on until the next begin.
    // Allocates nothing.
    uint32_t ReadEKISACodeBytes(uint8_t* buffer, uint32_t bytes);
    ESLResult BeginBSHFCode(const char* password);
    uint32_t ReadBSHFCodeBytes(uint8_t* buffer, uint32_t bytes);

    // Bit reader over the input: big-endian 32-bit words, most significant
    // bit first; a short read is padded with zero bytes to a whole word.
    // FillBitRegister: 0 when bits are available, 1 at the end of input.
    int FillBitRegister();
    // 0 for a 0 bit, -1 for a 1 bit, 1 at the end of input.
    int ReadBit();
    // 1 <= n <= 32; 0 at the end of input.
    uint32_t ReadBits(uint32_t n);
    // Interleaved gamma code: a value >= 1, or -1 at the end of input (or
    // for a code too long for 31 bits).
    int32_t ReadGammaCode();
    // Alternating runs of zero bytes and gamma-coded signed bytes. The first
    // run's kind is one bit read by BeginGammaRunBytes (1 = non-zero bytes).
    ESLResult BeginGammaRunBytes();
    uint32_t ReadGammaRunBytes(uint8_t* buffer, uint32_t bytes);

    // Arithmetic decoding of one entry of a model: its index, or -1.
    int DecodeModelIndex(EKISASymbolModel* model);
    // The decoded symbol 0..255 (the model is updated), or -1 for the escape
    // and on failure.
    int DecodeModelSymbol(EKISASymbolModel* model);

    // The model pool (null before the first BeginEKISACode).
    const EKISAModelPool* GetModelPool() const { return m_pool; }
    const EKISASymbolModel* GetPhraseIndexModel() const { return m_phraseIndexModel; }
    const EKISASymbolModel* GetPhraseLengthModel() const { return m_phraseLengthModel; }
    const EKISASymbolModel* GetRunLengthModel() const { return m_runLengthModel; }
    // Zero bits supplied beyond the end of the input so that the last
    // symbols of a stream that ends on a word boundary still decode.
    uint32_t GetPaddingBits() const { return m_paddingBits; }
    EKIBshfBuffer* GetBshfBuffer() const { return m_bshf; }

private:
    typedef uint32_t (EKISADecodeContext::*ByteDecoder)(uint8_t* buffer, uint32_t bytes);

    // The arithmetic decoder's registers and the bit register, held in
    // locals by the byte loop and written back when it returns.
    struct Coder {
        uint32_t code;
        uint32_t range;
        uint32_t bits;     // the bit register
        int32_t bitsLeft;  // its unread bits
    };
    Coder LoadCoder() const { return Coder{m_code, m_range, m_bitRegister, m_bitsLeft}; }
    void StoreCoder(const Coder& r) {
        m_code = r.code;
        m_range = r.range;
        m_bitRegister = r.bits;
        m_bitsLeft = r.bitsLeft;
    }
    inline int DecodeIndex(EKISASymbolModel* model, Coder& r);
    int64_t NextCodeWord();
    inline void CopyPhrase(uint8_t* out, uint32_t k, int32_t& source, uint32_t& position, uint32_t& recent);

    // Clears the occurrence record of byte value b for its first use.
    void ReadyRecord(uint32_t b);
    bool RefillBuffer();
    bool RefillCodeRegister();
    void FreeCodeTables();

    // input and bit reader
    int32_t m_bitsLeft;
    uint32_t m_bitRegister;
    uint32_t m_capacity;
    uint32_t m_bytesLeft;
    uint8_t* m_readBuffer;
    const uint8_t* m_readPointer;
    ESLFileObject* m_sourceFile;
    EKISADecodeContext* m_sourceContext;
    ByteDecoder m_decoder;
    bool m_refilling;  // inside ReadNextData: a looping chain of sources stops here

    // gamma run bytes
    int32_t m_zeroRunFlag;
    uint32_t m_runLength;
    bool m_runStarted;  // a run has been read since BeginGammaRunBytes

    // EKISA code
    uint32_t m_code;
    uint32_t m_range;
    uint32_t m_paddingBits;
    EKISAModelPool* m_pool;
    EKISAHistory m_history;
    int32_t m_copyRemaining;
    int32_t m_copySource;
    EKISASymbolModel* m_phraseLengthModel;
    EKISASymbolModel* m_phraseIndexModel;
    EKISASymbolModel* m_runLengthModel;
    int32_t m_endFlag;
    uint32_t m_readyRecords[256 / 32];  // occurrence records cleared since BeginEKISACode

    // BSHF
    EKIBshfBuffer* m_bshf;
    uint32_t m_bshfIndex;  // next output byte of the block, 32 = none held
    uint32_t m_bshfHeld;   // input bytes gathered for the next block
};

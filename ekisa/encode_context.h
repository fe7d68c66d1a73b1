// Encoding context of the EKISA code and of the BSHF cipher.
#pragma once

#include "esl/file.h"
#include "esl/object.h"
#include "ekisa/symbol_model.h"

class EKIBshfBuffer;
struct EKISABestParse;

class EKISAEncodeContext : public ESLObject {
    ESL_DECLARE_CLASS(EKISAEncodeContext, ESLObject)
public:
    explicit EKISAEncodeContext(uint32_t bufferSize);
    ~EKISAEncodeContext() override;
    EKISAEncodeContext(const EKISAEncodeContext&) = delete;
    EKISAEncodeContext& operator=(const EKISAEncodeContext&) = delete;

    void SetTargetFile(ESLFileObject* file);
    void SetTargetContext(EKISAEncodeContext* context);

    ESLResult BeginEKISACodeEncoding(uint32_t flags);
    uint32_t WriteEKISACodeBytes(const uint8_t* buffer, uint32_t bytes);
    ESLResult FinishEKISACode();
    ESLResult BeginBSHFEncoding(const char* password);
    uint32_t WriteBSHFCodeBytes(const uint8_t* buffer, uint32_t bytes);
    ESLResult FinishBSHFCode();

    enum {
        searchPhrase = 0x01,  // copies from earlier places of the window
        searchRun = 0x02,     // repeats of the last byte
        // Instead of taking the longest copy at each byte, plan each stretch
        // of 4 KiB as the cheapest mix of literals and the copies above by
        // the models' prices: about 3.5 % smaller for programs, about five
        // times the time, and 202,504 bytes more memory (EKISABestParse).
        // Any decoder reads it; the bytes depend on the input and on how it
        // is split into writes, as without it.
        parseBest = 0x100,
    };

    // Bytes taken by the target file or context.
    virtual uint32_t WriteNextData(const uint8_t* buffer, uint32_t bytes);

    // Bit writer: big-endian 32-bit words filled from the most significant
    // bit. WriteBits writes the n (1..32) top bits of bits. Both return 0, or
    // 1 when the target took fewer bytes than offered.
    int WriteBits(uint32_t bits, uint32_t n);
    int FlushBits();
    // Interleaved gamma code of value >= 1 (see the decoder).
    int WriteGammaCode(uint32_t value);
    // The whole of data as one stream for BeginGammaRunBytes and
    // ReadGammaRunBytes: a bit for the first run's kind, then alternating
    // runs of zero bytes and signed gamma-coded bytes.
    int WriteGammaRunBytes(const uint8_t* data, uint32_t bytes);

    void EncodeModelIndex(EKISASymbolModel* model, uint32_t index, uint32_t cumulative);
    void EncodeModelSymbol(EKISASymbolModel* model, int symbol);

    // True once the target refused bytes; everything after that is lost and
    // the finishers report failure, until a Begin starts a new coding.
    bool HasWriteFailed() const { return m_writeFailed; }
    const EKISAModelPool* GetModelPool() const { return m_pool; }
    const EKISASymbolModel* GetPhraseIndexModel() const { return m_phraseIndexModel; }
    const EKISASymbolModel* GetPhraseLengthModel() const { return m_phraseLengthModel; }
    const EKISASymbolModel* GetRunLengthModel() const { return m_runLengthModel; }
    EKIBshfBuffer* GetBshfBuffer() const { return m_bshf; }

private:
    typedef uint32_t (EKISAEncodeContext::*ByteEncoder)(const uint8_t* buffer, uint32_t bytes);
    typedef ESLResult (EKISAEncodeContext::*Finisher)();

    bool HandBuffer(uint32_t bytes);
    void RestartAfterFailure();
    void WriteOnes(uint32_t n);
    void ResolvePending();
    uint32_t LiteralCost(const uint8_t* data, uint32_t length, uint32_t bound);
    void CodeLiteral(EKISASymbolModel* m, uint32_t depth, uint8_t c);
    void CodeCopy(EKISASymbolModel* m, uint32_t index, const uint8_t* bytes, uint32_t length);
    uint32_t WriteBestParse(const uint8_t* data, uint32_t bytes);
    void FreeCodeTables();

    // output and bit writer
    int32_t m_bitsUsed;
    uint32_t m_bitWord;
    uint32_t m_capacity;
    uint32_t m_position;
    uint8_t* m_buffer;
    ESLFileObject* m_targetFile;
    EKISAEncodeContext* m_targetContext;
    ByteEncoder m_encoder;
    Finisher m_finisher;
    bool m_writeFailed;
    bool m_writing;  // inside WriteNextData: a looping chain of targets stops here

    // EKISA code
    uint32_t m_low;
    uint32_t m_range;
    uint32_t m_delay;
    int32_t m_deferred;
    uint32_t m_flags;
    EKISAModelPool* m_pool;
    EKISAHistory m_history;
    EKISASymbolModel* m_phraseLengthModel;
    EKISASymbolModel* m_phraseIndexModel;
    EKISASymbolModel* m_runLengthModel;
    EKISABestParse* m_best;  // the planner's memory, once parseBest was asked for

    // BSHF
    EKIBshfBuffer* m_bshf;
    uint32_t m_bshfHeld;
};

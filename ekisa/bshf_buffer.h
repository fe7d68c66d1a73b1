// BSHF: the password cipher of archive entries. Every 32-byte block has its
// 256 bits moved to other positions by a permutation that the key derives
// and that changes from block to block.
#pragma once

#include "esl/object.h"
#include "esl/string.h"

class EKIBshfBuffer : public ESLObject {
    ESL_DECLARE_CLASS(EKIBshfBuffer, ESLObject)
public:
    enum { blockBytes = 32, minimumKey = 32 };
    // Used for a null or empty password, by the reader and the writer alike.
    static const char defaultPassword[];

    EKIBshfBuffer();
    ~EKIBshfBuffer() override;
    EKIBshfBuffer(const EKIBshfBuffer&) = delete;
    EKIBshfBuffer& operator=(const EKIBshfBuffer&) = delete;

    // Sets the key from a password (extended to 32 bytes when shorter) and
    // restarts the block counter. False only when the heap failed.
    bool PrepareKey(const char* password);

    // Input block -> output block; each call advances the block counter.
    void EncodeBlock();
    void DecodeBlock();

    uint8_t* GetInputBlock() { return m_input; }
    const uint8_t* GetOutputBlock() const { return m_output; }
    const EString& GetKey() const { return m_key; }
    int32_t GetBlockCounter() const { return m_counter; }

private:
    void Transform(bool encode);

    EString m_key;
    int32_t m_counter;
    uint8_t m_output[blockBytes];
    uint8_t m_input[blockBytes];
    uint8_t m_used[blockBytes];
};

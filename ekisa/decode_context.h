// Decoding context of the EKISA code and of the BSHF cipher.
#pragma once

#include "esl/file.h"
#include "esl/object.h"

class EKIBshfBuffer;

class EKISADecodeContext : public ESLObject {
    ESL_DECLARE_CLASS(EKISADecodeContext, ESLObject)
public:
    explicit EKISADecodeContext(uint32_t bufferSize);
    ~EKISADecodeContext() override;
    EKISADecodeContext(const EKISADecodeContext&) = delete;
    EKISADecodeContext& operator=(const EKISADecodeContext&) = delete;

    void SetSourceFile(ESLFileObject* file);
    void SetSourceContext(EKISADecodeContext* context);
    virtual uint32_t ReadNextData(uint8_t* buffer, uint32_t bytes);

    ESLResult BeginEKISACode();
    uint32_t ReadEKISACodeBytes(uint8_t* buffer, uint32_t bytes);
    ESLResult BeginBSHFCode(const char* password);
    uint32_t ReadBSHFCodeBytes(uint8_t* buffer, uint32_t bytes);

    // (the codec's private state is declared below by its implementation)
};

// Encoding context of the EKISA code and of the BSHF cipher.
#pragma once

#include "esl/file.h"
#include "esl/object.h"

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
};

// Placeholder until the EKISA/BSHF encoder lands: coded streams accept nothing.
#include "ekisa/encode_context.h"

EKISAEncodeContext::EKISAEncodeContext(uint32_t) {}
EKISAEncodeContext::~EKISAEncodeContext() {}
void EKISAEncodeContext::SetTargetFile(ESLFileObject*) {}
void EKISAEncodeContext::SetTargetContext(EKISAEncodeContext*) {}
ESLResult EKISAEncodeContext::BeginEKISACodeEncoding(uint32_t) { return eslResultNotSupported; }
uint32_t EKISAEncodeContext::WriteEKISACodeBytes(const uint8_t*, uint32_t) { return 0; }
ESLResult EKISAEncodeContext::FinishEKISACode() { return eslResultNotSupported; }
ESLResult EKISAEncodeContext::BeginBSHFEncoding(const char*) { return eslResultNotSupported; }
uint32_t EKISAEncodeContext::WriteBSHFCodeBytes(const uint8_t*, uint32_t) { return 0; }
ESLResult EKISAEncodeContext::FinishBSHFCode() { return eslResultNotSupported; }

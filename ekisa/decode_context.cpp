// Placeholder until the EKISA/BSHF decoder lands: every coded stream reads as empty.
#include "ekisa/decode_context.h"

EKISADecodeContext::EKISADecodeContext(uint32_t) {}
EKISADecodeContext::~EKISADecodeContext() {}
void EKISADecodeContext::SetSourceFile(ESLFileObject*) {}
void EKISADecodeContext::SetSourceContext(EKISADecodeContext*) {}
uint32_t EKISADecodeContext::ReadNextData(uint8_t*, uint32_t) { return 0; }
ESLResult EKISADecodeContext::BeginEKISACode() { return eslResultNotSupported; }
uint32_t EKISADecodeContext::ReadEKISACodeBytes(uint8_t*, uint32_t) { return 0; }
ESLResult EKISADecodeContext::BeginBSHFCode(const char*) { return eslResultNotSupported; }
uint32_t EKISADecodeContext::ReadBSHFCodeBytes(uint8_t*, uint32_t) { return 0; }

// Bulk fill and overlap-safe copy. The library's fills and copies of buffers
// go through these two so that the processor-specific paths, chosen by the
// enabled processor features, apply everywhere.
#pragma once

#include "esl/types.h"

enum {
    processorMMX = 0x02,
    processorSSE = 0x08,
};

void eslFillMemory(void* dst, unsigned char value, unsigned int n);
// Overlap-safe in both directions.
void eslMoveMemory(void* dst, const void* src, unsigned int n);

// The processor features the fill and copy may use. Library start-up
// detects them and keeps them here; esl itself never probes the processor.
unsigned int eslGetProcessorFeatures();
void eslSetProcessorFeatures(unsigned int features);

// Bulk fill and copy.
#include "esl/memory.h"

#include <string.h>

namespace {
volatile unsigned int g_processorFeatures = 0;
}

unsigned int eslGetProcessorFeatures() { return g_processorFeatures; }
void eslSetProcessorFeatures(unsigned int features) { g_processorFeatures = features; }

void eslFillMemory(void* dst, unsigned char value, unsigned int n) {
    if (n != 0)
        memset(dst, value, n);
}

void eslMoveMemory(void* dst, const void* src, unsigned int n) {
    if (n != 0 && dst != src)
        memmove(dst, src, n);
}

// ESL heap: library memory. Exported from the program by name.
#pragma once

#include "esl/types.h"

typedef void* ESLHeap;

enum {
    heapZeroFill = 0x01,
    heapNoLock = 0x02,
};

ESL_EXPORT ESLHeap eslGetGlobalHeap(void);
ESL_EXPORT void eslFreeGlobalHeap(void);
ESL_EXPORT ESLHeap eslHeapCreate(unsigned int initialSize, unsigned int growSize, unsigned int flags,
                                 ESLHeap parent);
ESL_EXPORT void eslHeapDestroy(ESLHeap heap);
ESL_EXPORT void* eslHeapAllocate(ESLHeap heap, unsigned int size, unsigned int flags);
ESL_EXPORT void eslHeapFree(ESLHeap heap, void* block, unsigned int flags);
ESL_EXPORT void* eslHeapReallocate(ESLHeap heap, void* block, unsigned int size, unsigned int flags);
ESL_EXPORT unsigned int eslHeapGetLength(ESLHeap heap, void* block);
ESL_EXPORT void eslHeapLock(ESLHeap heap);
ESL_EXPORT void eslHeapUnlock(ESLHeap heap);
ESL_EXPORT void eslHeapDump(ESLHeap heap, int maxBlocks);

typedef void* ESLStackHeap;
ESL_EXPORT ESLStackHeap eslStackHeapCreate(unsigned int initialSize, unsigned int growSize,
                                           unsigned int flags);
ESL_EXPORT void eslStackHeapDestroy(ESLStackHeap heap);
ESL_EXPORT void* eslStackHeapAllocate(ESLStackHeap heap, unsigned int size);
ESL_EXPORT void eslStackHeapFree(ESLStackHeap heap);

// Diagnostics of the ESL heap for tests and debugging sessions.
#pragma once

#include <stddef.h>

#include "esl/heap.h"

// Walks every region of `heap` (null: the global heap) under its lock and
// checks the layout's invariants: block marks, first and last bits, back
// links, region ends, the free list holding exactly the free blocks, the
// free-byte count, no two free blocks side by side, the chain's links and
// its last region. True when all hold; otherwise false with the first fault
// described in `report`.
bool eslHeapCheck(ESLHeap heap, char* report, size_t reportBytes);

// Statistics of one heap: regions and their bytes; blocks in use and free
// blocks with their contents bytes; the bytes of its region indexes.
struct ESLHeapStatistics {
    unsigned int regions;
    size_t regionBytes;
    unsigned int usedBlocks;
    size_t usedBytes;
    unsigned int freeBlocks;
    size_t freeBytes;
    size_t indexBytes;
};
void eslHeapGetStatistics(ESLHeap heap, ESLHeapStatistics* statistics);

// Test seam: the next `count` requests for region memory from the system
// fail as if it had none left.
void eslHeapFailRegions(unsigned int count);

// Test seam: answers the heap's out-of-memory question instead of the user.
// Returns the previous hook (null: ask the user).
typedef bool (*ESLQuestionHook)(const char* text, const char* caption);
ESLQuestionHook eslHeapSetQuestionHook(ESLQuestionHook hook);

// Benchmark seam: called after every allocate, free and reallocate with the
// heap as given, the operation ('a', 'f', 'r'), the block passed, the size
// asked for and the result. Returns the previous hook (null: none).
typedef void (*ESLHeapTraceHook)(ESLHeap heap, char op, void* block, unsigned int size, void* result);
ESLHeapTraceHook eslHeapSetTraceHook(ESLHeapTraceHook hook);

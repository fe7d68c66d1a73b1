// Basic types shared by every module of the library.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Result of library operations. Pointer-sized because a failure may be
// reported as the address of its message text.
typedef intptr_t ESLResult;

const ESLResult eslResultSuccess = 0;
const ESLResult eslResultNotSupported = -1;
const ESLResult eslResultGeneral = 1;
const ESLResult eslResultAbort = 2;
const ESLResult eslResultInvalidParameter = 3;
const ESLResult eslResultTimeout = 4;
const ESLResult eslResultPending = 5;
const ESLResult eslResultContinue = 6;

// Turns a message text into a result that carries it.
inline ESLResult eslResultFromText(const char* text) { return reinterpret_cast<ESLResult>(text); }

// Functions exported from the program by name with C linkage.
#if defined(_WIN32)
#define ESL_EXPORT extern "C" __declspec(dllexport)
#else
#define ESL_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// A 16-bit (UTF-16) character on every target.
typedef char16_t wchar16;

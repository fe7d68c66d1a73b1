// The process-wide filter for exceptions that nothing else handles, and the
// error log it offers to write (Windows only). glsInitializeTask installs the
// filter.
//
// The log is Shift-JIS text with CR LF line ends: the program, thread,
// exception code and name, the registers, then hexadecimal dumps of the code
// around the instruction pointer, of the stack, of the memory that registers
// holding possible addresses point to, and of the memory that the first
// words there point to. On the 32-bit build these are the x86 registers; the
// x86_64 build prints RAX..R15 and RIP with 16 hexadecimal digits, and its
// dump lines carry 16-digit addresses.
#pragma once

#if defined(_WIN32)

#include "esl/file.h"
#include "esl/platform.h"

LONG WINAPI TopLevelExceptionFilter(EXCEPTION_POINTERS* pointers);

// Installs the filter for the process, and prepares the calling thread for
// a stack overflow: stack kept back where the system offers that, and (once
// per process) a first-chance handler for overflows, since the system may
// need more stack than is left to reach the filter.
void InstallExceptionFilter();

// Test seam: answers the filter's message boxes instead of the user, given
// the text and the buttons (MB_YESNO, MB_YESNOCANCEL); returns the button
// (IDYES, ...). Returns the previous hook (null: ask the user).
typedef int (*CrashQuestionHook)(const char* text, unsigned int buttons);
CrashQuestionHook SetCrashQuestionHook(CrashQuestionHook hook);

// Writes the bytes from base + start up to base + end (exclusive) to the log,
// 16 a line: the label (at offset 0) or the address, the bytes in hex and as
// characters. A line that cannot be read ends the dump; the blank line that
// closes a dump is written in any case.
void DumpMemory(ESLFileObject* log, uintptr_t base, const char* label, int start, int end);

#endif

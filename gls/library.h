// Library start-up: reference counts, per-thread task registration (which
// installs the crash filter of exception_log.h), processor features, and the
// game-window class. The bulk fill and copy routines are in esl/memory.h.
//
// Start-up does not compute the media layer's constant transform tables
// (cosine tables and 4x4 transform matrices): nothing in this program uses
// that layer.
#pragma once

#include "esl/memory.h"
#include "esl/types.h"

ESL_EXPORT void glsInitializeLibrary(void);
ESL_EXPORT void glsCloseLibrary(void);
ESL_EXPORT void glsInitializeTask(void);
ESL_EXPORT void glsCloseTask(void);
ESL_EXPORT void glsEnableProcessorType(unsigned int type);
ESL_EXPORT void glsDisableProcessorType(unsigned int type);
ESL_EXPORT unsigned int glsGetEnabledProcessorType(void);

// Window class name of the library's game windows.
const char* GetGameWindowClassName();
// Registers that class for the program's module (Windows; nothing on the host).
void RegisterGameWindowClass();

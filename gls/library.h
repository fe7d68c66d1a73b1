// Library start-up, processor features, and the bulk fill and copy routines.
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

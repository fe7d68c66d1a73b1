// Registry key wrapper of the library family; the installer reads the game's
// uninstall entry through it.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "esl/object.h"
#include "esl/string.h"

class ERegistryKey : public ESLObject {
    ESL_DECLARE_CLASS(ERegistryKey, ESLObject)
public:
    ERegistryKey();
    ~ERegistryKey() override;
    ERegistryKey(const ERegistryKey&) = delete;
    ERegistryKey& operator=(const ERegistryKey&) = delete;

    // 0 on success, 1 when the key cannot be opened with that access.
    ESLResult Open(HKEY root, const char* subKey, REGSAM access);
    // The platform's result of closing; 0 when nothing was open.
    LONG Close();
    bool IsOpen() const { return m_open != 0; }

    // The value's bytes as text (whatever its registry type), or a string
    // made from the default (no buffer when the default is null) when the
    // value cannot be read.
    EString ReadString(const char* valueName, const char* defaultValue);

protected:
    HKEY m_handle;
    uint32_t m_open;
};

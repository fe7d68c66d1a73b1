#include "app/registry_key.h"

#include <string.h>

#include "gls/library.h"

ERegistryKey::ERegistryKey() : m_handle(nullptr), m_open(0) {}

ERegistryKey::~ERegistryKey() { Close(); }

ESLResult ERegistryKey::Open(HKEY root, const char* subKey, REGSAM access) {
    Close();
    if (::RegOpenKeyExA(root, subKey, 0, access, &m_handle) != ERROR_SUCCESS)
        return eslResultGeneral;
    m_open = 1;
    return eslResultSuccess;
}

LONG ERegistryKey::Close() {
    if (m_open == 0)
        return ERROR_SUCCESS;
    LONG result = ::RegCloseKey(m_handle);
    if (result == ERROR_SUCCESS)
        m_open = 0;
    return result;
}

EString ERegistryKey::ReadString(const char* valueName, const char* defaultValue) {
    // Only the largest value size of the key is wanted; the class name gets
    // room for the usual 256 characters.
    EString className;
    className.SetCapacity(257);
    DWORD classLength = 256;
    DWORD maxValueLength = 0;
    LONG result = ::RegQueryInfoKeyA(m_handle, className.GetBuffer(), &classLength, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr, &maxValueLength, nullptr, nullptr);
    if (result == ERROR_MORE_DATA) {
        // The class name is longer than 256 characters. It is of no use here,
        // and how much room the system reports for it varies; ask again
        // without it, so that the value is still read.
        result = ::RegQueryInfoKeyA(m_handle, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                    &maxValueLength, nullptr, nullptr);
    }
    if (result != ERROR_SUCCESS)
        return defaultValue != nullptr ? EString(defaultValue) : EString();

    EString value;
    if (maxValueLength + 1 >= value.GetCapacity())
        value.SetCapacity(maxValueLength + 2);
    char* buffer = value.GetBuffer();
    if (buffer == nullptr || value.GetCapacity() < maxValueLength + 2)
        return defaultValue != nullptr ? EString(defaultValue) : EString();
    // Zeroed, so that the text ends inside the buffer even when the stored
    // data carries no terminator.
    eslFillMemory(buffer, 0, value.GetCapacity());
    DWORD type = REG_SZ;
    DWORD size = maxValueLength;
    result = ::RegQueryValueExA(m_handle, valueName, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    const void* end = memchr(buffer, 0, value.GetCapacity());
    value.SetLength(end != nullptr ? static_cast<unsigned int>(static_cast<const char*>(end) - buffer)
                                   : value.GetCapacity() - 1);
    if (result != ERROR_SUCCESS)
        return defaultValue != nullptr ? EString(defaultValue) : EString();
    return value;
}

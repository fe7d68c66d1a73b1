// The narrow interface through which the library reaches the operating
// system. One implementation over Win32 (platform_win32.cpp), one over POSIX
// for the host build (platform_posix.cpp). Nothing outside esl/ and gls/
// should need more of the operating system than this, except the Windows-only
// application layer.
#pragma once

#include "esl/types.h"

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// <windows.h> maps GetClassName to GetClassNameA, which would rename the
// class-name slot of every library object.
#undef GetClassName
#else
#include <pthread.h>
#endif

namespace eslp {

// --- memory regions (page-granular, committed, zeroed, 16-byte aligned) ---
// executable: the heap's regions may hold generated code on Windows.
void* AllocateRegion(uint32_t bytes, bool executable);
// bytes: as allocated (the POSIX side needs it, VirtualFree does not).
void FreeRegion(void* region, uint32_t bytes);

// --- re-entrant lock ---
struct Lock {
#if defined(_WIN32)
    CRITICAL_SECTION cs;
#else
    pthread_mutex_t mutex;
#endif
};
void InitLock(Lock* lock);
void DeleteLock(Lock* lock);
void EnterLock(Lock* lock);
void LeaveLock(Lock* lock);

// --- atomics ---
long AtomicIncrement(volatile long* value);  // returns the new value
long AtomicDecrement(volatile long* value);  // returns the new value

// --- thread-local slot ---
const uint32_t kNoTlsSlot = 0xFFFFFFFFu;
uint32_t TlsAllocSlot();                      // kNoTlsSlot on failure
void TlsFreeSlot(uint32_t slot);
void* TlsGet(uint32_t slot);
void TlsSet(uint32_t slot, void* value);

// --- file handles ---
typedef void* FileHandle;
inline FileHandle InvalidFileHandle() { return reinterpret_cast<FileHandle>(static_cast<intptr_t>(-1)); }

enum {
    accessRead = 0x1,
    accessWrite = 0x2,
    shareReadBit = 0x1,
    shareWriteBit = 0x2,
};
// create: replace/truncate an existing file (CREATE_ALWAYS), else it must exist.
FileHandle OpenFileHandle(const char* path, unsigned access, unsigned share, bool create);
// Returns bytes transferred; 0 on failure.
uint32_t ReadHandle(FileHandle h, void* dst, uint32_t bytes);
uint32_t WriteHandle(FileHandle h, const void* src, uint32_t bytes);
uint32_t GetHandleSize(FileHandle h);                                 // 0xFFFFFFFF on failure
uint32_t SetHandlePointer(FileHandle h, int32_t offset, int method);  // 0xFFFFFFFF on failure
bool SetHandleEnd(FileHandle h);
void CloseFileHandle(FileHandle h);
FileHandle DuplicateFileHandle(FileHandle h);  // InvalidFileHandle() on failure
// Win32 GetFullPathNameA semantics: returns the length copied (without the
// terminator) or, when the buffer is too small, the size needed (with it); 0 on failure.
uint32_t GetFullPath(const char* path, uint32_t bufferSize, char* buffer);

// --- ANSI code page (932) ---
// Win32 MultiByteToWideChar / WideCharToMultiByte semantics with CP_ACP:
// count -1 means "up to and including the terminator"; a null or zero-sized
// destination measures. Return the characters written (or needed), 0 on failure.
int MultiByteToWide(const char* src, int count, wchar16* dst, int dstCount);
int WideToMultiByte(const wchar16* src, int count, char* dst, int dstCount);
bool IsLeadByte(unsigned char c);

// --- SHA-256: the system's provider (CryptoAPI) on Windows, nettle elsewhere ---
class Sha256 {
public:
    enum { kSize = 32 };
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    void Add(const void* data, size_t n);
    // The digest of everything added; false when the system could not
    // compute it (Error() then gives the system's error code, if it said one).
    bool Finish(uint8_t (&digest)[kSize]);
    uint32_t Error() const;

private:
    struct State;
    State* m_state;
};

// --- diagnostics and user questions ---
void DebugOutput(const char* text);
// A yes/no question with no owner window; true for yes.
bool AskYesNo(const char* text, const char* caption);

}  // namespace eslp

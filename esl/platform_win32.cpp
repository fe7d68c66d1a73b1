// Win32 implementation of the narrow OS layer: thin wrappers over the
// kernel and user calls the library was designed around.
#include "esl/platform.h"

#include <wincrypt.h>

namespace eslp {

// --- memory regions ---

void* AllocateRegion(uint32_t bytes, bool executable) {
    if (bytes == 0)
        return nullptr;
    return VirtualAlloc(nullptr, bytes, MEM_COMMIT, executable ? PAGE_EXECUTE_READWRITE : PAGE_READWRITE);
}

void FreeRegion(void* region, uint32_t) {
    if (region != nullptr)
        VirtualFree(region, 0, MEM_RELEASE);
}

// --- re-entrant lock ---

void InitLock(Lock* lock) { InitializeCriticalSection(&lock->cs); }
void DeleteLock(Lock* lock) { DeleteCriticalSection(&lock->cs); }
void EnterLock(Lock* lock) { EnterCriticalSection(&lock->cs); }
void LeaveLock(Lock* lock) { LeaveCriticalSection(&lock->cs); }

// --- atomics ---

static_assert(sizeof(long) == sizeof(LONG), "LONG and long must match on Windows");

long AtomicIncrement(volatile long* value) {
    return InterlockedIncrement(reinterpret_cast<volatile LONG*>(value));
}

long AtomicDecrement(volatile long* value) {
    return InterlockedDecrement(reinterpret_cast<volatile LONG*>(value));
}

// --- thread-local slot ---

uint32_t TlsAllocSlot() {
    DWORD slot = TlsAlloc();
    return slot == TLS_OUT_OF_INDEXES ? kNoTlsSlot : static_cast<uint32_t>(slot);
}

void TlsFreeSlot(uint32_t slot) {
    if (slot != kNoTlsSlot)
        TlsFree(slot);
}

void* TlsGet(uint32_t slot) { return slot == kNoTlsSlot ? nullptr : TlsGetValue(slot); }

void TlsSet(uint32_t slot, void* value) {
    if (slot != kNoTlsSlot)
        TlsSetValue(slot, value);
}

// --- file handles ---

FileHandle OpenFileHandle(const char* path, unsigned access, unsigned share, bool create) {
    if (path == nullptr)
        return InvalidFileHandle();
    DWORD desired = 0;
    if (access & accessRead)
        desired |= GENERIC_READ;
    if (access & accessWrite)
        desired |= GENERIC_WRITE;
    DWORD shareMode = 0;
    if (share & shareReadBit)
        shareMode |= FILE_SHARE_READ;
    if (share & shareWriteBit)
        shareMode |= FILE_SHARE_WRITE;
    HANDLE h = CreateFileA(path, desired, shareMode, nullptr, create ? CREATE_ALWAYS : OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? InvalidFileHandle() : static_cast<FileHandle>(h);
}

uint32_t ReadHandle(FileHandle h, void* dst, uint32_t bytes) {
    DWORD done = 0;
    if (!ReadFile(static_cast<HANDLE>(h), dst, bytes, &done, nullptr))
        return 0;
    return done;
}

uint32_t WriteHandle(FileHandle h, const void* src, uint32_t bytes) {
    DWORD done = 0;
    if (!WriteFile(static_cast<HANDLE>(h), src, bytes, &done, nullptr))
        return 0;
    return done;
}

uint32_t GetHandleSize(FileHandle h) { return GetFileSize(static_cast<HANDLE>(h), nullptr); }

uint32_t SetHandlePointer(FileHandle h, int32_t offset, int method) {
    return SetFilePointer(static_cast<HANDLE>(h), offset, nullptr, static_cast<DWORD>(method));
}

bool SetHandleEnd(FileHandle h) { return SetEndOfFile(static_cast<HANDLE>(h)) != FALSE; }

void CloseFileHandle(FileHandle h) {
    if (h != InvalidFileHandle())
        CloseHandle(static_cast<HANDLE>(h));
}

FileHandle DuplicateFileHandle(FileHandle h) {
    if (h == InvalidFileHandle())
        return InvalidFileHandle();
    HANDLE out = INVALID_HANDLE_VALUE;
    HANDLE process = GetCurrentProcess();
    if (!DuplicateHandle(process, static_cast<HANDLE>(h), process, &out, 0, TRUE, DUPLICATE_SAME_ACCESS))
        return InvalidFileHandle();
    return static_cast<FileHandle>(out);
}

uint32_t GetFullPath(const char* path, uint32_t bufferSize, char* buffer) {
    if (path == nullptr)
        return 0;
    return GetFullPathNameA(path, bufferSize, buffer, nullptr);
}

// --- ANSI code page ---

int MultiByteToWide(const char* src, int count, wchar16* dst, int dstCount) {
    static_assert(sizeof(wchar16) == sizeof(WCHAR), "UTF-16 units");
    return MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, src, count, reinterpret_cast<LPWSTR>(dst), dstCount);
}

int WideToMultiByte(const wchar16* src, int count, char* dst, int dstCount) {
    return WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<LPCWSTR>(src), count, dst, dstCount, nullptr,
                               nullptr);
}

bool IsLeadByte(unsigned char c) { return IsDBCSLeadByte(c) != FALSE; }

// --- diagnostics and user questions ---

void DebugOutput(const char* text) {
    if (text != nullptr)
        OutputDebugStringA(text);
}

bool AskYesNo(const char* text, const char* caption) {
    return MessageBoxA(nullptr, text, caption, MB_YESNO) == IDYES;
}

// --- SHA-256 ---

struct Sha256::State {
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    DWORD error = 0;
};

Sha256::Sha256() : m_state(new State) {
    if (!CryptAcquireContextW(&m_state->provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT | CRYPT_SILENT)) {
        m_state->error = GetLastError();
        m_state->provider = 0;
    } else if (!CryptCreateHash(m_state->provider, CALG_SHA_256, 0, 0, &m_state->hash)) {
        m_state->error = GetLastError();
        m_state->hash = 0;
    }
}

Sha256::~Sha256() {
    if (m_state->hash != 0)
        CryptDestroyHash(m_state->hash);
    if (m_state->provider != 0)
        CryptReleaseContext(m_state->provider, 0);
    delete m_state;
}

void Sha256::Add(const void* data, size_t n) {
    // In pieces: one call takes a DWORD length.
    const BYTE* p = static_cast<const BYTE*>(data);
    while (n > 0 && m_state->error == 0) {
        const DWORD piece = static_cast<DWORD>(n < (1u << 30) ? n : (1u << 30));
        if (!CryptHashData(m_state->hash, p, piece, 0))
            m_state->error = GetLastError();
        p += piece;
        n -= piece;
    }
}

bool Sha256::Finish(uint8_t (&digest)[kSize]) {
    DWORD size = kSize;
    if (m_state->error == 0 && !CryptGetHashParam(m_state->hash, HP_HASHVAL, digest, &size, 0))
        m_state->error = GetLastError();
    return m_state->error == 0 && size == kSize;
}

uint32_t Sha256::Error() const { return m_state->error; }

}  // namespace eslp

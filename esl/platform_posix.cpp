// POSIX implementation of the narrow OS layer, for the native host build.
// It mirrors the Win32 calls closely enough that the library above it
// behaves the same on both targets: file handles share the file pointer
// when duplicated, conversions count like MultiByteToWideChar, and so on.
#include "esl/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <nettle/sha2.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace eslp {

namespace {

int ToFd(FileHandle h) { return static_cast<int>(reinterpret_cast<intptr_t>(h)); }
FileHandle FromFd(int fd) { return reinterpret_cast<FileHandle>(static_cast<intptr_t>(fd)); }

}  // namespace

// --- memory regions ---

// The host never runs generated code: regions are not executable there.
void* AllocateRegion(uint32_t bytes, bool) {
    if (bytes == 0)
        return nullptr;
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

void FreeRegion(void* region, uint32_t bytes) {
    if (region != nullptr)
        munmap(region, bytes);
}

// --- re-entrant lock ---

void InitLock(Lock* lock) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&lock->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

void DeleteLock(Lock* lock) { pthread_mutex_destroy(&lock->mutex); }
void EnterLock(Lock* lock) { pthread_mutex_lock(&lock->mutex); }
void LeaveLock(Lock* lock) { pthread_mutex_unlock(&lock->mutex); }

// --- atomics ---

long AtomicIncrement(volatile long* value) { return __atomic_add_fetch(value, 1, __ATOMIC_SEQ_CST); }
long AtomicDecrement(volatile long* value) { return __atomic_sub_fetch(value, 1, __ATOMIC_SEQ_CST); }

// --- thread-local slot ---

uint32_t TlsAllocSlot() {
    pthread_key_t key;
    if (pthread_key_create(&key, nullptr) != 0)
        return kNoTlsSlot;
    if (static_cast<uint32_t>(key) == kNoTlsSlot) {
        // Cannot be told apart from "no slot"; give it back.
        pthread_key_delete(key);
        return kNoTlsSlot;
    }
    return static_cast<uint32_t>(key);
}

void TlsFreeSlot(uint32_t slot) {
    if (slot != kNoTlsSlot)
        pthread_key_delete(static_cast<pthread_key_t>(slot));
}

void* TlsGet(uint32_t slot) {
    return slot == kNoTlsSlot ? nullptr : pthread_getspecific(static_cast<pthread_key_t>(slot));
}

void TlsSet(uint32_t slot, void* value) {
    if (slot != kNoTlsSlot)
        pthread_setspecific(static_cast<pthread_key_t>(slot), value);
}

// --- file handles ---

FileHandle OpenFileHandle(const char* path, unsigned access, unsigned share, bool create) {
    (void)share;  // POSIX has no share modes; advisory locks would not match them either
    if (path == nullptr || *path == '\0')
        return InvalidFileHandle();
    int flags = O_CLOEXEC;
    bool rd = (access & accessRead) != 0, wr = (access & accessWrite) != 0;
    if (rd && wr)
        flags |= O_RDWR;
    else if (wr)
        flags |= O_WRONLY;
    else
        flags |= O_RDONLY;
    if (create) {
        flags |= O_CREAT | O_TRUNC;
        // Truncating needs write access under POSIX; CREATE_ALWAYS does not.
        if (!wr)
            flags = (flags & ~O_RDONLY) | (rd ? O_RDWR : O_WRONLY);
    }
    int fd;
    do {
        fd = open(path, flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return InvalidFileHandle();
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        // CreateFileA refuses directories without backup semantics.
        close(fd);
        return InvalidFileHandle();
    }
    return FromFd(fd);
}

uint32_t ReadHandle(FileHandle h, void* dst, uint32_t bytes) {
    int fd = ToFd(h);
    uint32_t done = 0;
    while (done < bytes) {
        ssize_t r = read(fd, static_cast<char*>(dst) + done, bytes - done);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return done == 0 ? 0 : done;
        }
        if (r == 0)
            break;
        done += static_cast<uint32_t>(r);
    }
    return done;
}

uint32_t WriteHandle(FileHandle h, const void* src, uint32_t bytes) {
    int fd = ToFd(h);
    uint32_t done = 0;
    while (done < bytes) {
        ssize_t r = write(fd, static_cast<const char*>(src) + done, bytes - done);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (r == 0)
            break;
        done += static_cast<uint32_t>(r);
    }
    return done;
}

uint32_t GetHandleSize(FileHandle h) {
    struct stat st;
    if (fstat(ToFd(h), &st) != 0)
        return 0xFFFFFFFFu;
    return static_cast<uint32_t>(static_cast<uint64_t>(st.st_size));  // low part, as GetFileSize
}

uint32_t SetHandlePointer(FileHandle h, int32_t offset, int method) {
    int whence;
    switch (method) {
    case 0: whence = SEEK_SET; break;
    case 1: whence = SEEK_CUR; break;
    case 2: whence = SEEK_END; break;
    default: return 0xFFFFFFFFu;
    }
    off_t r = lseek(ToFd(h), static_cast<off_t>(offset), whence);
    if (r < 0)
        return 0xFFFFFFFFu;
    return static_cast<uint32_t>(static_cast<uint64_t>(r));
}

bool SetHandleEnd(FileHandle h) {
    int fd = ToFd(h);
    off_t pos = lseek(fd, 0, SEEK_CUR);
    if (pos < 0)
        return false;
    return ftruncate(fd, pos) == 0;
}

void CloseFileHandle(FileHandle h) {
    if (h != InvalidFileHandle())
        close(ToFd(h));
}

FileHandle DuplicateFileHandle(FileHandle h) {
    if (h == InvalidFileHandle())
        return InvalidFileHandle();
    int fd = fcntl(ToFd(h), F_DUPFD_CLOEXEC, 0);
    return fd < 0 ? InvalidFileHandle() : FromFd(fd);
}

uint32_t GetFullPath(const char* path, uint32_t bufferSize, char* buffer) {
    if (path == nullptr || *path == '\0')
        return 0;
    std::string full;
    char resolved[PATH_MAX];
    if (realpath(path, resolved) != nullptr) {
        full = resolved;
    } else if (path[0] == '/') {
        full = path;
    } else {
        std::vector<char> cwd(PATH_MAX);
        while (getcwd(cwd.data(), cwd.size()) == nullptr) {
            if (errno != ERANGE || cwd.size() > (1u << 20))
                return 0;
            cwd.resize(cwd.size() * 2);
        }
        full = cwd.data();
        if (full.empty() || full.back() != '/')
            full += '/';
        full += path;
    }
    if (full.size() >= 0xFFFFFFFEu)
        return 0;
    uint32_t len = static_cast<uint32_t>(full.size());
    if (buffer == nullptr || bufferSize <= len)
        return len + 1;
    memcpy(buffer, full.c_str(), len + 1);
    return len;
}

// --- ANSI code page (932) ---

namespace {

// iconv descriptors are not thread-safe; one pair per thread, opened on
// first use and kept for the thread's life.
struct Converters {
    iconv_t toWide = reinterpret_cast<iconv_t>(-1);
    iconv_t toNarrow = reinterpret_cast<iconv_t>(-1);
    ~Converters() {
        if (toWide != reinterpret_cast<iconv_t>(-1))
            iconv_close(toWide);
        if (toNarrow != reinterpret_cast<iconv_t>(-1))
            iconv_close(toNarrow);
    }
};
thread_local Converters t_converters;

// Runs iconv over the whole input; unconvertible input becomes `fallback`
// (as the Windows conversions substitute a default character).
bool Convert(iconv_t cd, const char* src, size_t srcBytes, std::vector<char>& out,
             const char* fallback, size_t fallbackBytes, size_t skipOnError) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    out.resize(srcBytes * 2 + 16);
    char* in = const_cast<char*>(src);
    size_t inLeft = srcBytes;
    size_t used = 0;
    while (inLeft > 0) {
        char* o = out.data() + used;
        size_t oLeft = out.size() - used;
        size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
        used = static_cast<size_t>(o - out.data());
        if (r != static_cast<size_t>(-1))
            break;
        if (errno == E2BIG) {
            out.resize(out.size() * 2);
            continue;
        }
        // EILSEQ or EINVAL (incomplete sequence at the end)
        if (out.size() - used < fallbackBytes)
            out.resize(out.size() * 2);
        memcpy(out.data() + used, fallback, fallbackBytes);
        used += fallbackBytes;
        size_t skip = skipOnError < inLeft ? skipOnError : inLeft;
        in += skip;
        inLeft -= skip;
    }
    out.resize(used);
    return true;
}

}  // namespace

int MultiByteToWide(const char* src, int count, wchar16* dst, int dstCount) {
    if (src == nullptr || count == 0 || count < -1 || dstCount < 0)
        return 0;
    size_t n = count == -1 ? strlen(src) + 1 : static_cast<size_t>(count);
    Converters& c = t_converters;
    if (c.toWide == reinterpret_cast<iconv_t>(-1)) {
        c.toWide = iconv_open("UTF-16LE", "CP932");
        if (c.toWide == reinterpret_cast<iconv_t>(-1))
            return 0;
    }
    std::vector<char> out;
    static const char kMiddleDot[2] = {'\xFB', '\x30'};  // U+30FB, the CP932 default
    Convert(c.toWide, src, n, out, kMiddleDot, 2, 1);
    size_t units = out.size() / 2;
    if (units > 0x7FFFFFFF)
        return 0;
    if (dst == nullptr || dstCount == 0)
        return static_cast<int>(units);
    if (static_cast<size_t>(dstCount) < units)
        return 0;  // ERROR_INSUFFICIENT_BUFFER
    memcpy(dst, out.data(), units * 2);
    return static_cast<int>(units);
}

int WideToMultiByte(const wchar16* src, int count, char* dst, int dstCount) {
    if (src == nullptr || count == 0 || count < -1 || dstCount < 0)
        return 0;
    size_t n = 0;
    if (count == -1) {
        while (src[n] != 0)
            ++n;
        ++n;
    } else {
        n = static_cast<size_t>(count);
    }
    Converters& c = t_converters;
    if (c.toNarrow == reinterpret_cast<iconv_t>(-1)) {
        c.toNarrow = iconv_open("CP932", "UTF-16LE");
        if (c.toNarrow == reinterpret_cast<iconv_t>(-1))
            return 0;
    }
    std::vector<char> out;
    Convert(c.toNarrow, reinterpret_cast<const char*>(src), n * 2, out, "?", 1, 2);
    if (out.size() > 0x7FFFFFFF)
        return 0;
    if (dst == nullptr || dstCount == 0)
        return static_cast<int>(out.size());
    if (static_cast<size_t>(dstCount) < out.size())
        return 0;
    memcpy(dst, out.data(), out.size());
    return static_cast<int>(out.size());
}

bool IsLeadByte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

// --- diagnostics and user questions ---

void DebugOutput(const char* text) {
    if (text != nullptr) {
        fputs(text, stderr);
        fflush(stderr);
    }
}

bool AskYesNo(const char*, const char*) { return false; }

// --- SHA-256 ---

struct Sha256::State {
    sha256_ctx context;
};

Sha256::Sha256() : m_state(new State) { sha256_init(&m_state->context); }

Sha256::~Sha256() { delete m_state; }

void Sha256::Add(const void* data, size_t n) { sha256_update(&m_state->context, n, static_cast<const uint8_t*>(data)); }

bool Sha256::Finish(uint8_t (&digest)[kSize]) {
    sha256_digest(&m_state->context, kSize, digest);
    return true;
}

uint32_t Sha256::Error() const { return 0; }

}  // namespace eslp

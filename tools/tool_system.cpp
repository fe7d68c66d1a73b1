#include "tool_system.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#undef GetClassName
#else
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#endif

namespace ekisatool {

namespace {

// The temporary files an interrupt removes. Slots are filled and emptied
// with interrupts held off (POSIX: signals blocked; Windows: the lock the
// console handler takes), so the handler never sees half a change.
const int kTempSlots = 16;
#if defined(_WIN32)
typedef wchar_t TempChar;
#else
typedef char TempChar;
#endif
TempChar* volatile g_temps[kTempSlots];

#if defined(_WIN32)
CRITICAL_SECTION* TempLock() {
    static CRITICAL_SECTION* lock = [] {
        static CRITICAL_SECTION cs;
        InitializeCriticalSection(&cs);
        return &cs;
    }();
    return lock;
}
class InterruptsHeld {
public:
    InterruptsHeld() { EnterCriticalSection(TempLock()); }
    ~InterruptsHeld() { LeaveCriticalSection(TempLock()); }
};
#else
class InterruptsHeld {
public:
    InterruptsHeld() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        sigaddset(&set, SIGHUP);
        sigprocmask(SIG_BLOCK, &set, &m_old);
    }
    ~InterruptsHeld() { sigprocmask(SIG_SETMASK, &m_old, nullptr); }

private:
    sigset_t m_old;
};
#endif

// Both with interrupts held.
void KeepTemp(const std::basic_string<TempChar>& path) {
    for (int i = 0; i < kTempSlots; ++i) {
        if (g_temps[i] != nullptr) continue;
        TempChar* copy = new TempChar[path.size() + 1];
        memcpy(copy, path.c_str(), (path.size() + 1) * sizeof(TempChar));
        g_temps[i] = copy;
        return;
    }
}
void ForgetTemp(const std::basic_string<TempChar>& path) {
    for (int i = 0; i < kTempSlots; ++i) {
        TempChar* slot = g_temps[i];
        if (slot == nullptr || path != slot) continue;
        g_temps[i] = nullptr;
        delete[] slot;
    }
}

const char kTempPrefix[] = ".ekisa-";
const size_t kTempRandom = 6;

bool IsTempRandomChar(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

}  // namespace

bool IsTempFileName(const std::string& name) {
    const size_t prefix = sizeof(kTempPrefix) - 1;
    if (name.size() != prefix + kTempRandom || name.compare(0, prefix, kTempPrefix) != 0) return false;
    for (size_t i = prefix; i < name.size(); ++i) {
        if (!IsTempRandomChar(name[i])) return false;
    }
    return true;
}

#if defined(_WIN32)

namespace {

// 100-ns intervals between 1601-01-01 and 1970-01-01.
const int64_t kEpochOffset = 116444736000000000LL;

int64_t UnixFromFileTime(const FILETIME& ft) {
    int64_t ticks = (int64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return (ticks - kEpochOffset) / 10000000;
}

FileStatus StatusFrom(const WIN32_FILE_ATTRIBUTE_DATA& data) {
    FileStatus s;
    s.exists = true;
    s.isLink = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    s.isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    s.isRegular = !s.isDirectory && (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) == 0;
    s.size = (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    s.modified = UnixFromFileTime(data.ftLastWriteTime);
    return s;
}

// The last error of a failed call, as the system words it.
std::string SystemErrorText(DWORD code) {
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring wide(text != nullptr ? text : L"", n);
    if (text != nullptr) LocalFree(text);
    while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r' || wide.back() == L' ' ||
                             wide.back() == L'.'))
        wide.pop_back();
    std::string utf8;
    if (wide.empty() || !FromWide(wide, &utf8)) return "error " + std::to_string(static_cast<unsigned long>(code));
    return utf8;
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT &&
        event != CTRL_LOGOFF_EVENT && event != CTRL_SHUTDOWN_EVENT)
        return FALSE;
    // Held until the process ends: the main thread makes no new temporary
    // file meanwhile. The files are opened with FILE_SHARE_DELETE, so they
    // go even while the main thread still writes them.
    EnterCriticalSection(TempLock());
    for (int i = 0; i < kTempSlots; ++i) {
        if (g_temps[i] != nullptr) DeleteFileW(g_temps[i]);
    }
    ExitProcess(STATUS_CONTROL_C_EXIT);
    return TRUE;
}

}  // namespace

std::wstring Wide(const std::string& utf8) {
    if (utf8.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring out(size_t(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), &out[0], n);
    return out;
}

bool FromWide(const std::wstring& text, std::string* utf8) {
    utf8->clear();
    if (text.empty()) return true;
    int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), int(text.size()), nullptr, 0, nullptr,
                                nullptr);
    if (n <= 0) return false;
    utf8->assign(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), int(text.size()), &(*utf8)[0], n, nullptr, nullptr);
    return true;
}

FileStatus GetStatus(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data)) return FileStatus();
    return StatusFrom(data);
}

FileStatus GetTargetStatus(const std::string& path) {
    FileStatus s = GetStatus(path);
    s.isLink = false;
    return s;
}

bool ListFolder(const std::string& path, std::vector<std::string>* names, std::string* why) {
    names->clear();
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(Wide(JoinPath(path, "*")).c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        *why = LastErrorText();
        return false;
    }
    do {
        std::string name;
        if (!FromWide(data.cFileName, &name)) name = "\xFF";
        if (name != "." && name != "..") names->push_back(name);
    } while (FindNextFileW(find, &data));
    const DWORD error = GetLastError();
    FindClose(find);
    if (error != ERROR_NO_MORE_FILES) {
        *why = SystemErrorText(error);
        return false;
    }
    return true;
}

std::string LastErrorText() {
    const DWORD code = GetLastError();
    if (code == 0 && errno != 0) return strerror(errno);
    return SystemErrorText(code);
}

bool MakeDirectory(const std::string& path, std::string* why) {
    if (CreateDirectoryW(Wide(path).c_str(), nullptr)) return true;
    *why = LastErrorText();
    return false;
}

bool RemoveFile(const std::string& path) {
    const std::wstring wide = Wide(path);
    const bool removed = DeleteFileW(wide.c_str()) != 0;
    InterruptsHeld held;
    ForgetTemp(wide);
    return removed;
}

bool MakeTempFile(const std::string& dir, std::string* path, std::string* why) {
    static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static uint64_t state = 0;
    if (state == 0) {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        state = uint64_t(now.QuadPart) ^ (uint64_t(GetCurrentProcessId()) << 32) ^ 0x9E3779B97F4A7C15ull;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = kTempPrefix;
        for (size_t i = 0; i < kTempRandom; ++i) {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            name += kChars[(state >> 33) % 62];
        }
        const std::string candidate = JoinPath(dir, name);
        const std::wstring wide = Wide(candidate);
        InterruptsHeld held;
        HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS) continue;
            *why = LastErrorText();
            return false;
        }
        CloseHandle(h);
        KeepTemp(wide);
        *path = candidate;
        return true;
    }
    *why = "no unused temporary name";
    return false;
}

bool RenameFile(const std::string& from, const std::string& to, bool overwrite, std::string* why) {
    const std::wstring wide = Wide(from);
    if (MoveFileExW(wide.c_str(), Wide(to).c_str(), overwrite ? MOVEFILE_REPLACE_EXISTING : 0)) {
        InterruptsHeld held;
        ForgetTemp(wide);
        return true;
    }
    *why = GetLastError() == ERROR_ALREADY_EXISTS || GetLastError() == ERROR_FILE_EXISTS ? "file exists"
                                                                                           : LastErrorText();
    return false;
}

void SetModificationTime(const std::string& path, int64_t seconds) {
    HANDLE h = CreateFileW(Wide(path).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    int64_t ticks = seconds * 10000000 + kEpochOffset;
    FILETIME ft;
    ft.dwLowDateTime = DWORD(uint64_t(ticks));
    ft.dwHighDateTime = DWORD(uint64_t(ticks) >> 32);
    SetFileTime(h, nullptr, nullptr, &ft);
    CloseHandle(h);
}

bool SameFile(const std::string& a, const std::string& b) {
    BY_HANDLE_FILE_INFORMATION info[2];
    const std::string* paths[2] = {&a, &b};
    for (int i = 0; i < 2; ++i) {
        HANDLE h = CreateFileW(Wide(*paths[i]).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE) return false;
        BOOL ok = GetFileInformationByHandle(h, &info[i]);
        CloseHandle(h);
        if (!ok) return false;
    }
    return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
           info[0].nFileIndexHigh == info[1].nFileIndexHigh && info[0].nFileIndexLow == info[1].nFileIndexLow;
}

std::string ProgramFolder() {
    std::vector<wchar_t> path(32768);
    DWORD n = GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
    std::string utf8;
    if (n == 0 || n >= path.size() || !FromWide(std::wstring(path.data(), n), &utf8)) return std::string();
    return DirectoryOf(utf8);
}

void RemoveTempFilesOnInterrupt() {
    TempLock();
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

ESLResult ToolFile::Open(const std::string& path, unsigned int mode) {
    Close();
    DWORD desired = 0;
    if (mode & modeRead) desired |= GENERIC_READ;
    if (mode & modeWrite) desired |= GENERIC_WRITE;
    // Deleting stays possible while the file is open: an interrupt removes
    // a temporary file that is still being written.
    DWORD share = FILE_SHARE_DELETE;
    if (mode & shareRead) share |= FILE_SHARE_READ;
    if (mode & shareWrite) share |= FILE_SHARE_WRITE;
    HANDLE h = CreateFileW(Wide(path).c_str(), desired, share, nullptr,
                           (mode & modeCreate) ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        m_attributes = 0;
        return eslResultGeneral;
    }
    m_handle = static_cast<eslp::FileHandle>(h);
    m_attributes = mode;
    m_writeProblem.clear();
    return eslResultSuccess;
}

uint32_t ToolFile::Write(const void* src, uint32_t bytes) {
    SetLastError(0);
    errno = 0;
    const uint32_t done = ERawFile::Write(src, bytes);
    if (done < bytes && m_writeProblem.empty())
        m_writeProblem = GetLastError() != 0 ? LastErrorText() : "the system wrote fewer bytes than asked";
    return done;
}

namespace {
bool IsConsole(DWORD which) {
    DWORD mode = 0;
    const HANDLE h = GetStdHandle(which);
    return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode);
}
}  // namespace

bool StdoutIsTerminal() { return IsConsole(STD_OUTPUT_HANDLE); }

bool StderrIsTerminal() { return IsConsole(STD_ERROR_HANDLE); }

int StderrColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 80;
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    return columns > 0 ? columns : 80;
}

void SetStdStreamsBinary() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

bool WriteText(FILE* stream, const std::string& text) {
    HANDLE h = GetStdHandle(stream == stdout ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (h == nullptr || h == INVALID_HANDLE_VALUE || !GetConsoleMode(h, &mode))
        return fwrite(text.data(), 1, text.size(), stream) == text.size();
    fflush(stream);
    const std::wstring wide = Wide(text);
    for (size_t at = 0; at < wide.size();) {
        DWORD piece = DWORD(wide.size() - at < 8192 ? wide.size() - at : 8192), done = 0;
        if (!WriteConsoleW(h, wide.data() + at, piece, &done, nullptr) || done == 0) return false;
        at += done;
    }
    return true;
}

bool LastWriteHitClosedPipe() {
    const DWORD error = GetLastError();
    return errno == EPIPE || error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED;
}

void EndOnClosedPipe() { _exit(141); }

void DeferClosedPipe() {}

#else

namespace {

FileStatus StatusFrom(const struct stat& st) {
    FileStatus s;
    s.exists = true;
    s.isLink = S_ISLNK(st.st_mode);
    s.isDirectory = S_ISDIR(st.st_mode);
    s.isRegular = S_ISREG(st.st_mode);
    s.size = uint64_t(st.st_size);
    s.modified = int64_t(st.st_mtime);
    return s;
}

void OnSignal(int signal_number) {
    // Only async-signal-safe calls here.
    for (int i = 0; i < kTempSlots; ++i) {
        if (g_temps[i] != nullptr) unlink(g_temps[i]);
    }
    signal(signal_number, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal_number);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(signal_number);
    _exit(128 + signal_number);
}

}  // namespace

FileStatus GetStatus(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return FileStatus();
    return StatusFrom(st);
}

FileStatus GetTargetStatus(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return FileStatus();
    return StatusFrom(st);
}

std::string LastErrorText() { return strerror(errno); }

bool ListFolder(const std::string& path, std::vector<std::string>* names, std::string* why) {
    names->clear();
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) {
        *why = LastErrorText();
        return false;
    }
    errno = 0;
    while (const struct dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names->push_back(name);
    }
    const int error = errno;
    closedir(dir);
    if (error != 0) {
        errno = error;
        *why = LastErrorText();
        return false;
    }
    return true;
}

bool MakeDirectory(const std::string& path, std::string* why) {
    if (mkdir(path.c_str(), 0777) == 0) return true;
    *why = strerror(errno);
    return false;
}

bool RemoveFile(const std::string& path) {
    const bool removed = unlink(path.c_str()) == 0;
    InterruptsHeld held;
    ForgetTemp(path);
    return removed;
}

bool MakeTempFile(const std::string& dir, std::string* path, std::string* why) {
    std::string pattern = JoinPath(dir, std::string(kTempPrefix) + "XXXXXX");
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    InterruptsHeld held;
    int fd = mkstemp(name.data());
    if (fd < 0) {
        *why = strerror(errno);
        return false;
    }
    KeepTemp(name.data());
    // mkstemp makes the file private; the result should get the usual mode.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    close(fd);
    *path = name.data();
    return true;
}

bool RenameFile(const std::string& from, const std::string& to, bool overwrite, std::string* why) {
    bool moved = false;
    if (overwrite) {
        moved = rename(from.c_str(), to.c_str()) == 0;
        if (!moved) *why = strerror(errno);
    } else if (link(from.c_str(), to.c_str()) == 0) {
        // A hard link never replaces an existing name, so no check-then-act race.
        unlink(from.c_str());
        moved = true;
    } else if (errno == EEXIST || GetStatus(to).exists) {
        *why = "file exists";
    } else {
        // File systems without hard links: checked, then renamed.
        moved = rename(from.c_str(), to.c_str()) == 0;
        if (!moved) *why = strerror(errno);
    }
    if (moved) {
        InterruptsHeld held;
        ForgetTemp(from);
    }
    return moved;
}

void SetModificationTime(const std::string& path, int64_t seconds) {
    struct timeval times[2];
    times[0].tv_sec = time_t(seconds);
    times[0].tv_usec = 0;
    times[1] = times[0];
    utimes(path.c_str(), times);
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat x, y;
    return stat(a.c_str(), &x) == 0 && stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

std::string ProgramFolder() {
    std::vector<char> path(4096);
    ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
    if (n <= 0 || size_t(n) >= path.size()) return std::string();
    return DirectoryOf(std::string(path.data(), size_t(n)));
}

void RemoveTempFilesOnInterrupt() {
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action, old;
        memset(&action, 0, sizeof(action));
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        sigaddset(&action.sa_mask, SIGINT);
        sigaddset(&action.sa_mask, SIGTERM);
        sigaddset(&action.sa_mask, SIGHUP);
        if (sigaction(signal_number, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(signal_number, &action, nullptr);
    }
}

ESLResult ToolFile::Open(const std::string& path, unsigned int mode) {
    m_writeProblem.clear();
    return ERawFile::Open(path.c_str(), mode);
}

uint32_t ToolFile::Write(const void* src, uint32_t bytes) {
    errno = 0;
    const uint32_t done = ERawFile::Write(src, bytes);
    if (done < bytes && m_writeProblem.empty())
        m_writeProblem = errno != 0 ? LastErrorText() : "the system wrote fewer bytes than asked";
    return done;
}

bool StdoutIsTerminal() { return isatty(1) != 0; }

bool StderrIsTerminal() { return isatty(2) != 0; }

int StderrColumns() {
    struct winsize size;
    if (ioctl(2, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return 80;
    return size.ws_col;
}

void SetStdStreamsBinary() {}

bool WriteText(FILE* stream, const std::string& text) {
    return fwrite(text.data(), 1, text.size(), stream) == text.size();
}

bool LastWriteHitClosedPipe() { return errno == EPIPE; }

void EndOnClosedPipe() {
    // SIGPIPE may have been ignored by whoever started us; the reader that
    // went away expects the status it ends a pipeline with.
    signal(SIGPIPE, SIG_DFL);
    raise(SIGPIPE);
    _exit(128 + SIGPIPE);
}

void DeferClosedPipe() { signal(SIGPIPE, SIG_IGN); }

#endif

bool Sha256::Finish(uint8_t* digest, std::string* why) {
    uint8_t sum[kSize];
    if (m_sha.Finish(sum)) {
        memcpy(digest, sum, kSize);
        return true;
    }
#if defined(_WIN32)
    *why = "SHA-256 (CryptoAPI): " + (m_sha.Error() != 0 ? SystemErrorText(m_sha.Error()) : "wrong digest size");
#else
    *why = "SHA-256 could not be computed";
#endif
    return false;
}

std::string JoinPath(const std::string& dir, const std::string& name) {
    if (dir.empty() || dir == ".") return name;
    char last = dir[dir.size() - 1];
    if (last == '/') return dir + name;
#if defined(_WIN32)
    if (last == '\\') return dir + name;
#endif
    return dir + "/" + name;
}

std::string DirectoryOf(const std::string& path) {
    size_t cut = std::string::npos;
    for (size_t i = 0; i < path.size(); ++i) {
#if defined(_WIN32)
        if (path[i] == '\\') cut = i;
#endif
        if (path[i] == '/') cut = i;
    }
    if (cut == std::string::npos) return ".";
    if (cut == 0) return "/";
#if defined(_WIN32)
    if (cut == 2 && path[1] == ':') return path.substr(0, 3);  // the root of a drive
#endif
    return path.substr(0, cut);
}

double NowSeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace ekisatool

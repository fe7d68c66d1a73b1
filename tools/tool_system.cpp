#include "tool_system.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <vector>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#endif

namespace ekisatool {

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

}  // namespace

FileStatus GetStatus(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return FileStatus();
    return StatusFrom(data);
}

FileStatus GetTargetStatus(const std::string& path) {
    FileStatus s = GetStatus(path);
    s.isLink = false;
    return s;
}

bool ListFolder(const std::string& path, std::vector<std::string>* names, std::string* why) {
    names->clear();
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(JoinPath(path, "*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        *why = LastErrorText();
        return false;
    }
    do {
        const std::string name = data.cFileName;
        if (name != "." && name != "..") names->push_back(name);
    } while (FindNextFileA(find, &data));
    const DWORD error = GetLastError();
    FindClose(find);
    if (error != ERROR_NO_MORE_FILES) {
        SetLastError(error);
        *why = LastErrorText();
        return false;
    }
    return true;
}

std::string LastErrorText() {
    char text[256];
    DWORD code = GetLastError();
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                             sizeof(text), nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) --n;
    if (n == 0) {
        snprintf(text, sizeof(text), "error %lu", static_cast<unsigned long>(code));
        return text;
    }
    return std::string(text, n);
}

bool MakeDirectory(const std::string& path, std::string* why) {
    if (CreateDirectoryA(path.c_str(), nullptr)) return true;
    *why = LastErrorText();
    return false;
}

bool RemoveFile(const std::string& path) { return DeleteFileA(path.c_str()) != 0; }

bool MakeTempFile(const std::string& dir, std::string* path, std::string* why) {
    char buffer[MAX_PATH + 16];
    if (dir.size() + 14 >= MAX_PATH || GetTempFileNameA(dir.c_str(), "eki", 0, buffer) == 0) {
        *why = LastErrorText();
        return false;
    }
    *path = buffer;
    return true;
}

bool RenameFile(const std::string& from, const std::string& to, bool overwrite, std::string* why) {
    if (MoveFileExA(from.c_str(), to.c_str(), overwrite ? MOVEFILE_REPLACE_EXISTING : 0)) return true;
    *why = GetLastError() == ERROR_ALREADY_EXISTS || GetLastError() == ERROR_FILE_EXISTS ? "file exists"
                                                                                           : LastErrorText();
    return false;
}

void SetModificationTime(const std::string& path, int64_t seconds) {
    HANDLE h = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
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
        HANDLE h = CreateFileA(paths[i]->c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE) return false;
        BOOL ok = GetFileInformationByHandle(h, &info[i]);
        CloseHandle(h);
        if (!ok) return false;
    }
    return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
           info[0].nFileIndexHigh == info[1].nFileIndexHigh && info[0].nFileIndexLow == info[1].nFileIndexLow;
}

std::string ProgramFolder() {
    char path[MAX_PATH + 1];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return std::string();
    return DirectoryOf(std::string(path, n));
}

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

void SetStdoutBinary() { _setmode(_fileno(stdout), _O_BINARY); }

bool LastWriteHitClosedPipe() { return errno == EPIPE || GetLastError() == ERROR_NO_DATA; }

void EndOnClosedPipe() { _exit(1); }

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

bool RemoveFile(const std::string& path) { return unlink(path.c_str()) == 0; }

bool MakeTempFile(const std::string& dir, std::string* path, std::string* why) {
    std::string pattern = JoinPath(dir, ".ekisa-XXXXXX");
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) {
        *why = strerror(errno);
        return false;
    }
    // mkstemp makes the file private; the result should get the usual mode.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    close(fd);
    *path = name.data();
    return true;
}

bool RenameFile(const std::string& from, const std::string& to, bool overwrite, std::string* why) {
    if (overwrite) {
        if (rename(from.c_str(), to.c_str()) == 0) return true;
        *why = strerror(errno);
        return false;
    }
    // A hard link never replaces an existing name, so no check-then-act race.
    if (link(from.c_str(), to.c_str()) == 0) {
        unlink(from.c_str());
        return true;
    }
    if (errno == EEXIST) {
        *why = "file exists";
        return false;
    }
    // File systems without hard links: check, then rename.
    if (GetStatus(to).exists) {
        *why = "file exists";
        return false;
    }
    if (rename(from.c_str(), to.c_str()) == 0) return true;
    *why = strerror(errno);
    return false;
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

bool StderrIsTerminal() { return isatty(2) != 0; }

void SetStdoutBinary() {}

bool LastWriteHitClosedPipe() { return errno == EPIPE; }

void EndOnClosedPipe() {
    // SIGPIPE may have been ignored by whoever started us; the reader that
    // went away expects the status it ends a pipeline with.
    signal(SIGPIPE, SIG_DFL);
    raise(SIGPIPE);
    _exit(128 + SIGPIPE);
}

#endif

std::string JoinPath(const std::string& dir, const std::string& name) {
    if (dir.empty() || dir == ".") return name;
    char last = dir[dir.size() - 1];
    if (last == '/') return dir + name;
    // '/' separates on Windows too, and cannot be mistaken for the second
    // byte of a double-byte character as a trailing '\' could.
    return dir + "/" + name;
}

std::string DirectoryOf(const std::string& path) {
    size_t cut = std::string::npos;
    for (size_t i = 0; i < path.size(); ++i) {
#if defined(_WIN32)
        if (IsDBCSLeadByte(static_cast<BYTE>(path[i])) && i + 1 < path.size()) {
            ++i;
            continue;
        }
        if (path[i] == '\\') cut = i;
#endif
        if (path[i] == '/') cut = i;
    }
    if (cut == std::string::npos) return ".";
    if (cut == 0) return "/";
    return path.substr(0, cut);
}

double NowSeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace ekisatool

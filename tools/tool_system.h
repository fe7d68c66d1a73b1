// The little of the operating system the ekisa tool needs beyond the
// library's file objects: file status, folders, temporary files that an
// interrupt removes, renaming, the terminal, SHA-256.
//
// Paths and text are UTF-8 on every platform. On Windows the tool takes its
// command line and makes every file call in UTF-16 and writes to a console
// in UTF-16, so the system's code page never stands between a name and the
// archive (whose names are Shift-JIS, converted explicitly: tool_names).
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "esl/file.h"
#include "esl/platform.h"

namespace ekisatool {

struct FileStatus {
    bool exists = false;
    bool isDirectory = false;
    bool isRegular = false;
    bool isLink = false;  // symbolic link or other reparse point (not followed)
    uint64_t size = 0;
    int64_t modified = 0;  // seconds since 1970-01-01 UTC
};

// Status of path itself; a link is reported as a link, not followed.
FileStatus GetStatus(const std::string& path);
// Status of what path refers to, following links.
FileStatus GetTargetStatus(const std::string& path);

// The names in a folder, without "." and "..", in the file system's order;
// false with the reason when the folder cannot be read. A name that has no
// UTF-8 form (Windows: unpaired UTF-16 surrogates) comes with a 0xFF byte,
// which no conversion accepts.
bool ListFolder(const std::string& path, std::vector<std::string>* names, std::string* why);
// Creates one folder; false with the reason when it cannot.
bool MakeDirectory(const std::string& path, std::string* why);
bool RemoveFile(const std::string& path);
// Creates a new, empty, uniquely named file ".ekisa-XXXXXX" in folder dir and
// keeps it on the list that an interrupt removes, until RenameFile moves it
// or RemoveFile removes it.
bool MakeTempFile(const std::string& dir, std::string* path, std::string* why);
// Whether a file name is one MakeTempFile makes: create skips such files.
bool IsTempFileName(const std::string& name);
// Renames from over to. Without overwrite, fails when to exists.
bool RenameFile(const std::string& from, const std::string& to, bool overwrite, std::string* why);
void SetModificationTime(const std::string& path, int64_t seconds);

std::string JoinPath(const std::string& dir, const std::string& name);
// Folder part of a path ("." when there is none).
std::string DirectoryOf(const std::string& path);

// Whether two paths name the same existing file (links and different
// spellings included).
bool SameFile(const std::string& a, const std::string& b);
// The folder of the running program, or "" when it cannot be found.
std::string ProgramFolder();

// SIGINT, SIGTERM and SIGHUP (on Windows: Ctrl-C, Ctrl-Break, closing the
// console) remove the temporary files, then end the program with the
// status of that signal (Windows: STATUS_CONTROL_C_EXIT). Signals ignored
// when the program started (nohup) stay ignored.
void RemoveTempFilesOnInterrupt();

// A file of the file system opened by a UTF-8 name. It keeps the system's
// reason for its first short write, which the archive layers above it do
// not pass on.
class ToolFile : public ERawFile {
    ESL_DECLARE_CLASS(ToolFile, ERawFile)
public:
    ESLResult Open(const std::string& path, unsigned int mode);
    uint32_t Write(const void* src, uint32_t bytes) override;
    // "" while every write was whole.
    const std::string& WriteProblem() const { return m_writeProblem; }

private:
    std::string m_writeProblem;
};

// Whether standard output or error is a terminal (on Windows: a console;
// the NUL device, which the C library counts as one, is not).
bool StdoutIsTerminal();
bool StderrIsTerminal();
// Columns of the terminal standard error shows on; 80 when it does not say.
int StderrColumns();
// Windows: standard output and error carry bytes as they are ("\n" stays
// "\n"), as on Linux.
void SetStdStreamsBinary();
// Text to standard output or error: UTF-16 on a Windows console, whatever its
// code page; elsewhere the UTF-8 bytes. False when the write failed.
bool WriteText(FILE* stream, const std::string& text);
// Whether the last failed write went to a pipe nobody reads any more.
bool LastWriteHitClosedPipe();
// Ends the program as a write into a closed pipe ends one on Linux: quietly,
// by SIGPIPE (on Windows with the status a shell shows for it there, 141).
[[noreturn]] void EndOnClosedPipe();
// From now on a write into a closed pipe fails (EPIPE) rather than ending
// the program at once, so that it can tidy the terminal before
// EndOnClosedPipe. Nothing on Windows, where such a write only fails.
void DeferClosedPipe();
double NowSeconds();
// The system's text for the last failure (errno; on Windows the last error,
// or errno when the C library failed without one).
std::string LastErrorText();

#if defined(_WIN32)
std::wstring Wide(const std::string& utf8);
// Strict: false when text holds unpaired surrogates.
bool FromWide(const std::wstring& text, std::string* utf8);
#endif

// SHA-256 of the library's platform layer (CryptoAPI on Windows, nettle on
// Linux), with the reason for a failure in words.
class Sha256 {
public:
    enum { kSize = eslp::Sha256::kSize };
    void Add(const void* data, size_t n) { m_sha.Add(data, n); }
    // The digest of everything added; false, with the reason, when the
    // system could not compute it.
    bool Finish(uint8_t* digest, std::string* why);

private:
    eslp::Sha256 m_sha;
};

}  // namespace ekisatool

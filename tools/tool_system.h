// The little of the operating system the ekisa tool needs beyond file
// objects: file status, folders, temporary files, renaming, the terminal.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

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
// false with the reason when the folder cannot be read.
bool ListFolder(const std::string& path, std::vector<std::string>* names, std::string* why);
// Creates one folder; false with the reason when it cannot.
bool MakeDirectory(const std::string& path, std::string* why);
bool RemoveFile(const std::string& path);
// Creates a new, empty, uniquely named file in folder dir.
bool MakeTempFile(const std::string& dir, std::string* path, std::string* why);
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

bool StderrIsTerminal();
void SetStdoutBinary();
// Whether the last failed write went to a pipe nobody reads any more.
bool LastWriteHitClosedPipe();
// Ends the program as a write into a closed pipe usually ends one: quietly,
// by SIGPIPE where there is one.
[[noreturn]] void EndOnClosedPipe();
double NowSeconds();
std::string LastErrorText();

}  // namespace ekisatool

// What the ekisa tool's commands share: the command table's entry type,
// messages, progress, and walking and reading archives.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "ekisa/ekisa_archive.h"
#include "tool_system.h"

namespace ekisatool {

enum { kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };

// Files are fed to the archive, and entries read from it, in pieces of this
// size (the coder's output depends on the split, see create).
const uint32_t kChunk = 65536;

// One verb of the tool. A new verb is a new file that defines one of these
// and a line in the table in ekisa.cpp.
struct Command {
    const char* name;
    const char* synopsis;  // the arguments, after "ekisa NAME"
    const char* summary;   // one line for the overview
    const char* help;      // the rest of "ekisa NAME --help"
    int (*run)(const std::vector<std::string>& args);
};

extern const Command kCreateCommand, kListCommand, kExtractCommand, kVerifyCommand, kCatCommand,
    kInstallerCommand;

// Prints "ekisa: COMMAND: what" and how to get help; returns kExitUsage.
int UsageError(const char* command, const std::string& what);
void Error(const std::string& text);
void Warning(const std::string& text);
std::string Quoted(const std::string& text);
// A name with control characters escaped as \xNN, so that it cannot act
// on the terminal.
std::string Printable(const std::string& name);
// A name for messages: printable, and names longer than 60 characters keep their start
// and end around "...", so that a hostile archive cannot flood the screen.
std::string Shown(const std::string& name);

// Converts a -p argument; prints why and returns false when it cannot.
bool PasswordArgument(const std::string& local, std::string* stored);

// Writes to standard output; a reader that went away ends the program
// quietly (EndOnClosedPipe). False with the reason on other failures.
bool WriteOut(const void* data, size_t n, std::string* why);
bool FlushOut(std::string* why);

// Bytes done of a total and the rate, on one terminal line.
class Progress {
public:
    Progress(const std::string& label, uint64_t total);
    ~Progress();
    void Add(uint64_t bytes);

private:
    std::string m_label;
    uint64_t m_total, m_done;
    bool m_enabled;
    double m_start, m_last;
    bool m_shown;
};

// A file made whole or not at all: written under a temporary name beside
// target and renamed over it only when complete.
class ReplacingOutput {
public:
    ReplacingOutput(const std::string& target, bool force) : m_target(target), m_force(force) {}
    // Refuses a folder, or an existing file without force, and makes the
    // temporary file; says why and returns false when it cannot.
    bool Begin();
    const std::string& TempPath() const { return m_temp; }
    // Renames the temporary file over target when problem is empty, else
    // removes it and reports problem. Returns the exit status.
    int Finish(std::string problem);

private:
    std::string m_target, m_temp;
    bool m_force;
};

// A patch installer carries its archive as this resource.
const char kPatchDataType[] = "RT_RCDATA";
const uint16_t kPatchDataId = 130;
std::string PatchDataName();  // "RT_RCDATA" 130, for messages
// Windows maps no image of 2 GiB or more; stub and archive share that.
const uint64_t kMaxProgram = 0x7FF00000u;

// Whole files: stubs, archives and patch installers share the 2 GiB that
// Windows maps of a program. False, having said why, when it cannot be read.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes);

// Whether bytes begin as a Windows program does ("MZ").
bool IsProgram(const std::vector<uint8_t>& bytes);
bool IsProgramFile(const std::string& path);

// A patch installer's patch data (resource "RT_RCDATA" 130) in place of
// the program's bytes. False, having said why, when the program cannot be
// read or holds none.
bool TakePatchData(const std::string& path, std::vector<uint8_t>* bytes);

// The help's line for every command that reads an archive through
// ArchiveInput (a macro, so that it joins the literal before it).
#define EKISA_HELP_ARCHIVE_MAY_BE_INSTALLER \
    "ARCHIVE may also be a patch installer made by 'ekisa installer': its patch\n" \
    "data is read.\n"

// An archive opened for reading: an archive file, or the patch data of a
// patch installer, which is read into memory.
class ArchiveInput {
public:
    // Says why and returns false when path is neither.
    bool Open(const std::string& path);
    EKISAArchive& Archive() { return m_archive; }

private:
    ERawFile m_file;
    std::vector<uint8_t> m_data;
    EMemoryFile m_memory;
    EKISAArchive m_archive;  // declared last: closed before what it reads
};

struct EntryInfo {
    std::string stored;              // name as stored (CP932)
    std::vector<std::string> parts;  // local path components down to this entry
    std::string display;             // parts joined with '/'
    bool nameOk = true;              // the stored name converts to a local name
    bool reachable = true;           // no earlier entry of the level answers to the same name
    bool directory = false;
    uint64_t size = 0;
    uint32_t encodeType = 0;
    EKISAFileTime time = {};
};

// Called for every entry, with the archive standing in the entry's folder.
// Returns false when the entry failed; the walk goes on.
class Visitor {
public:
    virtual ~Visitor() {}
    virtual bool Visit(EKISAArchive& archive, const EntryInfo& entry) = 0;
};
bool Walk(const std::string& archivePath, EKISAArchive& archive, Visitor& visitor);

// Opens an entry of the current folder for streamed reading. Returns an
// empty text on success, else what went wrong, in the user's words.
std::string OpenEntry(EKISAArchive& archive, const std::string& stored, uint32_t encodeType, const char* password);

// Reads the open entry to its end, handing each chunk to sink (false from
// sink: a write failed, LastErrorText says why), and closes it. Returns an
// empty text on success, else what went wrong.
template <class Sink>
std::string ReadEntry(EKISAArchive& archive, const std::string& label, uint32_t encodeType, bool password,
                      Sink sink);
std::string DescribeReadFailure(uint64_t done, uint64_t total, uint32_t encodeType, bool password);

// --- template definitions ---

template <class Sink>
std::string ReadEntry(EKISAArchive& archive, const std::string& label, uint32_t encodeType, bool password,
                      Sink sink) {
    std::vector<uint8_t> buffer(kChunk);
    const uint64_t total = archive.GetLength();
    uint64_t done = 0;
    Progress progress(label, total);
    std::string problem;
    for (;;) {
        const uint32_t count = archive.Read(buffer.data(), kChunk);
        if (count > 0 && !sink(buffer.data(), count)) {
            problem = "write error: " + LastErrorText();
            break;
        }
        done += count;
        progress.Add(count);
        if (count < kChunk) break;
    }
    // Streamed entries check their checksum only after the last byte.
    const ESLResult closed = archive.AscendFile();
    if (!problem.empty()) return problem;
    if (done != total || closed != eslResultSuccess)
        return DescribeReadFailure(done, total, encodeType, password);
    return std::string();
}

}  // namespace ekisatool

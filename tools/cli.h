// What the ekisa tool's commands share: the command table's entry type,
// messages, progress, and walking and reading archives.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "app/resources/resource.h"
#include "ekisa/ekisa_archive.h"
#include "pe_resource.h"
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
// "ekisa: text", "ekisa: warning: text" and "ekisa: text" on standard error.
// Notes are what -q silences; a warning says that something will not
// arrive as given, so it stays.
void Error(const std::string& text);
void Warning(const std::string& text);
void Note(const std::string& text);

// How much a command says besides its data: -q no notes and no progress,
// -v also a line per entry as it is processed. Every command takes both.
enum Verbosity { kQuiet, kNormal, kVerbose };
Verbosity CurrentVerbosity();
// The options every command takes, after its own: "--" (what follows are
// arguments, *optionsDone), -v and -q. False, with the usage error in
// *problem, for -v after -q (or the reverse) and for any other option.
bool TakeSharedOption(const std::string& a, bool* optionsDone, std::string* problem);
// An entry's line for -v, on standard error (cat's data is standard output).
void EntryLine(const std::string& path);
// A count of bytes with thousands separators: 2,147,418,112.
std::string Grouped(uint64_t n);
// The usage error for an argument that looks like an option, or "" when a
// is none ("-" alone is one: it would be a file name on no other tool).
std::string UnknownOption(const std::string& a);
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

// The share done of a total, the rate and the time left, on one line of
// the terminal that standard error is, redrawn in place at most ten times a
// second and cleared when done or when a message is written. Nothing when
// standard error is no terminal, with -q, or after HideProgress.
class Progress {
public:
    Progress(const std::string& label, uint64_t total);
    ~Progress();
    void SetLabel(const std::string& label) { m_label = label; }
    void Add(uint64_t bytes);

private:
    std::string m_label;
    uint64_t m_total, m_done;
    bool m_enabled;
    double m_start;
};
// For cat to a terminal: progress there would run into the data.
void HideProgress();
// Columns that text takes on a terminal (East Asian wide characters two).
size_t DisplayWidth(const std::string& text);

// A file made whole or not at all: written under a temporary name beside
// target and renamed over it only when complete.
class ReplacingOutput {
public:
    ReplacingOutput(const std::string& target, bool force) : m_target(target), m_force(force) {}
    // Refuses a folder, or an existing file without force, makes the
    // temporary file and opens it for writing; says why and returns false
    // when it cannot.
    bool Begin();
    ToolFile& File() { return m_file; }
    const std::string& TempPath() const { return m_temp; }
    // Closes the file and renames it over target when problem is empty, else
    // removes it and reports problem. Returns the exit status.
    int Finish(std::string problem);

private:
    std::string m_target, m_temp;
    bool m_force;
    ToolFile m_file;
};

// A patch installer carries its archive as this resource, beside it the
// digest of the archive's bytes, and the mark of this kit's stub.
const char kPatchDataType[] = "RT_RCDATA";
const uint16_t kPatchDataId = IDR_PATCHDATA;
const uint16_t kDigestId = IDR_PATCHDIGEST;
const uint16_t kKitMarkId = IDR_KITMARK;
std::string ResourceName(uint16_t id);  // "RT_RCDATA" 130, for messages
std::string PatchDataName();            // ResourceName(kPatchDataId)
// The digest resource: this tag (with its zero byte), then the SHA-256.
const char kDigestTag[] = PATCH_DIGEST_TAG;
const size_t kDigestRecordSize = PATCH_DIGEST_RECORD_SIZE;
static_assert(kDigestRecordSize == sizeof(kDigestTag) + Sha256::kSize, "the digest record is the tag and the digest");
// The bytes of app/resources/kit-mark.bin, which every stub carries.
const char kKitMark[] = "EKISA patch installer kit: Miltoa patch installer stub";
// Windows maps no image of 2 GiB or more; stub and archive share that.
const uint64_t kMaxProgram = 0x7FF00000u;
// The archive's positions are 32-bit and moved with signed offsets.
const uint64_t kMaxArchive = 0x7FFFFFFFu;

// Whole files: stubs and the like, at most kMaxProgram bytes. False, having
// said why, when it cannot be read.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes);

// Whether a file begins as a Windows program does ("MZ").
bool IsProgramFile(ToolFile& file);

// A file read through the resource lookup piece by piece.
peresource::ImageReader ReaderOf(ToolFile& file, uint64_t size);

// The help's line for every command that reads an archive through
// ArchiveInput (a macro, so that it joins the literal before it).
#define EKISA_HELP_ARCHIVE_MAY_BE_INSTALLER \
    "ARCHIVE may also be a patch installer made by 'ekisa installer': its\n" \
    "patch data is read.\n"

// A range of another file object, read as a file of its own: the patch
// data inside a patch installer, read where it lies.
class FileWindow : public ESLFileObject {
    ESL_DECLARE_CLASS(FileWindow, ESLFileObject)
public:
    FileWindow() : m_file(nullptr), m_base(0), m_size(0), m_position(0) {}
    void Open(ESLFileObject* file, uint32_t base, uint32_t size);
    ESLFileObject* Duplicate() override { return nullptr; }
    uint32_t Read(void* dst, uint32_t bytes) override;
    uint32_t Write(const void*, uint32_t) override { return 0; }
    uint32_t GetLength() override { return m_size; }
    uint32_t Seek(int32_t offset, int method) override;
    uint32_t GetPointer() override { return m_position; }
    ESLResult SetEndOfFile() override { return eslResultGeneral; }

private:
    ESLFileObject* m_file;
    uint32_t m_base, m_size, m_position;
};

// An archive opened for reading: an archive file, or the patch data of a
// patch installer, read in place.
class ArchiveInput {
public:
    // Says why and returns false when path is neither; consequence follows
    // the messages about the archive as a whole.
    bool Open(const std::string& path, const std::string& consequence = std::string());
    EKISAArchive& Archive() { return m_archive; }
    bool IsProgram() const { return m_program; }
    // The archive's bytes in the file.
    uint64_t Offset() const { return m_offset; }
    uint64_t Size() const { return m_size; }
    ToolFile& File() { return m_file; }
    // The program's digest resource, when it has one.
    bool HasDigest() const { return m_hasDigest; }
    const std::vector<uint8_t>& DigestRecord() const { return m_digest; }
    // Reads the archive's bytes in pieces, from the first, handing each to
    // sink; false, having said why, when they cannot all be read.
    template <class Sink>
    bool ReadBytes(Sink sink);
    // Checks the digest resource against the archive's bytes; false, having
    // said why (one line), when it does not match or cannot be read.
    bool CheckDigest();

private:
    std::string m_path;
    ToolFile m_file;
    FileWindow m_window;
    bool m_program = false, m_hasDigest = false;
    uint64_t m_offset = 0, m_size = 0;
    std::vector<uint8_t> m_digest;
    EKISAArchive m_archive;  // declared last: closed before what it reads
};

struct EntryInfo {
    std::string stored;              // name as stored (CP932)
    std::vector<std::string> storedParts;  // stored names down to this entry
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
bool ArchiveInput::ReadBytes(Sink sink) {
    std::vector<uint8_t> buffer(kChunk);
    uint64_t done = 0;
    m_file.Seek(int32_t(m_offset), ESLFileObject::FromBegin);
    while (done < m_size) {
        const uint32_t want = uint32_t(m_size - done < kChunk ? m_size - done : kChunk);
        const uint32_t got = m_file.Read(buffer.data(), want);
        if (got != want) {
            Error(m_path + (got == 0 ? ": cannot read it: " + LastErrorText() : ": it changed while it was read"));
            return false;
        }
        if (!sink(buffer.data(), got, done)) return false;
        done += got;
    }
    return true;
}

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

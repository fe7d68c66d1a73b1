#include "cli.h"

#include <stdio.h>
#include <string.h>

#include <new>

#include "tool_names.h"

namespace ekisatool {

namespace {

const int kMaxDepth = 256;
const size_t kShownCharacters = 60;

// Start offsets of the characters of a local (UTF-8) name.
std::vector<size_t> CharacterStarts(const std::string& text) {
    std::vector<size_t> starts;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if ((c & 0xC0) != 0x80) starts.push_back(i);
    }
    return starts;
}

// Control characters would reach the terminal as commands.
std::string Escaped(const std::string& text) {
    std::string out;
    for (char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F) {
            char hex[8];
            snprintf(hex, sizeof(hex), "\\x%02X", c);
            out += hex;
        } else {
            out += ch;
        }
    }
    return out;
}

bool WalkLevel(const std::string& archivePath, EKISAArchive& archive, const std::vector<std::string>& parts,
               const std::vector<std::string>& storedParts, int depth, Visitor& visitor) {
    EKISADirectory* level = archive.GetCurrentLevel();
    if (level == nullptr) return false;
    std::vector<EntryInfo> entries;
    for (unsigned i = 0; i < level->GetSize(); ++i) {
        const EKISAFileEntry* e = level->GetAt(i);
        if (e == nullptr) continue;
        EntryInfo info;
        info.stored = e->name != nullptr ? e->name : "";
        info.storedParts = storedParts;
        info.storedParts.push_back(info.stored);
        std::string local;
        info.nameOk = FromArchiveName(info.stored, &local);
        info.parts = parts;
        info.parts.push_back(local);
        for (size_t k = 0; k < info.parts.size(); ++k) info.display += (k ? "/" : "") + info.parts[k];
        info.reachable = level->FindEntry(e->name) == e;
        info.directory = e->IsDirectory();
        info.size = e->fileSize;
        info.encodeType = e->encodeType;
        info.time = e->fileTime;
        entries.push_back(info);
    }
    bool ok = true;
    for (const EntryInfo& info : entries) {
        if (!visitor.Visit(archive, info)) ok = false;
        if (!info.directory || !info.reachable) continue;  // the visitor has reported a hidden one
        const std::string where = archivePath + ": " + Shown(info.display);
        if (depth >= kMaxDepth) {
            Error(where + ": folders nested too deeply");
            ok = false;
            continue;
        }
        if (archive.DescendDirectory(info.stored.c_str(), nullptr) != eslResultSuccess) {
            Error(where + ": damaged folder entry");
            ok = false;
            continue;
        }
        if (!WalkLevel(archivePath, archive, info.parts, info.storedParts, depth + 1, visitor)) ok = false;
        archive.AscendDirectory();
    }
    return ok;
}

std::string g_traces;
void CollectTrace(const char* text) { g_traces += text; }

Verbosity g_verbosity = kNormal;
bool g_progressHidden = false;
// The progress line on the terminal: its width, to wipe it, and when it
// was last drawn, to draw it at most ten times a second.
size_t g_statusWidth = 0;
double g_statusDrawn = -1;
const double kRedrawInterval = 0.1;

void ClearStatus() {
    if (g_statusWidth == 0) return;
    WriteText(stderr, "\r" + std::string(g_statusWidth, ' ') + "\r");
    g_statusWidth = 0;
}

// The code point that starts at text[*at], which moves past it; malformed
// bytes count as one character each.
uint32_t NextCodePoint(const std::string& text, size_t* at) {
    const unsigned char c = static_cast<unsigned char>(text[*at]);
    const int length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    if (length == 1 || *at + size_t(length) > text.size()) {
        ++*at;
        return c;
    }
    uint32_t code = c & (0x3F >> (length - 1));
    for (int k = 1; k < length; ++k) code = code << 6 | (static_cast<unsigned char>(text[*at + size_t(k)]) & 0x3F);
    *at += size_t(length);
    return code;
}

int CodePointWidth(uint32_t c) {
    if ((c >= 0x0300 && c < 0x0370) || (c >= 0x3099 && c <= 0x309A)) return 0;  // combining marks
    const bool wide = (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF && c != 0x303F) ||
                      (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
                      (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
                      (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) || (c >= 0x20000 && c <= 0x3FFFD);
    return wide ? 2 : 1;
}

// The end of text in at most width columns, "..." marking what was cut.
std::string FitEnd(const std::string& text, size_t width) {
    if (DisplayWidth(text) <= width) return text;
    std::vector<size_t> starts;
    std::vector<int> widths;
    for (size_t at = 0; at < text.size();) {
        starts.push_back(at);
        widths.push_back(CodePointWidth(NextCodePoint(text, &at)));
    }
    size_t used = 3, from = starts.size();
    while (from > 0 && used + size_t(widths[from - 1]) <= width) used += size_t(widths[--from]);
    return "..." + (from < starts.size() ? text.substr(starts[from]) : std::string());
}

// 12 B, 34.5 kB, 6.7 MB, 1.23 GB (decimal units).
std::string Amount(double n) {
    char text[32];
    if (n < 1e3)
        snprintf(text, sizeof(text), "%.0f B", n);
    else if (n < 1e6)
        snprintf(text, sizeof(text), "%.1f kB", n / 1e3);
    else if (n < 1e9)
        snprintf(text, sizeof(text), "%.1f MB", n / 1e6);
    else
        snprintf(text, sizeof(text), "%.2f GB", n / 1e9);
    return text;
}

// 0:07, 12:34, 1:02:03.
std::string Duration(double seconds) {
    const uint64_t s = seconds < 359999 ? uint64_t(seconds + 0.5) : 359999;
    char text[32];
    if (s >= 3600)
        snprintf(text, sizeof(text), "%u:%02u:%02u", unsigned(s / 3600), unsigned(s / 60 % 60), unsigned(s % 60));
    else
        snprintf(text, sizeof(text), "%u:%02u", unsigned(s / 60), unsigned(s % 60));
    return text;
}

bool IsCrypt(uint32_t encodeType) { return encodeType == ekisaEncodeBshfCrypt || encodeType == ekisaEncodeCrypt; }

}  // namespace

int UsageError(const char* command, const std::string& what) {
    if (command != nullptr)
        WriteText(stderr, std::string("ekisa ") + command + ": " + what + " (see 'ekisa " + command + " --help')\n");
    else
        WriteText(stderr, "ekisa: " + what + " (see 'ekisa --help')\n");
    return kExitUsage;
}

void Error(const std::string& text) {
    ClearStatus();
    WriteText(stderr, "ekisa: " + text + "\n");
}

void Warning(const std::string& text) {
    ClearStatus();
    WriteText(stderr, "ekisa: warning: " + text + "\n");
}

void Note(const std::string& text) {
    if (g_verbosity == kQuiet) return;
    ClearStatus();
    WriteText(stderr, "ekisa: " + text + "\n");
}

Verbosity CurrentVerbosity() { return g_verbosity; }

bool TakeSharedOption(const std::string& a, bool* optionsDone, std::string* problem) {
    if (a == "--") {
        *optionsDone = true;
        return true;
    }
    if (a != "-v" && a != "-q") {
        *problem = UnknownOption(a);
        return false;
    }
    const Verbosity wanted = a == "-v" ? kVerbose : kQuiet;
    if (g_verbosity != kNormal && g_verbosity != wanted) {
        *problem = "-v and -q exclude each other";
        return false;
    }
    g_verbosity = wanted;
    return true;
}

void EntryLine(const std::string& path) {
    if (g_verbosity != kVerbose) return;
    ClearStatus();
    WriteText(stderr, path + "\n");
}

size_t DisplayWidth(const std::string& text) {
    size_t width = 0;
    for (size_t at = 0; at < text.size();) width += size_t(CodePointWidth(NextCodePoint(text, &at)));
    return width;
}

std::string Grouped(uint64_t n) {
    std::string digits = std::to_string(n), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

std::string UnknownOption(const std::string& a) {
    if (a.empty() || a[0] != '-') return std::string();
    return "unknown option " + Quoted(Printable(a)) + " (a file whose name begins with '-' goes after --)";
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string Printable(const std::string& name) { return Escaped(name); }

std::string Shown(const std::string& name) {
    const std::vector<size_t> starts = CharacterStarts(name);
    if (starts.size() <= kShownCharacters) return Escaped(name);
    const size_t keep = (kShownCharacters - 3) / 2;
    return Escaped(name.substr(0, starts[keep])) + "..." + Escaped(name.substr(starts[starts.size() - keep]));
}

bool PasswordArgument(const std::string& local, std::string* stored) {
    if (!ToArchiveText(local, stored)) {
        Error("the password cannot be written in Shift-JIS (CP932)");
        return false;
    }
    return true;
}

// The reader went away: the progress line must not outlive the program.
[[noreturn]] void EndOnClosedOutput() {
    ClearStatus();
    EndOnClosedPipe();
}

bool WriteOut(const void* data, size_t n, std::string* why) {
    if (fwrite(data, 1, n, stdout) == n) return true;
    if (LastWriteHitClosedPipe()) EndOnClosedOutput();
    *why = LastErrorText();
    return false;
}

bool FlushOut(std::string* why) {
    if (fflush(stdout) == 0) return true;
    if (LastWriteHitClosedPipe()) EndOnClosedOutput();
    *why = LastErrorText();
    return false;
}

Progress::Progress(const std::string& label, uint64_t total)
    : m_label(label), m_total(total), m_done(0),
      m_enabled(!g_progressHidden && g_verbosity != kQuiet && total > 0 && StderrIsTerminal()), m_start(NowSeconds()) {
    // A reader that goes away must not leave the line behind.
    if (m_enabled) DeferClosedPipe();
}

Progress::~Progress() {
    if (m_enabled) ClearStatus();
}

void Progress::Add(uint64_t bytes) {
    m_done += bytes;
    // A line for what is already done would only flash.
    if (!m_enabled || m_done >= m_total) return;
    const double now = NowSeconds();
    if (g_statusDrawn >= 0 && now - g_statusDrawn < kRedrawInterval) return;
    g_statusDrawn = now;
    const double elapsed = now - m_start;
    const double rate = elapsed > 1e-3 ? double(m_done) / elapsed : 0;
    char share[8];
    snprintf(share, sizeof(share), "%3u%%", unsigned(m_done * 100 / m_total));
    const std::string figures = std::string(share) + "  " + Amount(double(m_done)) + " of " +
                                Amount(double(m_total)) + "  " +
                                (rate > 0 ? Amount(rate) + "/s  " + Duration(double(m_total - m_done) / rate)
                                          : std::string("--/s  --:--")) +
                                " left";
    // One column short of the width: a full line would move the cursor on.
    const size_t columns = size_t(StderrColumns() > 1 ? StderrColumns() - 1 : 1);
    std::string line = figures;
    const size_t room = columns > figures.size() + 2 ? columns - figures.size() - 2 : 0;
    if (room >= 12) {
        line = FitEnd(Printable(m_label), room) + ": " + figures;
    } else if (line.size() > columns) {
        line.resize(columns);  // the figures are ASCII
    }
    const size_t shown = DisplayWidth(line);
    WriteText(stderr, "\r" + line + (shown < g_statusWidth ? std::string(g_statusWidth - shown, ' ') : ""));
    if (shown > g_statusWidth) g_statusWidth = shown;
}

void HideProgress() { g_progressHidden = true; }

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes) {
    const FileStatus status = GetTargetStatus(path);
    if (!status.exists || status.isDirectory) {
        Error(path + (status.exists ? ": is a folder" : ": no such file"));
        return false;
    }
    if (status.size > kMaxProgram) {
        Error(path + ": too large for a patch installer (Windows maps no program of 2 GiB)");
        return false;
    }
    ToolFile file;
    if (file.Open(path, ESLFileObject::modeRead | ESLFileObject::shareRead) != eslResultSuccess) {
        Error(path + ": cannot open: " + LastErrorText());
        return false;
    }
    try {
        bytes->resize(size_t(status.size));
    } catch (const std::bad_alloc&) {
        Error(path + ": not enough memory to read it");
        return false;
    }
    uint32_t done = 0;
    while (done < bytes->size()) {
        const uint32_t n = file.Read(bytes->data() + done, uint32_t(bytes->size()) - done);
        if (n == 0) break;
        done += n;
    }
    if (done != bytes->size()) {
        Error(path + ": file changed while it was read");
        return false;
    }
    return true;
}

std::string ResourceName(uint16_t id) { return "\"" + std::string(kPatchDataType) + "\" " + std::to_string(id); }

std::string PatchDataName() { return ResourceName(kPatchDataId); }

bool IsProgramFile(ToolFile& file) {
    uint8_t head[2];
    const bool program = file.Seek(0, ESLFileObject::FromBegin) == 0 && file.Read(head, 2) == 2 && head[0] == 'M' &&
                         head[1] == 'Z';
    file.Seek(0, ESLFileObject::FromBegin);
    return program;
}

peresource::ImageReader ReaderOf(ToolFile& file, uint64_t size) {
    peresource::ImageReader reader;
    reader.size = size;
    reader.read = [&file](uint64_t offset, size_t n, uint8_t* dst) {
        return offset <= 0x7FFFFFFFu && file.Seek(int32_t(offset), ESLFileObject::FromBegin) == offset &&
               file.Read(dst, uint32_t(n)) == n;
    };
    return reader;
}

void FileWindow::Open(ESLFileObject* file, uint32_t base, uint32_t size) {
    m_file = file;
    m_base = base;
    m_size = size;
    m_position = 0;
    m_attributes = modeRead;
}

uint32_t FileWindow::Read(void* dst, uint32_t bytes) {
    if (m_file == nullptr || m_position >= m_size) return 0;
    if (bytes > m_size - m_position) bytes = m_size - m_position;
    if (m_file->Seek(int32_t(m_base + m_position), FromBegin) != m_base + m_position) return 0;
    const uint32_t got = m_file->Read(dst, bytes);
    m_position += got;
    return got;
}

uint32_t FileWindow::Seek(int32_t offset, int method) {
    int64_t target = offset;
    if (method == FromCurrent) target += m_position;
    if (method == FromEnd) target += m_size;
    m_position = uint32_t(target < 0 ? 0 : target > int64_t(m_size) ? m_size : target);
    return m_position;
}

bool ArchiveInput::Open(const std::string& path, const std::string& consequence) {
    m_path = path;
    const FileStatus status = GetTargetStatus(path);
    if (!status.exists) {
        Error(path + ": no such file");
        return false;
    }
    if (status.isDirectory) {
        Error(path + ": is a folder");
        return false;
    }
    if (m_file.Open(path, ESLFileObject::modeRead | ESLFileObject::shareRead) != eslResultSuccess) {
        Error(path + ": cannot open: " + LastErrorText());
        return false;
    }
    m_program = IsProgramFile(m_file);
    m_offset = 0;
    m_size = status.size;
    if (m_program) {
        const peresource::ImageReader reader = ReaderOf(m_file, status.size);
        const peresource::ResourceKey type = peresource::ResourceKey::Name(kPatchDataType);
        bool found = false;
        std::string why = peresource::LocateResource(reader, type, peresource::ResourceKey::Id(kPatchDataId), &found,
                                                     &m_offset, &m_size);
        if (!why.empty()) {
            Error(path + ": a Windows program that cannot be read: " + why);
            return false;
        }
        if (!found) {
            Error(path + ": a Windows program without patch data (no resource " + PatchDataName() +
                  "); not a patch installer");
            return false;
        }
        uint64_t digestAt = 0, digestSize = 0;
        peresource::LocateResource(reader, type, peresource::ResourceKey::Id(kDigestId), &m_hasDigest, &digestAt,
                                   &digestSize);
        if (m_hasDigest) {
            // More than a record would hold is damage too; read what tells so.
            m_digest.resize(size_t(digestSize < 64 ? digestSize : 64));
            if (!reader.read(digestAt, m_digest.size(), m_digest.data())) m_digest.clear();
            if (digestSize != m_digest.size()) m_digest.push_back(0);
        }
    } else if (status.size > kMaxArchive) {
        Error(path + ": too large for an EKISA archive (" + Grouped(status.size) + " bytes; an archive holds at most " +
              Grouped(kMaxArchive) + ", its positions being 32-bit)" + consequence);
        return false;
    }
    m_window.Open(&m_file, uint32_t(m_offset), uint32_t(m_size));
    if (m_archive.Open(&m_window, nullptr) == eslResultSuccess) return true;
    static const uint8_t kMagic[8] = {'D', 'a', 'd', 'e', 'z', 0x1A, 0, 0};
    uint8_t magic[8];
    m_window.Seek(0, ESLFileObject::FromBegin);
    const bool damaged = m_window.Read(magic, 8) == 8 && memcmp(magic, kMagic, 8) == 0;
    const std::string why = damaged ? "damaged EKISA archive (its directory cannot be read)" : "not an EKISA archive";
    if (!m_program)
        Error(path + ": " + why + consequence);
    else
        Error(path + ": its patch data (resource " + PatchDataName() + ") is " + (damaged ? "a " : "") + why +
              consequence);
    return false;
}

bool ArchiveInput::CheckDigest() {
    const std::string where = m_path + ": the digest recorded in the program (resource " + ResourceName(kDigestId) + ")";
    if (m_digest.size() != kDigestRecordSize || memcmp(m_digest.data(), kDigestTag, sizeof(kDigestTag)) != 0) {
        Error(where + " is damaged (not the " + std::to_string(kDigestRecordSize) +
              " bytes of \"SHA-256\" and a digest); the installer would refuse to start");
        return false;
    }
    Sha256 sha;
    if (!ReadBytes([&sha](const uint8_t* data, uint32_t n, uint64_t) {
            sha.Add(data, n);
            return true;
        }))
        return false;
    uint8_t digest[Sha256::kSize];
    std::string why;
    if (!sha.Finish(digest, &why)) {
        Error(m_path + ": " + why);
        return false;
    }
    if (memcmp(digest, m_digest.data() + sizeof(kDigestTag), Sha256::kSize) != 0) {
        Error(m_path + ": the patch data does not match the digest recorded in the program; the installer would "
                       "refuse to start");
        return false;
    }
    return true;
}

bool Walk(const std::string& archivePath, EKISAArchive& archive, Visitor& visitor) {
    return WalkLevel(archivePath, archive, std::vector<std::string>(), std::vector<std::string>(), 0, visitor);
}

std::string OpenEntry(EKISAArchive& archive, const std::string& stored, uint32_t encodeType, const char* password) {
    if (ekisaGetEncodeKeyword(encodeType) == nullptr)
        return "unknown encode type " + FormatEncodeType(encodeType) + "; cannot read it";
    // The library says what it refused only in its trace.
    g_traces.clear();
    ESLDebugSink previous = eslSetDebugSink(CollectTrace);
    const ESLResult opened = archive.DescendFile(stored.c_str(), password, 1);
    eslSetDebugSink(previous);
    if (opened == eslResultSuccess) return std::string();
    if (g_traces.find("のファイルサイズがデータレコードと一致しません") != std::string::npos)
        return "damaged raw entry: its size in the directory differs from the size of its data";
    if (g_traces.find("のデータ位置が不正です") != std::string::npos)
        return "damaged entry: its data lies outside the archive";
    if (g_traces.find("復号用のメモリを確保できませんでした") != std::string::npos)
        return "not enough memory to decode it";
    return "damaged entry: its data record cannot be read";
}

std::string DescribeReadFailure(uint64_t done, uint64_t total, uint32_t encodeType, bool password) {
    std::string what = done != total ? "decoding stopped after " + std::to_string(done) + " of " +
                                           std::to_string(total) + " bytes"
                                     : "checksum mismatch";
    if (!IsCrypt(encodeType)) return "damaged entry (" + what + ")";
    return "wrong password, or the entry is damaged (" + what +
           (password ? ")" : "; no -p was given, so the default password was tried)");
}

bool ReplacingOutput::Begin() {
    const FileStatus existing = GetStatus(m_target);
    if (existing.exists && (existing.isDirectory || !m_force)) {
        Error(m_target + (existing.isDirectory ? ": is a folder" : ": exists (use -f to replace it)"));
        return false;
    }
    std::string why;
    if (!MakeTempFile(DirectoryOf(m_target), &m_temp, &why)) {
        Error(m_target + ": cannot create a temporary file in " + DirectoryOf(m_target) + ": " + why);
        return false;
    }
    if (m_file.Open(m_temp, ESLFileObject::modeCreate | ESLFileObject::modeWrite) != eslResultSuccess) {
        Error(m_target + ": cannot write " + m_temp + ": " + LastErrorText());
        RemoveFile(m_temp);
        return false;
    }
    return true;
}

int ReplacingOutput::Finish(std::string problem) {
    m_file.Close();
    std::string why;
    if (problem.empty() && !RenameFile(m_temp, m_target, m_force, &why)) problem = "cannot rename: " + why;
    if (problem.empty()) return kExitOk;
    RemoveFile(m_temp);
    Error(m_target + ": " + problem);
    return kExitFailed;
}

}  // namespace ekisatool

#include "cli.h"

#include <stdio.h>
#include <string.h>

#include <new>

#include "pe_resource.h"
#include "tool_names.h"

namespace ekisatool {

namespace {

const int kMaxDepth = 256;
const size_t kShownCharacters = 60;

// Start offsets of the characters of a local name: UTF-8 on the host,
// Shift-JIS (CP932) on Windows.
std::vector<size_t> CharacterStarts(const std::string& text) {
    std::vector<size_t> starts;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
#if defined(_WIN32)
        starts.push_back(i);
        if (((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) && i + 1 < text.size()) ++i;
#else
        if ((c & 0xC0) != 0x80) starts.push_back(i);
#endif
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
               int depth, Visitor& visitor) {
    EKISADirectory* level = archive.GetCurrentLevel();
    if (level == nullptr) return false;
    std::vector<EntryInfo> entries;
    for (unsigned i = 0; i < level->GetSize(); ++i) {
        const EKISAFileEntry* e = level->GetAt(i);
        if (e == nullptr) continue;
        EntryInfo info;
        info.stored = e->name != nullptr ? e->name : "";
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
        if (!WalkLevel(archivePath, archive, info.parts, depth + 1, visitor)) ok = false;
        archive.AscendDirectory();
    }
    return ok;
}

std::string g_traces;
void CollectTrace(const char* text) { g_traces += text; }

bool IsCrypt(uint32_t encodeType) { return encodeType == ekisaEncodeBshfCrypt || encodeType == ekisaEncodeCrypt; }

}  // namespace

int UsageError(const char* command, const std::string& what) {
    if (command != nullptr)
        fprintf(stderr, "ekisa %s: %s (see 'ekisa %s --help')\n", command, what.c_str(), command);
    else
        fprintf(stderr, "ekisa: %s (see 'ekisa --help')\n", what.c_str());
    return kExitUsage;
}

void Error(const std::string& text) { fprintf(stderr, "ekisa: %s\n", text.c_str()); }

void Warning(const std::string& text) { fprintf(stderr, "ekisa: warning: %s\n", text.c_str()); }

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

bool WriteOut(const void* data, size_t n, std::string* why) {
    if (fwrite(data, 1, n, stdout) == n) return true;
    if (LastWriteHitClosedPipe()) EndOnClosedPipe();
    *why = LastErrorText();
    return false;
}

bool FlushOut(std::string* why) {
    if (fflush(stdout) == 0) return true;
    if (LastWriteHitClosedPipe()) EndOnClosedPipe();
    *why = LastErrorText();
    return false;
}

Progress::Progress(const std::string& label, uint64_t total)
    : m_label(label), m_total(total), m_done(0), m_enabled(StderrIsTerminal()), m_start(NowSeconds()), m_last(0),
      m_shown(false) {}

Progress::~Progress() {
    if (m_shown) fputc('\n', stderr);
}

void Progress::Add(uint64_t bytes) {
    m_done += bytes;
    if (!m_enabled) return;
    const double now = NowSeconds();
    if (now - m_last < 0.2 && m_done < m_total) return;
    m_last = now;
    const double elapsed = now - m_start > 1e-6 ? now - m_start : 1e-6;
    fprintf(stderr, "\r%s: %s of %s bytes, %.1f MB/s   ", Shown(m_label).c_str(), std::to_string(m_done).c_str(),
            std::to_string(m_total).c_str(), double(m_done) / elapsed / 1e6);
    m_shown = true;
}

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
    ERawFile file;
    if (file.Open(path.c_str(), ESLFileObject::modeRead | ESLFileObject::shareRead) != eslResultSuccess) {
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

std::string PatchDataName() { return "\"" + std::string(kPatchDataType) + "\" " + std::to_string(kPatchDataId); }

bool IsProgram(const std::vector<uint8_t>& bytes) { return bytes.size() >= 2 && bytes[0] == 'M' && bytes[1] == 'Z'; }

bool IsProgramFile(const std::string& path) {
    ERawFile file;
    std::vector<uint8_t> head(2);
    return file.Open(path.c_str(), ESLFileObject::modeRead | ESLFileObject::shareRead) == eslResultSuccess &&
           file.Read(head.data(), 2) == 2 && IsProgram(head);
}

bool TakePatchData(const std::string& path, std::vector<uint8_t>* bytes) {
    bool found = false;
    size_t offset = 0, size = 0;
    const std::string why = peresource::LocateResource(*bytes, peresource::ResourceKey::Name(kPatchDataType),
                                                     peresource::ResourceKey::Id(kPatchDataId), &found, &offset, &size);
    if (!why.empty()) {
        Error(path + ": a Windows program that cannot be read: " + why);
        return false;
    }
    if (!found) {
        Error(path + ": a Windows program without patch data (no resource " + PatchDataName() +
              "); not a patch installer");
        return false;
    }
    bytes->resize(offset + size);
    bytes->erase(bytes->begin(), bytes->begin() + long(offset));
    return true;
}

bool ArchiveInput::Open(const std::string& path) {
    const FileStatus status = GetTargetStatus(path);
    if (!status.exists) {
        Error(path + ": no such file");
        return false;
    }
    if (status.isDirectory) {
        Error(path + ": is a folder");
        return false;
    }
    ESLFileObject* source = &m_file;
    if (IsProgramFile(path)) {
        if (!ReadWholeFile(path, &m_data) || !TakePatchData(path, &m_data)) return false;
        m_memory.Open(m_data.data(), uint32_t(m_data.size()));
        source = &m_memory;
    } else if (m_file.Open(path.c_str(), ESLFileObject::modeRead | ESLFileObject::shareRead) != eslResultSuccess) {
        Error(path + ": cannot open: " + LastErrorText());
        return false;
    }
    if (m_archive.Open(source, nullptr) == eslResultSuccess) return true;
    static const uint8_t kMagic[8] = {'D', 'a', 'd', 'e', 'z', 0x1A, 0, 0};
    uint8_t magic[8];
    source->Seek(0, ESLFileObject::FromBegin);
    const bool damaged = source->Read(magic, 8) == 8 && memcmp(magic, kMagic, 8) == 0;
    const std::string why = damaged ? "damaged EKISA archive (its directory cannot be read)" : "not an EKISA archive";
    if (source == &m_file)
        Error(path + ": " + why);
    else
        Error(path + ": its patch data (resource " + PatchDataName() + ") is " + (damaged ? "a " : "") + why);
    return false;
}

bool Walk(const std::string& archivePath, EKISAArchive& archive, Visitor& visitor) {
    return WalkLevel(archivePath, archive, std::vector<std::string>(), 0, visitor);
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
        Error(m_target + ": cannot create a temporary file: " + why);
        return false;
    }
    return true;
}

int ReplacingOutput::Finish(std::string problem) {
    std::string why;
    if (problem.empty() && !RenameFile(m_temp, m_target, m_force, &why)) problem = "cannot rename: " + why;
    if (problem.empty()) return kExitOk;
    RemoveFile(m_temp);
    Error(m_target + ": " + problem);
    return kExitFailed;
}

}  // namespace ekisatool

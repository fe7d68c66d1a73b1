// ekisa: create, list, verify and unpack EKISA archives.
//
// Data goes to stdout; messages and progress go to stderr. Exit codes: 0 when
// everything worked, 1 for a bad archive or a failed entry, 2 for a usage error.
//
// Files are fed to the archive in Write calls of exactly 65,536 bytes (the
// last one shorter). The EKISA coder's output depends on how its input is
// split, so a fixed split, the order of the command line and time stamps from
// SOURCE_DATE_EPOCH (when set) make the same inputs give the same bytes.

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "ekisa/ekisa_archive.h"
#include "tool_names.h"
#include "tool_system.h"

using namespace ekisatool;

namespace {

enum { kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };

const uint32_t kChunk = 65536;
// Archive positions are 32-bit and moved with signed offsets.
const uint64_t kMaxEntrySize = 0x7FFF0000u;
const int kMaxDepth = 256;

const char kUsage[] =
    "usage: ekisa create ARCHIVE [-f] [-C DIR] [-t TYPE] [-p PASSWORD] FILE...\n"
    "       ekisa list ARCHIVE\n"
    "       ekisa extract ARCHIVE [-o DIR] [-f] [-p PASSWORD] [NAME...]\n"
    "       ekisa verify ARCHIVE [-p PASSWORD]\n"
    "       ekisa cat ARCHIVE NAME [-p PASSWORD]\n"
    "\n"
    "create: -C DIR, -t TYPE and -p PASSWORD apply to the FILEs after them.\n"
    "  TYPE is raw (default), ekisa_code, bshf_crypt or ekisa_crypt; the\n"
    "  password is used by bshf_crypt and ekisa_crypt (the coder's default\n"
    "  when none is given). FILE a/b.txt is stored as b.txt in folder a.\n"
    "  Files are fed to the coder in 65,536-byte pieces, so the same files,\n"
    "  options and order give the same archive; time stamps come from\n"
    "  SOURCE_DATE_EPOCH when it is set, else from the files (UTC).\n"
    "-f replaces existing files; without it they are left alone.\n"
    "Exit status: 0 ok, 1 bad archive or failed entry, 2 usage.\n";

int Usage(const std::string& message) {
    if (!message.empty()) fprintf(stderr, "ekisa: %s\n", message.c_str());
    fputs(kUsage, stderr);
    return kExitUsage;
}

void Error(const std::string& text) { fprintf(stderr, "ekisa: %s\n", text.c_str()); }

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// Bytes done of a total and the rate, on one terminal line.
class Progress {
public:
    Progress(const std::string& label, uint64_t total)
        : m_label(label), m_total(total), m_done(0), m_enabled(StderrIsTerminal()), m_start(NowSeconds()),
          m_last(0), m_shown(false) {}
    ~Progress() {
        if (m_shown) fputc('\n', stderr);
    }
    void Add(uint64_t bytes) {
        m_done += bytes;
        if (!m_enabled) return;
        double now = NowSeconds();
        if (now - m_last < 0.2 && m_done < m_total) return;
        m_last = now;
        double elapsed = now - m_start > 1e-6 ? now - m_start : 1e-6;
        fprintf(stderr, "\r%s: %s of %s bytes, %.1f MB/s   ", m_label.c_str(), std::to_string(m_done).c_str(),
                std::to_string(m_total).c_str(), double(m_done) / elapsed / 1e6);
        m_shown = true;
    }

private:
    std::string m_label;
    uint64_t m_total;
    uint64_t m_done;
    bool m_enabled;
    double m_start;
    double m_last;
    bool m_shown;
};

// ---------------------------------------------------------------------------
// Reading archives

bool OpenArchive(const std::string& path, ERawFile* file, EKISAArchive* archive) {
    FileStatus status = GetTargetStatus(path);
    if (!status.exists) {
        Error(path + ": no such file");
        return false;
    }
    if (status.isDirectory) {
        Error(path + ": is a folder");
        return false;
    }
    if (file->Open(path.c_str(), ESLFileObject::modeRead | ESLFileObject::shareRead) != eslResultSuccess) {
        Error(path + ": cannot open: " + LastErrorText());
        return false;
    }
    if (archive->Open(file, nullptr) == eslResultSuccess) return true;
    static const uint8_t kMagic[8] = {'D', 'a', 'd', 'e', 'z', 0x1A, 0, 0};
    uint8_t magic[8];
    file->Seek(0, ESLFileObject::FromBegin);
    if (file->Read(magic, 8) == 8 && memcmp(magic, kMagic, 8) == 0)
        Error(path + ": damaged EKISA archive (its directory cannot be read)");
    else
        Error(path + ": not an EKISA archive");
    return false;
}

struct EntryInfo {
    std::string stored;                // name as stored (CP932)
    std::vector<std::string> parts;    // local path components down to this entry
    std::string display;               // parts joined with '/'
    bool nameOk = true;                // the stored name converts to a local name
    bool reachable = true;             // no earlier entry of the level answers to the same name
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

bool Walk(const std::string& archivePath, EKISAArchive& archive, const std::vector<std::string>& parts, int depth,
          Visitor& visitor) {
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
        if (!info.directory) continue;
        if (!info.reachable) continue;  // the visitor has reported it
        if (depth >= kMaxDepth) {
            Error(archivePath + ": " + info.display + ": folders nested too deeply");
            ok = false;
            continue;
        }
        if (archive.DescendDirectory(info.stored.c_str(), nullptr) != eslResultSuccess) {
            Error(archivePath + ": " + info.display + ": damaged folder entry");
            ok = false;
            continue;
        }
        if (!Walk(archivePath, archive, info.parts, depth + 1, visitor)) ok = false;
        archive.AscendDirectory();
    }
    return ok;
}

// Reads the open entry to its end, handing each chunk to sink. Returns an
// empty text on success, else what went wrong.
template <class Sink>
std::string ReadEntry(EKISAArchive& archive, const std::string& label, Sink sink) {
    std::vector<uint8_t> buffer(kChunk);
    uint64_t total = archive.GetLength();
    uint64_t done = 0;
    Progress progress(label, total);
    std::string problem;
    for (;;) {
        uint32_t count = archive.Read(buffer.data(), kChunk);
        if (count > 0 && !sink(buffer.data(), count)) {
            problem = "write error: " + LastErrorText();
            break;
        }
        done += count;
        progress.Add(count);
        if (count < kChunk) break;
    }
    // Streamed entries check their checksum only after the last byte.
    ESLResult closed = archive.AscendFile();
    if (!problem.empty()) return problem;
    if (done != total)
        return "damaged entry: " + std::to_string(done) + " of " + std::to_string(total) + " bytes could be read";
    if (closed != eslResultSuccess) return "checksum mismatch (damaged entry or wrong password)";
    return std::string();
}

bool PasswordArgument(const std::string& local, std::string* stored) {
    if (!ToArchiveText(local, stored)) {
        Error("the password cannot be written in Shift-JIS (CP932)");
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// list

class ListVisitor : public Visitor {
public:
    bool Visit(EKISAArchive&, const EntryInfo& e) override {
        std::string size = e.directory ? "-" : std::to_string(e.size);
        std::string type = e.directory ? "folder" : FormatEncodeType(e.encodeType);
        printf("%12s  %-11s  %s  %s%s\n", size.c_str(), type.c_str(), FormatTime(e.time).c_str(), e.display.c_str(),
               e.directory ? "/" : "");
        return true;
    }
};

int CommandList(const std::vector<std::string>& args) {
    if (args.size() != 1) return Usage(args.empty() ? "list: ARCHIVE missing" : "list: too many arguments");
    const std::string& path = args[0];
    ERawFile file;
    EKISAArchive archive;
    if (!OpenArchive(path, &file, &archive)) return kExitFailed;
    ListVisitor visitor;
    bool ok = Walk(path, archive, std::vector<std::string>(), 0, visitor);
    if (fflush(stdout) != 0) ok = false;
    return ok ? kExitOk : kExitFailed;
}

// ---------------------------------------------------------------------------
// verify

class VerifyVisitor : public Visitor {
public:
    VerifyVisitor(const std::string& path, const char* password) : m_path(path), m_password(password) {}
    bool Visit(EKISAArchive& archive, const EntryInfo& e) override {
        if (!e.reachable) {
            Error(m_path + ": " + e.display + ": hidden by an earlier entry of the same name");
            return false;
        }
        if (e.directory) return true;
        if (archive.DescendFile(e.stored.c_str(), m_password, 1) != eslResultSuccess) {
            Error(m_path + ": " + e.display + ": cannot open entry (damaged, or unknown encode type " +
                  FormatEncodeType(e.encodeType) + ")");
            return false;
        }
        std::string problem = ReadEntry(archive, e.display, [](const uint8_t*, uint32_t) { return true; });
        if (!problem.empty()) {
            Error(m_path + ": " + e.display + ": " + problem);
            return false;
        }
        ++files;
        bytes += e.size;
        return true;
    }
    uint64_t files = 0;
    uint64_t bytes = 0;

private:
    std::string m_path;
    const char* m_password;
};

int CommandVerify(const std::vector<std::string>& args) {
    std::string path, password;
    bool havePassword = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-p") {
            if (++i == args.size()) return Usage("-p needs a PASSWORD");
            if (!PasswordArgument(args[i], &password)) return kExitUsage;
            havePassword = true;
        } else if (path.empty() && (args[i].empty() || args[i][0] != '-')) {
            path = args[i];
        } else {
            return Usage("verify: unexpected argument " + Quoted(args[i]));
        }
    }
    if (path.empty()) return Usage("verify: ARCHIVE missing");
    ERawFile file;
    EKISAArchive archive;
    if (!OpenArchive(path, &file, &archive)) return kExitFailed;
    VerifyVisitor visitor(path, havePassword ? password.c_str() : nullptr);
    bool ok = Walk(path, archive, std::vector<std::string>(), 0, visitor);
    if (!ok) {
        Error(path + ": verification failed");
        return kExitFailed;
    }
    fprintf(stderr, "ekisa: %s: %s files, %s bytes verified\n", path.c_str(), std::to_string(visitor.files).c_str(),
            std::to_string(visitor.bytes).c_str());
    return kExitOk;
}

// ---------------------------------------------------------------------------
// extract

// Makes sure path is a real folder (not a link), creating it if missing.
bool EnsureFolder(const std::string& path, std::string* why) {
    FileStatus status = GetStatus(path);
    if (!status.exists) return MakeDirectory(path, why);
    if (status.isDirectory && !status.isLink) return true;
    *why = path + " exists and is not a folder";
    return false;
}

class ExtractVisitor : public Visitor {
public:
    ExtractVisitor(const std::string& path, const std::string& out, const std::vector<std::string>& names, bool force,
                   const char* password)
        : matched(names.size(), false), m_path(path), m_out(out), m_names(names), m_force(force),
          m_password(password) {}

    bool Visit(EKISAArchive& archive, const EntryInfo& e) override {
        if (!Selected(e.display)) return true;
        std::string where = m_path + ": " + e.display;
        if (!e.nameOk) {
            Error(where + ": name is not valid Shift-JIS (CP932); skipped");
            return false;
        }
        if (!e.reachable) {
            Error(where + ": hidden by an earlier entry of the same name; skipped");
            return false;
        }
        std::string why;
        for (const std::string& part : e.parts) {
            if (!IsSafeComponent(part, &why)) {
                Error(where + ": unsafe name (" + why + "); skipped");
                return false;
            }
        }
        std::string folder = m_out;
        for (size_t i = 0; i + 1 < e.parts.size(); ++i) {
            folder = JoinPath(folder, e.parts[i]);
            if (!EnsureFolder(folder, &why)) {
                Error(where + ": " + why);
                return false;
            }
        }
        std::string target = JoinPath(folder, e.parts.back());
        if (e.directory) {
            if (!EnsureFolder(target, &why)) {
                Error(where + ": " + why);
                return false;
            }
            return true;
        }
        FileStatus status = GetStatus(target);
        if (status.exists && (status.isDirectory || !m_force)) {
            Error(where + ": " + target + (status.isDirectory ? " is a folder" : " exists (use -f to replace it)"));
            return false;
        }
        if (archive.DescendFile(e.stored.c_str(), m_password, 1) != eslResultSuccess) {
            Error(where + ": cannot open entry (damaged, or unknown encode type " + FormatEncodeType(e.encodeType) +
                  ")");
            return false;
        }
        // The entry lands under its name only once it was read whole and
        // its checksum matched.
        std::string temp;
        if (!MakeTempFile(folder, &temp, &why)) {
            archive.AscendFile();
            Error(where + ": cannot create a temporary file in " + folder + ": " + why);
            return false;
        }
        ERawFile output;
        std::string problem;
        if (output.Open(temp.c_str(), ESLFileObject::modeCreate | ESLFileObject::modeWrite) != eslResultSuccess) {
            archive.AscendFile();
            problem = "cannot write " + temp + ": " + LastErrorText();
        } else {
            problem = ReadEntry(archive, e.display,
                                [&output](const uint8_t* data, uint32_t n) { return output.Write(data, n) == n; });
        }
        output.Close();
        if (problem.empty()) {
            SetModificationTime(temp, UnixFromTime(e.time));
            if (!RenameFile(temp, target, m_force, &why)) problem = "cannot rename to " + target + ": " + why;
        }
        if (!problem.empty()) {
            RemoveFile(temp);
            Error(where + ": " + problem);
            return false;
        }
        return true;
    }

    std::vector<bool> matched;

private:
    bool Selected(const std::string& display) {
        if (m_names.empty()) return true;
        bool selected = false;
        for (size_t i = 0; i < m_names.size(); ++i) {
            const std::string& name = m_names[i];
            if (display == name || (display.size() > name.size() && display.compare(0, name.size(), name) == 0 &&
                                    display[name.size()] == '/')) {
                matched[i] = true;
                selected = true;
            }
        }
        return selected;
    }

    std::string m_path;
    std::string m_out;
    std::vector<std::string> m_names;
    bool m_force;
    const char* m_password;
};

// Creates the output folder and its missing parents (the user named it).
bool EnsureOutputFolder(const std::string& path) {
    FileStatus status = GetTargetStatus(path);
    if (status.exists) {
        if (status.isDirectory) return true;
        Error(path + ": not a folder");
        return false;
    }
    std::string parent = DirectoryOf(path);
    if (parent != path && parent != "." && parent != "/" && !EnsureOutputFolder(parent)) return false;
    std::string why;
    if (!MakeDirectory(path, &why) && !GetTargetStatus(path).isDirectory) {
        Error(path + ": cannot create folder: " + why);
        return false;
    }
    return true;
}

int CommandExtract(const std::vector<std::string>& args) {
    std::string path, out = ".", password;
    bool havePassword = false, force = false;
    std::vector<std::string> names;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-o") {
            if (++i == args.size()) return Usage("-o needs a DIR");
            out = args[i];
        } else if (a == "-p") {
            if (++i == args.size()) return Usage("-p needs a PASSWORD");
            if (!PasswordArgument(args[i], &password)) return kExitUsage;
            havePassword = true;
        } else if (a == "-f") {
            force = true;
        } else if (!a.empty() && a[0] == '-') {
            return Usage("extract: unknown option " + Quoted(a));
        } else if (path.empty()) {
            path = a;
        } else {
            std::string name = a;
            while (name.size() > 1 && name[name.size() - 1] == '/') name.erase(name.size() - 1);
            names.push_back(name);
        }
    }
    if (path.empty()) return Usage("extract: ARCHIVE missing");
    if (out.empty()) return Usage("-o needs a DIR");
    ERawFile file;
    EKISAArchive archive;
    if (!OpenArchive(path, &file, &archive)) return kExitFailed;
    if (!EnsureOutputFolder(out)) return kExitFailed;
    ExtractVisitor visitor(path, out, names, force, havePassword ? password.c_str() : nullptr);
    bool ok = Walk(path, archive, std::vector<std::string>(), 0, visitor);
    for (size_t i = 0; i < names.size(); ++i) {
        if (!visitor.matched[i]) {
            Error(path + ": " + names[i] + ": not in the archive");
            ok = false;
        }
    }
    return ok ? kExitOk : kExitFailed;
}

// ---------------------------------------------------------------------------
// cat

int CommandCat(const std::vector<std::string>& args) {
    std::string path, name, password;
    bool havePassword = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-p") {
            if (++i == args.size()) return Usage("-p needs a PASSWORD");
            if (!PasswordArgument(args[i], &password)) return kExitUsage;
            havePassword = true;
        } else if (!a.empty() && a[0] == '-') {
            return Usage("cat: unknown option " + Quoted(a));
        } else if (path.empty()) {
            path = a;
        } else if (name.empty()) {
            name = a;
        } else {
            return Usage("cat: only one NAME");
        }
    }
    if (path.empty() || name.empty()) return Usage("cat: ARCHIVE and NAME needed");
    ERawFile file;
    EKISAArchive archive;
    if (!OpenArchive(path, &file, &archive)) return kExitFailed;

    // NAME is shown by list with '/' between folders; stored paths use '\'.
    std::string folder, leaf, why;
    std::vector<std::string> parts;
    bool found = SplitSourcePath(name, &parts, &why);
    for (size_t i = 0; found && i < parts.size(); ++i) {
        std::string stored;
        found = ToArchiveName(parts[i], &stored, &why);
        if (i + 1 < parts.size())
            folder += stored + "\\";
        else
            leaf = stored;
    }
    EKISAFileEntry* entry = nullptr;
    if (found && archive.ChangeDirectory(folder.c_str()) == eslResultSuccess)
        entry = archive.GetCurrentLevel()->FindEntry(leaf.c_str());
    if (entry == nullptr || entry->IsDirectory()) {
        Error(path + ": " + name + (entry != nullptr ? ": is a folder" : ": not in the archive"));
        return kExitFailed;
    }
    uint32_t encodeType = entry->encodeType;
    if (archive.DescendFile(leaf.c_str(), havePassword ? password.c_str() : nullptr, 1) != eslResultSuccess) {
        Error(path + ": " + name + ": cannot open entry (damaged, or unknown encode type " +
              FormatEncodeType(encodeType) + ")");
        return kExitFailed;
    }
    SetStdoutBinary();
    std::string problem =
        ReadEntry(archive, name, [](const uint8_t* data, uint32_t n) { return fwrite(data, 1, n, stdout) == n; });
    if (problem.empty() && fflush(stdout) != 0) problem = "write error: " + LastErrorText();
    if (!problem.empty()) {
        Error(path + ": " + name + ": " + problem);
        return kExitFailed;
    }
    return kExitOk;
}

// ---------------------------------------------------------------------------
// create

struct Source {
    std::string path;  // as opened
    std::string argument;
    uint32_t encodeType = ekisaEncodeRaw;
    bool havePassword = false;
    std::string password;
};

struct Node {
    std::string stored;
    std::string display;
    bool directory = false;
    EKISAFileTime time = {};
    const Source* source = nullptr;
    uint64_t size = 0;
    std::vector<std::unique_ptr<Node>> children;
};

Node* FindChild(Node& parent, const std::string& stored) {
    for (auto& child : parent.children) {
        if (EKISAEntryList::NamesMatch(child->stored.c_str(), stored.c_str())) return child.get();
    }
    return nullptr;
}

void BuildListing(const Node& node, EKISAEntryList* listing) {
    for (const auto& child : node.children) {
        EKISAFileEntry* entry = new EKISAFileEntry;
        entry->SetName(child->stored.c_str());
        entry->attribute = child->directory ? attrDirectory : 0;
        entry->encodeType = child->directory ? ekisaEncodeRaw : child->source->encodeType;
        entry->fileTime = child->time;
        listing->Add(entry);
    }
}

// Feeds one file in Write calls of exactly kChunk bytes (the last shorter).
std::string FeedFile(EKISAArchive& archive, const Node& node, Progress& progress) {
    ERawFile input;
    if (input.Open(node.source->path.c_str(), ESLFileObject::modeRead | ESLFileObject::shareRead) != eslResultSuccess)
        return "cannot open: " + LastErrorText();
    std::vector<uint8_t> buffer(kChunk);
    uint64_t done = 0;
    for (;;) {
        uint32_t filled = 0;
        while (filled < kChunk) {
            uint32_t n = input.Read(buffer.data() + filled, kChunk - filled);
            if (n == 0) break;
            filled += n;
        }
        if (filled == 0) break;
        if (archive.Write(buffer.data(), filled) != filled) return "cannot write to the archive";
        done += filled;
        progress.Add(filled);
        if (filled < kChunk) break;
    }
    if (done != node.size) return "file changed while it was read";
    return std::string();
}

std::string WriteLevel(EKISAArchive& archive, const Node& node, Progress& progress) {
    for (const auto& child : node.children) {
        std::string problem;
        if (child->directory) {
            EKISAEntryList listing;
            BuildListing(*child, &listing);
            if (archive.DescendDirectory(child->stored.c_str(), &listing) != eslResultSuccess)
                return child->display + ": cannot write folder";
            problem = WriteLevel(archive, *child, progress);
            if (!problem.empty()) return problem;
            if (archive.AscendDirectory() != eslResultSuccess) return child->display + ": cannot write folder";
            continue;
        }
        const Source& source = *child->source;
        const char* password = source.havePassword ? source.password.c_str() : nullptr;
        if (archive.DescendFile(child->stored.c_str(), password, 0) != eslResultSuccess)
            return child->display + ": cannot add entry";
        problem = FeedFile(archive, *child, progress);
        ESLResult closed = archive.AscendFile();
        if (!problem.empty()) return source.argument + ": " + problem;
        if (closed != eslResultSuccess) return child->display + ": cannot finish entry (" +
                                               FormatEncodeType(source.encodeType) + " coder failed)";
    }
    return std::string();
}

int CommandCreate(const std::vector<std::string>& args) {
    std::string archivePath;
    bool force = false;
    std::string base;
    Source current;
    std::vector<std::unique_ptr<Source>> sources;
    bool optionsDone = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (!optionsDone && a == "--") {
            optionsDone = true;
        } else if (!optionsDone && a == "-f") {
            force = true;
        } else if (!optionsDone && a == "-C") {
            if (++i == args.size()) return Usage("-C needs a DIR");
            base = args[i];
        } else if (!optionsDone && a == "-t") {
            if (++i == args.size()) return Usage("-t needs a TYPE");
            if (!ekisaFindEncodeType(args[i].c_str(), &current.encodeType))
                return Usage("unknown encode type " + Quoted(args[i]));
        } else if (!optionsDone && a == "-p") {
            if (++i == args.size()) return Usage("-p needs a PASSWORD");
            if (!PasswordArgument(args[i], &current.password)) return kExitUsage;
            current.havePassword = true;
        } else if (!optionsDone && !a.empty() && a[0] == '-') {
            return Usage("create: unknown option " + Quoted(a));
        } else if (archivePath.empty()) {
            archivePath = a;
        } else {
            std::unique_ptr<Source> source(new Source(current));
            source->argument = a;
            source->path = JoinPath(base, a);
            sources.push_back(std::move(source));
        }
    }
    if (archivePath.empty()) return Usage("create: ARCHIVE missing");
    if (sources.empty()) return Usage("create: no FILE given");

    int64_t epoch = 0;
    const char* epochText = getenv("SOURCE_DATE_EPOCH");
    bool haveEpoch = epochText != nullptr && *epochText != '\0';
    if (haveEpoch && !ParseEpoch(epochText, &epoch)) return Usage("SOURCE_DATE_EPOCH is not a number of seconds");

    // The whole tree is checked before anything is written.
    Node root;
    root.directory = true;
    uint64_t total = 0;
    bool ok = true;
    for (const auto& source : sources) {
        std::vector<std::string> parts;
        std::string why;
        if (!SplitSourcePath(source->argument, &parts, &why)) {
            Error(source->argument + ": " + why);
            ok = false;
            continue;
        }
        FileStatus status = GetTargetStatus(source->path);
        if (!status.exists || !status.isRegular) {
            Error(source->argument + (status.exists ? ": not a regular file" : ": no such file"));
            ok = false;
            continue;
        }
        if (status.size > kMaxEntrySize) {
            Error(source->argument + ": too large for an archive entry");
            ok = false;
            continue;
        }
        Node* node = &root;
        std::string local;
        for (size_t k = 0; k < parts.size() && ok; ++k) {
            std::string stored;
            if (!ToArchiveName(parts[k], &stored, &why)) {
                Error(source->argument + ": " + why);
                ok = false;
                break;
            }
            local = JoinPath(local, parts[k]);
            Node* child = FindChild(*node, stored);
            bool last = k + 1 == parts.size();
            if (child != nullptr && (last || !child->directory)) {
                Error(source->argument + ": the archive already has an entry " + Quoted(child->display) +
                      " (names are compared ignoring ASCII case)");
                ok = false;
                break;
            }
            if (child == nullptr) {
                std::unique_ptr<Node> fresh(new Node);
                fresh->stored = stored;
                fresh->display = local;
                fresh->directory = !last;
                int64_t seconds = haveEpoch ? epoch : GetTargetStatus(JoinPath(base, local)).modified;
                fresh->time = TimeFromUnix(seconds);
                if (last) {
                    fresh->source = source.get();
                    fresh->size = status.size;
                    total += status.size;
                }
                child = fresh.get();
                node->children.push_back(std::move(fresh));
            }
            node = child;
        }
    }
    if (!ok) return kExitFailed;

    FileStatus existing = GetStatus(archivePath);
    if (existing.exists && (existing.isDirectory || !force)) {
        Error(archivePath + (existing.isDirectory ? ": is a folder" : ": exists (use -f to replace it)"));
        return kExitFailed;
    }
    std::string temp, why;
    if (!MakeTempFile(DirectoryOf(archivePath), &temp, &why)) {
        Error(archivePath + ": cannot create a temporary file: " + why);
        return kExitFailed;
    }
    ERawFile output;
    std::string problem;
    if (output.Open(temp.c_str(), ESLFileObject::modeCreate | ESLFileObject::modeWrite) != eslResultSuccess) {
        problem = "cannot write " + temp + ": " + LastErrorText();
    } else {
        EKISAArchive archive;
        EKISAEntryList listing;
        BuildListing(root, &listing);
        if (archive.Open(&output, &listing) != eslResultSuccess) {
            problem = "cannot write the archive header";
        } else {
            Progress progress(archivePath, total);
            problem = WriteLevel(archive, root, progress);
        }
        archive.Close();
        if (problem.empty() && archive.GetWriteResult() != eslResultSuccess) problem = "write error";
    }
    output.Close();
    if (problem.empty() && !RenameFile(temp, archivePath, force, &why)) problem = "cannot rename: " + why;
    if (!problem.empty()) {
        RemoveFile(temp);
        Error(archivePath + ": " + problem);
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage("");
    std::string command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "-h" || command == "--help" || command == "help") {
        fputs(kUsage, stdout);
        return kExitOk;
    }
    if (command == "create") return CommandCreate(args);
    if (command == "list") return CommandList(args);
    if (command == "extract") return CommandExtract(args);
    if (command == "verify") return CommandVerify(args);
    if (command == "cat") return CommandCat(args);
    return Usage("unknown command " + Quoted(command));
}

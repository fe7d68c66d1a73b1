// ekisa create: a new archive from files.
//
// Files are fed to the archive in Write calls of exactly 65,536 bytes (the
// last one shorter). The EKISA coder's output depends on how its input is
// split, so a fixed split, the order of the command line and time stamps from
// SOURCE_DATE_EPOCH (when set) make the same inputs give the same bytes.
#include <stdlib.h>

#include <algorithm>
#include <memory>
#include <set>
#include <utility>

#include "cli.h"
#include "ekisa/encode_context.h"
#include "tool_names.h"

namespace ekisatool {

namespace {

// Archive positions are 32-bit and moved with signed offsets; an entry's
// data must leave room for the records around it.
const uint64_t kMaxEntrySize = 0x7FFF0000u;

bool IsCrypt(uint32_t type) { return type == ekisaEncodeBshfCrypt || type == ekisaEncodeCrypt; }

struct Source {
    std::string path;  // as opened
    std::string argument;
    std::string base;  // the -C folder in force
    uint32_t encodeType = ekisaEncodeRaw;
    bool havePassword = false;
    std::string password;
};

struct Node {
    std::string stored;
    std::string name;  // local, of this level only
    std::string display;
    std::string path;  // on disk
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

// Why a write to the archive failed: the system's reason, or the size limit
// that the archive layer enforces without one.
std::string WriteFailure(ToolFile& output) {
    if (!output.WriteProblem().empty()) return output.WriteProblem();
    if (output.GetPointer() >= kMaxArchive)
        return "the archive reached the largest size an archive can have, " + Grouped(kMaxArchive) + " bytes";
    return "the archive refused the write";
}

// Feeds one file in Write calls of exactly kChunk bytes (the last shorter).
std::string FeedFile(EKISAArchive& archive, ToolFile& output, const Node& node, Progress& progress) {
    ToolFile input;
    if (input.Open(node.path, ESLFileObject::modeRead | ESLFileObject::shareRead) != eslResultSuccess)
        return "cannot open: " + LastErrorText();
    std::vector<uint8_t> buffer(kChunk);
    uint64_t done = 0;
    for (;;) {
        uint32_t filled = 0;
        while (filled < kChunk) {
            const uint32_t n = input.Read(buffer.data() + filled, kChunk - filled);
            if (n == 0) break;
            filled += n;
        }
        if (filled == 0) break;
        if (archive.Write(buffer.data(), filled) != filled) return "cannot write to the archive: " + WriteFailure(output);
        done += filled;
        progress.Add(filled);
        if (filled < kChunk) break;
    }
    if (done != node.size) return "file changed while it was read";
    return std::string();
}

// prefix: the path of node in the archive, as list shows it.
std::string WriteLevel(EKISAArchive& archive, ToolFile& output, const Node& node, const std::string& prefix,
                       Progress& progress) {
    for (const auto& child : node.children) {
        std::string problem;
        const std::string shown = Shown(child->display);
        const std::string path = prefix + child->name;
        EntryLine(Printable(path) + (child->directory ? "/" : ""));
        progress.SetLabel(path);
        if (child->directory) {
            EKISAEntryList listing;
            BuildListing(*child, &listing);
            if (archive.DescendDirectory(child->stored.c_str(), &listing) != eslResultSuccess)
                return shown + ": cannot write folder: " + WriteFailure(output);
            problem = WriteLevel(archive, output, *child, path + "/", progress);
            if (!problem.empty()) return problem;
            if (archive.AscendDirectory() != eslResultSuccess) return shown + ": cannot write folder: " + WriteFailure(output);
            continue;
        }
        const Source& source = *child->source;
        const char* password = source.havePassword ? source.password.c_str() : nullptr;
        if (archive.DescendFile(child->stored.c_str(), password, 0) != eslResultSuccess)
            return shown + ": cannot add entry: " + WriteFailure(output);
        problem = FeedFile(archive, output, *child, progress);
        const ESLResult closed = archive.AscendFile();
        if (!problem.empty()) return shown + ": " + problem;
        if (closed != eslResultSuccess || !output.WriteProblem().empty())
            return shown + ": cannot finish entry (" + FormatEncodeType(source.encodeType) +
                   "): " + WriteFailure(output);
    }
    return std::string();
}

// The fewest bytes the archive of a tree can take: headers, directories,
// record headers and the raw entries' data (coded data might shrink to
// nothing).
uint64_t LeastArchiveSize(const Node& node, bool root) {
    uint64_t size = (root ? 0 : 16) + 16 + 4;
    for (const auto& child : node.children) {
        size += 40 + child->stored.size() + 1;
        if (child->directory)
            size += LeastArchiveSize(*child, false);
        else
            size += 16 + (child->source->encodeType == ekisaEncodeRaw ? child->size : 4);
    }
    return size;
}

// Builds the entry tree from the command line's FILEs, reporting every
// problem before anything is written. A folder brings everything below it,
// walked in name order, so the same tree gives the same archive.
class TreeBuilder {
public:
    TreeBuilder(bool haveEpoch, int64_t epoch, const std::string& archivePath)
        : m_haveEpoch(haveEpoch), m_epoch(epoch), m_archivePath(archivePath) {
        root.directory = true;
    }

    void Add(const Source& source) {
        std::vector<std::string> parts;
        std::string why;
        if (!source.base.empty() && !GetTargetStatus(source.base).isDirectory) {
            // Said once, not once for every file taken from it.
            if (m_badBases.insert(source.base).second)
                Fail(source.base, GetTargetStatus(source.base).exists ? "not a folder (given with -C)"
                                                                      : "no such folder (given with -C)");
            ok = false;
            return;
        }
        // "." is the folder itself (the one -C names): its contents go to the root.
        if (source.argument != "." && !SplitSourcePath(source.argument, &parts, &why)) {
            Fail(source.argument, why);
            return;
        }
        const FileStatus status = GetTargetStatus(source.path);
        if (!status.exists) {
            Fail(source.argument, "no such file");
            return;
        }
        if (!parts.empty() && IsTempFileName(parts.back())) {
            SkipTemp(source.argument);
            return;
        }
        if (status.isDirectory) {
            Node* folder = Place(root, parts, source.base, std::string(), source.argument, true);
            if (folder != nullptr) Walk(*folder, source, source.path, parts.empty() ? std::string() : source.argument);
            return;
        }
        AddFile(root, parts, source.base, std::string(), source.argument, status, source);
    }

    Node root;
    uint64_t total = 0;
    bool ok = true;

private:
    void Fail(const std::string& path, const std::string& why) {
        Error(Shown(path) + ": " + why);
        ok = false;
    }

    // What an interrupted or running ekisa leaves beside its output.
    void SkipTemp(const std::string& path) {
        Warning(Shown(path) + ": a temporary file of ekisa (from an interrupted run, or one still running); not stored");
    }

    // A file at parts below `start` (folder `path`, written `local`).
    void AddFile(Node& start, const std::vector<std::string>& parts, const std::string& path,
                 const std::string& local, const std::string& shown, const FileStatus& status,
                 const Source& source) {
        if (!status.isRegular) {
            Fail(shown, "not a regular file");
            return;
        }
        if (status.size > kMaxEntrySize) {
            Fail(shown, "too large for an archive entry (" + Grouped(status.size) + " bytes; an entry holds at most " +
                            Grouped(kMaxEntrySize) + ")");
            return;
        }
        Node* node = Place(start, parts, path, local, shown, false);
        if (node == nullptr) return;
        node->source = &source;
        node->size = status.size;
        total += status.size;
    }

    // Everything below folder `path`; `local` is its path as the user wrote
    // it, for messages and time stamps.
    void Walk(Node& folder, const Source& source, const std::string& path, const std::string& local) {
        std::vector<std::string> names;
        std::string why;
        if (!ListFolder(path, &names, &why)) {
            Fail(local.empty() ? path : local, "cannot read folder: " + why);
            return;
        }
        // In the order of the stored names, so that the host and Windows
        // (whose local names are UTF-8 and CP932) store a tree alike.
        std::vector<std::pair<std::string, std::string>> sorted;
        for (const std::string& name : names) {
            std::string stored;
            if (!IsSafeComponent(name, &why) || !ToArchiveName(name, &stored, &why))
                Fail(JoinPath(local, name), why);
            else
                sorted.push_back(std::make_pair(stored, name));
        }
        std::sort(sorted.begin(), sorted.end());
        for (const auto& item : sorted) {
            const std::string& name = item.second;
            const std::string childPath = JoinPath(path, name);
            const std::string childLocal = JoinPath(local, name);
            if (IsTempFileName(name)) {
                SkipTemp(childLocal);
                continue;
            }
            if (!m_archivePath.empty() && SameFile(childPath, m_archivePath)) {
                Warning(Shown(childLocal) + ": is the archive being made; not stored");
                continue;
            }
            FileStatus status = GetStatus(childPath);
            if (status.isLink) {
                status = GetTargetStatus(childPath);
                if (status.isDirectory) {
                    // Followed links could loop or leave the tree.
                    Fail(childLocal, "a link to a folder is not followed; give the folder itself");
                    continue;
                }
                if (!status.exists) {
                    Fail(childLocal, "a link to nothing");
                    continue;
                }
            }
            const std::vector<std::string> parts(1, name);
            if (status.isDirectory) {
                Node* child = Place(folder, parts, path, local, childLocal, true);
                if (child != nullptr) Walk(*child, source, childPath, childLocal);
            } else {
                AddFile(folder, parts, path, local, childLocal, status, source);
            }
        }
    }

    // Finds or makes the nodes for parts below `start`, which is folder
    // `path` on disk and `local` as the user wrote it; the last one is a
    // folder when `folder`. Null after a problem.
    Node* Place(Node& start, const std::vector<std::string>& parts, std::string path, std::string local,
                const std::string& shown, bool folder) {
        Node* node = &start;
        for (size_t k = 0; k < parts.size(); ++k) {
            std::string stored, why;
            if (!ToArchiveName(parts[k], &stored, &why)) {
                Fail(shown, why);
                return nullptr;
            }
            local = JoinPath(local, parts[k]);
            path = JoinPath(path, parts[k]);
            const bool last = k + 1 == parts.size();
            const bool wantFolder = !last || folder;
            Node* child = FindChild(*node, stored);
            if (child != nullptr && !(wantFolder && child->directory)) {
                Fail(shown, "the archive already has an entry " + Quoted(Shown(child->display)) +
                                " (names are compared ignoring ASCII case)");
                return nullptr;
            }
            if (child == nullptr) {
                // Stored all the same: the archive may be meant for Linux.
                // The installer and the Windows tool would fail on it.
                const std::string problem = WindowsNameProblem(parts[k]);
                if (!problem.empty())
                    Warning(Shown(local) + ": Windows cannot create this name (" + problem +
                            "); extracting or installing it there fails");
                std::unique_ptr<Node> fresh(new Node);
                fresh->stored = stored;
                fresh->name = parts[k];
                fresh->display = local;
                fresh->path = path;
                fresh->directory = wantFolder;
                fresh->time = TimeFromUnix(m_haveEpoch ? m_epoch : GetTargetStatus(path).modified);
                child = fresh.get();
                node->children.push_back(std::move(fresh));
            }
            node = child;
        }
        return node;
    }

    bool m_haveEpoch;
    int64_t m_epoch;
    std::string m_archivePath;
    std::set<std::string> m_badBases;
};

int RunCreate(const std::vector<std::string>& args) {
    std::string archivePath, why;
    bool force = false, best = false;
    std::string base;
    Source current;
    std::vector<std::unique_ptr<Source>> sources;
    bool optionsDone = false;
    // Options that apply to the FILEs after them must have one to apply
    // to; a password, one that uses it.
    std::string pending, unusedPassword;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool option = !optionsDone && !a.empty() && a[0] == '-';
        if (option && (a == "-C" || a == "-t" || a == "-p")) {
            if (i + 1 == args.size())
                return UsageError("create", a + (a == "-C" ? " needs a DIR" : a == "-t" ? " needs a TYPE" : " needs a PASSWORD"));
            const std::string& value = args[++i];
            if (a == "-C") {
                base = value;
            } else if (a == "-t") {
                if (!ekisaFindEncodeType(value.c_str(), &current.encodeType))
                    return UsageError("create", "unknown encode type " + Quoted(Printable(value)) +
                                                    " (raw, ekisa_code, bshf_crypt or ekisa_crypt)");
            } else {
                if (!unusedPassword.empty())
                    return UsageError("create", unusedPassword + " applies to no bshf_crypt or ekisa_crypt FILE");
                if (!PasswordArgument(value, &current.password)) return kExitUsage;
                current.havePassword = !current.password.empty();
                unusedPassword = "-p " + Quoted(Printable(value));
            }
            pending = a + " " + Quoted(Printable(value));
        } else if (option && a == "-f") {
            force = true;
        } else if (option && a == "--best") {
            best = true;
        } else if (option) {
            if (!TakeSharedOption(a, &optionsDone, &why)) return UsageError("create", why);
        } else if (archivePath.empty()) {
            archivePath = a;
        } else {
            std::unique_ptr<Source> source(new Source(current));
            source->argument = a;
            source->base = base;
            source->path = JoinPath(base, a);
            sources.push_back(std::move(source));
            pending.clear();
            if (IsCrypt(current.encodeType)) unusedPassword.clear();
        }
    }
    if (archivePath.empty()) return UsageError("create", "ARCHIVE missing");
    if (sources.empty()) return UsageError("create", "no FILE given");
    if (!pending.empty()) return UsageError("create", pending + " after the last FILE applies to no FILE");
    if (!unusedPassword.empty())
        return UsageError("create", unusedPassword + " applies to no bshf_crypt or ekisa_crypt FILE");
    if (best && std::none_of(sources.begin(), sources.end(), [](const std::unique_ptr<Source>& source) {
            return source->encodeType == ekisaEncodeCode || source->encodeType == ekisaEncodeCrypt;
        }))
        return UsageError("create", "--best applies to no ekisa_code or ekisa_crypt FILE");

    int64_t epoch = 0;
    const char* epochText = getenv("SOURCE_DATE_EPOCH");
    const bool haveEpoch = epochText != nullptr && *epochText != '\0';
    if (haveEpoch) {
        const EpochResult parsed = ParseEpoch(epochText, &epoch);
        if (parsed == kEpochNotANumber)
            return UsageError("create", "SOURCE_DATE_EPOCH=" + Printable(epochText) + " is not a number of seconds");
        if (parsed == kEpochOutOfRange)
            return UsageError("create", "SOURCE_DATE_EPOCH=" + Printable(epochText) +
                                            " is outside the time stamps an archive holds: 0 to " +
                                            std::to_string(LastEpoch()) + " (" + FormatTime(TimeFromUnix(0)) +
                                            " to " + FormatTime(TimeFromUnix(LastEpoch())) + " UTC)");
    }

    // The whole tree is checked before anything is written.
    TreeBuilder tree(haveEpoch, epoch, archivePath);
    for (const auto& source : sources) tree.Add(*source);
    if (!tree.ok) return kExitFailed;
    Node& root = tree.root;
    const uint64_t total = tree.total;
    const uint64_t least = 64 + LeastArchiveSize(root, true);
    if (least > kMaxArchive) {
        Error(archivePath + ": the archive would take at least " + Grouped(least) +
              " bytes (its raw entries, headers and directories); an archive holds at most " + Grouped(kMaxArchive) +
              " bytes");
        return kExitFailed;
    }

    ReplacingOutput replacing(archivePath, force);
    if (!replacing.Begin()) return kExitFailed;
    ToolFile& output = replacing.File();
    std::string problem;
    {
        EKISAArchive archive;
        EKISAEntryList listing;
        BuildListing(root, &listing);
        if (archive.Open(&output, &listing) != eslResultSuccess) {
            problem = "cannot write the archive header: " + WriteFailure(output);
        } else {
            // The thorough parse: any reader decodes it as the default.
            if (best) archive.SetEKISACodeFlags(EKISAEncodeContext::searchPhrase | EKISAEncodeContext::parseBest);
            Progress progress(archivePath, total);
            problem = WriteLevel(archive, output, root, std::string(), progress);
        }
        archive.Close();
        if (problem.empty() && (archive.GetWriteResult() != eslResultSuccess || !output.WriteProblem().empty()))
            problem = "cannot write the archive's directory: " + WriteFailure(output);
    }
    return replacing.Finish(problem);
}

}  // namespace

const Command kCreateCommand = {
    "create", "ARCHIVE [-f] [--best] [-v|-q] [-C DIR] [-t TYPE] [-p PASSWORD] [--] FILE...",
    "make an archive from files",
    "Stores the FILEs in a new archive; FILE a/b.txt becomes entry b.txt in\n"
    "folder a. A folder brings everything below it, in name order (links to\n"
    "folders are not followed); \".\" brings what the current folder, or -C\n"
    "DIR, holds, at the archive's root.\n"
    "-C, -t and -p apply to the FILEs after them, until given again:\n"
    "  -C DIR       take the FILEs that follow from DIR\n"
    "  -t TYPE      store them as raw (the default: the bytes as they are),\n"
    "               ekisa_code (compressed), bshf_crypt (enciphered) or\n"
    "               ekisa_crypt (compressed, then enciphered)\n"
    "  -p PASSWORD  encipher them with PASSWORD (bshf_crypt, ekisa_crypt);\n"
    "               -p '' returns to the coder's default password. The\n"
    "               patch installer reads entries with the default\n"
    "               password only.\n"
    "The others apply to the whole command, wherever they stand:\n"
    "  -f           replace ARCHIVE if it exists\n"
    "  --best       compress the ekisa_code and ekisa_crypt FILEs harder:\n"
    "               about 3.5 % smaller for programs, at about 5 times\n"
    "               the time (raw and bshf_crypt FILEs are stored as\n"
    "               without it); every installer reads the result\n"
    "  -v           name each entry as it is stored\n"
    "  -q           no progress and no notes: only warnings and errors\n"
    "  --           what follows are FILEs, even if they begin with '-'\n"
    "Each of -C, -t and -p must have a FILE after it, -p one stored as\n"
    "bshf_crypt or ekisa_crypt, and --best an ekisa_code or ekisa_crypt one.\n"
    "An entry holds at most 2,147,418,112 bytes, an archive at most\n"
    "2,147,483,647. Names that Windows cannot create (device names such as\n"
    "NUL, <>:\"|?*, a trailing dot or space) get a warning, and ekisa's own\n"
    "temporary files (.ekisa-XXXXXX) are not stored.\n"
    "The same files, options and order give the same archive bytes: files\n"
    "are fed to the coder in 65,536-byte pieces, and time stamps come from\n"
    "SOURCE_DATE_EPOCH (seconds since 1970-01-01 UTC) when it is set, else\n"
    "from the files' modification times.\n",
    RunCreate};

}  // namespace ekisatool

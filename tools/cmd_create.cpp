// ekisa create: a new archive from files.
//
// Files are fed to the archive in Write calls of exactly 65,536 bytes (the
// last one shorter). The EKISA coder's output depends on how its input is
// split, so a fixed split, the order of the command line and time stamps from
// SOURCE_DATE_EPOCH (when set) make the same inputs give the same bytes.
#include <stdlib.h>

#include <algorithm>
#include <memory>
#include <utility>

#include "cli.h"
#include "tool_names.h"

namespace ekisatool {

namespace {

// Archive positions are 32-bit and moved with signed offsets.
const uint64_t kMaxEntrySize = 0x7FFF0000u;

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

// Feeds one file in Write calls of exactly kChunk bytes (the last shorter).
std::string FeedFile(EKISAArchive& archive, const Node& node, Progress& progress) {
    ERawFile input;
    if (input.Open(node.path.c_str(), ESLFileObject::modeRead | ESLFileObject::shareRead) != eslResultSuccess)
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
        const std::string shown = Shown(child->display);
        if (child->directory) {
            EKISAEntryList listing;
            BuildListing(*child, &listing);
            if (archive.DescendDirectory(child->stored.c_str(), &listing) != eslResultSuccess)
                return shown + ": cannot write folder";
            problem = WriteLevel(archive, *child, progress);
            if (!problem.empty()) return problem;
            if (archive.AscendDirectory() != eslResultSuccess) return shown + ": cannot write folder";
            continue;
        }
        const Source& source = *child->source;
        const char* password = source.havePassword ? source.password.c_str() : nullptr;
        if (archive.DescendFile(child->stored.c_str(), password, 0) != eslResultSuccess)
            return shown + ": cannot add entry";
        problem = FeedFile(archive, *child, progress);
        const ESLResult closed = archive.AscendFile();
        if (!problem.empty()) return shown + ": " + problem;
        if (closed != eslResultSuccess)
            return shown + ": cannot finish entry (" + FormatEncodeType(source.encodeType) + " coder failed)";
    }
    return std::string();
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

    // A file at parts below `start` (folder `path`, written `local`).
    void AddFile(Node& start, const std::vector<std::string>& parts, const std::string& path,
                 const std::string& local, const std::string& shown, const FileStatus& status,
                 const Source& source) {
        if (!status.isRegular) {
            Fail(shown, "not a regular file");
            return;
        }
        if (status.size > kMaxEntrySize) {
            Fail(shown, "too large for an archive entry");
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
                std::unique_ptr<Node> fresh(new Node);
                fresh->stored = stored;
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
};

int RunCreate(const std::vector<std::string>& args) {
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
            if (++i == args.size()) return UsageError("create", "-C needs a DIR");
            base = args[i];
        } else if (!optionsDone && a == "-t") {
            if (++i == args.size()) return UsageError("create", "-t needs a TYPE");
            if (!ekisaFindEncodeType(args[i].c_str(), &current.encodeType))
                return UsageError("create", "unknown encode type " + Quoted(args[i]) +
                                                " (raw, ekisa_code, bshf_crypt or ekisa_crypt)");
        } else if (!optionsDone && a == "-p") {
            if (++i == args.size()) return UsageError("create", "-p needs a PASSWORD");
            if (!PasswordArgument(args[i], &current.password)) return kExitUsage;
            current.havePassword = !current.password.empty();
        } else if (!optionsDone && !a.empty() && a[0] == '-') {
            return UsageError("create", "unknown option " + Quoted(a));
        } else if (archivePath.empty()) {
            archivePath = a;
        } else {
            std::unique_ptr<Source> source(new Source(current));
            source->argument = a;
            source->base = base;
            source->path = JoinPath(base, a);
            sources.push_back(std::move(source));
        }
    }
    if (archivePath.empty()) return UsageError("create", "ARCHIVE missing");
    if (sources.empty()) return UsageError("create", "no FILE given");

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

    ReplacingOutput replacing(archivePath, force);
    if (!replacing.Begin()) return kExitFailed;
    const std::string& temp = replacing.TempPath();
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
    return replacing.Finish(problem);
}

}  // namespace

const Command kCreateCommand = {
    "create", "ARCHIVE [-f] [-C DIR] [-t TYPE] [-p PASSWORD] [--] FILE...", "make an archive from files",
    "Stores the FILEs in a new archive; FILE a/b.txt becomes entry b.txt in\n"
    "folder a. A folder brings everything below it, in name order (links to\n"
    "folders are not followed); \".\" brings what the current folder, or -C DIR,\n"
    "holds, at the archive's root.\n"
    "-C, -t and -p apply to the FILEs after them, until given again:\n"
    "  -C DIR       take the FILEs that follow from DIR\n"
    "  -t TYPE      store them as raw (the default: the bytes as they are),\n"
    "               ekisa_code (compressed), bshf_crypt (enciphered) or\n"
    "               ekisa_crypt (compressed, then enciphered)\n"
    "  -p PASSWORD  encipher them with PASSWORD (bshf_crypt, ekisa_crypt);\n"
    "               -p '' returns to the coder's default password. The patch\n"
    "               installer reads entries with the default password only.\n"
    "  -f           replace ARCHIVE if it exists\n"
    "  --           what follows are FILEs, even if they begin with '-'\n"
    "The same files, options and order give the same archive bytes: files are\n"
    "fed to the coder in 65,536-byte pieces, and time stamps come from\n"
    "SOURCE_DATE_EPOCH (seconds since 1970-01-01 UTC) when it is set, else from\n"
    "the files' modification times.\n",
    RunCreate};

}  // namespace ekisatool

// ekisa create: a new archive from files.
//
// Files are fed to the archive in Write calls of exactly 65,536 bytes (the
// last one shorter). The EKISA coder's output depends on how its input is
// split, so a fixed split, the order of the command line and time stamps from
// SOURCE_DATE_EPOCH (when set) make the same inputs give the same bytes.
#include <stdlib.h>

#include <memory>

#include "cli.h"
#include "tool_names.h"

namespace ekisatool {

namespace {

// Archive positions are 32-bit and moved with signed offsets.
const uint64_t kMaxEntrySize = 0x7FFF0000u;

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
        if (!problem.empty()) return Shown(source.argument) + ": " + problem;
        if (closed != eslResultSuccess)
            return shown + ": cannot finish entry (" + FormatEncodeType(source.encodeType) + " coder failed)";
    }
    return std::string();
}

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
    Node root;
    root.directory = true;
    uint64_t total = 0;
    bool ok = true;
    for (const auto& source : sources) {
        const std::string shown = Shown(source->argument);
        std::vector<std::string> parts;
        std::string why;
        if (!SplitSourcePath(source->argument, &parts, &why)) {
            Error(shown + ": " + why);
            ok = false;
            continue;
        }
        const FileStatus status = GetTargetStatus(source->path);
        if (!status.exists || !status.isRegular) {
            Error(shown + (status.exists ? ": not a regular file" : ": no such file"));
            ok = false;
            continue;
        }
        if (status.size > kMaxEntrySize) {
            Error(shown + ": too large for an archive entry");
            ok = false;
            continue;
        }
        Node* node = &root;
        std::string local;
        for (size_t k = 0; k < parts.size() && ok; ++k) {
            std::string stored;
            if (!ToArchiveName(parts[k], &stored, &why)) {
                Error(shown + ": " + why);
                ok = false;
                break;
            }
            local = JoinPath(local, parts[k]);
            Node* child = FindChild(*node, stored);
            const bool last = k + 1 == parts.size();
            if (child != nullptr && (last || !child->directory)) {
                Error(shown + ": the archive already has an entry " + Quoted(Shown(child->display)) +
                      " (names are compared ignoring ASCII case)");
                ok = false;
                break;
            }
            if (child == nullptr) {
                std::unique_ptr<Node> fresh(new Node);
                fresh->stored = stored;
                fresh->display = local;
                fresh->directory = !last;
                const int64_t seconds = haveEpoch ? epoch : GetTargetStatus(JoinPath(base, local)).modified;
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

    const FileStatus existing = GetStatus(archivePath);
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

const Command kCreateCommand = {
    "create", "ARCHIVE [-f] [-C DIR] [-t TYPE] [-p PASSWORD] [--] FILE...", "make an archive from files",
    "Stores the FILEs in a new archive; FILE a/b.txt becomes entry b.txt in\n"
    "folder a. -C, -t and -p apply to the FILEs after them, until given again:\n"
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

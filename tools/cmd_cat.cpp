// ekisa cat: one entry to standard output.
#include "cli.h"
#include "tool_names.h"

namespace ekisatool {

namespace {

int RunCat(const std::vector<std::string>& args) {
    std::string path, name, password, why;
    bool havePassword = false, optionsDone = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool option = !optionsDone && !a.empty() && a[0] == '-';
        if (option && a == "-p") {
            if (++i == args.size()) return UsageError("cat", "-p needs a PASSWORD");
            if (!PasswordArgument(args[i], &password)) return kExitUsage;
            havePassword = !password.empty();
        } else if (option) {
            if (!TakeSharedOption(a, &optionsDone, &why)) return UsageError("cat", why);
        } else if (path.empty()) {
            path = a;
        } else if (name.empty()) {
            name = a;
        } else {
            return UsageError("cat", "only one NAME");
        }
    }
    if (path.empty()) return UsageError("cat", "ARCHIVE missing");
    if (name.empty()) return UsageError("cat", "NAME missing");
    ArchiveInput input;
    if (!input.Open(path)) return kExitFailed;
    EKISAArchive& archive = input.Archive();

    // NAME is a path as list shows it, matched by the archive's own rule, one
    // folder at a time (no path of stored names is split again).
    std::vector<std::string> parts;
    const std::string where = path + ": " + Shown(name);
    bool found = SplitEntryPath(name, &parts, &why);
    // The entry's path as stored, for -v.
    std::string stored;
    for (size_t i = 0; found && i + 1 < parts.size(); ++i) {
        const EKISAFileEntry* folder = archive.GetCurrentLevel()->FindEntry(parts[i].c_str());
        if (folder != nullptr && folder->name != nullptr) stored += std::string(folder->name) + "/";
        found = archive.DescendDirectory(parts[i].c_str(), nullptr) == eslResultSuccess;
    }
    EKISAFileEntry* entry = found ? archive.GetCurrentLevel()->FindEntry(parts.back().c_str()) : nullptr;
    if (entry == nullptr || entry->IsDirectory()) {
        Error(where + (entry != nullptr ? ": is a folder" : ": not in the archive"));
        return kExitFailed;
    }
    const std::string leaf = entry->name != nullptr ? entry->name : "";
    std::string shown;
    FromArchiveName(stored + leaf, &shown);  // a name it cannot convert comes escaped
    EntryLine(Printable(shown));
    // Progress on the terminal that shows the data would run into it.
    if (StdoutIsTerminal()) HideProgress();
    const uint32_t encodeType = entry->encodeType;
    const char* key = havePassword ? password.c_str() : nullptr;
    std::string problem = OpenEntry(archive, leaf, encodeType, key);
    if (problem.empty()) {
        std::string writeProblem;
        problem = ReadEntry(archive, name, encodeType, key != nullptr, [&](const uint8_t* data, uint32_t n) {
            return WriteOut(data, n, &writeProblem);
        });
        if (!writeProblem.empty()) problem = "write error: " + writeProblem;
        if (problem.empty() && !FlushOut(&why)) problem = "write error: " + why;
    }
    if (!problem.empty()) {
        Error(where + ": " + problem);
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace

const Command kCatCommand = {
    "cat", "ARCHIVE NAME [-p PASSWORD] [-v|-q]", "write one entry to standard output",
    "Writes the entry NAME (a path as list shows it) to standard output; its\n"
    "names match as the installer matches them, ASCII letters in either\n"
    "case (as extract does). A NAME beginning with '-' goes after --.\n"
    "  -p PASSWORD  password of a bshf_crypt or ekisa_crypt entry (without\n"
    "               it, or with -p '', the coder's default password)\n"
    "  -v           name the entry on standard error\n"
    "  -q           no progress: only errors\n"
    "Progress goes to standard error when it is a terminal and standard\n"
    "output is not, so that it never runs into the data.\n"
    EKISA_HELP_ARCHIVE_MAY_BE_INSTALLER,
    RunCat};

}  // namespace ekisatool

// ekisa cat: one entry to standard output.
#include "cli.h"
#include "tool_names.h"

namespace ekisatool {

namespace {

int RunCat(const std::vector<std::string>& args) {
    std::string path, name, password;
    bool havePassword = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-p") {
            if (++i == args.size()) return UsageError("cat", "-p needs a PASSWORD");
            if (!PasswordArgument(args[i], &password)) return kExitUsage;
            havePassword = !password.empty();
        } else if (!a.empty() && a[0] == '-') {
            return UsageError("cat", "unknown option " + Quoted(a));
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
    const std::string where = path + ": " + Shown(name);
    EKISAFileEntry* entry = nullptr;
    if (found && archive.ChangeDirectory(folder.c_str()) == eslResultSuccess)
        entry = archive.GetCurrentLevel()->FindEntry(leaf.c_str());
    if (entry == nullptr || entry->IsDirectory()) {
        Error(where + (entry != nullptr ? ": is a folder" : ": not in the archive"));
        return kExitFailed;
    }
    const uint32_t encodeType = entry->encodeType;
    const char* key = havePassword ? password.c_str() : nullptr;
    std::string problem = OpenEntry(archive, leaf, encodeType, key);
    if (problem.empty()) {
        SetStdoutBinary();
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
    "cat", "ARCHIVE NAME [-p PASSWORD]", "write one entry to standard output",
    "Writes the entry NAME (a path as list shows it) to standard output.\n"
    "  -p PASSWORD  password of a bshf_crypt or ekisa_crypt entry (without it,\n"
    "               or with -p '', the coder's default password)\n"
    EKISA_HELP_ARCHIVE_MAY_BE_INSTALLER,
    RunCat};

}  // namespace ekisatool

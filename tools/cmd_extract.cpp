// ekisa extract: entries to files under a folder.
#include "cli.h"
#include "tool_names.h"

namespace ekisatool {

namespace {

// Makes sure path, inside the output folder, is a real folder, creating it
// if missing. A link is not followed: it could lead anywhere.
bool EnsureFolder(const std::string& path, std::string* why) {
    const FileStatus status = GetStatus(path);
    if (!status.exists) return MakeDirectory(path, why);
    if (status.isLink) {
        *why = path + " is a symbolic link; links inside the output folder are not followed";
        return false;
    }
    if (status.isDirectory) return true;
    *why = path + " exists and is not a folder";
    return false;
}

class ExtractVisitor : public Visitor {
public:
    ExtractVisitor(const std::string& path, const std::string& out, const std::vector<std::vector<std::string>>& names,
                   bool force, const char* password)
        : matched(names.size(), false), m_path(path), m_out(out), m_names(names), m_force(force),
          m_password(password) {}

    bool Visit(EKISAArchive& archive, const EntryInfo& e) override {
        if (!Selected(e)) return true;
        EntryLine(Printable(e.display) + (e.directory ? "/" : ""));
        const std::string where = m_path + ": " + Shown(e.display);
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
        const std::string target = JoinPath(folder, e.parts.back());
        if (e.directory) {
            if (EnsureFolder(target, &why)) return true;
            Error(where + ": " + why);
            return false;
        }
        const FileStatus status = GetStatus(target);
        if (status.exists && (status.isDirectory || !m_force)) {
            Error(where + ": " + target + (status.isDirectory ? " is a folder" : " exists (use -f to replace it)"));
            return false;
        }
        std::string problem = OpenEntry(archive, e.stored, e.encodeType, m_password);
        if (!problem.empty()) {
            Error(where + ": " + problem);
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
        ToolFile output;
        if (output.Open(temp, ESLFileObject::modeCreate | ESLFileObject::modeWrite) != eslResultSuccess) {
            archive.AscendFile();
            problem = "cannot write " + temp + ": " + LastErrorText();
        } else {
            problem = ReadEntry(archive, e.display, e.encodeType, m_password != nullptr,
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
    // A NAME selects the entry it names and, for a folder, all inside it,
    // its names compared as cat and the installer compare them.
    bool Selected(const EntryInfo& e) {
        if (m_names.empty()) return true;
        bool selected = false;
        for (size_t i = 0; i < m_names.size(); ++i) {
            if (!m_names[i].empty() && EntryPathMatches(e.storedParts, m_names[i], true)) {
                matched[i] = true;
                selected = true;
            }
        }
        return selected;
    }

    std::string m_path;
    std::string m_out;
    std::vector<std::vector<std::string>> m_names;
    bool m_force;
    const char* m_password;
};

// Creates the output folder and its missing parents (the user named it, so
// links on the way are the user's choice).
bool EnsureOutputFolder(const std::string& path) {
    const FileStatus status = GetTargetStatus(path);
    if (status.exists) {
        if (status.isDirectory) return true;
        Error(path + ": not a folder");
        return false;
    }
    const std::string parent = DirectoryOf(path);
    if (parent != path && parent != "." && parent != "/" && !EnsureOutputFolder(parent)) return false;
    std::string why;
    if (!MakeDirectory(path, &why) && !GetTargetStatus(path).isDirectory) {
        Error(path + ": cannot create folder: " + why);
        return false;
    }
    return true;
}

int RunExtract(const std::vector<std::string>& args) {
    std::string path, out = ".", password, why;
    bool havePassword = false, force = false, optionsDone = false;
    std::vector<std::string> names;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool option = !optionsDone && !a.empty() && a[0] == '-';
        if (option && a == "-o") {
            if (++i == args.size() || args[i].empty()) return UsageError("extract", "-o needs a DIR");
            out = args[i];
        } else if (option && a == "-p") {
            if (++i == args.size()) return UsageError("extract", "-p needs a PASSWORD");
            if (!PasswordArgument(args[i], &password)) return kExitUsage;
            havePassword = !password.empty();
        } else if (option && a == "-f") {
            force = true;
        } else if (option) {
            if (!TakeSharedOption(a, &optionsDone, &why)) return UsageError("extract", why);
        } else if (path.empty()) {
            path = a;
        } else {
            names.push_back(a);
        }
    }
    if (path.empty()) return UsageError("extract", "ARCHIVE missing");
    std::vector<std::vector<std::string>> wanted;
    for (const std::string& name : names) {
        std::vector<std::string> stored;
        if (!SplitEntryPath(name, &stored, &why)) stored.clear();  // matches nothing: reported below
        wanted.push_back(stored);
    }
    ArchiveInput input;
    if (!input.Open(path)) return kExitFailed;
    EKISAArchive& archive = input.Archive();
    if (!EnsureOutputFolder(out)) return kExitFailed;
    ExtractVisitor visitor(path, out, wanted, force, havePassword ? password.c_str() : nullptr);
    bool ok = Walk(path, archive, visitor);
    for (size_t i = 0; i < names.size(); ++i) {
        if (!visitor.matched[i]) {
            Error(path + ": " + Shown(names[i]) + ": not in the archive");
            ok = false;
        }
    }
    return ok ? kExitOk : kExitFailed;
}

}  // namespace

const Command kExtractCommand = {
    "extract", "ARCHIVE [-o DIR] [-f] [-p PASSWORD] [-v|-q] [NAME...]", "write entries to files",
    "Writes every entry, or only the NAMEd ones (a folder with its\n"
    "contents), under DIR. A NAME is a path as list shows it; its names\n"
    "match as the installer matches them, ASCII letters in either case (as\n"
    "cat does). NAMEs beginning with '-' go after --.\n"
    "  -o DIR       where to write (default: the current folder); created\n"
    "               if missing\n"
    "  -f           replace existing files\n"
    "  -p PASSWORD  password of the bshf_crypt and ekisa_crypt entries\n"
    "               (without it, or with -p '', the coder's default\n"
    "               password)\n"
    "  -v           name each entry as it is written\n"
    "  -q           no progress: only warnings and errors\n"
    "Each file is written under a temporary name and renamed only once it\n"
    "was read in full and its checksum matched. Names with \"..\", absolute\n"
    "or drive paths are refused, and so is a symbolic link or other\n"
    "non-folder where an entry needs a folder inside DIR.\n"
    EKISA_HELP_ARCHIVE_MAY_BE_INSTALLER,
    RunExtract};

}  // namespace ekisatool

// ekisa verify: reads every entry to its end and checks what can be checked:
// the checksum of coded entries, and the digest a patch installer records of
// its patch data. Raw entries carry no checksum; without a digest they are
// named as not checked rather than counted as verified.
#include "cli.h"
#include "tool_names.h"

namespace ekisatool {

namespace {

class VerifyVisitor : public Visitor {
public:
    VerifyVisitor(const std::string& path, const char* password, bool digestChecked)
        : m_path(path), m_password(password), m_digestChecked(digestChecked) {}
    bool Visit(EKISAArchive& archive, const EntryInfo& e) override {
        const std::string where = m_path + ": " + Shown(e.display);
        EntryLine(Printable(e.display) + (e.directory ? "/" : ""));
        if (!e.reachable) {
            Error(where + ": hidden by an earlier entry of the same name");
            return false;
        }
        // What extract would refuse is as bad as damage to whoever unpacks it.
        std::string why;
        if (!e.nameOk) {
            Error(where + ": name is not valid Shift-JIS (CP932); extract would refuse it");
            return false;
        }
        for (const std::string& part : e.parts) {
            if (!IsSafeComponent(part, &why)) {
                Error(where + ": unsafe name (" + why + "); extract would refuse it");
                return false;
            }
        }
        if (e.directory) return true;
        std::string problem = OpenEntry(archive, e.stored, e.encodeType, m_password);
        if (problem.empty())
            problem = ReadEntry(archive, e.display, e.encodeType, m_password != nullptr,
                                [](const uint8_t*, uint32_t) { return true; });
        if (!problem.empty()) {
            Error(where + ": " + problem);
            return false;
        }
        if (e.encodeType == ekisaEncodeRaw && !m_digestChecked) {
            Note(where + ": not checked (raw entries carry no checksum)");
            ++rawFiles;
            rawBytes += e.size;
            return true;
        }
        ++files;
        bytes += e.size;
        return true;
    }
    uint64_t files = 0, bytes = 0, rawFiles = 0, rawBytes = 0;

private:
    std::string m_path;
    const char* m_password;
    bool m_digestChecked;
};

std::string Count(uint64_t n, const char* noun) { return std::to_string(n) + " " + noun + (n == 1 ? "" : "s"); }

int RunVerify(const std::vector<std::string>& args) {
    std::string path, password, why;
    bool havePassword = false, optionsDone = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool option = !optionsDone && !a.empty() && a[0] == '-';
        if (option && a == "-p") {
            if (++i == args.size()) return UsageError("verify", "-p needs a PASSWORD");
            if (!PasswordArgument(args[i], &password)) return kExitUsage;
            havePassword = !password.empty();
        } else if (option) {
            if (!TakeSharedOption(a, &optionsDone, &why)) return UsageError("verify", why);
        } else if (path.empty()) {
            path = a;
        } else {
            return UsageError("verify", "unexpected argument " + Quoted(Printable(a)));
        }
    }
    if (path.empty()) return UsageError("verify", "ARCHIVE missing");
    ArchiveInput input;
    if (!input.Open(path)) return kExitFailed;
    // The installer checks the digest before anything else; so does verify.
    if (input.IsProgram()) {
        if (!input.HasDigest())
            Note(path + ": the program records no digest of its patch data, so nothing checks its raw entries");
        else if (!input.CheckDigest())
            return kExitFailed;
        else
            Note(path + ": the patch data matches the SHA-256 digest recorded in the program");
    }
    VerifyVisitor visitor(path, havePassword ? password.c_str() : nullptr, input.HasDigest());
    if (!Walk(path, input.Archive(), visitor)) {
        Error(path + ": verification failed");
        return kExitFailed;
    }
    std::string summary = path + ": " + Count(visitor.files, "file") + ", " + std::to_string(visitor.bytes) + " bytes verified";
    if (visitor.rawFiles > 0)
        summary += "; " + Count(visitor.rawFiles, "raw file") + ", " + std::to_string(visitor.rawBytes) +
                   " bytes, not checked (raw entries carry no checksum)";
    Note(summary);
    return kExitOk;
}

}  // namespace

const Command kVerifyCommand = {
    "verify", "ARCHIVE [-p PASSWORD] [-v|-q]", "read every entry and check what can be checked",
    "Reads every entry to its end, as extract would, and checks the\n"
    "checksum of the coded ones (ekisa_code, bshf_crypt, ekisa_crypt). Raw\n"
    "entries carry no checksum: they are named and counted as not checked.\n"
    "A patch installer made by this ekisa records a SHA-256 digest of its\n"
    "patch data, which is checked first and covers raw entries too. Entries\n"
    "that extract would refuse (\"..\", drive letters, hidden by an earlier\n"
    "one) fail.\n"
    "  -p PASSWORD  password of the bshf_crypt and ekisa_crypt entries\n"
    "               (without it, or with -p '', the coder's default\n"
    "               password)\n"
    "  -v           name each entry as it is read\n"
    "  -q           no progress and no notes (neither the summary nor the\n"
    "               raw entries not checked): the exit status tells\n"
    EKISA_HELP_ARCHIVE_MAY_BE_INSTALLER,
    RunVerify};

}  // namespace ekisatool

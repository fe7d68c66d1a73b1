// ekisa verify: reads every entry to its end and checks its checksum.
#include <stdio.h>

#include "cli.h"

namespace ekisatool {

namespace {

class VerifyVisitor : public Visitor {
public:
    VerifyVisitor(const std::string& path, const char* password) : m_path(path), m_password(password) {}
    bool Visit(EKISAArchive& archive, const EntryInfo& e) override {
        const std::string where = m_path + ": " + Shown(e.display);
        if (!e.reachable) {
            Error(where + ": hidden by an earlier entry of the same name");
            return false;
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

int RunVerify(const std::vector<std::string>& args) {
    std::string path, password;
    bool havePassword = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-p") {
            if (++i == args.size()) return UsageError("verify", "-p needs a PASSWORD");
            if (!PasswordArgument(args[i], &password)) return kExitUsage;
            havePassword = !password.empty();
        } else if (!args[i].empty() && args[i][0] == '-') {
            return UsageError("verify", "unknown option " + Quoted(args[i]));
        } else if (path.empty()) {
            path = args[i];
        } else {
            return UsageError("verify", "unexpected argument " + Quoted(args[i]));
        }
    }
    if (path.empty()) return UsageError("verify", "ARCHIVE missing");
    ArchiveInput input;
    if (!input.Open(path)) return kExitFailed;
    EKISAArchive& archive = input.Archive();
    VerifyVisitor visitor(path, havePassword ? password.c_str() : nullptr);
    if (!Walk(path, archive, visitor)) {
        Error(path + ": verification failed");
        return kExitFailed;
    }
    fprintf(stderr, "ekisa: %s: %s files, %s bytes verified\n", path.c_str(), std::to_string(visitor.files).c_str(),
            std::to_string(visitor.bytes).c_str());
    return kExitOk;
}

}  // namespace

const Command kVerifyCommand = {
    "verify", "ARCHIVE [-p PASSWORD]", "read every entry and check its checksum",
    "Reads every entry to its end, as extract would, and checks its checksum.\n"
    "  -p PASSWORD  password of the bshf_crypt and ekisa_crypt entries (without\n"
    "               it, or with -p '', the coder's default password)\n"
    EKISA_HELP_ARCHIVE_MAY_BE_INSTALLER,
    RunVerify};

}  // namespace ekisatool

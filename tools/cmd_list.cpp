// ekisa list: one line per entry.
#include <stdio.h>

#include "cli.h"
#include "tool_names.h"

namespace ekisatool {

namespace {

class ListVisitor : public Visitor {
public:
    bool Visit(EKISAArchive&, const EntryInfo& e) override {
        if (!m_problem.empty()) return false;
        const std::string size = e.directory ? "-" : std::to_string(e.size);
        const std::string type = e.directory ? "folder" : FormatEncodeType(e.encodeType);
        char head[64];
        snprintf(head, sizeof(head), "%12s  %-11s  ", size.c_str(), type.c_str());
        const std::string line =
            head + FormatTime(e.time) + "  " + Printable(e.display) + (e.directory ? "/" : "") + "\n";
        return WriteOut(line.data(), line.size(), &m_problem);
    }
    const std::string& Problem() const { return m_problem; }

private:
    std::string m_problem;
};

int RunList(const std::vector<std::string>& args) {
    if (args.empty()) return UsageError("list", "ARCHIVE missing");
    if (args.size() > 1) return UsageError("list", "unexpected argument " + Quoted(args[1]));
    const std::string& path = args[0];
    ArchiveInput input;
    if (!input.Open(path)) return kExitFailed;
    EKISAArchive& archive = input.Archive();
    ListVisitor visitor;
    bool ok = Walk(path, archive, visitor);
    std::string why = visitor.Problem();
    if (why.empty() && !FlushOut(&why)) ok = false;
    if (!why.empty()) {
        Error("standard output: " + why);
        return kExitFailed;
    }
    return ok ? kExitOk : kExitFailed;
}

}  // namespace

const Command kListCommand = {
    "list", "ARCHIVE", "list the entries",
    "Prints one line per entry: its size in bytes (- for a folder), encode type,\n"
    "time stamp (UTC) and path; folder paths end in '/'.\n"
    EKISA_HELP_ARCHIVE_MAY_BE_INSTALLER,
    RunList};

}  // namespace ekisatool

// ekisa list: one line per entry.
#include <stdio.h>

#include "cli.h"
#include "tool_names.h"

namespace ekisatool {

namespace {

class ListVisitor : public Visitor {
public:
    explicit ListVisitor(const std::string& path) : m_path(path) {}
    bool Visit(EKISAArchive& archive, const EntryInfo& e) override {
        if (!m_problem.empty()) return false;
        const std::string size = e.directory ? "-" : std::to_string(e.size);
        const std::string type = e.directory ? "folder" : FormatEncodeType(e.encodeType);
        char head[64];
        snprintf(head, sizeof(head), "%12s  %-11s  ", size.c_str(), type.c_str());
        const std::string line =
            head + FormatTime(e.time) + "  " + Printable(e.display) + (e.directory ? "/" : "") + "\n";
        if (!WriteText(stdout, line)) {
            if (LastWriteHitClosedPipe()) EndOnClosedPipe();
            m_problem = LastErrorText();
            return false;
        }
        if (e.directory || !e.reachable) return true;
        // Its data must be where the directory says: a truncated archive
        // lists whole but cannot be read.
        const std::string problem = OpenEntry(archive, e.stored, e.encodeType, nullptr);
        archive.AscendFile();
        if (problem.empty()) return true;
        Error(m_path + ": " + Shown(e.display) + ": " + problem);
        return false;
    }
    const std::string& Problem() const { return m_problem; }

private:
    std::string m_path, m_problem;
};

int RunList(const std::vector<std::string>& args) {
    std::string path;
    bool optionsDone = false;
    for (const std::string& a : args) {
        const bool option = !optionsDone && !a.empty() && a[0] == '-';
        if (option && a == "--")
            optionsDone = true;
        else if (option)
            return UsageError("list", UnknownOption(a));
        else if (path.empty())
            path = a;
        else
            return UsageError("list", "unexpected argument " + Quoted(Printable(a)));
    }
    if (path.empty()) return UsageError("list", "ARCHIVE missing");
    ArchiveInput input;
    if (!input.Open(path)) return kExitFailed;
    ListVisitor visitor(path);
    bool ok = Walk(path, input.Archive(), visitor);
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
    "time stamp (UTC) and path; folder paths end in '/'. An entry whose data\n"
    "is not where the directory says (a truncated or damaged archive) is\n"
    "reported, and the exit status is 1.\n"
    EKISA_HELP_ARCHIVE_MAY_BE_INSTALLER,
    RunList};

}  // namespace ekisatool

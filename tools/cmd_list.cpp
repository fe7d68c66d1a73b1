// ekisa list: one line per entry; with -l also what each entry takes in the
// archive, and the totals.
#include <stdio.h>

#include "cli.h"
#include "tool_names.h"

namespace ekisatool {

namespace {

// Stored as a share of plain, so that an entry that grew shows over 100 %.
std::string Ratio(uint64_t stored, uint64_t plain) {
    if (plain == 0) return "-";
    char text[32];
    snprintf(text, sizeof(text), "%.1f%%", double(stored) * 100.0 / double(plain));
    return text;
}

class ListVisitor : public Visitor {
public:
    ListVisitor(const std::string& path, bool detailed) : m_path(path), m_detailed(detailed) {}
    bool Visit(EKISAArchive& archive, const EntryInfo& e) override {
        if (!m_problem.empty()) return false;
        const std::string size = e.directory ? "-" : std::to_string(e.size);
        const std::string type = e.directory ? "folder" : FormatEncodeType(e.encodeType);
        const std::string tail = FormatTime(e.time) + "  " + Printable(e.display) + (e.directory ? "/" : "") + "\n";
        // Its data must be where the directory says: a truncated archive
        // lists whole but cannot be read.
        std::string problem;
        uint64_t stored = 0;
        const bool file = !e.directory && e.reachable;
        if (file) {
            problem = OpenEntry(archive, e.stored, e.encodeType, nullptr);
            // The data record's length: what the entry takes, its
            // checksum included.
            if (problem.empty()) stored = archive.EMCFile::GetLength();
            archive.AscendFile();
        }
        char head[96];
        if (m_detailed) {
            const bool known = file && problem.empty();
            snprintf(head, sizeof(head), "%12s  %12s  %7s  %-11s  ", size.c_str(),
                     e.directory ? "-" : known ? std::to_string(stored).c_str() : "?",
                     known ? Ratio(stored, e.size).c_str() : "-", type.c_str());
            ++entries;
            if (!e.directory) plain += e.size;
            if (known) storedTotal += stored;
        } else {
            snprintf(head, sizeof(head), "%12s  %-11s  ", size.c_str(), type.c_str());
        }
        if (!Out(head + tail)) return false;
        if (problem.empty()) return true;
        Error(m_path + ": " + Shown(e.display) + ": " + problem);
        return false;
    }
    bool Out(const std::string& text) {
        if (WriteText(stdout, text)) return true;
        if (LastWriteHitClosedPipe()) EndOnClosedPipe();
        m_problem = LastErrorText();
        return false;
    }
    const std::string& Problem() const { return m_problem; }
    uint64_t entries = 0, plain = 0, storedTotal = 0;

private:
    std::string m_path, m_problem;
    bool m_detailed;
};

int RunList(const std::vector<std::string>& args) {
    std::string path, why;
    bool detailed = false, optionsDone = false;
    for (const std::string& a : args) {
        const bool option = !optionsDone && !a.empty() && a[0] == '-';
        if (option && a == "-l") {
            detailed = true;
        } else if (option) {
            if (!TakeSharedOption(a, &optionsDone, &why)) return UsageError("list", why);
        } else if (path.empty()) {
            path = a;
        } else {
            return UsageError("list", "unexpected argument " + Quoted(Printable(a)));
        }
    }
    if (path.empty()) return UsageError("list", "ARCHIVE missing");
    // As tar -tv: the long form.
    if (CurrentVerbosity() == kVerbose) detailed = true;
    ArchiveInput input;
    if (!input.Open(path)) return kExitFailed;
    ListVisitor visitor(path, detailed);
    char header[96];
    snprintf(header, sizeof(header), "%12s  %12s  %7s  %-11s  %-19s  %s\n", "size", "stored", "ratio", "type",
             "time (UTC)", "path");
    bool ok = (!detailed || visitor.Out(header)) && Walk(path, input.Archive(), visitor);
    if (ok && detailed) {
        char totals[96];
        snprintf(totals, sizeof(totals), "%12s  %12s  %7s  %s %s\n", std::to_string(visitor.plain).c_str(),
                 std::to_string(visitor.storedTotal).c_str(), Ratio(visitor.storedTotal, visitor.plain).c_str(),
                 std::to_string(visitor.entries).c_str(), visitor.entries == 1 ? "entry" : "entries");
        ok = visitor.Out(totals);
    }
    why = visitor.Problem();
    if (why.empty() && !FlushOut(&why)) ok = false;
    if (!why.empty()) {
        Error("standard output: " + why);
        return kExitFailed;
    }
    return ok ? kExitOk : kExitFailed;
}

}  // namespace

const Command kListCommand = {
    "list", "ARCHIVE [-l] [-v|-q]", "list the entries",
    "Prints one line per entry: its size in bytes (- for a folder), encode\n"
    "type, time stamp (UTC) and path; folder paths end in '/'. An entry\n"
    "whose data is not where the directory says (a truncated or damaged\n"
    "archive) is reported, and the exit status is 1.\n"
    "  -l  also the bytes each entry takes in the archive (its checksum\n"
    "      included) and that as a share of its size, after a line that\n"
    "      names the columns; at the end the totals and the number of\n"
    "      entries\n"
    "  -v  the same as -l\n"
    "  -q  accepted as by every command; list says nothing but the list\n"
    "      and errors anyway\n"
    EKISA_HELP_ARCHIVE_MAY_BE_INSTALLER,
    RunList};

}  // namespace ekisatool

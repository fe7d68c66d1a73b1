// ekisa: create, list, verify and unpack EKISA archives, and build patch
// installers around them.
//
// Data goes to stdout; messages and progress go to stderr. Exit codes: 0 when
// everything worked, 1 for a bad archive or a failed entry, 2 for a usage error.
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "cli.h"

using namespace ekisatool;

namespace {

const char kVersion[] = "ekisa 1.1 (EKISA archives: EMC file ID 0x02000400)\n";

const Command* const kCommands[] = {&kCreateCommand,  &kListCommand, &kExtractCommand,
                                    &kVerifyCommand,  &kCatCommand,  &kInstallerCommand};

const Command* FindCommand(const std::string& name) {
    for (const Command* c : kCommands) {
        if (name == c->name) return c;
    }
    return nullptr;
}

// Help lines stay within 72 columns, so that the manual page, which indents
// them by 7, fits 80.
const size_t kHelpWidth = 72;

// "ekisa NAME SYNOPSIS" after lead, broken between its words (a bracketed
// group is one) and continued under the synopsis's start.
std::string Synopsis(const std::string& lead, const Command& c) {
    const std::string head = lead + "ekisa " + c.name + " ";
    std::string text = head, word;
    size_t column = head.size();
    int depth = 0;
    for (const char* p = c.synopsis;; ++p) {
        if (*p != '\0' && (*p != ' ' || depth > 0)) {
            depth += *p == '[' ? 1 : *p == ']' ? -1 : 0;
            word += *p;
            continue;
        }
        if (column > head.size() && column + 1 + word.size() > kHelpWidth) {
            text += "\n" + std::string(head.size(), ' ');
            column = head.size();
        } else if (column > head.size()) {
            text += ' ';
            ++column;
        }
        text += word;
        column += word.size();
        word.clear();
        if (*p == '\0') break;
    }
    return text + "\n";
}

void PrintOverview() {
    std::string text = "usage: ekisa COMMAND ARGUMENTS...\n";
    for (const Command* c : kCommands) text += Synopsis("       ", *c);
    text += "\ncommands:\n";
    for (const Command* c : kCommands) {
        std::string name = c->name;
        name.resize(10, ' ');
        text += "  " + name + " " + c->summary + "\n";
    }
    text += "\nEvery command takes -v (a line for each entry as it is processed) and\n"
            "-q (no progress and no notes: only warnings and errors).\n"
            "'ekisa COMMAND --help' tells more; 'ekisa --version' the version.\n"
            "Exit status: 0 ok, 1 bad archive or failed entry, 2 usage.\n";
    WriteText(stdout, text);
}

void PrintHelp(const Command& c) {
    WriteText(stdout, Synopsis("usage: ", c) + "\n" + c.help +
                          "Exit status: 0 ok, 1 bad archive or failed entry, 2 usage.\n");
}

bool IsHelp(const std::string& a) { return a == "-h" || a == "--help"; }

int Main(const std::vector<std::string>& argv) {
    SetStdStreamsBinary();
    RemoveTempFilesOnInterrupt();
    if (argv.size() < 2) return UsageError(nullptr, "no COMMAND given");
    const std::string first = argv[1];
    if (IsHelp(first) || first == "help") {
        const Command* c = argv.size() > 2 ? FindCommand(argv[2]) : nullptr;
        if (c != nullptr)
            PrintHelp(*c);
        else
            PrintOverview();
        return kExitOk;
    }
    if (first == "--version") {
        WriteText(stdout, kVersion);
        return kExitOk;
    }
    const Command* command = FindCommand(first);
    if (command == nullptr) return UsageError(nullptr, "unknown command " + Quoted(Printable(first)));
    std::vector<std::string> args(argv.begin() + 2, argv.end());
    for (const std::string& a : args) {
        if (a == "--") break;
        if (IsHelp(a)) {
            PrintHelp(*command);
            return kExitOk;
        }
    }
    const int status = command->run(args);
    std::string why;
    if (!FlushOut(&why) && status == kExitOk) {
        Error("standard output: " + why);
        return kExitFailed;
    }
    return status;
}

}  // namespace

#if defined(_WIN32)
// The command line as UTF-16: names in any script, whatever the code page.
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    args.push_back("ekisa");
    for (int i = 1; i < argc; ++i) {
        std::string arg;
        if (!FromWide(argv[i], &arg))
            return UsageError(nullptr, "argument " + std::to_string(i) + " is not valid Unicode text");
        args.push_back(arg);
    }
    return Main(args);
}
#else
int main(int argc, char** argv) { return Main(std::vector<std::string>(argv, argv + argc)); }
#endif

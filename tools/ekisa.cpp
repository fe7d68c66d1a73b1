// ekisa: create, list, verify and unpack EKISA archives, and build patch
// installers around them.
//
// Data goes to stdout; messages and progress go to stderr. Exit codes: 0 when
// everything worked, 1 for a bad archive or a failed entry, 2 for a usage error.
#include <stdio.h>
#include <string.h>

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

void PrintOverview() {
    fputs("usage: ekisa COMMAND ARGUMENTS...\n", stdout);
    for (const Command* c : kCommands) printf("       ekisa %s %s\n", c->name, c->synopsis);
    fputs("\ncommands:\n", stdout);
    for (const Command* c : kCommands) printf("  %-10s %s\n", c->name, c->summary);
    fputs("\n'ekisa COMMAND --help' tells more; 'ekisa --version' the version.\n"
          "Exit status: 0 ok, 1 bad archive or failed entry, 2 usage.\n",
          stdout);
}

void PrintHelp(const Command& c) {
    printf("usage: ekisa %s %s\n\n%s", c.name, c.synopsis, c.help);
    fputs("Exit status: 0 ok, 1 bad archive or failed entry, 2 usage.\n", stdout);
}

bool IsHelp(const std::string& a) { return a == "-h" || a == "--help"; }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return UsageError(nullptr, "no COMMAND given");
    const std::string first = argv[1];
    if (IsHelp(first) || first == "help") {
        const Command* c = argc > 2 ? FindCommand(argv[2]) : nullptr;
        if (c != nullptr)
            PrintHelp(*c);
        else
            PrintOverview();
        return kExitOk;
    }
    if (first == "--version") {
        fputs(kVersion, stdout);
        return kExitOk;
    }
    const Command* command = FindCommand(first);
    if (command == nullptr) return UsageError(nullptr, "unknown command " + Quoted(first));
    std::vector<std::string> args(argv + 2, argv + argc);
    for (const std::string& a : args) {
        if (a == "--") break;
        if (IsHelp(a)) {
            PrintHelp(*command);
            return kExitOk;
        }
    }
    return command->run(args);
}

// End-to-end test of the crash filter: runs e2e_crash_target.exe, answers the
// filter's questions and its save dialog the way a user does, checks the exit
// codes, and reads the error log back line by line.
//
//   e2e_crash_driver --build DIR --work DIR --group crash
//
// The log of the access-violation scenario stays in the work folder.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "driver.h"

using namespace e2e;

namespace {

const char kCaption[] = "◆　例外エラー情報　◆";
const char kSaveTitle[] = "ログファイル保存";
const char kSaved[] = "ログファイルを保存しました。\n処理を続行しますか？";

// The platform's registers as the log prints them.
#if defined(_WIN64)
const int kDigits = 16;
const char kIp[] = "RIP", kSp[] = "RSP";
const std::vector<std::vector<std::string>> kRegisterLines = {
    {"RAX", "RBX", "RCX", "RDX"}, {"RSI", "RDI", "RBP", "RSP"}, {"R8", "R9", "R10", "R11"}, {"R12", "R13", "R14", "R15"}};
const std::vector<std::string> kAddressRegisters = {"RAX", "RBX", "RCX", "RDX", "RSI", "RDI", "RBP", "R8",
                                                    "R9",  "R10", "R11", "R12", "R13", "R14", "R15"};
// What the target loads before its fault (the rest hold addresses).
const std::map<std::string, uint64_t> kSmallValues = {{"RBX", 5},  {"RCX", 0},  {"RSI", 0xFFFF}, {"RBP", 0x1234},
                                                      {"R8", 1},   {"R9", 2},   {"R10", 3},      {"R11", 4},
                                                      {"R12", 5},  {"R13", 6},  {"R14", 7},      {"R15", 8}};
#else
const int kDigits = 8;
const char kIp[] = "EIP", kSp[] = "ESP";
const std::vector<std::vector<std::string>> kRegisterLines = {{"EAX", "EBX", "ECX", "EDX"},
                                                              {"ESI", "EDI", "EBP", "ESP"}};
const std::vector<std::string> kAddressRegisters = {"EAX", "EBX", "ECX", "EDX", "ESI", "EDI", "EBP"};
const std::map<std::string, uint64_t> kSmallValues = {{"EBX", 5}, {"ECX", 0}, {"ESI", 0xFFFF}, {"EBP", 0x1234}};
#endif
const int kWordBytes = kDigits / 2;
const int kLabelWidth = kDigits + 1;
const std::string kFirst = kAddressRegisters[0];

std::string Hex(uint64_t value, int digits) {
    char text[32];
    snprintf(text, sizeof text, "%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

std::string Digits(int n) { return std::string(static_cast<size_t>(n), '#'); }

// '#' in the mask stands for one upper-case hexadecimal digit.
bool Matches(const std::string& text, const std::string& mask) {
    if (text.size() != mask.size())
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (mask[i] == '#' ? !isxdigit(static_cast<unsigned char>(text[i])) || islower(text[i]) : text[i] != mask[i])
            return false;
    }
    return true;
}

void ExpectMatch(const std::string& text, const std::string& mask, const std::string& what) {
    Expect(Matches(text, mask), what + " reads \"" + text + "\", expected \"" + mask + "\"");
}

struct Setup {
    std::string build;
    std::string work;
    std::string Target() const { return build + "\\tests\\e2e\\e2e_crash_target.exe"; }
};

// --- the target and its dialogs ---

HWND WaitWindow(const Process& target, const char* title, const std::string& what) {
    HWND found = nullptr;
    WaitFor(what, [&] {
        found = FindTopWindow(target.Id(), "#32770", title);
        Expect(found != nullptr || target.Running(), "the program ended without showing " + what);
        return found != nullptr;
    });
    return found;
}

// The buttons a message box shows, in id order.
std::vector<int> Buttons(HWND box) {
    std::vector<int> shown;
    for (int id = IDOK; id <= IDCONTINUE; ++id) {
        HWND button = GetDlgItem(box, id);
        if (button != nullptr && IsWindowVisible(button))
            shown.push_back(id);
    }
    return shown;
}

std::string Names(const std::vector<int>& buttons) {
    static const char* const kNames[] = {"", "OK", "Cancel", "Abort", "Retry", "Ignore", "Yes", "No", "Close", "Help", "TryAgain", "Continue"};
    std::string names;
    for (int id : buttons)
        names += (names.empty() ? "" : "/") + std::string(kNames[id]);
    return names;
}

// Presses a button of a box once it shows exactly the buttons expected.
void Press(HWND box, std::vector<int> buttons, int button, const std::string& what) {
    std::sort(buttons.begin(), buttons.end());
    Expect(Buttons(box) == buttons, what + " shows the buttons " + Names(Buttons(box)) + ", expected " + Names(buttons));
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
    WaitFor(what + " to close", [&] { return !IsWindow(box) || !IsWindowVisible(box); });
}

const std::vector<int> kYesNo = {IDYES, IDNO};
const std::vector<int> kYesNoCancel = {IDYES, IDNO, IDCANCEL};

// One of the filter's message boxes: its text (as a mask) and its buttons.
struct Question {
    std::string mask;
    std::vector<int> buttons;
};

// Waits for the filter's message box, checks its text, its buttons and that
// it has no owner, and presses the button.
void Answer(const Process& target, const Question& question, int button) {
    std::string what = "the question \"" + question.mask.substr(0, question.mask.find('\n')) + "\"";
    HWND box = WaitWindow(target, kCaption, what);
    HWND text = GetDlgItem(box, 0xFFFF);
    Expect(text != nullptr, "the question has no text");
    ExpectMatch(WindowText(text), question.mask, "the question");
    Expect(GetWindow(box, GW_OWNER) == nullptr, "the question has an owner window");
    Press(box, question.buttons, button, what);
}

Question ExceptionQuestion(const char* name) {
    return {std::string("▼ プログラム実行中に以下の例外エラーが発生しました。\n    ") + name + "\n    CS:" + kIp + " = " +
                Digits(4) + ":" + Digits(kDigits) +
                "\n\n詳細をログファイルに保存しますか？\n\n"
                "※このログファイルをプログラム開発者に送ると何らかの修正情報が得られるかもしれません。\n\n"
                "≫ログを保存して実行を継続する場合には「はい」を、\n"
                "≫ログを保存せずに実行を継続する場合には「いいえ」を、\n"
                "≫ログを保存せずに終了する場合には「キャンセル」を選択してください。",
            kYesNoCancel};
}

const Question kBreakpointQuestion = {
    "ブレークポイント例外が " + Digits(kDigits) + "H で発生しました。\n処理を続行しますか？", kYesNo};
const Question kSavedQuestion = {kSaved, kYesNo};

struct OwnedSearch {
    DWORD pid;
    HWND owner;
    HWND found;
};

BOOL CALLBACK FindOwnedProc(HWND hwnd, LPARAM param) {
    OwnedSearch* search = reinterpret_cast<OwnedSearch*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid == search->pid && IsWindowVisible(hwnd) && GetWindow(hwnd, GW_OWNER) == search->owner &&
        ClassOf(hwnd) == "#32770") {
        search->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

// The message box that the save dialog shows over itself.
HWND WaitOwnedBox(const Process& target, HWND dialog, const std::string& what) {
    OwnedSearch search = {target.Id(), dialog, nullptr};
    WaitFor(what, [&] {
        EnumWindows(FindOwnedProc, reinterpret_cast<LPARAM>(&search));
        Expect(search.found != nullptr || IsWindowVisible(dialog), "the save dialog closed instead of showing " + what);
        return search.found != nullptr;
    });
    return search.found;
}

void TypeName(HWND dialog, const std::string& path) {
    HWND name = GetDlgItem(dialog, 0x47C);  // cmb13, or edt1 in the older layout
    if (name == nullptr)
        name = GetDlgItem(dialog, 0x480);
    Expect(name != nullptr, "the save dialog has no file name field");
    const std::wstring wide = W(path);
    SendBounded(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()));
    PressButton(dialog, IDOK);
}

// The save dialog: checks its title and file type, then saves under the
// name typed, or cancels. With
// `probe`, first a name in a folder that does not exist (the dialog must
// refuse it), then the name of a file that exists (it must ask before
// replacing it).
void AnswerSaveDialog(const Process& target, const std::string& path, bool probe) {
    HWND dialog = WaitWindow(target, kSaveTitle, "the save dialog");
    HWND filter = GetDlgItem(dialog, 0x470);  // cmb1: the file types
    Expect(filter != nullptr && WindowText(filter) == "error log file (*.log)",
           "the save dialog's file type is \"" + (filter ? WindowText(filter) : std::string()) + "\"");
    if (path.empty()) {
        PressButton(dialog, IDCANCEL);
    } else {
        if (probe) {
            std::string folder = path.substr(0, path.rfind('\\'));
            TypeName(dialog, folder + "\\no-such-folder\\crash.log");
            Press(WaitOwnedBox(target, dialog, "the message that the folder does not exist"), {IDOK}, IDOK,
                  "the message that the folder does not exist");
            Expect(IsWindowVisible(dialog), "the save dialog closed on a folder that does not exist");
            WriteFileBytes(path, "an older file\r\n");
            TypeName(dialog, path);
            Press(WaitOwnedBox(target, dialog, "the question whether to replace the file"), kYesNo, IDYES,
                  "the question whether to replace the file");
        } else {
            TypeName(dialog, path);
        }
    }
    WaitFor("the save dialog to close", [&] { return !IsWindow(dialog) || !IsWindowVisible(dialog); });
}

// --- the log ---

struct DumpLine {
    std::string label;  // the label or address field, as written
    std::vector<unsigned char> bytes;
};

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find("\r\n", at);
        Expect(end != std::string::npos, "the log does not end with CR LF");
        std::string line = text.substr(at, end - at);
        Expect(line.find_first_of("\r\n") == std::string::npos, "a line of the log holds a lone CR or LF: " + line);
        lines.push_back(line);
        at = end + 2;
    }
    return lines;
}

// One dump line: label, " : ", 16 bytes as "XX ", four spaces, the 16
// characters (bytes below 0x20 as '.'), a space.
DumpLine ParseDumpLine(const std::string& line) {
    Expect(line.size() == static_cast<size_t>(kLabelWidth) + 72, "dump line of length " + std::to_string(line.size()) + ": " + line);
    DumpLine d{line.substr(0, kLabelWidth), {}};
    std::string mask = " : ";
    for (int i = 0; i < 16; ++i)
        mask += "## ";
    ExpectMatch(line.substr(kLabelWidth, 51), mask, "a dump line's bytes");
    Expect(line.compare(kLabelWidth + 51, 4, "    ") == 0 && line.back() == ' ', "dump line layout: " + line);
    for (int i = 0; i < 16; ++i) {
        unsigned char b = static_cast<unsigned char>(strtoul(line.substr(kLabelWidth + 3 + 3 * i, 2).c_str(), nullptr, 16));
        char shown = line[kLabelWidth + 55 + i];
        Expect(shown == (b < 0x20 ? '.' : static_cast<char>(b)), "character column differs from the bytes: " + line);
        d.bytes.push_back(b);
    }
    return d;
}

class LogReader {
public:
    explicit LogReader(const std::string& text) : m_lines(SplitLines(text)) {}
    std::string Next() {
        Expect(m_at < m_lines.size(), "the log ends early");
        return m_lines[m_at++];
    }
    void ExpectLine(const std::string& mask) { ExpectMatch(Next(), mask, "log line " + std::to_string(m_at)); }
    bool AtEnd() const { return m_at == m_lines.size(); }
    // What is left: dump lines and the blank lines between dumps.
    void RestAreDumps() {
        while (!AtEnd()) {
            std::string line = Next();
            if (!line.empty())
                ParseDumpLine(line);
        }
    }

    // A dump: lines up to the two empty lines that close it. Returns its bytes.
    std::vector<unsigned char> Dump(const std::string& label, uint64_t base, int start, int lines) {
        std::vector<unsigned char> bytes;
        for (int i = 0; i < lines; ++i) {
            int offset = start + 16 * i;
            std::string expected = offset == 0 ? std::string(kLabelWidth - label.size(), ' ') + label
                                               : Hex(base + offset, kDigits) + "H";
            DumpLine d = ParseDumpLine(Next());
            Expect(d.label == expected, "dump line labelled \"" + d.label + "\", expected \"" + expected + "\"");
            bytes.insert(bytes.end(), d.bytes.begin(), d.bytes.end());
        }
        Expect(Next().empty() && Next().empty(), "the dump labelled " + label + " has not " + std::to_string(lines) + " lines");
        return bytes;
    }

private:
    std::vector<std::string> m_lines;
    size_t m_at = 0;
};

std::string RegisterLineMask(const std::vector<std::string>& names) {
    std::string mask;
    for (const std::string& n : names)
        mask += (mask.empty() ? "" : ", ") + n + std::string(3 - n.size(), ' ') + " = " + Digits(kDigits);
    return mask;
}

// Reads "NAME = VALUE, ..." into the map.
void ParseRegisters(const std::string& line, std::map<std::string, uint64_t>& registers) {
    for (size_t at = 0; at < line.size();) {
        size_t eq = line.find(" = ", at);
        size_t end = line.find(", ", eq);
        if (end == std::string::npos)
            end = line.size();
        std::string name = line.substr(at, eq - at);
        name.erase(name.find_last_not_of(' ') + 1);
        registers[name] = strtoull(line.substr(eq + 3, end - eq - 3).c_str(), nullptr, 16);
        at = end + 2;
    }
}

// What the log must say of the exception.
struct LogExpectation {
    const char* code;
    const char* name;
    // The access violation's registers were set up by the target: the data
    // dumps are known line by line.
    bool knownRegisters;
};

// The whole log, read back line by line.
void CheckLog(const std::string& path, const LogExpectation& expected, DWORD threadId) {
    LogReader log(ReadFileBytes(path));
    std::string module = log.Next();
    const std::string target = "\\e2e_crash_target.exe";
    Expect(module.compare(0, strlen("モジュール："), "モジュール：") == 0 && module.size() > target.size() &&
               module.compare(module.size() - target.size(), target.size(), target) == 0,
           "module line: " + module);
    // The thread that raised the exception, whichever thread wrote the log.
    log.ExpectLine("例外エラーがスレッド " + Hex(threadId, 8) + "H で発生しました。");
    log.ExpectLine(std::string("例外エラーコード：") + expected.code + "H");
    log.ExpectLine(std::string("例外エラーの種類：") + expected.name);
    log.ExpectLine("");
    log.ExpectLine("");
    log.ExpectLine("レジスタダンプ；");
    std::string ipLine = log.Next();
    ExpectMatch(ipLine, std::string("CS:") + kIp + "  = " + Digits(4) + ":" + Digits(kDigits), "the CS:IP line");
    std::map<std::string, uint64_t> registers;
    registers[kIp] = strtoull(ipLine.substr(ipLine.size() - kDigits).c_str(), nullptr, 16);
    for (const std::vector<std::string>& names : kRegisterLines) {
        std::string line = log.Next();
        ExpectMatch(line, RegisterLineMask(names), "a register line");
        ParseRegisters(line, registers);
    }
    log.ExpectLine("DS = ####, ES = ####, FS = ####, GS = ####, SS = ####");
    for (const auto& small : expected.knownRegisters ? kSmallValues : std::map<std::string, uint64_t>())
        Expect(registers[small.first] == small.second,
               small.first + " = " + Hex(registers[small.first], kDigits) + ", the target loaded " + Hex(small.second, kDigits));
    log.ExpectLine("");
    log.ExpectLine("");

    log.ExpectLine("コードダンプ；");
    log.Dump(std::string(kIp) + "+0000H", registers[kIp], -256, 32);
    log.ExpectLine("スタックダンプ；");
    log.Dump(std::string(kSp) + "+0000H", registers[kSp], 0, 32);
    log.ExpectLine("データダンプ；");
    if (!expected.knownRegisters) {
        log.RestAreDumps();
        return;
    }

    // Registers below 0x10000 get no dump; the others 16 lines each.
    std::map<std::string, std::vector<unsigned char>> pointedAt;
    for (const std::string& r : kAddressRegisters)
        if (registers[r] > 0xFFFF)
            pointedAt[r] = log.Dump(r + "+0000H", registers[r], 0, 16);
    Expect(pointedAt.size() == kAddressRegisters.size() - kSmallValues.size(), "registers holding addresses were not all dumped");
    const std::vector<unsigned char>& first = pointedAt[kFirst];
    Expect(first[8 * kWordBytes] == 0x0A && first[8 * kWordBytes + 1] == 'A', "the target's text is not where " + kFirst + " points");

    // Then the first 8 words there that may be addresses, 8 lines each; the
    // target's third word points 64 bytes before a page that cannot be read.
    int followed = 0;
    for (const std::string& r : kAddressRegisters) {
        if (registers[r] <= 0xFFFF)
            continue;
        for (int i = 0; i < 8; ++i) {
            uint64_t word = 0;
            memcpy(&word, &pointedAt[r][static_cast<size_t>(i * kWordBytes)], static_cast<size_t>(kWordBytes));
            if (word <= 0xFFFF)
                continue;
            log.Dump(Hex(word, kDigits) + "H", word, 0, r == kFirst && i == 2 ? 4 : 8);
            ++followed;
        }
    }
    Expect(followed == 3, "followed " + std::to_string(followed) + " words, the target left 3 addresses");
    Expect(log.AtEnd(), "the log goes on after the last dump");
}

// --- scenarios ---

// A step answers one of the filter's questions, or the save dialog: with
// the name typed into it (in the work folder), or Cancel when the name is
// empty.
struct Step {
    Question question;
    int button;
    bool saveDialog;
    std::string name;
    bool probe;  // tries the dialog's refusals first
};
Step Reply(const Question& question, int button) { return {question, button, false, "", false}; }
Step Save(const std::string& name, bool probe = false) { return {{}, 0, true, name, probe}; }

struct Scenario {
    const char* name;
    const char* action;
    std::vector<Step> steps;
    DWORD exitCode;
    const char* log;  // the log the steps save, or null
};

const LogExpectation kAccessViolationLog = {"C0000005", "ページアクセス例外", true};
const LogExpectation kStackOverflowLog = {"C00000FD", "スタックオーバーフロー例外", false};

std::vector<Scenario> Scenarios() {
    const Question av = ExceptionQuestion("ページアクセス例外");
    return {
        {"single step resumes with the trap flag cleared, without a question", "single-step", {}, 0, nullptr},
        {"breakpoint, Yes: goes on after the INT3", "breakpoint", {Reply(kBreakpointQuestion, IDYES)}, 0, nullptr},
        {"breakpoint, No: the system ends the program", "breakpoint", {Reply(kBreakpointQuestion, IDNO)}, 0x80000003,
         nullptr},
        {"unknown code is named 無効例外; No resumes", "unknown", {Reply(ExceptionQuestion("無効例外"), IDNO)}, 0, nullptr},
        {"access violation, Cancel: exit code FFFFFFFFH", "access-violation", {Reply(av, IDCANCEL)}, 0xFFFFFFFF, nullptr},
        {"access violation, save dialog cancelled: no log, the system ends the program", "access-violation",
         {Reply(av, IDYES), Save("")}, 0xC0000005, nullptr},
        {"access violation: No asks again; Yes saves the log over an older file; No ends the program",
         "access-violation",
         {Reply(av, IDNO), Reply(av, IDYES), Save("access-violation.log", true), Reply(kSavedQuestion, IDNO)},
         0xC0000005, "access-violation.log"},
        // Typed without extension: the dialog adds ".log".
        {"stack overflow: the question and the log, from another thread; No ends the program", "stack-overflow",
         {Reply(ExceptionQuestion("スタックオーバーフロー例外"), IDYES), Save("stack-overflow"), Reply(kSavedQuestion, IDNO)},
         0xC00000FD, "stack-overflow.log"},
    };
}

// Each scenario runs in a folder of its own; the logs it saves are kept in
// the work folder.
void Run(const Setup& s, const Scenario& scenario) {
#if defined(_WIN64)
    // Wine 8's x86_64 exception dispatch keeps back two pages after an
    // overflow and uses most of them itself: a handler runs, if at all, with
    // under 2 KiB of stack. (Newer Wine keeps back what the program asks for.)
    if (strcmp(scenario.action, "stack-overflow") == 0)
        throw Skip{"Wine's x86_64 dispatch leaves a handler no stack after an overflow; the 32-bit build runs this"};
#endif
    const std::string folder = s.work + "\\scenario";
    RemoveTree(folder);
    MakeDirectories(folder);
    Process target;
    SetEnvironmentVariableA("E2E_CRASH", scenario.action);
    target.Start(s.Target(), folder);
    for (const Step& step : scenario.steps) {
        if (step.saveDialog)
            AnswerSaveDialog(target, step.name.empty() ? "" : folder + "\\" + step.name, step.probe);
        else
            Answer(target, step.question, step.button);
    }
    DWORD code = target.WaitExit("the program");
    Expect(code == scenario.exitCode,
           "the program ended with exit code " + Hex(code, 8) + "H, expected " + Hex(scenario.exitCode, 8) + "H");
    if (scenario.log == nullptr) {
        Expect(ListFolder(folder).empty(), "the program left files in its folder");
        return;
    }
    std::string path = folder + "\\" + scenario.log;
    Expect(FileExists(path), "no log at " + path);
    CheckLog(path, strcmp(scenario.action, "stack-overflow") == 0 ? kStackOverflowLog : kAccessViolationLog,
             target.MainThreadId());
    std::string kept = s.work + "\\" + scenario.log;
    CopyFileOrFail(path, kept);
    Log("  error log kept: " + kept);
}

// The system's handling of an exception the filter passes on must end the
// program, not start Wine's debugger with its crash dialog. Without a
// "Debugger" value Wine still starts winedbg, so while the scenarios run the
// value names a program that does not exist.
class DebuggerEntryGuard {
public:
    DebuggerEntryGuard() {
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug", 0, nullptr,
                            0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &m_key, nullptr) != ERROR_SUCCESS)
            Fail("cannot open the AeDebug key");
        char value[1024] = "";
        DWORD size = sizeof value - 1;
        m_had = RegQueryValueExA(m_key, "Debugger", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size) == ERROR_SUCCESS;
        m_saved = value;
        Set("e2e-no-debugger.exe");
    }
    ~DebuggerEntryGuard() {
        if (m_had)
            Set(m_saved);
        else
            RegDeleteValueA(m_key, "Debugger");
        RegCloseKey(m_key);
    }
    DebuggerEntryGuard(const DebuggerEntryGuard&) = delete;
    DebuggerEntryGuard& operator=(const DebuggerEntryGuard&) = delete;

private:
    void Set(const std::string& v) {
        RegSetValueExA(m_key, "Debugger", 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()), static_cast<DWORD>(v.size() + 1));
    }
    HKEY m_key = nullptr;
    bool m_had = false;
    std::string m_saved;
};

void RunAll(const Setup& setup, int& passed, int& skipped, int& total) {
    RemoveTree(setup.work);
    MakeDirectories(setup.work);
    for (const Scenario& scenario : Scenarios()) {
        ++total;
        Log(std::string("[ RUN    ] crash: ") + scenario.name);
        try {
            Run(setup, scenario);
            ++passed;
            Log(std::string("[     OK ] ") + scenario.name);
        } catch (const Skip& skip) {
            ++skipped;
            Log(std::string("[ SKIPPED] ") + scenario.name + ": " + skip.why);
        } catch (const Failure& f) {
            Log(std::string("[ FAILED ] ") + scenario.name + ": " + f.message);
        }
    }
    RemoveTree(setup.work + "\\scenario");
}

}  // namespace

int main(int argc, char** argv) {
    Setup setup;
    std::string group;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--build")
            setup.build = WindowsPath(argv[i + 1]);
        else if (a == "--work")
            setup.work = WindowsPath(argv[i + 1]);
        else if (a == "--group")
            group = argv[i + 1];
    }
    if (setup.build.empty() || setup.work.empty() || group != "crash") {
        fputs("usage: e2e_crash_driver --build DIR --work DIR --group crash\n", stderr);
        return 2;
    }
    int passed = 0, skipped = 0, total = 0;
    try {
        DebuggerEntryGuard debugger;
        RunAll(setup, passed, skipped, total);
    } catch (const Failure& f) {
        Log("error: " + f.message);
        return 1;
    }
    Log(std::to_string(passed) + " of " + std::to_string(total) + " scenarios passed" +
        (skipped ? ", " + std::to_string(skipped) + " skipped" : ""));
    return passed + skipped == total ? 0 : 1;
}

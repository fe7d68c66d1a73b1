// End-to-end test of the crash filter: runs e2e_crash_target.exe, answers the
// filter's questions and its save dialog the way a user does, checks the exit
// codes, and reads the error log back line by line.
//
//   e2e_crash_driver --build DIR --work DIR --group crash
//
// The log of the access-violation scenario stays in the work folder.
#include <stdio.h>
#include <string.h>

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

// Waits for the filter's message box, checks its text against the mask and
// that it has no owner, and presses the button.
void Answer(const Process& target, const std::string& mask, int button) {
    HWND box = WaitWindow(target, kCaption, "the question \"" + mask.substr(0, 40) + "…\"");
    HWND text = GetDlgItem(box, 0xFFFF);
    Expect(text != nullptr, "the question has no text");
    ExpectMatch(WindowText(text), mask, "the question");
    Expect(GetWindow(box, GW_OWNER) == nullptr, "the question has an owner window");
    Expect(GetDlgItem(box, button) != nullptr, "the question has no button " + std::to_string(button));
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
    WaitFor("the question to close", [&] { return !IsWindow(box) || !IsWindowVisible(box); });
}

std::string ExceptionQuestion(const char* name) {
    return std::string("▼ プログラム実行中に以下の例外エラーが発生しました。\n    ") + name + "\n    CS:" + kIp + " = " +
           Digits(4) + ":" + Digits(kDigits) +
           "\n\n詳細をログファイルに保存しますか？\n\n"
           "※このログファイルをプログラム開発者に送ると何らかの修正情報が得られるかもしれません。\n\n"
           "≫ログを保存して実行を継続する場合には「はい」を、\n"
           "≫ログを保存せずに実行を継続する場合には「いいえ」を、\n"
           "≫ログを保存せずに終了する場合には「キャンセル」を選択してください。";
}

const std::string kBreakpointQuestion =
    "ブレークポイント例外が " + Digits(kDigits) + "H で発生しました。\n処理を続行しますか？";

// The save dialog: checks title and filter, then types the name and saves,
// or cancels.
void AnswerSaveDialog(const Process& target, const std::string& path) {
    HWND dialog = WaitWindow(target, kSaveTitle, "the save dialog");
    HWND filter = GetDlgItem(dialog, 0x470);  // cmb1: the file types
    Expect(filter != nullptr && WindowText(filter) == "error log file (*.log)",
           "the save dialog's file type is \"" + (filter ? WindowText(filter) : std::string()) + "\"");
    if (path.empty()) {
        PressButton(dialog, IDCANCEL);
    } else {
        HWND name = GetDlgItem(dialog, 0x47C);  // cmb13, or edt1 in the older layout
        if (name == nullptr)
            name = GetDlgItem(dialog, 0x480);
        Expect(name != nullptr, "the save dialog has no file name field");
        SendBounded(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
        PressButton(dialog, IDOK);
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

// The whole log of the access violation, as the target set it up.
void CheckLog(const std::string& path) {
    LogReader log(ReadFileBytes(path));
    std::string module = log.Next();
    const std::string target = "\\e2e_crash_target.exe";
    Expect(module.compare(0, strlen("モジュール："), "モジュール：") == 0 && module.size() > target.size() &&
               module.compare(module.size() - target.size(), target.size(), target) == 0,
           "module line: " + module);
    log.ExpectLine("例外エラーがスレッド " + Digits(8) + "H で発生しました。");
    log.ExpectLine("例外エラーコード：C0000005H");
    log.ExpectLine("例外エラーの種類：ページアクセス例外");
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
    for (const auto& small : kSmallValues)
        Expect(registers[small.first] == small.second,
               small.first + " = " + Hex(registers[small.first], kDigits) + ", the target loaded " + Hex(small.second, kDigits));
    log.ExpectLine("");
    log.ExpectLine("");

    log.ExpectLine("コードダンプ；");
    log.Dump(std::string(kIp) + "+0000H", registers[kIp], -256, 32);
    log.ExpectLine("スタックダンプ；");
    log.Dump(std::string(kSp) + "+0000H", registers[kSp], 0, 32);
    log.ExpectLine("データダンプ；");

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

// A step answers the filter's question (mask, button), or, with kSaveAs, the
// save dialog: the file name typed into it (in the work folder), or Cancel
// when empty.
const int kSaveAs = -1;
struct Step {
    std::string mask;
    int button;
};

struct Scenario {
    const char* name;
    const char* action;
    std::vector<Step> steps;
    DWORD exitCode;
    const char* log;  // the log the steps save, or null
};

std::vector<Scenario> Scenarios() {
    const std::string av = ExceptionQuestion("ページアクセス例外");
    return {
        {"single step resumes with the trap flag cleared, without a question", "single-step", {}, 0, nullptr},
        {"breakpoint, Yes: goes on after the INT3", "breakpoint", {{kBreakpointQuestion, IDYES}}, 0, nullptr},
        {"breakpoint, No: the system ends the program", "breakpoint", {{kBreakpointQuestion, IDNO}}, 0x80000003,
         nullptr},
        {"unknown code is named 無効例外; No resumes", "unknown", {{ExceptionQuestion("無効例外"), IDNO}}, 0, nullptr},
        {"access violation, Cancel: exit code FFFFFFFFH", "access-violation", {{av, IDCANCEL}}, 0xFFFFFFFF, nullptr},
        {"access violation, save dialog cancelled: no log, the system ends the program", "access-violation",
         {{av, IDYES}, {"", kSaveAs}}, 0xC0000005, nullptr},
        // Typed without extension: the dialog adds ".log".
        {"access violation: No asks again; Yes saves the log; No ends the program", "access-violation",
         {{av, IDNO}, {av, IDYES}, {"access-violation", kSaveAs}, {kSaved, IDNO}}, 0xC0000005,
         "access-violation.log"},
    };
}

void Run(const Setup& s, const Scenario& scenario) {
    Process target;
    SetEnvironmentVariableA("E2E_CRASH", scenario.action);
    target.Start(s.Target(), s.work);
    for (const Step& step : scenario.steps) {
        if (step.button == kSaveAs)
            AnswerSaveDialog(target, step.mask.empty() ? "" : s.work + "\\" + step.mask);
        else
            Answer(target, step.mask, step.button);
    }
    DWORD code = target.WaitExit("the program");
    Expect(code == scenario.exitCode,
           "the program ended with exit code " + Hex(code, 8) + "H, expected " + Hex(scenario.exitCode, 8) + "H");
    if (scenario.log == nullptr) {
        Expect(ListFolder(s.work).empty(), "the program left files in the work folder");
        return;
    }
    std::string path = s.work + "\\" + scenario.log;
    Expect(FileExists(path), "no log at " + path);
    CheckLog(path);
    Log("  error log kept: " + path);
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

void RunAll(const Setup& setup, int& passed, int& total) {
    for (const Scenario& scenario : Scenarios()) {
        ++total;
        Log(std::string("[ RUN    ] crash: ") + scenario.name);
        try {
            RemoveTree(setup.work);
            MakeDirectories(setup.work);
            Run(setup, scenario);
            ++passed;
            Log(std::string("[     OK ] ") + scenario.name);
        } catch (const Failure& f) {
            Log(std::string("[ FAILED ] ") + scenario.name + ": " + f.message);
        }
    }
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
    int passed = 0, total = 0;
    try {
        DebuggerEntryGuard debugger;
        RunAll(setup, passed, total);
    } catch (const Failure& f) {
        Log("error: " + f.message);
        return 1;
    }
    Log(std::to_string(passed) + " of " + std::to_string(total) + " scenarios passed");
    return passed == total ? 0 : 1;
}

// Helpers of the end-to-end driver: running the installer, finding and
// operating its windows, the registry entry, and files.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>
#include <vector>

namespace e2e {

// A failed expectation; the scenario stops and is reported with the text.
struct Failure {
    std::string message;
};
[[noreturn]] void Fail(const std::string& message);
// A scenario that cannot run here; reported as skipped, not as passed.
struct Skip {
    std::string why;
};
void Expect(bool condition, const std::string& message);
// Writes one line of CP932 text (as the programs use it) as UTF-8.
void Log(const std::string& text);
std::string Utf8Text(const std::string& cp932);

// The driver's texts are Shift-JIS (CP932) literals. Everything it reads or
// sets in the programs, the registry and the file system goes through the
// wide calls with these explicit conversions, so that it tests the programs
// and not its own system code page.
std::wstring W(const std::string& bytes, UINT codePage = 932);
// CP932 for messages; characters CP932 lacks are shown as <U+XXXX>.
std::string Narrow(const std::wstring& text);
// The code page Windows gives programs that do not ask for one.
UINT SystemCodePage();

// Every wait of the driver is bounded by this.
const DWORD kTimeoutMs = 60000;
// A message to another program's window is waited for this long. It is sent
// without "abort if hung": a program that has pumped no message since its
// start counts as hung for its first seconds, which under emulation can
// outlast the moment its dialog appears.
const UINT kMessageTimeoutMs = 30000;

// Sleeps while answering this thread's messages (the driver owns windows too).
void Pump(DWORD ms);
// Polls until the condition holds; fails with "timed out waiting for WHAT".
template <class Condition>
void WaitFor(const std::string& what, Condition condition, DWORD timeoutMs = kTimeoutMs) {
    DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > timeoutMs)
            Fail("timed out after " + std::to_string(timeoutMs / 1000) + " s waiting for " + what);
        Pump(10);
    }
}

// One installer (or game) process. The destructor ends it if it still runs,
// so a failed scenario never leaves it behind.
class Process {
public:
    Process() : m_info() {}
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    void Start(const std::string& exe, const std::string& currentDirectory);
    bool Running() const;
    DWORD Id() const { return m_info.dwProcessId; }
    DWORD MainThreadId() const { return m_info.dwThreadId; }
    // Waits for the end and returns the exit code.
    DWORD WaitExit(const std::string& what);
    void Kill();

private:
    PROCESS_INFORMATION m_info;
};

// Top-level windows of a process (or of any process when pid is 0), by CP932
// class name and title, or by the title as UTF-16.
HWND FindTopWindow(DWORD pid, const char* className, const char* title);
HWND FindTopWindow(DWORD pid, const char* className, const std::wstring& title);
std::wstring WideText(HWND hwnd);  // bounded: never hangs on a busy window
std::string WindowText(HWND hwnd);  // the same as CP932
std::wstring ItemText(HWND dialog, int id);
std::string ClassOf(HWND hwnd);
// Sent as a wide message: texts it carries are UTF-16.
LRESULT SendBounded(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
// Presses a dialog's button the way a click does, without waiting for it.
void PressButton(HWND dialog, int id);
void SetCheck(HWND dialog, int id, bool checked);
bool IsChecked(HWND dialog, int id);

// The message box "ミルトア修正パッチ" of the process: waits for it, reads its
// text, checks it, presses OK. Returns the title of the box's owner window
// (empty when it has none).
std::wstring AnswerMessage(DWORD pid, const std::string& expected);
// The same for any caption and text, pressing the given button.
std::wstring AnswerMessage(DWORD pid, const std::wstring& caption, const std::wstring& expected, int button);

// Registry entry of the game's uninstaller.
extern const char kUninstallKey[];
void SetUninstallString(const std::string& value);
void SetUninstallKeyWithoutValue();
void DeleteUninstallKey();
// Makes the key readable but not writable for everyone.
void RestrictUninstallKeyToReading();
// Saves the entry as it was before the run and puts it back afterwards.
class UninstallKeyGuard {
public:
    UninstallKeyGuard();
    ~UninstallKeyGuard();

private:
    bool m_existed;
    bool m_hadValue;
    std::wstring m_value;
};

// Files. Paths are Windows paths in CP932.
std::string ReadFileBytes(const std::string& path);
bool FileExists(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
void CopyFileOrFail(const std::string& from, const std::string& to);
void MakeDirectories(const std::string& path);
void RemoveTree(const std::string& path);
std::vector<std::string> ListFolder(const std::string& folder);  // sorted names
std::string WindowsPath(std::string path);  // a Unix path as a path on Z:
void ExpectSameFile(const std::string& path, const std::string& expectedBytes, const std::string& what);

// Holds a file open from a thread of its own, the way a virus scanner does:
// waits until a file matching pattern (such as "mtp*.tmp") appears in
// folder and can be opened, then opens target (the file found when target is
// empty) for reading with the given sharing, and keeps it open for holdMs
// milliseconds (INFINITE: until Release or the end of the scenario).
class FileHolder {
public:
    FileHolder(const std::string& folder, const std::string& pattern, const std::string& target, DWORD share,
               DWORD holdMs);
    ~FileHolder();
    FileHolder(const FileHolder&) = delete;
    FileHolder& operator=(const FileHolder&) = delete;

    // Closes the file (if held) and returns when it is closed.
    void Release();
    bool Held() const { return InterlockedCompareExchange(const_cast<LONG*>(&m_held), 0, 0) != 0; }
    // The file that was held (valid once Held()).
    std::string HeldPath() const { return Narrow(m_heldPath); }

private:
    static DWORD WINAPI Run(void* self);

    std::wstring m_folder, m_pattern, m_target, m_heldPath;
    DWORD m_share, m_holdMs;
    LONG m_held;
    HANDLE m_release, m_thread;
};

// Saves the screen (the Wine desktop) as a 24-bit BMP.
void SaveScreen(const std::string& path);

}  // namespace e2e

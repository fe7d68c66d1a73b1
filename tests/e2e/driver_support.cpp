#include "driver.h"

#include <aclapi.h>
#include <stdio.h>

#include <algorithm>

namespace e2e {

const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ミルトア";

namespace {

const char kCaption[] = "ミルトア修正パッチ";

}  // namespace

std::string Utf8Text(const std::string& cp932) {
    const std::wstring wide = W(cp932);
    if (wide.empty())
        return std::string();
    const int n = static_cast<int>(wide.size());
    int m = WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(m), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, &out[0], m, nullptr, nullptr);
    return out;
}

std::wstring W(const std::string& bytes, UINT codePage) {
    if (bytes.empty())
        return std::wstring();
    const int size = static_cast<int>(bytes.size());
    int n = MultiByteToWideChar(codePage, 0, bytes.data(), size, nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(codePage, 0, bytes.data(), size, &wide[0], n);
    return wide;
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        char bytes[4];
        BOOL lost = FALSE;
        int n = WideCharToMultiByte(932, WC_NO_BEST_FIT_CHARS, &c, 1, bytes, sizeof bytes, nullptr, &lost);
        if (n > 0 && !lost) {
            out.append(bytes, static_cast<size_t>(n));
        } else {
            char code[16];
            snprintf(code, sizeof code, "<U+%04X>", static_cast<unsigned>(c));
            out += code;
        }
    }
    return out;
}

UINT SystemCodePage() {
    UINT codePage = 0;
    if (GetLocaleInfoW(LOCALE_SYSTEM_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER,
                       reinterpret_cast<LPWSTR>(&codePage), sizeof codePage / sizeof(WCHAR)) == 0)
        return GetACP();
    return codePage;
}

void Fail(const std::string& message) { throw Failure{message}; }

void Expect(bool condition, const std::string& message) {
    if (!condition)
        Fail(message);
}

void Log(const std::string& text) {
    std::string line = Utf8Text(text) + "\n";
    fwrite(line.data(), 1, line.size(), stdout);
    fflush(stdout);
}

void Pump(DWORD ms) {
    DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= ms)
            return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - elapsed, QS_ALLINPUT);
    }
}

// --- processes ---

Process::~Process() {
    Kill();
    if (m_info.hProcess != nullptr) {
        CloseHandle(m_info.hProcess);
        CloseHandle(m_info.hThread);
    }
}

void Process::Start(const std::string& exe, const std::string& currentDirectory) {
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    const std::wstring program = W(exe), directory = W(currentDirectory);
    std::wstring commandLine = L"\"" + program + L"\"";
    if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        directory.empty() ? nullptr : directory.c_str(), &startup, &m_info))
        Fail("cannot start " + exe + " (error " + std::to_string(GetLastError()) + ")");
}

bool Process::Running() const {
    return m_info.hProcess != nullptr && WaitForSingleObject(m_info.hProcess, 0) == WAIT_TIMEOUT;
}

DWORD Process::WaitExit(const std::string& what) {
    WaitFor(what + " to end", [this] { return !Running(); });
    DWORD code = 0;
    GetExitCodeProcess(m_info.hProcess, &code);
    return code;
}

void Process::Kill() {
    if (Running()) {
        TerminateProcess(m_info.hProcess, 99);
        WaitForSingleObject(m_info.hProcess, 10000);
    }
}

// --- windows ---

namespace {

struct FindContext {
    DWORD pid;
    const char* className;
    const std::wstring* title;
    HWND found;
};

BOOL CALLBACK FindTopWindowProc(HWND hwnd, LPARAM param) {
    FindContext* context = reinterpret_cast<FindContext*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (context->pid != 0 && pid != context->pid)
        return TRUE;
    if (!IsWindowVisible(hwnd))
        return TRUE;
    if (context->className != nullptr && ClassOf(hwnd) != context->className)
        return TRUE;
    if (context->title != nullptr) {
        wchar_t text[512];
        int n = GetWindowTextW(hwnd, text, 512);
        if (std::wstring(text, n > 0 ? static_cast<size_t>(n) : 0) != *context->title)
            return TRUE;
    }
    context->found = hwnd;
    return FALSE;
}

}  // namespace

HWND FindTopWindow(DWORD pid, const char* className, const std::wstring& title) {
    FindContext context = {pid, className, &title, nullptr};
    EnumWindows(FindTopWindowProc, reinterpret_cast<LPARAM>(&context));
    return context.found;
}

HWND FindTopWindow(DWORD pid, const char* className, const char* title) {
    if (title != nullptr)
        return FindTopWindow(pid, className, W(title));
    FindContext context = {pid, className, nullptr, nullptr};
    EnumWindows(FindTopWindowProc, reinterpret_cast<LPARAM>(&context));
    return context.found;
}

LRESULT SendBounded(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(hwnd, message, wParam, lParam, SMTO_NORMAL, kMessageTimeoutMs, &result))
        Fail("window " + ClassOf(hwnd) + " does not answer message " + std::to_string(message) + " (error " +
             std::to_string(GetLastError()) + ")");
    return static_cast<LRESULT>(result);
}

std::wstring WideText(HWND hwnd) {
    wchar_t text[1024];
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(hwnd, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_NORMAL, kMessageTimeoutMs, &copied))
        Fail("cannot read the text of a window of class " + ClassOf(hwnd));
    return std::wstring(text, std::min<size_t>(copied, 1023));
}

std::string WindowText(HWND hwnd) { return Narrow(WideText(hwnd)); }

std::wstring ItemText(HWND dialog, int id) {
    HWND item = GetDlgItem(dialog, id);
    if (item == nullptr)
        Fail("the dialog has no control " + std::to_string(id));
    return WideText(item);
}

std::string ClassOf(HWND hwnd) {
    wchar_t name[256];
    int n = GetClassNameW(hwnd, name, 256);
    return Narrow(std::wstring(name, n > 0 ? static_cast<size_t>(n) : 0));
}

void PressButton(HWND dialog, int id) {
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

void SetCheck(HWND dialog, int id, bool checked) {
    HWND box = GetDlgItem(dialog, id);
    Expect(box != nullptr, "the dialog has no check box " + std::to_string(id));
    SendBounded(box, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

bool IsChecked(HWND dialog, int id) {
    HWND box = GetDlgItem(dialog, id);
    Expect(box != nullptr, "the dialog has no check box " + std::to_string(id));
    return SendBounded(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

std::wstring AnswerMessage(DWORD pid, const std::string& expected) {
    return AnswerMessage(pid, W(kCaption), W(expected), IDOK);
}

std::wstring AnswerMessage(DWORD pid, const std::wstring& caption, const std::wstring& expected, int button) {
    HWND box = nullptr;
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    const std::string shownExpected = Narrow(expected);
    WaitFor("the message box \"" + shownExpected + "\"", [&] {
        box = FindTopWindow(pid, "#32770", caption);
        if (box != nullptr)
            return true;
        // A message box under another caption (unreadable text, say) will
        // not turn into the one expected.
        // (Read again: a box may get its title after it is shown.)
        HWND other = FindTopWindow(pid, "#32770", static_cast<const char*>(nullptr));
        if (other != nullptr && GetDlgItem(other, 0xFFFF) != nullptr) {
            const std::wstring title = WideText(other);
            if (title == caption) {
                box = other;
                return true;
            }
            if (!title.empty()) {
                if (process != nullptr)
                    CloseHandle(process);
                Fail("instead of the message box \"" + shownExpected + "\" a box titled \"" + Narrow(title) +
                     "\" says \"" + Narrow(WideText(GetDlgItem(other, 0xFFFF))) + "\"");
            }
        }
        if (process != nullptr && WaitForSingleObject(process, 0) == WAIT_OBJECT_0) {
            CloseHandle(process);
            process = nullptr;
            Fail("the installer ended without the message box \"" + shownExpected + "\"");
        }
        return false;
    });
    if (process != nullptr)
        CloseHandle(process);
    HWND text = GetDlgItem(box, 0xFFFF);
    Expect(text != nullptr, "the message box has no text");
    std::wstring shown = WideText(text);
    Log("  message box \"" + Narrow(WideText(box)) + "\": " + Narrow(shown));
    Expect(shown == expected, "message box says \"" + Narrow(shown) + "\", expected \"" + shownExpected + "\"");
    HWND owner = GetWindow(box, GW_OWNER);
    std::wstring ownerTitle;
    if (owner != nullptr) {
        wchar_t title[512];
        int n = GetWindowTextW(owner, title, 512);
        ownerTitle.assign(title, n > 0 ? static_cast<size_t>(n) : 0);
    }
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
    WaitFor("the message box to close", [&] { return !IsWindow(box) || !IsWindowVisible(box); });
    return ownerTitle;
}

// --- registry ---

namespace {

HKEY CreateUninstallKey() {
    HKEY key = nullptr;
    LONG r = RegCreateKeyExW(HKEY_LOCAL_MACHINE, W(kUninstallKey).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                             nullptr);
    if (r != ERROR_SUCCESS)
        Fail("cannot create the uninstall key (error " + std::to_string(r) + ")");
    return key;
}

void SetUninstallValue(const std::wstring& value) {
    DeleteUninstallKey();
    HKEY key = CreateUninstallKey();
    LONG r = RegSetValueExW(key, L"UninstallString", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    if (r != ERROR_SUCCESS)
        Fail("cannot set UninstallString (error " + std::to_string(r) + ")");
}

}  // namespace

void SetUninstallString(const std::string& value) { SetUninstallValue(W(value)); }

void SetUninstallKeyWithoutValue() {
    DeleteUninstallKey();
    RegCloseKey(CreateUninstallKey());
}

void DeleteUninstallKey() {
    LONG r = RegDeleteKeyW(HKEY_LOCAL_MACHINE, W(kUninstallKey).c_str());
    if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND)
        Fail("cannot delete the uninstall key (error " + std::to_string(r) + ")");
}

void RestrictUninstallKeyToReading() {
    HKEY key = nullptr;
    LONG r = RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(kUninstallKey).c_str(), 0, KEY_ALL_ACCESS, &key);
    if (r != ERROR_SUCCESS)
        Fail("cannot open the uninstall key to restrict it (error " + std::to_string(r) + ")");
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
    EXPLICIT_ACCESS_W access;
    ZeroMemory(&access, sizeof access);
    access.grfAccessPermissions = KEY_READ;
    access.grfAccessMode = SET_ACCESS;
    access.grfInheritance = NO_INHERITANCE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = static_cast<LPWSTR>(everyone);
    PACL acl = nullptr;
    DWORD e = SetEntriesInAclW(1, &access, nullptr, &acl);
    if (e == ERROR_SUCCESS)
        e = SetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, acl, nullptr);
    if (acl != nullptr)
        LocalFree(acl);
    FreeSid(everyone);
    RegCloseKey(key);
    if (e != ERROR_SUCCESS)
        Fail("cannot restrict the uninstall key (error " + std::to_string(e) + ")");
}

UninstallKeyGuard::UninstallKeyGuard() : m_existed(false), m_hadValue(false) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(kUninstallKey).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    m_existed = true;
    wchar_t value[2048];
    DWORD size = sizeof value - sizeof(wchar_t);
    DWORD type = 0;
    if (RegQueryValueExW(key, L"UninstallString", nullptr, &type, reinterpret_cast<BYTE*>(value), &size) ==
        ERROR_SUCCESS) {
        value[size / sizeof(wchar_t)] = 0;
        m_hadValue = true;
        m_value = value;
    }
    RegCloseKey(key);
}

UninstallKeyGuard::~UninstallKeyGuard() {
    try {
        if (!m_existed)
            DeleteUninstallKey();
        else if (m_hadValue)
            SetUninstallValue(m_value);
        else
            SetUninstallKeyWithoutValue();
    } catch (const Failure& f) {
        Log("warning: could not restore the uninstall key: " + f.message);
    }
}

// --- files ---

std::string ReadFileBytes(const std::string& path) {
    HANDLE h = CreateFileW(W(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        Fail("cannot read " + path + " (error " + std::to_string(GetLastError()) + ")");
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got > 0)
        bytes.append(buffer, got);
    CloseHandle(h);
    return bytes;
}

bool FileExists(const std::string& path) { return GetFileAttributesW(W(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    HANDLE h = CreateFileW(W(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        Fail("cannot write " + path + " (error " + std::to_string(GetLastError()) + ")");
    DWORD written = 0;
    BOOL ok = bytes.empty() || WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(h);
    Expect(ok && written == bytes.size(), "short write to " + path);
}

void CopyFileOrFail(const std::string& from, const std::string& to) {
    if (!CopyFileW(W(from).c_str(), W(to).c_str(), FALSE))
        Fail("cannot copy " + from + " to " + to + " (error " + std::to_string(GetLastError()) + ")");
}

void MakeDirectories(const std::string& path) {
    const std::wstring wide = W(path);
    for (size_t i = 3; i <= wide.size(); ++i) {
        if (i == wide.size() || wide[i] == L'\\') {
            const std::wstring part = wide.substr(0, i);
            if (!CreateDirectoryW(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
                Fail("cannot create folder " + Narrow(part) + " (error " + std::to_string(GetLastError()) + ")");
        }
    }
}

namespace {

void RemoveWideTree(const std::wstring& path) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring child = path + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveWideTree(child);
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
}

}  // namespace

void RemoveTree(const std::string& path) { RemoveWideTree(W(path)); }

std::vector<std::string> ListFolder(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(W(folder + "\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(Narrow(name));
    } while (FindNextFileW(find, &data));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

void ExpectSameFile(const std::string& path, const std::string& expectedBytes, const std::string& what) {
    Expect(FileExists(path), what + ": " + path + " is missing");
    std::string actual = ReadFileBytes(path);
    if (actual == expectedBytes)
        return;
    size_t at = 0;
    while (at < actual.size() && at < expectedBytes.size() && actual[at] == expectedBytes[at])
        ++at;
    Fail(what + ": " + path + " differs (" + std::to_string(actual.size()) + " bytes, expected " +
         std::to_string(expectedBytes.size()) + "; first difference at byte " + std::to_string(at) + ")");
}

// --- a scanner's hold on a file ---

FileHolder::FileHolder(const std::string& folder, const std::string& pattern, const std::string& target, DWORD share,
                       DWORD holdMs)
    : m_folder(W(folder)), m_pattern(W(pattern)), m_target(W(target)), m_share(share), m_holdMs(holdMs), m_held(0),
      m_release(CreateEventW(nullptr, TRUE, FALSE, nullptr)), m_thread(nullptr) {
    if (!m_folder.empty() && m_folder.back() != L'\\')
        m_folder += L'\\';
    m_thread = CreateThread(nullptr, 0, Run, this, 0, nullptr);
    Expect(m_release != nullptr && m_thread != nullptr, "cannot start the file holder");
}

FileHolder::~FileHolder() {
    Release();
    if (m_thread != nullptr)
        CloseHandle(m_thread);
    if (m_release != nullptr)
        CloseHandle(m_release);
}

void FileHolder::Release() {
    if (m_release != nullptr)
        SetEvent(m_release);
    if (m_thread != nullptr)
        WaitForSingleObject(m_thread, INFINITE);
}

DWORD WINAPI FileHolder::Run(void* param) {
    FileHolder* self = static_cast<FileHolder*>(param);
    const DWORD start = GetTickCount();
    while (WaitForSingleObject(self->m_release, 0) == WAIT_TIMEOUT && GetTickCount() - start < kTimeoutMs) {
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((self->m_folder + self->m_pattern).c_str(), &data);
        if (find == INVALID_HANDLE_VALUE) {
            Sleep(1);
            continue;
        }
        FindClose(find);
        const std::wstring path = self->m_target.empty() ? self->m_folder + data.cFileName : self->m_target;
        // Fails while the writer holds the file without sharing it; a
        // scanner then tries again.
        HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, self->m_share, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            Sleep(1);
            continue;
        }
        self->m_heldPath = path;
        InterlockedExchange(&self->m_held, 1);
        WaitForSingleObject(self->m_release, self->m_holdMs);
        CloseHandle(h);
        break;
    }
    return 0;
}

// --- screen ---

void SaveScreen(const std::string& path) {
    HDC screen = GetDC(nullptr);
    const int width = GetSystemMetrics(SM_CXSCREEN);
    const int height = GetSystemMetrics(SM_CYSCREEN);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
    SelectObject(memory, old);

    BITMAPINFOHEADER info;
    ZeroMemory(&info, sizeof info);
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
    std::string pixels(static_cast<size_t>(stride) * static_cast<size_t>(height), '\0');
    GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), &pixels[0], reinterpret_cast<BITMAPINFO*>(&info),
              DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);

    BITMAPFILEHEADER file;
    ZeroMemory(&file, sizeof file);
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
    std::string bytes(reinterpret_cast<const char*>(&file), sizeof file);
    bytes.append(reinterpret_cast<const char*>(&info), sizeof info);
    bytes += pixels;
    WriteFileBytes(path, bytes);
}

// Wine maps the Unix root to Z:.
std::string WindowsPath(std::string path) {
    if (!path.empty() && path[0] == '/')
        path = "Z:" + path;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    while (path.size() > 3 && path.back() == '\\')
        path.pop_back();
    return path;
}

}  // namespace e2e

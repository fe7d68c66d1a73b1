#include "driver.h"

#include <aclapi.h>
#include <stdio.h>

#include <algorithm>

namespace e2e {

const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ミルトア";

namespace {

const char kCaption[] = "ミルトア修正パッチ";

std::string Utf8(const std::string& cp932) {
    if (cp932.empty())
        return cp932;
    int n = MultiByteToWideChar(932, 0, cp932.data(), static_cast<int>(cp932.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(932, 0, cp932.data(), static_cast<int>(cp932.size()), &wide[0], n);
    int m = WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(m), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, &out[0], m, nullptr, nullptr);
    return out;
}

}  // namespace

void Fail(const std::string& message) { throw Failure{message}; }

void Expect(bool condition, const std::string& message) {
    if (!condition)
        Fail(message);
}

void Log(const std::string& text) {
    std::string line = Utf8(text) + "\n";
    fwrite(line.data(), 1, line.size(), stdout);
    fflush(stdout);
}

void Pump(DWORD ms) {
    DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
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
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    std::string commandLine = "\"" + exe + "\"";
    if (!CreateProcessA(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        currentDirectory.empty() ? nullptr : currentDirectory.c_str(), &startup, &m_info))
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
    const char* title;
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
        char text[512];
        GetWindowTextA(hwnd, text, sizeof text);
        if (strcmp(text, context->title) != 0)
            return TRUE;
    }
    context->found = hwnd;
    return FALSE;
}

}  // namespace

HWND FindTopWindow(DWORD pid, const char* className, const char* title) {
    FindContext context = {pid, className, title, nullptr};
    EnumWindows(FindTopWindowProc, reinterpret_cast<LPARAM>(&context));
    return context.found;
}

LRESULT SendBounded(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(hwnd, message, wParam, lParam, SMTO_ABORTIFHUNG, 10000, &result))
        Fail("window " + ClassOf(hwnd) + " does not answer message " + std::to_string(message) + " (error " +
             std::to_string(GetLastError()) + ")");
    return static_cast<LRESULT>(result);
}

std::string WindowText(HWND hwnd) {
    char text[1024];
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutA(hwnd, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 10000,
                             &copied))
        Fail("cannot read the text of a window of class " + ClassOf(hwnd));
    return std::string(text, std::min<size_t>(copied, sizeof text - 1));
}

std::string ItemText(HWND dialog, int id) {
    HWND item = GetDlgItem(dialog, id);
    if (item == nullptr)
        Fail("the dialog has no control " + std::to_string(id));
    return WindowText(item);
}

std::string ClassOf(HWND hwnd) {
    char name[256];
    int n = GetClassNameA(hwnd, name, sizeof name);
    return std::string(name, n > 0 ? static_cast<size_t>(n) : 0);
}

void PressButton(HWND dialog, int id) {
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
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

std::string AnswerMessage(DWORD pid, const std::string& expected) {
    HWND box = nullptr;
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    WaitFor("the message box \"" + expected + "\"", [&] {
        box = FindTopWindow(pid, "#32770", kCaption);
        if (box == nullptr && process != nullptr && WaitForSingleObject(process, 0) == WAIT_OBJECT_0) {
            CloseHandle(process);
            process = nullptr;
            Fail("the installer ended without the message box \"" + expected + "\"");
        }
        return box != nullptr;
    });
    if (process != nullptr)
        CloseHandle(process);
    HWND text = GetDlgItem(box, 0xFFFF);
    Expect(text != nullptr, "the message box has no text");
    std::string shown = WindowText(text);
    Expect(shown == expected, "message box says \"" + shown + "\", expected \"" + expected + "\"");
    HWND owner = GetWindow(box, GW_OWNER);
    std::string ownerTitle;
    if (owner != nullptr) {
        char title[512];
        GetWindowTextA(owner, title, sizeof title);
        ownerTitle = title;
    }
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    WaitFor("the message box to close", [&] { return !IsWindow(box) || !IsWindowVisible(box); });
    return ownerTitle;
}

// --- registry ---

namespace {

HKEY CreateUninstallKey() {
    HKEY key = nullptr;
    LONG r = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (r != ERROR_SUCCESS)
        Fail("cannot create the uninstall key (error " + std::to_string(r) + ")");
    return key;
}

}  // namespace

void SetUninstallString(const std::string& value) {
    DeleteUninstallKey();
    HKEY key = CreateUninstallKey();
    LONG r = RegSetValueExA(key, "UninstallString", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
    if (r != ERROR_SUCCESS)
        Fail("cannot set UninstallString (error " + std::to_string(r) + ")");
}

void SetUninstallKeyWithoutValue() {
    DeleteUninstallKey();
    RegCloseKey(CreateUninstallKey());
}

void DeleteUninstallKey() {
    LONG r = RegDeleteKeyA(HKEY_LOCAL_MACHINE, kUninstallKey);
    if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND)
        Fail("cannot delete the uninstall key (error " + std::to_string(r) + ")");
}

void RestrictUninstallKeyToReading() {
    HKEY key = nullptr;
    LONG r = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_ALL_ACCESS, &key);
    if (r != ERROR_SUCCESS)
        Fail("cannot open the uninstall key to restrict it (error " + std::to_string(r) + ")");
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
    EXPLICIT_ACCESS_A access;
    ZeroMemory(&access, sizeof access);
    access.grfAccessPermissions = KEY_READ;
    access.grfAccessMode = SET_ACCESS;
    access.grfInheritance = NO_INHERITANCE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = static_cast<LPSTR>(everyone);
    PACL acl = nullptr;
    DWORD e = SetEntriesInAclA(1, &access, nullptr, &acl);
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
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    m_existed = true;
    char value[2048];
    DWORD size = sizeof value - 1;
    DWORD type = 0;
    if (RegQueryValueExA(key, "UninstallString", nullptr, &type, reinterpret_cast<BYTE*>(value), &size) ==
        ERROR_SUCCESS) {
        value[size] = 0;
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
            SetUninstallString(m_value);
        else
            SetUninstallKeyWithoutValue();
    } catch (const Failure& f) {
        Log("warning: could not restore the uninstall key: " + f.message);
    }
}

// --- files ---

std::string ReadFileBytes(const std::string& path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
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

bool FileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        Fail("cannot write " + path + " (error " + std::to_string(GetLastError()) + ")");
    DWORD written = 0;
    BOOL ok = bytes.empty() || WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(h);
    Expect(ok && written == bytes.size(), "short write to " + path);
}

void CopyFileOrFail(const std::string& from, const std::string& to) {
    if (!CopyFileA(from.c_str(), to.c_str(), FALSE))
        Fail("cannot copy " + from + " to " + to + " (error " + std::to_string(GetLastError()) + ")");
}

void MakeDirectories(const std::string& path) {
    for (size_t i = 3; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '\\') {
            std::string part = path.substr(0, i);
            if (!CreateDirectoryA(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
                Fail("cannot create folder " + part + " (error " + std::to_string(GetLastError()) + ")");
        }
        // Skip the second byte of a double-byte character: it may be '\'.
        if (i < path.size() && IsDBCSLeadByte(static_cast<BYTE>(path[i])))
            ++i;
    }
}

void RemoveTree(const std::string& path) {
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((path + "\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::string name = data.cFileName;
            if (name == "." || name == "..")
                continue;
            std::string child = path + "\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(child.c_str());
            }
        } while (FindNextFileA(find, &data));
        FindClose(find);
    }
    RemoveDirectoryA(path.c_str());
}

std::vector<std::string> ListFolder(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        std::string name = data.cFileName;
        if (name != "." && name != "..")
            names.push_back(name);
    } while (FindNextFileA(find, &data));
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

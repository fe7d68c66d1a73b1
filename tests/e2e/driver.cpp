// End-to-end driver: runs the real patch installer (and installer variants
// built around test archives) in the Wine prefix, operates its dialogs the way
// a user does, reads every message box, and compares the game's files byte
// for byte afterwards.
//
//   e2e_driver --build DIR --work DIR --group NAME [--full-disk X:]
//   e2e_driver --build DIR --demo-setup FOLDER
//   e2e_driver --build DIR --demo-run SHOT_FOLDER
//
// DIR may be a Unix path (it is then taken on drive Z:, Wine's view of /).
// Exit status: 0 when every scenario passed, 1 otherwise, 2 for bad usage.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "driver.h"

#include <commctrl.h>
#include <shellapi.h>

using namespace e2e;

namespace {

const char kMainTitle[] = "ミルトア　修正パッチインストール";
const char kProgressTitle[] = "インストール";
const char kAboutTitle[] = "ミルトア 修正パッチのﾊﾞｰｼﾞｮﾝ情報";
const char kGameClass[] = "ZazadERA_GameWindow";
const char kGameTitle[] = "ミルトア";

const char kSuccess[] = "正常に終了しました。";
const char kNothingTicked[] = "インストールするファイルを選択してください";
const char kGameRunning[] = "ミルトアを起動している場合には終了してください。";
const char kNoPatchData[] = "パッチデータが見つかりません。";
const char kBadPatchData[] = "パッチデータを開けませんでした。";
const char kNotInstalled[] = "ミルトアがインストールされていません。";
const char kNoInstallFolder[] = "ミルトアのインストール先が見つかりません。";
const char kCaption[] = "ミルトア修正パッチ";
const char kExe[] = "EXE ファイル";
const char kScript[] = "スクリプトファイル";

const int IDC_CHECK_EXE = 1001;
const int IDC_CHECK_SCRIPT = 1002;
const int IDC_PROGRESS = 1002;
const int IDC_STATUS = 1003;

std::string NotContained(const std::string& display) { return "パッチデータに" + display + "が含まれていません。"; }
std::string CannotOpen(const std::string& display) { return display + "を開けませんでした。"; }
std::string Damaged(const std::string& display) { return display + "のパッチデータが壊れています。"; }
std::string WriteError(const std::string& display) {
    return display + "への書き出し中にエラーが発生しました。\nディスクの空き容量を確認し、再びパッチをインストールしてください。";
}
std::string Installing(const std::string& display) { return display + "をインストールしています…"; }

void ExpectCentred(HWND window, const RECT& around, const std::string& what) {
    RECT r;
    GetWindowRect(window, &r);
    const LONG dx = (r.left + r.right) - (around.left + around.right);
    const LONG dy = (r.top + r.bottom) - (around.top + around.bottom);
    Expect(dx >= -2 && dx <= 2 && dy >= -2 && dy <= 2,
           what + " is not centred: " + std::to_string(r.left) + "," + std::to_string(r.top) + " off by " +
               std::to_string(dx / 2) + "," + std::to_string(dy / 2));
}

struct GameFiles {
    std::string exe;
    std::string script;
};

struct Setup {
    std::string build;
    std::string work;
    std::string fullDisk;  // a small drive, or empty
    GameFiles original;  // version 1.0, installed as the game
    GameFiles patch;     // version 1.1, in the demo patch

    std::string Product() const { return build + "\\app\\patch_installer.exe"; }
    std::string Variant(const char* name) const { return build + "\\tests\\e2e\\" + name + ".exe"; }
    std::string Payload(const char* folder, const char* file) const {
        return build + "\\tests\\e2e\\" + folder + "\\" + file;
    }
};

// --- building blocks of the scenarios ---

// A fresh folder holding the given game files; returned with its final '\'.
std::string GameFolder(const std::string& path, const GameFiles& files) {
    RemoveTree(path);
    MakeDirectories(path);
    WriteFileBytes(path + "\\quorvel.exe", files.exe);
    WriteFileBytes(path + "\\script.eka", files.script);
    return path + "\\";
}

// The folder holds exactly these two files (no temporary file left behind).
void ExpectGameFiles(const std::string& folder, const GameFiles& expected, const std::string& what) {
    ExpectSameFile(folder + "quorvel.exe", expected.exe, what + ", quorvel.exe");
    ExpectSameFile(folder + "script.eka", expected.script, what + ", script.eka");
    std::vector<std::string> names = ListFolder(folder.substr(0, folder.size() - 1));
    std::string list;
    for (const std::string& n : names)
        list += " " + n;
    Expect(names.size() == 2, what + ": the folder holds" + list + " (expected only quorvel.exe and script.eka)");
}

void PointRegistryAt(const std::string& folder) { SetUninstallString("\"" + folder + "uninst.exe\" /x"); }

// Wine's narrow file calls take names in the system's code page, whatever
// code page the program runs with: Japanese folder names reach the installer
// only where that is Shift-JIS.
void RequireShiftJisFileNames() {
    if (SystemCodePage() != 932)
        throw Skip{"Japanese folder names need the system code page 932 under Wine (this one is " +
                   std::to_string(SystemCodePage()) + ")"};
}

// Fails at once, with the message, when a message box comes instead.
HWND WaitMainDialog(const Process& installer) {
    HWND dialog = nullptr;
    WaitFor("the main dialog", [&] {
        dialog = FindTopWindow(installer.Id(), "#32770", kMainTitle);
        if (dialog != nullptr)
            return true;
        HWND box = FindTopWindow(installer.Id(), "#32770", kCaption);
        if (box != nullptr)
            Fail("instead of the main dialog the message \"" + WindowText(GetDlgItem(box, 0xFFFF)) + "\" appeared");
        Expect(installer.Running(), "the installer ended without showing the main dialog");
        return false;
    });
    return dialog;
}

// The progress dialog's status line; fails when the dialog has gone.
std::wstring StatusWhileRunning(HWND progress) {
    HWND status = GetDlgItem(progress, IDC_STATUS);
    Expect(IsWindow(progress) && status != nullptr, "the progress dialog ended before the work was done");
    DWORD_PTR copied = 0;
    wchar_t text[256];
    if (!SendMessageTimeoutW(status, WM_GETTEXT, 256, reinterpret_cast<LPARAM>(text), SMTO_NORMAL, kMessageTimeoutMs,
                             &copied))
        Fail("the progress dialog ended before the work was done");
    return std::wstring(text, copied < 256 ? copied : 0);
}

// The installer must end by itself, with exit code 0.
void ExpectEnd(Process& installer) {
    DWORD code = installer.WaitExit("the installer");
    Expect(code == 0, "the installer ended with exit code " + std::to_string(code));
}

// Start-up that must fail with one message box and no dialog.
void ExpectStartupFailure(const std::string& exe, const std::string& message) {
    Process installer;
    installer.Start(exe, "");
    std::wstring owner = AnswerMessage(installer.Id(), message);
    Expect(owner.empty(), "the start-up message box has an owner window: " + Narrow(owner));
    Expect(FindTopWindow(installer.Id(), "#32770", kMainTitle) == nullptr, "the main dialog appeared");
    ExpectEnd(installer);
}

// One installation run: tick, start, read the result, wait for the end.
void Install(const std::string& exe, const std::string& cwd, bool tickExe, bool tickScript,
             const std::string& expectedMessage) {
    Process installer;
    installer.Start(exe, cwd);
    HWND main = WaitMainDialog(installer);
    SetCheck(main, IDC_CHECK_EXE, tickExe);
    SetCheck(main, IDC_CHECK_SCRIPT, tickScript);
    PressButton(main, IDOK);
    std::wstring owner = AnswerMessage(installer.Id(), expectedMessage);
    Expect(owner == W(kProgressTitle),
           "the result message box belongs to \"" + Narrow(owner) + "\", not the progress dialog");
    ExpectEnd(installer);
}

// The notice of a program that runs without the Japanese code page: in
// Japanese and English, naming both code pages and the way to the Japanese
// one, with Yes and No.
void AnswerCodePageNotice(const Process& installer, int button) {
    HWND box = nullptr;
    WaitFor("the code page notice", [&] {
        box = FindTopWindow(installer.Id(), "#32770", W(kCaption));
        Expect(box != nullptr || installer.Running(), "the installer ended without the code page notice");
        return box != nullptr;
    });
    const std::wstring text = WideText(GetDlgItem(box, 0xFFFF));
    const std::string cp = std::to_string(SystemCodePage());
    const std::string parts[] = {"日本語の文字コード（コードページ 932）", "このパソコンの文字コードは " + cp,
                                 "Windows 11", "「Unicode 対応ではないプログラムの言語」", "code page " + cp,
                                 "Language for non-Unicode programs", "続行しますか？", "Continue anyway?"};
    for (const std::string& part : parts)
        Expect(text.find(W(part)) != std::wstring::npos, "the notice lacks \"" + part + "\": " + Narrow(text));
    Expect(GetDlgItem(box, IDYES) != nullptr && GetDlgItem(box, IDNO) != nullptr && GetDlgItem(box, IDOK) == nullptr,
           "the notice does not ask Yes or No");
    Expect(GetWindow(box, GW_OWNER) == nullptr, "the notice has an owner window");
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
    WaitFor("the notice to close", [&] { return !IsWindow(box) || !IsWindowVisible(box); });
}

std::string FileNamePart(const std::string& path) { return path.substr(path.find_last_of('\\') + 1); }

// What the system is to rename or remove at the next start.
const wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
std::wstring PendingRemovals() {
    HKEY key = nullptr;
    std::wstring pending;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return pending;
    DWORD size = 0;
    if (RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
        pending.resize(size / sizeof(wchar_t) + 1);
        RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, reinterpret_cast<BYTE*>(&pending[0]),
                         &size);
        for (wchar_t& c : pending)
            c = c == 0 ? L'|' : c;
    }
    RegCloseKey(key);
    return pending;
}
void ForgetPendingRemovals() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        RegDeleteValueW(key, L"PendingFileRenameOperations");
        RegCloseKey(key);
    }
}

// --- scenarios ---

int CALLBACK NoteFontFound(const LOGFONTA*, const TEXTMETRICA*, DWORD, LPARAM found) {
    *reinterpret_cast<bool*>(found) = true;
    return 0;
}

struct Scenario {
    const char* group;
    const char* name;
    std::function<void(const Setup&)> run;
};

std::vector<Scenario> Scenarios() {
    std::vector<Scenario> list;

    // Start-up failures: one message box without owner, nothing written.
    list.push_back({"startup", "no patch data resource", [](const Setup& s) {
                        std::string folder = GameFolder(s.work + "\\startup", s.original);
                        PointRegistryAt(folder);
                        ExpectStartupFailure(s.Variant("e2e_no_data"), kNoPatchData);
                        ExpectGameFiles(folder, s.original, "after the failed start");
                    }});
    list.push_back({"startup", "patch data of the numeric RCDATA type is not taken", [](const Setup& s) {
                        std::string folder = GameFolder(s.work + "\\startup", s.original);
                        PointRegistryAt(folder);
                        ExpectStartupFailure(s.Variant("e2e_numeric_type"), kNoPatchData);
                        ExpectGameFiles(folder, s.original, "after the failed start");
                    }});
    list.push_back({"startup", "damaged archive header", [](const Setup& s) {
                        std::string folder = GameFolder(s.work + "\\startup", s.original);
                        PointRegistryAt(folder);
                        ExpectStartupFailure(s.Variant("e2e_bad_archive"), kBadPatchData);
                        ExpectGameFiles(folder, s.original, "after the failed start");
                    }});
    list.push_back({"startup", "one byte of the patch data changed after it was made", [](const Setup& s) {
                        std::string folder = GameFolder(s.work + "\\startup", s.original);
                        PointRegistryAt(folder);
                        ExpectStartupFailure(s.Variant("e2e_damaged_download"), kBadPatchData);
                        ExpectGameFiles(folder, s.original, "after the failed start");
                    }});
    list.push_back({"startup", "uninstall key missing", [](const Setup& s) {
                        std::string folder = GameFolder(s.work + "\\startup", s.original);
                        DeleteUninstallKey();
                        ExpectStartupFailure(s.Product(), kNotInstalled);
                        ExpectGameFiles(folder, s.original, "after the failed start");
                    }});
    list.push_back({"startup", "UninstallString missing", [](const Setup& s) {
                        SetUninstallKeyWithoutValue();
                        ExpectStartupFailure(s.Product(), kNoInstallFolder);
                    }});
    list.push_back({"startup", "UninstallString empty", [](const Setup& s) {
                        SetUninstallString("");
                        ExpectStartupFailure(s.Product(), kNoInstallFolder);
                    }});
    list.push_back({"startup", "uninstall key that may only be read", [](const Setup& s) {
                        std::string folder = GameFolder(s.work + "\\startup", s.original);
                        PointRegistryAt(folder);
                        RestrictUninstallKeyToReading();
                        HKEY key = nullptr;
                        LONG r = RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(kUninstallKey).c_str(), 0, KEY_ALL_ACCESS, &key);
                        if (r == ERROR_SUCCESS) {
                            RegCloseKey(key);
                            Log("  note: this Wine grants full access to the restricted key anyway");
                        }
                        Process installer;
                        installer.Start(s.Product(), "");
                        HWND main = WaitMainDialog(installer);
                        PressButton(main, IDCANCEL);
                        ExpectEnd(installer);
                        DeleteUninstallKey();
                        ExpectGameFiles(folder, s.original, "after leaving with 終了");
                    }});

    // The main dialog and its checks.
    list.push_back({"dialog", "main dialog as designed; nothing ticked; 終了", [](const Setup& s) {
                        std::string folder = GameFolder(s.work + "\\dialog", s.original);
                        PointRegistryAt(folder);
                        Process installer;
                        installer.Start(s.Product(), "");
                        HWND main = WaitMainDialog(installer);
                        LONG style = GetWindowLongA(main, GWL_STYLE);
                        LONG exStyle = GetWindowLongA(main, GWL_EXSTYLE);
                        const LONG wanted = static_cast<LONG>(0x90C800C0);
                        Expect((style & wanted) == wanted, "main dialog style " + std::to_string(style));
                        Expect((exStyle & WS_EX_APPWINDOW) != 0, "main dialog lacks WS_EX_APPWINDOW");
                        const struct {
                            int id;
                            const char* text;
                        } items[] = {{IDOK, "開始"}, {IDCANCEL, "終了"}, {IDC_CHECK_EXE, kExe}, {IDC_CHECK_SCRIPT, kScript}};
                        for (const auto& item : items)
                            Expect(ItemText(main, item.id) == W(item.text),
                                   "control " + std::to_string(item.id) + " reads \"" + Narrow(ItemText(main, item.id)) +
                                       "\", expected \"" + item.text + "\"");
                        Expect(IsChecked(main, IDC_CHECK_EXE), "EXE ファイル is not ticked at first");
                        Expect(!IsChecked(main, IDC_CHECK_SCRIPT), "スクリプトファイル is ticked at first");
                        // Caption buttons draw their symbols in Marlett (scripts/wine-prefix).
                        LOGFONTA marlett;
                        ZeroMemory(&marlett, sizeof marlett);
                        marlett.lfCharSet = DEFAULT_CHARSET;
                        lstrcpyA(marlett.lfFaceName, "Marlett");
                        bool found = false;
                        HDC screen = GetDC(nullptr);
                        EnumFontFamiliesExA(screen, &marlett, NoteFontFound, reinterpret_cast<LPARAM>(&found), 0);
                        ReleaseDC(nullptr, screen);
                        Expect(found, "no Marlett font: the close box shows a letter");

                        SetCheck(main, IDC_CHECK_EXE, false);
                        PressButton(main, IDOK);
                        std::wstring owner = AnswerMessage(installer.Id(), kNothingTicked);
                        Expect(owner == W(kMainTitle), "the message box does not belong to the main dialog");
                        Pump(200);
                        Expect(IsWindow(main) && installer.Running(), "the main dialog closed after the message");
                        ExpectGameFiles(folder, s.original, "after 開始 with nothing ticked");
                        PressButton(main, IDCANCEL);
                        ExpectEnd(installer);
                        ExpectGameFiles(folder, s.original, "after 終了");
                    }});
    list.push_back({"dialog", "about box from the system menu", [](const Setup& s) {
                        std::string folder = GameFolder(s.work + "\\dialog", s.original);
                        PointRegistryAt(folder);
                        Process installer;
                        installer.Start(s.Product(), "");
                        HWND main = WaitMainDialog(installer);
                        PostMessageA(main, WM_SYSCOMMAND, 0x10, 0);
                        HWND about = nullptr;
                        WaitFor("the about box", [&] {
                            about = FindTopWindow(installer.Id(), "#32770", kAboutTitle);
                            return about != nullptr;
                        });
                        Expect(!IsWindowEnabled(main), "the main dialog stays enabled under the about box");
                        // Templates at 0,0 open centred: the main dialog on the work area,
                        // the about box over the main dialog.
                        RECT work;
                        SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
                        ExpectCentred(main, work, "the main dialog");
                        RECT mainRect;
                        GetWindowRect(main, &mainRect);
                        ExpectCentred(about, mainRect, "the about box");
                        // The controls in template order, with the styles the template gives them.
                        const struct {
                            const char* what;
                            LONG style;
                        } controls[] = {{"icon", SS_ICON},
                                        {"first text", SS_LEFT | SS_NOPREFIX | WS_GROUP},
                                        {"second text", SS_LEFT | WS_GROUP},
                                        {"OK button", BS_DEFPUSHBUTTON | WS_GROUP | WS_TABSTOP}};
                        HWND child = GetWindow(about, GW_CHILD);
                        for (const auto& c : controls) {
                            Expect(child != nullptr, std::string("the about box lacks its ") + c.what);
                            const LONG style = GetWindowLongA(child, GWL_STYLE);
                            Expect((style & c.style) == c.style, std::string("the about box's ") + c.what +
                                                                     " has style " + std::to_string(style));
                            child = GetWindow(child, GW_HWNDNEXT);
                        }
                        PressButton(about, IDOK);
                        WaitFor("the about box to close", [&] { return !IsWindow(about); });
                        Expect(IsWindow(main), "the main dialog closed with the about box");
                        PressButton(main, IDCANCEL);
                        ExpectEnd(installer);
                        ExpectGameFiles(folder, s.original, "after the about box");
                    }});
    list.push_back({"dialog", "running game blocks until it ends", [](const Setup& s) {
                        std::string folder = GameFolder(s.work + "\\running", s.original);
                        PointRegistryAt(folder);
                        Process game;
                        game.Start(folder + "quorvel.exe", folder);
                        HWND gameWindow = nullptr;
                        WaitFor("the game window", [&] {
                            // The game asks for no code page: its title is converted by the system's.
                            gameWindow = FindTopWindow(game.Id(), kGameClass, W(kGameTitle, SystemCodePage()));
                            return gameWindow != nullptr;
                        });
                        Process installer;
                        installer.Start(s.Product(), "");
                        HWND main = WaitMainDialog(installer);
                        SetCheck(main, IDC_CHECK_SCRIPT, true);
                        PressButton(main, IDOK);
                        std::wstring owner = AnswerMessage(installer.Id(), kGameRunning);
                        Expect(owner == W(kMainTitle), "the message box does not belong to the main dialog");
                        Pump(200);
                        Expect(IsWindow(main), "the main dialog closed after the message");
                        ExpectGameFiles(folder, s.original, "while the game runs");

                        PostMessageA(gameWindow, WM_CLOSE, 0, 0);
                        game.WaitExit("the game");
                        PressButton(main, IDOK);
                        owner = AnswerMessage(installer.Id(), kSuccess);
                        Expect(owner == W(kProgressTitle), "the result does not belong to the progress dialog");
                        ExpectEnd(installer);
                        ExpectGameFiles(folder, s.patch, "after the game ended");
                    }});
    list.push_back({"dialog", "a window titled ミルトア of another class does not block", [](const Setup& s) {
                        std::string folder = GameFolder(s.work + "\\other", s.original);
                        PointRegistryAt(folder);
                        WNDCLASSW wc;
                        ZeroMemory(&wc, sizeof wc);
                        wc.lpfnWndProc = DefWindowProcW;
                        wc.hInstance = GetModuleHandleW(nullptr);
                        wc.lpszClassName = L"E2EOtherWindowClass";
                        RegisterClassW(&wc);
                        HWND other = CreateWindowW(L"E2EOtherWindowClass", W(kGameTitle).c_str(), WS_OVERLAPPED, 0, 0, 100, 100,
                                                   nullptr, nullptr, wc.hInstance, nullptr);
                        Expect(other != nullptr, "cannot create the other window");
                        ShowWindow(other, SW_SHOWNOACTIVATE);
                        try {
                            Install(s.Product(), "", true, false, kSuccess);
                        } catch (...) {
                            DestroyWindow(other);
                            throw;
                        }
                        DestroyWindow(other);
                        ExpectGameFiles(folder, GameFiles{s.patch.exe, s.original.script}, "after the run");
                    }});

    // Installation runs that succeed, and missing entries.
    list.push_back({"install", "EXE only; quoted path with spaces, 0x5C trail bytes and arguments", [](const Setup& s) {
                        RequireShiftJisFileNames();
                        // "ソ" and "表" end in the byte 0x5C in Shift-JIS.
                        std::string folder = GameFolder(s.work + "\\ソフト 表", s.original);
                        SetUninstallString("\"" + folder + "uninst.exe\" /x");
                        Install(s.Product(), "", true, false, kSuccess);
                        ExpectGameFiles(folder, GameFiles{s.patch.exe, s.original.script}, "after the run");
                    }});
    list.push_back({"install", "script only; blanks before the quote", [](const Setup& s) {
                        std::string folder = GameFolder(s.work + "\\script only", s.original);
                        SetUninstallString("  \t\"" + folder + "uninst.exe\"");
                        Install(s.Product(), "", false, true, kSuccess);
                        ExpectGameFiles(folder, GameFiles{s.original.exe, s.patch.script}, "after the run");
                    }});
    list.push_back({"install", "both; quote not closed", [](const Setup& s) {
                        std::string folder = GameFolder(s.work + "\\both", s.original);
                        SetUninstallString("\"" + folder + "uninst.exe");
                        Install(s.Product(), "", true, true, kSuccess);
                        ExpectGameFiles(folder, s.patch, "after the run");
                    }});
    list.push_back({"install", "unquoted path ends at its first space", [](const Setup& s) {
                        std::string outer = GameFolder(s.work + "\\unquoted", s.original);
                        std::string inner = GameFolder(s.work + "\\unquoted\\game dir", s.original);
                        SetUninstallString(inner + "uninst.exe /x");
                        Install(s.Product(), "", true, true, kSuccess);
                        ExpectSameFile(outer + "quorvel.exe", s.patch.exe, "the folder before the space");
                        ExpectSameFile(outer + "script.eka", s.patch.script, "the folder before the space");
                        ExpectGameFiles(inner, s.original, "the folder after the space");
                    }});
    list.push_back({"install", "unquoted command in a folder with spaces, the program present", [](const Setup& s) {
                        const std::string root = "C:\\My Games";
                        std::string folder = GameFolder(root + "\\Miltoa Game", s.original);
                        WriteFileBytes(folder + "uninst.exe", "MZ");
                        std::vector<std::string> drive = ListFolder("C:");
                        SetUninstallString(folder + "uninst.exe /x");
                        Install(s.Product(), "", true, true, kSuccess);
                        ExpectSameFile(folder + "quorvel.exe", s.patch.exe, "the game folder");
                        ExpectSameFile(folder + "script.eka", s.patch.script, "the game folder");
                        Expect(ListFolder(root + "\\Miltoa Game").size() == 3, "more than the game's files in its folder");
                        Expect(ListFolder("C:") == drive, "the installer wrote to C:\\");
                        RemoveTree(root);
                    }});
    list.push_back({"install", "no separator in the value: the current directory", [](const Setup& s) {
                        std::string cwd = GameFolder(s.work + "\\current", s.original);
                        SetUninstallString("uninst.exe");
                        Install(s.Product(), cwd.substr(0, cwd.size() - 1), true, true, kSuccess);
                        ExpectGameFiles(cwd, s.patch, "the current directory");
                    }});
    list.push_back({"install", "coded entry of 128 KiB and empty raw entry", [](const Setup& s) {
                        std::string folder = GameFolder(s.work + "\\sizes", s.original);
                        PointRegistryAt(folder);
                        Install(s.Variant("e2e_sizes"), "", true, true, kSuccess);
                        GameFiles expected{ReadFileBytes(s.Payload("sizes", "quorvel.exe")),
                                           ReadFileBytes(s.Payload("sizes", "script.eka"))};
                        Expect(expected.exe.size() == 131072 && expected.script.empty(), "unexpected payload sizes");
                        ExpectGameFiles(folder, expected, "after the run");
                    }});
    list.push_back({"install", "empty coded entry and raw entry of 64 KiB", [](const Setup& s) {
                        std::string folder = GameFolder(s.work + "\\sizes2", s.original);
                        PointRegistryAt(folder);
                        Install(s.Variant("e2e_sizes2"), "", true, true, kSuccess);
                        GameFiles expected{ReadFileBytes(s.Payload("sizes2", "quorvel.exe")),
                                           ReadFileBytes(s.Payload("sizes2", "script.eka"))};
                        Expect(expected.exe.empty() && expected.script.size() == 65536, "unexpected payload sizes");
                        ExpectGameFiles(folder, expected, "after the run");
                    }});
    list.push_back({"install", "signed after it was made: installs as unsigned", [](const Setup& s) {
                        std::string folder = GameFolder(s.work + "\\signed", s.original);
                        PointRegistryAt(folder);
                        Install(s.Variant("e2e_signed"), "", true, true, kSuccess);
                        ExpectGameFiles(folder, s.patch, "after the run");
                    }});
    list.push_back({"install", "EXE missing from the patch: nothing installed", [](const Setup& s) {
                        std::string folder = GameFolder(s.work + "\\no exe", s.original);
                        PointRegistryAt(folder);
                        Install(s.Variant("e2e_only_script"), "", true, true, NotContained(kExe));
                        ExpectGameFiles(folder, s.original, "after the failure");
                    }});
    list.push_back({"install", "script missing from the patch: the EXE stays installed", [](const Setup& s) {
                        std::string folder = GameFolder(s.work + "\\no script", s.original);
                        PointRegistryAt(folder);
                        Install(s.Variant("e2e_only_exe"), "", true, true, NotContained(kScript));
                        ExpectGameFiles(folder, GameFiles{s.patch.exe, s.original.script}, "after the failure");
                    }});

    // Failures while writing: the game's files stay as they were.
    list.push_back({"failures", "target held open by another program", [](const Setup& s) {
                        std::string folder = GameFolder(s.work + "\\held", s.original);
                        PointRegistryAt(folder);
                        HANDLE held = CreateFileW(W(folder + "quorvel.exe").c_str(), GENERIC_READ, 0, nullptr,
                                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
                        Expect(held != INVALID_HANDLE_VALUE, "cannot hold quorvel.exe open");
                        try {
                            Install(s.Product(), "", true, true, CannotOpen(kExe));
                        } catch (...) {
                            CloseHandle(held);
                            throw;
                        }
                        CloseHandle(held);
                        ExpectGameFiles(folder, s.original, "after the failure");
                    }});
    list.push_back({"failures", "read-only EXE", [](const Setup& s) {
                        std::string folder = GameFolder(s.work + "\\read-only", s.original);
                        PointRegistryAt(folder);
                        SetFileAttributesW(W(folder + "quorvel.exe").c_str(), FILE_ATTRIBUTE_READONLY);
                        Install(s.Product(), "", true, true, CannotOpen(kExe));
                        ExpectGameFiles(folder, s.original, "after the failure");
                    }});
    list.push_back({"failures", "read-only script after the EXE went in", [](const Setup& s) {
                        std::string folder = GameFolder(s.work + "\\read-only script", s.original);
                        PointRegistryAt(folder);
                        SetFileAttributesW(W(folder + "script.eka").c_str(), FILE_ATTRIBUTE_READONLY);
                        Install(s.Product(), "", true, true, CannotOpen(kScript));
                        ExpectGameFiles(folder, GameFiles{s.patch.exe, s.original.script}, "after the failure");
                    }});
    list.push_back({"failures", "install folder does not exist", [](const Setup& s) {
                        std::string folder = s.work + "\\missing\\";
                        RemoveTree(s.work + "\\missing");
                        PointRegistryAt(folder);
                        Install(s.Product(), "", true, true, CannotOpen(kExe));
                        Expect(!FileExists(s.work + "\\missing"), "the missing folder was created");
                    }});
    list.push_back({"failures", "damaged coded data", [](const Setup& s) {
                        std::string folder = GameFolder(s.work + "\\damaged", s.original);
                        PointRegistryAt(folder);
                        Install(s.Variant("e2e_bad_entry"), "", true, true, Damaged(kExe));
                        ExpectGameFiles(folder, s.original, "after the failure");
                    }});
    // run-e2e.sh runs this group with a file size limit of 64 KiB (and
    // SIGXFSZ ignored), so that the EXE cannot grow past it: a failed write
    // without the root rights a small disk needs.
    list.push_back({"noroom", "no room for the EXE: a file that cannot grow", [](const Setup& s) {
                        GameFiles small{std::string(8192, 'Q'), std::string(1024, 'S')};
                        std::string folder = GameFolder(s.work + "\\noroom", small);
                        PointRegistryAt(folder);
                        Install(s.Product(), "", true, true, WriteError(kExe));
                        ExpectGameFiles(folder, small, "after the failure");
                    }});
    list.push_back({"diskfull", "disk full", [](const Setup& s) {
                        if (s.fullDisk.empty())
                            throw Skip{"no small drive was mounted (mounting a tmpfs needs root)"};
                        // Small stand-ins for the game's files: they fit, the patch does not.
                        GameFiles small{std::string(8192, 'Q'), std::string(1024, 'S')};
                        std::string folder = GameFolder(s.fullDisk + "\\miltoa", small);
                        PointRegistryAt(folder);
                        Install(s.Product(), "", true, true, WriteError(kExe));
                        ExpectGameFiles(folder, small, "after the failure");
                    }});

    // Other programs that hold the files for a while, as virus scanners do:
    // the new file or the game's, for a second or for the whole run.
    const struct {
        const char* name;
        const char* folder;
        bool gameFile;
        DWORD ms;
    } holds[] = {{"the new file held for a second", "scan-new", false, 1000},
                 {"the game's file held for a second as the new one is written", "scan-old", true, 1000},
                 {"the game's file held for the whole run once the new one is written", "scan-old-long", true, INFINITE},
                 {"the new file held for the whole run: removed at the next start", "scan-new-long", false, INFINITE}};
    for (const auto& h : holds)
        list.push_back({"locks", h.name, [h](const Setup& s) {
                            std::string folder = GameFolder(s.work + "\\" + h.folder, s.original);
                            PointRegistryAt(folder);
                            FileHolder scanner(folder, "mtp*.tmp", h.gameFile ? folder + "quorvel.exe" : "",
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, h.ms);
                            const bool whole = h.ms == INFINITE;
                            Install(s.Product(), "", true, whole, whole ? CannotOpen(kExe) : std::string(kSuccess));
                            Expect(scanner.Held(), "the scanner never got hold of the file");
                            const std::string held = scanner.HeldPath();
                            scanner.Release();
                            if (whole && !h.gameFile) {
                                Expect(PendingRemovals().find(W(FileNamePart(held))) != std::wstring::npos,
                                       held + " is not to be removed at the next start");
                                ForgetPendingRemovals();
                                DeleteFileW(W(held).c_str());
                            }
                            ExpectGameFiles(folder, whole ? s.original : GameFiles{s.patch.exe, s.original.script},
                                            "after the run");
                        }});

    // A program without the manifest's code page: the notice where the
    // system's is not Shift-JIS, nothing where it is.
    list.push_back({"codepage", "code page 932: no notice", [](const Setup& s) {
                        if (SystemCodePage() != 932)
                            throw Skip{"the system code page is not 932"};
                        std::string folder = GameFolder(s.work + "\\codepage", s.original);
                        PointRegistryAt(folder);
                        Process installer;
                        installer.Start(s.Variant("e2e_no_codepage"), "");
                        PressButton(WaitMainDialog(installer), IDCANCEL);
                        ExpectEnd(installer);
                    }});
    for (int answer : {IDNO, IDYES})
        list.push_back({"codepage",
                        answer == IDNO ? "another code page: the notice, and No changes nothing"
                                       : "another code page: the notice, and Yes goes on",
                        [answer](const Setup& s) {
                            if (SystemCodePage() == 932)
                                throw Skip{"the system code page is 932"};
                            std::string folder = GameFolder(s.work + "\\codepage", s.original);
                            PointRegistryAt(folder);
                            Process installer;
                            installer.Start(s.Variant("e2e_no_codepage"), "");
                            AnswerCodePageNotice(installer, answer);
                            // Yes: the start-up goes on in the system's code page, in which
                            // the uninstall key's Shift-JIS name names another key.
                            const UINT cp = SystemCodePage();
                            if (answer == IDYES)
                                AnswerMessage(installer.Id(), W(kCaption, cp), W(kNotInstalled, cp), IDOK);
                            ExpectEnd(installer);
                            ExpectGameFiles(folder, s.original, "afterwards");
                        }});

    // The progress dialog.
    list.push_back({"progress", "Enter, Esc and close requests do not end the progress dialog", [](const Setup& s) {
                        std::string folder = GameFolder(s.work + "\\keys", s.original);
                        PointRegistryAt(folder);
                        Process installer;
                        installer.Start(s.Product(), "");
                        HWND main = WaitMainDialog(installer);
                        SetCheck(main, IDC_CHECK_SCRIPT, true);
                        PressButton(main, IDOK);
                        HWND progress = nullptr;
                        WaitFor("the progress dialog", [&] {
                            progress = FindTopWindow(installer.Id(), "#32770", kProgressTitle);
                            return progress != nullptr;
                        });
                        auto knock = [&] {
                            PostMessageA(progress, WM_KEYDOWN, VK_RETURN, 0);
                            PostMessageA(progress, WM_KEYDOWN, VK_ESCAPE, 0);
                            PostMessageA(progress, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
                            PostMessageA(progress, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
                            PostMessageA(progress, WM_CLOSE, 0, 0);
                            PostMessageA(progress, WM_SYSCOMMAND, SC_CLOSE, 0);
                            PostMessageA(progress, WM_SYSKEYDOWN, VK_F4, 1 << 29);  // Alt+F4
                        };
                        knock();
                        Expect(!IsWindowEnabled(main), "the main dialog stays enabled under the progress dialog");
                        WaitFor("the EXE's status line", [&] {
                            return StatusWhileRunning(progress) == W(Installing(kExe));
                        });
                        HWND bar = GetDlgItem(progress, IDC_PROGRESS);
                        Expect(SendBounded(bar, PBM_GETRANGE, FALSE, 0) == 100, "progress range is not 0 to 100");
                        knock();
                        WaitFor("the script's status line", [&] {
                            return StatusWhileRunning(progress) == W(Installing(kScript));
                        });
                        knock();
                        std::wstring owner = AnswerMessage(installer.Id(), kSuccess);
                        Expect(owner == W(kProgressTitle), "the result does not belong to the progress dialog");
                        ExpectEnd(installer);
                        ExpectGameFiles(folder, s.patch, "after the run");
                    }});
    return list;
}

GameFiles LoadGame(const std::string& folder) {
    return GameFiles{ReadFileBytes(folder + "\\quorvel.exe"), ReadFileBytes(folder + "\\script.eka")};
}

// A group whose every scenario was skipped ends with this code, which CTest
// reports as a skip (SKIP_RETURN_CODE).
const int kSkipped = 77;

int RunGroup(const Setup& setup, const std::string& group) {
    UninstallKeyGuard keyGuard;
    int passed = 0, failed = 0, skipped = 0, total = 0;
    for (const Scenario& scenario : Scenarios()) {
        if (group != "all" && group != scenario.group)
            continue;
        ++total;
        Log(std::string("[ RUN    ] ") + scenario.group + ": " + scenario.name);
        try {
            scenario.run(setup);
            ++passed;
            Log(std::string("[     OK ] ") + scenario.name);
        } catch (const Failure& f) {
            ++failed;
            Log(std::string("[ FAILED ] ") + scenario.name + ": " + f.message);
        } catch (const Skip& k) {
            ++skipped;
            Log(std::string("[ SKIPPED] ") + scenario.name + ": " + k.why);
        }
    }
    if (total == 0) {
        Log("no scenarios in group " + group);
        return 2;
    }
    Log(std::to_string(passed) + " of " + std::to_string(total) + " scenarios passed" +
        (skipped != 0 ? ", " + std::to_string(skipped) + " skipped" : ""));
    if (failed != 0)
        return 1;
    return skipped == total ? kSkipped : 0;
}

// --- the demo (scripts/demo) ---

int DemoSetup(const Setup& setup, const std::string& folderPath) {
    std::string folder = GameFolder(folderPath, setup.original);
    PointRegistryAt(folder);
    Log("ミルトア 1.0 installed in " + folder);
    return 0;
}

int DemoRun(const Setup& setup, const std::string& shots) {
    MakeDirectories(shots);
    Process installer;
    installer.Start(setup.Product(), "");
    HWND main = WaitMainDialog(installer);
    SetCheck(main, IDC_CHECK_SCRIPT, true);
    Pump(500);
    SaveScreen(shots + "\\1-main.bmp");
    PressButton(main, IDOK);
    HWND progress = nullptr;
    WaitFor("the progress dialog", [&] {
        progress = FindTopWindow(installer.Id(), "#32770", kProgressTitle);
        return progress != nullptr && !ItemText(progress, IDC_STATUS).empty();
    });
    HWND bar = GetDlgItem(progress, IDC_PROGRESS);
    WaitFor("some progress", [&] { return !IsWindow(progress) || SendBounded(bar, PBM_GETPOS, 0, 0) > 0; });
    SaveScreen(shots + "\\2-progress.bmp");
    HWND box = nullptr;
    WaitFor("the result", [&] {
        box = FindTopWindow(installer.Id(), "#32770", kCaption);
        return box != nullptr;
    });
    Pump(300);
    SaveScreen(shots + "\\3-result.bmp");
    Log("result: " + WindowText(GetDlgItem(box, 0xFFFF)));
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    ExpectEnd(installer);
    return 0;
}

// --- start-up time (bench/startup_digest.sh) ---

// Milliseconds from the start of each program to its main dialog, in rounds
// that take the programs in turn, so that a busy moment hurts all alike.
int TimeStartup(const Setup& setup, const std::vector<std::string>& programs, int rounds) {
    UninstallKeyGuard keyGuard;
    PointRegistryAt(GameFolder(setup.work + "\\startup-time", setup.original));
    std::vector<std::vector<DWORD>> times(programs.size());
    for (int round = 0; round < rounds; ++round) {
        for (size_t p = 0; p < programs.size(); ++p) {
            Process installer;
            const DWORD start = GetTickCount();
            installer.Start(programs[p], "");
            HWND main = WaitMainDialog(installer);
            times[p].push_back(GetTickCount() - start);
            PressButton(main, IDCANCEL);
            ExpectEnd(installer);
        }
    }
    for (size_t p = 0; p < programs.size(); ++p) {
        std::vector<DWORD> t = times[p];
        std::sort(t.begin(), t.end());
        printf("%8lu ms median %8lu ms min  %s\n", static_cast<unsigned long>(t[t.size() / 2]),
               static_cast<unsigned long>(t[0]), Utf8Text(programs[p]).c_str());
    }
    return 0;
}

int Usage() {
    fputs("usage: e2e_driver --build DIR --work DIR --group GROUP [--full-disk X:]\n"
          "       e2e_driver --build DIR --demo-setup FOLDER\n"
          "       e2e_driver --build DIR --demo-run SHOT_FOLDER\n"
          "       e2e_driver --build DIR --work DIR --time-startup PROGRAM,PROGRAM... [--rounds N]\n"
          "groups: startup dialog install failures locks codepage noroom diskfull progress all\n",
          stderr);
    return 2;
}

}  // namespace

int main() {
    // The wide command line: a Japanese folder must not depend on the
    // driver's own code page.
    int argc = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (wide == nullptr)
        return Usage();
    std::vector<std::string> argv;
    for (int i = 0; i < argc; ++i)
        argv.push_back(Narrow(wide[i]));
    LocalFree(wide);
    Setup setup;
    std::string group, demoSetup, demoRun;
    std::vector<std::string> timed;
    int rounds = 11;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc)
            return Usage();
        std::string v = argv[++i];
        if (a == "--build")
            setup.build = WindowsPath(v);
        else if (a == "--work")
            setup.work = WindowsPath(v);
        else if (a == "--group")
            group = v;
        else if (a == "--full-disk")
            setup.fullDisk = WindowsPath(v);
        else if (a == "--demo-setup")
            demoSetup = WindowsPath(v);
        else if (a == "--demo-run")
            demoRun = WindowsPath(v);
        else if (a == "--time-startup")
            for (size_t from = 0; from <= v.size();) {
                const size_t comma = std::min(v.find(',', from), v.size());
                timed.push_back(WindowsPath(v.substr(from, comma - from)));
                from = comma + 1;
            }
        else if (a == "--rounds")
            rounds = std::max(1, atoi(v.c_str()));
        else
            return Usage();
    }
    if (setup.build.empty() || (group.empty() && demoSetup.empty() && demoRun.empty() && timed.empty()))
        return Usage();
    try {
        setup.original = LoadGame(setup.build + "\\demo\\game-1.0");
        setup.patch = LoadGame(setup.build + "\\demo\\game-1.1");
        if (!demoSetup.empty())
            return DemoSetup(setup, demoSetup);
        if (!demoRun.empty())
            return DemoRun(setup, demoRun);
        if (setup.work.empty())
            return Usage();
        MakeDirectories(setup.work);
        if (!timed.empty())
            return TimeStartup(setup, timed, rounds);
        return RunGroup(setup, group);
    } catch (const Failure& f) {
        Log("error: " + f.message);
        return 1;
    }
}

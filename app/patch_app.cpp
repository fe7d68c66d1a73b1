#include "app/patch_app.h"

#include "app/install.h"
#include "app/patch_digest.h"
#include "app/patch_dlg.h"
#include "app/registry_key.h"
#include "app/resources/resource.h"
#include "gls/library.h"

#include <stdio.h>

namespace {

const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ミルトア";

const UINT kJapaneseCodePage = 932;

// Shift-JIS text as UTF-16, whatever the process's code page.
EWideString FromShiftJis(const char* text) {
    EWideString wide;
    const int n = ::MultiByteToWideChar(kJapaneseCodePage, 0, text, -1, nullptr, 0);
    if (n > 0) {
        wide.SetCapacity(static_cast<unsigned int>(n));
        if (wide.GetBuffer() != nullptr && wide.GetCapacity() >= static_cast<unsigned int>(n) &&
            ::MultiByteToWideChar(kJapaneseCodePage, 0, text, -1, reinterpret_cast<wchar_t*>(wide.GetBuffer()), n) ==
                n)
            wide.SetLength(static_cast<unsigned int>(n - 1));
    }
    return wide;
}

// The program's texts, its registry key and its file names are Shift-JIS.
// The manifest asks Windows for that code page (Windows 11 and later grant it
// whatever the system's); elsewhere every Japanese text would come out
// unreadable, so the player is told first, in a box that does not depend on
// the code page, and may stop with nothing changed.
bool StartDespiteCodePage() {
    const UINT codePage = ::GetACP();
    if (codePage == kJapaneseCodePage)
        return true;
    char text[2048];
    snprintf(text, sizeof text,
              "この修正パッチは日本語の文字コード（コードページ 932）で動作しますが、このパソコンの文字コードは"
              " %u です。このまま続けると文字化けし、正しくインストールできない場合があります。\n"
              "Windows 11 では、このパッチは自動的に日本語の文字コードで動作します。それより前の Windows では、"
              "「コントロール パネル」→「時計と地域」→「地域」→「管理」タブの「Unicode 対応ではないプログラムの言語」"
              "を「日本語 (日本)」にして（「ベータ: ワールドワイド言語サポートで Unicode UTF-8 を使用」は"
              "オフ）、再起動してください。\n\n"
              "This patch needs the Japanese code page (932); this computer uses code page %u, so the "
              "installer's texts may be unreadable and the installation may fail.\n"
              "On Windows 11 the patch runs with the Japanese code page by itself. On earlier Windows, open "
              "Control Panel > Clock and Region > Region > Administrative, set \"Language for non-Unicode "
              "programs\" to Japanese (Japan) (with \"Beta: Use Unicode UTF-8 for worldwide language "
              "support\" off) and restart Windows.\n\n"
              "続行しますか？  Continue anyway?",
              codePage, codePage);
    const EWideString wideText = FromShiftJis(text);
    const EWideString wideCaption = FromShiftJis(kMessageCaption);
    return ::MessageBoxW(nullptr, reinterpret_cast<const wchar_t*>(wideText.CharPtr()),
                         reinterpret_cast<const wchar_t*>(wideCaption.CharPtr()),
                         MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) == IDYES;
}

}  // namespace

CPatchApp::CPatchApp() : CWinApp(nullptr) { glsInitializeLibrary(); }

CPatchApp::~CPatchApp() {
    m_archive.Close();
    m_patchFile.Close();
}

BOOL CPatchApp::InitInstance() {
    if (!StartDespiteCodePage())
        return FALSE;
    AfxEnableControlContainer();
    Enable3dControlsStatic();

    ESLResult result = OpenPatchData();
    if (result == eslResultSuccess)
        result = FindInstallFolder();
    if (result != eslResultSuccess) {
        ::MessageBoxA(nullptr, eslGetResultText(result), kMessageCaption, MB_ICONERROR);
        return FALSE;
    }

    CPatchDlg dialog;
    m_pMainWnd = &dialog;
    dialog.DoModal();
    // The program ends here: no message loop follows.
    return FALSE;
}

ESLResult CPatchApp::OpenPatchData() {
    HMODULE module = AfxGetInstanceHandle();
    HRSRC resource = ::FindResourceA(module, MAKEINTRESOURCEA(IDR_PATCHDATA), "RT_RCDATA");
    if (resource == nullptr)
        return eslResultFromText("パッチデータが見つかりません。");
    HGLOBAL loaded = ::LoadResource(module, resource);
    if (loaded == nullptr)
        return eslResultFromText("パッチデータが見つかりません。");
    void* block = ::LockResource(loaded);
    DWORD size = ::SizeofResource(module, resource);
    if (block == nullptr)
        return eslResultFromText("パッチデータを確定できません。");
    // A patch installer made by the tool records a digest of its patch data:
    // a damaged download is refused before anything is shown or touched.
    // Programs without one are taken as they are.
    HRSRC digest = ::FindResourceA(module, MAKEINTRESOURCEA(IDR_PATCHDIGEST), "RT_RCDATA");
    if (digest != nullptr) {
        HGLOBAL loadedDigest = ::LoadResource(module, digest);
        const void* record = loadedDigest != nullptr ? ::LockResource(loadedDigest) : nullptr;
        if (CheckPatchDigest(block, size, record, ::SizeofResource(module, digest)) == patchDigestDiffers)
            return eslResultFromText("パッチデータを開けませんでした。");
    }
    // Read-only use of the module's block; it stays mapped until the process ends.
    m_patchFile.Open(block, size);
    if (m_archive.Open(&m_patchFile, nullptr) != eslResultSuccess)
        return eslResultFromText("パッチデータを開けませんでした。");
    return eslResultSuccess;
}

ESLResult CPatchApp::FindInstallFolder() {
    ERegistryKey key;
    // Reading is all the installer does with the key; asking for more would
    // fail for users who may only read the machine's uninstall entries.
    if (key.Open(HKEY_LOCAL_MACHINE, kUninstallKey, KEY_READ) != eslResultSuccess)
        return eslResultFromText("ミルトアがインストールされていません。");
    EString command = key.ReadString("UninstallString", nullptr);
    if (command.IsEmpty())
        return eslResultFromText("ミルトアのインストール先が見つかりません。");
    m_installFolder = InstallFolderFromCommand(command);
    return eslResultSuccess;
}

CPatchApp theApp;

namespace {

// The library's game-window class is registered by the last static
// initialiser, after theApp (defined just above in this file, so constructed
// first) has initialised the library.
struct GameWindowClassRegistration {
    GameWindowClassRegistration() { RegisterGameWindowClass(); }
} g_gameWindowClass;

}  // namespace

#include "app/patch_app.h"

#include "app/install.h"
#include "app/patch_dlg.h"
#include "app/registry_key.h"
#include "app/resources/resource.h"
#include "gls/library.h"

namespace {

const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ミルトア";

}  // namespace

CPatchApp::CPatchApp() : CWinApp(nullptr) { glsInitializeLibrary(); }

CPatchApp::~CPatchApp() {
    m_archive.Close();
    m_patchFile.Close();
}

BOOL CPatchApp::InitInstance() {
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

#include "app/patch_dlg.h"

#include "app/install.h"
#include "app/progress_dlg.h"
#include "app/resources/resource.h"
#include "gls/library.h"

namespace {

// The running game's window. A game that runs under another system code page
// than Shift-JIS hands its title to Windows converted by that code page, so
// its window carries that form of "ミルトア" rather than the Japanese one.
bool GameIsRunning() {
    if (::FindWindowA(GetGameWindowClassName(), kGameWindowTitle) != nullptr)
        return true;
    UINT systemCodePage = 0;
    if (::GetLocaleInfoW(LOCALE_SYSTEM_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER,
                         reinterpret_cast<LPWSTR>(&systemCodePage), sizeof systemCodePage / sizeof(WCHAR)) == 0 ||
        systemCodePage == 932)
        return false;
    WCHAR title[64], className[64];
    const int titleLength = ::MultiByteToWideChar(systemCodePage, 0, kGameWindowTitle, -1, title, 64);
    const int classLength = ::MultiByteToWideChar(systemCodePage, 0, GetGameWindowClassName(), -1, className, 64);
    return titleLength > 0 && classLength > 0 && ::FindWindowW(className, title) != nullptr;
}

}  // namespace

CAboutDlg::CAboutDlg() : CDialog(IDD_ABOUTBOX) {}

CPatchDlg::CPatchDlg(CWnd* parent) : CDialog(IDD_PATCH_DIALOG, parent) {
    m_hIcon = AfxGetApp()->LoadIcon(IDR_MAINFRAME);
}

BOOL CPatchDlg::OnInitDialog() {
    CDialog::OnInitDialog();

    HMENU systemMenu = GetSystemMenu(FALSE);
    if (systemMenu != nullptr) {
        char text[256];
        if (::LoadStringA(AfxGetResourceHandle(), IDS_ABOUTBOX, text, sizeof text) > 0) {
            ::AppendMenuA(systemMenu, MF_SEPARATOR, 0, nullptr);
            ::AppendMenuA(systemMenu, MF_STRING, IDM_ABOUTBOX, text);
        }
    }
    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);

    CheckDlgButton(IDC_CHECK_EXE, BST_CHECKED);
    return TRUE;
}

void CPatchDlg::OnOK() {
    const bool installExe = IsDlgButtonChecked(IDC_CHECK_EXE) != 0;
    const bool installScript = IsDlgButtonChecked(IDC_CHECK_SCRIPT) != 0;
    if (!installExe && !installScript) {
        MessageBox("インストールするファイルを選択してください", kMessageCaption, MB_ICONERROR);
        return;
    }
    if (GameIsRunning()) {
        MessageBox("ミルトアを起動している場合には終了してください。", kMessageCaption, MB_ICONERROR);
        return;
    }

    CProgressDlg progress;
    progress.m_bInstallExe = installExe;
    progress.m_bInstallScript = installScript;
    progress.DoModal();

    CDialog::OnOK();
}

void CPatchDlg::OnSysCommand(UINT id, LPARAM lParam) {
    if ((id & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg about;
        about.DoModal();
    } else {
        CDialog::OnSysCommand(id, lParam);
    }
}

void CPatchDlg::OnPaint() {
    if (!IsIconic()) {
        CDialog::OnPaint();
        return;
    }
    CPaintDC dc(this);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
    const int iconWidth = ::GetSystemMetrics(SM_CXICON);
    const int iconHeight = ::GetSystemMetrics(SM_CYICON);
    RECT rect;
    GetClientRect(&rect);
    const int x = (rect.right - rect.left - iconWidth + 1) / 2;
    const int y = (rect.bottom - rect.top - iconHeight + 1) / 2;
    dc.DrawIcon(x, y, m_hIcon);
}

HCURSOR CPatchDlg::OnQueryDragIcon() { return static_cast<HCURSOR>(m_hIcon); }

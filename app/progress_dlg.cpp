#include "app/progress_dlg.h"

#include "app/patch_app.h"
#include "app/resources/resource.h"

CProgressDlg::CProgressDlg(CWnd* parent)
    : CDialog(IDD_PROGRESS, parent), m_bInstallExe(0), m_bInstallScript(0) {}

void CProgressDlg::DoDataExchange(CDataExchange* dx) {
    CDialog::DoDataExchange(dx);
    DDX_Control(dx, IDC_PROGRESS, m_progress);
}

BOOL CProgressDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    if (AfxBeginThread(&CProgressDlg::InstallThreadProc, this, THREAD_PRIORITY_NORMAL, 0, 0, nullptr) == nullptr) {
        // No thread to be had: install on this thread. The dialog does not
        // repaint meanwhile, but the run completes and reports as usual.
        InstallThreadProc(this);
    }
    return TRUE;
}

UINT CProgressDlg::InstallThreadProc(LPVOID param) {
    CProgressDlg* dialog = static_cast<CProgressDlg*>(param);
    const char* failure = nullptr;
    if (dialog->m_bInstallExe)
        failure = dialog->InstallFile("quorvel.exe", "EXE ファイル");
    if (failure == nullptr && dialog->m_bInstallScript)
        dialog->InstallFile("script.eka", "スクリプトファイル");
    // The dialog may end as soon as this arrives: nothing touches it after.
    ::PostMessageA(dialog->m_hWnd, WM_INSTALL_DONE, 0, 0);
    return 0;
}

const char* CProgressDlg::InstallFile(const char* fileName, const char* displayName) {
    return InstallArchiveEntry(theApp.m_archive, theApp.m_installFolder, fileName, displayName, this, m_strResult);
}

LRESULT CProgressDlg::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INSTALL_DONE) {
        if (m_strResult.IsEmpty())
            m_strResult = "正常に終了しました。";
        MessageBox(m_strResult.CharPtr(), kMessageCaption, MB_ICONINFORMATION);
        EndDialog(1);
    }
    return CDialog::WindowProc(message, wParam, lParam);
}

void CProgressDlg::OnOK() {}

void CProgressDlg::OnCancel() {}

void CProgressDlg::Pause(unsigned int milliseconds) { ::Sleep(milliseconds); }

void CProgressDlg::OnStart(const char* status) {
    SetDlgItemText(IDC_STATUS, status);
    m_progress.SetPos(0);
    m_progress.SetRange(0, 100);
}

void CProgressDlg::OnProgress(int position) { m_progress.SetPos(position); }

// The progress dialog and the installation run on its worker thread.
#pragma once

#include "afx/afxwin.h"
#include "app/install.h"
#include "esl/string.h"

// Posted by the worker to the progress dialog when it has finished.
const UINT WM_INSTALL_DONE = WM_APP + 1;

class CProgressDlg : public CDialog, private InstallObserver {
public:
    explicit CProgressDlg(CWnd* parent = nullptr);

    CProgressCtrl m_progress;
    BYTE m_bInstallExe;
    BYTE m_bInstallScript;
    // The first failure's message; empty while every file went in.
    EString m_strResult;

    // The worker thread: installs the ticked files in order, stopping at the
    // first failure, then posts WM_INSTALL_DONE.
    static UINT InstallThreadProc(LPVOID dialog);
    // Null on success, else the text of m_strResult.
    const char* InstallFile(const char* fileName, const char* displayName);

protected:
    BOOL OnInitDialog() override;
    void DoDataExchange(CDataExchange* dx) override;
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    // The worker uses this dialog until it posts WM_INSTALL_DONE, whose
    // handler ends the dialog; Enter, Esc and close requests must not.
    void OnOK() override;
    void OnCancel() override;

private:
    void Pause(unsigned int milliseconds) override;
    void OnStart(const char* status) override;
    void OnProgress(int position) override;
};

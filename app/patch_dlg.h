// The main dialog (choice of files, start and exit) and the about box.
#pragma once

#include "afx/afxwin.h"

class CPatchDlg : public CDialog {
public:
    explicit CPatchDlg(CWnd* parent = nullptr);

protected:
    BOOL OnInitDialog() override;
    // "開始": checks the choice and the running game, then installs.
    void OnOK() override;
    void OnSysCommand(UINT id, LPARAM lParam) override;
    void OnPaint() override;
    HCURSOR OnQueryDragIcon() override;

    HICON m_hIcon;
};

class CAboutDlg : public CDialog {
public:
    CAboutDlg();
};

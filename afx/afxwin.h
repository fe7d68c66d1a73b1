// A small application framework over the Win32 ANSI interfaces, shaped like
// the Windows class library: an application object whose InitInstance runs the
// program, modal dialogs from templates with virtual handlers, data exchange
// for control binding, a progress-bar wrapper and worker threads. It holds only
// what the patch installer uses; nothing here is a general replacement.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <commctrl.h>

class CDataExchange;

// A window handle with the object-oriented dispatch of the class library.
// Windows created by the framework (dialogs) are subclassed, so their messages
// reach WindowProc; windows only attached (controls bound by data exchange)
// are used through their handle.
class CWnd {
public:
    CWnd();
    virtual ~CWnd();
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    HWND m_hWnd;

    HWND GetSafeHwnd() const { return m_hWnd; }
    void Attach(HWND hwnd) { m_hWnd = hwnd; }
    HWND Detach();

    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
    HWND GetDlgItem(int id) const;
    void SetDlgItemText(int id, const char* text) const;
    UINT IsDlgButtonChecked(int id) const;
    void CheckDlgButton(int id, UINT check) const;
    HMENU GetSystemMenu(BOOL revert) const;
    HICON SetIcon(HICON icon, BOOL bigIcon) const;
    BOOL IsIconic() const;
    void GetClientRect(RECT* rect) const;
    int MessageBox(const char* text, const char* caption, UINT type) const;
    // Centres a top-level window over its owner, or over the work area of
    // its monitor when it has none (or the owner is hidden or minimised),
    // and keeps it inside that work area.
    void CenterWindow() const;

    // Transfers data between the controls and the members: save = TRUE reads
    // the controls; FALSE (the dialogs' initialisation) binds and fills them.
    BOOL UpdateData(BOOL save = TRUE);

protected:
    // Every message of a subclassed window passes here first. The default
    // dispatches the few handlers below and hands the rest to DefWindowProc.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // The window's own procedure from before the subclassing, or the system's.
    virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // WM_COMMAND; TRUE when handled.
    virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
    virtual void DoDataExchange(CDataExchange* dx);

    virtual void OnSysCommand(UINT id, LPARAM lParam);
    virtual void OnPaint();
    virtual HCURSOR OnQueryDragIcon();

    // Routes a window's messages to this object from now on.
    void Subclass(HWND hwnd);
    void Unsubclass();

private:
    static LRESULT CALLBACK StaticWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    WNDPROC m_oldProc;
};

// Modal dialog from a template resource of the application's module.
class CDialog : public CWnd {
public:
    explicit CDialog(UINT templateId, CWnd* parent = nullptr);

    // Runs the dialog until EndDialog; the value given to EndDialog, or -1
    // when the dialog could not be created.
    virtual INT_PTR DoModal();
    void EndDialog(int result);

protected:
    // The template is shown; returns TRUE to let the system set the focus.
    // The default binds the controls (UpdateData(FALSE)).
    virtual BOOL OnInitDialog();
    // Button IDOK (and Enter): takes the data, then ends with IDOK.
    virtual void OnOK();
    // Button IDCANCEL (and Esc, the close box, Alt+F4): ends with IDCANCEL.
    virtual void OnCancel();

    // IDOK and IDCANCEL go to OnOK and OnCancel.
    BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;

    UINT m_templateId;
    CWnd* m_pParentWnd;

private:
    // Whether the template leaves the position to the program: placed at
    // 0,0 and not centred or absolutely placed by the system.
    BOOL CheckAutoCenter() const;
    static INT_PTR CALLBACK StaticDialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
};

// "msctls_progress32".
class CProgressCtrl : public CWnd {
public:
    void SetRange(short lower, short upper) const;
    int SetPos(int pos) const;
};

// Paint device context for the duration of one WM_PAINT.
class CPaintDC {
public:
    explicit CPaintDC(CWnd* wnd);
    ~CPaintDC();
    CPaintDC(const CPaintDC&) = delete;
    CPaintDC& operator=(const CPaintDC&) = delete;
    HDC GetSafeHdc() const { return m_hDC; }
    BOOL DrawIcon(int x, int y, HICON icon) const { return ::DrawIcon(m_hDC, x, y, icon); }

    PAINTSTRUCT m_ps;

private:
    HWND m_hWnd;
    HDC m_hDC;
};

class CDataExchange {
public:
    CDataExchange(CWnd* dialog, BOOL save) : m_pDlgWnd(dialog), m_bSaveAndValidate(save) {}
    CWnd* m_pDlgWnd;
    BOOL m_bSaveAndValidate;
};

// Binds a member control object to the dialog's control of that id.
void DDX_Control(CDataExchange* dx, int id, CWnd& control);

// A thread started by AfxBeginThread. It deletes itself (and closes its
// handle) when the thread's function returns, so a caller must not use the
// pointer after that; callers that start and forget leak nothing.
class CWinThread {
public:
    HANDLE m_hThread;
    DWORD m_nThreadID;

private:
    friend CWinThread* AfxBeginThread(UINT (*proc)(LPVOID), LPVOID param, int priority, UINT stackSize,
                                      DWORD createFlags, LPSECURITY_ATTRIBUTES security);
    CWinThread() : m_hThread(nullptr), m_nThreadID(0), m_proc(nullptr), m_param(nullptr) {}
    static unsigned __stdcall Start(void* self);
    UINT (*m_proc)(LPVOID);
    LPVOID m_param;
};

typedef UINT (*AFX_THREADPROC)(LPVOID);

// Starts a worker thread running proc(param); null when it cannot be started.
CWinThread* AfxBeginThread(AFX_THREADPROC proc, LPVOID param, int priority = THREAD_PRIORITY_NORMAL,
                           UINT stackSize = 0, DWORD createFlags = 0, LPSECURITY_ATTRIBUTES security = nullptr);

// The application. Exactly one object of a class derived from it exists, as a
// global; the framework's WinMain calls its InitInstance. When InitInstance
// returns FALSE the program ends with ExitInstance's code; otherwise Run
// pumps messages until WM_QUIT.
class CWinApp {
public:
    explicit CWinApp(const char* appName = nullptr);
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    virtual BOOL InitInstance();
    virtual int Run();
    virtual int ExitInstance();

    HICON LoadIcon(UINT id) const;

    const char* m_pszAppName;
    HINSTANCE m_hInstance;
    CWnd* m_pMainWnd;

protected:
    // Ctl3d drew three-dimensional controls on very old systems; every system
    // this program runs on draws them itself, so there is nothing to enable.
    BOOL Enable3dControlsStatic() { return TRUE; }

private:
    int m_exitCode;
};

CWinApp* AfxGetApp();
HINSTANCE AfxGetInstanceHandle();
HINSTANCE AfxGetResourceHandle();
// The dialogs hold only standard controls, so no ActiveX container is needed;
// kept so that start-up reads like any program of the class library.
inline void AfxEnableControlContainer() {}

#include "afx/afxwin.h"

#include <string.h>

#include <new>
#include <process.h>

namespace {

CWinApp* g_app = nullptr;

// Window property that links a subclassed window to its object.
const char kObjectProperty[] = "AfxWindowObject";

}  // namespace

// --- CWnd ---

CWnd::CWnd() : m_hWnd(nullptr), m_oldProc(nullptr) {}

CWnd::~CWnd() {
    if (m_oldProc != nullptr && m_hWnd != nullptr)
        Unsubclass();
    if (g_app != nullptr && g_app->m_pMainWnd == this)
        g_app->m_pMainWnd = nullptr;
}

HWND CWnd::Detach() {
    HWND hwnd = m_hWnd;
    m_hWnd = nullptr;
    return hwnd;
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) const {
    return ::SendMessageA(m_hWnd, message, wParam, lParam);
}

BOOL CWnd::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) const {
    return ::PostMessageA(m_hWnd, message, wParam, lParam);
}

HWND CWnd::GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }

void CWnd::SetDlgItemText(int id, const char* text) const { ::SetDlgItemTextA(m_hWnd, id, text); }

UINT CWnd::IsDlgButtonChecked(int id) const { return ::IsDlgButtonChecked(m_hWnd, id); }

void CWnd::CheckDlgButton(int id, UINT check) const { ::CheckDlgButton(m_hWnd, id, check); }

HMENU CWnd::GetSystemMenu(BOOL revert) const { return ::GetSystemMenu(m_hWnd, revert); }

HICON CWnd::SetIcon(HICON icon, BOOL bigIcon) const {
    return reinterpret_cast<HICON>(
        SendMessage(WM_SETICON, bigIcon ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(icon)));
}

BOOL CWnd::IsIconic() const { return ::IsIconic(m_hWnd); }

void CWnd::GetClientRect(RECT* rect) const { ::GetClientRect(m_hWnd, rect); }

int CWnd::MessageBox(const char* text, const char* caption, UINT type) const {
    return ::MessageBoxA(m_hWnd, text, caption, type);
}

void CWnd::CenterWindow() const {
    HWND center = ::GetWindow(m_hWnd, GW_OWNER);
    if (center != nullptr) {
        const LONG_PTR style = ::GetWindowLongPtrA(center, GWL_STYLE);
        if (!(style & WS_VISIBLE) || (style & WS_MINIMIZE))
            center = nullptr;
    }
    MONITORINFO monitor;
    monitor.cbSize = sizeof(monitor);
    if (!::GetMonitorInfoA(::MonitorFromWindow(center != nullptr ? center : m_hWnd, MONITOR_DEFAULTTOPRIMARY),
                           &monitor))
        return;
    const RECT area = monitor.rcWork;
    RECT around = area;
    if (center != nullptr)
        ::GetWindowRect(center, &around);
    RECT own;
    ::GetWindowRect(m_hWnd, &own);
    const LONG width = own.right - own.left, height = own.bottom - own.top;
    LONG left = (around.left + around.right) / 2 - width / 2;
    LONG top = (around.top + around.bottom) / 2 - height / 2;
    if (left + width > area.right)
        left = area.right - width;
    if (left < area.left)
        left = area.left;
    if (top + height > area.bottom)
        top = area.bottom - height;
    if (top < area.top)
        top = area.top;
    ::SetWindowPos(m_hWnd, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

BOOL CWnd::UpdateData(BOOL save) {
    CDataExchange dx(this, save);
    DoDataExchange(&dx);
    return TRUE;
}

void CWnd::DoDataExchange(CDataExchange*) {}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND:
        if (OnCommand(wParam, lParam))
            return 0;
        break;
    case WM_SYSCOMMAND:
        OnSysCommand(static_cast<UINT>(wParam), lParam);
        return 0;
    case WM_PAINT:
        OnPaint();
        return 0;
    case WM_QUERYDRAGICON:
        return reinterpret_cast<LRESULT>(OnQueryDragIcon());
    default:
        break;
    }
    return DefWindowProc(message, wParam, lParam);
}

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (m_oldProc != nullptr)
        return ::CallWindowProcA(m_oldProc, m_hWnd, message, wParam, lParam);
    return ::DefWindowProcA(m_hWnd, message, wParam, lParam);
}

BOOL CWnd::OnCommand(WPARAM, LPARAM) { return FALSE; }

void CWnd::OnSysCommand(UINT id, LPARAM lParam) { DefWindowProc(WM_SYSCOMMAND, id, lParam); }

void CWnd::OnPaint() { DefWindowProc(WM_PAINT, 0, 0); }

HCURSOR CWnd::OnQueryDragIcon() { return reinterpret_cast<HCURSOR>(DefWindowProc(WM_QUERYDRAGICON, 0, 0)); }

void CWnd::Subclass(HWND hwnd) {
    m_hWnd = hwnd;
    ::SetPropA(hwnd, kObjectProperty, this);
    m_oldProc = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CWnd::StaticWindowProc)));
}

void CWnd::Unsubclass() {
    if (m_oldProc != nullptr) {
        ::SetWindowLongPtrA(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_oldProc));
        m_oldProc = nullptr;
    }
    ::RemovePropA(m_hWnd, kObjectProperty);
    m_hWnd = nullptr;
}

LRESULT CALLBACK CWnd::StaticWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    CWnd* wnd = static_cast<CWnd*>(::GetPropA(hwnd, kObjectProperty));
    if (wnd == nullptr)
        return ::DefWindowProcA(hwnd, message, wParam, lParam);
    LRESULT result = wnd->WindowProc(message, wParam, lParam);
    // The window is gone after this message: forget it, so that the object
    // can be reused or destroyed without touching a stale handle.
    if (message == WM_NCDESTROY)
        wnd->Unsubclass();
    return result;
}

// --- CDialog ---

CDialog::CDialog(UINT templateId, CWnd* parent) : m_templateId(templateId), m_pParentWnd(parent) {}

INT_PTR CDialog::DoModal() {
    // Without a parent the dialog belongs to the main window, as in the class
    // library: the main window is disabled while it runs, so its buttons cannot
    // start anything a second time.
    HWND owner = m_pParentWnd != nullptr ? m_pParentWnd->m_hWnd : nullptr;
    if (owner == nullptr && g_app != nullptr && g_app->m_pMainWnd != nullptr && g_app->m_pMainWnd != this) {
        owner = g_app->m_pMainWnd->m_hWnd;
        if (owner != nullptr && !::IsWindow(owner))
            owner = nullptr;
    }
    return ::DialogBoxParamA(AfxGetResourceHandle(), MAKEINTRESOURCEA(m_templateId), owner,
                             &CDialog::StaticDialogProc, reinterpret_cast<LPARAM>(this));
}

void CDialog::EndDialog(int result) { ::EndDialog(m_hWnd, result); }

BOOL CDialog::OnInitDialog() {
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK() {
    if (!UpdateData(TRUE))
        return;
    EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

BOOL CDialog::OnCommand(WPARAM wParam, LPARAM) {
    // Buttons, Enter/Esc and menu commands all arrive with notification 0.
    if (HIWORD(wParam) != BN_CLICKED)
        return FALSE;
    switch (LOWORD(wParam)) {
    case IDOK:
        OnOK();
        return TRUE;
    case IDCANCEL:
        OnCancel();
        return TRUE;
    default:
        return FALSE;
    }
}

INT_PTR CALLBACK CDialog::StaticDialogProc(HWND hwnd, UINT message, WPARAM, LPARAM lParam) {
    // Only the initialisation passes through the dialog procedure: from then on
    // the window is subclassed and every message reaches the object first; the
    // system's dialog procedure calls back here for its defaults, which this
    // answers with FALSE.
    if (message != WM_INITDIALOG)
        return FALSE;
    CDialog* dialog = reinterpret_cast<CDialog*>(lParam);
    dialog->Subclass(hwnd);
    RECT before;
    ::GetWindowRect(hwnd, &before);
    const BOOL result = dialog->OnInitDialog();
    // A dialog its template does not place opens centred, as in the class
    // library, unless its own initialisation moved or showed it.
    RECT after;
    if (::IsWindow(hwnd) && !::IsWindowVisible(hwnd) && ::GetWindowRect(hwnd, &after) &&
        ::EqualRect(&before, &after) && dialog->CheckAutoCenter())
        dialog->CenterWindow();
    return result;
}

BOOL CDialog::CheckAutoCenter() const {
    HRSRC found = ::FindResourceA(AfxGetResourceHandle(), MAKEINTRESOURCEA(m_templateId), RT_DIALOG);
    HGLOBAL loaded = found != nullptr ? ::LoadResource(AfxGetResourceHandle(), found) : nullptr;
    const BYTE* data = loaded != nullptr ? static_cast<const BYTE*>(::LockResource(loaded)) : nullptr;
    const DWORD size = found != nullptr ? ::SizeofResource(AfxGetResourceHandle(), found) : 0;
    // DLGTEMPLATEEX begins with version 1 and 0xFFFF; its style is at 12 and
    // its position at 18; DLGTEMPLATE has the style at 0 and the position at 10.
    const bool extended = size >= 4 && data[0] == 1 && data[1] == 0 && data[2] == 0xFF && data[3] == 0xFF;
    const DWORD styleAt = extended ? 12 : 0, positionAt = extended ? 18 : 10;
    if (data == nullptr || size < positionAt + 4)
        return FALSE;
    DWORD style;
    SHORT x, y;
    memcpy(&style, data + styleAt, sizeof(style));
    memcpy(&x, data + positionAt, sizeof(x));
    memcpy(&y, data + positionAt + 2, sizeof(y));
    return x == 0 && y == 0 && !(style & (DS_ABSALIGN | DS_CENTER | DS_CENTERMOUSE));
}

// --- CProgressCtrl ---

void CProgressCtrl::SetRange(short lower, short upper) const {
    SendMessage(PBM_SETRANGE, 0, MAKELPARAM(lower, upper));
}

int CProgressCtrl::SetPos(int pos) const { return static_cast<int>(SendMessage(PBM_SETPOS, static_cast<WPARAM>(pos), 0)); }

// --- CPaintDC ---

CPaintDC::CPaintDC(CWnd* wnd) : m_hWnd(wnd->m_hWnd) { m_hDC = ::BeginPaint(m_hWnd, &m_ps); }

CPaintDC::~CPaintDC() { ::EndPaint(m_hWnd, &m_ps); }

// --- data exchange ---

void DDX_Control(CDataExchange* dx, int id, CWnd& control) {
    HWND dialog = dx->m_pDlgWnd->m_hWnd;
    if (control.m_hWnd != nullptr && ::IsWindow(control.m_hWnd) && ::GetParent(control.m_hWnd) == dialog)
        return;
    control.Attach(::GetDlgItem(dialog, id));
}

// --- threads ---

unsigned __stdcall CWinThread::Start(void* self) {
    CWinThread* thread = static_cast<CWinThread*>(self);
    UINT code = thread->m_proc(thread->m_param);
    ::CloseHandle(thread->m_hThread);
    delete thread;
    return code;
}

CWinThread* AfxBeginThread(AFX_THREADPROC proc, LPVOID param, int priority, UINT stackSize, DWORD createFlags,
                           LPSECURITY_ATTRIBUTES security) {
    CWinThread* thread = new (std::nothrow) CWinThread;
    if (thread == nullptr)
        return nullptr;
    thread->m_proc = proc;
    thread->m_param = param;
    // Started suspended so that the handle is stored before the thread can
    // run to its end and close it.
    unsigned id = 0;
    uintptr_t handle = _beginthreadex(security, stackSize, &CWinThread::Start, thread, CREATE_SUSPENDED, &id);
    if (handle == 0) {
        delete thread;
        return nullptr;
    }
    thread->m_hThread = reinterpret_cast<HANDLE>(handle);
    thread->m_nThreadID = id;
    if (priority != THREAD_PRIORITY_NORMAL)
        ::SetThreadPriority(thread->m_hThread, priority);
    if ((createFlags & CREATE_SUSPENDED) == 0)
        ::ResumeThread(thread->m_hThread);
    return thread;
}

// --- application ---

CWinApp::CWinApp(const char* appName)
    : m_pszAppName(appName), m_hInstance(::GetModuleHandleA(nullptr)), m_pMainWnd(nullptr), m_exitCode(0) {
    g_app = this;
}

CWinApp::~CWinApp() {
    if (g_app == this)
        g_app = nullptr;
}

BOOL CWinApp::InitInstance() { return TRUE; }

int CWinApp::Run() {
    MSG msg;
    for (;;) {
        BOOL got = ::GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1)
            break;
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
    m_exitCode = msg.message == WM_QUIT ? static_cast<int>(msg.wParam) : 0;
    return ExitInstance();
}

int CWinApp::ExitInstance() { return m_exitCode; }

HICON CWinApp::LoadIcon(UINT id) const { return ::LoadIconA(AfxGetResourceHandle(), MAKEINTRESOURCEA(id)); }

CWinApp* AfxGetApp() { return g_app; }

HINSTANCE AfxGetInstanceHandle() { return g_app != nullptr ? g_app->m_hInstance : ::GetModuleHandleA(nullptr); }

HINSTANCE AfxGetResourceHandle() { return AfxGetInstanceHandle(); }

// The program's entry point: the application object was made by static
// initialisation; run it. It lives in this file so that linking the
// application class from the static library brings it along.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // Registers the progress bar (and the other common controls of version 6
    // that the manifest selects) before any dialog template needs them.
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_PROGRESS_CLASS;
    ::InitCommonControlsEx(&controls);

    CWinApp* app = AfxGetApp();
    if (app == nullptr)
        return 1;
    app->m_hInstance = instance;
    if (!app->InitInstance())
        return app->ExitInstance();
    return app->Run();
}

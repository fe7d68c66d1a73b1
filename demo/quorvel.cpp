// "ミルトア" demo game: one window of the game-window class that shows the
// game's version and the size of its script archive. Built as version 1.0
// (installed as the game) and 1.1 (shipped in the demo patch).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <stdio.h>
#include <string.h>

#ifndef QUORVEL_VERSION
#error QUORVEL_VERSION must name the version being built
#endif

namespace {

const char kClassName[] = "ZazadERA_GameWindow";
const char kTitle[] = "ミルトア";
char g_info[256];

// The script archive lies next to the program.
void DescribeScripts() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        snprintf(g_info, sizeof g_info, "script.eka: ?");
        return;
    }
    char* slash = strrchr(path, '\\');
    if (slash == nullptr)
        slash = path - 1;
    snprintf(slash + 1, static_cast<size_t>(path + MAX_PATH - (slash + 1)), "script.eka");
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExA(path, GetFileExInfoStandard, &data))
        snprintf(g_info, sizeof g_info, "script.eka: %lu バイト", static_cast<unsigned long>(data.nFileSizeLow));
    else
        snprintf(g_info, sizeof g_info, "script.eka がありません");
}

LRESULT CALLBACK WindowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, RGB(255, 220, 120));
        const char title[] = "ミルトア  Version " QUORVEL_VERSION;
        TextOutA(dc, 20, 20, title, static_cast<int>(strlen(title)));
        SetTextColor(dc, RGB(200, 200, 200));
        TextOutA(dc, 20, 50, g_info, static_cast<int>(strlen(g_info)));
        EndPaint(hwnd, &ps);
        return 0;
    }
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(hwnd, message, wParam, lParam);
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    DescribeScripts();
    WNDCLASSA wc;
    memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = WindowProcedure;
    wc.hInstance = instance;
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    wc.lpszClassName = kClassName;
    if (RegisterClassA(&wc) == 0)
        return 1;
    HWND window = CreateWindowA(kClassName, kTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 360, 140,
                                nullptr, nullptr, instance, nullptr);
    if (window == nullptr)
        return 1;
    ShowWindow(window, show);
    UpdateWindow(window);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return static_cast<int>(msg.wParam);
}

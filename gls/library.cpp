// Library start-up: reference-counted initialisation, per-thread task
// registration, processor-feature detection, the numeric-state reset, the
// bulk fill and copy routines and the game-window class.
#include "gls/library.h"

#include <string.h>

#include "esl/heap.h"
#include "esl/object.h"
#include "esl/platform.h"

#include "gls/exception_log.h"
#include "gls/processor.h"

#if defined(__i386__) || defined(__x86_64__)
#include <xmmintrin.h>
#define GLS_X86 1
#endif

#if defined(_WIN32)
#include <mmsystem.h>
#endif

namespace {

volatile long g_libraryReferences = 0;
uint32_t g_taskSlot = eslp::kNoTlsSlot;
ESLHeap g_mediaHeap = nullptr;

struct TaskRecord {
    volatile long count;  // glsInitializeTask calls not yet matched by glsCloseTask
};

void DetectProcessor() {
    eslSetProcessorFeatures(0);
    eslSetProcessorFeatures(DetectProcessorFeatures(kProcessorProbes, 2));
}

#if defined(GLS_X86)
__attribute__((target("sse"))) void ClearSseRounding() { _mm_setcsr(_mm_getcsr() & ~0x6000u); }
#endif

// Puts the calling thread's floating-point units into the state the codecs
// expect: x87 at its defaults, SSE rounding to nearest.
void ResetNumericState() {
#if defined(GLS_X86)
    __asm__ __volatile__("fninit");  // no intrinsic resets the x87 unit
    if (eslGetProcessorFeatures() & processorSSE)
        ClearSseRounding();
#endif
}

}  // namespace

ESL_EXPORT void glsInitializeLibrary(void) {
    if (g_taskSlot == eslp::kNoTlsSlot)
        g_taskSlot = eslp::TlsAllocSlot();
    if (eslp::AtomicIncrement(&g_libraryReferences) != 1)
        return;
    DetectProcessor();
    ResetNumericState();
    // The media layer's constant transform tables are not computed: nothing
    // in this program reads them.
    eslGetGlobalHeap();
    g_mediaHeap = eslHeapCreate(0, 0, heapZeroFill, nullptr);
    glsInitializeTask();
#if defined(_WIN32)
    timeBeginPeriod(1);  // kept until the process ends
#endif
}

ESL_EXPORT void glsCloseLibrary(void) {
    if (eslp::AtomicDecrement(&g_libraryReferences) != 0)
        return;
    glsCloseTask();
    if (g_taskSlot != eslp::kNoTlsSlot) {
        eslp::TlsFreeSlot(g_taskSlot);
        g_taskSlot = eslp::kNoTlsSlot;
    }
    eslFreeGlobalHeap();
    if (g_mediaHeap != nullptr) {
        eslHeapDestroy(g_mediaHeap);
        g_mediaHeap = nullptr;
    }
}

ESL_EXPORT void glsInitializeTask(void) {
    if (g_taskSlot == eslp::kNoTlsSlot)
        return;
    TaskRecord* task = static_cast<TaskRecord*>(eslp::TlsGet(g_taskSlot));
    if (task == nullptr) {
        task = static_cast<TaskRecord*>(eslHeapAllocate(nullptr, sizeof(TaskRecord), 0));
        if (task == nullptr)
            return;
        task->count = 0;
        eslp::TlsSet(g_taskSlot, task);
    }
    if (eslp::AtomicIncrement(&task->count) == 1) {
        ResetNumericState();
#if defined(_WIN32)
        InstallExceptionFilter();  // process-wide; each thread's first registration installs it again
#endif
    }
}

ESL_EXPORT void glsCloseTask(void) {
    if (g_taskSlot == eslp::kNoTlsSlot)
        return;
    TaskRecord* task = static_cast<TaskRecord*>(eslp::TlsGet(g_taskSlot));
    if (task == nullptr)
        return;
    if (eslp::AtomicDecrement(&task->count) == 0) {
        eslHeapFree(nullptr, task, 0);
        eslp::TlsSet(g_taskSlot, nullptr);
    }
}

ESL_EXPORT void glsEnableProcessorType(unsigned int type) {
    if (type == 0)
        DetectProcessor();
    else
        eslSetProcessorFeatures(eslGetProcessorFeatures() | type);
}

ESL_EXPORT void glsDisableProcessorType(unsigned int type) {
    eslSetProcessorFeatures(eslGetProcessorFeatures() & ~type);
}

ESL_EXPORT unsigned int glsGetEnabledProcessorType(void) { return eslGetProcessorFeatures(); }

const char* GetGameWindowClassName() { return "ZazadERA_GameWindow"; }

#if defined(_WIN32)

namespace {

// What the game-window procedure expects of a window object: the message
// handler in the slot after the four ESLObject slots, and the handle of the
// window it belongs to. The objects come from the game-window layer.
class GameWindowObject : public ESLObject {
public:
    virtual LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) = 0;
    HWND m_window;
};

LRESULT CALLBACK GameWindowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    GameWindowObject* window;
    if (message == WM_NCCREATE) {
        const CREATESTRUCTA* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
        window = create != nullptr ? static_cast<GameWindowObject*>(create->lpCreateParams) : nullptr;
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(window));
        if (window == nullptr)
            return DefWindowProcA(hwnd, message, wParam, lParam);
        window->m_window = hwnd;
    } else {
        window = reinterpret_cast<GameWindowObject*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
        if (window == nullptr || window->m_window != hwnd)
            return DefWindowProcA(hwnd, message, wParam, lParam);
    }
    return window->HandleMessage(message, wParam, lParam);
}

}  // namespace

void RegisterGameWindowClass() {
    WNDCLASSA wc;
    memset(&wc, 0, sizeof wc);
    wc.style = CS_NOCLOSE;
    wc.lpfnWndProc = GameWindowProcedure;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 4;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hIcon = nullptr;
    wc.hCursor = nullptr;
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    wc.lpszMenuName = nullptr;
    wc.lpszClassName = GetGameWindowClassName();
    if (RegisterClassA(&wc) == 0)
        eslTrace("EGameWindow 用ウィンドウクラスの登録に失敗しました。\n");
}

#else

void RegisterGameWindowClass() {}

#endif

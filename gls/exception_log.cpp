// The crash filter: goes on past single steps, asks about stray breakpoints,
// retries in-page errors a few times, and for any other exception tells the
// user what happened and offers to save an error log for the program's
// developers.
#include "gls/exception_log.h"

#if defined(_WIN32)

#include <commctrl.h>
#include <commdlg.h>
#include <inttypes.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <atomic>

namespace {

const char kCaption[] = "◆　例外エラー情報　◆";

const DWORD kSingleStep = 0x80000004;
const DWORD kBreakpoint = 0x80000003;
const DWORD kInPageError = 0xC0000006;
const DWORD kStackOverflow = 0xC00000FD;
const DWORD kEndOfNames = 0xFFFFFFFF;

// An in-page error is retried this many times in a row at one address,
// each after a pause; a medium that is gone for good (a removed disc, a
// dropped network share) then gets the question like any other fault
// instead of a program spinning forever.
const int kInPageRetries = 3;
const DWORD kInPagePauseMs = 100;
// A fault at the same address after this long starts the count again.
const DWORD kInPageRepeatMs = 1000;

// Work on a stack that has overflowed is done on a thread with this much
// stack of its own.
const SIZE_T kHelperStack = 256 * 1024;
// What a thread's stack keeps back for the filter after an overflow: the
// system's dispatch of the exception, the filter's own small frame and the
// start of the thread that does the work. Without it the system has only a
// page or two, and may end the program before the filter runs.
const ULONG kOverflowReserve = 32 * 1024;

struct ExceptionName {
    DWORD code;
    const char* name;
};

// The last entry names every code not in the table.
const ExceptionName kExceptionNames[] = {
    {0xC0000005, "ページアクセス例外"},
    {0x80000002, "アライメント例外"},
    {0xC000008C, "配列境界例外"},
    {0xC000008D, "FPU デノーマルオペランド例外"},
    {0xC000008E, "FPU ゼロ除算例外"},
    {0xC000008F, "FPU 精度例外"},
    {0xC0000090, "FPU 不正オペランド例外"},
    {0xC0000091, "FPU オーバーフロー例外"},
    {0xC0000092, "FPU スタックチェック例外"},
    {0xC0000093, "FPU アンダーフロー例外"},
    {0xC0000094, "ゼロ除算例外"},
    {0xC0000095, "オーバーフロー例外"},
    {0xC0000096, "特権命令例外"},
    {0xC0000006, "ページ例外"},
    {0xC000001D, "無効命令例外"},
    {0xC00000FD, "スタックオーバーフロー例外"},
    {0xC0000026, "不正ディスポジション例外"},
    {0x80000001, "保護ページ例外"},
    {kEndOfNames, "無効例外"},
};

const char* NameOf(DWORD code) {
    const ExceptionName* entry = kExceptionNames;
    while (entry->code != kEndOfNames && entry->code != code)
        ++entry;
    return entry->name;
}

// --- the platform's registers ---

#if defined(__x86_64__)

typedef DWORD64 RegisterValue;
typedef uint64_t PrintedValue;  // what GLS_ADDRESS prints
#define GLS_ADDRESS "%016" PRIX64

struct GeneralRegister {
    const char* label;
    DWORD64 CONTEXT::*field;
};
const GeneralRegister kAddressRegisters[] = {
    {"RAX+0000H", &CONTEXT::Rax}, {"RBX+0000H", &CONTEXT::Rbx}, {"RCX+0000H", &CONTEXT::Rcx},
    {"RDX+0000H", &CONTEXT::Rdx}, {"RSI+0000H", &CONTEXT::Rsi}, {"RDI+0000H", &CONTEXT::Rdi},
    {"RBP+0000H", &CONTEXT::Rbp}, {"R8+0000H", &CONTEXT::R8},   {"R9+0000H", &CONTEXT::R9},
    {"R10+0000H", &CONTEXT::R10}, {"R11+0000H", &CONTEXT::R11}, {"R12+0000H", &CONTEXT::R12},
    {"R13+0000H", &CONTEXT::R13}, {"R14+0000H", &CONTEXT::R14}, {"R15+0000H", &CONTEXT::R15},
};
inline DWORD64& InstructionPointer(CONTEXT* c) { return c->Rip; }
inline DWORD64 StackPointer(const CONTEXT* c) { return c->Rsp; }
const char kCodeLabel[] = "RIP+0000H";
const char kStackLabel[] = "RSP+0000H";

const char kBreakpointQuestion[] = "ブレークポイント例外が " GLS_ADDRESS "H で発生しました。\n処理を続行しますか？";
const char kExceptionLine[] = "    CS:RIP = %04X:" GLS_ADDRESS "\n\n";

void WriteRegisters(ESLFileObject* log, const CONTEXT* c);

#else

typedef DWORD RegisterValue;
typedef unsigned int PrintedValue;  // what GLS_ADDRESS prints
#define GLS_ADDRESS "%08X"

struct GeneralRegister {
    const char* label;
    DWORD CONTEXT::*field;
};
const GeneralRegister kAddressRegisters[] = {
    {"EAX+0000H", &CONTEXT::Eax}, {"EBX+0000H", &CONTEXT::Ebx}, {"ECX+0000H", &CONTEXT::Ecx},
    {"EDX+0000H", &CONTEXT::Edx}, {"ESI+0000H", &CONTEXT::Esi}, {"EDI+0000H", &CONTEXT::Edi},
    {"EBP+0000H", &CONTEXT::Ebp},
};
inline DWORD& InstructionPointer(CONTEXT* c) { return c->Eip; }
inline DWORD StackPointer(const CONTEXT* c) { return c->Esp; }
const char kCodeLabel[] = "EIP+0000H";
const char kStackLabel[] = "ESP+0000H";

const char kBreakpointQuestion[] = "ブレークポイント例外が " GLS_ADDRESS "H で発生しました。\n処理を続行しますか？";
const char kExceptionLine[] = "    CS:EIP = %04X:%08X\n\n";

#endif

// Dump lines begin with an address of the platform's width plus "H", or
// with a label right-aligned to the same width.
const int kLabelWidth = static_cast<int>(sizeof(RegisterValue) * 2 + 1);

// A register value with any bit above the low 16 set may be an address.
inline bool MayBeAddress(RegisterValue v) { return (v & ~static_cast<RegisterValue>(0xFFFF)) != 0; }

const char kQuestionStart[] = "▼ プログラム実行中に以下の例外エラーが発生しました。\n    %s\n";
const char kQuestionEnd[] =
    "詳細をログファイルに保存しますか？\n\n"
    "※このログファイルをプログラム開発者に送ると何らかの修正情報が得られるかもしれません。\n\n"
    "≫ログを保存して実行を継続する場合には「はい」を、\n"
    "≫ログを保存せずに実行を継続する場合には「いいえ」を、\n"
    "≫ログを保存せずに終了する場合には「キャンセル」を選択してください。";
const char kSavedQuestion[] = "ログファイルを保存しました。\n処理を続行しますか？";

// --- helpers ---

// Readable means committed, readable and not a guard page, for every byte;
// the filter never touches memory that could fault again.
bool IsReadable(uintptr_t address, size_t bytes) {
    uintptr_t end = address + bytes;
    if (end < address)
        return false;
    while (address < end) {
        MEMORY_BASIC_INFORMATION info;
        if (VirtualQuery(reinterpret_cast<const void*>(address), &info, sizeof info) == 0)
            return false;
        const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                               PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
        if (info.State != MEM_COMMIT || (info.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0 ||
            (info.Protect & readable) == 0)
            return false;
        uintptr_t next = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
        if (next <= address)  // the region reaches the top of the address space
            break;
        address = next;
    }
    return true;
}

void WriteText(ESLFileObject* log, const char* text) { log->Write(text, static_cast<uint32_t>(strlen(text))); }

__attribute__((format(gnu_printf, 2, 3))) void WriteFormat(ESLFileObject* log, const char* format, ...) {
    char text[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    WriteText(log, text);
}

CrashQuestionHook g_questionHook = nullptr;

int Ask(const char* text, UINT buttons) {
    if (CrashQuestionHook hook = g_questionHook)
        return hook(text, buttons);
    return MessageBoxA(nullptr, text, kCaption, buttons | MB_SETFOREGROUND);
}

// Per thread: the last in-page error, and how often it was retried.
struct InPageFault {
    uintptr_t address;
    DWORD tick;
    int retries;
};
thread_local InPageFault t_inPage;

// True (after a pause) while the fault is worth another try.
bool RetryInPage(const EXCEPTION_RECORD* record) {
    InPageFault& last = t_inPage;
    uintptr_t address = reinterpret_cast<uintptr_t>(record->ExceptionAddress);
    if (address != last.address || GetTickCount() - last.tick > kInPageRepeatMs) {
        last.address = address;
        last.retries = 0;
    }
    if (last.retries >= kInPageRetries)
        return false;
    ++last.retries;
    Sleep(kInPagePauseMs);
    last.tick = GetTickCount();
    return true;
}

// --- the log ---

#if defined(__x86_64__)
void WriteRegisters(ESLFileObject* log, const CONTEXT* c) {
    WriteFormat(log,
                "CS:RIP  = %04X:" GLS_ADDRESS "\r\n"
                "RAX = " GLS_ADDRESS ", RBX = " GLS_ADDRESS ", RCX = " GLS_ADDRESS ", RDX = " GLS_ADDRESS "\r\n"
                "RSI = " GLS_ADDRESS ", RDI = " GLS_ADDRESS ", RBP = " GLS_ADDRESS ", RSP = " GLS_ADDRESS "\r\n"
                "R8  = " GLS_ADDRESS ", R9  = " GLS_ADDRESS ", R10 = " GLS_ADDRESS ", R11 = " GLS_ADDRESS "\r\n"
                "R12 = " GLS_ADDRESS ", R13 = " GLS_ADDRESS ", R14 = " GLS_ADDRESS ", R15 = " GLS_ADDRESS "\r\n"
                "DS = %04X, ES = %04X, FS = %04X, GS = %04X, SS = %04X\r\n\r\n\r\n",
                c->SegCs, c->Rip, c->Rax, c->Rbx, c->Rcx, c->Rdx, c->Rsi, c->Rdi, c->Rbp, c->Rsp, c->R8, c->R9,
                c->R10, c->R11, c->R12, c->R13, c->R14, c->R15, c->SegDs, c->SegEs, c->SegFs, c->SegGs, c->SegSs);
}
#endif

void WriteHeader(ESLFileObject* log, const EXCEPTION_POINTERS* pointers, DWORD threadId, const char* name) {
    char module[MAX_PATH + 1];
    DWORD n = GetModuleFileNameA(nullptr, module, MAX_PATH);
    module[n < MAX_PATH ? n : MAX_PATH] = '\0';
    const CONTEXT* c = pointers->ContextRecord;
    unsigned int thread = static_cast<unsigned int>(threadId);
    unsigned int code = static_cast<unsigned int>(pointers->ExceptionRecord->ExceptionCode);
#if defined(__x86_64__)
    WriteFormat(log,
                "モジュール：%s\r\n例外エラーがスレッド %08XH で発生しました。\r\n例外エラーコード：%08XH\r\n"
                "例外エラーの種類：%s\r\n\r\n\r\nレジスタダンプ；\r\n",
                module, thread, code, name);
    WriteRegisters(log, c);
#else
    WriteFormat(log,
                "モジュール：%s\r\n例外エラーがスレッド %08XH で発生しました。\r\n例外エラーコード：%08XH\r\n"
                "例外エラーの種類：%s\r\n\r\n\r\nレジスタダンプ；\r\nCS:EIP  = %04X:%08X\r\n"
                "EAX = %08X, EBX = %08X, ECX = %08X, EDX = %08X\r\n"
                "ESI = %08X, EDI = %08X, EBP = %08X, ESP = %08X\r\n"
                "DS = %04X, ES = %04X, FS = %04X, GS = %04X, SS = %04X\r\n\r\n\r\n",
                module, thread, code, name, static_cast<unsigned int>(c->SegCs), static_cast<unsigned int>(c->Eip),
                static_cast<unsigned int>(c->Eax), static_cast<unsigned int>(c->Ebx),
                static_cast<unsigned int>(c->Ecx), static_cast<unsigned int>(c->Edx),
                static_cast<unsigned int>(c->Esi), static_cast<unsigned int>(c->Edi),
                static_cast<unsigned int>(c->Ebp), static_cast<unsigned int>(c->Esp),
                static_cast<unsigned int>(c->SegDs), static_cast<unsigned int>(c->SegEs),
                static_cast<unsigned int>(c->SegFs), static_cast<unsigned int>(c->SegGs),
                static_cast<unsigned int>(c->SegSs));
#endif
}

void WriteLog(ESLFileObject* log, EXCEPTION_POINTERS* pointers, DWORD threadId, const char* name) {
    CONTEXT* c = pointers->ContextRecord;
    WriteHeader(log, pointers, threadId, name);
    WriteText(log, "コードダンプ；\r\n");
    DumpMemory(log, InstructionPointer(c), kCodeLabel, -256, 256);
    WriteText(log, "スタックダンプ；\r\n");
    DumpMemory(log, StackPointer(c), kStackLabel, 0, 512);
    WriteText(log, "データダンプ；\r\n");
    for (const GeneralRegister& r : kAddressRegisters) {
        RegisterValue value = c->*r.field;
        if (MayBeAddress(value))
            DumpMemory(log, value, r.label, 0, 256);
    }
    // The first words where a register points, followed once more.
    for (const GeneralRegister& r : kAddressRegisters) {
        RegisterValue value = c->*r.field;
        if (!MayBeAddress(value))
            continue;
        for (int i = 0; i < 8; ++i) {
            uintptr_t at = static_cast<uintptr_t>(value) + i * sizeof(RegisterValue);
            if (!IsReadable(at, sizeof(RegisterValue)))
                break;
            RegisterValue word;
            memcpy(&word, reinterpret_cast<const void*>(at), sizeof word);
            if (!MayBeAddress(word))
                continue;
            char label[32];
            snprintf(label, sizeof label, GLS_ADDRESS "H", static_cast<PrintedValue>(word));
            DumpMemory(log, word, label, 0, 128);
        }
    }
}

// Save dialog, then the log. False when the user cancels the dialog, it
// fails, or the file cannot be created.
bool SaveLog(EXCEPTION_POINTERS* pointers, DWORD threadId, const char* name) {
    InitCommonControls();
    char path[1024] = "";
    OPENFILENAMEA dialog;
    memset(&dialog, 0, sizeof dialog);
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = nullptr;
    dialog.lpstrFilter = "error log file (*.log)\0*.log\0";
    dialog.lpstrFile = path;
    dialog.nMaxFile = sizeof path;
    dialog.lpstrTitle = "ログファイル保存";
    dialog.Flags = OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY | OFN_PATHMUSTEXIST;
    dialog.lpstrDefExt = "log";
    if (!GetSaveFileNameA(&dialog))
        return false;
    ERawFile log;
    if (log.Open(path, ESLFileObject::modeCreate | ESLFileObject::modeWrite) != eslResultSuccess)
        return false;
    WriteLog(&log, pointers, threadId, name);
    log.Close();
    return true;
}

}  // namespace

void DumpMemory(ESLFileObject* log, uintptr_t base, const char* label, int start, int end) {
    for (int offset = start; offset < end; offset += 16) {
        uintptr_t address = base + static_cast<uintptr_t>(static_cast<intptr_t>(offset));
        if (!IsReadable(address, 16))
            break;
        unsigned char bytes[16];
        memcpy(bytes, reinterpret_cast<const void*>(address), 16);
        char line[160];
        int n;
        if (offset == 0)
            n = snprintf(line, 64, "%*.*s : ", kLabelWidth, 40, label);
        else
            n = snprintf(line, 64, GLS_ADDRESS "H : ", static_cast<PrintedValue>(address));
        for (unsigned char b : bytes)
            n += snprintf(line + n, 4, "%02X ", b);
        memcpy(line + n, "    ", 4);
        n += 4;
        for (unsigned char b : bytes)
            line[n++] = b < 0x20 ? '.' : static_cast<char>(b);
        memcpy(line + n, " \r\n", 3);
        n += 3;
        log->Write(line, static_cast<uint32_t>(n));
    }
    WriteText(log, "\r\n\r\n");
}

namespace {

// Everything but single steps, for the thread `threadId` that raised the
// exception. Its frame holds the texts; the filter's own stays small.
__attribute__((noinline)) LONG Handle(EXCEPTION_POINTERS* pointers, DWORD threadId) {
    EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    CONTEXT* context = pointers->ContextRecord;
    DWORD code = record->ExceptionCode;
    char text[1024];

    if (code == kBreakpoint) {
        snprintf(text, sizeof text, kBreakpointQuestion,
                 static_cast<PrintedValue>(reinterpret_cast<uintptr_t>(record->ExceptionAddress)));
        if (Ask(text, MB_YESNO) != IDYES)
            return EXCEPTION_CONTINUE_SEARCH;
        // Step over a one-byte breakpoint instruction (INT3).
        RegisterValue& ip = InstructionPointer(context);
        if (IsReadable(ip, 1) && *reinterpret_cast<const unsigned char*>(ip) == 0xCC)
            ip += 1;
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    if (code == kInPageError && RetryInPage(record))
        return EXCEPTION_CONTINUE_EXECUTION;  // try the access again

    const char* name = NameOf(code);
    int n = snprintf(text, sizeof text, kQuestionStart, name);
    n += snprintf(text + n, sizeof text - n, kExceptionLine, static_cast<unsigned int>(context->SegCs),
                  static_cast<PrintedValue>(InstructionPointer(context)));
    snprintf(text + n, sizeof text - n, "%s", kQuestionEnd);
    switch (Ask(text, MB_YESNOCANCEL)) {
    case IDCANCEL:
        ExitProcess(0xFFFFFFFF);
    case IDNO:
        return EXCEPTION_CONTINUE_EXECUTION;
    case IDYES:
        break;
    default:
        // No answer at all (the box could not be shown): resuming would only
        // fault again, unseen.
        return EXCEPTION_CONTINUE_SEARCH;
    }
    if (!SaveLog(pointers, threadId, name))
        return EXCEPTION_CONTINUE_SEARCH;
    return Ask(kSavedQuestion, MB_YESNO) == IDYES ? EXCEPTION_CONTINUE_EXECUTION : EXCEPTION_CONTINUE_SEARCH;
}

struct HelperJob {
    EXCEPTION_POINTERS* pointers;
    DWORD threadId;
    LONG result;
};

DWORD WINAPI RunHelperJob(void* parameter) {
    HelperJob* job = static_cast<HelperJob*>(parameter);
    job->result = Handle(job->pointers, job->threadId);
    return 0;
}

// A thread whose stack has overflowed has too little left for the boxes,
// the save dialog and the log: another thread does that work while this
// one waits. The faulting thread's context and stack stay readable to it.
//
// When the answer is to end the program, it ends here, with the exception's
// code as its exit code: the system's own handling would run on the
// exhausted stack too, and may end only this thread and leave the process
// hanging on the threads that the dialogs started.
__attribute__((noinline)) LONG HandleOverflow(EXCEPTION_POINTERS* pointers) {
    HelperJob job = {pointers, GetCurrentThreadId(), EXCEPTION_CONTINUE_SEARCH};
    HANDLE helper = CreateThread(nullptr, kHelperStack, RunHelperJob, &job, 0, nullptr);
    if (helper == nullptr)
        return EXCEPTION_CONTINUE_SEARCH;
    WaitForSingleObject(helper, INFINITE);
    CloseHandle(helper);
    if (job.result == EXCEPTION_CONTINUE_SEARCH)
        TerminateProcess(GetCurrentProcess(), pointers->ExceptionRecord->ExceptionCode);
    return job.result;
}

LONG WINAPI FirstChanceOverflow(EXCEPTION_POINTERS* pointers) {
    if (pointers->ExceptionRecord->ExceptionCode != kStackOverflow)
        return EXCEPTION_CONTINUE_SEARCH;
    return HandleOverflow(pointers);
}

std::atomic<bool> g_firstChanceInstalled{false};

}  // namespace

void InstallExceptionFilter() {
    SetUnhandledExceptionFilter(&TopLevelExceptionFilter);
    if (!g_firstChanceInstalled.exchange(true))
        AddVectoredExceptionHandler(1, &FirstChanceOverflow);
    // Looked up at run time: older systems lack it and still run the program.
    typedef BOOL(WINAPI * Guarantee)(PULONG);
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    Guarantee guarantee =
        kernel ? reinterpret_cast<Guarantee>(reinterpret_cast<void*>(GetProcAddress(kernel, "SetThreadStackGuarantee"))) : nullptr;
    ULONG bytes = kOverflowReserve;
    if (guarantee != nullptr)
        guarantee(&bytes);
}

CrashQuestionHook SetCrashQuestionHook(CrashQuestionHook hook) {
    CrashQuestionHook previous = g_questionHook;
    g_questionHook = hook;
    return previous;
}

LONG WINAPI TopLevelExceptionFilter(EXCEPTION_POINTERS* pointers) {
    DWORD code = pointers->ExceptionRecord->ExceptionCode;
    if (code == kSingleStep) {
        pointers->ContextRecord->EFlags &= ~0x100u;  // the trap flag
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    if (code == kStackOverflow)
        return HandleOverflow(pointers);
    return Handle(pointers, GetCurrentThreadId());
}

#endif  // _WIN32

// Object model, result texts, diagnostics and the pointer array.
#include "esl/object.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <new>

#include "esl/memory.h"
#include "esl/platform.h"

// --- text comparison ---

namespace {

template <bool kFold>
int CompareTexts(const char* a, const char* b) {
    if (a == nullptr)
        return (b != nullptr && *b != '\0') ? -1 : 0;
    if (b == nullptr)
        return *a != '\0' ? 1 : 0;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(a);
    const unsigned char* q = reinterpret_cast<const unsigned char*>(b);
    while (*p != 0) {
        unsigned int x = *p, y = *q;
        if (kFold) {
            if (x >= 'a' && x <= 'z')
                x -= 'a' - 'A';
            if (y >= 'a' && y <= 'z')
                y -= 'a' - 'A';
        }
        if (x != y)
            return static_cast<int>(x) - static_cast<int>(y);
        ++p;
        ++q;
    }
    return -static_cast<int>(*q);
}

}  // namespace

int CompareText(const char* a, const char* b) { return CompareTexts<false>(a, b); }
int CompareTextNoCase(const char* a, const char* b) { return CompareTexts<true>(a, b); }

// --- results ---

const char* eslGetResultText(ESLResult result) {
    static const char* const kTexts[] = {
        "関数は成功しました。",
        "一般的なエラーが発生しました。",
        "処理が中断されました。",
        "不正なパラメータが指定されました。",
        "関数はタイムアウトしました。",
        "処理がペンディング状態です。",
        "処理は継続中です。",
    };
    if (result == eslResultNotSupported)
        return "未対応の機能を利用しようとしました。";
    if (result >= 0 && result <= eslResultContinue)
        return kTexts[result];
    // Values near -1 cannot be text addresses (the top of the address space
    // belongs to the system); treat them as unknown codes, not as pointers.
    if (result < 0 && result >= -0xFFFF)
        return "未知のエラーコードです。";
    if ((static_cast<uintptr_t>(result) & ~static_cast<uintptr_t>(0xFFFF)) != 0)
        return reinterpret_cast<const char*>(result);
    return "未知のエラーコードです。";
}

// --- diagnostics ---

namespace {
std::atomic<ESLDebugSink> g_debugSink{nullptr};
}

ESLDebugSink eslSetDebugSink(ESLDebugSink sink) { return g_debugSink.exchange(sink); }

void eslDebugOutput(const char* text) {
    ESLDebugSink sink = g_debugSink.load();
    if (sink != nullptr)
        sink(text);
    else
        eslp::DebugOutput(text);
}

void eslTrace(const char* format, ...) {
    if (format == nullptr)
        return;
    if (g_debugSink.load() == nullptr && getenv("ESL_TRACE") == nullptr)
        return;
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    eslDebugOutput(text);
}

// --- ESLObject ---

const char* ESLObject::GetClassName() const { return "ESLObject"; }

bool ESLObject::IsKindOf(const char* name) const { return CompareText(name, "ESLObject") == 0; }

ESLObject* ESLObject::DynamicCast(const char* name) {
    return CompareText(name, "ESLObject") == 0 ? this : nullptr;
}

void* ESLObject::operator new(size_t size) noexcept {
    return size < 0xFFFFFFFFu ? eslHeapAllocate(nullptr, static_cast<unsigned int>(size), 0) : nullptr;
}

void ESLObject::operator delete(void* p) { eslHeapFree(nullptr, p, 0); }

// --- EPtrArray ---

namespace {
// Largest element count whose storage stays below the heap's 1 GiB limit.
const unsigned int kMaxPtrCount = (1u << 30) / sizeof(void*) - 1;
}  // namespace

EPtrArray::EPtrArray() : m_items(nullptr), m_count(0), m_capacity(0), m_growthStep(0) {}

EPtrArray::~EPtrArray() {
    if (m_items != nullptr)
        eslHeapFree(nullptr, m_items, 0);
}

void EPtrArray::SetCapacity(unsigned int n) {
    if (n > kMaxPtrCount)
        return;  // cannot be served; the array keeps what it has
    unsigned int bytes = static_cast<unsigned int>(sizeof(void*) * n);
    void* p = m_items != nullptr ? eslHeapReallocate(nullptr, m_items, bytes, 0)
                                 : eslHeapAllocate(nullptr, bytes, 0);
    if (p == nullptr)
        return;
    m_items = static_cast<void**>(p);
    m_capacity = n;
    if (m_count > n)
        m_count = n;
}

void EPtrArray::FreeBuffer() {
    if (m_items != nullptr)
        eslHeapFree(nullptr, m_items, 0);
    m_items = nullptr;
    m_capacity = 0;
}

void EPtrArray::SetSize(unsigned int n, unsigned int step) {
    if (step != 0) {
        m_growthStep = step;
    } else {
        step = m_growthStep != 0 ? m_growthStep : m_count / 2;
        if (step == 0)
            step = 1;
    }
    if (m_items == nullptr || n > m_capacity) {
        unsigned int base = n - n % step;
        if (base > kMaxPtrCount || step > kMaxPtrCount - base)
            return;  // beyond what the heap can hold: leave the array unchanged
        SetCapacity(base + step);
        if (m_items == nullptr || n > m_capacity)
            return;  // no memory: unchanged
    }
    for (unsigned int i = m_count; i < n; ++i)
        m_items[i] = nullptr;
    m_count = n;
}

void EPtrArray::SetAt(unsigned int index, void* p) {
    if (index >= m_count) {
        if (index == 0xFFFFFFFFu)
            return;
        SetSize(index + 1, 0);
        if (index >= m_count)
            return;
    }
    m_items[index] = p;
}

void EPtrArray::Add(void* p) {
    unsigned int at = m_count;
    if (at == 0xFFFFFFFFu)
        return;
    SetSize(at + 1, 0);
    if (m_count == at + 1)
        m_items[at] = p;
}

void EPtrArray::RemoveAt(unsigned int index, unsigned int n) {
    if (index >= m_count)
        return;
    if (n > m_count - index)
        n = m_count - index;
    if (n == 0)
        return;
    for (unsigned int i = index; i + n < m_count; ++i)
        m_items[i] = m_items[i + n];
    SetSize(m_count - n, 0);
}

void EPtrArray::RemoveAll() {
    m_count = 0;
    FreeBuffer();
}

void EPtrArray::InsertArray(unsigned int index, const EPtrArray& source, unsigned int start, unsigned int n) {
    unsigned int srcCount = source.m_count;
    if (n == 0xFFFFFFFFu)
        n = srcCount;
    if (start >= srcCount)
        return;
    if (n >= srcCount - start)
        n = srcCount - start;
    if (n == 0 || index > m_count)
        return;
    if (n > kMaxPtrCount - m_count)
        return;
    unsigned int oldCount = m_count;
    // Inserting an array into itself: SetSize may move the storage, and the
    // shifted elements would be read back. Copy the slice first.
    void** slice = source.m_items + start;
    void** copy = nullptr;
    if (&source == this) {
        copy = static_cast<void**>(eslHeapAllocate(nullptr, static_cast<unsigned int>(sizeof(void*) * n), 0));
        if (copy == nullptr)
            return;
        eslMoveMemory(copy, slice, static_cast<unsigned int>(sizeof(void*) * n));
        slice = copy;
    }
    SetSize(oldCount + n, 0);
    if (m_count == oldCount + n) {
        for (unsigned int i = oldCount; i > index; --i)
            m_items[i - 1 + n] = m_items[i - 1];
        for (unsigned int i = 0; i < n; ++i)
            m_items[index + i] = slice[i];
    }
    if (copy != nullptr)
        eslHeapFree(nullptr, copy, 0);
}

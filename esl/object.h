// Object model: run-time class names, results and their texts, the trace
// routine, and the growable pointer array.
#pragma once

#include "esl/heap.h"
#include "esl/types.h"

// Keep the class-name slot's name even where <windows.h> came first.
#ifdef GetClassName
#undef GetClassName
#endif

// Exact and ASCII-case-folded comparison of zero-terminated texts (null allowed).
int CompareText(const char* a, const char* b);
int CompareTextNoCase(const char* a, const char* b);

// Text for a result: the fixed code's text, the message a result points to,
// or the unknown-code text.
const char* eslGetResultText(ESLResult result);

// Diagnostic output for failure paths. Discarded unless ESL_TRACE is set in
// the environment (host) or a debugger listens (Windows, debug builds).
void eslTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Library diagnostics (traces, heap dumps) pass through here: to the
// platform's debugger output, or to a sink when one is installed. With a
// sink installed eslTrace always writes, whatever ESL_TRACE says, so tests
// can watch the failure paths. Returns the previous sink.
typedef void (*ESLDebugSink)(const char* text);
ESLDebugSink eslSetDebugSink(ESLDebugSink sink);
void eslDebugOutput(const char* text);

class ESLObject {
public:
    virtual ~ESLObject() {}
    virtual const char* GetClassName() const;
    virtual bool IsKindOf(const char* name) const;
    virtual ESLObject* DynamicCast(const char* name);

    // Library objects live on the global ESL heap. Failures are returned,
    // not thrown: when the heap cannot serve an object, the new-expression
    // gives null and no constructor runs, so callers check the result.
    static void* operator new(size_t size) noexcept;
    static void operator delete(void* p);
    static void* operator new(size_t, void* where) { return where; }
    static void operator delete(void*, void*) {}
};

// Declares a class's own name and the three identification slots, each
// deferring directly to the named base class.
#define ESL_DECLARE_CLASS(cls, base)                                                         \
public:                                                                                     \
    const char* GetClassName() const override { return #cls; }                              \
    bool IsKindOf(const char* name) const override {                                        \
        return CompareText(name, #cls) == 0 || base::IsKindOf(name);                        \
    }                                                                                       \
    ESLObject* DynamicCast(const char* name) override {                                     \
        return CompareText(name, #cls) == 0 ? static_cast<ESLObject*>(this)                 \
                                            : base::DynamicCast(name);                      \
    }

class EPtrArray : public ESLObject {
    ESL_DECLARE_CLASS(EPtrArray, ESLObject)
public:
    EPtrArray();
    ~EPtrArray() override;
    EPtrArray(const EPtrArray&) = delete;
    EPtrArray& operator=(const EPtrArray&) = delete;

    virtual void SetCapacity(unsigned int n);
    virtual void FreeBuffer();

    unsigned int GetSize() const { return m_count; }
    void* GetAt(unsigned int index) const { return index < m_count ? m_items[index] : nullptr; }
    void SetAt(unsigned int index, void* p);
    void Add(void* p);
    void SetSize(unsigned int n, unsigned int step = 0);
    void RemoveAt(unsigned int index, unsigned int n = 1);
    void RemoveAll();
    void InsertArray(unsigned int index, const EPtrArray& source, unsigned int start = 0,
                     unsigned int n = 0xFFFFFFFFu);

protected:
    void** m_items;
    unsigned int m_count;
    unsigned int m_capacity;
    unsigned int m_growthStep;
};

// Typed view that only holds pointers.
template <class T>
class EPtrArrayOf : public EPtrArray {
public:
    T* GetAt(unsigned int index) const { return static_cast<T*>(EPtrArray::GetAt(index)); }
    T* operator[](unsigned int index) const { return GetAt(index); }
    void SetAt(unsigned int index, T* p) { EPtrArray::SetAt(index, p); }
    void Add(T* p) { EPtrArray::Add(p); }
};

// Typed array that owns its elements and deletes them.
template <class T>
class EOwnedPtrArray : public EPtrArrayOf<T> {
public:
    ~EOwnedPtrArray() override { DeleteAll(); }
    // Element destructors may remove other elements while this runs.
    void DeleteAll() {
        long i = static_cast<long>(this->m_count) - 1;
        while (i >= 0) {
            if (static_cast<unsigned long>(i) < this->m_count && this->m_items[i] != nullptr) {
                T* p = static_cast<T*>(this->m_items[i]);
                this->m_items[i] = nullptr;
                delete p;
            }
            if (static_cast<unsigned long>(i) < this->m_count)
                --i;
            else
                i = static_cast<long>(this->m_count) - 1;
        }
        this->RemoveAll();
    }
};

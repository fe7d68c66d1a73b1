// Owned, growable, zero-terminated strings on the global ESL heap.
#pragma once

#include "esl/object.h"

class ESLFileObject;

template <class C>
class EBasicString : public ESLObject {
public:
    EBasicString() : m_buffer(nullptr), m_length(0), m_capacity(0) {}
    ~EBasicString() override { FreeBuffer(); }
    EBasicString(const EBasicString&) = delete;
    EBasicString& operator=(const EBasicString&) = delete;

    virtual void SetCapacity(unsigned int n);
    virtual void FreeBuffer();

    unsigned int GetLength() const { return m_length; }
    unsigned int GetCapacity() const { return m_capacity; }
    bool IsEmpty() const { return m_length == 0; }
    // Null when the string has no buffer.
    C* GetBuffer() const { return m_buffer; }
    // Never null: an empty text when there is no buffer.
    const C* CharPtr() const;
    operator const C*() const { return CharPtr(); }
    C GetAt(unsigned int index) const { return index < m_length ? m_buffer[index] : C(0); }
    // Sets the length after text was written straight into the buffer
    // (must stay below the capacity); terminates it.
    void SetLength(unsigned int n);

protected:
    // Capacity for a text of n characters: n + n/2 + 1.
    static unsigned int RoomFor(unsigned int n) { return n + n / 2 + 1; }
    void AssignText(const C* text);           // '=' from a C text of the own type
    void AssignString(const EBasicString& s);  // '=' from the same class
    void AppendText(const C* text, unsigned int n);
    void AppendCText(const C* text);  // '+=' from a zero-terminated text
    // '=' from text of the other width, converted through the ANSI code page.
    // `convert` follows the Win32 conversion calls (count -1, null to measure).
    template <class From>
    void AssignConverted(const From* text, int (*convert)(const From*, int, C*, int));
    void InitFromCText(const C* text);  // construction from a text (null: no buffer)
    // Construction from `count` characters of the other width (-1: up to the
    // terminator); null gives an empty text with a one-character buffer.
    template <class From>
    void InitConverted(const From* text, int count, int (*convert)(const From*, int, C*, int));
    void InitFromText(const C* text, int count);
    void InitCopy(const EBasicString& s);
    // SetCapacity(n) and whether the buffer now holds exactly n characters
    // (false when the heap could not serve it; the string is then unchanged).
    bool Reserve(unsigned int n);
    // Replaces the text with n characters (n below the character limit).
    bool SetText(const C* text, unsigned int n, unsigned int capacity);

    C* m_buffer;
    unsigned int m_length;
    unsigned int m_capacity;
};

extern template class EBasicString<char>;
extern template class EBasicString<wchar16>;

class EWideString;

class EString : public EBasicString<char> {
    ESL_DECLARE_CLASS(EString, ESLObject)
public:
    EString() {}
    EString(const char* text);                      // null: no buffer
    EString(const char* text, int count);           // prefix; count < 0: whole text
    EString(const EString& s);                      // same length and capacity
    EString(const wchar16* text, int count);        // from UTF-16 via the ANSI code page
    EString(unsigned int value, int digits);        // upper-case hexadecimal
    EString& operator=(const EString& s);
    EString& operator=(const char* text);
    EString& operator=(const wchar16* text);
    EString& operator+=(const char* text);
    EString& operator+=(const EString& s);

    // Pointer just after the last '\' or '/', double-byte aware.
    const char* GetFileNamePart();
    // Prefix up to and including the last '\' or '/'; empty when none.
    EString GetDirectoryPart() const;
    int Find(char c, unsigned int from = 0) const;
    EString Mid(unsigned int start, unsigned int count = 0xFFFFFFFFu) const;
};

EString operator+(const EString& a, const char* b);
EString operator+(const EString& a, const EString& b);
EString operator+(const char* a, const EString& b);

class EWideString : public EBasicString<wchar16> {
    ESL_DECLARE_CLASS(EWideString, ESLObject)
public:
    EWideString() {}
    EWideString(const wchar16* text);
    EWideString(const wchar16* text, int count);
    EWideString(const EWideString& s);
    EWideString(const char* text, int count);  // from the ANSI code page
    explicit EWideString(wchar16 c);            // length 1, capacity 15
    EWideString& operator=(const EWideString& s);
    EWideString& operator=(const wchar16* text);
    EWideString& operator=(const char* text);
    EWideString& operator+=(const wchar16* text);
    EWideString& operator+=(const EWideString& s);

    int Find(wchar16 c, unsigned int from = 0) const;
    EWideString Mid(unsigned int start, unsigned int count = 0xFFFFFFFFu) const;
};

class EStreamWideString : public EWideString {
    ESL_DECLARE_CLASS(EStreamWideString, EWideString)
public:
    EStreamWideString();
    EStreamWideString(const EWideString& s);
    EStreamWideString(const char* text, int count = -1);

    unsigned int GetPosition() const { return m_position; }
    void SetPosition(unsigned int pos) { m_position = pos; }
    bool IsEnd() const { return m_position >= m_length; }

    virtual ESLResult ClearStream();
    virtual ESLResult ReadTextFile(ESLFileObject& file);
    virtual ESLResult ReadMultiByteFile(ESLFileObject& file);
    virtual ESLResult ReadWideFile(ESLFileObject& file);
    virtual bool SkipSpace();
    virtual bool SkipLine();
    virtual void SkipToSpace();
    virtual void SkipTo(wchar16 c);
    virtual void GetTokenClass(int* cls);
    virtual EWideString GetWord();
    virtual EWideString GetStringUntil(wchar16 c);
    virtual EWideString GetToken(int* cls);

    // Numbers. A number is, after white space: an optional sign, digits
    // starting with 0-9, an optional fraction ("." and digits) and an
    // optional radix suffix in either case: B binary, O octal, T decimal,
    // H hexadecimal ("0FFh"); "0x" before hexadecimal digits also gives
    // radix 16. There is no exponent. In a given radix the digits are 0-9
    // and A-Z (either case) below it, and a prefix or suffix that matches
    // the radix is taken along.
    //
    // The radix the number at the position would be read in: 2, 8, 10 or 16
    // by its suffix or prefix, 0 for plain decimal digits, -1 when no number
    // stands there (also when letters follow the digits). Consumes nothing.
    virtual int GetNumberRadix();
    // Reads a number in `radix` (0: as GetNumberRadix says, 10 for plain
    // digits; 2 to 36 otherwise). A negative radix, an unknown one or no
    // digits give 0 and consume nothing.
    virtual double GetReal(int radix);
    // The same for integers: reading stops before a fraction. Values beyond
    // the 64-bit range are clamped to its ends; all their digits are consumed.
    virtual int64_t GetInteger64(int radix);
    // The low 32 bits of GetInteger64.
    virtual int GetInteger(int radix);

    // Skips white space; consumes and returns the current character when it
    // is one of the zero-terminated set, else returns 0.
    wchar16 TakeIfOneOf(const wchar16* set);

    static const uint32_t defaultSeparatorSet[4];
    static const uint32_t defaultSingleSet[4];

protected:
    // Where the digits of a number in `radix` start and end, or false.
    bool ScanDigits(int radix, unsigned int* start, unsigned int* end, bool* negative) const;
    // Moves past digits, an optional fraction when `fraction`, and a
    // matching suffix; returns the fraction's digits' end or the digits' end.
    unsigned int FinishNumber(int radix, unsigned int end, bool fraction) const;

    unsigned int m_position;
    uint32_t m_separatorSet[4];
    uint32_t m_singleSet[4];
};

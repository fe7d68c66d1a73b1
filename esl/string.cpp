// Strings: the generic buffer handling, the narrow and wide classes with
// their code-page conversions and path helpers, and the token stream.
#include "esl/string.h"

#include <string.h>

#include "esl/file.h"
#include "esl/memory.h"
#include "esl/platform.h"

namespace {

template <class C>
size_t TextLength(const C* text) {
    size_t n = 0;
    while (text[n] != 0)
        ++n;
    return n;
}

// Most characters a buffer may hold: the heap serves less than 1 GiB.
template <class C>
constexpr unsigned int MaxChars() {
    return static_cast<unsigned int>((1u << 30) / sizeof(C) - 1);
}

// Text lengths beyond what a buffer can hold are refused; room for them
// would not fit in 32 bits anyway.
template <class C>
bool FitsLength(size_t n) {
    return n < MaxChars<C>() / 2;
}

}  // namespace

// --- EBasicString ---

template <class C>
void EBasicString<C>::SetCapacity(unsigned int n) {
    if (n > MaxChars<C>())
        return;
    unsigned int bytes = static_cast<unsigned int>(n * sizeof(C));
    if (m_buffer != nullptr) {
        C* p = static_cast<C*>(eslHeapReallocate(nullptr, m_buffer, bytes, 0));
        if (p == nullptr)
            return;
        m_buffer = p;
    } else {
        C* p = static_cast<C*>(eslHeapAllocate(nullptr, bytes, 0));
        if (p == nullptr)
            return;
        m_buffer = p;
        m_buffer[0] = 0;
    }
    m_capacity = n;
    // Keep the text terminated inside the new size. (The heap's smallest
    // block holds 8 bytes, so index 0 is writable even for n = 0.)
    if (m_length >= n) {
        m_length = n > 0 ? n - 1 : 0;
        m_buffer[m_length] = 0;
    }
}

template <class C>
void EBasicString<C>::FreeBuffer() {
    if (m_buffer != nullptr)
        eslHeapFree(nullptr, m_buffer, 0);
    m_buffer = nullptr;
    m_length = 0;
    m_capacity = 0;
}

template <class C>
const C* EBasicString<C>::CharPtr() const {
    static const C kEmpty[1] = {0};
    return m_buffer != nullptr ? m_buffer : kEmpty;
}

template <class C>
void EBasicString<C>::SetLength(unsigned int n) {
    if (m_buffer == nullptr)
        return;
    if (n >= m_capacity)
        n = m_capacity > 0 ? m_capacity - 1 : 0;
    m_length = n;
    m_buffer[n] = 0;
}

template <class C>
bool EBasicString<C>::Reserve(unsigned int n) {
    SetCapacity(n);
    return m_buffer != nullptr && m_capacity == n;
}

template <class C>
bool EBasicString<C>::SetText(const C* text, unsigned int n, unsigned int capacity) {
    if (m_buffer != nullptr && text >= m_buffer && text < m_buffer + m_capacity) {
        // The text lies in our own buffer: pull it to the front first, then
        // resize (which keeps the contents), so no pointer goes stale.
        eslMoveMemory(m_buffer, text, static_cast<unsigned int>(n * sizeof(C)));
        m_buffer[n] = 0;
        m_length = n;
        Reserve(capacity);
        return true;
    }
    if (!Reserve(capacity))
        return false;
    eslMoveMemory(m_buffer, text, static_cast<unsigned int>(n * sizeof(C)));
    m_buffer[n] = 0;
    m_length = n;
    return true;
}

template <class C>
void EBasicString<C>::AssignText(const C* text) {
    if (text != nullptr && text == m_buffer)
        return;
    if (text == nullptr) {
        if (m_length == 0)
            return;
        SetCapacity(RoomFor(0));
        m_length = 0;
        m_buffer[0] = 0;
        return;
    }
    size_t n = TextLength(text);
    if (!FitsLength<C>(n))
        return;
    unsigned int len = static_cast<unsigned int>(n);
    SetText(text, len, RoomFor(len));
}

template <class C>
void EBasicString<C>::AssignString(const EBasicString& s) {
    if (&s == this)
        return;
    if (s.m_length == 0) {
        m_length = 0;
        if (m_buffer != nullptr)
            m_buffer[0] = 0;
        return;
    }
    SetText(s.m_buffer, s.m_length, s.m_capacity);
}

template <class C>
void EBasicString<C>::InitFromCText(const C* text) {
    if (text == nullptr)
        return;
    size_t n = TextLength(text);
    if (!FitsLength<C>(n))
        return;
    unsigned int len = static_cast<unsigned int>(n);
    SetText(text, len, RoomFor(len));
}

template <class C>
template <class From>
void EBasicString<C>::InitConverted(const From* text, int count, int (*convert)(const From*, int, C*, int)) {
    if (count < -1)
        count = -1;
    int measured = text != nullptr && count != 0 ? convert(text, count, nullptr, 0) : 0;
    unsigned int len = 0;
    if (measured > 0)
        len = static_cast<unsigned int>(count == -1 ? measured - 1 : measured);
    if (!FitsLength<C>(len))
        len = 0;
    if (!Reserve(text == nullptr ? 1 : RoomFor(len)))
        return;
    if (len > 0 && convert(text, count, m_buffer, static_cast<int>(m_capacity)) == 0)
        len = 0;
    m_length = len;
    m_buffer[len] = 0;
}

template <class C>
void EBasicString<C>::AppendCText(const C* text) {
    if (text != nullptr) {
        size_t n = TextLength(text);
        if (FitsLength<C>(n))
            AppendText(text, static_cast<unsigned int>(n));
    }
}

// The measure m includes the terminator; the capacity is room for m - 1.
template <class C>
template <class From>
void EBasicString<C>::AssignConverted(const From* text, int (*convert)(const From*, int, C*, int)) {
    int measured = text != nullptr ? convert(text, -1, nullptr, 0) : 0;
    if (measured <= 0 || !FitsLength<C>(static_cast<size_t>(measured))) {
        SetCapacity(1);
        m_length = 0;
        if (m_buffer != nullptr)
            m_buffer[0] = 0;
        return;
    }
    unsigned int m = static_cast<unsigned int>(measured);
    if (!Reserve(m + (m - 1) / 2))
        return;
    unsigned int len = m - 1;
    if (convert(text, -1, m_buffer, static_cast<int>(m_capacity)) == 0)
        len = 0;
    m_length = len;
    m_buffer[len] = 0;
}

template <class C>
void EBasicString<C>::AppendText(const C* text, unsigned int n) {
    if (text == nullptr && n != 0)
        return;
    if (!FitsLength<C>(static_cast<size_t>(m_length) + n))
        return;
    unsigned int newLength = m_length + n;
    if (newLength >= m_capacity) {
        bool own = m_buffer != nullptr && text >= m_buffer && text < m_buffer + m_capacity;
        size_t offset = own ? static_cast<size_t>(text - m_buffer) : 0;
        if (!Reserve(RoomFor(newLength)))
            return;
        if (own)
            text = m_buffer + offset;
    }
    if (n != 0)
        eslMoveMemory(m_buffer + m_length, text, static_cast<unsigned int>(n * sizeof(C)));
    m_length = newLength;
    m_buffer[newLength] = 0;
}

template <class C>
void EBasicString<C>::InitFromText(const C* text, int count) {
    if (text == nullptr)
        return;
    size_t n = count < 0 ? TextLength(text) : static_cast<size_t>(count);
    if (n == 0 || !FitsLength<C>(n))
        return;
    unsigned int len = static_cast<unsigned int>(n);
    SetText(text, len, RoomFor(len));
}

template <class C>
void EBasicString<C>::InitCopy(const EBasicString& s) {
    unsigned int capacity = s.m_capacity != 0 ? s.m_capacity : 1;
    if (!Reserve(capacity))
        return;
    if (s.m_buffer != nullptr) {
        eslMoveMemory(m_buffer, s.m_buffer, static_cast<unsigned int>((s.m_length + 1) * sizeof(C)));
        m_length = s.m_length;
    } else {
        m_buffer[0] = 0;
        m_length = 0;
    }
}

template class EBasicString<char>;
template class EBasicString<wchar16>;

// --- EString ---

namespace {

// Index of the last '\' or '/', never looking at the second byte of a
// double-byte character; -1 when there is none.
int LastSeparator(const char* text, unsigned int length) {
    int last = -1;
    unsigned int i = 0;
    while (i < length) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (eslp::IsLeadByte(c) && i + 1 < length) {
            i += 2;
            continue;
        }
        if (c == '\\' || c == '/')
            last = static_cast<int>(i);
        ++i;
    }
    return last;
}

}  // namespace

EString::EString(const char* text) { InitFromCText(text); }

EString::EString(const char* text, int count) { InitFromText(text, count); }

EString::EString(const EString& s) : EBasicString<char>() { InitCopy(s); }

EString::EString(const wchar16* text, int count) { InitConverted(text, count, eslp::WideToMultiByte); }

EString::EString(unsigned int value, int digits) {
    long long wanted = static_cast<long long>(digits) + 1;
    if (wanted > static_cast<long long>(MaxChars<char>()))
        return;
    unsigned int capacity = wanted > 16 ? static_cast<unsigned int>(wanted) : 16u;
    if (!Reserve(capacity))
        return;
    unsigned int count;
    if (digits <= 0) {
        count = 1;
        for (uint64_t power = 16; power <= value; power *= 16)
            ++count;
    } else {
        count = static_cast<unsigned int>(digits);
    }
    static const char kDigits[] = "0123456789ABCDEF";
    uint64_t v = value;
    for (unsigned int i = count; i > 0; --i) {
        m_buffer[i - 1] = kDigits[v & 15];
        v >>= 4;
    }
    m_length = count;
    m_buffer[count] = 0;
}

EString& EString::operator=(const EString& s) {
    AssignString(s);
    return *this;
}

EString& EString::operator=(const char* text) {
    AssignText(text);
    return *this;
}

EString& EString::operator=(const wchar16* text) {
    AssignConverted(text, eslp::WideToMultiByte);
    return *this;
}

EString& EString::operator+=(const char* text) {
    AppendCText(text);
    return *this;
}

EString& EString::operator+=(const EString& s) {
    AppendText(s.CharPtr(), s.m_length);
    return *this;
}

const char* EString::GetFileNamePart() {
    if (m_buffer == nullptr && !Reserve(16))
        return CharPtr();
    return m_buffer + (LastSeparator(m_buffer, m_length) + 1);
}

EString EString::GetDirectoryPart() const {
    int last = m_buffer != nullptr ? LastSeparator(m_buffer, m_length) : -1;
    if (last < 0)
        return EString();
    return EString(m_buffer, last + 1);
}

int EString::Find(char c, unsigned int from) const {
    // Walk from the start so that `from` inside a double-byte character
    // cannot make a trail byte look like a character of its own.
    unsigned int i = 0;
    while (i < m_length) {
        unsigned char b = static_cast<unsigned char>(m_buffer[i]);
        if (eslp::IsLeadByte(b) && i + 1 < m_length) {
            i += 2;
            continue;
        }
        if (i >= from && m_buffer[i] == c)
            return static_cast<int>(i);
        ++i;
    }
    return -1;
}

EString EString::Mid(unsigned int start, unsigned int count) const {
    EString result;
    if (m_buffer == nullptr || start >= m_length)
        return result;
    unsigned int available = m_length - start;
    if (count > available)
        count = available;
    result.SetText(m_buffer + start, count, RoomFor(count));
    return result;
}

EString operator+(const EString& a, const char* b) {
    EString result(a);
    result += b;
    return result;
}

EString operator+(const EString& a, const EString& b) {
    EString result(a);
    result += b;
    return result;
}

EString operator+(const char* a, const EString& b) {
    EString result(a);
    result += b;
    return result;
}

// --- EWideString ---

EWideString::EWideString(const wchar16* text) { InitFromCText(text); }

EWideString::EWideString(const wchar16* text, int count) { InitFromText(text, count); }

EWideString::EWideString(const EWideString& s) : EBasicString<wchar16>() { InitCopy(s); }

EWideString::EWideString(const char* text, int count) { InitConverted(text, count, eslp::MultiByteToWide); }

EWideString::EWideString(wchar16 c) {
    if (!Reserve(15))
        return;
    m_buffer[0] = c;
    m_buffer[1] = 0;
    m_length = 1;
}

EWideString& EWideString::operator=(const EWideString& s) {
    AssignString(s);
    return *this;
}

EWideString& EWideString::operator=(const wchar16* text) {
    AssignText(text);
    return *this;
}

EWideString& EWideString::operator=(const char* text) {
    AssignConverted(text, eslp::MultiByteToWide);
    return *this;
}

EWideString& EWideString::operator+=(const wchar16* text) {
    AppendCText(text);
    return *this;
}

EWideString& EWideString::operator+=(const EWideString& s) {
    AppendText(s.CharPtr(), s.m_length);
    return *this;
}

int EWideString::Find(wchar16 c, unsigned int from) const {
    for (unsigned int i = from; i < m_length; ++i) {
        if (m_buffer[i] == c)
            return static_cast<int>(i);
    }
    return -1;
}

EWideString EWideString::Mid(unsigned int start, unsigned int count) const {
    EWideString result;
    if (m_buffer == nullptr || start >= m_length)
        return result;
    unsigned int available = m_length - start;
    if (count > available)
        count = available;
    result.SetText(m_buffer + start, count, RoomFor(count));
    return result;
}

// --- EStreamWideString ---

const uint32_t EStreamWideString::defaultSeparatorSet[4] = {0xFFFFFFFFu, 0x7C00FFFFu, 0x78000000u,
                                                            0xF8000001u};
const uint32_t EStreamWideString::defaultSingleSet[4] = {0x00000000u, 0x58001384u, 0x28000000u,
                                                         0x28000000u};

namespace {

bool InSet(const uint32_t* set, wchar16 c) { return c < 0x80 && ((set[c >> 5] >> (c & 31)) & 1) != 0; }

}  // namespace

EStreamWideString::EStreamWideString() : m_position(0) {
    memcpy(m_separatorSet, defaultSeparatorSet, sizeof m_separatorSet);
    memcpy(m_singleSet, defaultSingleSet, sizeof m_singleSet);
}

EStreamWideString::EStreamWideString(const EWideString& s) : EWideString(s), m_position(0) {
    memcpy(m_separatorSet, defaultSeparatorSet, sizeof m_separatorSet);
    memcpy(m_singleSet, defaultSingleSet, sizeof m_singleSet);
}

EStreamWideString::EStreamWideString(const char* text, int count) : EWideString(text, count), m_position(0) {
    memcpy(m_separatorSet, defaultSeparatorSet, sizeof m_separatorSet);
    memcpy(m_singleSet, defaultSingleSet, sizeof m_singleSet);
}

ESLResult EStreamWideString::ClearStream() {
    m_position = 0;
    if (!Reserve(15))
        return eslResultGeneral;
    m_buffer[0] = 0;
    m_buffer[1] = 0;
    m_length = 1;
    return eslResultSuccess;
}

ESLResult EStreamWideString::ReadTextFile(ESLFileObject& file) {
    uint32_t start = file.GetPointer();
    unsigned char mark[2] = {0, 0};
    if (file.Read(mark, 2) == 2 && mark[0] == 0xFF && mark[1] == 0xFE)
        return ReadWideFile(file);
    file.Seek(static_cast<int32_t>(start), ESLFileObject::FromBegin);
    return ReadMultiByteFile(file);
}

ESLResult EStreamWideString::ReadMultiByteFile(ESLFileObject& file) {
    uint32_t length = file.GetLength();
    uint32_t position = file.GetPointer();
    if (length == 0xFFFFFFFFu || position == 0xFFFFFFFFu)
        return eslResultGeneral;
    uint32_t n = length > position ? length - position : 0;
    if (n >= MaxChars<char>())
        return eslResultGeneral;
    EStreamBuffer scratch;
    char* text = static_cast<char*>(scratch.PutBuffer(n + 1));
    if (text == nullptr)
        return eslResultGeneral;
    if (file.Read(text, n) < n)
        return eslResultGeneral;
    text[n] = 0;
    EWideString::operator=(static_cast<const char*>(text));
    m_position = 0;
    return eslResultSuccess;
}

ESLResult EStreamWideString::ReadWideFile(ESLFileObject& file) {
    uint32_t length = file.GetLength();
    uint32_t position = file.GetPointer();
    if (length == 0xFFFFFFFFu || position == 0xFFFFFFFFu)
        return eslResultGeneral;
    uint32_t n = (length > position ? length - position : 0) / 2;
    if (n >= MaxChars<wchar16>() || !Reserve(n + 1))
        return eslResultGeneral;
    uint32_t got = file.Read(m_buffer, n * 2);
    m_position = 0;
    if (got < n * 2) {
        // Keep only what was read, so the text stays terminated and defined.
        m_length = got / 2;
        m_buffer[m_length] = 0;
        return eslResultGeneral;
    }
    m_length = n;
    m_buffer[n] = 0;
    return eslResultSuccess;
}

bool EStreamWideString::SkipSpace() {
    while (m_position < m_length && m_buffer[m_position] <= 0x20)
        ++m_position;
    return m_position >= m_length;
}

bool EStreamWideString::SkipLine() {
    while (m_position < m_length) {
        wchar16 c = m_buffer[m_position++];
        if (c == 0x0A || c == 0x0D) {
            wchar16 other = c == 0x0A ? 0x0D : 0x0A;
            if (m_position < m_length && m_buffer[m_position] == other)
                ++m_position;
            break;
        }
    }
    return m_position >= m_length;
}

void EStreamWideString::SkipToSpace() {
    while (m_position < m_length && m_buffer[m_position] > 0x20)
        ++m_position;
}

void EStreamWideString::SkipTo(wchar16 c) {
    while (m_position < m_length && m_buffer[m_position] != c)
        ++m_position;
}

void EStreamWideString::GetTokenClass(int* cls) {
    wchar16 c = m_position < m_length ? m_buffer[m_position] : 0;
    int found;
    if (InSet(m_singleSet, c)) {
        found = 2;
        ++m_position;
    } else if (InSet(m_separatorSet, c)) {
        found = 1;
        if (m_position < m_length) {
            ++m_position;
            while (m_position < m_length) {
                wchar16 d = m_buffer[m_position];
                if (d > 0x20 && InSet(m_separatorSet, d) && !InSet(m_singleSet, d))
                    ++m_position;
                else
                    break;
            }
        }
    } else {
        found = 0;
        ++m_position;
        while (m_position < m_length && !InSet(m_separatorSet, m_buffer[m_position]))
            ++m_position;
    }
    if (cls != nullptr)
        *cls = found;
}

EWideString EStreamWideString::GetWord() {
    if (SkipSpace())
        return EWideString();
    unsigned int start = m_position;
    SkipToSpace();
    return EWideString(m_buffer + start, static_cast<int>(m_position - start));
}

EWideString EStreamWideString::GetStringUntil(wchar16 c) {
    unsigned int start = m_position < m_length ? m_position : m_length;
    SkipTo(c);
    unsigned int end = m_position < m_length ? m_position : m_length;
    if (m_position < m_length)
        ++m_position;  // the closing character is consumed, not kept
    if (end == start)
        return EWideString();
    return EWideString(m_buffer + start, static_cast<int>(end - start));
}

EWideString EStreamWideString::GetToken(int* cls) {
    if (cls != nullptr)
        *cls = -1;
    if (SkipSpace())
        return EWideString();
    unsigned int start = m_position;
    GetTokenClass(cls);
    return EWideString(m_buffer + start, static_cast<int>(m_position - start));
}

wchar16 EStreamWideString::TakeIfOneOf(const wchar16* set) {
    if (SkipSpace() || set == nullptr)
        return 0;
    wchar16 c = m_buffer[m_position];
    for (const wchar16* p = set; *p != 0; ++p) {
        if (*p == c) {
            ++m_position;
            return c;
        }
    }
    return 0;
}

// --- numbers ---

namespace {

int DigitValue(wchar16 c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z')
        return c - 'A' + 10;
    return 99;
}

bool IsAlphaNumeric(wchar16 c) { return DigitValue(c) != 99; }

int SuffixRadix(wchar16 c) {
    switch (c | 0x20) {
    case 'b': return 2;
    case 'o': return 8;
    case 't': return 10;
    case 'h': return 16;
    default: return 0;
    }
}

bool HexPrefixAt(const wchar16* text, unsigned int at, unsigned int length) {
    return at + 2 < length && text[at] == '0' && (text[at + 1] | 0x20) == 'x' && DigitValue(text[at + 2]) < 16;
}

}  // namespace

int EStreamWideString::GetNumberRadix() {
    const wchar16* t = m_buffer;
    unsigned int p = m_position;
    while (p < m_length && t[p] <= 0x20)
        ++p;
    if (p < m_length && (t[p] == '+' || t[p] == '-'))
        ++p;
    if (p >= m_length || DigitValue(t[p]) > 9)
        return -1;
    int radix = 0;
    if (HexPrefixAt(t, p, m_length)) {
        radix = 16;
        p += 2;
    }
    // The token: letters and digits with at most one "." between them.
    unsigned int start = p, end = p;
    bool dot = false;
    while (end < m_length) {
        if (IsAlphaNumeric(t[end])) {
            ++end;
        } else if (t[end] == '.' && !dot && end + 1 < m_length && IsAlphaNumeric(t[end + 1])) {
            dot = true;
            ++end;
        } else {
            break;
        }
    }
    unsigned int bodyEnd = end;
    if (radix == 0 && SuffixRadix(t[end - 1]) != 0 && end - 1 > start && t[end - 2] != '.') {
        radix = SuffixRadix(t[end - 1]);
        bodyEnd = end - 1;
    }
    int digitRadix = radix == 0 ? 10 : radix;
    for (unsigned int i = start; i < bodyEnd; ++i) {
        if (t[i] != '.' && DigitValue(t[i]) >= digitRadix)
            return -1;
    }
    return radix;
}

bool EStreamWideString::ScanDigits(int radix, unsigned int* start, unsigned int* end, bool* negative) const {
    const wchar16* t = m_buffer;
    unsigned int p = m_position;
    while (p < m_length && t[p] <= 0x20)
        ++p;
    *negative = false;
    if (p < m_length && (t[p] == '+' || t[p] == '-')) {
        *negative = t[p] == '-';
        ++p;
    }
    if (radix == 16 && HexPrefixAt(t, p, m_length))
        p += 2;
    unsigned int q = p;
    while (q < m_length && DigitValue(t[q]) < radix)
        ++q;
    *start = p;
    *end = q;
    return q > p;
}

unsigned int EStreamWideString::FinishNumber(int radix, unsigned int end, bool fraction) const {
    const wchar16* t = m_buffer;
    if (fraction && end + 1 < m_length && t[end] == '.' && DigitValue(t[end + 1]) < radix) {
        ++end;
        while (end < m_length && DigitValue(t[end]) < radix)
            ++end;
    }
    // A suffix that names this radix belongs to the number when nothing
    // alphanumeric follows it.
    if (end < m_length && SuffixRadix(t[end]) == radix && (end + 1 >= m_length || !IsAlphaNumeric(t[end + 1])))
        ++end;
    return end;
}

namespace {

int ResolveRadix(EStreamWideString& s, int radix) {
    if (radix < 0)
        return 0;
    if (radix == 0) {
        radix = s.GetNumberRadix();
        if (radix < 0)
            return 0;
        if (radix == 0)
            radix = 10;
    }
    return radix >= 2 && radix <= 36 ? radix : 0;
}

}  // namespace

double EStreamWideString::GetReal(int radix) {
    radix = ResolveRadix(*this, radix);
    unsigned int start, end;
    bool negative;
    if (radix == 0 || !ScanDigits(radix, &start, &end, &negative))
        return 0.0;
    double value = 0.0;
    for (unsigned int i = start; i < end; ++i)
        value = value * radix + DigitValue(m_buffer[i]);
    unsigned int last = FinishNumber(radix, end, true);
    if (end < last && m_buffer[end] == '.') {
        double scale = 1.0;
        for (unsigned int i = end + 1; i < last && DigitValue(m_buffer[i]) < radix; ++i) {
            scale /= radix;
            value += DigitValue(m_buffer[i]) * scale;
        }
    }
    m_position = last;
    return negative ? -value : value;
}

int64_t EStreamWideString::GetInteger64(int radix) {
    radix = ResolveRadix(*this, radix);
    unsigned int start, end;
    bool negative;
    if (radix == 0 || !ScanDigits(radix, &start, &end, &negative))
        return 0;
    const uint64_t limit = negative ? (uint64_t(1) << 63) : (uint64_t(1) << 63) - 1;
    uint64_t value = 0;
    bool clamped = false;
    for (unsigned int i = start; i < end; ++i) {
        unsigned int d = static_cast<unsigned int>(DigitValue(m_buffer[i]));
        if (clamped || value > (limit - d) / static_cast<unsigned int>(radix)) {
            clamped = true;
            continue;
        }
        value = value * static_cast<unsigned int>(radix) + d;
    }
    if (clamped)
        value = limit;
    m_position = FinishNumber(radix, end, false);
    return negative ? static_cast<int64_t>(0 - value) : static_cast<int64_t>(value);
}

int EStreamWideString::GetInteger(int radix) {
    return static_cast<int>(static_cast<uint32_t>(static_cast<uint64_t>(GetInteger64(radix))));
}

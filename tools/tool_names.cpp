#include "tool_names.h"

#include <stdio.h>
#include <string.h>

#if !defined(_WIN32)
#include <errno.h>
#include <iconv.h>
#endif

#if defined(_WIN32)
#include <windows.h>
#endif

namespace ekisatool {

namespace {

bool IsSeparator(char c) {
#if defined(_WIN32)
    return c == '/' || c == '\\';
#else
    return c == '/';
#endif
}

// Shift-JIS (CP932) lead bytes, whatever the system's code page.
bool IsCp932LeadByte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

bool HasDriveLetter(const std::string& path) {
    return path.size() >= 2 && path[1] == ':' &&
           ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
}

enum Charset { kUtf8, kCp932 };

#if defined(_WIN32)
UINT CodePage(Charset c) { return c == kUtf8 ? CP_UTF8 : 932; }

// Through UTF-16 with the code pages named, never the system's; false when
// any byte sequence or character has no counterpart.
bool Convert(Charset to, Charset from, const std::string& in, std::string* out) {
    out->clear();
    if (in.empty()) return true;
    const int wide = MultiByteToWideChar(CodePage(from), MB_ERR_INVALID_CHARS, in.data(), int(in.size()), nullptr, 0);
    if (wide <= 0) return false;
    std::vector<wchar_t> text(static_cast<size_t>(wide));
    MultiByteToWideChar(CodePage(from), MB_ERR_INVALID_CHARS, in.data(), int(in.size()), text.data(), wide);
    // No best-fit substitutes: "é" must not become "e".
    const DWORD flags = to == kUtf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL defaulted = FALSE;
    BOOL* usedDefault = to == kUtf8 ? nullptr : &defaulted;
    const int n = WideCharToMultiByte(CodePage(to), flags, text.data(), wide, nullptr, 0, nullptr, usedDefault);
    if (n <= 0 || defaulted) return false;
    out->assign(size_t(n), '\0');
    WideCharToMultiByte(CodePage(to), flags, text.data(), wide, &(*out)[0], n, nullptr, usedDefault);
    return !defaulted;
}
#else
// Converts with iconv; false when any byte sequence has no counterpart.
bool Convert(Charset toCharset, Charset fromCharset, const std::string& in, std::string* out) {
    const char* to = toCharset == kUtf8 ? "UTF-8" : "CP932";
    const char* from = fromCharset == kUtf8 ? "UTF-8" : "CP932";
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    out->clear();
    std::vector<char> input(in.begin(), in.end());
    char* src = input.data();
    size_t srcLeft = input.size();
    char buffer[256];
    bool ok = true;
    while (srcLeft > 0) {
        char* dst = buffer;
        size_t dstLeft = sizeof(buffer);
        size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        out->append(buffer, sizeof(buffer) - dstLeft);
        if (r == static_cast<size_t>(-1) && errno != E2BIG) {
            ok = false;
            break;
        }
        // Reversible conversions only: a substituted character would not
        // name the same file again.
        if (r != static_cast<size_t>(-1) && r != 0) {
            ok = false;
            break;
        }
    }
    if (ok) {
        char* dst = buffer;
        size_t dstLeft = sizeof(buffer);
        if (iconv(cd, nullptr, nullptr, &dst, &dstLeft) == static_cast<size_t>(-1)) ok = false;
        out->append(buffer, sizeof(buffer) - dstLeft);
    }
    iconv_close(cd);
    return ok;
}
#endif

// Non-CP932 bytes of a stored name, shown as \xNN.
std::string Escaped(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += char(c);
        } else {
            char hex[8];
            snprintf(hex, sizeof(hex), "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t* year, unsigned* month, unsigned* day) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *day = doy - (153 * mp + 2) / 5 + 1;
    *month = mp < 10 ? mp + 3 : mp - 9;
    *year = static_cast<int64_t>(yoe) + era * 400 + (*month <= 2);
}

}  // namespace

bool SplitSourcePath(const std::string& path, std::vector<std::string>* parts, std::string* why) {
    parts->clear();
    if (path.empty()) {
        *why = "empty path";
        return false;
    }
    if (IsSeparator(path[0]) || path[0] == '\\') {
        *why = "absolute paths are not stored";
        return false;
    }
    if (HasDriveLetter(path)) {
        *why = "drive-letter paths are not stored";
        return false;
    }
    // UTF-8: no byte of a multi-byte character is a separator.
    std::string component;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || IsSeparator(path[i])) {
            if (component.empty()) {
                *why = "empty path component";
                return false;
            }
            if (component == "." || component == "..") {
                *why = "\".\" and \"..\" components are not stored";
                return false;
            }
            parts->push_back(component);
            component.clear();
            continue;
        }
        component += path[i];
    }
    for (const std::string& p : *parts) {
        if (!IsSafeComponent(p, why)) return false;
    }
    return true;
}

std::string WindowsNameProblem(const std::string& name) {
    for (char ch : name) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x20) return "a control character";
        if (strchr("<>:\"|?*", c) != nullptr) return std::string("\"") + char(c) + "\"";
    }
    if (name.empty()) return std::string();
    const char last = name[name.size() - 1];
    if (last == '.' || last == ' ') return "a trailing dot or space";
    // A device name with any extension, also with spaces before its dot.
    std::string base = name.substr(0, name.find('.'));
    while (!base.empty() && base[base.size() - 1] == ' ') base.erase(base.size() - 1);
    for (char& c : base) {
        if (c >= 'a' && c <= 'z') c = char(c - 0x20);
    }
    static const char* const kDevices[] = {"CON",  "PRN",  "AUX",  "NUL",  "CONIN$", "CONOUT$", "COM1", "COM2",
                                           "COM3", "COM4", "COM5", "COM6", "COM7",   "COM8",    "COM9", "LPT1",
                                           "LPT2", "LPT3", "LPT4", "LPT5", "LPT6",   "LPT7",    "LPT8", "LPT9"};
    for (const char* device : kDevices) {
        if (base == device) return "the reserved device name " + base;
    }
    return std::string();
}

bool IsSafeComponent(const std::string& name, std::string* why) {
    if (name.empty()) {
        *why = "empty name";
        return false;
    }
    if (name == "." || name == "..") {
        *why = "\".\" and \"..\" are not file names";
        return false;
    }
    for (size_t i = 0; i < name.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c < 0x20 || c == 0x7F) {
            *why = "control character in name";
            return false;
        }
        if (c == '/' || c == '\\' || c == ':') {
            *why = std::string("\"") + char(c) + "\" in name";
            return false;
        }
    }
#if defined(_WIN32)
    const std::string problem = WindowsNameProblem(name);
    if (!problem.empty()) {
        *why = "Windows cannot create this name (" + problem + ")";
        return false;
    }
#endif
    return true;
}

bool StoredNameHasSeparator(const std::string& stored) {
    for (size_t i = 0; i < stored.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(stored[i]);
        if (IsCp932LeadByte(c) && i + 1 < stored.size()) {
            ++i;
            continue;
        }
        if (c == '\\' || c == '/') return true;
    }
    return false;
}

bool ToArchiveName(const std::string& local, std::string* stored, std::string* why) {
    std::string back;
    if (!Convert(kCp932, kUtf8, local, stored) || !Convert(kUtf8, kCp932, *stored, &back) || back != local) {
        *why = "name cannot be stored in Shift-JIS (CP932)";
        return false;
    }
    if (stored->find('\0') != std::string::npos || StoredNameHasSeparator(*stored)) {
        *why = "name would contain a path separator once stored";
        return false;
    }
    return true;
}

bool ToArchiveText(const std::string& local, std::string* stored) { return Convert(kCp932, kUtf8, local, stored); }

bool FromArchiveName(const std::string& stored, std::string* local) {
    if (Convert(kUtf8, kCp932, stored, local)) return true;
    *local = Escaped(stored);
    return false;
}

bool SplitEntryPath(const std::string& name, std::vector<std::string>* stored, std::string* why) {
    stored->clear();
    std::string component;
    for (size_t i = 0; i <= name.size(); ++i) {
        if (i < name.size() && !IsSeparator(name[i])) {
            component += name[i];
            continue;
        }
        // A leading, doubled or trailing separator adds no component, as in
        // the archive's own paths.
        if (component.empty()) continue;
        std::string converted;
        if (!ToArchiveText(component, &converted)) {
            *why = "name cannot be written in Shift-JIS (CP932), so no entry has it";
            return false;
        }
        stored->push_back(converted);
        component.clear();
    }
    if (stored->empty()) {
        *why = "empty name";
        return false;
    }
    return true;
}

bool EntryPathMatches(const std::vector<std::string>& entry, const std::vector<std::string>& wanted, bool below) {
    if (entry.size() < wanted.size() || (!below && entry.size() != wanted.size())) return false;
    for (size_t i = 0; i < wanted.size(); ++i) {
        if (!EKISAEntryList::NamesMatch(entry[i].c_str(), wanted[i].c_str())) return false;
    }
    return true;
}

EKISAFileTime TimeFromUnix(int64_t seconds) {
    int64_t days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
    int64_t rest = seconds - days * 86400;
    int64_t year;
    unsigned month, day;
    CivilFromDays(days, &year, &month, &day);
    EKISAFileTime t;
    t.second = uint8_t(rest % 60);
    t.minute = uint8_t(rest / 60 % 60);
    t.hour = uint8_t(rest / 3600);
    // 1970-01-01 was a Thursday.
    t.dayOfWeek = uint8_t(((days % 7) + 7 + 4) % 7);
    t.day = uint8_t(day);
    t.month = uint8_t(month);
    t.year = year < 0 ? 0 : year > 0xFFFF ? 0xFFFF : uint16_t(year);
    return t;
}

int64_t UnixFromTime(const EKISAFileTime& time) {
    unsigned month = time.month >= 1 && time.month <= 12 ? time.month : 1;
    unsigned day = time.day >= 1 && time.day <= 31 ? time.day : 1;
    return DaysFromCivil(time.year, month, day) * 86400 + int64_t(time.hour) * 3600 + int64_t(time.minute) * 60 +
           time.second;
}

std::string FormatTime(const EKISAFileTime& time) {
    char text[48];
    snprintf(text, sizeof(text), "%04u-%02u-%02u %02u:%02u:%02u", unsigned(time.year), unsigned(time.month),
             unsigned(time.day), unsigned(time.hour), unsigned(time.minute), unsigned(time.second));
    return text;
}

std::string FormatEncodeType(uint32_t encodeType) {
    const char* keyword = ekisaGetEncodeKeyword(encodeType);
    if (keyword != nullptr) return keyword;
    char text[16];
    snprintf(text, sizeof(text), "0x%08X", unsigned(encodeType));
    return text;
}

EpochResult ParseEpoch(const char* text, int64_t* seconds) {
    if (text == nullptr) return kEpochNotANumber;
    const bool negative = *text == '-';
    const char* p = negative ? text + 1 : text;
    if (*p == '\0') return kEpochNotANumber;
    int64_t value = 0;
    bool huge = false;
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return kEpochNotANumber;
        if (value > (int64_t(1) << 50)) huge = true;  // far beyond any year a time stamp holds
        if (!huge) value = value * 10 + (*p - '0');
    }
    if (negative || huge || value > LastEpoch()) return kEpochOutOfRange;
    *seconds = value;
    return kEpochOk;
}

int64_t LastEpoch() {
    EKISAFileTime last = {59, 59, 23, 0, 31, 12, 0xFFFF};
    return UnixFromTime(last);
}

}  // namespace ekisatool

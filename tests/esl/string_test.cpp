#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "esl/file.h"
#include "esl/string.h"

namespace {

std::u16string W(const EWideString& s) { return std::u16string(s.CharPtr(), s.GetLength()); }

TEST(String, ConstructionFromTexts) {
    EString none(static_cast<const char*>(nullptr));
    EXPECT_EQ(none.GetBuffer(), nullptr);
    EXPECT_EQ(none.GetLength(), 0u);
    ASSERT_NE(none.CharPtr(), nullptr);
    EXPECT_STREQ(none.CharPtr(), "");
    EXPECT_STREQ(none.GetFileNamePart(), "");
    EXPECT_EQ(none.GetCapacity(), 16u);  // the path helper gave it a buffer

    EString abc("abc");
    EXPECT_STREQ(abc, "abc");
    EXPECT_EQ(abc.GetCapacity(), 5u);  // 3 + 1 + 1

    EString empty("");
    EXPECT_NE(empty.GetBuffer(), nullptr);
    EXPECT_EQ(empty.GetCapacity(), 1u);

    EString prefix("abcdef", 4);
    EXPECT_STREQ(prefix, "abcd");
    EXPECT_EQ(prefix.GetCapacity(), 7u);
    EXPECT_EQ(EString("abcdef", 0).GetBuffer(), nullptr);
    EXPECT_EQ(EString("", -1).GetBuffer(), nullptr);
    EXPECT_STREQ(EString("abcdef", -1), "abcdef");

    EString copy(prefix);
    EXPECT_STREQ(copy, "abcd");
    EXPECT_EQ(copy.GetCapacity(), prefix.GetCapacity());
    EXPECT_NE(copy.GetBuffer(), prefix.GetBuffer());
    EString never;
    EString copyOfNone(never);
    EXPECT_EQ(copyOfNone.GetCapacity(), 1u);
    EXPECT_STREQ(copyOfNone, "");

    EWideString c(u'X');
    EXPECT_EQ(c.GetLength(), 1u);
    EXPECT_EQ(c.GetCapacity(), 15u);
    EXPECT_EQ(W(c), u"X");
}

TEST(String, AssignmentSemantics) {
    EString s("hello world");
    unsigned int bigCapacity = s.GetCapacity();

    s = s;  // itself: nothing
    EXPECT_STREQ(s, "hello world");
    s = s.GetBuffer();  // its own buffer: nothing
    EXPECT_STREQ(s, "hello world");
    EXPECT_EQ(s.GetCapacity(), bigCapacity);

    EString empty;
    s = empty;  // keeps the buffer and its capacity, stores an empty text
    EXPECT_EQ(s.GetLength(), 0u);
    EXPECT_EQ(s.GetCapacity(), bigCapacity);
    EXPECT_STREQ(s, "");

    s = "ab";  // sized by the growth rule, whatever it held before
    EXPECT_EQ(s.GetCapacity(), 4u);
    EXPECT_STREQ(s, "ab");

    EString wide("0123456789");
    s = wide;  // takes the source's capacity
    EXPECT_EQ(s.GetCapacity(), wide.GetCapacity());
    EXPECT_STREQ(s, "0123456789");

    s = s.GetBuffer() + 4;  // a text inside its own buffer
    EXPECT_STREQ(s, "456789");
    EXPECT_EQ(s.GetCapacity(), 10u);

    s = static_cast<const char*>(nullptr);
    EXPECT_EQ(s.GetLength(), 0u);
    EXPECT_EQ(s.GetCapacity(), 1u);
    EString never;
    never = static_cast<const char*>(nullptr);  // already empty: stays without a buffer
    EXPECT_EQ(never.GetBuffer(), nullptr);
}

TEST(String, AppendGrowthAndConcatenation) {
    EString s("abc");  // capacity 5
    s += "d";
    EXPECT_EQ(s.GetCapacity(), 5u);  // 4 < 5: no growth
    s += "e";
    EXPECT_EQ(s.GetCapacity(), 8u);  // 5 reaches the capacity: 5 + 2 + 1
    EXPECT_STREQ(s, "abcde");
    s += static_cast<const char*>(nullptr);
    EXPECT_STREQ(s, "abcde");

    s += s;  // appending itself while the buffer moves
    EXPECT_STREQ(s, "abcdeabcde");
    s += s.GetBuffer() + 8;
    EXPECT_STREQ(s, "abcdeabcdede");

    EString none;
    none += "";
    EXPECT_NE(none.GetBuffer(), nullptr);
    EXPECT_EQ(none.GetCapacity(), 1u);

    EString a("C:\\Games\\");
    EXPECT_STREQ(a + "x.exe", "C:\\Games\\x.exe");
    EXPECT_STREQ("D:" + EString("\\y"), "D:\\y");
    EXPECT_STREQ(a + a, "C:\\Games\\C:\\Games\\");
    EXPECT_STREQ(static_cast<const char*>(nullptr) + EString("z"), "z");
    EXPECT_STREQ(a, "C:\\Games\\");  // operands untouched

    EWideString w(u"ab");
    w += u"cd";
    w += w;
    EXPECT_EQ(W(w), u"abcdabcd");
}

TEST(String, HexadecimalText) {
    EXPECT_STREQ(EString(0x1Fu, 0), "1F");
    EXPECT_STREQ(EString(0x1Fu, 4), "001F");
    EXPECT_STREQ(EString(0u, 0), "0");
    EXPECT_STREQ(EString(0x10u, 0), "10");
    EXPECT_STREQ(EString(0xFFFFFFFFu, 0), "FFFFFFFF");
    EXPECT_STREQ(EString(0xABCDEF12u, 4), "EF12");  // only the low digits
    EXPECT_STREQ(EString(0x5u, -3), "5");
    EString padded(0xABu, 20);
    EXPECT_STREQ(padded, "000000000000000000AB");
    EXPECT_EQ(padded.GetCapacity(), 21u);
    EXPECT_EQ(EString(1u, 2).GetCapacity(), 16u);
}

TEST(String, PathsSkipTrailBytesOfDoubleByteCharacters) {
    EString path("C:\\Games\\x.exe");
    EXPECT_STREQ(path.GetDirectoryPart(), "C:\\Games\\");
    EXPECT_STREQ(path.GetFileNamePart(), "x.exe");
    EXPECT_EQ(EString("x.exe").GetDirectoryPart().GetBuffer(), nullptr);
    EXPECT_STREQ(EString("a\\b/c").GetDirectoryPart(), "a\\b/");
    EXPECT_STREQ(EString("a/b\\").GetFileNamePart(), "");

    // "\x83\x5C" is ソ in Shift-JIS: its trail byte is a backslash.
    EString sjis("C:\\\x83\x5C" "\x83\x74\x83\x67\\dir\x83\x5C");
    EXPECT_STREQ(sjis.GetDirectoryPart(), "C:\\\x83\x5C" "\x83\x74\x83\x67\\");
    EXPECT_STREQ(sjis.GetFileNamePart(), "dir\x83\x5C");
    EString onlySjis("\x83\x5C\x83\x5C");
    EXPECT_EQ(onlySjis.GetDirectoryPart().GetBuffer(), nullptr);
    EXPECT_STREQ(onlySjis.GetFileNamePart(), "\x83\x5C\x83\x5C");

    EXPECT_EQ(sjis.Find('\\'), 2);
    EXPECT_EQ(sjis.Find('\\', 3), 9);  // not the trail byte at 4
    EXPECT_EQ(sjis.Find('\\', 4), 9);  // a start on the trail byte finds no phantom
    EXPECT_EQ(sjis.Find('\\', 10), -1);
    EXPECT_EQ(sjis.Find('d', 100), -1);

    // A lone lead byte at the very end must not run past the terminator.
    EString truncated("ab\\c\x83");
    EXPECT_STREQ(truncated.GetFileNamePart(), "c\x83");
}

TEST(String, Mid) {
    EString s("hello");
    EXPECT_STREQ(s.Mid(1, 3), "ell");
    EXPECT_EQ(s.Mid(1, 3).GetCapacity(), 5u);
    EXPECT_STREQ(s.Mid(3), "lo");
    EXPECT_STREQ(s.Mid(1, 100), "ello");
    EXPECT_EQ(s.Mid(5).GetBuffer(), nullptr);
    EXPECT_EQ(EString().Mid(0).GetBuffer(), nullptr);
    EWideString w(u"wide text");
    EXPECT_EQ(W(w.Mid(5)), u"text");
    EXPECT_EQ(w.Find(u't'), 5);
    EXPECT_EQ(w.Find(u't', 6), 8);
    EXPECT_EQ(w.Find(u'w', 9), -1);
}

TEST(String, CodePageConversionsRoundTrip) {
    // Narrow literals are compiled as Shift-JIS.
    const char* narrow = "ミルトア修正パッチ: ソフト\\表示.txt";
    const char16_t* wide = u"ミルトア修正パッチ: ソフト\\表示.txt";

    EWideString w(narrow, -1);
    EXPECT_EQ(W(w), wide);
    EXPECT_EQ(w.GetCapacity(), w.GetLength() + w.GetLength() / 2 + 1);

    EString back(w.CharPtr(), -1);
    EXPECT_STREQ(back, narrow);
    EXPECT_EQ(back.GetLength(), strlen(narrow));

    EString counted(wide, 4);  // four characters, no terminator counted
    EXPECT_STREQ(counted, "ミルトア");
    EXPECT_EQ(counted.GetLength(), 8u);

    EWideString w4(narrow, 8);
    EXPECT_EQ(W(w4), u"ミルトア");

    EString assigned;
    assigned = wide;
    EXPECT_STREQ(assigned, narrow);
    unsigned int m = static_cast<unsigned int>(strlen(narrow)) + 1;
    EXPECT_EQ(assigned.GetCapacity(), m + (m - 1) / 2);
    EWideString wassigned;
    wassigned = narrow;
    EXPECT_EQ(W(wassigned), wide);

    EString fromNull(static_cast<const wchar16*>(nullptr), -1);
    EXPECT_EQ(fromNull.GetCapacity(), 1u);
    EXPECT_STREQ(fromNull, "");
    EWideString wfromNull(static_cast<const char*>(nullptr), -1);
    EXPECT_EQ(wfromNull.GetCapacity(), 1u);
    assigned = static_cast<const wchar16*>(nullptr);
    EXPECT_EQ(assigned.GetLength(), 0u);
    EXPECT_EQ(assigned.GetCapacity(), 1u);
}

// The uninstall command line is parsed as the installer does: an optional
// opening quote, then the quoted text or the first word; the directory of
// that path is the install folder.
EString InstallFolderOf(const char* value) {
    EStreamWideString stream(value);
    static const wchar16 kQuote[] = {u'"', 0};
    EWideString path = stream.TakeIfOneOf(kQuote) ? stream.GetStringUntil(u'"') : stream.GetWord();
    EString narrow(path.CharPtr(), -1);
    return narrow.GetDirectoryPart();
}

TEST(StreamString, UninstallCommandLines) {
    EXPECT_STREQ(InstallFolderOf("\"C:\\Program Files\\Game\\uninst.exe\" /x"), "C:\\Program Files\\Game\\");
    EXPECT_STREQ(InstallFolderOf("C:\\Program Files\\Game\\uninst.exe /x"), "C:\\");
    EXPECT_STREQ(InstallFolderOf("   \t\"D:\\a b\\u.exe\""), "D:\\a b\\");
    EXPECT_STREQ(InstallFolderOf("\"E:\\no close\\quote\\u.exe"), "E:\\no close\\quote\\");
    EXPECT_STREQ(InstallFolderOf("\"C:\\ゲーム\\ソフト\\uninst.exe\" /x"), "C:\\ゲーム\\ソフト\\");
    EXPECT_STREQ(InstallFolderOf("C:/mixed\\sep/u.exe"), "C:/mixed\\sep/");
    EXPECT_EQ(InstallFolderOf("   \t  ").GetLength(), 0u);
    EXPECT_EQ(InstallFolderOf("").GetLength(), 0u);
    EXPECT_EQ(InstallFolderOf("uninst.exe").GetLength(), 0u);

    EStreamWideString spaces("    ");
    EXPECT_EQ(spaces.GetWord().GetLength(), 0u);
    EXPECT_EQ(spaces.GetPosition(), 4u);
    EXPECT_TRUE(spaces.IsEnd());

    EStreamWideString noQuote("   x");
    static const wchar16 kQuote[] = {u'"', 0};
    EXPECT_EQ(noQuote.TakeIfOneOf(kQuote), 0);
    EXPECT_EQ(noQuote.GetPosition(), 3u);  // white space skipped anyway
    EXPECT_EQ(noQuote.GetStringUntil(u'"').GetLength(), 1u);
}

TEST(StreamString, TokensAndClasses) {
    EStreamWideString s(EWideString(u"  abc+=(x_1) \"q\" テスト,@? <= [a]"));
    const struct {
        const char16_t* text;
        int cls;
    } expected[] = {
        {u"abc", 0}, {u"+=", 1}, {u"(", 2}, {u"x_1", 0}, {u")", 2}, {u"\"", 2}, {u"q", 0},
        {u"\"", 2}, {u"テスト", 0}, {u",", 2}, {u"@?", 0}, {u"<", 2}, {u"=", 1}, {u"[", 2},
        {u"a", 0}, {u"]", 2},
    };
    for (const auto& e : expected) {
        int cls = 99;
        EWideString token = s.GetToken(&cls);
        EXPECT_EQ(W(token), e.text);
        EXPECT_EQ(cls, e.cls);
    }
    int cls = 99;
    EXPECT_EQ(s.GetToken(&cls).GetLength(), 0u);
    EXPECT_EQ(cls, -1);
    EXPECT_EQ(s.GetToken(nullptr).GetLength(), 0u);

    // At the end GetTokenClass consumes nothing and reports an operator.
    s.GetTokenClass(&cls);
    EXPECT_EQ(cls, 1);
    EXPECT_EQ(s.GetPosition(), s.GetLength());
}

TEST(StreamString, LinesAndSkipping) {
    EStreamWideString s(EWideString(u"one\r\ntwo\n\rthree\n\nfour"));
    EXPECT_FALSE(s.SkipLine());
    EXPECT_EQ(W(s.GetWord()), u"two");
    EXPECT_FALSE(s.SkipLine());  // LF CR is one break
    EXPECT_EQ(s.GetPosition(), 10u);
    EXPECT_FALSE(s.SkipLine());
    EXPECT_FALSE(s.SkipLine());  // the empty line
    EXPECT_EQ(W(s.GetStringUntil(u'#')), u"four");
    EXPECT_TRUE(s.SkipLine());

    EStreamWideString t(EWideString(u"key = value"));
    t.SkipToSpace();
    EXPECT_EQ(t.GetPosition(), 3u);
    t.SkipTo(u'v');
    EXPECT_EQ(t.GetPosition(), 6u);
    t.SkipTo(u'#');
    EXPECT_TRUE(t.IsEnd());

    EXPECT_EQ(t.ClearStream(), eslResultSuccess);
    EXPECT_EQ(t.GetLength(), 1u);
    EXPECT_EQ(t.GetCapacity(), 15u);
    EXPECT_EQ(t.GetPosition(), 0u);
    EXPECT_EQ(t.GetAt(0), 0);
}

// A file that promises more than it delivers.
class ShortFile : public EMemoryFile {
public:
    uint32_t GetLength() override { return EMemoryFile::GetLength() + 10; }
};

TEST(StreamString, ReadingTextFiles) {
    static const unsigned char kWide[] = {0xFF, 0xFE, 'h', 0, 'i', 0, 0x41, 0x30};  // "hiぁ"
    EMemoryFile wideFile;
    ASSERT_EQ(wideFile.Open(const_cast<unsigned char*>(kWide), sizeof kWide), eslResultSuccess);
    EStreamWideString s;
    EXPECT_EQ(s.ReadTextFile(wideFile), eslResultSuccess);
    EXPECT_EQ(W(s), u"hiぁ");
    EXPECT_EQ(s.GetPosition(), 0u);

    const char* ansi = "xyz ミルトア";
    EMemoryFile ansiFile;
    ASSERT_EQ(ansiFile.Create(0), eslResultSuccess);
    ansiFile.Write("###", 3);
    ansiFile.Write(ansi, static_cast<uint32_t>(strlen(ansi)));
    ansiFile.Seek(3, ESLFileObject::FromBegin);  // loading starts at the file's position
    s.SetPosition(5);
    EXPECT_EQ(s.ReadTextFile(ansiFile), eslResultSuccess);
    EXPECT_EQ(W(s), u"xyz ミルトア");
    EXPECT_EQ(s.GetPosition(), 0u);

    // UTF-16 without the mark is taken as ANSI text (and stops at its first zero byte).
    static const unsigned char kUnmarked[] = {'h', 0, 'i', 0};
    EMemoryFile unmarked;
    unmarked.Open(const_cast<unsigned char*>(kUnmarked), sizeof kUnmarked);
    EXPECT_EQ(s.ReadTextFile(unmarked), eslResultSuccess);
    EXPECT_EQ(W(s), u"h");

    ShortFile shortFile;
    shortFile.Create(0);
    shortFile.Write(kWide, sizeof kWide);
    shortFile.Seek(2, ESLFileObject::FromBegin);
    EXPECT_EQ(s.ReadWideFile(shortFile), eslResultGeneral);
    EXPECT_EQ(W(s), u"hiぁ");  // only what arrived, still terminated
    shortFile.Seek(0, ESLFileObject::FromBegin);
    EXPECT_EQ(s.ReadMultiByteFile(shortFile), eslResultGeneral);
}

TEST(StreamNumbers, RadixValueAndWhereReadingStops) {
    const int64_t kMax = INT64_MAX, kMin = INT64_MIN;
    struct Case {
        const char16_t* text;
        int radix;         // GetNumberRadix
        int64_t integer;   // GetInteger64(0)
        unsigned stop;     // position after it
        double real;       // GetReal(0) from the start
    } cases[] = {
        {u"  42 x", 0, 42, 4, 42.0},
        {u"-17", 0, -17, 3, -17.0},
        {u"+5", 0, 5, 2, 5.0},
        {u"0FFh,", 16, 255, 4, 255.0},
        {u"101B", 2, 5, 4, 5.0},
        {u"17o", 8, 15, 3, 15.0},
        {u"99T", 10, 99, 3, 99.0},
        {u"0x1F", 16, 31, 4, 31.0},
        {u"0x1B", 16, 27, 4, 27.0},    // a B after a prefix is a digit
        {u"12.5;", 0, 12, 2, 12.5},    // integers stop before the fraction
        {u"1.8h", 16, 1, 1, 1.5},
        {u"9223372036854775807", 0, kMax, 19, 9223372036854775807.0},
        {u"9223372036854775808", 0, kMax, 19, 9223372036854775808.0},
        {u"-9223372036854775808", 0, kMin, 20, -9223372036854775808.0},
        {u"99999999999999999999 ", 0, kMax, 20, 1e20},
        // No number: nothing is read and nothing consumed.
        {u"ffh", -1, 0, 0, 0.0},
        {u"12abc", -1, 0, 0, 0.0},
        {u"-", -1, 0, 0, 0.0},
        {u"   ", -1, 0, 0, 0.0},
        {u"", -1, 0, 0, 0.0},
    };
    for (const Case& c : cases) {
        EStreamWideString s{EWideString(c.text)};
        EXPECT_EQ(s.GetNumberRadix(), c.radix) << "case " << (&c - cases);
        EXPECT_EQ(s.GetPosition(), 0u);
        EXPECT_EQ(s.GetInteger64(0), c.integer) << "case " << (&c - cases);
        EXPECT_EQ(s.GetPosition(), c.stop) << "case " << (&c - cases);
        s.SetPosition(0);
        EXPECT_DOUBLE_EQ(s.GetReal(0), c.real) << "case " << (&c - cases);
    }
}

TEST(StreamNumbers, GivenRadixAndLowBits) {
    EStreamWideString s{EWideString(u"ff 777 zz 4294967297 -1")};
    EXPECT_EQ(s.GetInteger(16), 255);
    EXPECT_EQ(s.GetInteger(8), 511);
    EXPECT_EQ(s.GetInteger(36), 35 * 36 + 35);
    EXPECT_EQ(s.GetInteger(0), 1);  // the low 32 bits of 2^32 + 1
    unsigned at = s.GetPosition();
    EXPECT_EQ(s.GetInteger(-1), 0);  // negative radix: nothing read
    EXPECT_EQ(s.GetReal(37), 0.0);   // no such radix
    EXPECT_EQ(s.GetPosition(), at);
    EXPECT_EQ(s.GetInteger(10), -1);
}

}  // namespace

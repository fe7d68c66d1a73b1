// The ekisa tool's checks on paths and names, its character-set conversion
// and its time stamps.
#include <gtest/gtest.h>

#include "tool_names.h"

using namespace ekisatool;

namespace {

TEST(ToolNamesTest, SourcePathsAreSplitAndUnsafeOnesRefused) {
    std::vector<std::string> parts;
    std::string why;
    ASSERT_TRUE(SplitSourcePath("a/b/c.txt", &parts, &why));
    EXPECT_EQ((std::vector<std::string>{"a", "b", "c.txt"}), parts);
    ASSERT_TRUE(SplitSourcePath("only", &parts, &why));
    EXPECT_EQ(1u, parts.size());

    const char* refused[] = {"",        "/etc/passwd", "../x",  "a/../b", "a/./b", "./a", "a//b",
                             "a/",      "C:x",         "c:/x",  "..",     ".",     "a/b:c",
                             "\\share", "a/\x01"};
    for (const char* path : refused) {
        why.clear();
        EXPECT_FALSE(SplitSourcePath(path, &parts, &why)) << path;
        EXPECT_FALSE(why.empty()) << path;
    }
}

TEST(ToolNamesTest, ComponentsFromArchivesMustStayInTheirFolder) {
    std::string why;
    EXPECT_TRUE(IsSafeComponent("file.txt", &why));
    EXPECT_TRUE(IsSafeComponent("名前.txt", &why));
    for (const char* name : {"", ".", "..", "a/b", "a\\b", "c:", "tab\there"}) {
        EXPECT_FALSE(IsSafeComponent(name, &why)) << name;
    }
}

// The same on Windows: code page 932 is named, whatever the system's is.
TEST(ToolNamesTest, NamesAreStoredAsShiftJis) {
    // Narrow literals are compiled to CP932, so build the UTF-8 form by bytes.
    const std::string utf8 = "\xE6\x97\xA5\xE6\x9C\xAC.txt";  // 日本.txt
    std::string stored, why, back;
    ASSERT_TRUE(ToArchiveName(utf8, &stored, &why)) << why;
    EXPECT_EQ(std::string("日本.txt"), stored);
    ASSERT_TRUE(FromArchiveName(stored, &back));
    EXPECT_EQ(utf8, back);

    // 表 has 0x5C as its second byte in CP932: it is not a separator.
    const std::string table = "\xE8\xA1\xA8";
    ASSERT_TRUE(ToArchiveName(table, &stored, &why)) << why;
    EXPECT_EQ(std::string("\x95\x5C"), stored);
    EXPECT_FALSE(StoredNameHasSeparator(stored));
    EXPECT_TRUE(StoredNameHasSeparator("a\\b"));

    // Characters without a CP932 form, and ones that would become a
    // backslash once stored, are refused.
    EXPECT_FALSE(ToArchiveName("\xF0\x9F\x98\x80", &stored, &why));  // emoji
    EXPECT_FALSE(ToArchiveName("a\\b", &stored, &why));

    // Bytes that are not CP932 are shown escaped.
    std::string shown;
    EXPECT_FALSE(FromArchiveName("\x81", &shown));
    EXPECT_EQ("\\x81", shown);
}

// What Windows refuses to create, in names the Linux tool stores with a
// warning (and the Windows tool refuses).
TEST(ToolNamesTest, NamesWindowsCannotCreate) {
    const struct {
        const char* name;
        const char* problem;  // "" when Windows creates it
    } cases[] = {{"quorvel.exe", ""},     {"NULL.txt", ""},          {"nul.txt", "the reserved device name NUL"},
                 {"COM1", "the reserved device name COM1"},           {"lpt9.log.txt", "the reserved device name LPT9"},
                 {"con .txt", "the reserved device name CON"},        {"q?", "\"?\""},
                 {"a<b", "\"<\""},  {"x|y", "\"|\""},                {"trail.", "a trailing dot or space"},
                 {"trail ", "a trailing dot or space"},               {"日本語.txt", ""}};
    for (const auto& c : cases) EXPECT_EQ(c.problem, WindowsNameProblem(c.name)) << c.name;
}

// cat and extract select entries by the archive's rule, one component at a
// time: ASCII letters in either case, every other byte exactly.
TEST(ToolNamesTest, EntryPathsMatchAsTheArchiveMatchesNames) {
    const struct {
        const char* wanted;
        bool below;   // also the entries inside it
        bool matches;
    } cases[] = {{"sub/a.txt", false, true},  {"SUB/A.TXT", false, true},  {"/sub//a.txt/", false, true},
                 {"sub", false, false},       {"sub", true, true},         {"Sub", true, true},
                 {"sub/a.txt/more", true, false}, {"sub/a.tx", false, false}, {"su/a.txt", true, false},
                 {"\xEF\xBD\x93ub/a.txt", false, false}};  // a full-width s
    const std::vector<std::string> entry = {"sub", "a.txt"};
    for (const auto& c : cases) {
        std::vector<std::string> wanted;
        std::string why;
        ASSERT_TRUE(SplitEntryPath(c.wanted, &wanted, &why)) << c.wanted;
        EXPECT_EQ(c.matches, EntryPathMatches(entry, wanted, c.below)) << c.wanted;
    }
    std::vector<std::string> none;
    std::string why;
    EXPECT_FALSE(SplitEntryPath("//", &none, &why));
}

TEST(ToolNamesTest, TimeStampsAreUtcCalendarDates) {
    EKISAFileTime t = TimeFromUnix(1100182247);
    EXPECT_EQ(2004, t.year);
    EXPECT_EQ(11, t.month);
    EXPECT_EQ(11, t.day);
    EXPECT_EQ(14, t.hour);
    EXPECT_EQ(10, t.minute);
    EXPECT_EQ(47, t.second);
    EXPECT_EQ(4, t.dayOfWeek);
    EXPECT_EQ("2004-11-11 14:10:47", FormatTime(t));
    EXPECT_EQ(1100182247, UnixFromTime(t));

    t = TimeFromUnix(951782400);
    EXPECT_EQ("2000-02-29 00:00:00", FormatTime(t));
    EXPECT_EQ(2, t.dayOfWeek);  // a Tuesday
    t = TimeFromUnix(-1);
    EXPECT_EQ("1969-12-31 23:59:59", FormatTime(t));
    EXPECT_EQ(3, t.dayOfWeek);

    int64_t s = 0;
    EXPECT_EQ(kEpochOk, ParseEpoch("1700000000", &s));
    EXPECT_EQ(1700000000, s);
    EXPECT_EQ(kEpochNotANumber, ParseEpoch("17e8", &s));
    EXPECT_EQ(kEpochNotANumber, ParseEpoch("", &s));
    EXPECT_EQ(kEpochNotANumber, ParseEpoch("-", &s));
    EXPECT_EQ(kEpochOutOfRange, ParseEpoch("-5", &s));
    EXPECT_EQ(kEpochOutOfRange, ParseEpoch("99999999999999999999999", &s));
    // The last second a time stamp holds, and the one after it.
    const std::string last = std::to_string(LastEpoch());
    EXPECT_EQ(kEpochOk, ParseEpoch(last.c_str(), &s));
    EXPECT_EQ("65535-12-31 23:59:59", FormatTime(TimeFromUnix(s)));
    EXPECT_EQ(kEpochOutOfRange, ParseEpoch(std::to_string(LastEpoch() + 1).c_str(), &s));
}

}  // namespace

// The install folder taken from the uninstall command line.
#include <gtest/gtest.h>

#include <string.h>

#include "app/install.h"

namespace {

// The files that "exist" for one case: names separated by '|'.
const char* g_existing = "";

bool NamesFakeFile(const char* path) {
    const size_t n = strlen(path);
    for (const char* p = g_existing; *p != 0;) {
        const char* end = strchr(p, '|');
        const size_t length = end != nullptr ? static_cast<size_t>(end - p) : strlen(p);
        if (length == n && memcmp(p, path, n) == 0)
            return true;
        p += length + (end != nullptr ? 1 : 0);
    }
    return false;
}

struct Case {
    const char* command;
    const char* existing;
    const char* folder;
};

const Case kCases[] = {
    // Quoted paths keep their spaces and drop the arguments; blanks before
    // the quote are skipped; a quote without end runs to the end.
    {"\"C:\\Program Files\\Game\\uninst.exe\" /x", "", "C:\\Program Files\\Game\\"},
    {"  \t\"C:\\A B\\uninst.exe\"", "", "C:\\A B\\"},
    {"\"C:\\Game Folder\\uninst.exe", "", "C:\\Game Folder\\"},
    // Unquoted paths end at the first blank when no longer prefix names a file.
    {"C:\\Program Files\\Game\\uninst.exe /x", "", "C:\\"},
    {"C:\\Games\\Miltoa\\uninst.exe\t-y", "", "C:\\Games\\Miltoa\\"},
    // ... and otherwise at the shortest prefix that names one, as Windows
    // starts such a command (".exe" added to a name without extension).
    {"C:\\My Games\\Miltoa Game\\uninst.exe /x", "C:\\My Games\\Miltoa Game\\uninst.exe", "C:\\My Games\\Miltoa Game\\"},
    {"C:\\My Games\\uninst.exe", "C:\\My Games\\uninst.exe", "C:\\My Games\\"},
    {"C:\\My Games\\Miltoa Game\\uninst /x", "C:\\My Games\\Miltoa Game\\uninst.exe", "C:\\My Games\\Miltoa Game\\"},
    {"C:\\A B\\u.exe C\\v.exe", "C:\\A B\\u.exe C\\v.exe|C:\\A B\\u.exe", "C:\\A B\\"},
    {"C:\\A  B\\u.exe  /x", "C:\\A  B\\u.exe", "C:\\A  B\\"},
    // The first word names a file, or the path is quoted, or has no blank:
    // read as it stands.
    {"C:\\My Games\\Miltoa Game\\uninst.exe /x", "C:\\My|C:\\My Games\\Miltoa Game\\uninst.exe", "C:\\"},
    {"C:\\My Games\\Miltoa Game\\uninst.exe /x", "C:\\My.exe|C:\\My Games\\Miltoa Game\\uninst.exe", "C:\\"},
    {"\"C:\\My\" Games\\Miltoa Game\\uninst.exe", "C:\\My Games\\Miltoa Game\\uninst.exe", "C:\\"},
    {"C:\\Games\\uninst.exe", "", "C:\\Games\\"},
    // Paths without a separator give the current directory.
    {"   ", "", ""},
    {"uninst.exe /x", "", ""},
    {"\"\"", "", ""},
    // Either separator counts, and the last one stays.
    {"C:/Games/Miltoa/uninst.exe", "", "C:/Games/Miltoa/"},
    {"C:\\Games/Miltoa\\uninst.exe", "", "C:\\Games/Miltoa\\"},
    {"C:\\Games\\Miltoa/uninst.exe", "", "C:\\Games\\Miltoa/"},
    // "ソ" and "表" end in the byte 0x5C in Shift-JIS: no separator.
    {"\"D:\\ゲーム\\ソ\"", "", "D:\\ゲーム\\"},
    {"D:\\ソフト表\\表", "", "D:\\ソフト表\\"},
    {"D:\\ソフト 表\\uninst.exe /x", "D:\\ソフト 表\\uninst.exe", "D:\\ソフト 表\\"},
};

TEST(InstallFolderTest, FolderOfTheUninstallCommand) {
    ASSERT_EQ(std::string("ソ"), std::string("\x83\x5C"));
    for (const Case& c : kCases) {
        g_existing = c.existing;
        EString folder = InstallFolderFromCommand(EString(c.command), NamesFakeFile);
        EXPECT_EQ(std::string(folder.CharPtr(), folder.GetLength()), c.folder)
            << "command " << c.command << ", existing " << c.existing;
    }
}

}  // namespace

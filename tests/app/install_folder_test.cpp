// The install folder taken from the uninstall command line.
#include <gtest/gtest.h>

#include "app/install.h"

namespace {

std::string Folder(const char* command) {
    EString value(command);
    EString folder = InstallFolderFromCommand(value);
    return std::string(folder.CharPtr(), folder.GetLength());
}

TEST(InstallFolderTest, QuotedPathKeepsSpacesAndDropsArguments) {
    EXPECT_EQ(Folder("\"C:\\Program Files\\Game\\uninst.exe\" /x"), "C:\\Program Files\\Game\\");
}

TEST(InstallFolderTest, UnquotedPathEndsAtFirstBlank) {
    EXPECT_EQ(Folder("C:\\Program Files\\Game\\uninst.exe /x"), "C:\\");
    EXPECT_EQ(Folder("C:\\Games\\Miltoa\\uninst.exe\t-y"), "C:\\Games\\Miltoa\\");
}

TEST(InstallFolderTest, BlanksBeforeTheQuoteAreSkipped) {
    EXPECT_EQ(Folder("  \t\"C:\\A B\\uninst.exe\""), "C:\\A B\\");
}

TEST(InstallFolderTest, QuoteWithoutEndRunsToTheEnd) {
    EXPECT_EQ(Folder("\"C:\\Game Folder\\uninst.exe"), "C:\\Game Folder\\");
}

TEST(InstallFolderTest, PathsWithoutSeparatorGiveTheCurrentDirectory) {
    EXPECT_EQ(Folder("   "), "");
    EXPECT_EQ(Folder("uninst.exe /x"), "");
    EXPECT_EQ(Folder("\"\""), "");
}

TEST(InstallFolderTest, EitherSeparatorCountsAndTheLastOneStays) {
    EXPECT_EQ(Folder("C:/Games/Miltoa/uninst.exe"), "C:/Games/Miltoa/");
    EXPECT_EQ(Folder("C:\\Games/Miltoa\\uninst.exe"), "C:\\Games/Miltoa\\");
    EXPECT_EQ(Folder("C:\\Games\\Miltoa/uninst.exe"), "C:\\Games\\Miltoa/");
}

TEST(InstallFolderTest, ShiftJisTrailByte5CIsNoSeparator) {
    // "ソ" and "表" are 0x83 0x5C and 0x95 0x5C.
    ASSERT_EQ(std::string("ソ"), std::string("\x83\x5C"));
    EXPECT_EQ(Folder("\"D:\\ゲーム\\ソ\""), "D:\\ゲーム\\");
    EXPECT_EQ(Folder("D:\\ソフト表\\表"), "D:\\ソフト表\\");
}

}  // namespace

// ERegistryKey over a scratch key of the current user.
#include <gtest/gtest.h>

#include <string>

#include "app/registry_key.h"

namespace {

const char kTestKey[] = "Software\\MiltoaPatchTests";

class RegistryKeyTest : public ::testing::Test {
protected:
    void SetUp() override {
        RegDeleteTreeA(HKEY_CURRENT_USER, kTestKey);
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kTestKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &m_key, nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override {
        RegCloseKey(m_key);
        RegDeleteTreeA(HKEY_CURRENT_USER, kTestKey);
    }
    void SetRaw(const char* name, DWORD type, const void* data, DWORD size) {
        ASSERT_EQ(RegSetValueExA(m_key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    }
    void SetText(const char* name, const std::string& text) {
        SetRaw(name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
    }
    static std::string Read(ERegistryKey& key, const char* name, const char* defaultValue) {
        EString s = key.ReadString(name, defaultValue);
        return std::string(s.CharPtr(), s.GetLength());
    }

    HKEY m_key = nullptr;
};

TEST_F(RegistryKeyTest, OpenReportsMissingKeyAndCloseWithoutKeyIsHarmless) {
    ERegistryKey key;
    EXPECT_EQ(key.Open(HKEY_CURRENT_USER, "Software\\MiltoaPatchTests\\NoSuchKey", KEY_READ), eslResultGeneral);
    EXPECT_FALSE(key.IsOpen());
    EXPECT_EQ(key.Close(), ERROR_SUCCESS);
    EXPECT_EQ(key.Open(HKEY_CURRENT_USER, kTestKey, KEY_READ), eslResultSuccess);
    EXPECT_TRUE(key.IsOpen());
    EXPECT_EQ(key.Close(), ERROR_SUCCESS);
    EXPECT_FALSE(key.IsOpen());
}

TEST_F(RegistryKeyTest, ReadsTextValuesOfAnyLengthAndLanguage) {
    SetText("Short", "x");
    SetText("Empty", "");
    SetText("Japanese", "\"D:\\ゲーム\\表\\uninst.exe\" /x");
    SetText("Long", std::string(3000, 'L'));
    ERegistryKey key;
    ASSERT_EQ(key.Open(HKEY_CURRENT_USER, kTestKey, KEY_READ), eslResultSuccess);
    EXPECT_EQ(Read(key, "Short", nullptr), "x");
    EXPECT_EQ(Read(key, "Empty", "default"), "");
    EXPECT_EQ(Read(key, "Japanese", nullptr), "\"D:\\ゲーム\\表\\uninst.exe\" /x");
    EXPECT_EQ(Read(key, "Long", nullptr), std::string(3000, 'L'));
}

TEST_F(RegistryKeyTest, MissingValueGivesTheDefaultOrAStringWithoutBuffer) {
    SetText("Other", "value");
    ERegistryKey key;
    ASSERT_EQ(key.Open(HKEY_CURRENT_USER, kTestKey, KEY_READ), eslResultSuccess);
    EXPECT_EQ(Read(key, "Missing", "fallback"), "fallback");
    EString none = key.ReadString("Missing", nullptr);
    EXPECT_EQ(none.GetLength(), 0u);
    EXPECT_EQ(none.GetBuffer(), nullptr);
}

TEST_F(RegistryKeyTest, ClosedKeyGivesTheDefault) {
    ERegistryKey key;
    EXPECT_EQ(Read(key, "UninstallString", "fallback"), "fallback");
}

TEST_F(RegistryKeyTest, DataWithoutTerminatorEndsAtItsSize) {
    const char text[] = "C:\\Game\\uninst.exe";
    SetRaw("Raw", REG_BINARY, text, static_cast<DWORD>(sizeof text - 1));
    ERegistryKey key;
    ASSERT_EQ(key.Open(HKEY_CURRENT_USER, kTestKey, KEY_READ), eslResultSuccess);
    EXPECT_EQ(Read(key, "Raw", nullptr), "C:\\Game\\uninst.exe");
}

TEST_F(RegistryKeyTest, ExpandableTextIsNotExpanded) {
    const char text[] = "%WINDIR%\\uninst.exe";
    SetRaw("Expand", REG_EXPAND_SZ, text, static_cast<DWORD>(sizeof text));
    ERegistryKey key;
    ASSERT_EQ(key.Open(HKEY_CURRENT_USER, kTestKey, KEY_READ), eslResultSuccess);
    EXPECT_EQ(Read(key, "Expand", nullptr), "%WINDIR%\\uninst.exe");
}

TEST_F(RegistryKeyTest, KeyWithLongClassNameStillReadsItsValue) {
    // The class name does not fit the first query's 256 characters.
    std::string className(300, 'C');
    HKEY sub = nullptr;
    ASSERT_EQ(RegCreateKeyExA(m_key, "WithClass", 0, &className[0], 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
              ERROR_SUCCESS);
    const char text[] = "C:\\Game\\uninst.exe";
    ASSERT_EQ(RegSetValueExA(sub, "UninstallString", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text),
              ERROR_SUCCESS);
    RegCloseKey(sub);
    ERegistryKey key;
    ASSERT_EQ(key.Open(HKEY_CURRENT_USER, "Software\\MiltoaPatchTests\\WithClass", KEY_READ), eslResultSuccess);
    EXPECT_EQ(Read(key, "UninstallString", nullptr), text);
}

}  // namespace

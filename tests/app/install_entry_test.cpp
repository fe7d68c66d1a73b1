// Installing one archive entry: the copy, its progress reports, and that a
// failure leaves the existing file as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/install.h"
#include "esl/file.h"

namespace {

// The build folder's Unix path, seen by Wine on drive Z:.
std::string DataPath(const char* name) {
    std::string path = std::string("Z:") + APP_TEST_DATA + "/" + name;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

std::string ReadAll(const std::string& path) {
    ERawFile file;
    if (file.Open(path.c_str(), ESLFileObject::modeRead) != eslResultSuccess)
        return "<missing>";
    std::string bytes(file.GetLength(), '\0');
    if (!bytes.empty() && file.Read(&bytes[0], static_cast<uint32_t>(bytes.size())) != bytes.size())
        return "<short read>";
    return bytes;
}

void WriteAll(const std::string& path, const std::string& bytes) {
    ERawFile file;
    ASSERT_EQ(file.Open(path.c_str(), ESLFileObject::modeCreate | ESLFileObject::modeWrite), eslResultSuccess);
    ASSERT_EQ(file.Write(bytes.data(), static_cast<uint32_t>(bytes.size())), bytes.size());
}

std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((folder + "*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        std::string n = data.cFileName;
        if (n != "." && n != "..")
            names.push_back(n);
    } while (FindNextFileA(find, &data));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

class RecordingObserver : public InstallObserver {
public:
    void Pause(unsigned int ms) override { pauses.push_back(ms); }
    void OnStart(const char* status) override { statuses.push_back(status); }
    void OnProgress(int position) override { positions.push_back(position); }

    std::vector<unsigned int> pauses;
    std::vector<std::string> statuses;
    std::vector<int> positions;
};

class InstallEntryTest : public ::testing::Test {
protected:
    void SetUp() override {
        char temp[MAX_PATH];
        ASSERT_NE(GetTempPathA(MAX_PATH, temp), 0u);
        m_folder = std::string(temp) + "miltoa-install-test-" + std::to_string(GetCurrentProcessId()) + "\\";
        RemoveFolder();
        ASSERT_TRUE(CreateDirectoryA(m_folder.c_str(), nullptr));
        m_folderString = m_folder.c_str();
    }
    void TearDown() override {
        m_archive.Close();
        m_archiveFile.Close();
        RemoveFolder();
    }
    void RemoveFolder() {
        for (const std::string& n : Names(m_folder)) {
            SetFileAttributesA((m_folder + n).c_str(), FILE_ATTRIBUTE_NORMAL);
            if (!DeleteFileA((m_folder + n).c_str()))
                RemoveDirectoryA((m_folder + n).c_str());
        }
        RemoveDirectoryA(m_folder.c_str());
    }
    void OpenArchive(const char* name) {
        ASSERT_EQ(m_archiveFile.Open(DataPath(name).c_str(), ESLFileObject::modeRead), eslResultSuccess)
            << DataPath(name);
        ASSERT_EQ(m_archive.Open(&m_archiveFile, nullptr), eslResultSuccess);
    }
    const char* Install(const char* entry, const char* display) {
        return InstallArchiveEntry(m_archive, m_folderString, entry, display, &m_observer, m_result);
    }

    std::string m_folder;
    EString m_folderString;
    ERawFile m_archiveFile;
    EKISAArchive m_archive;
    RecordingObserver m_observer;
    EString m_result;
};

TEST_F(InstallEntryTest, CodedEntryOfTwoChunksReplacesTheFile) {
    OpenArchive("entries.ekp");
    WriteAll(m_folder + "big.bin", "old contents");
    EXPECT_EQ(Install("big.bin", "大きいファイル"), nullptr);
    EXPECT_EQ(ReadAll(m_folder + "big.bin"), ReadAll(DataPath("big.bin")));
    EXPECT_EQ(ReadAll(m_folder + "big.bin").size(), 131072u);
    EXPECT_TRUE(m_result.IsEmpty());
    // Two full chunks, then the empty read that ends the entry.
    EXPECT_EQ(m_observer.positions, (std::vector<int>{50, 100, 100}));
    EXPECT_EQ(m_observer.statuses, (std::vector<std::string>{"大きいファイルをインストールしています…"}));
    EXPECT_EQ(m_observer.pauses, (std::vector<unsigned int>{200, 500}));
    EXPECT_EQ(Names(m_folder), (std::vector<std::string>{"big.bin"}));
}

TEST_F(InstallEntryTest, EmptyEntryMakesAnEmptyFile) {
    OpenArchive("entries.ekp");
    WriteAll(m_folder + "empty.bin", "something that goes away");
    EXPECT_EQ(Install("empty.bin", "空"), nullptr);
    EXPECT_EQ(ReadAll(m_folder + "empty.bin"), "");
    // MulDiv by a total of 0 answers -1.
    EXPECT_EQ(m_observer.positions, (std::vector<int>{-1}));
}

TEST_F(InstallEntryTest, RawEntryIsCopiedIntoANewFile) {
    OpenArchive("entries.ekp");
    EXPECT_EQ(Install("small.bin", "小"), nullptr);
    EXPECT_EQ(ReadAll(m_folder + "small.bin"), ReadAll(DataPath("small.bin")));
    EXPECT_EQ(m_observer.positions, (std::vector<int>{100}));
}

TEST_F(InstallEntryTest, MissingEntryNamesTheFileAndWritesNothing) {
    OpenArchive("entries.ekp");
    const char* message = Install("quorvel.exe", "EXE ファイル");
    ASSERT_NE(message, nullptr);
    EXPECT_STREQ(message, "パッチデータにEXE ファイルが含まれていません。");
    EXPECT_EQ(message, m_result.CharPtr());
    EXPECT_TRUE(Names(m_folder).empty());
    EXPECT_TRUE(m_observer.statuses.empty());
}

TEST_F(InstallEntryTest, TargetThatCannotBeReplacedIsLeftAlone) {
    OpenArchive("entries.ekp");
    ASSERT_TRUE(CreateDirectoryA((m_folder + "big.bin").c_str(), nullptr));
    EXPECT_STREQ(Install("big.bin", "EXE ファイル"), "EXE ファイルを開けませんでした。");
    WriteAll(m_folder + "small.bin", "keep me");
    SetFileAttributesA((m_folder + "small.bin").c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_STREQ(Install("small.bin", "スクリプトファイル"), "スクリプトファイルを開けませんでした。");
    EXPECT_EQ(ReadAll(m_folder + "small.bin"), "keep me");
    EXPECT_EQ(Names(m_folder), (std::vector<std::string>{"big.bin", "small.bin"}));
}

TEST_F(InstallEntryTest, DamagedCodedDataIsReportedAndTheOldFileKept) {
    OpenArchive("damaged.ekp");
    WriteAll(m_folder + "big.bin", "the game's own file");
    EXPECT_STREQ(Install("big.bin", "EXE ファイル"), "EXE ファイルのパッチデータが壊れています。");
    EXPECT_EQ(ReadAll(m_folder + "big.bin"), "the game's own file");
    EXPECT_EQ(Names(m_folder), (std::vector<std::string>{"big.bin"}));
    // The entry was closed: the archive goes on serving the next one.
    m_result = "";
    EXPECT_EQ(Install("small.bin", "小"), nullptr);
    EXPECT_EQ(ReadAll(m_folder + "small.bin"), ReadAll(DataPath("small.bin")));
}

TEST_F(InstallEntryTest, EmptyFolderMeansTheCurrentDirectory) {
    OpenArchive("entries.ekp");
    char previous[MAX_PATH];
    ASSERT_NE(GetCurrentDirectoryA(MAX_PATH, previous), 0u);
    ASSERT_TRUE(SetCurrentDirectoryA(m_folder.c_str()));
    m_folderString = "";
    const char* message = Install("small.bin", "小");
    SetCurrentDirectoryA(previous);
    EXPECT_EQ(message, nullptr);
    EXPECT_EQ(ReadAll(m_folder + "small.bin"), ReadAll(DataPath("small.bin")));
    EXPECT_EQ(Names(m_folder), (std::vector<std::string>{"small.bin"}));
}

}  // namespace

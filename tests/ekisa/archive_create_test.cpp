// Building archives with the create-mode protocol and reading them back,
// for every encode type; checksums, whole-entry decoding and write failures.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>

#include "ekisa/encode_context.h"
#include "test_support.h"

using namespace ekisatest;

namespace {

CreateItem File(const std::string& name, const Bytes& content, uint32_t type = 0) {
    CreateItem item;
    item.name = name;
    item.content = content;
    item.encodeType = type;
    return item;
}

CreateItem Folder(const std::string& name, std::vector<CreateItem> children) {
    CreateItem item;
    item.name = name;
    item.folder = true;
    item.children = std::move(children);
    return item;
}

// Text-like content that the EKISA code can shrink, followed by noise.
Bytes Mixed(size_t length, uint32_t seed) {
    Bytes b;
    const char* words[] = {"archive ", "entry ", "folder ", "ミルトア ", "patch\r\n"};
    Bytes noise = Pattern(length, seed);
    for (size_t i = 0; b.size() < length; ++i) {
        if (i % 7 == 3) {
            b.insert(b.end(), noise.begin() + long(b.size()), noise.begin() + long(std::min(b.size() + 40, length)));
        } else {
            const char* w = words[(i * 31 + seed) % 5];
            b.insert(b.end(), w, w + strlen(w));
        }
    }
    b.resize(length);
    return b;
}

// Start of the data record of an entry in the root of archive bytes.
size_t RecordOf(const Bytes& bytes, const char* name) {
    MemoryArchive m(bytes);
    EXPECT_EQ(0, m.Open());
    const EKISAFileEntry* e = m.archive().GetCurrentLevel()->FindEntry(name);
    return e != nullptr ? size_t(64 + e->dataPosition) : 0;
}

TEST(ArchiveCreateTest, RawTreeRoundTrips) {
    std::vector<CreateItem> root = {
        File("a.bin", Pattern(200000, 1)),
        File("empty", Bytes()),
        Folder("dir", {File("x.txt", Pattern(1000, 2)),
                       Folder("deep", {File("y", Pattern(65536 * 2, 3))}),
                       File("日本語 名.txt", Pattern(10, 4))}),
        File("last", Pattern(3, 5)),
    };
    Bytes bytes;
    ASSERT_TRUE(CreateArchive(root, &bytes));
    // Whole-file record length in the header's last 8 bytes; DirEntry first.
    EXPECT_EQ(bytes.size() - 64, GetU64(bytes, 56));
    EXPECT_EQ(0, memcmp(bytes.data() + 64, "DirEntry", 8));
    // A raw entry's record holds exactly its bytes: no checksum.
    size_t record = RecordOf(bytes, "a.bin");
    EXPECT_EQ(0, memcmp(bytes.data() + record, "filedata", 8));
    EXPECT_EQ(200000u, GetU64(bytes, record + 8));

    MemoryArchive m(bytes);
    ASSERT_EQ(0, m.Open());
    EKISAArchive& a = m.archive();
    EKISADirectory* level = a.GetCurrentLevel();
    ASSERT_EQ(4u, level->GetSize());
    EXPECT_EQ(200000u, level->GetAt(0)->fileSize);
    EXPECT_EQ(2020, level->GetAt(0)->fileTime.year);
    EXPECT_TRUE(level->GetAt(2)->IsDirectory());
    const char* paths[] = {"a.bin", "empty", "dir\\x.txt", "dir\\deep\\y", "dir\\日本語 名.txt", "last"};
    Bytes expected[] = {Pattern(200000, 1), Bytes(), Pattern(1000, 2), Pattern(65536 * 2, 3), Pattern(10, 4),
                        Pattern(3, 5)};
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(0, a.OpenFile(paths[i], nullptr, 1)) << paths[i];
        EXPECT_EQ(expected[i].size(), a.GetLength());
        EXPECT_EQ(expected[i], ReadAll(a, 65536)) << paths[i];
        EXPECT_EQ(0, a.AscendFile());
    }
}

TEST(ArchiveCreateTest, RawBytesDoNotDependOnTheWriteSplit) {
    std::vector<CreateItem> root = {File("f", Pattern(3 * 65536, 8)), Folder("d", {File("g", Pattern(70000, 9))})};
    Bytes whole, pieces;
    ASSERT_TRUE(CreateArchive(root, &whole, nullptr, 65536));
    ASSERT_TRUE(CreateArchive(root, &pieces, nullptr, 1000));
    EXPECT_EQ(whole, pieces);
}

TEST(ArchiveCreateTest, UnwrittenEntriesKeepTheListingAndFailToOpen) {
    EMemoryFile file;
    ASSERT_EQ(0, file.Create(0));
    {
        EKISAArchive a;
        EKISAEntryList listing;
        for (const char* name : {"written", "skipped"}) {
            EKISAFileEntry* e = new EKISAFileEntry;
            e->SetName(name);
            listing.Add(e);
        }
        ASSERT_EQ(0, a.Open(&file, &listing));
        ASSERT_EQ(0, a.DescendFile("written", nullptr, 0));
        ASSERT_EQ(5u, a.Write("12345", 5));
        EXPECT_EQ(5u, a.GetLength());
        ASSERT_EQ(0, a.AscendFile());
        EXPECT_NE(0, a.DescendFile("nothere", nullptr, 0));
    }
    MemoryArchive m(FileBytes(file));
    ASSERT_EQ(0, m.Open());
    const EKISAFileEntry* skipped = m.archive().GetCurrentLevel()->GetAt(1);
    EXPECT_EQ(0u, skipped->fileSize);
    EXPECT_EQ(0u, skipped->dataPosition);
    // Position 0 is the directory record itself; its length gives it away.
    EXPECT_NE(0, m.archive().OpenFile("skipped", nullptr, 1));
    ASSERT_EQ(0, m.archive().OpenFile("written", nullptr, 1));
    EXPECT_EQ(Bytes({'1', '2', '3', '4', '5'}), ReadAll(m.archive(), 100));
}

TEST(ArchiveCreateTest, InvalidEncodeTypeWritesNothing) {
    TraceRecorder trace;
    EMemoryFile file;
    ASSERT_EQ(0, file.Create(0));
    {
        EKISAArchive a;
        EKISAEntryList listing;
        EKISAFileEntry* bad = new EKISAFileEntry;
        bad->SetName("bad");
        bad->encodeType = 0x00000001u;
        listing.Add(bad);
        EKISAFileEntry* good = new EKISAFileEntry;
        good->SetName("good");
        listing.Add(good);
        ASSERT_EQ(0, a.Open(&file, &listing));
        uint32_t before = a.GetPointer();
        EXPECT_NE(0, a.DescendFile("bad", nullptr, 0));
        EXPECT_TRUE(trace.Contains("不正なエンコードタイプです。\n"));
        EXPECT_EQ(before, a.GetPointer());
        ASSERT_EQ(0, a.DescendFile("good", nullptr, 0));
        ASSERT_EQ(3u, a.Write("abc", 3));
    }
    MemoryArchive m(FileBytes(file));
    ASSERT_EQ(0, m.Open());
    ASSERT_EQ(0, m.archive().OpenFile("good", nullptr, 1));
    EXPECT_EQ(Bytes({'a', 'b', 'c'}), ReadAll(m.archive(), 100));
}

// --- coded entries -----------------------------------------------------------

struct CodedCase {
    uint32_t type;
    const char* password;
};

void PrintTo(const CodedCase& c, std::ostream* os) {
    *os << ekisaGetEncodeKeyword(c.type) << (c.password != nullptr ? " with a password" : " with the default password");
}

class CodedRoundTrip : public ::testing::TestWithParam<CodedCase> {};

// Counts progress calls; aborts at call `abortAt` (0: never) with result 2.
class CountingArchive : public EKISAArchive {
public:
    ESLResult OnDecodeProgress(uint32_t done, uint32_t total) override {
        ++calls;
        lastDone = done;
        lastTotal = total;
        return calls == abortAt ? eslResultAbort : eslResultSuccess;
    }
    int calls = 0;
    int abortAt = 0;
    uint32_t lastDone = 0;
    uint32_t lastTotal = 0;
};

TEST_P(CodedRoundTrip, StreamedAndWholeReadsGiveTheContentAndVerify) {
    const CodedCase c = GetParam();
    const size_t sizes[] = {0, 1, 5, 16384, 65536, 100003};
    std::vector<CreateItem> root;
    for (size_t i = 0; i < 6; ++i) root.push_back(File("e" + std::to_string(i), Mixed(sizes[i], uint32_t(i)), c.type));
    root.push_back(Folder("sub", {File("inner", Mixed(30000, 77), c.type)}));
    Bytes bytes;
    ASSERT_TRUE(CreateArchive(root, &bytes, c.password));

    MemoryArchive m(bytes);
    ASSERT_EQ(0, m.Open());
    EKISAArchive& a = m.archive();
    for (size_t i = 0; i < 6; ++i) {
        std::string name = "e" + std::to_string(i);
        Bytes expected = Mixed(sizes[i], uint32_t(i));
        const EKISAFileEntry* e = a.GetCurrentLevel()->FindEntry(name.c_str());
        ASSERT_NE(nullptr, e);
        EXPECT_EQ(sizes[i], e->fileSize);
        EXPECT_EQ(c.type, e->encodeType);

        // The record ends with the XOR of the plain bytes, by position mod 4.
        uint8_t sum[4] = {0, 0, 0, 0};
        for (size_t k = 0; k < expected.size(); ++k) sum[k % 4] ^= expected[k];
        size_t record = size_t(64 + e->dataPosition);
        size_t end = record + 16 + size_t(GetU64(bytes, record + 8));
        EXPECT_EQ(0, memcmp(bytes.data() + end - 4, sum, 4)) << name;

        ASSERT_EQ(0, a.OpenFile(name.c_str(), c.password, 1)) << name;
        EXPECT_EQ(sizes[i], a.GetLength());
        std::vector<uint32_t> counts;
        EXPECT_EQ(expected, ReadAll(a, 65536, &counts)) << name;
        EXPECT_EQ(sizes[i] / 65536 + 1, counts.size());
        EXPECT_EQ(sizes[i], a.GetPointer());
        EXPECT_EQ(0, a.AscendFile()) << name;
    }

    EMemoryFile file;  // outlives the archive standing on it
    CountingArchive whole;
    ASSERT_EQ(0, file.Open(bytes.data(), uint32_t(bytes.size())));
    ASSERT_EQ(0, whole.Open(&file, nullptr));
    for (size_t i = 0; i < 6; ++i) {
        std::string name = "e" + std::to_string(i);
        whole.calls = 0;
        ASSERT_EQ(0, whole.OpenFile(name.c_str(), c.password, 0)) << name;
        EXPECT_EQ(int((sizes[i] + 16383) / 16384), whole.calls);
        if (sizes[i] != 0) {
            EXPECT_EQ(sizes[i], whole.lastDone);
            EXPECT_EQ(sizes[i], whole.lastTotal);
        }
        EXPECT_EQ(sizes[i], whole.GetLength());
        Bytes expected = Mixed(sizes[i], uint32_t(i));
        EXPECT_EQ(expected, ReadAll(whole, 4096)) << name;
        // The memory copy can be sought and duplicated.
        if (sizes[i] > 2) {
            EXPECT_EQ(2u, whole.Seek(2, ESLFileObject::FromBegin));
            ESLFileObject* copy = whole.Duplicate();
            ASSERT_NE(nullptr, copy);
            EXPECT_TRUE(copy->IsKindOf("EMemoryFile"));
            EXPECT_EQ(expected, ReadAll(*copy, 65536));
            delete copy;
            uint8_t byte = 0;
            EXPECT_EQ(1u, whole.Read(&byte, 1));
            EXPECT_EQ(expected[2], byte);
        }
        EXPECT_EQ(0, whole.AscendFile());
    }
    ASSERT_EQ(0, whole.OpenFile("sub\\inner", c.password, 0));
    EXPECT_EQ(Mixed(30000, 77), ReadAll(whole, 65536));
}

TEST_P(CodedRoundTrip, DamageAndEarlyCloseAreCaughtByTheChecksum) {
    TraceRecorder trace;
    const CodedCase c = GetParam();
    std::vector<CreateItem> root = {File("f", Mixed(50000, 3), c.type), File("g", Pattern(100, 1))};
    Bytes bytes;
    ASSERT_TRUE(CreateArchive(root, &bytes, c.password));

    {
        // Stopping before the end.
        MemoryArchive m(bytes);
        ASSERT_EQ(0, m.Open());
        ASSERT_EQ(0, m.archive().OpenFile("f", c.password, 1));
        uint8_t part[1000];
        ASSERT_EQ(1000u, m.archive().Read(part, 1000));
        trace.Clear();
        EXPECT_NE(0, m.archive().AscendFile());
        EXPECT_TRUE(trace.Contains("チェックサムが一致しません。\n"));
    }
    // A damaged stored checksum.
    Bytes bad = bytes;
    size_t record = RecordOf(bytes, "f");
    size_t end = record + 16 + size_t(GetU64(bytes, record + 8));
    bad[end - 2] ^= 0x01;
    {
        MemoryArchive m(bad);
        ASSERT_EQ(0, m.Open());
        ASSERT_EQ(0, m.archive().OpenFile("f", c.password, 1));
        EXPECT_EQ(Mixed(50000, 3), ReadAll(m.archive(), 65536));
        EXPECT_NE(0, m.archive().AscendFile());
        trace.Clear();
        EXPECT_NE(0, m.archive().OpenFile("f", c.password, 0));
        EXPECT_TRUE(trace.Contains("チェックサムが一致しません。\n"));
        EXPECT_EQ(nullptr, m.archive().GetOpenEntry());
        // The failed entry's record was left again.
        ASSERT_EQ(0, m.archive().OpenFile("g", nullptr, 1));
        EXPECT_EQ(Pattern(100, 1), ReadAll(m.archive(), 65536));
    }
    // Damaged coded bytes: streamed reading stays inside the entry's size
    // and the checksum (or the decoder) reports it.
    Bytes garbled = bytes;
    for (size_t k = record + 16 + 8; k < end - 4 && k < record + 16 + 64; ++k) garbled[k] ^= 0x5A;
    {
        MemoryArchive m(garbled);
        ASSERT_EQ(0, m.Open());
        ASSERT_EQ(0, m.archive().OpenFile("f", c.password, 1));
        Bytes got = ReadAll(m.archive(), 65536);
        EXPECT_LE(got.size(), 50000u);
        bool failed = m.archive().AscendFile() != 0;
        EXPECT_TRUE(failed || got != Mixed(50000, 3));
        EXPECT_TRUE(failed || got.size() < 50000u);
        EXPECT_NE(0, m.archive().OpenFile("f", c.password, 0));
    }
}

// The checksum is folded several bytes at a time wherever a piece allows:
// pieces that start and end at every offset modulo 4 and 8 must give the
// same checksum, written and read.
TEST_P(CodedRoundTrip, ChecksumDoesNotDependOnThePieces) {
    const CodedCase c = GetParam();
    const Bytes content = Mixed(10007, 5);
    Bytes bytes;
    ASSERT_TRUE(CreateArchive({File("f", content, c.type)}, &bytes, c.password, 997));
    uint8_t sum[4] = {0, 0, 0, 0};
    for (size_t k = 0; k < content.size(); ++k) sum[k % 4] ^= content[k];

    MemoryArchive m(bytes);
    ASSERT_EQ(0, m.Open());
    EKISAArchive& a = m.archive();
    const EKISAFileEntry* e = a.GetCurrentLevel()->FindEntry("f");
    ASSERT_NE(nullptr, e);
    const size_t record = size_t(64 + e->dataPosition);
    const size_t end = record + 16 + size_t(GetU64(bytes, record + 8));
    EXPECT_EQ(0, memcmp(bytes.data() + end - 4, sum, 4));

    ASSERT_EQ(0, a.OpenFile("f", c.password, 1));
    const uint32_t pieces[] = {1, 3, 8, 9, 15, 16, 17, 31, 64, 1000};
    Bytes got;
    for (size_t k = 0; got.size() < content.size(); ++k) {
        Bytes piece(pieces[k % 10]);
        const uint32_t n = a.Read(piece.data(), uint32_t(piece.size()));
        ASSERT_GT(n, 0u);
        got.insert(got.end(), piece.begin(), piece.begin() + n);
    }
    EXPECT_EQ(content, got);
    EXPECT_EQ(0, a.AscendFile());
}

TEST_P(CodedRoundTrip, ProgressAbortKeepsNothing) {
    const CodedCase c = GetParam();
    std::vector<CreateItem> root = {File("f", Mixed(70000, 3), c.type), File("g", Pattern(100, 1))};
    Bytes bytes;
    ASSERT_TRUE(CreateArchive(root, &bytes, c.password));
    EMemoryFile file;
    CountingArchive a;
    a.abortAt = 2;
    ASSERT_EQ(0, file.Open(bytes.data(), uint32_t(bytes.size())));
    ASSERT_EQ(0, a.Open(&file, nullptr));
    EXPECT_EQ(eslResultAbort, a.OpenFile("f", c.password, 0));
    EXPECT_EQ(2, a.calls);
    EXPECT_EQ(nullptr, a.GetOpenEntry());
    ASSERT_EQ(0, a.OpenFile("g", nullptr, 1));
    EXPECT_EQ(Pattern(100, 1), ReadAll(a, 65536));
}

INSTANTIATE_TEST_SUITE_P(EncodeTypes, CodedRoundTrip,
                         ::testing::Values(CodedCase{0x80000010u, nullptr}, CodedCase{0x40000000u, "secret"},
                                           CodedCase{0x40000000u, nullptr}, CodedCase{0xC0000010u, "ミルトア"}),
                         [](const ::testing::TestParamInfo<CodedCase>& info) {
                             std::string name = ekisaGetEncodeKeyword(info.param.type);
                             return name + (info.param.password ? "_password" : "_default");
                         });

// The thorough parse, asked of the archive, reaches both coded types; every
// reader decodes the smaller entries alike.
TEST(ArchiveCreateTest, CodeFlagsReachTheCodedEntries) {
    const Bytes text = Mixed(40000, 5);
    const std::vector<CreateItem> root = {File("code", text, 0x80000010u), File("crypt", text, 0xC0000010u)};
    Bytes plain, best;
    ASSERT_TRUE(CreateArchive(root, &plain));
    ASSERT_TRUE(CreateArchive(root, &best, nullptr, 65536, EKISAEncodeContext::searchPhrase |
                                                           EKISAEncodeContext::parseBest));
    MemoryArchive m(best);
    ASSERT_EQ(0, m.Open());
    for (const char* name : {"code", "crypt"}) {
        // Other bytes (the cipher pads the coded ones to its blocks).
        const size_t a = RecordOf(best, name), b = RecordOf(plain, name);
        EXPECT_FALSE(GetU64(best, a + 8) == GetU64(plain, b + 8) &&
                     std::equal(best.begin() + long(a), best.begin() + long(a + 16 + GetU64(best, a + 8)),
                                plain.begin() + long(b)))
            << name;
        ASSERT_EQ(0, m.archive().OpenFile(name, nullptr, 1)) << name;
        EXPECT_EQ(text, ReadAll(m.archive(), 65536)) << name;
        EXPECT_EQ(0, m.archive().AscendFile()) << name;
    }
}

// The archive keeps its decoders for the next entry and the next archive:
// nothing read ahead for an entry left half way may reach the next one.
TEST(ArchiveCreateTest, DecodersKeptForLaterEntriesStartClean) {
    const uint32_t types[] = {0x80000010u, 0xC0000010u, 0x40000000u, 0x80000010u, 0xC0000010u};
    std::vector<CreateItem> root;
    for (uint32_t i = 0; i < 5; ++i) root.push_back(File("e" + std::to_string(i), Mixed(90000, i), types[i]));
    Bytes first, second;
    ASSERT_TRUE(CreateArchive(root, &first, nullptr));
    root.erase(root.begin());
    ASSERT_TRUE(CreateArchive(root, &second, nullptr));

    EMemoryFile file1, file2;
    ASSERT_EQ(0, file1.Open(first.data(), uint32_t(first.size())));
    ASSERT_EQ(0, file2.Open(second.data(), uint32_t(second.size())));
    EKISAArchive a;
    ASSERT_EQ(0, a.Open(&file1, nullptr));
    for (uint32_t i = 0; i < 5; ++i) {
        std::string name = "e" + std::to_string(i);
        ASSERT_EQ(0, a.OpenFile(name.c_str(), nullptr, 1)) << name;
        uint8_t part[700];
        ASSERT_EQ(700u, a.Read(part, 700)) << name;  // then left half way
        ASSERT_EQ(0, a.OpenFile(name.c_str(), nullptr, i % 2)) << name;
        EXPECT_EQ(Mixed(90000, i), ReadAll(a, 65536)) << name;
        EXPECT_EQ(0, a.AscendFile()) << name;
    }
    ASSERT_EQ(0, a.OpenFile("e1", nullptr, 1));
    uint8_t part[100];
    ASSERT_EQ(100u, a.Read(part, 100));
    ASSERT_EQ(0, a.Open(&file2, nullptr));
    for (uint32_t i = 1; i < 5; ++i) {
        std::string name = "e" + std::to_string(i);
        ASSERT_EQ(0, a.OpenFile(name.c_str(), nullptr, 1)) << name;
        EXPECT_EQ(Mixed(90000, i), ReadAll(a, 65536)) << name;
        EXPECT_EQ(0, a.AscendFile()) << name;
    }
}

TEST(ArchiveCreateTest, WrongPasswordFailsTheChecksum) {
    TraceRecorder trace;
    for (uint32_t type : {0x40000000u, 0xC0000010u}) {
        std::vector<CreateItem> root = {File("f", Mixed(20000, 1), type)};
        Bytes bytes;
        ASSERT_TRUE(CreateArchive(root, &bytes, "right"));
        MemoryArchive m(bytes);
        ASSERT_EQ(0, m.Open());
        trace.Clear();
        EXPECT_NE(0, m.archive().OpenFile("f", "wrong", 0)) << type;
        EXPECT_TRUE(trace.Contains("チェックサムが一致しません。\n") || trace.Contains("復号に失敗しました。\n"));
        ASSERT_EQ(0, m.archive().OpenFile("f", "wrong", 1));
        Bytes got = ReadAll(m.archive(), 65536);
        EXPECT_NE(Mixed(20000, 1), got);
        EXPECT_NE(0, m.archive().AscendFile());
        ASSERT_EQ(0, m.archive().OpenFile("f", "right", 1));
        EXPECT_EQ(Mixed(20000, 1), ReadAll(m.archive(), 65536));
        EXPECT_EQ(0, m.archive().AscendFile());
    }
}

// --- write failures ----------------------------------------------------------

TEST(ArchiveCreateTest, ShortWritesAreReported) {
    TraceRecorder trace;
    for (uint32_t budget : {10u, 64u + 20u}) {
        LimitedFile file(budget);
        ASSERT_EQ(0, file.Create(0));
        EKISAArchive a;
        EKISAEntryList listing;
        EKISAFileEntry* e = new EKISAFileEntry;
        e->SetName("x");
        listing.Add(e);
        trace.Clear();
        EXPECT_NE(0, a.Open(&file, &listing)) << budget;
        EXPECT_TRUE(trace.Contains(budget < 64 ? "ファイルヘッダの書き出しに失敗しました。\n"
                                               : "ルートディレクトリの書き出しに失敗しました。\n"))
            << budget;
    }
    for (uint32_t type : {0u, 0x80000010u, 0x40000000u}) {
        // Room for the header and the directory, not for the whole entry.
        LimitedFile file(64 + 16 + 4 + 44 + 2 + 16 + 1000);
        ASSERT_EQ(0, file.Create(0));
        EKISAArchive a;
        EKISAEntryList listing;
        EKISAFileEntry* e = new EKISAFileEntry;
        e->SetName("x");
        e->encodeType = type;
        listing.Add(e);
        ASSERT_EQ(0, a.Open(&file, &listing));
        ASSERT_EQ(0, a.DescendFile("x", nullptr, 0));
        Bytes data = Pattern(100000, 4);
        bool shortWrite = a.Write(data.data(), uint32_t(data.size())) != data.size();
        bool closeFailed = a.AscendFile() != 0;
        a.Close();
        EXPECT_TRUE(shortWrite || closeFailed) << type;
        EXPECT_NE(0, a.GetWriteResult()) << type;
    }
}

}  // namespace

// An entry the size of the game executable: whole-mode decoding reports
// progress after each 16,384-byte piece, 65 full ones and one of 4,608.
TEST(ArchiveCreateTest, WholeModeProgressOfAGameSizedEntry) {
    const uint32_t size = 1069568;
    Bytes content = Mixed(size, 9);
    Bytes bytes;
    ASSERT_TRUE(CreateArchive({File("quorvel.exe", content, ekisaEncodeCode)}, &bytes, nullptr));

    EMemoryFile file;
    CountingArchive archive;
    ASSERT_EQ(0, file.Open(bytes.data(), uint32_t(bytes.size())));
    ASSERT_EQ(0, archive.Open(&file, nullptr));
    ASSERT_EQ(0, archive.OpenFile("quorvel.exe", nullptr, 0));
    EXPECT_EQ(66, archive.calls);
    EXPECT_EQ(size, archive.lastDone);
    EXPECT_EQ(size, archive.lastTotal);
    EXPECT_EQ(content, ReadAll(archive, 65536));
}

// Reading archives built byte by byte: directories, paths, raw entries and
// damaged inputs.
#include <gtest/gtest.h>
#include <string.h>

#include "test_support.h"

using namespace ekisatest;

namespace {

const char kNotFoundTail[] = "\" は現在のディレクトリエントリには存在しません。\n";

std::string NotFound(const char* name) { return std::string("\"") + name + kNotFoundTail; }

LevelSpec SampleRoot() {
    LevelSpec deeper;
    deeper.File("leaf.bin", Pattern(300, 5));
    LevelSpec sub;
    sub.File("inner.txt", Pattern(1000, 3)).Folder("deeper", deeper);
    LevelSpec root;
    root.File("script.eka", Pattern(5000, 1)).File("empty", Bytes()).Folder("sub", sub).File("日本語.txt",
                                                                                            Pattern(77, 9));
    return root;
}

Bytes OpenAndRead(EKISAArchive& a, const char* path) {
    EXPECT_EQ(0, a.OpenFile(path, nullptr, 1)) << path;
    Bytes b = ReadAll(a, 65536);
    EXPECT_EQ(0, a.AscendFile());
    return b;
}

TEST(ArchiveReadTest, OpensAndListsTheRoot) {
    Bytes bytes = ArchiveBytes(SampleRoot());
    MemoryArchive m(bytes);
    ASSERT_EQ(0, m.Open());
    EKISAArchive& a = m.archive();
    EXPECT_STREQ("EKISAArchive", a.GetClassName());
    EXPECT_TRUE(a.IsKindOf("EMCFile"));
    EKISADirectory* root = a.GetCurrentLevel();
    ASSERT_NE(nullptr, root);
    ASSERT_EQ(4u, root->GetSize());
    const EKISAFileEntry* e = root->GetAt(0);
    EXPECT_STREQ("script.eka", e->name);
    EXPECT_EQ(11u, e->nameLength);
    EXPECT_EQ(5000u, e->fileSize);
    EXPECT_EQ(0u, e->attribute);
    EXPECT_EQ(0u, e->encodeType);
    EXPECT_EQ(2004, e->fileTime.year);
    EXPECT_EQ(11, e->fileTime.month);
    EXPECT_EQ(4, e->fileTime.dayOfWeek);
    EXPECT_EQ(47, e->fileTime.second);
    EXPECT_EQ(0u, e->extraLength);
    EXPECT_EQ(nullptr, e->extraData);
    // The first data record follows the directory record directly.
    EXPECT_EQ(GetU64(bytes, 64 + 8) + 16, e->dataPosition);
    EXPECT_TRUE(root->GetAt(2)->IsDirectory());
    EXPECT_STREQ("日本語.txt", root->GetAt(3)->name);
}

TEST(ArchiveReadTest, RawEntriesReadByteForByte) {
    MemoryArchive m(ArchiveBytes(SampleRoot()));
    ASSERT_EQ(0, m.Open());
    EKISAArchive& a = m.archive();
    ASSERT_EQ(0, a.OpenFile("script.eka", nullptr, 1));
    EXPECT_EQ(5000u, a.GetLength());
    EXPECT_EQ(0u, a.GetPointer());
    uint8_t first[10];
    EXPECT_EQ(10u, a.Read(first, 10));
    EXPECT_EQ(10u, a.GetPointer());
    EXPECT_EQ(0, memcmp(first, Pattern(5000, 1).data(), 10));
    a.Seek(0, ESLFileObject::FromBegin);
    EXPECT_EQ(Pattern(5000, 1), ReadAll(a, 4096));
    EXPECT_EQ(0, a.AscendFile());

    EXPECT_EQ(Pattern(77, 9), OpenAndRead(a, "日本語.txt"));
    EXPECT_EQ(Bytes(), OpenAndRead(a, "empty"));
    // The whole-mode flag does not matter for raw entries.
    ASSERT_EQ(0, a.OpenFile("script.eka", nullptr, 0));
    EXPECT_EQ(Pattern(5000, 1), ReadAll(a, 65536));
}

TEST(ArchiveReadTest, ChunksAre65536BytesAndAShortLastOne) {
    const size_t sizes[] = {0, 1, 65535, 65536, 2 * 65536, 3 * 65536 + 100};
    LevelSpec root;
    for (size_t i = 0; i < 6; ++i) root.File("f" + std::to_string(i), Pattern(sizes[i], uint32_t(i)));
    MemoryArchive m(ArchiveBytes(root));
    ASSERT_EQ(0, m.Open());
    for (size_t i = 0; i < 6; ++i) {
        std::string name = "f" + std::to_string(i);
        ASSERT_EQ(0, m.archive().OpenFile(name.c_str(), nullptr, 1));
        EXPECT_EQ(sizes[i], m.archive().GetLength());
        std::vector<uint32_t> counts;
        EXPECT_EQ(Pattern(sizes[i], uint32_t(i)), ReadAll(m.archive(), 65536, &counts));
        size_t full = sizes[i] / 65536;
        ASSERT_EQ(full + 1, counts.size()) << sizes[i];
        for (size_t k = 0; k < full; ++k) EXPECT_EQ(65536u, counts[k]);
        EXPECT_EQ(sizes[i] % 65536, counts.back());
        // Reading on at the end gives nothing.
        uint8_t byte;
        EXPECT_EQ(0u, m.archive().Read(&byte, 1));
    }
}

TEST(ArchiveReadTest, NamesMatchIgnoringAsciiCaseOnly) {
    MemoryArchive m(ArchiveBytes(SampleRoot()));
    ASSERT_EQ(0, m.Open());
    EKISADirectory* root = m.archive().GetCurrentLevel();
    EXPECT_EQ(root->GetAt(0), root->FindEntry("SCRIPT.EKA"));
    EXPECT_EQ(root->GetAt(0), root->FindEntry("Script.Eka"));
    EXPECT_EQ(nullptr, root->FindEntry("script.ek"));
    EXPECT_EQ(nullptr, root->FindEntry("script.ekaa"));
    EXPECT_EQ(nullptr, root->FindEntry(""));
    EXPECT_EQ(nullptr, root->FindEntry(nullptr));

    EXPECT_TRUE(EKISAEntryList::NamesMatch("abc", "ABC"));
    EXPECT_TRUE(EKISAEntryList::NamesMatch(nullptr, ""));
    EXPECT_TRUE(EKISAEntryList::NamesMatch("", nullptr));
    EXPECT_FALSE(EKISAEntryList::NamesMatch("", "a"));
    // Only 'a'..'z' fold: '[' (0x5B) and '{' (0x7B) stay different.
    EXPECT_FALSE(EKISAEntryList::NamesMatch("x[", "x{"));
    EXPECT_FALSE(EKISAEntryList::NamesMatch("\xE4", "\xC4"));
    // The rule applies to second bytes of double-byte characters too.
    EXPECT_TRUE(EKISAEntryList::NamesMatch("\x83\x61", "\x83\x41"));
    // The first match in directory order wins.
    LevelSpec twice;
    twice.File("same", Pattern(3, 1)).File("SAME", Pattern(4, 2));
    MemoryArchive t(ArchiveBytes(twice));
    ASSERT_EQ(0, t.Open());
    EXPECT_EQ(Pattern(3, 1), OpenAndRead(t.archive(), "SAME"));
}

TEST(ArchiveReadTest, PathsEnterSubdirectories) {
    TraceRecorder trace;
    MemoryArchive m(ArchiveBytes(SampleRoot()));
    ASSERT_EQ(0, m.Open());
    EKISAArchive& a = m.archive();
    EXPECT_EQ(Pattern(1000, 3), OpenAndRead(a, "sub\\inner.txt"));
    EXPECT_FALSE(a.IsAtRoot());
    EXPECT_EQ(Pattern(300, 5), OpenAndRead(a, "SUB\\Deeper\\leaf.bin"));
    // Every path starts again at the root.
    EXPECT_EQ(Pattern(5000, 1), OpenAndRead(a, "script.eka"));
    EXPECT_TRUE(a.IsAtRoot());
    // Leading and doubled separators are skipped.
    EXPECT_EQ(Pattern(300, 5), OpenAndRead(a, "\\sub\\\\deeper\\leaf.bin"));

    // '/' does not separate inside the archive: "sub/" is looked for as a folder.
    trace.Clear();
    EXPECT_NE(0, a.OpenFile("sub/inner.txt", nullptr, 1));
    EXPECT_TRUE(trace.Contains(NotFound("sub/").c_str())) << trace.Text();
    EXPECT_NE(0, a.OpenFile("sub\\missing", nullptr, 1));

    // Wrong kinds are "not found".
    ASSERT_EQ(0, a.ChangeDirectory(""));
    trace.Clear();
    EXPECT_NE(0, a.DescendFile("sub", nullptr, 1));
    EXPECT_TRUE(trace.Contains(NotFound("sub").c_str()));
    EXPECT_NE(0, a.DescendDirectory("script.eka", nullptr));
    EXPECT_TRUE(trace.Contains(NotFound("script.eka").c_str()));

    // The directory stack is walked explicitly too; the root is not left.
    ASSERT_EQ(0, a.DescendDirectory("sub", nullptr));
    EXPECT_EQ(2u, a.GetCurrentLevel()->GetSize());
    ASSERT_EQ(0, a.DescendFile("inner.txt", nullptr, 1));
    EXPECT_EQ(Pattern(1000, 3), ReadAll(a, 65536));
    // OpenFile, unlike DescendFile, starts from the root.
    EXPECT_NE(0, a.OpenFile("inner.txt", nullptr, 1));
    ASSERT_EQ(0, a.DescendDirectory("sub", nullptr));
    EXPECT_NE(0, a.DescendDirectory("sub", nullptr));
    EXPECT_EQ(0, a.AscendDirectory());
    EXPECT_TRUE(a.IsAtRoot());
    EXPECT_NE(0, a.AscendDirectory());
    EXPECT_EQ(Pattern(5000, 1), OpenAndRead(a, "script.eka"));
}

TEST(ArchiveReadTest, OpeningAnotherEntryClosesTheFirst) {
    MemoryArchive m(ArchiveBytes(SampleRoot()));
    ASSERT_EQ(0, m.Open());
    EKISAArchive& a = m.archive();
    ASSERT_EQ(0, a.OpenFile("script.eka", nullptr, 1));
    uint8_t part[100];
    ASSERT_EQ(100u, a.Read(part, 100));
    ASSERT_EQ(0, a.OpenFile("sub\\inner.txt", nullptr, 1));
    EXPECT_EQ(1000u, a.GetLength());
    EXPECT_EQ(Pattern(1000, 3), ReadAll(a, 65536));
    a.Close();
    EXPECT_EQ(nullptr, a.GetCurrentLevel());
}

TEST(ArchiveReadTest, InvalidEncodeTypeFailsAndLeavesTheArchiveUsable) {
    TraceRecorder trace;
    LevelSpec root;
    root.Coded("odd", 0x00000001u, 4, Bytes{1, 2, 3, 4, 0, 0, 0, 0}).File("next", Pattern(50, 2));
    MemoryArchive m(ArchiveBytes(root));
    ASSERT_EQ(0, m.Open());
    EXPECT_NE(0, m.archive().OpenFile("odd", nullptr, 1));
    EXPECT_TRUE(trace.Contains("不正なエンコードタイプです。\n"));
    EXPECT_EQ(nullptr, m.archive().GetOpenEntry());
    // The failed entry's record was left: positions are counted from the root again.
    EXPECT_EQ(0, m.archive().DescendFile("next", nullptr, 1));
    EXPECT_EQ(Pattern(50, 2), ReadAll(m.archive(), 65536));
}

TEST(ArchiveReadTest, EmptyRootAndForeignFileIDOpen) {
    LevelSpec none;
    Bytes bytes = ArchiveBytes(none);
    bytes[8] = 0x99;  // file ID is not examined
    MemoryArchive m(bytes);
    ASSERT_EQ(0, m.Open());
    EXPECT_EQ(0u, m.archive().GetCurrentLevel()->GetSize());
    EXPECT_NE(0, m.archive().OpenFile("x", nullptr, 1));
}

TEST(ArchiveReadTest, ExtraDataIsCarried) {
    LevelSpec root;
    root.File("x", Pattern(5, 1));
    root.items[0].entry.extra = Bytes{9, 8, 7};
    MemoryArchive m(ArchiveBytes(root));
    ASSERT_EQ(0, m.Open());
    const EKISAFileEntry* e = m.archive().GetCurrentLevel()->GetAt(0);
    ASSERT_EQ(3u, e->extraLength);
    EXPECT_EQ(7, e->extraData[2]);
    EXPECT_EQ(Pattern(5, 1), OpenAndRead(m.archive(), "x"));
}

// --- damaged archives -------------------------------------------------------

// header | DirEntry { count, entries } | filedata records, with one entry.
Bytes OneEntryArchive() {
    LevelSpec root;
    root.File("a.txt", Pattern(40, 7));
    return ArchiveBytes(root);
}
const size_t kDirData = 64 + 16;           // first byte of the directory data
const size_t kEntry = kDirData + 4;        // first entry
const size_t kExtraLength = kEntry + 32;   // its extra length field
const size_t kNameLength = kEntry + 36;    // its name length (no extra data)

void ExpectOpenFails(const Bytes& bytes, const char* why) {
    TraceRecorder trace;
    MemoryArchive m(bytes);
    EXPECT_NE(0, m.Open()) << why;
    EXPECT_TRUE(trace.Contains("ルートディレクトリを読み込めませんでした。\n") ||
                trace.Contains("ファイルヘッダの読み込みに失敗しました。\n") ||
                trace.Contains("不正なファイルヘッダです。\n"))
        << why << ": " << trace.Text();
}

TEST(ArchiveDamageTest, HeaderAndFirstRecordFaults) {
    Bytes good = OneEntryArchive();
    ExpectOpenFails(Bytes(good.begin(), good.begin() + 40), "short header");
    ExpectOpenFails(Bytes(), "empty file");
    Bytes bad = good;
    bad[1] = 'A';
    ExpectOpenFails(bad, "magic");
    bad = good;
    bad[13] = 1;
    ExpectOpenFails(bad, "reserved");
    bad = good;
    memcpy(bad.data() + 64, "NotADir!", 8);
    ExpectOpenFails(bad, "first record is not DirEntry");
    ExpectOpenFails(Bytes(good.begin(), good.begin() + 64), "header only");
}

TEST(ArchiveDamageTest, BadRecordLengths) {
    Bytes good = OneEntryArchive();
    Bytes bad;
    const uint64_t lengths[] = {0x100000000ull, 0x7FFFFFFFFFFFFFFFull, uint64_t(good.size()), uint64_t(0xFFFFFFF0u)};
    for (uint64_t length : lengths) {
        bad = good;
        for (int i = 0; i < 8; ++i) bad[72 + i] = uint8_t(length >> (8 * i));
        ExpectOpenFails(bad, "DirEntry length");
    }
    // A data record longer than the file: the entry cannot be opened.
    bad = good;
    size_t dataRecord = good.size() - 40 - 16;
    for (int i = 0; i < 8; ++i) bad[dataRecord + 8 + i] = uint8_t(uint64_t(1000) >> (8 * i));
    MemoryArchive m(bad);
    ASSERT_EQ(0, m.Open());
    EXPECT_NE(0, m.archive().OpenFile("a.txt", nullptr, 1));
}

TEST(ArchiveDamageTest, DirectoryFieldsAreCheckedBeforeUse) {
    Bytes good = OneEntryArchive();
    struct Case {
        size_t at;
        uint32_t value;
        const char* why;
    } cases[] = {
        {kDirData, 0xFFFFFFFFu, "huge entry count"},
        {kDirData, 2, "count beyond the record"},
        {kExtraLength, 0xFFFFFFF0u, "huge extra length"},
        {kExtraLength, 100, "extra data beyond the record"},
        {kNameLength, 0xFFFFFFFFu, "huge name length"},
        {kNameLength, 7, "name beyond the record"},
    };
    for (const Case& c : cases) {
        Bytes bad = good;
        for (int i = 0; i < 4; ++i) bad[c.at + i] = uint8_t(c.value >> (8 * i));
        ExpectOpenFails(bad, c.why);
    }
    // A shorter name length is fine: the name ends where it says.
    Bytes shorter = good;
    shorter[kNameLength] = 2;
    MemoryArchive m(shorter);
    // The directory record then has bytes left over, which is harmless.
    ASSERT_EQ(0, m.Open());
    EXPECT_STREQ("a.", m.archive().GetCurrentLevel()->GetAt(0)->name);
}

TEST(ArchiveDamageTest, TruncatedArchivesFailCleanly) {
    Bytes good = ArchiveBytes(SampleRoot());
    size_t directoryEnd = 64 + 16 + GetU64(good, 72);
    for (size_t n = 0; n < good.size(); n += (n < directoryEnd + 64 ? 1 : 97)) {
        MemoryArchive m(Bytes(good.begin(), good.begin() + n));
        ESLResult opened = m.Open();
        if (n < directoryEnd) {
            EXPECT_NE(0, opened) << n;
            continue;
        }
        // The directory is whole; entries past the cut must fail or come up short.
        ASSERT_EQ(0, opened) << n;
        EKISAArchive& a = m.archive();
        if (a.OpenFile("sub\\deeper\\leaf.bin", nullptr, 1) == 0) {
            EXPECT_EQ(Pattern(300, 5), ReadAll(a, 65536)) << n;
        }
        if (a.OpenFile("script.eka", nullptr, 1) == 0) {
            EXPECT_EQ(5000u, ReadAll(a, 65536).size()) << n;
        }
    }
}

TEST(ArchiveDamageTest, DataPositionsOutsideTheDirectoryRecordFail) {
    TraceRecorder trace;
    Bytes good = OneEntryArchive();
    const size_t position = kEntry + 16;
    const uint64_t values[] = {uint64_t(good.size()), uint64_t(good.size() - 64 - 8), 0x100000000ull + 40,
                               0xFFFFFFFFFFFFFFFFull, uint64_t(0x80000000u)};
    for (uint64_t value : values) {
        Bytes bad = good;
        for (int i = 0; i < 8; ++i) bad[position + i] = uint8_t(value >> (8 * i));
        MemoryArchive m(bad);
        ASSERT_EQ(0, m.Open());
        trace.Clear();
        EXPECT_NE(0, m.archive().OpenFile("a.txt", nullptr, 1)) << value;
        EXPECT_TRUE(trace.Contains("\"a.txt\" のデータ位置が不正です。\n")) << value;
    }
    // A position that lands on the directory record itself: its length is not the entry's.
    Bytes self = good;
    for (int i = 0; i < 8; ++i) self[position + i] = 0;
    MemoryArchive m(self);
    ASSERT_EQ(0, m.Open());
    EXPECT_NE(0, m.archive().OpenFile("a.txt", nullptr, 1));
}

TEST(ArchiveDamageTest, DamagedSubdirectoryLeavesTheArchiveWhereItWas) {
    LevelSpec sub;
    sub.File("x", Pattern(10, 1));
    LevelSpec root;
    root.Folder("sub", sub).File("y", Pattern(20, 2));
    Bytes bytes = ArchiveBytes(root);
    // The subdirectory's own DirEntry record sits right after its filedata header.
    size_t subRecord = 64 + 16 + GetU64(bytes, 72) + 16;
    ASSERT_EQ(0, memcmp(bytes.data() + subRecord, "DirEntry", 8));
    bytes[subRecord + 16] = 0xFF;  // entry count
    MemoryArchive m(bytes);
    ASSERT_EQ(0, m.Open());
    EXPECT_NE(0, m.archive().DescendDirectory("sub", nullptr));
    EXPECT_TRUE(m.archive().IsAtRoot());
    EXPECT_EQ(Pattern(20, 2), OpenAndRead(m.archive(), "y"));
}

TEST(ArchiveDamageTest, WholeModeRefusesSizesThatCannotBeHeld) {
    TraceRecorder trace;
    LevelSpec root;
    root.Coded("huge", 0x80000010u, 0xFFFFFFF0u, Bytes(12, 0))
        .Coded("over4g", 0x80000010u, 0x100000010ull, Bytes(12, 0))
        .File("ok", Pattern(9, 4));
    MemoryArchive m(ArchiveBytes(root));
    ASSERT_EQ(0, m.Open());
    EXPECT_NE(0, m.archive().OpenFile("huge", nullptr, 0));
    EXPECT_TRUE(trace.Contains("復号用のメモリを確保できませんでした。\n")) << trace.Text();
    EXPECT_NE(0, m.archive().OpenFile("over4g", nullptr, 0));
    EXPECT_EQ(nullptr, m.archive().GetOpenEntry());
    EXPECT_EQ(Pattern(9, 4), OpenAndRead(m.archive(), "ok"));
}

TEST(ArchiveDamageTest, RandomCorruptionNeverCrashes) {
    Bytes good = ArchiveBytes(SampleRoot());
    uint32_t x = 12345;
    auto next = [&x]() {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    int opened = 0;
    for (int round = 0; round < 400; ++round) {
        Bytes bad = good;
        int flips = 1 + int(next() % 4);
        for (int k = 0; k < flips; ++k) {
            // Mostly the header and directory area, where the structure lives.
            size_t at = next() % 3 == 0 ? next() % bad.size() : next() % 400 % bad.size();
            bad[at] = uint8_t(next());
        }
        MemoryArchive m(bad);
        if (m.Open() != 0) continue;
        ++opened;
        EKISAArchive& a = m.archive();
        const char* paths[] = {"script.eka", "empty", "sub\\inner.txt", "sub\\deeper\\leaf.bin", "日本語.txt"};
        for (const char* p : paths) {
            if (a.OpenFile(p, nullptr, 1) != 0) continue;
            // A damaged size may promise far more than is there; a few
            // chunks show whether reading stays inside the file.
            uint8_t chunk[4096];
            uint32_t total = 0;
            for (int k = 0; k < 4; ++k) total += a.Read(chunk, sizeof(chunk));
            EXPECT_LE(total, bad.size());
            a.AscendFile();
        }
    }
    EXPECT_GT(opened, 0);
}

}  // namespace

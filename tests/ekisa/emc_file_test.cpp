// The EMC container on its own: header, record tree, record-bounded I/O.
#include <gtest/gtest.h>
#include <string.h>

#include "ekisa/emc_file.h"
#include "test_support.h"

using namespace ekisatest;

namespace {

struct Container {
    explicit Container(const Bytes& b) : bytes(b) { file.Open(bytes.data(), uint32_t(bytes.size())); }
    Bytes bytes;
    EMemoryFile file;
    EMCFile emc;
};

// header | "AAAAAAAA" {10 bytes} | "BBBBBBBB" { "CCCCCCCC" {4 bytes} } | "DDDDDDDD" {3 bytes}
Bytes SampleContainer() {
    Bytes rest = Record("AAAAAAAA", Pattern(10, 1));
    Append(rest, Record("BBBBBBBB", Record("CCCCCCCC", Bytes{1, 2, 3, 4})));
    Append(rest, Record("DDDDDDDD", Bytes{7, 8, 9}));
    Bytes all = FileHeader(rest.size(), 0x12345678u);
    Append(all, rest);
    return all;
}

TEST(EMCFileHeaderTest, DescriptionIsCutAndDefaultsFollowTheFileType) {
    EMCFileHeader h;
    const char* fifty = "01234567890123456789012345678901234567890123456789";
    EMCFile::SetFileHeader(&h, 1, fifty);
    EXPECT_EQ(0, memcmp(h.magic, "Dadez\x1A\0\0", 8));
    EXPECT_EQ(1u, h.fileID);
    EXPECT_EQ(0u, h.reserved);
    EXPECT_EQ(0, memcmp(h.description, fifty, 41));
    for (int i = 41; i < 48; ++i) EXPECT_EQ(0, h.description[i]) << i;

    EMCFile::SetFileHeader(&h, 0x7777, nullptr);
    EXPECT_STREQ("undefined EMC file", h.description);
    EMCFile::SetFileHeader(&h, 0x02000400u, nullptr);
    EXPECT_STREQ("EKISA-Archive file", h.description);
    EMCFile::SetFileHeader(&h, 0x03001200u, nullptr);
    EXPECT_STREQ("EGL-3D model object file", h.description);
}

TEST(EMCFileTest, EmptyContainerIsHeaderWithZeroWholeFileRecord) {
    EMemoryFile file;
    ASSERT_EQ(0, file.Create(0));
    EMCFileHeader h;
    EMCFile::SetFileHeader(&h, 0x02000400u, "a description that is longer than thirty-two");
    EMCFile emc;
    ASSERT_EQ(0, emc.Open(&file, &h));
    emc.Close();
    Bytes b = FileBytes(file);
    ASSERT_EQ(64u, b.size());
    for (int i = 48; i < 64; ++i) EXPECT_EQ(0, b[i]) << i;
    EXPECT_EQ(0, memcmp(b.data() + 16, "a description that is longer tha", 32));
}

TEST(EMCFileTest, CreatedRecordsGetTheirFinalLengths) {
    EMemoryFile file;
    ASSERT_EQ(0, file.Create(0));
    EMCFileHeader h;
    EMCFile::SetFileHeader(&h, 0x03000100u, nullptr);
    {
        EMCFile emc;
        ASSERT_EQ(0, emc.Open(&file, &h));
        ASSERT_EQ(0, emc.DescendRecord("outer---"));
        ASSERT_EQ(0, emc.DescendRecord("inner---"));
        EXPECT_EQ(5u, emc.Write("hello", 5));
        EXPECT_EQ(5u, emc.GetPointer());
        EXPECT_EQ(0, emc.AscendRecord());
        // Seeking past the end of a created record makes it longer.
        EXPECT_EQ(21u + 3, emc.Seek(3, ESLFileObject::FromCurrent));
        EXPECT_EQ(0, emc.AscendRecord());
        emc.Close();
    }
    Bytes b = FileBytes(file);
    ASSERT_EQ(64u + 16 + 16 + 5 + 3, b.size());
    EXPECT_EQ(uint64_t(16 + 16 + 5 + 3), GetU64(b, 56));
    EXPECT_EQ(0, memcmp(b.data() + 64, "outer---", 8));
    EXPECT_EQ(uint64_t(16 + 5 + 3), GetU64(b, 72));
    EXPECT_EQ(0, memcmp(b.data() + 80, "inner---", 8));
    EXPECT_EQ(5u, GetU64(b, 88));
    EXPECT_EQ(0, memcmp(b.data() + 96, "hello", 5));
}

TEST(EMCFileTest, ReadingFindsRecordsByIdAndStaysInside) {
    Container c(SampleContainer());
    ASSERT_EQ(0, c.emc.Open(&c.file, nullptr));
    EXPECT_EQ(c.bytes.size() - 64, c.emc.GetLength());
    EXPECT_EQ(0x12345678u, c.emc.GetFileHeader().fileID);

    // A missing ID skips everything and fails; the current record stays.
    ASSERT_NE(0, c.emc.DescendRecord("ZZZZZZZZ"));
    EXPECT_EQ(c.bytes.size() - 64, c.emc.GetLength());

    c.emc.Seek(0, ESLFileObject::FromBegin);
    ASSERT_EQ(0, c.emc.DescendRecord("DDDDDDDD"));
    EXPECT_EQ(3u, c.emc.GetLength());
    uint8_t buf[8] = {};
    EXPECT_EQ(3u, c.emc.Read(buf, 8));
    EXPECT_EQ(7, buf[0]);
    EXPECT_EQ(9, buf[2]);
    EXPECT_EQ(0u, c.emc.Read(buf, 8));
    ASSERT_EQ(0, c.emc.AscendRecord());

    c.emc.Seek(0, ESLFileObject::FromBegin);
    ASSERT_EQ(0, c.emc.DescendRecord("BBBBBBBB"));
    ASSERT_EQ(0, c.emc.DescendRecord(nullptr));
    EXPECT_EQ(0, memcmp(c.emc.GetCurrentRecord()->header.id, "CCCCCCCC", 8));
    EXPECT_EQ(4u, c.emc.Read(buf, 8));
    EXPECT_EQ(4, buf[3]);
    // Nothing further inside B.
    ASSERT_EQ(0, c.emc.AscendRecord());
    EXPECT_NE(0, c.emc.DescendRecord(nullptr));
}

TEST(EMCFileTest, SeekIsClampedToTheRecord) {
    Container c(SampleContainer());
    ASSERT_EQ(0, c.emc.Open(&c.file, nullptr));
    ASSERT_EQ(0, c.emc.DescendRecord("AAAAAAAA"));
    EXPECT_EQ(10u, c.emc.Seek(100, ESLFileObject::FromBegin));
    EXPECT_EQ(6u, c.emc.Seek(-4, ESLFileObject::FromEnd));
    EXPECT_EQ(8u, c.emc.Seek(2, ESLFileObject::FromCurrent));
    // Before the start means the start, not a wrapped position at the end.
    EXPECT_EQ(0u, c.emc.Seek(-20, ESLFileObject::FromCurrent));
    EXPECT_EQ(0u, c.emc.Seek(-1, ESLFileObject::FromBegin));
    uint8_t buf[16];
    EXPECT_EQ(10u, c.emc.Read(buf, 16));
    EXPECT_EQ(0, memcmp(buf, Pattern(10, 1).data(), 10));
}

TEST(EMCFileTest, AllOnesLengthRunsToTheEnd) {
    Bytes rest = RecordWithLength("AAAAAAAA", Bytes{1, 2, 3, 4, 5}, 0xFFFFFFFFFFFFFFFFull);
    Bytes all = FileHeader(0);
    Append(all, rest);
    Container c(all);
    ASSERT_EQ(0, c.emc.Open(&c.file, nullptr));
    ASSERT_EQ(0, c.emc.DescendRecord(nullptr));
    EXPECT_EQ(5u, c.emc.GetLength());
}

TEST(EMCFileTest, BadRecordLengthsAreRefused) {
    TraceRecorder trace;
    // High word set (but not all ones).
    Bytes all = FileHeader(0);
    Append(all, RecordWithLength("AAAAAAAA", Bytes{1}, 0x100000001ull));
    Container c1(all);
    ASSERT_EQ(0, c1.emc.Open(&c1.file, nullptr));
    EXPECT_NE(0, c1.emc.DescendRecord(nullptr));
    EXPECT_TRUE(trace.Contains("不正なレコード長です。\n"));

    // Longer than what is left of the file, both when entered and when skipped.
    Bytes all2 = FileHeader(0);
    Append(all2, RecordWithLength("AAAAAAAA", Bytes{1, 2}, 3));
    Container c2(all2);
    ASSERT_EQ(0, c2.emc.Open(&c2.file, nullptr));
    trace.Clear();
    EXPECT_NE(0, c2.emc.DescendRecord(nullptr));
    EXPECT_TRUE(trace.Contains("不正なレコード長です。\n"));
    c2.emc.Seek(0, ESLFileObject::FromBegin);
    EXPECT_NE(0, c2.emc.DescendRecord("BBBBBBBB"));

    // A nested record may not reach past its parent either.
    Bytes all3 = FileHeader(0);
    Bytes inner = RecordWithLength("CCCCCCCC", Bytes{1, 2, 3, 4}, 8);
    Append(all3, Record("BBBBBBBB", inner));
    Append(all3, Bytes(8, 0xEE));
    Container c3(all3);
    ASSERT_EQ(0, c3.emc.Open(&c3.file, nullptr));
    ASSERT_EQ(0, c3.emc.DescendRecord("BBBBBBBB"));
    EXPECT_NE(0, c3.emc.DescendRecord(nullptr));
}

TEST(EMCFileTest, HeaderFaultsFailTheOpen) {
    TraceRecorder trace;
    Bytes good = SampleContainer();
    {
        Container c(Bytes(good.begin(), good.begin() + 63));
        EXPECT_NE(0, c.emc.Open(&c.file, nullptr));
        EXPECT_TRUE(trace.Contains("ファイルヘッダの読み込みに失敗しました。\n"));
    }
    for (int at : {0, 4, 5, 7, 12, 15}) {
        trace.Clear();
        Bytes bad = good;
        bad[at] ^= 0x40;
        Container c(bad);
        EXPECT_NE(0, c.emc.Open(&c.file, nullptr)) << at;
        EXPECT_TRUE(trace.Contains("不正なファイルヘッダです。\n")) << at;
    }
    // The file ID and the description are not examined.
    Bytes other = good;
    other[8] ^= 0xFF;
    other[20] ^= 0xFF;
    Container c(other);
    EXPECT_EQ(0, c.emc.Open(&c.file, nullptr));
}

TEST(EMCFileTest, DuplicateReadsTheSameRecordIndependently) {
    Container c(SampleContainer());
    ASSERT_EQ(0, c.emc.Open(&c.file, nullptr));
    ASSERT_EQ(0, c.emc.DescendRecord("AAAAAAAA"));
    c.emc.Seek(4, ESLFileObject::FromBegin);
    ESLFileObject* copy = c.emc.Duplicate();
    ASSERT_NE(nullptr, copy);
    EXPECT_TRUE(copy->IsKindOf("EMCFile"));
    EXPECT_EQ(10u, copy->GetLength());
    EXPECT_EQ(4u, copy->GetPointer());
    uint8_t a[16], b[16];
    EXPECT_EQ(6u, copy->Read(a, 16));
    EXPECT_EQ(4u, c.emc.GetPointer());
    EXPECT_EQ(6u, c.emc.Read(b, 16));
    EXPECT_EQ(0, memcmp(a, b, 6));
    delete copy;
}

TEST(EMCFileTest, ShortWritesAreReported) {
    TraceRecorder trace;
    EMCFileHeader h;
    EMCFile::SetFileHeader(&h, 0x02000400u, nullptr);
    {
        LimitedFile file(63);
        ASSERT_EQ(0, file.Create(0));
        EMCFile emc;
        EXPECT_NE(0, emc.Open(&file, &h));
        EXPECT_TRUE(trace.Contains("ファイルヘッダの書き出しに失敗しました。\n"));
    }
    {
        trace.Clear();
        LimitedFile file(64 + 8);
        ASSERT_EQ(0, file.Create(0));
        EMCFile emc;
        ASSERT_EQ(0, emc.Open(&file, &h));
        EXPECT_NE(0, emc.DescendRecord("AAAAAAAA"));
        EXPECT_TRUE(trace.Contains("レコードヘッダの書き出しに失敗しました。\n"));
        EXPECT_NE(0, emc.GetWriteResult());
    }
}

}  // namespace

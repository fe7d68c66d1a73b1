#include <gtest/gtest.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "esl/file.h"

namespace fs = std::filesystem;

namespace {

// A fresh directory under the system's temporary directory per test.
class TempDir : public ::testing::Test {
protected:
    void SetUp() override {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = fs::temp_directory_path() / (std::string("esl_file_") + info->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::string Path(const char* name) const { return (dir / name).string(); }
    static void WriteFile(const std::string& path, const std::string& data) {
        std::ofstream(path, std::ios::binary) << data;
    }
    static std::string ReadFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    fs::path dir;
};

// Restores the working directory when it goes.
struct WorkingDirectory {
    explicit WorkingDirectory(const fs::path& to) : saved(fs::current_path()) { fs::current_path(to); }
    ~WorkingDirectory() { fs::current_path(saved); }
    fs::path saved;
};

using RawFile = TempDir;

TEST_F(RawFile, CreateWriteReadBack) {
    std::string path = Path("data.bin");
    ERawFile f;
    EXPECT_FALSE(f.IsOpen());
    ASSERT_EQ(f.Open(path.c_str(), ESLFileObject::modeCreate | ESLFileObject::modeRead | ESLFileObject::modeWrite),
              eslResultSuccess);
    EXPECT_EQ(f.GetAttributes(), 7u);
    EXPECT_EQ(f.Write("hello world", 11), 11u);
    EXPECT_EQ(f.GetLength(), 11u);
    EXPECT_EQ(f.GetPointer(), 11u);
    EXPECT_EQ(f.Seek(-5, ESLFileObject::FromEnd), 6u);
    char buf[16] = {};
    EXPECT_EQ(f.Read(buf, sizeof buf), 5u);
    EXPECT_STREQ(buf, "world");
    EXPECT_EQ(f.Read(buf, sizeof buf), 0u);  // at the end
    EXPECT_EQ(f.Seek(-1, ESLFileObject::FromBegin), 0xFFFFFFFFu);
    f.Close();
    EXPECT_EQ(ReadFile(path), "hello world");
    EXPECT_EQ(f.GetAttributes(), 7u);  // Close keeps the mode
}

TEST_F(RawFile, CreateTruncatesAndWriteOnlyCannotRead) {
    std::string path = Path("old.bin");
    WriteFile(path, "previous contents");
    ERawFile f;
    ASSERT_EQ(f.Open(path.c_str(), 5), eslResultSuccess);
    EXPECT_EQ(f.GetLength(), 0u);
    char c;
    EXPECT_EQ(f.Read(&c, 1), 0u);
    EXPECT_EQ(f.Write("new", 3), 3u);
    f.Close();
    EXPECT_EQ(ReadFile(path), "new");
}

TEST_F(RawFile, MissingFileLeavesItClosed) {
    ERawFile f;
    std::string good = Path("good.txt");
    WriteFile(good, "x");
    ASSERT_EQ(f.Open(good.c_str(), ESLFileObject::modeRead), eslResultSuccess);
    EString before(f.GetPath());

    std::string missing = Path("missing.txt");
    EXPECT_EQ(f.Open(missing.c_str(), ESLFileObject::modeRead), eslResultGeneral);
    EXPECT_EQ(f.GetAttributes(), 0u);
    EXPECT_FALSE(f.IsOpen());
    EXPECT_STREQ(f.GetPath(), before);  // the last successful path stays
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_EQ(f.Open(nullptr, ESLFileObject::modeRead), eslResultGeneral);
    EXPECT_EQ(f.Open(dir.string().c_str(), ESLFileObject::modeRead), eslResultGeneral);  // a directory

    // A closed file answers with its failure values.
    char c;
    EXPECT_EQ(f.Read(&c, 1), 0u);
    EXPECT_EQ(f.Write(&c, 1), 0u);
    EXPECT_EQ(f.GetLength(), 0xFFFFFFFFu);
    EXPECT_EQ(f.Seek(0, ESLFileObject::FromBegin), 0xFFFFFFFFu);
    EXPECT_EQ(f.SetEndOfFile(), eslResultGeneral);
}

TEST_F(RawFile, RelativeOpenStoresTheFullPathEvenWhenLong) {
    WorkingDirectory cwd(dir);
    WriteFile("short.txt", "s");
    ERawFile f;
    ASSERT_EQ(f.Open("short.txt", ESLFileObject::modeRead), eslResultSuccess);
    EXPECT_EQ(fs::path(f.GetPath().CharPtr()), fs::canonical(dir / "short.txt"));

    // Nest directories until the full path is over the 256 characters that
    // the first query has room for (Windows itself stops at 260).
#if defined(_WIN32)
    const size_t wanted = 258;
#else
    const size_t wanted = 320;
#endif
    fs::path deep = dir;
    std::string relative;
    const std::string part = "a_rather_long_directory_name";
    const size_t fileLength = std::string("/deep.txt").size();
    while (deep.string().size() + fileLength < wanted) {
        size_t room = wanted - fileLength - deep.string().size() - 1;
        std::string name = part.substr(0, std::min(part.size(), room));
        if (name.empty()) name = "x";
        deep /= name;
        relative += name + "/";
    }
    fs::create_directories(deep);
    relative += "deep.txt";
    WriteFile((deep / "deep.txt").string(), "d");
    ASSERT_EQ(f.Open(relative.c_str(), ESLFileObject::modeRead), eslResultSuccess);
    EXPECT_GT(f.GetPath().GetLength(), 256u);
    EXPECT_EQ(strlen(f.GetPath().CharPtr()), f.GetPath().GetLength());
    EXPECT_EQ(fs::path(f.GetPath().CharPtr()), fs::canonical(deep / "deep.txt"));
}

TEST_F(RawFile, DuplicateReopensReadersAndSharesWritersPointer) {
    std::string path = Path("dup.bin");
    WriteFile(path, "0123456789");
    ERawFile reader;
    ASSERT_EQ(reader.Open(path.c_str(), ESLFileObject::modeRead | ESLFileObject::shareRead), eslResultSuccess);
    char buf[4] = {};
    reader.Read(buf, 3);
    ESLFileObject* copy = reader.Duplicate();
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy->GetClassName(), "ERawFile");
    EXPECT_EQ(copy->GetAttributes(), reader.GetAttributes());
    EXPECT_EQ(copy->GetPointer(), 0u);  // its own pointer, from the start
    EXPECT_EQ(copy->Read(buf, 2), 2u);
    EXPECT_EQ(std::string(buf, 2), "01");
    EXPECT_EQ(reader.GetPointer(), 3u);
    delete copy;
    reader.Close();  // it does not share writing

    // A reader that cannot be opened again gives no copy: on Windows because
    // it shares nothing, elsewhere because its name is gone.
    ERawFile alone;
    ASSERT_EQ(alone.Open(path.c_str(), ESLFileObject::modeRead), eslResultSuccess);
#if !defined(_WIN32)
    const std::string moved = path + ".moved";
    ASSERT_EQ(rename(path.c_str(), moved.c_str()), 0);
#endif
    EXPECT_EQ(alone.Duplicate(), nullptr);
    alone.Close();
#if !defined(_WIN32)
    ASSERT_EQ(rename(moved.c_str(), path.c_str()), 0);
#endif

    ERawFile writer;
    ASSERT_EQ(writer.Open(path.c_str(), 5), eslResultSuccess);
    writer.Write("abc", 3);
    ESLFileObject* shared = writer.Duplicate();
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(shared->GetPointer(), 3u);
    EXPECT_EQ(shared->Write("de", 2), 2u);
    EXPECT_EQ(writer.GetPointer(), 5u);  // one pointer for both
    delete shared;
    writer.Close();
    EXPECT_EQ(ReadFile(path), "abcde");

    ESLFileObject* closedCopy = writer.Duplicate();  // of a closed file: a closed copy
    ASSERT_NE(closedCopy, nullptr);
    EXPECT_EQ(closedCopy->GetLength(), 0xFFFFFFFFu);
    delete closedCopy;
}

TEST_F(RawFile, SetEndOfFileCutsAtThePointer) {
    std::string path = Path("cut.bin");
    ERawFile f;
    ASSERT_EQ(f.Open(path.c_str(), 7), eslResultSuccess);
    f.Write("0123456789", 10);
    f.Seek(4, ESLFileObject::FromBegin);
    EXPECT_EQ(f.SetEndOfFile(), eslResultSuccess);
    EXPECT_EQ(f.GetLength(), 4u);
    f.Close();
    EXPECT_EQ(ReadFile(path), "0123");
}

// Exposes the capacity of a memory file.
class ProbeMemoryFile : public EMemoryFile {
public:
    uint32_t capacity() const { return m_capacity; }
};

TEST(MemoryFile, AttachedBlockIsReadOnly) {
    unsigned char block[100];
    for (int i = 0; i < 100; ++i)
        block[i] = static_cast<unsigned char>(i);
    EMemoryFile f;
    ASSERT_EQ(f.Open(block, 100), eslResultSuccess);
    EXPECT_EQ(f.GetAttributes(), 2u);
    EXPECT_EQ(f.GetLength(), 100u);
    EXPECT_EQ(f.Seek(60, ESLFileObject::FromBegin), 60u);
    unsigned char dst[64];
    EXPECT_EQ(f.Read(dst, 50), 40u);
    EXPECT_EQ(dst[0], 60);
    EXPECT_EQ(dst[39], 99);
    EXPECT_EQ(f.Read(dst, 50), 0u);
    EXPECT_EQ(f.Seek(500, ESLFileObject::FromBegin), 500u);
    EXPECT_EQ(f.GetLength(), 100u);

    // Writing into the caller's block is refused.
    f.Seek(0, ESLFileObject::FromBegin);
    unsigned char junk[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(f.Write(junk, 8), 0u);
    EXPECT_EQ(block[0], 0);
    EXPECT_EQ(f.GetPointer(), 0u);

    // Its end may move inside the block, never past it.
    f.Seek(500, ESLFileObject::FromBegin);
    EXPECT_EQ(f.SetEndOfFile(), eslResultGeneral);
    EXPECT_EQ(f.GetLength(), 100u);
    f.Seek(30, ESLFileObject::FromBegin);
    EXPECT_EQ(f.SetEndOfFile(), eslResultSuccess);
    EXPECT_EQ(f.GetLength(), 30u);

    f.Close();
    EXPECT_EQ(f.GetAttributes(), 0u);
    EXPECT_EQ(f.GetBlock(), nullptr);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(block[i], i);
    EXPECT_EQ(f.Open(nullptr, 10), eslResultInvalidParameter);
}

TEST(MemoryFile, OwningFileGrowsAndSeeks) {
    ProbeMemoryFile f;
    ASSERT_EQ(f.Create(0), eslResultSuccess);
    EXPECT_EQ(f.GetAttributes(), 7u);
    EXPECT_EQ(f.Write("0123456789", 10), 10u);
    EXPECT_EQ(f.GetLength(), 10u);
    EXPECT_EQ(f.GetPointer(), 10u);
    EXPECT_EQ(f.capacity(), 4096u);

    EXPECT_EQ(f.Seek(-20, ESLFileObject::FromCurrent), 0u);
    EXPECT_EQ(f.Seek(30, ESLFileObject::FromBegin), 30u);
    EXPECT_EQ(f.GetLength(), 30u);
    EXPECT_EQ(f.Seek(5, 7), 30u);
    EXPECT_EQ(f.Seek(-2, ESLFileObject::FromEnd), 28u);
    f.Seek(4, ESLFileObject::FromBegin);
    EXPECT_EQ(f.SetEndOfFile(), eslResultSuccess);
    EXPECT_EQ(f.GetLength(), 4u);

    // Growth: end of the write plus its size again, in 4096 steps.
    std::vector<unsigned char> big(5000, 0x42);
    f.Seek(0, ESLFileObject::FromEnd);
    EXPECT_EQ(f.Write(big.data(), 5000), 5000u);
    EXPECT_EQ(f.capacity(), 12288u);  // 5004 + 5000 rounded up
    unsigned char back[8];
    f.Seek(0, ESLFileObject::FromBegin);
    EXPECT_EQ(f.Read(back, 8), 8u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(back), 4), "0123");
    EXPECT_EQ(back[4], 0x42);

    // Reads never run past the length, whatever was asked for.
    f.Seek(-3, ESLFileObject::FromEnd);
    std::vector<unsigned char> sink(16);
    EXPECT_EQ(f.Read(sink.data(), 0xFFFFFFFFu), 3u);
}

TEST(MemoryFile, SeekPastTheBlockStaysInside) {
    ProbeMemoryFile f;
    ASSERT_EQ(f.Create(16), eslResultSuccess);
    f.Write("abcd", 4);
    EXPECT_EQ(f.Seek(100000, ESLFileObject::FromBegin), 100000u);
    EXPECT_EQ(f.GetLength(), 100000u);
    EXPECT_EQ(f.capacity(), 16u);  // no memory yet for the gap

    // The gap reads as zeros; nothing beyond the block is touched.
    std::vector<unsigned char> all(100000, 0xFF);
    f.Seek(0, ESLFileObject::FromBegin);
    EXPECT_EQ(f.Read(all.data(), 100000), 100000u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(all.data()), 4), "abcd");
    for (size_t i = 16; i < all.size(); ++i)
        ASSERT_EQ(all[i], 0) << i;

    // A duplicate of such a file copies the stored part and zeros.
    ESLFileObject* copy = f.Duplicate();
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->GetLength(), 100000u);
    std::vector<unsigned char> dup(100000, 0xFF);
    EXPECT_EQ(copy->Read(dup.data(), 100000), 100000u);
    EXPECT_EQ(dup, all);
    delete copy;

    // A write beyond the block grows it to cover the write.
    f.Seek(100000, ESLFileObject::FromBegin);
    EXPECT_EQ(f.Write("xyz", 3), 3u);
    EXPECT_GE(f.capacity(), 100003u);
    EXPECT_EQ(f.GetLength(), 100003u);
    f.Seek(99999, ESLFileObject::FromBegin);
    char tail[4] = {};
    EXPECT_EQ(f.Read(tail, 4), 4u);
    EXPECT_EQ(std::string(tail, 4), std::string("\0xyz", 4));
}

TEST(MemoryFile, ImpossibleGrowthGivesShortCounts) {
    ProbeMemoryFile f;
    EXPECT_EQ(f.Create(0x40000000u), eslResultGeneral);  // the heap cannot serve 1 GiB
    EXPECT_EQ(f.GetBlock(), nullptr);
    EXPECT_EQ(f.GetAttributes(), 0u);
    EXPECT_EQ(f.Create(0xFFFFFFFFu), eslResultGeneral);
    char c = 'c';
    EXPECT_EQ(f.Write(&c, 1), 0u);  // closed

    ASSERT_EQ(f.Create(4096), eslResultSuccess);
    // Near the end of the block, a write whose end cannot be served writes
    // what fits and says so. Only the bytes that fit are read from src.
    unsigned char src[96];
    memset(src, 0x5A, sizeof src);
    f.Seek(4000, ESLFileObject::FromBegin);
    EXPECT_EQ(f.Write(src, 0x7FFFFFFFu), 96u);
    EXPECT_EQ(f.GetPointer(), 4096u);
    EXPECT_EQ(f.GetLength(), 4096u);
    EXPECT_EQ(f.capacity(), 4096u);

    // Far past the block: nothing fits, nothing is written.
    EXPECT_EQ(f.Seek(0x7FFFFF00, ESLFileObject::FromBegin), 0x7FFFFF00u);
    EXPECT_EQ(f.Write(src, 96), 0u);
    EXPECT_EQ(f.GetPointer(), 0x7FFFFF00u);
    // Positions saturate instead of wrapping.
    EXPECT_EQ(f.Seek(0x7FFFFFFF, ESLFileObject::FromCurrent), 0x7FFFFFFFu);
    EXPECT_EQ(f.Write(src, 0xFFFFFFFFu), 0u);
    unsigned char out[4];
    f.Seek(4094, ESLFileObject::FromBegin);
    EXPECT_EQ(f.Read(out, 4), 4u);
    EXPECT_EQ(out[0], 0x5A);
    EXPECT_EQ(out[1], 0x5A);
    EXPECT_EQ(out[2], 0);  // the gap beyond the block
}

TEST(MemoryFile, DuplicateOwnsACopyFromTheStart) {
    unsigned char block[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    EMemoryFile attached;
    attached.Open(block, 10);
    attached.Seek(7, ESLFileObject::FromBegin);
    ESLFileObject* copy = attached.Duplicate();
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->GetAttributes(), 7u);
    EXPECT_EQ(copy->GetPointer(), 0u);
    EXPECT_EQ(copy->GetLength(), 10u);
    EXPECT_EQ(copy->Write("\xFF", 1), 1u);  // the copy is writable
    unsigned char out[10];
    copy->Seek(0, ESLFileObject::FromBegin);
    EXPECT_EQ(copy->Read(out, 10), 10u);
    EXPECT_EQ(out[0], 0xFF);
    EXPECT_EQ(out[9], 10);
    EXPECT_EQ(block[0], 1);
    EXPECT_NE(static_cast<EMemoryFile*>(copy)->GetBlock(), block);
    delete copy;
}

// The base class cannot cut a stream.
class NullStream : public ESLFileObject {
public:
    ESLFileObject* Duplicate() override { return nullptr; }
    uint32_t Read(void*, uint32_t) override { return 0; }
    uint32_t Write(const void*, uint32_t) override { return 0; }
    uint32_t GetLength() override { return 0; }
    uint32_t Seek(int32_t, int) override { return 0; }
    uint32_t GetPointer() override { return 0; }
};

TEST(FileObject, BaseSetEndOfFileIsNotSupported) {
    NullStream s;
    EXPECT_EQ(s.SetEndOfFile(), eslResultGeneral);
    EXPECT_EQ(s.GetAttributes(), 0u);
    s.Lock();
    s.Lock();  // re-entrant
    s.Unlock();
    s.Unlock();
}

// Exposes the block chain.
class ProbeBuffer : public EStreamBuffer {
public:
    int blocks() const {
        int n = 0;
        for (Block* b = m_first; b; b = b->next)
            ++n;
        return n;
    }
    uint32_t lastCapacity() const { return m_last ? m_last->capacity : 0; }
    uint32_t firstCapacity() const { return m_first ? m_first->capacity : 0; }
};

TEST(StreamBuffer, ReusesTheLastBlock) {
    ProbeBuffer b;
    void* first = b.PutBuffer(65536);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(b.blocks(), 1);
    EXPECT_EQ(b.lastCapacity(), 65536u);
    memset(first, 1, 65536);
    EXPECT_EQ(b.PutBuffer(65536), first);
    EXPECT_EQ(b.PutBuffer(100), first);
    EXPECT_EQ(b.blocks(), 1);

    void* second = b.PutBuffer(70000);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first);
    EXPECT_EQ(b.blocks(), 2);
    EXPECT_EQ(b.lastCapacity(), 73728u);
    EXPECT_EQ(b.firstCapacity(), 65536u);
    memset(second, 2, 70000);

    // What the heap cannot serve gives null and leaves the chain alone.
    EXPECT_EQ(b.PutBuffer(0x40000000u), nullptr);
    EXPECT_EQ(b.PutBuffer(0xFFFFFFFFu), nullptr);
    EXPECT_EQ(b.blocks(), 2);

    b.Clear();
    EXPECT_EQ(b.blocks(), 0);
    EXPECT_NE(b.PutBuffer(0), nullptr);  // even an empty request gets an area
    EXPECT_EQ(b.lastCapacity(), 4096u);
}

}  // namespace

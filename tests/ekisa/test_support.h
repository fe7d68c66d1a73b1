// Byte builders for hand-made containers and archives, a trace recorder and
// file objects that misbehave on purpose.
#pragma once

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "ekisa/ekisa_archive.h"

namespace ekisatest {

typedef std::vector<uint8_t> Bytes;

void PutU16(Bytes& b, uint16_t v);
void PutU32(Bytes& b, uint32_t v);
void PutU64(Bytes& b, uint64_t v);
void PutText(Bytes& b, const std::string& text);  // without terminator
void Append(Bytes& b, const Bytes& more);
uint32_t GetU32(const Bytes& b, size_t at);
uint64_t GetU64(const Bytes& b, size_t at);

// 64-byte file header; the last 16 bytes hold ID 0 and the length of the rest.
Bytes FileHeader(uint64_t restLength, uint32_t fileID = 0x02000400u);
// A 16-byte record header and its data; length defaults to the data's size.
Bytes Record(const char* id, const Bytes& data);
Bytes RecordWithLength(const char* id, const Bytes& data, uint64_t length);

// Pseudo-random content that differs per seed.
Bytes Pattern(size_t length, uint32_t seed);

// One directory entry as stored; the name is stored with its terminator.
struct EntrySpec {
    std::string name;
    uint64_t fileSize = 0;
    uint32_t attribute = 0;
    uint32_t encodeType = 0;
    uint64_t dataPosition = 0;
    EKISAFileTime time = {47, 10, 14, 4, 11, 11, 2004};
    Bytes extra;
};
Bytes DirectoryData(const std::vector<EntrySpec>& entries);

// A directory level: files (raw or given coded record data) and subfolders.
struct LevelSpec {
    struct Item {
        EntrySpec entry;
        Bytes recordData;               // data record content for files
        std::shared_ptr<LevelSpec> sub;  // non-null for folders
    };
    std::vector<Item> items;

    LevelSpec& File(const std::string& name, const Bytes& content);
    // A file whose data record holds `record` and whose entry says `size` and `type`.
    LevelSpec& Coded(const std::string& name, uint32_t type, uint64_t size, const Bytes& record);
    LevelSpec& Folder(const std::string& name, const LevelSpec& sub);
};
// Content of a level's record: its DirEntry record, then the data records,
// with every data position filled in.
Bytes LevelBytes(const LevelSpec& level);
Bytes ArchiveBytes(const LevelSpec& root);

// Collects eslTrace output while alive.
class TraceRecorder {
public:
    TraceRecorder();
    ~TraceRecorder();
    const std::string& Text() const;
    bool Contains(const char* message) const;
    void Clear();
};

// An archive opened on a copy of some bytes.
class MemoryArchive {
public:
    explicit MemoryArchive(const Bytes& bytes);
    ESLResult Open();
    EKISAArchive& archive() { return m_archive; }
    Bytes& bytes() { return m_bytes; }

private:
    Bytes m_bytes;
    EMemoryFile m_file;
    EKISAArchive m_archive;
};

// Reads the open entry in chunks of `chunk` bytes until a short one, and
// records each count.
Bytes ReadAll(ESLFileObject& file, uint32_t chunk, std::vector<uint32_t>* counts = nullptr);

// Builds an archive in memory with the create-mode protocol.
struct CreateItem {
    std::string name;
    uint32_t encodeType = 0;
    Bytes content;
    std::vector<CreateItem> children;  // folder when non-empty or folder is set
    bool folder = false;
};
// Writes content in Write calls of `piece` bytes; returns false if any
// protocol step failed. password applies to the BSHF types, codeFlags to the
// EKISA coder.
bool CreateArchive(const std::vector<CreateItem>& root, Bytes* out, const char* password = nullptr,
                   uint32_t piece = 65536, uint32_t codeFlags = 1);

// A memory file that accepts only `budget` more bytes of writes.
class LimitedFile : public EMemoryFile {
public:
    explicit LimitedFile(uint32_t budget) : m_budget(budget) {}
    uint32_t Write(const void* src, uint32_t bytes) override;

private:
    uint32_t m_budget;
};

Bytes FileBytes(EMemoryFile& file);

}  // namespace ekisatest

// EMC container: a 64-byte file header followed by a tree of tagged records.
// An EMCFile stands inside one record at a time and presents that record's
// data as if it were the whole file.
#pragma once

#include "esl/file.h"

// The 64-byte file header, held in memory field by field. It is read and
// written byte by byte in little-endian order (see emc_file.cpp).
struct EMCFileHeader {
    enum { kSize = 64, kDescriptionSize = 48 };
    uint8_t magic[8];
    uint32_t fileID;
    uint32_t reserved;
    char description[kDescriptionSize];

    void Serialize(uint8_t out[kSize]) const;
    void Deserialize(const uint8_t in[kSize]);
};

const uint32_t emcFileIDArchive = 0x02000400u;
const uint32_t emcFileIDImage = 0x03000100u;
const uint32_t emcFileIDSurface = 0x03001100u;
const uint32_t emcFileIDModel = 0x03001200u;

// A record header: 8 raw ID bytes and the 64-bit data length.
struct EMCRecordHeader {
    enum { kSize = 16 };
    uint8_t id[8];
    uint64_t length;

    void Serialize(uint8_t out[kSize]) const;
    void Deserialize(const uint8_t in[kSize]);
};

// Length value meaning "up to the end of the enclosing data".
const uint64_t emcRecordToEnd = 0xFFFFFFFFFFFFFFFFull;

// One entered record, innermost first.
struct EMCRecord {
    EMCRecord* parent;
    int create;     // 1 when written in create mode: its header is rewritten on leaving
    uint32_t base;  // absolute position of the first data byte in the underlying file
    EMCRecordHeader header;
};

class EMCFile : public ESLFileObject {
    ESL_DECLARE_CLASS(EMCFile, ESLFileObject)
public:
    EMCFile();
    ~EMCFile() override;

    // Fills header with the magic, fileID, a zero reserved field and the
    // description (the file type's default one when null; at most 41 bytes).
    static void SetFileHeader(EMCFileHeader* header, uint32_t fileID, const char* description);

    // Create mode when file has modeCreate and header is non-null; reading otherwise.
    ESLResult Open(ESLFileObject* file, const EMCFileHeader* header);
    void Close();

    ESLFileObject* Duplicate() override;
    uint32_t Read(void* dst, uint32_t bytes) override;
    uint32_t Write(const void* src, uint32_t bytes) override;
    uint32_t GetLength() override;
    uint32_t Seek(int32_t offset, int method) override;
    uint32_t GetPointer() override;
    ESLResult SetEndOfFile() override;

    // id points to 8 bytes; null (reading only) enters the next record whatever its ID.
    virtual ESLResult DescendRecord(const char* id);
    virtual ESLResult AscendRecord();

    bool IsOpen() const { return m_file != nullptr; }
    bool IsCreateMode() const { return (m_attributes & modeCreate) != 0; }
    ESLFileObject* GetUnderlyingFile() const { return m_file; }
    const EMCFileHeader& GetFileHeader() const { return m_header; }
    const EMCRecord* GetCurrentRecord() const { return m_record; }
    // Non-zero once a header, directory or checksum write came up short in
    // create mode; such a container is incomplete even if Close returns.
    ESLResult GetWriteResult() const { return m_writeFailed ? eslResultGeneral : eslResultSuccess; }

protected:
    // Absolute position in the underlying file, widened so that a failed
    // query (0xFFFFFFFF) or a position before the record cannot wrap.
    uint64_t UnderlyingPosition();
    // Moves to relative position t of the current record (bounded as Seek).
    uint32_t SeekRecord(int64_t target);
    uint32_t CutToRecord(uint32_t bytes);
    void PushRecord(EMCRecord* record);
    void PopRecord();
    void DeleteRecords();
    // Writes all bytes through the underlying file; false (and the write
    // failure noted) on a short write.
    bool WriteUnderlying(const void* src, uint32_t bytes);

    ESLFileObject* m_file;
    EMCRecord* m_record;
    EMCFileHeader m_header;
    bool m_ownsFile;  // only a duplicate owns (and deletes) its duplicated file
    bool m_writeFailed;
};

// Reads and writes of little-endian numbers in byte buffers.
inline uint32_t emcGetU32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t emcGetU64(const uint8_t* p) { return uint64_t(emcGetU32(p)) | uint64_t(emcGetU32(p + 4)) << 32; }
inline void emcPutU32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}
inline void emcPutU64(uint8_t* p, uint64_t v) {
    emcPutU32(p, uint32_t(v));
    emcPutU32(p + 4, uint32_t(v >> 32));
}

// EKISA archive: an EMC container with a directory of named entries. Once an
// entry is open the archive object itself is that entry's byte stream.
#pragma once

#include "ekisa/emc_file.h"

class EKISADecodeContext;
class EKISAEncodeContext;

// Time stamp of an entry, carried but never interpreted.
struct EKISAFileTime {
    uint8_t second;
    uint8_t minute;
    uint8_t hour;
    uint8_t dayOfWeek;  // 0 = Sunday
    uint8_t day;
    uint8_t month;
    uint16_t year;
};

const uint32_t attrDirectory = 0x10;

const uint32_t ekisaEncodeRaw = 0x00000000u;
const uint32_t ekisaEncodeCode = 0x80000010u;
const uint32_t ekisaEncodeBshfCrypt = 0x40000000u;
const uint32_t ekisaEncodeCrypt = 0xC0000010u;

struct EKISAEncodeKeyword {
    const char* keyword;
    uint32_t encodeType;
};
// "raw", "ekisa_code", "bshf_crypt", "ekisa_crypt", in that order.
extern const EKISAEncodeKeyword ekisaEncodeKeywords[4];
// The keyword of an encode type, or null for an invalid one.
const char* ekisaGetEncodeKeyword(uint32_t encodeType);
// False when the keyword names no encode type.
bool ekisaFindEncodeType(const char* keyword, uint32_t* encodeType);

// One directory entry (a plain record, not a library object).
struct EKISAFileEntry {
    uint64_t fileSize;
    uint32_t attribute;
    uint32_t encodeType;
    uint64_t dataPosition;
    EKISAFileTime fileTime;
    uint32_t extraLength;
    uint8_t* extraData;
    uint32_t nameLength;  // including the terminating zero
    char* name;

    enum { kFixedSize = 40 };  // bytes of an entry in a directory record with no extra data or name

    EKISAFileEntry();
    ~EKISAFileEntry();
    EKISAFileEntry(const EKISAFileEntry&) = delete;
    EKISAFileEntry& operator=(const EKISAFileEntry&) = delete;

    // Both return false (leaving the field empty) when memory runs out.
    bool SetExtraInfo(const void* bytes, uint32_t length);
    bool SetName(const char* text);
    bool CopyFrom(const EKISAFileEntry& other);
    bool IsDirectory() const { return (attribute & attrDirectory) != 0; }
};

// A list that owns its entries (deleted last to first).
class EKISAEntryList : public EOwnedPtrArray<EKISAFileEntry> {
public:
    // Appends copies of the other list's non-null entries; false if memory ran out.
    bool CopyEntries(const EKISAEntryList& list);
    // First entry whose name matches (ASCII letters in either case), or null.
    EKISAFileEntry* FindEntry(const char* name) const;
    static bool NamesMatch(const char* entryName, const char* wanted);
};

// One level of the archive's directory stack.
class EKISADirectory : public EKISAEntryList {
public:
    EKISADirectory(EKISADirectory* parent, int writeBack) : m_parent(parent), m_writeBack(writeBack) {}
    EKISADirectory* GetParent() const { return m_parent; }
    int GetWriteBack() const { return m_writeBack; }

private:
    friend class EKISAArchive;
    EKISADirectory* m_parent;  // not owned
    int m_writeBack;           // 1: written again when the level is left (create mode)
};

class EKISAArchive : public EMCFile {
    ESL_DECLARE_CLASS(EKISAArchive, EMCFile)
public:
    EKISAArchive();
    ~EKISAArchive() override;

    // rootListing is needed (and used) only when file has modeCreate.
    ESLResult Open(ESLFileObject* file, EKISAEntryList* rootListing);
    void Close();
    ESLResult ReadDirectory();
    ESLResult WriteDirectory();

    ESLResult DescendFile(const char* name, const char* password, int streaming);
    ESLResult AscendFile();
    ESLResult OpenFile(const char* path, const char* password, int streaming);
    ESLResult ChangeDirectory(const char* path);
    ESLResult DescendDirectory(const char* name, EKISAEntryList* listing);
    ESLResult AscendDirectory();

    ESLFileObject* Duplicate() override;
    uint32_t Read(void* dst, uint32_t bytes) override;
    uint32_t Write(const void* src, uint32_t bytes) override;
    uint32_t GetLength() override;
    uint32_t Seek(int32_t offset, int method) override;
    uint32_t GetPointer() override;

    // Called after each piece of whole-entry decoding; non-zero aborts.
    virtual ESLResult OnDecodeProgress(uint32_t done, uint32_t total);

    // The EKISA coder's flags for the coded entries written from now on
    // (EKISAEncodeContext::searchPhrase by default; parseBest for smaller
    // entries that any reader decodes alike).
    void SetEKISACodeFlags(uint32_t flags) { m_codeFlags = flags; }

    EKISADirectory* GetCurrentLevel() const { return m_level; }
    EKISAFileEntry* GetOpenEntry() const { return m_openEntry; }
    // True at the top of the tree: the root level, or below it.
    bool IsAtRoot() const { return m_level == nullptr || IsRootLevel(m_level); }

protected:
    bool IsRootLevel(const EKISADirectory* level) const;
    bool PushLevel(EKISADirectory* level);
    void PopLevel();
    void DeleteCoders();
    // A decoder for the next entry: the spare one, made ready for a new
    // stream, or a new one.
    EKISADecodeContext* TakeDecoder(EKISADecodeContext*& spare);
    // Checks that an entry's data record header lies inside the current record.
    bool DataPositionValid(const EKISAFileEntry* entry, const char* name);
    ESLResult DescendFileForWriting(EKISAFileEntry* entry, const char* name, const char* password);
    ESLResult DecodeWholeEntry(EKISAFileEntry* entry);
    bool ChecksumMatchesRecord();
    void AddToChecksum(const uint8_t* bytes, uint32_t count, uint8_t* checksum, uint32_t* index);

    EKISADirectory* m_level;
    EKISAFileEntry* m_openEntry;
    EKISADecodeContext* m_ekisaDecoder;
    EKISADecodeContext* m_bshfDecoder;
    // Decoders of closed entries, kept for the next coded entry until the
    // archive object is destroyed (across Close and Open too): setting up a
    // context's tables costs more than decoding a short entry.
    EKISADecodeContext* m_spareEkisaDecoder;
    EKISADecodeContext* m_spareBshfDecoder;
    EMemoryFile* m_decodedFile;
    EKISAEncodeContext* m_ekisaEncoder;
    EKISAEncodeContext* m_bshfEncoder;
    uint32_t m_streamPosition;
    uint8_t m_checksum[4];
    uint32_t m_checksumIndex;
    uint32_t m_codeFlags;
};

#include "ekisa/ekisa_archive.h"

#include <string.h>

#include <string>

#include "ekisa/decode_context.h"
#include "ekisa/encode_context.h"
#include "esl/memory.h"

namespace {

const char kDirEntryID[8] = {'D', 'i', 'r', 'E', 'n', 't', 'r', 'y'};
const char kFileDataID[8] = {'f', 'i', 'l', 'e', 'd', 'a', 't', 'a'};

// Buffer sizes the coders are built with.
const uint32_t kDecodeBuffer = 0x10000;
const uint32_t kEncodeBuffer = 0x4000;
// Whole-entry decoding works in pieces of this size.
const uint32_t kDecodePiece = 0x4000;

const char* Printable(const char* name) { return name != nullptr ? name : ""; }

void TraceNotFound(const char* name) {
    eslTrace("\"%s\" は現在のディレクトリエントリには存在しません。\n", Printable(name));
}

bool IsKnownEncodeType(uint32_t type) {
    return type == ekisaEncodeRaw || type == ekisaEncodeCode || type == ekisaEncodeBshfCrypt ||
           type == ekisaEncodeCrypt;
}

// Index just past the last separator of path ('\' always, '/' too when
// withSlash); trail bytes of double-byte characters are never separators.
size_t DirectoryPartLength(const char* path, bool withSlash) {
    size_t cut = 0;
    for (size_t i = 0; path[i] != '\0';) {
        unsigned char c = static_cast<unsigned char>(path[i]);
        if (eslp::IsLeadByte(c) && path[i + 1] != '\0') {
            i += 2;
            continue;
        }
        if (c == '\\' || (withSlash && c == '/')) cut = i + 1;
        ++i;
    }
    return cut;
}

uint8_t* HeapCopy(const void* bytes, uint32_t length, uint32_t extra) {
    uint8_t* copy = static_cast<uint8_t*>(eslHeapAllocate(nullptr, length + extra, 0));
    if (copy != nullptr && length != 0) eslMoveMemory(copy, bytes, length);
    return copy;
}

// Serialised form of the fixed part of an entry.
void PutEntryFixed(uint8_t* out, const EKISAFileEntry& e) {
    emcPutU64(out, e.fileSize);
    emcPutU32(out + 8, e.attribute);
    emcPutU32(out + 12, e.encodeType);
    emcPutU64(out + 16, e.dataPosition);
    out[24] = e.fileTime.second;
    out[25] = e.fileTime.minute;
    out[26] = e.fileTime.hour;
    out[27] = e.fileTime.dayOfWeek;
    out[28] = e.fileTime.day;
    out[29] = e.fileTime.month;
    out[30] = uint8_t(e.fileTime.year);
    out[31] = uint8_t(e.fileTime.year >> 8);
}

void GetEntryFixed(const uint8_t* in, EKISAFileEntry& e) {
    e.fileSize = emcGetU64(in);
    e.attribute = emcGetU32(in + 8);
    e.encodeType = emcGetU32(in + 12);
    e.dataPosition = emcGetU64(in + 16);
    e.fileTime.second = in[24];
    e.fileTime.minute = in[25];
    e.fileTime.hour = in[26];
    e.fileTime.dayOfWeek = in[27];
    e.fileTime.day = in[28];
    e.fileTime.month = in[29];
    e.fileTime.year = uint16_t(in[30] | in[31] << 8);
}

const uint32_t kFixedFieldsSize = 32;  // up to and including the time stamp

}  // namespace

const EKISAEncodeKeyword ekisaEncodeKeywords[4] = {
    {"raw", ekisaEncodeRaw},
    {"ekisa_code", ekisaEncodeCode},
    {"bshf_crypt", ekisaEncodeBshfCrypt},
    {"ekisa_crypt", ekisaEncodeCrypt},
};

const char* ekisaGetEncodeKeyword(uint32_t encodeType) {
    for (const EKISAEncodeKeyword& k : ekisaEncodeKeywords) {
        if (k.encodeType == encodeType) return k.keyword;
    }
    return nullptr;
}

bool ekisaFindEncodeType(const char* keyword, uint32_t* encodeType) {
    if (keyword == nullptr) return false;
    for (const EKISAEncodeKeyword& k : ekisaEncodeKeywords) {
        if (strcmp(k.keyword, keyword) == 0) {
            *encodeType = k.encodeType;
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------
// EKISAFileEntry

EKISAFileEntry::EKISAFileEntry()
    : fileSize(0),
      attribute(0),
      encodeType(0),
      dataPosition(0),
      fileTime(),
      extraLength(0),
      extraData(nullptr),
      nameLength(0),
      name(nullptr) {}

EKISAFileEntry::~EKISAFileEntry() {
    eslHeapFree(nullptr, extraData, 0);
    eslHeapFree(nullptr, name, 0);
}

bool EKISAFileEntry::SetExtraInfo(const void* bytes, uint32_t length) {
    eslHeapFree(nullptr, extraData, 0);
    extraData = nullptr;
    extraLength = 0;
    if (length == 0) return true;
    extraData = HeapCopy(bytes, length, 0);
    if (extraData == nullptr) return false;
    extraLength = length;
    return true;
}

bool EKISAFileEntry::SetName(const char* text) {
    eslHeapFree(nullptr, name, 0);
    name = nullptr;
    nameLength = 0;
    if (text == nullptr) return true;
    uint32_t length = uint32_t(strlen(text)) + 1;
    name = reinterpret_cast<char*>(HeapCopy(text, length, 0));
    if (name == nullptr) return false;
    nameLength = length;
    return true;
}

bool EKISAFileEntry::CopyFrom(const EKISAFileEntry& other) {
    fileSize = other.fileSize;
    attribute = other.attribute;
    encodeType = other.encodeType;
    dataPosition = other.dataPosition;
    fileTime = other.fileTime;
    bool ok = true;
    if (other.extraLength != 0 && other.extraData != nullptr)
        ok = SetExtraInfo(other.extraData, other.extraLength) && ok;
    else
        SetExtraInfo(nullptr, 0);
    if (other.nameLength != 0 && other.name != nullptr)
        ok = SetName(other.name) && ok;
    else
        SetName(nullptr);
    return ok;
}

// ---------------------------------------------------------------------------
// EKISAEntryList

bool EKISAEntryList::CopyEntries(const EKISAEntryList& list) {
    bool ok = true;
    for (unsigned i = 0; i < list.GetSize(); ++i) {
        const EKISAFileEntry* source = list.GetAt(i);
        if (source == nullptr) continue;
        EKISAFileEntry* entry = new EKISAFileEntry;
        ok = entry->CopyFrom(*source) && ok;
        Add(entry);
    }
    return ok;
}

bool EKISAEntryList::NamesMatch(const char* entryName, const char* wanted) {
    bool entryEmpty = entryName == nullptr || entryName[0] == '\0';
    bool wantedEmpty = wanted == nullptr || wanted[0] == '\0';
    if (entryEmpty || wantedEmpty) return entryEmpty && wantedEmpty;
    size_t i = 0;
    for (; entryName[i] != '\0'; ++i) {
        unsigned a = static_cast<unsigned char>(entryName[i]);
        unsigned b = static_cast<unsigned char>(wanted[i]);
        if (a >= 'a' && a <= 'z') a -= 0x20;
        if (b >= 'a' && b <= 'z') b -= 0x20;
        if (a != b) return false;
    }
    return wanted[i] == '\0';
}

EKISAFileEntry* EKISAEntryList::FindEntry(const char* name) const {
    for (unsigned i = 0; i < GetSize(); ++i) {
        EKISAFileEntry* entry = GetAt(i);
        if (entry != nullptr && NamesMatch(entry->name, name)) return entry;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// EKISAArchive: opening, closing and directories

EKISAArchive::EKISAArchive()
    : m_level(nullptr),
      m_openEntry(nullptr),
      m_ekisaDecoder(nullptr),
      m_bshfDecoder(nullptr),
      m_spareEkisaDecoder(nullptr),
      m_spareBshfDecoder(nullptr),
      m_decodedFile(nullptr),
      m_ekisaEncoder(nullptr),
      m_bshfEncoder(nullptr),
      m_streamPosition(0),
      m_checksum(),
      m_checksumIndex(0),
      m_codeFlags(EKISAEncodeContext::searchPhrase) {}

EKISAArchive::~EKISAArchive() {
    EKISAArchive::Close();
    delete m_spareEkisaDecoder;
    delete m_spareBshfDecoder;
}

bool EKISAArchive::IsRootLevel(const EKISADirectory* level) const {
    // Reading keeps an empty bottom level under the root; create mode does not.
    if (level->m_parent == nullptr) return true;
    return !IsCreateMode() && level->m_parent->m_parent == nullptr;
}

bool EKISAArchive::PushLevel(EKISADirectory* level) {
    if (level == nullptr) return false;  // no memory for the level
    level->m_parent = m_level;
    m_level = level;
    return true;
}

void EKISAArchive::PopLevel() {
    EKISADirectory* level = m_level;
    if (level == nullptr) return;
    m_level = level->m_parent;
    delete level;
}

namespace {

void KeepDecoder(EKISADecodeContext*& decoder, EKISADecodeContext*& spare) {
    if (spare == nullptr)
        spare = decoder;
    else
        delete decoder;
    decoder = nullptr;
}

}  // namespace

EKISADecodeContext* EKISAArchive::TakeDecoder(EKISADecodeContext*& spare) {
    EKISADecodeContext* decoder = spare;
    spare = nullptr;
    if (decoder == nullptr) return new EKISADecodeContext(kDecodeBuffer);
    decoder->DiscardInput();
    return decoder;
}

void EKISAArchive::DeleteCoders() {
    // The EKISA coders may sit on the BSHF ones, so they go first.
    KeepDecoder(m_ekisaDecoder, m_spareEkisaDecoder);
    KeepDecoder(m_bshfDecoder, m_spareBshfDecoder);
    delete m_ekisaEncoder;
    m_ekisaEncoder = nullptr;
    delete m_bshfEncoder;
    m_bshfEncoder = nullptr;
}

ESLResult EKISAArchive::Open(ESLFileObject* file, EKISAEntryList* rootListing) {
    Close();
    if (file == nullptr) return eslResultGeneral;
    if (file->GetAttributes() & modeCreate) {
        if (rootListing == nullptr) return eslResultGeneral;
        EMCFileHeader header;
        SetFileHeader(&header, emcFileIDArchive, nullptr);
        ESLResult result = EMCFile::Open(file, &header);
        if (result != eslResultSuccess) return result;
        if (!PushLevel(new EKISADirectory(nullptr, 1)) || !m_level->CopyEntries(*rootListing) ||
            WriteDirectory() != eslResultSuccess) {
            eslTrace("ルートディレクトリの書き出しに失敗しました。\n");
            return eslResultGeneral;
        }
        return eslResultSuccess;
    }
    ESLResult result = EMCFile::Open(file, nullptr);
    if (result != eslResultSuccess) return result;
    if (!PushLevel(new EKISADirectory(nullptr, 0)) || ReadDirectory() != eslResultSuccess) {
        eslTrace("ルートディレクトリを読み込めませんでした。\n");
        return eslResultGeneral;
    }
    return eslResultSuccess;
}

void EKISAArchive::Close() {
    if (m_openEntry != nullptr && AscendFile() != eslResultSuccess) eslTrace("AscendFile に失敗しました。\n");
    delete m_decodedFile;
    m_decodedFile = nullptr;
    while (m_level != nullptr) {
        if (m_level->m_writeBack) {
            EMCFile::Seek(0, FromBegin);
            if (WriteDirectory() != eslResultSuccess) break;
        }
        PopLevel();
        if (m_level == nullptr) break;
        if (AscendRecord() != eslResultSuccess) break;
    }
    EMCFile::Close();
    // Whatever a failed write-back left behind is released too.
    while (m_level != nullptr) PopLevel();
    DeleteCoders();
    m_openEntry = nullptr;
}

ESLResult EKISAArchive::ReadDirectory() {
    if (DescendRecord(nullptr) != eslResultSuccess) return eslResultGeneral;
    if (memcmp(m_record->header.id, kDirEntryID, 8) != 0) {
        AscendRecord();
        return eslResultGeneral;
    }
    // Every count and length below comes from the file: each is checked
    // against what is left of the record before anything is allocated.
    EKISADirectory* level = new EKISADirectory(m_level, 0);
    if (level == nullptr) {
        AscendRecord();
        return eslResultGeneral;
    }
    bool ok = false;
    uint8_t bytes[kFixedFieldsSize];
    do {
        if (EMCFile::Read(bytes, 4) != 4) break;
        uint32_t count = emcGetU32(bytes);
        uint32_t left = EMCFile::GetLength() - EMCFile::GetPointer();
        if (count > left / EKISAFileEntry::kFixedSize) break;
        uint32_t i = 0;
        for (; i < count; ++i) {
            EKISAFileEntry* entry = new EKISAFileEntry;
            level->Add(entry);
            if (EMCFile::Read(bytes, kFixedFieldsSize) != kFixedFieldsSize) break;
            GetEntryFixed(bytes, *entry);
            if (EMCFile::Read(bytes, 4) != 4) break;
            uint32_t extraLength = emcGetU32(bytes);
            if (extraLength > EMCFile::GetLength() - EMCFile::GetPointer()) break;
            if (extraLength != 0) {
                uint8_t* extra = static_cast<uint8_t*>(eslHeapAllocate(nullptr, extraLength, 0));
                if (extra == nullptr) break;
                bool read = EMCFile::Read(extra, extraLength) == extraLength;
                bool stored = read && entry->SetExtraInfo(extra, extraLength);
                eslHeapFree(nullptr, extra, 0);
                if (!stored) break;
            }
            if (EMCFile::Read(bytes, 4) != 4) break;
            uint32_t nameLength = emcGetU32(bytes);
            if (nameLength > EMCFile::GetLength() - EMCFile::GetPointer()) break;
            if (nameLength != 0) {
                char* text = static_cast<char*>(eslHeapAllocate(nullptr, nameLength + 1, 0));
                if (text == nullptr) break;
                bool read = EMCFile::Read(text, nameLength) == nameLength;
                text[nameLength] = '\0';
                bool stored = read && entry->SetName(text);
                eslHeapFree(nullptr, text, 0);
                if (!stored) break;
            }
        }
        ok = i == count;
    } while (false);
    if (!ok) {
        eslTrace("ディレクトリエントリが壊れています。\n");
        delete level;
        AscendRecord();
        return eslResultGeneral;
    }
    m_level = level;
    AscendRecord();
    return eslResultSuccess;
}

ESLResult EKISAArchive::WriteDirectory() {
    if (m_level == nullptr) return eslResultGeneral;
    if (DescendRecord(kDirEntryID) != eslResultSuccess) return eslResultGeneral;
    bool ok = true;
    uint8_t bytes[kFixedFieldsSize + 4];
    emcPutU32(bytes, m_level->GetSize());
    ok = EMCFile::Write(bytes, 4) == 4 && ok;
    for (unsigned i = 0; i < m_level->GetSize(); ++i) {
        const EKISAFileEntry* entry = m_level->GetAt(i);
        if (entry == nullptr) continue;
        PutEntryFixed(bytes, *entry);
        uint32_t extraLength = entry->extraData != nullptr ? entry->extraLength : 0;
        emcPutU32(bytes + kFixedFieldsSize, extraLength);
        ok = EMCFile::Write(bytes, sizeof(bytes)) == sizeof(bytes) && ok;
        if (extraLength != 0) ok = EMCFile::Write(entry->extraData, extraLength) == extraLength && ok;
        uint32_t nameLength = entry->name != nullptr ? entry->nameLength : 0;
        emcPutU32(bytes, nameLength);
        ok = EMCFile::Write(bytes, 4) == 4 && ok;
        if (nameLength != 0) ok = EMCFile::Write(entry->name, nameLength) == nameLength && ok;
    }
    if (!ok) m_writeFailed = true;
    AscendRecord();
    return ok ? eslResultSuccess : eslResultGeneral;
}

bool EKISAArchive::DataPositionValid(const EKISAFileEntry* entry, const char* name) {
    uint64_t length = EMCFile::GetLength();
    if (length >= EMCRecordHeader::kSize && entry->dataPosition <= length - EMCRecordHeader::kSize) return true;
    eslTrace("\"%s\" のデータ位置が不正です。\n", Printable(name));
    return false;
}

ESLResult EKISAArchive::ChangeDirectory(const char* path) {
    if (m_openEntry != nullptr) AscendFile();
    while (m_level != nullptr && !IsRootLevel(m_level)) {
        EKISADirectory* before = m_level;
        AscendDirectory();
        // A level whose directory could not be written back stays; do not spin.
        if (m_level == before) return eslResultGeneral;
    }
    if (path == nullptr) return eslResultSuccess;
    std::string component;
    for (size_t i = 0;; ++i) {
        unsigned char c = static_cast<unsigned char>(path[i]);
        if (c == '\0' || c == '\\') {
            if (!component.empty() && DescendDirectory(component.c_str(), nullptr) != eslResultSuccess)
                return eslResultGeneral;
            component.clear();
            if (c == '\0') break;
            continue;
        }
        component += char(c);
        if (eslp::IsLeadByte(c) && path[i + 1] != '\0') component += path[++i];
    }
    return eslResultSuccess;
}

ESLResult EKISAArchive::OpenFile(const char* path, const char* password, int streaming) {
    if (path == nullptr) path = "";
    size_t cut = DirectoryPartLength(path, true);
    std::string directory(path, cut);
    if (ChangeDirectory(directory.c_str()) != eslResultSuccess) return eslResultGeneral;
    return DescendFile(path + cut, password, streaming);
}

ESLResult EKISAArchive::DescendDirectory(const char* name, EKISAEntryList* listing) {
    if (m_openEntry != nullptr) AscendFile();
    if (m_level == nullptr || m_record == nullptr) return eslResultGeneral;
    EKISAFileEntry* entry = m_level->FindEntry(name);
    if (entry == nullptr || !entry->IsDirectory()) {
        TraceNotFound(name);
        return eslResultGeneral;
    }
    if (listing != nullptr) {
        if (!IsCreateMode()) return eslResultGeneral;
        entry->dataPosition = EMCFile::GetPointer();
        if (DescendRecord(kFileDataID) != eslResultSuccess) return eslResultGeneral;
        if (!PushLevel(new EKISADirectory(nullptr, 1)) || !m_level->CopyEntries(*listing)) return eslResultGeneral;
        return WriteDirectory();
    }
    if (IsCreateMode()) return eslResultGeneral;
    if (!DataPositionValid(entry, name)) return eslResultGeneral;
    SeekRecord(int64_t(entry->dataPosition));
    if (DescendRecord(nullptr) != eslResultSuccess) return eslResultGeneral;
    if (ReadDirectory() != eslResultSuccess) {
        // Leave the subdirectory's record so that the archive stays where it was.
        AscendRecord();
        return eslResultGeneral;
    }
    return eslResultSuccess;
}

ESLResult EKISAArchive::AscendDirectory() {
    if (m_openEntry != nullptr && AscendFile() != eslResultSuccess) eslTrace("AscendFile に失敗しました。\n");
    if (m_level == nullptr) return eslResultSuccess;
    // The root is left only by Close, which also finishes the container.
    if (IsRootLevel(m_level)) return eslResultGeneral;
    if (m_level->m_writeBack) {
        EMCFile::Seek(0, FromBegin);
        if (WriteDirectory() != eslResultSuccess) return eslResultGeneral;
    }
    PopLevel();
    return AscendRecord();
}

// ---------------------------------------------------------------------------
// Entries

// Byte k of the entry goes into checksum[k % 4]. Once the index is back at
// 0, eight bytes at a time: a load and a store in the same byte order put
// byte j of each word on checksum[j], and the word's two halves fold onto
// the four checksum bytes in either byte order.
void EKISAArchive::AddToChecksum(const uint8_t* bytes, uint32_t count, uint8_t* checksum, uint32_t* index) {
    uint32_t k = *index;
    uint32_t i = 0;
    for (; i < count && k != 0; ++i) {
        checksum[k] ^= bytes[i];
        k = (k + 1) & 3;
    }
    if (count - i >= 8) {
        uint64_t sum = 0;
        for (; count - i >= 8; i += 8) {
            uint64_t word;
            memcpy(&word, bytes + i, 8);
            sum ^= word;
        }
        uint32_t folded = static_cast<uint32_t>(sum) ^ static_cast<uint32_t>(sum >> 32);
        uint32_t held;
        memcpy(&held, checksum, 4);
        held ^= folded;
        memcpy(checksum, &held, 4);
    }
    for (; i < count; ++i) {
        checksum[k] ^= bytes[i];
        k = (k + 1) & 3;
    }
    *index = k;
}

bool EKISAArchive::ChecksumMatchesRecord() {
    uint8_t stored[4];
    EMCFile::Seek(-4, FromEnd);
    if (EMCFile::Read(stored, 4) != 4) return false;
    return memcmp(stored, m_checksum, 4) == 0;
}

ESLResult EKISAArchive::DescendFile(const char* name, const char* password, int streaming) {
    if (m_openEntry != nullptr) AscendFile();
    if (m_level == nullptr || m_record == nullptr) return eslResultGeneral;
    EKISAFileEntry* entry = m_level->FindEntry(name);
    if (entry == nullptr || entry->IsDirectory()) {
        TraceNotFound(name);
        return eslResultGeneral;
    }
    if (m_level->m_writeBack) return DescendFileForWriting(entry, name, password);

    if (!DataPositionValid(entry, name)) return eslResultGeneral;
    SeekRecord(int64_t(entry->dataPosition));
    if (DescendRecord(nullptr) != eslResultSuccess) return eslResultGeneral;
    // From here on a failure leaves the data record again, so that the
    // directory's positions stay counted from its own record.
    ESLResult begun = eslResultSuccess;
    switch (entry->encodeType) {
    case ekisaEncodeRaw:
        // A raw entry is its record: a size that differs from it would give
        // a length that reads cannot reach, or hide bytes, without a word.
        if (entry->fileSize != EMCFile::GetLength()) {
            eslTrace("\"%s\" のファイルサイズがデータレコードと一致しません。\n", Printable(name));
            AscendRecord();
            return eslResultGeneral;
        }
        m_openEntry = entry;
        return eslResultSuccess;
    case ekisaEncodeCode:
        m_ekisaDecoder = TakeDecoder(m_spareEkisaDecoder);
        if (m_ekisaDecoder == nullptr) { begun = eslResultGeneral; break; }
        m_ekisaDecoder->SetSourceFile(m_file);
        begun = m_ekisaDecoder->BeginEKISACode();
        break;
    case ekisaEncodeBshfCrypt:
        m_bshfDecoder = TakeDecoder(m_spareBshfDecoder);
        if (m_bshfDecoder == nullptr) { begun = eslResultGeneral; break; }
        m_bshfDecoder->SetSourceFile(m_file);
        begun = m_bshfDecoder->BeginBSHFCode(password);
        break;
    case ekisaEncodeCrypt:
        m_bshfDecoder = TakeDecoder(m_spareBshfDecoder);
        m_ekisaDecoder = TakeDecoder(m_spareEkisaDecoder);
        if (m_bshfDecoder == nullptr || m_ekisaDecoder == nullptr) { begun = eslResultGeneral; break; }
        m_bshfDecoder->SetSourceFile(m_file);
        begun = m_bshfDecoder->BeginBSHFCode(password);
        m_ekisaDecoder->SetSourceContext(m_bshfDecoder);
        if (begun == eslResultSuccess) begun = m_ekisaDecoder->BeginEKISACode();
        break;
    default:
        eslTrace("不正なエンコードタイプです。\n");
        AscendRecord();
        return eslResultGeneral;
    }
    // The coders fail to begin only when their tables cannot be allocated.
    if (begun != eslResultSuccess) {
        eslTrace("復号用のメモリを確保できませんでした。\n");
        DeleteCoders();
        AscendRecord();
        return eslResultGeneral;
    }
    m_streamPosition = 0;
    memset(m_checksum, 0, sizeof(m_checksum));
    m_checksumIndex = 0;
    if (streaming) {
        m_openEntry = entry;
        return eslResultSuccess;
    }
    ESLResult result = DecodeWholeEntry(entry);
    if (result != eslResultSuccess) AscendRecord();
    return result;
}

ESLResult EKISAArchive::DecodeWholeEntry(EKISAFileEntry* entry) {
    EMemoryFile* memory = new EMemoryFile;
    uint8_t* piece = static_cast<uint8_t*>(eslHeapAllocate(nullptr, kDecodePiece, 0));
    // Sizes of 4 GiB and more cannot be held; a size the heap cannot serve
    // is refused before anything is decoded.
    if (memory == nullptr || piece == nullptr || (entry->fileSize >> 32) != 0 ||
        memory->Create(uint32_t(entry->fileSize)) != 0) {
        eslTrace("復号用のメモリを確保できませんでした。\n");
        eslHeapFree(nullptr, piece, 0);
        delete memory;
        DeleteCoders();
        return eslResultGeneral;
    }
    uint32_t total = uint32_t(entry->fileSize);
    uint32_t done = 0;
    uint8_t checksum[4] = {0, 0, 0, 0};
    uint32_t index = 0;
    ESLResult result = eslResultSuccess;
    while (done < total) {
        uint32_t length = total - done < kDecodePiece ? total - done : kDecodePiece;
        uint32_t count = m_ekisaDecoder != nullptr ? m_ekisaDecoder->ReadEKISACodeBytes(piece, length)
                                                   : m_bshfDecoder->ReadBSHFCodeBytes(piece, length);
        if (count < length || memory->Write(piece, count) != count) {
            eslTrace("復号に失敗しました。\n");
            result = eslResultGeneral;
            break;
        }
        AddToChecksum(piece, count, checksum, &index);
        done += count;
        result = OnDecodeProgress(done, total);
        if (result != eslResultSuccess) break;
    }
    eslHeapFree(nullptr, piece, 0);
    DeleteCoders();
    if (result != eslResultSuccess) {
        delete memory;
        return result;
    }
    memcpy(m_checksum, checksum, 4);
    if (!ChecksumMatchesRecord()) {
        eslTrace("チェックサムが一致しません。\n");
        delete memory;
        return eslResultGeneral;
    }
    memory->Seek(0, FromBegin);
    m_decodedFile = memory;
    m_openEntry = entry;
    return eslResultSuccess;
}

ESLResult EKISAArchive::DescendFileForWriting(EKISAFileEntry* entry, const char* name, const char* password) {
    (void)name;
    // Refuse an unknown type before anything is written for the entry.
    if (!IsKnownEncodeType(entry->encodeType)) {
        eslTrace("不正なエンコードタイプです。\n");
        return eslResultGeneral;
    }
    // The coders write nothing before data arrives, so they are set up
    // first: a coder that cannot begin leaves no record behind.
    ESLResult begun = eslResultSuccess;
    switch (entry->encodeType) {
    case ekisaEncodeCode:
        m_ekisaEncoder = new EKISAEncodeContext(kEncodeBuffer);
        if (m_ekisaEncoder == nullptr) { begun = eslResultGeneral; break; }
        m_ekisaEncoder->SetTargetFile(m_file);
        begun = m_ekisaEncoder->BeginEKISACodeEncoding(m_codeFlags);
        break;
    case ekisaEncodeBshfCrypt:
        m_bshfEncoder = new EKISAEncodeContext(kEncodeBuffer);
        if (m_bshfEncoder == nullptr) { begun = eslResultGeneral; break; }
        m_bshfEncoder->SetTargetFile(m_file);
        begun = m_bshfEncoder->BeginBSHFEncoding(password);
        break;
    case ekisaEncodeCrypt:
        m_bshfEncoder = new EKISAEncodeContext(kEncodeBuffer);
        m_ekisaEncoder = new EKISAEncodeContext(kEncodeBuffer);
        if (m_bshfEncoder == nullptr || m_ekisaEncoder == nullptr) { begun = eslResultGeneral; break; }
        m_bshfEncoder->SetTargetFile(m_file);
        begun = m_bshfEncoder->BeginBSHFEncoding(password);
        m_ekisaEncoder->SetTargetContext(m_bshfEncoder);
        if (begun == eslResultSuccess) begun = m_ekisaEncoder->BeginEKISACodeEncoding(m_codeFlags);
        break;
    default:
        break;
    }
    if (begun != eslResultSuccess) {
        DeleteCoders();
        return eslResultGeneral;
    }
    entry->dataPosition = EMCFile::GetPointer();
    if (DescendRecord(kFileDataID) != eslResultSuccess) {
        DeleteCoders();
        return eslResultGeneral;
    }
    m_streamPosition = 0;
    memset(m_checksum, 0, sizeof(m_checksum));
    m_checksumIndex = 0;
    m_openEntry = entry;
    return eslResultSuccess;
}

ESLResult EKISAArchive::AscendFile() {
    ESLResult result = eslResultSuccess;
    EKISAFileEntry* entry = m_openEntry;
    if (entry != nullptr) {
        if (m_record != nullptr && m_record->create) {
            if (entry->encodeType != ekisaEncodeRaw) {
                // A coder or checksum that did not reach the file leaves an
                // entry that cannot be read back: report it.
                if (m_ekisaEncoder != nullptr) {
                    if (m_ekisaEncoder->FinishEKISACode() != eslResultSuccess) result = eslResultGeneral;
                    delete m_ekisaEncoder;
                    m_ekisaEncoder = nullptr;
                }
                if (m_bshfEncoder != nullptr) {
                    if (m_bshfEncoder->FinishBSHFCode() != eslResultSuccess) result = eslResultGeneral;
                    delete m_bshfEncoder;
                    m_bshfEncoder = nullptr;
                }
                if (!WriteUnderlying(m_checksum, 4)) result = eslResultGeneral;
                entry->fileSize = m_streamPosition;
            } else {
                entry->fileSize = GetLength();
            }
            if (result != eslResultSuccess) m_writeFailed = true;
        } else if (m_ekisaDecoder != nullptr || m_bshfDecoder != nullptr) {
            DeleteCoders();
            if (!ChecksumMatchesRecord()) {
                eslTrace("チェックサムが一致しません。\n");
                result = eslResultGeneral;
            }
        }
    }
    m_openEntry = nullptr;
    // Without the memory copy, the container's own length and position
    // answer while the data record is left.
    delete m_decodedFile;
    m_decodedFile = nullptr;
    if (entry != nullptr) AscendRecord();
    return result;
}

ESLResult EKISAArchive::OnDecodeProgress(uint32_t, uint32_t) { return eslResultSuccess; }

// ---------------------------------------------------------------------------
// Entry stream

uint32_t EKISAArchive::Read(void* dst, uint32_t bytes) {
    if (m_decodedFile != nullptr) return m_decodedFile->Read(dst, bytes);
    if (m_ekisaDecoder == nullptr && m_bshfDecoder == nullptr) return EMCFile::Read(dst, bytes);
    if (m_openEntry != nullptr && (m_openEntry->fileSize >> 32) == 0) {
        uint64_t size = m_openEntry->fileSize;
        uint64_t left = m_streamPosition < size ? size - m_streamPosition : 0;
        if (bytes >= left) bytes = uint32_t(left);
    }
    if (bytes == 0) return 0;
    uint8_t* buffer = static_cast<uint8_t*>(dst);
    uint32_t count = m_ekisaDecoder != nullptr ? m_ekisaDecoder->ReadEKISACodeBytes(buffer, bytes)
                                               : m_bshfDecoder->ReadBSHFCodeBytes(buffer, bytes);
    if (count > bytes) count = bytes;
    AddToChecksum(buffer, count, m_checksum, &m_checksumIndex);
    m_streamPosition += count;
    return count;
}

uint32_t EKISAArchive::Write(const void* src, uint32_t bytes) {
    if (m_ekisaEncoder == nullptr && m_bshfEncoder == nullptr) return EMCFile::Write(src, bytes);
    const uint8_t* buffer = static_cast<const uint8_t*>(src);
    uint32_t count = m_ekisaEncoder != nullptr ? m_ekisaEncoder->WriteEKISACodeBytes(buffer, bytes)
                                               : m_bshfEncoder->WriteBSHFCodeBytes(buffer, bytes);
    if (count > bytes) count = bytes;
    AddToChecksum(buffer, count, m_checksum, &m_checksumIndex);
    m_streamPosition += count;
    return count;
}

uint32_t EKISAArchive::GetLength() {
    if (m_decodedFile != nullptr) return m_decodedFile->GetLength();
    if (IsCreateMode()) {
        if (m_ekisaEncoder != nullptr || m_bshfEncoder != nullptr) return m_streamPosition;
        if (m_record != nullptr && m_file != nullptr) {
            uint64_t position = UnderlyingPosition();
            if (position >= m_record->base && position - m_record->base > uint32_t(m_record->header.length) &&
                position <= 0xFFFFFFFFu)
                m_record->header.length = position - m_record->base;
        }
        return EMCFile::GetLength();
    }
    if (m_openEntry != nullptr) return uint32_t(m_openEntry->fileSize);
    return EMCFile::GetLength();
}

uint32_t EKISAArchive::GetPointer() {
    if (m_decodedFile != nullptr) return m_decodedFile->GetPointer();
    if (m_ekisaEncoder != nullptr || m_bshfEncoder != nullptr || m_ekisaDecoder != nullptr ||
        m_bshfDecoder != nullptr)
        return m_streamPosition;
    return EMCFile::GetPointer();
}

uint32_t EKISAArchive::Seek(int32_t offset, int method) {
    if (m_decodedFile != nullptr) return m_decodedFile->Seek(offset, method);
    return EMCFile::Seek(offset, method);
}

ESLFileObject* EKISAArchive::Duplicate() {
    if (m_decodedFile != nullptr) return m_decodedFile->Duplicate();
    return EMCFile::Duplicate();
}

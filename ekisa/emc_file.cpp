#include "ekisa/emc_file.h"

#include <string.h>

#include <vector>

namespace {

// The underlying file is moved with a signed 32-bit offset from its start,
// so no position beyond this one can be reached or written.
const uint64_t kMaxPosition = 0x7FFFFFFFu;

const uint8_t kMagic[8] = {'D', 'a', 'd', 'e', 'z', 0x1A, 0x00, 0x00};

struct FileType {
    uint32_t id;
    const char* description;
};
const FileType kFileTypes[] = {
    {emcFileIDArchive, "EKISA-Archive file"},
    {emcFileIDImage, "Dadez Rasterized Image format"},
    {emcFileIDSurface, "EGL-3D surface attribute file"},
    {emcFileIDModel, "EGL-3D model object file"},
};
const char kUndefinedType[] = "undefined EMC file";

// The description field keeps at most this many bytes of a given text.
const unsigned kDescriptionCopy = 41;

}  // namespace

void EMCFileHeader::Serialize(uint8_t out[kSize]) const {
    memcpy(out, magic, 8);
    emcPutU32(out + 8, fileID);
    emcPutU32(out + 12, reserved);
    memcpy(out + 16, description, kDescriptionSize);
}

void EMCFileHeader::Deserialize(const uint8_t in[kSize]) {
    memcpy(magic, in, 8);
    fileID = emcGetU32(in + 8);
    reserved = emcGetU32(in + 12);
    memcpy(description, in + 16, kDescriptionSize);
}

void EMCRecordHeader::Serialize(uint8_t out[kSize]) const {
    memcpy(out, id, 8);
    emcPutU64(out + 8, length);
}

void EMCRecordHeader::Deserialize(const uint8_t in[kSize]) {
    memcpy(id, in, 8);
    length = emcGetU64(in + 8);
}

EMCFile::EMCFile() : m_file(nullptr), m_record(nullptr), m_ownsFile(false), m_writeFailed(false) {
    memset(&m_header, 0, sizeof(m_header));
}

EMCFile::~EMCFile() { EMCFile::Close(); }

void EMCFile::SetFileHeader(EMCFileHeader* header, uint32_t fileID, const char* description) {
    memcpy(header->magic, kMagic, 8);
    header->fileID = fileID;
    header->reserved = 0;
    if (description == nullptr) {
        description = kUndefinedType;
        for (const FileType& type : kFileTypes) {
            if (type.id == fileID) description = type.description;
        }
    }
    memset(header->description, 0, sizeof(header->description));
    for (unsigned i = 0; i < kDescriptionCopy && description[i] != '\0'; ++i) header->description[i] = description[i];
}

ESLResult EMCFile::Open(ESLFileObject* file, const EMCFileHeader* header) {
    Close();
    if (file == nullptr) return eslResultGeneral;
    m_file = file;
    m_attributes = file->GetAttributes();
    m_writeFailed = false;

    if ((m_attributes & modeCreate) && header != nullptr) {
        uint8_t bytes[EMCFileHeader::kSize];
        header->Serialize(bytes);
        if (!WriteUnderlying(bytes, sizeof(bytes))) {
            eslTrace("ファイルヘッダの書き出しに失敗しました。\n");
            return eslResultGeneral;
        }
        m_header = *header;
        EMCRecord* record = new EMCRecord;
        memset(record, 0, sizeof(*record));
        record->create = 1;
        record->base = m_file->GetPointer();
        PushRecord(record);
        return eslResultSuccess;
    }

    m_attributes &= ~uint32_t(modeCreate);
    uint8_t bytes[EMCFileHeader::kSize];
    if (m_file->Read(bytes, sizeof(bytes)) < sizeof(bytes)) {
        eslTrace("ファイルヘッダの読み込みに失敗しました。\n");
        return eslResultGeneral;
    }
    m_header.Deserialize(bytes);
    if (m_header.reserved != 0 || memcmp(m_header.magic, kMagic, 8) != 0) {
        eslTrace("不正なファイルヘッダです。\n");
        return eslResultGeneral;
    }
    EMCRecord* record = new EMCRecord;
    memset(record, 0, sizeof(*record));
    record->base = m_file->GetPointer();
    uint32_t fileLength = m_file->GetLength();
    // A failed length query must not turn into a record beyond the file.
    if (fileLength != 0xFFFFFFFFu && fileLength > record->base && record->base <= kMaxPosition)
        record->header.length = fileLength - record->base;
    PushRecord(record);
    return eslResultSuccess;
}

void EMCFile::Close() {
    // A duplicate is only a view: finishing the records is its origin's job.
    if (m_file != nullptr && !m_ownsFile) {
        while (m_record != nullptr) {
            if (AscendRecord() != eslResultSuccess) break;
        }
    }
    DeleteRecords();
    if (m_ownsFile) delete m_file;
    m_file = nullptr;
    m_ownsFile = false;
}

void EMCFile::PushRecord(EMCRecord* record) {
    record->parent = m_record;
    m_record = record;
}

void EMCFile::PopRecord() {
    EMCRecord* record = m_record;
    if (record == nullptr) return;
    m_record = record->parent;
    delete record;
}

void EMCFile::DeleteRecords() {
    while (m_record != nullptr) PopRecord();
}

bool EMCFile::WriteUnderlying(const void* src, uint32_t bytes) {
    if (m_file->Write(src, bytes) == bytes) return true;
    m_writeFailed = true;
    return false;
}

uint64_t EMCFile::UnderlyingPosition() { return m_file->GetPointer(); }

uint32_t EMCFile::CutToRecord(uint32_t bytes) {
    uint64_t position = UnderlyingPosition();
    uint64_t base = m_record->base;
    uint64_t length = uint32_t(m_record->header.length);
    if (position < base || position - base >= length) return 0;
    uint64_t left = length - (position - base);
    return bytes < left ? bytes : uint32_t(left);
}

uint32_t EMCFile::Read(void* dst, uint32_t bytes) {
    if (m_file == nullptr || m_record == nullptr) return 0;
    bytes = CutToRecord(bytes);
    if (bytes == 0) return 0;
    return m_file->Read(dst, bytes);
}

uint32_t EMCFile::Write(const void* src, uint32_t bytes) {
    if (m_file == nullptr || m_record == nullptr) return 0;
    if (IsCreateMode()) {
        // The record grows later (Seek, AscendRecord); only the reachable
        // range of the underlying file limits a write here.
        uint64_t position = UnderlyingPosition();
        if (position >= kMaxPosition) return 0;
        if (bytes > kMaxPosition - position) bytes = uint32_t(kMaxPosition - position);
    } else {
        bytes = CutToRecord(bytes);
    }
    if (bytes == 0) return 0;
    return m_file->Write(src, bytes);
}

uint32_t EMCFile::GetLength() {
    if (m_record == nullptr) return 0;
    return uint32_t(m_record->header.length);
}

uint32_t EMCFile::GetPointer() {
    if (m_file == nullptr || m_record == nullptr) return 0;
    return m_file->GetPointer() - m_record->base;
}

uint32_t EMCFile::SeekRecord(int64_t target) {
    uint64_t base = m_record->base;
    uint64_t length = uint32_t(m_record->header.length);
    // Before the start is the start: read as unsigned it would wrap to the
    // end, or in create mode to an absurd length.
    if (target < 0) target = 0;
    uint64_t t = uint64_t(target);
    uint64_t room = base < kMaxPosition ? kMaxPosition - base : 0;
    if (m_record->create) {
        if (t > room) t = room;
        if (t > length) m_record->header.length = t;
    } else {
        if (t > length) t = length;
        if (t > room) t = room;
    }
    uint32_t reached = m_file->Seek(int32_t(base + t), FromBegin);
    return reached - m_record->base;
}

uint32_t EMCFile::Seek(int32_t offset, int method) {
    if (m_file == nullptr || m_record == nullptr) return 0;
    uint64_t position = UnderlyingPosition();
    int64_t p = position >= m_record->base ? int64_t(position - m_record->base) : 0;
    if (m_record->create && uint64_t(p) > uint32_t(m_record->header.length) && uint64_t(p) <= 0xFFFFFFFFu)
        m_record->header.length = uint64_t(p);
    int64_t target;
    if (method == FromCurrent)
        target = p + offset;
    else if (method == FromEnd)
        target = int64_t(uint32_t(m_record->header.length)) + offset;
    else
        target = offset;
    return SeekRecord(target);
}

ESLResult EMCFile::SetEndOfFile() {
    if (m_file == nullptr || m_record == nullptr) return eslResultGeneral;
    uint64_t position = UnderlyingPosition();
    uint64_t p = position >= m_record->base ? position - m_record->base : 0;
    if (p > 0xFFFFFFFFu) p = 0;
    m_record->header.length = p;
    return m_file->SetEndOfFile();
}

ESLFileObject* EMCFile::Duplicate() {
    if (m_file == nullptr) return nullptr;
    ESLFileObject* file = m_file->Duplicate();
    if (file == nullptr) return nullptr;
    file->Seek(int32_t(m_file->GetPointer()), FromBegin);
    EMCFile* copy = new EMCFile;
    if (copy == nullptr) {
        delete file;
        return nullptr;
    }
    copy->m_attributes = m_attributes;
    copy->m_file = file;
    copy->m_ownsFile = true;
    copy->m_header = m_header;
    // Rebuild the stack outermost first so that the order is kept.
    std::vector<const EMCRecord*> chain;
    for (const EMCRecord* r = m_record; r != nullptr; r = r->parent) chain.push_back(r);
    for (size_t i = chain.size(); i-- > 0;) copy->PushRecord(new EMCRecord(*chain[i]));
    return copy;
}

ESLResult EMCFile::DescendRecord(const char* id) {
    if (m_file == nullptr || m_record == nullptr) return eslResultGeneral;

    if (IsCreateMode()) {
        if (id == nullptr) return eslResultGeneral;
        EMCRecord* record = new EMCRecord;
        memset(record, 0, sizeof(*record));
        memcpy(record->header.id, id, 8);
        record->header.length = 0;
        record->create = 1;
        uint8_t bytes[EMCRecordHeader::kSize];
        record->header.Serialize(bytes);
        if (!WriteUnderlying(bytes, sizeof(bytes))) {
            delete record;
            eslTrace("レコードヘッダの書き出しに失敗しました。\n");
            return eslResultGeneral;
        }
        record->base = m_file->GetPointer();
        PushRecord(record);
        return eslResultSuccess;
    }

    uint64_t parentEnd = uint64_t(m_record->base) + uint32_t(m_record->header.length);
    for (;;) {
        uint8_t bytes[EMCRecordHeader::kSize];
        if (EMCFile::Read(bytes, sizeof(bytes)) < sizeof(bytes)) return eslResultGeneral;
        EMCRecordHeader header;
        header.Deserialize(bytes);
        bool toEnd = header.length == emcRecordToEnd;
        if ((header.length >> 32) != 0 && !toEnd) {
            eslTrace("不正なレコード長です。\n");
            return eslResultGeneral;
        }
        // The header was read inside the current record, so its data starts
        // at or before the current record's end.
        uint64_t base = UnderlyingPosition();
        uint64_t room = base <= parentEnd ? parentEnd - base : 0;
        if (!toEnd && header.length > room) {
            eslTrace("不正なレコード長です。\n");
            return eslResultGeneral;
        }
        if (id == nullptr || memcmp(header.id, id, 8) == 0) {
            EMCRecord* record = new EMCRecord;
            memset(record, 0, sizeof(*record));
            record->create = 0;
            record->base = uint32_t(base);
            record->header = header;
            // "To the end" ends where the enclosing data ends.
            if (toEnd) record->header.length = room;
            PushRecord(record);
            return eslResultSuccess;
        }
        uint64_t next = (base - m_record->base) + (toEnd ? room : header.length);
        SeekRecord(int64_t(next));
    }
}

ESLResult EMCFile::AscendRecord() {
    if (m_record == nullptr) return eslResultSuccess;
    if (m_record->create && m_file != nullptr) {
        uint64_t position = UnderlyingPosition();
        if (position >= m_record->base && position <= 0xFFFFFFFFu) {
            uint32_t p = GetPointer();
            if (p > uint32_t(m_record->header.length)) m_record->header.length = p;
        }
        uint8_t bytes[EMCRecordHeader::kSize];
        m_record->header.Serialize(bytes);
        m_file->Seek(int32_t(m_record->base - EMCRecordHeader::kSize), FromBegin);
        if (!WriteUnderlying(bytes, sizeof(bytes))) eslTrace("レコードヘッダの書き出しに失敗しました。\n");
    }
    if (m_file != nullptr) Seek(int32_t(GetLength()), FromBegin);
    PopRecord();
    return eslResultSuccess;
}

#include "test_support.h"

#include <string.h>

namespace ekisatest {

void PutU16(Bytes& b, uint16_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}

void PutU32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

void PutU64(Bytes& b, uint64_t v) {
    for (int i = 0; i < 8; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

void PutText(Bytes& b, const std::string& text) { b.insert(b.end(), text.begin(), text.end()); }

void Append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }

uint32_t GetU32(const Bytes& b, size_t at) {
    return uint32_t(b.at(at)) | uint32_t(b.at(at + 1)) << 8 | uint32_t(b.at(at + 2)) << 16 |
           uint32_t(b.at(at + 3)) << 24;
}

uint64_t GetU64(const Bytes& b, size_t at) { return uint64_t(GetU32(b, at)) | uint64_t(GetU32(b, at + 4)) << 32; }

Bytes FileHeader(uint64_t restLength, uint32_t fileID) {
    Bytes b = {'D', 'a', 'd', 'e', 'z', 0x1A, 0, 0};
    PutU32(b, fileID);
    PutU32(b, 0);
    PutText(b, "EKISA-Archive file");
    b.resize(56, 0);
    PutU64(b, restLength);
    return b;
}

Bytes RecordWithLength(const char* id, const Bytes& data, uint64_t length) {
    Bytes b(id, id + 8);
    PutU64(b, length);
    Append(b, data);
    return b;
}

Bytes Record(const char* id, const Bytes& data) { return RecordWithLength(id, data, data.size()); }

Bytes Pattern(size_t length, uint32_t seed) {
    Bytes b(length);
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < length; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b[i] = uint8_t(x >> 7);
    }
    return b;
}

Bytes DirectoryData(const std::vector<EntrySpec>& entries) {
    Bytes b;
    PutU32(b, uint32_t(entries.size()));
    for (const EntrySpec& e : entries) {
        PutU64(b, e.fileSize);
        PutU32(b, e.attribute);
        PutU32(b, e.encodeType);
        PutU64(b, e.dataPosition);
        b.push_back(e.time.second);
        b.push_back(e.time.minute);
        b.push_back(e.time.hour);
        b.push_back(e.time.dayOfWeek);
        b.push_back(e.time.day);
        b.push_back(e.time.month);
        PutU16(b, e.time.year);
        PutU32(b, uint32_t(e.extra.size()));
        Append(b, e.extra);
        PutU32(b, uint32_t(e.name.size() + 1));
        PutText(b, e.name);
        b.push_back(0);
    }
    return b;
}

LevelSpec& LevelSpec::File(const std::string& name, const Bytes& content) {
    Item item;
    item.entry.name = name;
    item.entry.fileSize = content.size();
    item.recordData = content;
    items.push_back(item);
    return *this;
}

LevelSpec& LevelSpec::Coded(const std::string& name, uint32_t type, uint64_t size, const Bytes& record) {
    Item item;
    item.entry.name = name;
    item.entry.fileSize = size;
    item.entry.encodeType = type;
    item.recordData = record;
    items.push_back(item);
    return *this;
}

LevelSpec& LevelSpec::Folder(const std::string& name, const LevelSpec& sub) {
    Item item;
    item.entry.name = name;
    item.entry.attribute = attrDirectory;
    item.sub = std::make_shared<LevelSpec>(sub);
    items.push_back(item);
    return *this;
}

Bytes LevelBytes(const LevelSpec& level) {
    std::vector<EntrySpec> entries;
    std::vector<Bytes> records;
    for (const LevelSpec::Item& item : level.items) {
        entries.push_back(item.entry);
        records.push_back(item.sub ? LevelBytes(*item.sub) : item.recordData);
    }
    // Positions do not change the directory's size, so measure it first.
    uint64_t position = 16 + DirectoryData(entries).size();
    for (size_t i = 0; i < entries.size(); ++i) {
        entries[i].dataPosition = position;
        position += 16 + records[i].size();
    }
    Bytes out = Record("DirEntry", DirectoryData(entries));
    for (const Bytes& r : records) Append(out, Record("filedata", r));
    return out;
}

Bytes ArchiveBytes(const LevelSpec& root) {
    Bytes level = LevelBytes(root);
    Bytes out = FileHeader(level.size());
    Append(out, level);
    return out;
}

namespace {
std::string g_trace;
void RecordTrace(const char* text) { g_trace += text; }
}  // namespace

TraceRecorder::TraceRecorder() {
    g_trace.clear();
    eslSetDebugSink(RecordTrace);
}

TraceRecorder::~TraceRecorder() { eslSetDebugSink(nullptr); }

const std::string& TraceRecorder::Text() const { return g_trace; }

bool TraceRecorder::Contains(const char* message) const { return g_trace.find(message) != std::string::npos; }

void TraceRecorder::Clear() { g_trace.clear(); }

MemoryArchive::MemoryArchive(const Bytes& bytes) : m_bytes(bytes) {}

ESLResult MemoryArchive::Open() {
    m_file.Open(m_bytes.data(), uint32_t(m_bytes.size()));
    return m_archive.Open(&m_file, nullptr);
}

Bytes ReadAll(ESLFileObject& file, uint32_t chunk, std::vector<uint32_t>* counts) {
    Bytes out;
    Bytes buffer(chunk);
    for (;;) {
        uint32_t n = file.Read(buffer.data(), chunk);
        if (counts != nullptr) counts->push_back(n);
        out.insert(out.end(), buffer.begin(), buffer.begin() + n);
        if (n < chunk) break;
    }
    return out;
}

namespace {

void Listing(const std::vector<CreateItem>& items, EKISAEntryList* list) {
    for (const CreateItem& item : items) {
        EKISAFileEntry* e = new EKISAFileEntry;
        e->SetName(item.name.c_str());
        bool folder = item.folder || !item.children.empty();
        e->attribute = folder ? attrDirectory : 0;
        e->encodeType = folder ? 0 : item.encodeType;
        e->fileTime = EKISAFileTime{1, 2, 3, 0, 4, 5, 2020};
        list->Add(e);
    }
}

bool WriteItems(EKISAArchive& a, const std::vector<CreateItem>& items, const char* password, uint32_t piece) {
    for (const CreateItem& item : items) {
        if (item.folder || !item.children.empty()) {
            EKISAEntryList sub;
            Listing(item.children, &sub);
            if (a.DescendDirectory(item.name.c_str(), &sub) != eslResultSuccess) return false;
            if (!WriteItems(a, item.children, password, piece)) return false;
            if (a.AscendDirectory() != eslResultSuccess) return false;
            continue;
        }
        if (a.DescendFile(item.name.c_str(), password, 0) != eslResultSuccess) return false;
        for (size_t done = 0; done < item.content.size();) {
            uint32_t n = uint32_t(item.content.size() - done < piece ? item.content.size() - done : piece);
            if (a.Write(item.content.data() + done, n) != n) return false;
            done += n;
        }
        if (a.AscendFile() != eslResultSuccess) return false;
    }
    return true;
}

}  // namespace

bool CreateArchive(const std::vector<CreateItem>& root, Bytes* out, const char* password, uint32_t piece,
                   uint32_t codeFlags) {
    EMemoryFile file;
    if (file.Create(0) != eslResultSuccess) return false;
    bool ok;
    {
        EKISAArchive archive;
        EKISAEntryList listing;
        Listing(root, &listing);
        archive.SetEKISACodeFlags(codeFlags);
        ok = archive.Open(&file, &listing) == eslResultSuccess;
        ok = ok && WriteItems(archive, root, password, piece);
        archive.Close();
        ok = ok && archive.GetWriteResult() == eslResultSuccess;
    }
    *out = FileBytes(file);
    return ok;
}

uint32_t LimitedFile::Write(const void* src, uint32_t bytes) {
    uint32_t n = bytes < m_budget ? bytes : m_budget;
    m_budget -= n;
    return n == 0 ? 0 : EMemoryFile::Write(src, n);
}

Bytes FileBytes(EMemoryFile& file) {
    // Read through the object: a Seek past the end may have left a gap that
    // the block does not hold.
    Bytes out(file.GetLength());
    uint32_t keep = file.GetPointer();
    file.Seek(0, ESLFileObject::FromBegin);
    out.resize(file.Read(out.data(), uint32_t(out.size())));
    file.Seek(int32_t(keep), ESLFileObject::FromBegin);
    return out;
}

}  // namespace ekisatest

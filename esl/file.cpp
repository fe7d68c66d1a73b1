// File objects: the abstract stream, files of the operating system, memory
// files and the scratch-buffer chain.
#include "esl/file.h"
#include "esl/memory.h"

#include <string.h>

#include <new>


namespace {

const uint32_t kMaxBlock = (1u << 30) - 8192;  // the largest request the heap serves

inline void MoveBytes(void* dst, const void* src, uint32_t n) { eslMoveMemory(dst, src, n); }
inline void FillBytes(void* dst, uint32_t n) { eslFillMemory(dst, 0, n); }

uint64_t RoundUp4096(uint64_t x) { return (x + 4095u) & ~static_cast<uint64_t>(4095u); }

class ObjectLock {
public:
    explicit ObjectLock(ESLFileObject& f) : m_file(f) { m_file.Lock(); }
    ~ObjectLock() { m_file.Unlock(); }
    ObjectLock(const ObjectLock&) = delete;
    ObjectLock& operator=(const ObjectLock&) = delete;

private:
    ESLFileObject& m_file;
};

}  // namespace

// --- ESLFileObject ---

ESLFileObject::ESLFileObject() : m_attributes(0) { eslp::InitLock(&m_lock); }

ESLFileObject::~ESLFileObject() { eslp::DeleteLock(&m_lock); }

ESLResult ESLFileObject::SetEndOfFile() { return eslResultGeneral; }

// --- ERawFile ---

ERawFile::ERawFile() : m_handle(eslp::InvalidFileHandle()) {}

ERawFile::~ERawFile() { Close(); }

ESLResult ERawFile::Open(const char* path, unsigned int mode) {
    Close();
    if (path == nullptr) {
        m_attributes = 0;
        return eslResultGeneral;
    }
    unsigned access = 0, share = 0;
    if (mode & modeRead)
        access |= eslp::accessRead;
    if (mode & modeWrite)
        access |= eslp::accessWrite;
    if (mode & shareRead)
        share |= eslp::shareReadBit;
    if (mode & shareWrite)
        share |= eslp::shareWriteBit;
    eslp::FileHandle h = eslp::OpenFileHandle(path, access, share, (mode & modeCreate) != 0);
    if (h == eslp::InvalidFileHandle()) {
        m_attributes = 0;
        return eslResultGeneral;
    }
    m_handle = h;
    m_attributes = mode;

    // Keep the full path, so duplicates can reopen the file whatever the
    // current directory does meanwhile.
    if (m_path.GetCapacity() <= 256)
        m_path.SetCapacity(257);
    uint32_t bufferSize = 256;
    uint32_t got = 0;
    for (int attempt = 0; attempt < 4 && m_path.GetBuffer() != nullptr; ++attempt) {
        got = eslp::GetFullPath(path, bufferSize, m_path.GetBuffer());
        if (got < bufferSize)
            break;
        // Too small: `got` is the size needed, terminator included.
        if (got >= 0xFFFFFFF0u)
            break;
        if (got + 1 >= m_path.GetCapacity())
            m_path.SetCapacity(got + 2);
        if (m_path.GetCapacity() < got + 2)
            break;  // no memory for the longer path
        bufferSize = m_path.GetCapacity() - 1;
        got = 0;
    }
    if (m_path.GetBuffer() != nullptr) {
        if (got == 0 || got >= bufferSize)
            m_path.GetBuffer()[0] = 0;
        m_path.SetLength(static_cast<unsigned int>(strnlen(m_path.GetBuffer(), m_path.GetCapacity() - 1)));
    }
    return eslResultSuccess;
}

void ERawFile::Close() {
    ObjectLock lock(*this);
    if (m_handle != eslp::InvalidFileHandle()) {
        eslp::CloseFileHandle(m_handle);
        m_handle = eslp::InvalidFileHandle();
    }
}

ESLFileObject* ERawFile::Duplicate() {
    ObjectLock lock(*this);
    ERawFile* copy = new ERawFile();
    if (copy == nullptr)
        return nullptr;
    copy->m_path = m_path;
    if (IsOpen()) {
        if ((m_attributes & modeRead) && !m_path.IsEmpty()) {
            // Reopen by name: the copy gets a file pointer of its own.
            unsigned access = eslp::accessRead;
            if (m_attributes & modeWrite)
                access |= eslp::accessWrite;
            unsigned share = 0;
            if (m_attributes & shareRead)
                share |= eslp::shareReadBit;
            if (m_attributes & shareWrite)
                share |= eslp::shareWriteBit;
            copy->m_handle = eslp::OpenFileHandle(m_path.CharPtr(), access, share, false);
            // A file opened without sharing, or gone since, cannot be opened
            // again: a copy that reads nothing must not pass for a copy.
            if (!copy->IsOpen()) {
                delete copy;
                return nullptr;
            }
        } else {
            // A handle duplicate shares the file pointer with this object.
            copy->m_handle = eslp::DuplicateFileHandle(m_handle);
        }
    }
    copy->m_attributes = m_attributes;
    return copy;
}

uint32_t ERawFile::Read(void* dst, uint32_t bytes) {
    ObjectLock lock(*this);
    if (!IsOpen() || bytes == 0 || dst == nullptr)
        return 0;
    return eslp::ReadHandle(m_handle, dst, bytes);
}

uint32_t ERawFile::Write(const void* src, uint32_t bytes) {
    ObjectLock lock(*this);
    if (!IsOpen() || bytes == 0 || src == nullptr)
        return 0;
    return eslp::WriteHandle(m_handle, src, bytes);
}

uint32_t ERawFile::GetLength() {
    ObjectLock lock(*this);
    if (!IsOpen())
        return 0xFFFFFFFFu;
    return eslp::GetHandleSize(m_handle);
}

uint32_t ERawFile::Seek(int32_t offset, int method) {
    ObjectLock lock(*this);
    if (!IsOpen())
        return 0xFFFFFFFFu;
    return eslp::SetHandlePointer(m_handle, offset, method);
}

uint32_t ERawFile::GetPointer() {
    ObjectLock lock(*this);
    if (!IsOpen())
        return 0xFFFFFFFFu;
    return eslp::SetHandlePointer(m_handle, 0, FromCurrent);
}

ESLResult ERawFile::SetEndOfFile() {
    if (!IsOpen())
        return eslResultGeneral;
    return eslp::SetHandleEnd(m_handle) ? eslResultSuccess : eslResultGeneral;
}

// --- EMemoryFile ---
//
// The position never exceeds INT32_MAX. In an owning file the length may
// run past the capacity after a Seek beyond the end; such a gap reads as
// zeros and is only given memory when a Write reaches into it, so nothing
// ever touches bytes outside the block.

EMemoryFile::EMemoryFile() : m_block(nullptr), m_length(0), m_position(0), m_capacity(0) {}

EMemoryFile::~EMemoryFile() { Close(); }

ESLResult EMemoryFile::Create(uint32_t capacity) {
    ObjectLock lock(*this);
    Close();
    void* block = eslHeapAllocate(nullptr, capacity, 0);
    if (block == nullptr)
        return eslResultGeneral;
    m_block = static_cast<uint8_t*>(block);
    m_length = 0;
    m_position = 0;
    m_capacity = capacity;
    m_attributes = modeCreate | modeRead | modeWrite;
    return eslResultSuccess;
}

ESLResult EMemoryFile::Open(void* block, uint32_t size) {
    ObjectLock lock(*this);
    Close();
    if (block == nullptr && size != 0)
        return eslResultInvalidParameter;
    m_block = static_cast<uint8_t*>(block);
    m_length = size;
    m_capacity = size;
    m_position = 0;
    m_attributes = modeRead;
    return eslResultSuccess;
}

void EMemoryFile::Close() {
    ObjectLock lock(*this);
    if (m_block != nullptr && (m_attributes & modeWrite))
        eslHeapFree(nullptr, m_block, 0);
    m_block = nullptr;
    m_attributes = 0;
}

ESLFileObject* EMemoryFile::Duplicate() {
    ObjectLock lock(*this);
    EMemoryFile* copy = new EMemoryFile();
    if (copy == nullptr)
        return nullptr;
    if (copy->Create(m_length) != eslResultSuccess) {
        delete copy;
        return nullptr;
    }
    uint32_t stored = m_block != nullptr ? (m_length < m_capacity ? m_length : m_capacity) : 0;
    if (stored != 0)
        MoveBytes(copy->m_block, m_block, stored);
    if (m_length > stored)
        FillBytes(copy->m_block + stored, m_length - stored);
    copy->m_length = m_length;
    copy->m_position = 0;
    return copy;
}

uint32_t EMemoryFile::Read(void* dst, uint32_t bytes) {
    ObjectLock lock(*this);
    if (m_block == nullptr || dst == nullptr)
        return 0;
    uint32_t position = static_cast<uint32_t>(m_position);
    if (position >= m_length)
        return 0;
    uint32_t count = m_length - position;
    if (count > bytes)
        count = bytes;
    // The part that lies in the block is copied; a gap left by a Seek past
    // the end of an owning file reads as zeros.
    uint32_t stored = 0;
    if (position < m_capacity) {
        stored = m_capacity - position;
        if (stored > count)
            stored = count;
        MoveBytes(dst, m_block + position, stored);
    }
    if (count > stored)
        FillBytes(static_cast<uint8_t*>(dst) + stored, count - stored);
    m_position = static_cast<int32_t>(position + count);
    return count;
}

uint32_t EMemoryFile::Write(const void* src, uint32_t bytes) {
    ObjectLock lock(*this);
    // Attached blocks belong to the caller and are read-only.
    if (m_block == nullptr || !(m_attributes & modeWrite) || src == nullptr || bytes == 0)
        return 0;
    uint32_t position = static_cast<uint32_t>(m_position);
    uint64_t end = static_cast<uint64_t>(position) + bytes;
    if (end > m_capacity) {
        // Grow to the end of this write plus its size again; if that is too
        // much, to the end alone; failing that, write what fits.
        uint64_t wanted[2] = {RoundUp4096(end + bytes), RoundUp4096(end)};
        for (uint64_t size : wanted) {
            if (size > kMaxBlock)
                continue;
            void* p = eslHeapReallocate(nullptr, m_block, static_cast<uint32_t>(size), heapZeroFill);
            if (p != nullptr) {
                m_block = static_cast<uint8_t*>(p);
                m_capacity = static_cast<uint32_t>(size);
                break;
            }
        }
    }
    uint32_t count = bytes;
    if (end > m_capacity)
        count = position < m_capacity ? m_capacity - position : 0;
    if (count != 0)
        MoveBytes(m_block + position, src, count);
    position += count;
    m_position = static_cast<int32_t>(position);
    if (position > m_length)
        m_length = position;
    return count;
}

uint32_t EMemoryFile::GetLength() { return m_length; }

uint32_t EMemoryFile::Seek(int32_t offset, int method) {
    ObjectLock lock(*this);
    int64_t base;
    switch (method) {
    case FromBegin: base = 0; break;
    case FromCurrent: base = m_position; break;
    case FromEnd: base = m_length; break;
    default: return static_cast<uint32_t>(m_position);
    }
    int64_t target = base + offset;
    if (target < 0)
        target = 0;
    if (target > INT32_MAX)
        target = INT32_MAX;
    m_position = static_cast<int32_t>(target);
    if ((m_attributes & modeWrite) && static_cast<uint32_t>(m_position) > m_length)
        m_length = static_cast<uint32_t>(m_position);
    return static_cast<uint32_t>(m_position);
}

uint32_t EMemoryFile::GetPointer() { return static_cast<uint32_t>(m_position); }

ESLResult EMemoryFile::SetEndOfFile() {
    ObjectLock lock(*this);
    uint32_t position = static_cast<uint32_t>(m_position);
    // An attached block cannot grow: its end can only move inside it.
    if (!(m_attributes & modeWrite) && position > m_capacity)
        return eslResultGeneral;
    m_length = position;
    return eslResultSuccess;
}

// --- EStreamBuffer ---

EStreamBuffer::EStreamBuffer() : m_first(nullptr), m_last(nullptr) {}

EStreamBuffer::~EStreamBuffer() { Clear(); }

namespace {

// Makes room for `bytes` more bytes after the held ones; null when the heap
// cannot serve it, leaving the block as it was.
template <class Block>
void* PrepareBlock(Block* b, uint32_t bytes) {
    uint64_t needed = static_cast<uint64_t>(b->heldLength) + bytes;
    if (needed > b->capacity || b->data == nullptr) {
        uint64_t capacity = RoundUp4096(needed != 0 ? needed : 1);
        if (capacity > kMaxBlock)
            return nullptr;
        uint8_t* data = static_cast<uint8_t*>(eslHeapAllocate(nullptr, static_cast<uint32_t>(capacity), 0));
        if (data == nullptr)
            return nullptr;
        if (b->data != nullptr) {
            if (b->heldLength != 0)
                MoveBytes(data, b->data + b->heldOffset, b->heldLength);
            eslHeapFree(nullptr, b->data, 0);
        }
        b->data = data;
        b->capacity = static_cast<uint32_t>(capacity);
        b->heldOffset = 0;
    } else if (b->heldOffset != 0 && b->heldLength != 0) {
        MoveBytes(b->data, b->data + b->heldOffset, b->heldLength);
        b->heldOffset = 0;
    }
    return b->data + b->heldLength;
}

}  // namespace

void* EStreamBuffer::PutBuffer(uint32_t bytes) {
    if (m_last != nullptr && m_last->capacity - m_last->heldLength >= bytes)
        return PrepareBlock(m_last, bytes);
    Block* b = new (std::nothrow) Block();
    if (b == nullptr)
        return nullptr;
    void* area = PrepareBlock(b, bytes);
    if (area == nullptr) {
        delete b;
        return nullptr;
    }
    if (m_last != nullptr)
        m_last->next = b;
    else
        m_first = b;
    m_last = b;
    return area;
}

void EStreamBuffer::Clear() {
    Block* b = m_first;
    while (b != nullptr) {
        Block* next = b->next;
        if (b->data != nullptr)
            eslHeapFree(nullptr, b->data, 0);
        delete b;
        b = next;
    }
    m_first = nullptr;
    m_last = nullptr;
}

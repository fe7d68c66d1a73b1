// File objects: the abstract byte stream and its raw-file, memory-file and
// scratch-buffer implementations. Lengths, positions and counts are unsigned
// 32-bit on every target.
#pragma once

#include "esl/object.h"
#include "esl/platform.h"
#include "esl/string.h"

class ESLFileObject : public ESLObject {
    ESL_DECLARE_CLASS(ESLFileObject, ESLObject)
public:
    enum {
        modeCreate = 0x01,
        modeRead = 0x02,
        modeWrite = 0x04,
        shareRead = 0x10,
        shareWrite = 0x20,
    };
    enum { FromBegin = 0, FromCurrent = 1, FromEnd = 2 };

    ESLFileObject();
    ~ESLFileObject() override;
    ESLFileObject(const ESLFileObject&) = delete;
    ESLFileObject& operator=(const ESLFileObject&) = delete;

    virtual ESLFileObject* Duplicate() = 0;
    virtual uint32_t Read(void* dst, uint32_t bytes) = 0;
    virtual uint32_t Write(const void* src, uint32_t bytes) = 0;
    virtual uint32_t GetLength() = 0;
    virtual uint32_t Seek(int32_t offset, int method) = 0;
    virtual uint32_t GetPointer() = 0;
    virtual ESLResult SetEndOfFile();

    void Lock() { eslp::EnterLock(&m_lock); }
    void Unlock() { eslp::LeaveLock(&m_lock); }
    uint32_t GetAttributes() const { return m_attributes; }

protected:
    eslp::Lock m_lock;
    uint32_t m_attributes;
};

class ERawFile : public ESLFileObject {
    ESL_DECLARE_CLASS(ERawFile, ESLFileObject)
public:
    ERawFile();
    ~ERawFile() override;

    ESLResult Open(const char* path, unsigned int mode);
    void Close();
    bool IsOpen() const { return m_handle != eslp::InvalidFileHandle(); }
    // Full path of the file last opened successfully.
    const EString& GetPath() const { return m_path; }

    ESLFileObject* Duplicate() override;
    uint32_t Read(void* dst, uint32_t bytes) override;
    uint32_t Write(const void* src, uint32_t bytes) override;
    uint32_t GetLength() override;
    uint32_t Seek(int32_t offset, int method) override;
    uint32_t GetPointer() override;
    ESLResult SetEndOfFile() override;

protected:
    eslp::FileHandle m_handle;
    EString m_path;
};

class EMemoryFile : public ESLFileObject {
    ESL_DECLARE_CLASS(EMemoryFile, ESLFileObject)
public:
    EMemoryFile();
    ~EMemoryFile() override;

    // Owning file of the given capacity (attributes 7). Fails only when the
    // heap cannot serve the block.
    ESLResult Create(uint32_t capacity);
    // Attaches a caller's block read-only, without copying (attributes 2).
    ESLResult Open(void* block, uint32_t size);
    void Close();
    const void* GetBlock() const { return m_block; }

    ESLFileObject* Duplicate() override;
    uint32_t Read(void* dst, uint32_t bytes) override;
    uint32_t Write(const void* src, uint32_t bytes) override;
    uint32_t GetLength() override;
    uint32_t Seek(int32_t offset, int method) override;
    uint32_t GetPointer() override;
    ESLResult SetEndOfFile() override;

protected:
    uint8_t* m_block;
    uint32_t m_length;
    int32_t m_position;
    uint32_t m_capacity;
};

class EStreamBuffer : public ESLObject {
    ESL_DECLARE_CLASS(EStreamBuffer, ESLObject)
public:
    EStreamBuffer();
    ~EStreamBuffer() override;
    EStreamBuffer(const EStreamBuffer&) = delete;
    EStreamBuffer& operator=(const EStreamBuffer&) = delete;

    // Scratch area of at least `bytes` bytes, owned by the buffer and valid
    // until the next PutBuffer or Clear; null when the heap cannot serve it.
    void* PutBuffer(uint32_t bytes);
    void Clear();

protected:
    struct Block {
        Block* next;
        uint8_t* data;
        uint32_t heldOffset;
        uint32_t heldLength;
        uint32_t capacity;
    };
    Block* m_first;
    Block* m_last;
};

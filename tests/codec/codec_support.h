// Shared helpers of the codec tests: memory files in and out, sample data,
// and whole-stream encode/decode with chosen call splits.
#pragma once

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "ekisa/decode_context.h"
#include "ekisa/encode_context.h"
#include "esl/file.h"

using Bytes = std::vector<uint8_t>;

// Request sizes, used in turn and repeated; empty means one call for all.
using Splits = std::vector<uint32_t>;

Bytes FileBytes(EMemoryFile& file);

// A writable memory file (owning).
struct OutFile {
    EMemoryFile file;
    OutFile();
    Bytes Data() { return FileBytes(file); }
};

// A read-only memory file over a copy of the bytes.
struct InFile {
    Bytes data;
    EMemoryFile file;
    explicit InFile(const Bytes& bytes);
};

Bytes EncodeEKISA(const Bytes& plain, uint32_t flags, const Splits& splits = {});
// Decodes up to `length` bytes; stops at the first short read.
Bytes DecodeEKISA(const Bytes& coded, uint32_t length, const Splits& splits = {});

Bytes EncodeBSHF(const Bytes& plain, const char* password, const Splits& splits = {});
Bytes DecodeBSHF(const Bytes& coded, const char* password, uint32_t length, const Splits& splits = {});

// EKISA code enciphered with BSHF, as the "ekisa_crypt" entries hold it.
Bytes EncodeChained(const Bytes& plain, const char* password, uint32_t flags, const Splits& splits = {});
Bytes DecodeChained(const Bytes& coded, const char* password, uint32_t length, const Splits& splits = {});

// A model pool as the coders prepare it, with room for all its models.
struct PoolDeleter {
    void operator()(EKISAModelPool* pool) const;
};
using PoolPtr = std::unique_ptr<EKISAModelPool, PoolDeleter>;
PoolPtr NewModelPool();

// Sample data.
Bytes RandomBytes(uint32_t n, uint32_t seed);
Bytes RepetitiveText(uint32_t n);  // prose with repeats far longer than 255 bytes
Bytes StructuredBinary(uint32_t n, uint32_t seed);  // PE-like: headers, code, tables, strings
// A real 32-bit PE file from the machine, or empty when there is none.
Bytes FindPEFile(std::string* path);


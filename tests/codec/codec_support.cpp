#include "codec_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

namespace {

uint32_t NextSplit(const Splits& splits, size_t* at, uint32_t rest) {
    if (splits.empty())
        return rest;
    uint32_t n = splits[*at % splits.size()];
    ++*at;
    return std::min(n, rest);
}

struct Rng {
    uint32_t s;
    explicit Rng(uint32_t seed) : s(seed ? seed : 0x9E3779B9u) {}
    uint32_t operator()() {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        return s;
    }
};

void WriteAll(EKISAEncodeContext& enc, const Bytes& plain, const Splits& splits, bool bshf) {
    size_t at = 0;
    uint32_t done = 0;
    const uint32_t total = static_cast<uint32_t>(plain.size());
    while (done < total) {
        const uint32_t n = NextSplit(splits, &at, total - done);
        const uint32_t taken = bshf ? enc.WriteBSHFCodeBytes(plain.data() + done, n)
                                    : enc.WriteEKISACodeBytes(plain.data() + done, n);
        if (taken != n)
            break;
        done += n;
    }
}

Bytes ReadAll(EKISADecodeContext& dec, uint32_t length, const Splits& splits, bool bshf) {
    Bytes out(length);
    size_t at = 0;
    uint32_t done = 0;
    while (done < length) {
        const uint32_t n = NextSplit(splits, &at, length - done);
        const uint32_t got = bshf ? dec.ReadBSHFCodeBytes(out.data() + done, n)
                                  : dec.ReadEKISACodeBytes(out.data() + done, n);
        done += got;
        if (got < n)
            break;
    }
    out.resize(done);
    return out;
}

}  // namespace

Bytes FileBytes(EMemoryFile& file) {
    const uint8_t* block = static_cast<const uint8_t*>(file.GetBlock());
    const uint32_t n = file.GetLength();
    return block != nullptr ? Bytes(block, block + n) : Bytes();
}

OutFile::OutFile() { file.Create(4096); }

InFile::InFile(const Bytes& bytes) : data(bytes) {
    if (data.empty())
        data.reserve(1);
    file.Open(data.data(), static_cast<uint32_t>(data.size()));
}

Bytes EncodeEKISA(const Bytes& plain, uint32_t flags, const Splits& splits) {
    OutFile out;
    EKISAEncodeContext enc(0x4000);
    enc.SetTargetFile(&out.file);
    if (enc.BeginEKISACodeEncoding(flags) != eslResultSuccess)
        return Bytes();
    WriteAll(enc, plain, splits, false);
    if (enc.FinishEKISACode() != eslResultSuccess)
        return Bytes();
    return out.Data();
}

Bytes DecodeEKISA(const Bytes& coded, uint32_t length, const Splits& splits) {
    InFile in(coded);
    EKISADecodeContext dec(0x10000);
    dec.SetSourceFile(&in.file);
    if (dec.BeginEKISACode() != eslResultSuccess)
        return Bytes();
    return ReadAll(dec, length, splits, false);
}

Bytes EncodeBSHF(const Bytes& plain, const char* password, const Splits& splits) {
    OutFile out;
    EKISAEncodeContext enc(0x4000);
    enc.SetTargetFile(&out.file);
    if (enc.BeginBSHFEncoding(password) != eslResultSuccess)
        return Bytes();
    WriteAll(enc, plain, splits, true);
    if (enc.FinishBSHFCode() != eslResultSuccess)
        return Bytes();
    return out.Data();
}

Bytes DecodeBSHF(const Bytes& coded, const char* password, uint32_t length, const Splits& splits) {
    InFile in(coded);
    EKISADecodeContext dec(0x10000);
    dec.SetSourceFile(&in.file);
    if (dec.BeginBSHFCode(password) != eslResultSuccess)
        return Bytes();
    return ReadAll(dec, length, splits, true);
}

Bytes EncodeChained(const Bytes& plain, const char* password, uint32_t flags, const Splits& splits) {
    OutFile out;
    EKISAEncodeContext cipher(0x4000);
    cipher.SetTargetFile(&out.file);
    EKISAEncodeContext code(0x4000);
    code.SetTargetContext(&cipher);
    if (cipher.BeginBSHFEncoding(password) != eslResultSuccess ||
        code.BeginEKISACodeEncoding(flags) != eslResultSuccess)
        return Bytes();
    WriteAll(code, plain, splits, false);
    if (code.FinishEKISACode() != eslResultSuccess || cipher.FinishBSHFCode() != eslResultSuccess)
        return Bytes();
    return out.Data();
}

Bytes DecodeChained(const Bytes& coded, const char* password, uint32_t length, const Splits& splits) {
    InFile in(coded);
    EKISADecodeContext cipher(0x10000);
    cipher.SetSourceFile(&in.file);
    EKISADecodeContext code(0x10000);
    code.SetSourceContext(&cipher);
    if (cipher.BeginBSHFCode(password) != eslResultSuccess || code.BeginEKISACode() != eslResultSuccess)
        return Bytes();
    return ReadAll(code, length, splits, false);
}

Bytes RandomBytes(uint32_t n, uint32_t seed) {
    Rng rng(seed);
    Bytes out(n);
    for (auto& b : out)
        b = static_cast<uint8_t>(rng() >> 24);
    return out;
}

Bytes RepetitiveText(uint32_t n) {
    static const char* const kSentences[] = {
        "The installer reads each entry of the archive and writes it over the game's file. ",
        "A checksum of four bytes guards every coded entry against damage in transit. ",
        "ミルトアの修正パッチは、ゲームの実行ファイルとスクリプトを更新します。",
        "Phrases that repeat are coded as copies from the window of recent bytes; ",
        "runs of one byte are coded as repeats of the last byte. ",
    };
    // A long paragraph that comes back several times, with sentences between.
    std::string paragraph;
    for (int k = 0; k < 6; ++k)
        paragraph += kSentences[k % 5];
    std::string text;
    Rng rng(7);
    while (text.size() < n) {
        const uint32_t r = rng() % 4;
        if (r == 0)
            text += paragraph;  // over 255 bytes of exact repeat
        else
            text += kSentences[rng() % 5];
        if (r == 3)
            text += std::to_string(rng() % 100000) + " ";
    }
    text.resize(n);
    return Bytes(text.begin(), text.end());
}

Bytes StructuredBinary(uint32_t n, uint32_t seed) {
    Rng rng(seed);
    Bytes out;
    out.reserve(n);
    auto put32 = [&](uint32_t v) {
        for (int k = 0; k < 4; ++k)
            out.push_back(static_cast<uint8_t>(v >> (8 * k)));
    };
    // DOS and PE headers, zero-padded.
    const char stub[] = "MZ\x90\0\x03\0\0\0\x04\0\0\0\xff\xff\0\0This program cannot be run in DOS mode.\r\r\n$";
    out.insert(out.end(), stub, stub + sizeof(stub));
    out.resize(0x80, 0);
    out.push_back('P');
    out.push_back('E');
    out.push_back(0);
    out.push_back(0);
    out.resize(0x400, 0);
    static const uint8_t kPrologue[] = {0x55, 0x8B, 0xEC, 0x83, 0xEC, 0x10, 0x53, 0x56, 0x57};
    static const uint8_t kEpilogue[] = {0x5F, 0x5E, 0x5B, 0x8B, 0xE5, 0x5D, 0xC3, 0xCC, 0xCC};
    uint32_t address = 0x10001000;
    while (out.size() < n) {
        const uint32_t kind = rng() % 10;
        if (kind < 6) {  // a function: prologue, calls and moves, epilogue
            out.insert(out.end(), std::begin(kPrologue), std::end(kPrologue));
            const uint32_t body = 4 + rng() % 24;
            for (uint32_t k = 0; k < body; ++k) {
                switch (rng() % 4) {
                case 0: out.push_back(0xE8); put32(address - static_cast<uint32_t>(out.size()) + (rng() % 4096)); break;
                case 1: out.push_back(0x8B); out.push_back(static_cast<uint8_t>(0x45 + 8 * (rng() % 4))); out.push_back(static_cast<uint8_t>(0xF0 + 4 * (rng() % 4))); break;
                case 2: out.push_back(0x68); put32(address + (rng() % 64) * 16); break;
                default: out.push_back(0x85); out.push_back(0xC0); out.push_back(0x74); out.push_back(static_cast<uint8_t>(rng() % 64)); break;
                }
            }
            out.insert(out.end(), std::begin(kEpilogue), std::end(kEpilogue));
        } else if (kind < 8) {  // a table of addresses
            const uint32_t entries = 8 + rng() % 32;
            for (uint32_t k = 0; k < entries; ++k)
                put32(address + k * 0x20 + (rng() % 3) * 4);
        } else if (kind == 8) {  // names of imports
            static const char* const kNames[] = {"GetProcAddress", "LoadLibraryA", "CreateFileA",
                                                 "ReadFile", "WriteFile", "CloseHandle",
                                                 "MultiByteToWideChar", "HeapAlloc"};
            const char* name = kNames[rng() % 8];
            out.push_back(static_cast<uint8_t>(rng() % 256));
            out.push_back(0);
            out.insert(out.end(), name, name + strlen(name) + 1);
        } else {  // zero padding
            out.resize(out.size() + (rng() % 200), 0);
        }
        address += 0x40;
    }
    out.resize(n);
    return out;
}

Bytes FindPEFile(std::string* path) {
    static const char* const kCandidates[] = {
        "/usr/lib/i386-linux-gnu/wine/i386-windows/comctl32.dll",
        "/usr/lib/i386-linux-gnu/wine/i386-windows/msctf.dll",
        "/usr/lib/i386-linux-gnu/wine/i386-windows/crypt32.dll",
        "/usr/lib/wine/i386-windows/comctl32.dll",
        "/usr/i686-w64-mingw32/lib/zlib1.dll",
        "/usr/i686-w64-mingw32/lib/libwinpthread-1.dll",
    };
    for (const char* candidate : kCandidates) {
        FILE* f = fopen(candidate, "rb");
        if (f == nullptr)
            continue;
        Bytes data;
        uint8_t chunk[65536];
        size_t got;
        while ((got = fread(chunk, 1, sizeof(chunk), f)) > 0)
            data.insert(data.end(), chunk, chunk + got);
        fclose(f);
        if (data.size() >= 2 && data[0] == 'M' && data[1] == 'Z') {
            if (path != nullptr)
                *path = candidate;
            return data;
        }
    }
    return Bytes();
}

PoolPtr NewModelPool() {
    EKISAModelPool* pool = new EKISAModelPool;
    pool->block = nullptr;
    pool->nextBlock = nullptr;
    if (!pool->Allocate())
        abort();
    pool->Reset();
    return PoolPtr(pool);
}

void PoolDeleter::operator()(EKISAModelPool* pool) const {
    eslHeapFree(nullptr, pool->block, 0);
    eslHeapFree(nullptr, pool->nextBlock, 0);
    delete pool;
}

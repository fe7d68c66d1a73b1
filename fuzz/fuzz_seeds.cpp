// Writes the seed corpora of the fuzz targets:
//   fuzz_seeds DIR   ->  DIR/ekisa_decode, DIR/ekisa_roundtrip, DIR/bshf_decode, DIR/archive
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "ekisa/ekisa_archive.h"
#include "ekisa/encode_context.h"
#include "esl/file.h"
#include "pe_sample.h"

namespace {

using Bytes = std::vector<uint8_t>;

bool Save(const std::string& path, const Bytes& data) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    const bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
    return fclose(f) == 0 && ok;
}

Bytes FileBytes(EMemoryFile& file) {
    const uint8_t* p = static_cast<const uint8_t*>(file.GetBlock());
    return p != nullptr ? Bytes(p, p + file.GetLength()) : Bytes();
}

Bytes Text(size_t n) {
    static const char kText[] =
        "The installer reads each entry and writes it over the game's file. "
        "ミルトアの修正パッチは、ゲームの実行ファイルとスクリプトを更新します。"
        "Phrases that repeat are coded as copies from the window of recent bytes. ";
    Bytes out;
    while (out.size() < n)
        out.insert(out.end(), kText, kText + sizeof(kText) - 1);
    out.resize(n);
    return out;
}

Bytes Binary(size_t n, uint32_t seed) {
    Bytes out;
    uint32_t s = seed;
    while (out.size() < n) {
        s = s * 1103515245u + 12345u;
        const uint32_t kind = (s >> 16) % 4;
        if (kind == 0)
            out.insert(out.end(), {0x55, 0x8B, 0xEC, 0x83, 0xEC, 0x10, 0xE8});
        else if (kind == 1)
            out.resize(out.size() + (s >> 24) % 40, 0);
        else
            for (int k = 0; k < 8; ++k)
                out.push_back(static_cast<uint8_t>(s >> (k * 3)));
    }
    out.resize(n);
    return out;
}

Bytes EncodeEKISA(const Bytes& plain, uint32_t flags) {
    EMemoryFile out;
    out.Create(4096);
    EKISAEncodeContext enc(0x4000);
    enc.SetTargetFile(&out);
    enc.BeginEKISACodeEncoding(flags);
    enc.WriteEKISACodeBytes(plain.data(), static_cast<uint32_t>(plain.size()));
    enc.FinishEKISACode();
    return FileBytes(out);
}

Bytes EncodeBSHF(const Bytes& plain, const char* password) {
    EMemoryFile out;
    out.Create(4096);
    EKISAEncodeContext enc(0x4000);
    enc.SetTargetFile(&out);
    enc.BeginBSHFEncoding(password);
    enc.WriteBSHFCodeBytes(plain.data(), static_cast<uint32_t>(plain.size()));
    enc.FinishBSHFCode();
    return FileBytes(out);
}

EKISAFileEntry* NewEntry(const char* name, uint32_t attribute, uint32_t encodeType) {
    EKISAFileEntry* e = new EKISAFileEntry;
    e->SetName(name);
    e->attribute = attribute;
    e->encodeType = encodeType;
    e->fileTime = EKISAFileTime{1, 2, 3, 0, 4, 5, 2020};
    return e;
}

bool WriteEntry(EKISAArchive& a, const char* name, const char* password, const Bytes& content) {
    if (a.DescendFile(name, password, 0) != eslResultSuccess)
        return false;
    const bool ok = a.Write(content.data(), static_cast<uint32_t>(content.size())) == content.size();
    return a.AscendFile() == eslResultSuccess && ok;
}

// Every encode type, a subdirectory, and the installer's two names.
Bytes Archive(size_t scale) {
    EMemoryFile file;
    file.Create(0);
    {
        EKISAArchive archive;
        EKISAEntryList root;
        root.Add(NewEntry("quorvel.exe", 0, ekisaEncodeCode));
        root.Add(NewEntry("script.eka", 0, ekisaEncodeRaw));
        root.Add(NewEntry("secret.bin", 0, ekisaEncodeBshfCrypt));
        root.Add(NewEntry("both.bin", 0, ekisaEncodeCrypt));
        root.Add(NewEntry("sub", attrDirectory, 0));
        if (archive.Open(&file, &root) != eslResultSuccess)
            return Bytes();
        WriteEntry(archive, "quorvel.exe", nullptr, Binary(scale, 1));
        WriteEntry(archive, "script.eka", nullptr, Text(scale / 2));
        WriteEntry(archive, "secret.bin", nullptr, Text(scale / 3 + 5));
        WriteEntry(archive, "both.bin", nullptr, Binary(scale / 2 + 3, 2));
        EKISAEntryList sub;
        sub.Add(NewEntry("a.bin", 0, ekisaEncodeCode));
        sub.Add(NewEntry("empty", 0, ekisaEncodeCode));
        if (archive.DescendDirectory("sub", &sub) == eslResultSuccess) {
            WriteEntry(archive, "a.bin", nullptr, Text(scale / 4 + 1));
            WriteEntry(archive, "empty", nullptr, Bytes());
            archive.AscendDirectory();
        }
        archive.Close();
    }
    return FileBytes(file);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: fuzz_seeds DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    for (size_t at = dir.find('/', 1); at != std::string::npos; at = dir.find('/', at + 1))
        mkdir(dir.substr(0, at).c_str(), 0755);  // the parents, as mkdir -p
    for (const char* sub : {"", "/ekisa_decode", "/ekisa_roundtrip", "/bshf_decode", "/archive", "/pe_resource"})
        mkdir((dir + sub).c_str(), 0755);
    bool ok = true;
    int n = 0;
    for (uint32_t flags : {1u, 3u}) {
        for (size_t size : {0u, 1u, 40u, 700u, 5000u}) {
            const Bytes text = Text(size);
            const Bytes bin = Binary(size, static_cast<uint32_t>(size));
            for (const Bytes* plain : {&text, &bin}) {
                Bytes seed{static_cast<uint8_t>(n * 37), 4};
                const Bytes coded = EncodeEKISA(*plain, flags);
                seed.insert(seed.end(), coded.begin(), coded.end());
                ok &= Save(dir + "/ekisa_decode/seed" + std::to_string(n), seed);
                Bytes round{static_cast<uint8_t>(n * 5 + (flags == 3))};
                round.insert(round.end(), plain->begin(), plain->end());
                ok &= Save(dir + "/ekisa_roundtrip/seed" + std::to_string(n), round);
                ++n;
            }
        }
    }
    const char* const kPasswords[] = {"", "k", "password", "a password longer than thirty-two bytes"};
    for (int k = 0; k < 4; ++k) {
        const Bytes plain = Text(100 + 50 * static_cast<size_t>(k));
        Bytes seed{static_cast<uint8_t>(strlen(kPasswords[k]))};
        seed.insert(seed.end(), kPasswords[k], kPasswords[k] + strlen(kPasswords[k]));
        const Bytes coded = EncodeBSHF(plain, kPasswords[k]);
        seed.insert(seed.end(), coded.begin(), coded.end());
        ok &= Save(dir + "/bshf_decode/seed" + std::to_string(k), seed);
    }
    int a = 0;
    for (size_t scale : {0u, 60u, 2000u}) {
        const Bytes archive = Archive(scale);
        ok &= !archive.empty() && Save(dir + "/archive/seed" + std::to_string(a++), archive);
    }
    // Sample images of both kinds, each followed by some resource data.
    int p = 0;
    for (bool plus : {false, true}) {
        for (size_t overlay : {0u, 40u}) {
            pesample::Options options;
            options.plus = plus;
            options.overlay = overlay;
            const Bytes image = pesample::Make(options);
            const uint32_t length = static_cast<uint32_t>(image.size());
            Bytes seed{uint8_t(length), uint8_t(length >> 8), uint8_t(length >> 16), uint8_t(length >> 24)};
            seed.insert(seed.end(), image.begin(), image.end());
            const Bytes payload = Text(50 + overlay);
            seed.insert(seed.end(), payload.begin(), payload.end());
            ok &= Save(dir + "/pe_resource/seed" + std::to_string(p++), seed);
        }
    }
    if (!ok)
        fprintf(stderr, "fuzz_seeds: some seeds could not be written\n");
    return ok ? 0 : 1;
}

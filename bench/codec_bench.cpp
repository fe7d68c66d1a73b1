// Speed and ratio of the EKISA code, as the archive writes it and with the
// thorough parse (parseBest), beside zlib -9, xz -9, xz -9e and zstd -19, on
// stripped 32-bit PE DLLs and Japanese text in CP932.
//
//   codec_bench [--quick] [--ekisa-only] [--write-corpus OUT] [FILE...]
//
// --ekisa-only leaves out the other coders (for quick looks at the EKISA
// rows). The totals come for the PE files and for all files, each with the
// thorough parse's size and encode time beside the default's.
// Without files it looks for Wine's 32-bit DLLs (stripped into a scratch
// folder with the mingw strip tool when it is there) and for the Japanese
// message catalogs under /usr/share/locale/ja. A .mo file stands for the
// text of its translations, converted to CP932. For every file the FNV-1a
// hash of the EKISA code is printed, so that a faster coder can be shown to
// write the same bits. --write-corpus writes the samples, as coded here,
// one after the other into OUT and stops: the input of the whole-process
// comparisons (ekisa cat beside xz -dc) in README.md.
#include <iconv.h>
#include <lzma.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "ekisa/decode_context.h"
#include "ekisa/encode_context.h"
#include "esl/file.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

struct Sample {
    std::string name;
    Bytes data;
};

bool ReadFile(const std::string& path, Bytes* out) {
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return false;
    out->clear();
    uint8_t chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof(chunk), f)) > 0)
        out->insert(out->end(), chunk, chunk + got);
    fclose(f);
    return true;
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The translated strings of a gettext catalog (UTF-8), one per line.
bool CatalogText(const Bytes& mo, std::string* text) {
    auto word = [&](size_t at, bool swap) -> uint32_t {
        if (at + 4 > mo.size())
            return 0;
        uint32_t v;
        memcpy(&v, mo.data() + at, 4);
        return swap ? __builtin_bswap32(v) : v;
    };
    if (mo.size() < 28)
        return false;
    bool swap;
    if (word(0, false) == 0x950412DEu)
        swap = false;
    else if (word(0, true) == 0x950412DEu)
        swap = true;
    else
        return false;
    const uint32_t count = word(8, swap);
    const uint32_t table = word(16, swap);
    for (uint32_t k = 1; k < count; ++k) {  // entry 0 is the catalog header
        const uint32_t length = word(table + 8 * k, swap);
        const uint32_t offset = word(table + 8 * k + 4, swap);
        if (static_cast<uint64_t>(offset) + length > mo.size())
            return false;
        text->append(reinterpret_cast<const char*>(mo.data() + offset), length);
        text->push_back('\n');
    }
    return true;
}

// UTF-8 to CP932; characters without a CP932 form are dropped.
Bytes ToCP932(const std::string& utf8) {
    Bytes out;
    iconv_t cd = iconv_open("CP932", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return out;
    std::vector<char> buffer(utf8.size() * 2 + 16);
    char* in = const_cast<char*>(utf8.data());
    size_t inLeft = utf8.size();
    char* dst = buffer.data();
    size_t dstLeft = buffer.size();
    while (inLeft > 0) {
        if (iconv(cd, &in, &inLeft, &dst, &dstLeft) == static_cast<size_t>(-1)) {
            if (errno == EILSEQ || errno == EINVAL) {
                ++in;  // skip one byte of the character that has no form
                --inLeft;
                continue;
            }
            break;
        }
    }
    iconv_close(cd);
    out.assign(buffer.data(), dst);
    return out;
}

bool LoadSample(const std::string& path, const std::string& scratch, Sample* sample) {
    Bytes raw;
    if (!ReadFile(path, &raw))
        return false;
    if (path.size() > 3 && path.compare(path.size() - 3, 3, ".mo") == 0) {
        std::string text;
        if (!CatalogText(raw, &text))
            return false;
        sample->data = ToCP932(text);
        sample->name = BaseName(path) + " (ja, CP932)";
        return !sample->data.empty();
    }
    sample->name = BaseName(path);
    sample->data = raw;
    if (raw.size() > 2 && raw[0] == 'M' && raw[1] == 'Z' && !scratch.empty()) {
        const std::string stripped = scratch + "/" + BaseName(path);
        const std::string command = "i686-w64-mingw32-strip -o '" + stripped + "' '" + path + "' 2>/dev/null";
        Bytes strippedData;
        if (system(command.c_str()) == 0 && ReadFile(stripped, &strippedData)) {
            // strip stamps the file with the time of stripping (and sets the
            // image checksum to match): keep the original stamp and clear the
            // checksum, so that the corpus, and the hashes, stay fixed.
            const uint32_t header = raw.size() >= 0x40 ? (raw[0x3C] | raw[0x3D] << 8 | raw[0x3E] << 16 |
                                                          static_cast<uint32_t>(raw[0x3F]) << 24)
                                                       : 0;
            if (header != 0 && header + 0x5C <= raw.size() && header + 0x5C <= strippedData.size()) {
                memcpy(strippedData.data() + header + 8, raw.data() + header + 8, 4);
                memset(strippedData.data() + header + 0x58, 0, 4);
            }
            sample->data = strippedData;
            sample->name += " (stripped)";
        }
        unlink(stripped.c_str());
    }
    return !sample->data.empty();
}

uint64_t Fnv1a(const Bytes& data) {
    uint64_t h = 0xCBF29CE484222325ull;
    for (uint8_t b : data) {
        h ^= b;
        h *= 0x100000001B3ull;
    }
    return h;
}

double Seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// Runs fn until at least minSeconds have passed (and at least once); gives
// the best time of one run.
template <class F>
double Best(F fn, double minSeconds, int maxRuns) {
    double best = 1e30;
    double spent = 0;
    for (int run = 0; run < maxRuns && (run == 0 || spent < minSeconds); ++run) {
        const auto t0 = Clock::now();
        fn();
        const double s = Seconds(t0, Clock::now());
        best = std::min(best, s);
        spent += s;
    }
    return best;
}

struct Result {
    size_t coded = 0;
    double encodeSeconds = 0;
    double decodeSeconds = 0;
    bool ok = false;
};

Bytes EncodeEKISA(const Bytes& plain, uint32_t flags) {
    EMemoryFile out;
    out.Create(static_cast<uint32_t>(plain.size() / 2 + 4096));
    EKISAEncodeContext enc(0x4000);
    enc.SetTargetFile(&out);
    enc.BeginEKISACodeEncoding(flags);
    // In 64 KiB pieces, as the archive tool writes entries.
    for (size_t at = 0; at < plain.size(); at += 0x10000) {
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(0x10000, plain.size() - at));
        enc.WriteEKISACodeBytes(plain.data() + at, n);
    }
    enc.FinishEKISACode();
    const uint8_t* block = static_cast<const uint8_t*>(out.GetBlock());
    return Bytes(block, block + out.GetLength());
}

bool DecodeEKISA(const Bytes& coded, Bytes* plain) {
    EMemoryFile in;
    in.Open(const_cast<uint8_t*>(coded.data()), static_cast<uint32_t>(coded.size()));
    EKISADecodeContext dec(0x10000);
    dec.SetSourceFile(&in);
    if (dec.BeginEKISACode() != eslResultSuccess)
        return false;
    for (size_t at = 0; at < plain->size(); at += 0x10000) {
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(0x10000, plain->size() - at));
        if (dec.ReadEKISACodeBytes(plain->data() + at, n) != n)
            return false;
    }
    return true;
}

Result RunEKISA(const Bytes& plain, uint32_t flags, bool quick, uint64_t* hash) {
    Result r;
    Bytes coded;
    r.encodeSeconds = Best([&] { coded = EncodeEKISA(plain, flags); }, quick ? 0 : 1.0, quick ? 1 : 3);
    r.coded = coded.size();
    *hash = Fnv1a(coded);
    Bytes back(plain.size());
    r.decodeSeconds = Best([&] { r.ok = DecodeEKISA(coded, &back); }, quick ? 0 : 1.0, quick ? 1 : 5);
    r.ok = r.ok && back == plain;
    return r;
}

Result RunZlib(const Bytes& plain, bool quick) {
    Result r;
    Bytes coded(compressBound(plain.size()));
    uLongf codedSize = 0;
    r.encodeSeconds = Best([&] {
        codedSize = coded.size();
        compress2(coded.data(), &codedSize, plain.data(), plain.size(), 9);
    }, 0, 1);
    r.coded = codedSize;
    Bytes back(plain.size());
    r.decodeSeconds = Best([&] {
        uLongf n = back.size();
        r.ok = uncompress(back.data(), &n, coded.data(), codedSize) == Z_OK && n == plain.size();
    }, quick ? 0 : 0.5, quick ? 1 : 5);
    r.ok = r.ok && back == plain;
    return r;
}

Result RunXz(const Bytes& plain, uint32_t preset, bool quick) {
    Result r;
    Bytes coded(lzma_stream_buffer_bound(plain.size()));
    size_t codedSize = 0;
    r.encodeSeconds = Best([&] {
        codedSize = 0;
        lzma_easy_buffer_encode(preset, LZMA_CHECK_CRC32, nullptr, plain.data(), plain.size(), coded.data(),
                                &codedSize, coded.size());
    }, 0, 1);
    r.coded = codedSize;
    Bytes back(plain.size());
    r.decodeSeconds = Best([&] {
        uint64_t limit = UINT64_MAX;
        size_t inPos = 0, outPos = 0;
        r.ok = lzma_stream_buffer_decode(&limit, 0, nullptr, coded.data(), &inPos, codedSize, back.data(),
                                         &outPos, back.size()) == LZMA_OK &&
               outPos == plain.size();
    }, quick ? 0 : 0.5, quick ? 1 : 5);
    r.ok = r.ok && back == plain;
    return r;
}

Result RunZstd(const Bytes& plain, bool quick) {
    Result r;
    Bytes coded(ZSTD_compressBound(plain.size()));
    size_t codedSize = 0;
    r.encodeSeconds = Best([&] {
        codedSize = ZSTD_compress(coded.data(), coded.size(), plain.data(), plain.size(), 19);
    }, 0, 1);
    r.coded = ZSTD_isError(codedSize) ? 0 : codedSize;
    Bytes back(plain.size());
    r.decodeSeconds = Best([&] {
        r.ok = ZSTD_decompress(back.data(), back.size(), coded.data(), codedSize) == plain.size();
    }, quick ? 0 : 0.5, quick ? 1 : 5);
    r.ok = r.ok && back == plain;
    return r;
}

void PrintRow(const char* codec, const Result& r, size_t plain) {
    const double mb = static_cast<double>(plain) / 1e6;
    printf("  %-10s %10zu  %6.3f  %9.2f  %9.2f  %s\n", codec, r.coded,
           plain ? static_cast<double>(r.coded) / static_cast<double>(plain) : 0.0,
           r.encodeSeconds > 0 ? mb / r.encodeSeconds : 0.0, r.decodeSeconds > 0 ? mb / r.decodeSeconds : 0.0,
           r.ok ? "ok" : "MISMATCH");
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    bool ekisaOnly = false;
    const char* corpusOut = nullptr;
    std::vector<std::string> paths;
    for (int k = 1; k < argc; ++k) {
        if (strcmp(argv[k], "--quick") == 0) {
            quick = true;
        } else if (strcmp(argv[k], "--ekisa-only") == 0) {
            ekisaOnly = true;
        } else if (strcmp(argv[k], "--write-corpus") == 0) {
            if (++k == argc) {
                fprintf(stderr, "codec_bench: --write-corpus needs a file name\n");
                return 2;
            }
            corpusOut = argv[k];
        } else {
            paths.push_back(argv[k]);
        }
    }
    if (paths.empty()) {
        for (const char* dir : {"/usr/lib/i386-linux-gnu/wine/i386-windows", "/usr/lib/wine/i386-windows"}) {
            for (const char* dll : {"comctl32.dll", "crypt32.dll", "gdi32.dll", "jscript.dll"}) {
                const std::string p = std::string(dir) + "/" + dll;
                if (Exists(p))
                    paths.push_back(p);
            }
            if (!paths.empty())
                break;
        }
        for (const char* mo : {"coreutils.mo", "gnupg2.mo", "postgres-15.mo"}) {
            const std::string p = std::string("/usr/share/locale/ja/LC_MESSAGES/") + mo;
            if (Exists(p))
                paths.push_back(p);
        }
    }
    if (paths.empty()) {
        fprintf(stderr, "codec_bench: no corpus files given or found\n");
        return 2;
    }

    char scratchTemplate[] = "/tmp/codec_bench.XXXXXX";
    const char* scratch = mkdtemp(scratchTemplate);

    std::vector<Sample> samples;
    for (const std::string& p : paths) {
        Sample s;
        if (LoadSample(p, scratch ? scratch : "", &s))
            samples.push_back(std::move(s));
        else
            fprintf(stderr, "codec_bench: skipped %s\n", p.c_str());
    }
    if (scratch != nullptr)
        rmdir(scratch);
    if (corpusOut != nullptr) {
        FILE* f = fopen(corpusOut, "wb");
        size_t total = 0;
        bool written = f != nullptr;
        for (const Sample& s : samples) {
            written = written && fwrite(s.data.data(), 1, s.data.size(), f) == s.data.size();
            total += s.data.size();
        }
        if (f != nullptr && fclose(f) != 0)
            written = false;
        if (!written) {
            fprintf(stderr, "codec_bench: cannot write %s\n", corpusOut);
            return 1;
        }
        printf("%s: %zu files, %zu bytes\n", corpusOut, samples.size(), total);
        return 0;
    }

    printf("EKISA code (flags 1, as the archive writes it; ekisa-best adds parseBest) beside\n"
           "zlib -9, xz -9, xz -9e and zstd -19, each file in one piece; EKISA in 64 KiB writes.\n");
    printf("MB/s are of plain bytes, 1 MB = 10^6 bytes, one core, best of several runs.\n\n");
    enum { kEkisa, kBest, kZlib, kXz, kXzExtreme, kZstd, kCodecs };
    const char* names[kCodecs] = {"ekisa", "ekisa-best", "zlib-9", "xz-9", "xz-9e", "zstd-19"};
    const int shown = ekisaOnly ? 2 : kCodecs;
    // Totals: PE files, then all files.
    Result sum[2][kCodecs];
    size_t plainSum[2] = {0, 0};
    bool allOk = true;
    auto printHeader = [] {
        printf("  %-10s %10s  %6s  %9s  %9s\n", "codec", "coded", "ratio", "enc MB/s", "dec MB/s");
    };
    auto printBestLine = [](const Result* r) {
        printf("  best/default: %+.2f %% size, %.1f x encode time\n",
               r[kEkisa].coded ? 100.0 * (static_cast<double>(r[kBest].coded) / static_cast<double>(r[kEkisa].coded) - 1)
                               : 0.0,
               r[kEkisa].encodeSeconds > 0 ? r[kBest].encodeSeconds / r[kEkisa].encodeSeconds : 0.0);
    };
    for (const Sample& s : samples) {
        uint64_t hash = 0, bestHash = 0;
        Result r[kCodecs];
        r[kEkisa] = RunEKISA(s.data, EKISAEncodeContext::searchPhrase, quick, &hash);
        r[kBest] = RunEKISA(s.data, EKISAEncodeContext::searchPhrase | EKISAEncodeContext::parseBest, quick, &bestHash);
        if (!ekisaOnly) {
            r[kZlib] = RunZlib(s.data, quick);
            r[kXz] = RunXz(s.data, 9, quick);
            r[kXzExtreme] = RunXz(s.data, 9 | LZMA_PRESET_EXTREME, quick);
            r[kZstd] = RunZstd(s.data, quick);
        }
        printf("%s: %zu bytes, EKISA code FNV-1a %016llx, best %016llx\n", s.name.c_str(), s.data.size(),
               static_cast<unsigned long long>(hash), static_cast<unsigned long long>(bestHash));
        printHeader();
        const bool pe = s.data.size() > 2 && s.data[0] == 'M' && s.data[1] == 'Z';
        for (int k = 0; k < shown; ++k) {
            PrintRow(names[k], r[k], s.data.size());
            for (int t = pe ? 0 : 1; t < 2; ++t) {
                sum[t][k].coded += r[k].coded;
                sum[t][k].encodeSeconds += r[k].encodeSeconds;
                sum[t][k].decodeSeconds += r[k].decodeSeconds;
            }
            allOk = allOk && r[k].ok;
        }
        for (int t = pe ? 0 : 1; t < 2; ++t)
            plainSum[t] += s.data.size();
        printBestLine(r);
        printf("\n");
    }
    for (int t = 0; t < 2; ++t) {
        if (plainSum[t] == 0)
            continue;
        printf("%s: %zu bytes\n", t == 0 ? "PE files" : "All files", plainSum[t]);
        printHeader();
        for (int k = 0; k < shown; ++k) {
            sum[t][k].ok = allOk;
            PrintRow(names[k], sum[t][k], plainSum[t]);
        }
        printBestLine(sum[t]);
        if (t == 0)
            printf("\n");
    }
    return allOk ? 0 : 1;
}

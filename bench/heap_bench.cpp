// The global ESL heap beside the C runtime's malloc/free/realloc, replaying
// the same operation traces in one process:
//   archive  - recorded while opening an archive and reading all its entries
//   small    - synthetic: mixed blocks of 8 to 512 bytes around a steady live
//              set of 2,000 or 20,000 blocks
//   grow     - recorded while strings are appended one character at a time:
//              200 strings of 4,096 characters, or 4 of 262,144
// Prints operations per second for both, their ratio, and the heap's bytes
// taken from the system against the peak of live bytes.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "ekisa/ekisa_archive.h"
#include "esl/heap.h"
#include "esl/heap_debug.h"
#include "esl/memory.h"
#include "esl/string.h"

namespace {

struct Op {
    char kind;  // 'a', 'f', 'r'
    uint32_t slot;
    uint32_t size;
};

struct Trace {
    std::string name;
    std::vector<Op> ops;
    uint32_t slots = 0;
    size_t peakLive = 0;  // bytes asked for and not yet freed, at most
};

double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// --- recording ---

struct Recorder {
    Trace* trace = nullptr;
    std::map<void*, uint32_t> live;
    std::map<uint32_t, uint32_t> sizes;
    size_t liveBytes = 0;
};
Recorder g_recorder;

void Record(ESLHeap heap, char op, void* block, unsigned int size, void* result) {
    if (heap != nullptr && heap != eslGetGlobalHeap())
        return;
    Recorder& r = g_recorder;
    Trace& t = *r.trace;
    auto known = block != nullptr ? r.live.find(block) : r.live.end();
    if (op == 'a' && result != nullptr) {
        uint32_t slot = t.slots++;
        r.live[result] = slot;
        r.sizes[slot] = size;
        r.liveBytes += size;
        t.ops.push_back({'a', slot, size});
    } else if (op == 'f' && known != r.live.end()) {
        uint32_t slot = known->second;
        r.liveBytes -= r.sizes[slot];
        r.live.erase(known);
        t.ops.push_back({'f', slot, 0});
    } else if (op == 'r' && known != r.live.end() && result != nullptr) {
        uint32_t slot = known->second;
        r.liveBytes = r.liveBytes - r.sizes[slot] + size;
        r.sizes[slot] = size;
        r.live.erase(known);
        r.live[result] = slot;
        t.ops.push_back({'r', slot, size});
    }
    t.peakLive = std::max(t.peakLive, r.liveBytes);
}

template <class F>
Trace RecordTrace(const char* name, F work) {
    Trace t;
    t.name = name;
    g_recorder = Recorder();
    g_recorder.trace = &t;
    eslHeapSetTraceHook(&Record);
    work();
    eslHeapSetTraceHook(nullptr);
    return t;
}

std::vector<uint8_t> SampleText(size_t bytes, unsigned seed) {
    static const char* const kWords[] = {"quorvel", "script", "ミルトア", "patch", "window", "0x1F", "\r\n",
                                         "return", "value", "の", "ファイル", "data", "(", ")", ";", " "};
    std::mt19937 rng(seed);
    std::vector<uint8_t> out;
    while (out.size() < bytes) {
        const char* w = kWords[rng() % (sizeof kWords / sizeof kWords[0])];
        out.insert(out.end(), w, w + strlen(w));
    }
    out.resize(bytes);
    return out;
}

// An archive with one entry of each encode type, built outside the recording.
bool BuildArchive(EMemoryFile* file) {
    struct Entry { const char* name; uint32_t type; size_t bytes; } entries[] = {
        {"script.eka", ekisaEncodeRaw, 300000},
        {"quorvel.exe", ekisaEncodeCode, 300000},
        {"data.bin", ekisaEncodeBshfCrypt, 100000},
        {"notes.txt", ekisaEncodeCrypt, 100000},
    };
    if (file->Create(0) != eslResultSuccess)
        return false;
    EKISAEntryList listing;
    for (const Entry& e : entries) {
        EKISAFileEntry* entry = new EKISAFileEntry;
        entry->SetName(e.name);
        entry->encodeType = e.type;
        listing.Add(entry);
    }
    EKISAArchive archive;
    if (archive.Open(file, &listing) != eslResultSuccess)
        return false;
    unsigned seed = 1;
    for (const Entry& e : entries) {
        std::vector<uint8_t> content = SampleText(e.bytes, seed++);
        if (archive.DescendFile(e.name, nullptr, 0) != eslResultSuccess)
            return false;
        for (size_t done = 0; done < content.size(); done += 65536) {
            uint32_t n = static_cast<uint32_t>(std::min<size_t>(65536, content.size() - done));
            if (archive.Write(content.data() + done, n) != n)
                return false;
        }
        if (archive.AscendFile() != eslResultSuccess)
            return false;
    }
    archive.Close();
    return archive.GetWriteResult() == eslResultSuccess;
}

double g_archiveReadSeconds = 0;

Trace ArchiveTrace() {
    EMemoryFile file;
    if (!BuildArchive(&file)) {
        fprintf(stderr, "heap_bench: could not build the archive\n");
        exit(1);
    }
    // Read it as the installer does: a read-only view of the bytes.
    std::vector<uint8_t> bytes(static_cast<const uint8_t*>(file.GetBlock()),
                               static_cast<const uint8_t*>(file.GetBlock()) + file.GetLength());
    return RecordTrace("archive", [&] {
        double start = Now();
        std::vector<uint8_t> chunk(65536);
        EMemoryFile view;
        EKISAArchive archive;
        if (view.Open(bytes.data(), static_cast<uint32_t>(bytes.size())) != eslResultSuccess ||
            archive.Open(&view, nullptr) != eslResultSuccess) {
            fprintf(stderr, "heap_bench: could not open the archive\n");
            exit(1);
        }
        for (const char* name : {"script.eka", "quorvel.exe", "data.bin", "notes.txt"}) {
            if (archive.OpenFile(name, nullptr, 1) != eslResultSuccess)
                continue;
            while (archive.Read(chunk.data(), 65536) == 65536) {
            }
            archive.AscendFile();
        }
        archive.Close();
        g_archiveReadSeconds = Now() - start;
    });
}

// Strings appended to one character at a time: many of text size, or one
// large buffer (whose steps beyond half the growth size take regions of
// their own).
Trace GrowingTrace(const char* name, int strings, int characters) {
    return RecordTrace(name, [=] {
        for (int round = 0; round < strings; ++round) {
            EString s;
            for (int i = 0; i < characters; ++i)
                s += "x";
        }
    });
}

// Live set: `live` blocks on average, between half and twice that.
Trace SmallTrace(const char* name, size_t liveTarget) {
    Trace t;
    t.name = name;
    std::mt19937 rng(7);
    std::vector<std::pair<uint32_t, uint32_t>> blocks;  // slot, size
    size_t liveBytes = 0;
    auto size = [&]() -> uint32_t {
        unsigned r = rng() % 10;
        if (r < 6)
            return 8 + rng() % 57;     // 8..64
        if (r < 9)
            return 64 + rng() % 193;   // 64..256
        return 256 + rng() % 257;      // 256..512
    };
    for (int i = 0; i < 1000000; ++i) {
        unsigned r = rng() % 100;
        if (blocks.size() < liveTarget / 2 || (r < 45 && blocks.size() < liveTarget * 2)) {
            uint32_t slot = t.slots++, n = size();
            t.ops.push_back({'a', slot, n});
            blocks.push_back({slot, n});
            liveBytes += n;
        } else if (r < 90) {
            size_t k = rng() % blocks.size();
            t.ops.push_back({'f', blocks[k].first, 0});
            liveBytes -= blocks[k].second;
            blocks[k] = blocks.back();
            blocks.pop_back();
        } else {
            size_t k = rng() % blocks.size();
            uint32_t n = size();
            t.ops.push_back({'r', blocks[k].first, n});
            liveBytes = liveBytes - blocks[k].second + n;
            blocks[k].second = n;
        }
        t.peakLive = std::max(t.peakLive, liveBytes);
    }
    for (auto& l : blocks)
        t.ops.push_back({'f', l.first, 0});
    return t;
}

// --- replaying ---

struct EslHeap {
    static void* Allocate(uint32_t n) { return eslHeapAllocate(nullptr, n, 0); }
    static void* Reallocate(void* p, uint32_t n) { return eslHeapReallocate(nullptr, p, n, 0); }
    static void Free(void* p) { eslHeapFree(nullptr, p, 0); }
};

struct CRuntime {
    static void* Allocate(uint32_t n) { return malloc(n); }
    static void* Reallocate(void* p, uint32_t n) { return realloc(p, n); }
    static void Free(void* p) { free(p); }
};

// One pass over the trace; every block handed out is written to, as its
// owner would. Calls `sample` every `every` operations (0: never).
template <class A, class S>
void Replay(const Trace& t, std::vector<void*>& slots, S sample, size_t every) {
    std::fill(slots.begin(), slots.end(), nullptr);
    size_t i = 0;
    for (const Op& op : t.ops) {
        void*& p = slots[op.slot];
        switch (op.kind) {
        case 'a':
            p = A::Allocate(op.size);
            if (p != nullptr && op.size != 0)
                static_cast<char*>(p)[op.size - 1] = 1;
            break;
        case 'r':
            p = A::Reallocate(p, op.size);
            if (p != nullptr && op.size != 0)
                static_cast<char*>(p)[op.size - 1] = 1;
            break;
        default:
            A::Free(p);
            p = nullptr;
        }
        if (every != 0 && ++i % every == 0)
            sample();
    }
    for (void*& p : slots) {
        if (p != nullptr)
            A::Free(p);
        p = nullptr;
    }
}

// Operations per second: best of five runs of enough passes for 0.2 s.
template <class A>
double OpsPerSecond(const Trace& t) {
    std::vector<void*> slots(t.slots);
    auto none = [] {};
    Replay<A>(t, slots, none, 0);  // warm up
    double one = Now();
    Replay<A>(t, slots, none, 0);
    one = std::max(Now() - one, 1e-6);
    int passes = std::max(1, static_cast<int>(0.2 / one));
    double best = 1e30;
    for (int run = 0; run < 5; ++run) {
        double start = Now();
        for (int k = 0; k < passes; ++k)
            Replay<A>(t, slots, none, 0);
        best = std::min(best, Now() - start);
    }
    return static_cast<double>(t.ops.size()) * passes / best;
}

size_t PeakReserved(const Trace& t) {
    std::vector<void*> slots(t.slots);
    size_t peak = 0;
    auto sample = [&] {
        ESLHeapStatistics s;
        eslHeapGetStatistics(nullptr, &s);
        peak = std::max(peak, s.regionBytes + s.indexBytes);
    };
    eslFreeGlobalHeap();  // start from a fresh heap
    size_t every = std::max<size_t>(1, t.ops.size() / 2000);
    Replay<EslHeap>(t, slots, sample, every);
    return peak;
}

}  // namespace

int main(int argc, char** argv) {
    // Without library start-up the fill and copy run their plain paths;
    // --sse lets them stream as on a processor with SSE.
    if (argc > 1 && strcmp(argv[1], "--sse") == 0)
        eslSetProcessorFeatures(processorSSE);
    std::vector<Trace> traces;
    traces.push_back(ArchiveTrace());
    traces.push_back(SmallTrace("small-2k", 2000));
    traces.push_back(SmallTrace("small-20k", 20000));
    traces.push_back(GrowingTrace("grow-4k", 200, 4096));
    traces.push_back(GrowingTrace("grow-256k", 4, 262144));
    printf("%-10s %9s %14s %14s %7s %13s %11s %8s\n", "trace", "ops", "ESL ops/s", "malloc ops/s", "ratio",
           "ESL reserved", "peak live", "reserve");
    for (const Trace& t : traces) {
        double esl = OpsPerSecond<EslHeap>(t);
        double crt = OpsPerSecond<CRuntime>(t);
        size_t reserved = PeakReserved(t);
        printf("%-10s %9zu %14.0f %14.0f %7.2f %13zu %11zu %8.2f\n", t.name.c_str(), t.ops.size(), esl, crt,
               esl / crt, reserved, t.peakLive, static_cast<double>(reserved) / static_cast<double>(t.peakLive));
    }
    printf("(reading the archive itself, decoding included, took %.1f ms)\n", g_archiveReadSeconds * 1000);
    return 0;
}

// Driver of decode_bound.py: decodes one file's EKISA stream with a decoder
// that can replay the place of every symbol recorded on a first pass, so the
// model's search (and its update) costs nothing. Built only by the script,
// against its rewritten copy of the decoder.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "ekisa/decode_context.h"
#include "ekisa/encode_context.h"
#include "esl/file.h"

// Kept by the rewritten decoder: 0 decodes normally, 1 replays the search,
// 2 replays the search and leaves the models as they are.
extern int gBoundMode;
extern bool gBoundRecording;
extern size_t gBoundAt;

namespace {

std::vector<uint8_t> ReadAll(const char* path) {
    std::vector<uint8_t> v;
    FILE* f = fopen(path, "rb");
    if (f == nullptr)
        return v;
    uint8_t block[65536];
    size_t n;
    while ((n = fread(block, 1, sizeof block, f)) > 0)
        v.insert(v.end(), block, block + n);
    fclose(f);
    return v;
}

// One whole decode in 64 KiB requests, as the archive reads; true when the
// bytes come back unchanged.
__attribute__((noinline)) bool TimedDecode(std::vector<uint8_t>& coded, const std::vector<uint8_t>& plain,
                                           std::vector<uint8_t>& back) {
    gBoundAt = 0;
    EMemoryFile in;
    in.Open(coded.data(), static_cast<unsigned int>(coded.size()));
    EKISADecodeContext dec(0x10000);
    dec.SetSourceFile(&in);
    if (dec.BeginEKISACode() != eslResultSuccess)
        return false;
    for (size_t at = 0; at < plain.size(); at += 0x10000) {
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(0x10000, plain.size() - at));
        if (dec.ReadEKISACodeBytes(back.data() + at, n) != n)
            return false;
    }
    return back == plain;
}

// The passes that are measured (callgrind counts inside this one only).
__attribute__((noinline)) bool MeasuredDecode(std::vector<uint8_t>& coded, const std::vector<uint8_t>& plain,
                                              std::vector<uint8_t>& back) {
    return TimedDecode(coded, plain, back);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: decode_bound_driver FILE RUNS [MODE|all [COMMAND...]]\n");
        return 2;
    }
    const std::vector<uint8_t> plain = ReadAll(argv[1]);
    const int runs = atoi(argv[2]);
    if (plain.empty() || runs < 1) {
        fprintf(stderr, "decode_bound_driver: cannot read %s, or no runs\n", argv[1]);
        return 2;
    }
    EMemoryFile out;
    out.Create(static_cast<unsigned int>(plain.size() / 2 + 4096));
    EKISAEncodeContext enc(0x4000);
    enc.SetTargetFile(&out);
    enc.BeginEKISACodeEncoding(1);
    enc.WriteEKISACodeBytes(plain.data(), static_cast<uint32_t>(plain.size()));
    enc.FinishEKISACode();
    const uint8_t* b = static_cast<const uint8_t*>(out.GetBlock());
    std::vector<uint8_t> coded(b, b + out.GetLength());

    std::vector<uint8_t> back(plain.size());
    gBoundRecording = true;
    gBoundMode = 0;
    if (!TimedDecode(coded, plain, back)) {
        fprintf(stderr, "decode_bound_driver: the recording pass decoded wrongly\n");
        return 1;
    }
    gBoundRecording = false;
    const bool all = argc <= 3 || strcmp(argv[3], "all") == 0;
    const int first = all ? 0 : atoi(argv[3]);
    const int last = all ? 2 : first;
    // Commands to time beside the modes (whole processes, through the
    // shell, their output thrown away).
    std::vector<std::string> beside(argv + (argc > 4 ? 4 : argc), argv + argc);
    std::vector<std::vector<double>> besideMs(beside.size());
    static const char* const kNames[] = {"decoder as it is", "search replayed",
                                         "search and model update replayed"};
    // The modes take turns, so that a busy moment of the machine hurts them
    // alike.
    std::vector<double> ms[3];
    for (int r = 0; r < runs; ++r) {
        for (int mode = first; mode <= last; ++mode) {
            gBoundMode = mode;
            const auto t0 = std::chrono::steady_clock::now();
            if (!MeasuredDecode(coded, plain, back)) {
                fprintf(stderr, "decode_bound_driver: mode %d decoded wrongly\n", mode);
                return 1;
            }
            ms[mode].push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        }
        for (size_t c = 0; c < beside.size(); ++c) {
            const auto t0 = std::chrono::steady_clock::now();
            if (system((beside[c] + " >/dev/null").c_str()) != 0) {
                fprintf(stderr, "decode_bound_driver: failed: %s\n", beside[c].c_str());
                return 1;
            }
            besideMs[c].push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        }
    }
    for (int mode = first; mode <= last; ++mode) {
        std::sort(ms[mode].begin(), ms[mode].end());
        printf("%-34s median %7.1f ms  min %7.1f  (%d runs, %zu bytes)\n", kNames[mode], ms[mode][ms[mode].size() / 2],
               ms[mode][0], runs, plain.size());
    }
    for (size_t c = 0; c < beside.size(); ++c) {
        std::sort(besideMs[c].begin(), besideMs[c].end());
        printf("%-34s median %7.1f ms  min %7.1f  (%d runs, whole process)\n", beside[c].c_str(),
               besideMs[c][besideMs[c].size() / 2], besideMs[c][0], runs);
    }
    return 0;
}

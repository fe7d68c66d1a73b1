// Copying a 64 MiB raw entry out of an in-memory archive into a file, in the
// installer's 65,536-byte chunks, next to a plain read()/write() loop over
// the same bytes. Prints the best of several runs of each and their ratio.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "ekisa/ekisa_archive.h"

namespace {

const uint32_t kEntrySize = 64u << 20;
const uint32_t kChunk = 65536;
const int kRuns = 5;

double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

bool BuildArchive(const std::vector<uint8_t>& content, EMemoryFile* file) {
    if (file->Create(kEntrySize + 4096) != eslResultSuccess) return false;
    EKISAArchive archive;
    EKISAEntryList listing;
    EKISAFileEntry* entry = new EKISAFileEntry;
    entry->SetName("big.bin");
    listing.Add(entry);
    if (archive.Open(file, &listing) != eslResultSuccess) return false;
    if (archive.DescendFile("big.bin", nullptr, 0) != eslResultSuccess) return false;
    for (uint32_t done = 0; done < kEntrySize; done += kChunk) {
        if (archive.Write(content.data() + done, kChunk) != kChunk) return false;
    }
    if (archive.AscendFile() != eslResultSuccess) return false;
    archive.Close();
    return archive.GetWriteResult() == eslResultSuccess;
}

// Seconds for one copy of the entry through the archive into path; < 0 on failure.
double CopyThroughArchive(EKISAArchive& archive, const std::string& path, std::vector<uint8_t>& buffer) {
    double start = Now();
    if (archive.OpenFile("big.bin", nullptr, 1) != eslResultSuccess) return -1;
    ERawFile output;
    if (output.Open(path.c_str(), ESLFileObject::modeCreate | ESLFileObject::modeWrite) != eslResultSuccess)
        return -1;
    uint64_t total = 0;
    for (;;) {
        uint32_t n = archive.Read(buffer.data(), kChunk);
        if (n != 0 && output.Write(buffer.data(), n) != n) return -1;
        total += n;
        if (n < kChunk) break;
    }
    output.Close();
    archive.AscendFile();
    double seconds = Now() - start;
    return total == kEntrySize ? seconds : -1;
}

// The same bytes, "read" from a memory buffer into the chunk buffer and
// written with write().
double CopyPlain(const std::vector<uint8_t>& content, const std::string& path, std::vector<uint8_t>& buffer) {
    double start = Now();
    int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    if (fd < 0) return -1;
    for (uint32_t done = 0; done < kEntrySize; done += kChunk) {
        memcpy(buffer.data(), content.data() + done, kChunk);
        if (write(fd, buffer.data(), kChunk) != ssize_t(kChunk)) {
            close(fd);
            return -1;
        }
    }
    close(fd);
    return Now() - start;
}

}  // namespace

int main() {
    std::vector<uint8_t> content(kEntrySize);
    uint32_t x = 2463534242u;
    for (uint8_t& b : content) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = uint8_t(x);
    }
    EMemoryFile built;
    if (!BuildArchive(content, &built)) {
        fprintf(stderr, "archive_bench: building the archive failed\n");
        return 1;
    }
    EMemoryFile view;
    view.Open(const_cast<void*>(built.GetBlock()), built.GetLength());
    EKISAArchive archive;
    if (archive.Open(&view, nullptr) != eslResultSuccess) {
        fprintf(stderr, "archive_bench: opening the archive failed\n");
        return 1;
    }

    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/archive_bench.XXXXXX";
    std::vector<char> dir(pattern.begin(), pattern.end());
    dir.push_back('\0');
    if (mkdtemp(dir.data()) == nullptr) {
        perror("archive_bench: mkdtemp");
        return 1;
    }
    std::string target = std::string(dir.data()) + "/out.bin";

    std::vector<uint8_t> buffer(kChunk);
    double bestArchive = 1e30, bestPlain = 1e30;
    for (int run = 0; run < kRuns; ++run) {
        double a = CopyThroughArchive(archive, target, buffer);
        unlink(target.c_str());
        double p = CopyPlain(content, target, buffer);
        unlink(target.c_str());
        if (a < 0 || p < 0) {
            fprintf(stderr, "archive_bench: a copy failed\n");
            rmdir(dir.data());
            return 1;
        }
        if (a < bestArchive) bestArchive = a;
        if (p < bestPlain) bestPlain = p;
    }
    rmdir(dir.data());

    double mb = double(kEntrySize) / 1e6;
    printf("entry: %u bytes raw, copied in %u-byte chunks into a file in %s, best of %d\n", kEntrySize, kChunk,
           dir.data(), kRuns);
    printf("archive Read -> ERawFile : %8.1f MB/s (%.3f s)\n", mb / bestArchive, bestArchive);
    printf("plain memcpy -> write()  : %8.1f MB/s (%.3f s)\n", mb / bestPlain, bestPlain);
    printf("ratio archive / plain    : %8.2f\n", bestPlain / bestArchive);
    return 0;
}

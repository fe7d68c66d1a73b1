// An archive from arbitrary bytes: open it, walk every directory, and read
// every entry both streamed and whole. Failures are fine; crashes, hangs and
// stray reads or writes are not.
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "ekisa/ekisa_archive.h"
#include "esl/file.h"

namespace {

// Per entry, to keep runs short: two 65,536-byte reads and the odd pieces.
const uint32_t kMaxRead = 1u << 17;

void ReadEntry(EKISAArchive& archive, const std::string& name, int streaming) {
    if (archive.DescendFile(name.c_str(), nullptr, streaming) != eslResultSuccess)
        return;
    archive.GetLength();
    static uint8_t buffer[65536 + 64];
    uint32_t total = 0;
    static const uint32_t kPieces[] = {65536, 1, 4099, 7};
    for (uint32_t k = 0; total < kMaxRead; ++k) {
        const uint32_t piece = kPieces[k % 4];
        const uint32_t got = archive.Read(buffer, piece);
        if (got > piece)
            __builtin_trap();
        total += got;
        if (got < piece)
            break;
    }
    archive.GetPointer();
    archive.AscendFile();
}

uint8_t g_modeBits;

void Walk(EKISAArchive& archive, int depth) {
    EKISADirectory* level = archive.GetCurrentLevel();
    if (level == nullptr || depth > 4)
        return;
    struct Item {
        std::string name;
        bool directory;
        uint64_t size;
    };
    std::vector<Item> items;
    for (uint32_t k = 0; k < level->GetSize() && k < 64; ++k) {
        const EKISAFileEntry* e = level->GetAt(k);
        if (e != nullptr)
            items.push_back({e->name != nullptr ? std::string(e->name) : std::string(), e->IsDirectory(), e->fileSize});
    }
    uint32_t index = 0;
    for (const Item& item : items) {
        if (item.directory) {
            if (archive.DescendDirectory(item.name.c_str(), nullptr) == eslResultSuccess) {
                Walk(archive, depth + 1);
                archive.AscendDirectory();
            }
            continue;
        }
        // Streamed or whole, as the input's last byte says: reading every
        // entry both ways would halve the runs for little more coverage.
        // Whole reading sets aside the entry's size first, so it is left to
        // sizes that are cheap to set aside or refused outright.
        const bool cheap = item.size <= kMaxRead || (item.size >> 32) != 0;
        const bool whole = ((g_modeBits >> (index++ & 7)) & 1) != 0 && cheap;
        ReadEntry(archive, item.name, whole ? 0 : 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    EMemoryFile file;
    file.Open(const_cast<uint8_t*>(data), static_cast<uint32_t>(size));
    g_modeBits = size > 0 ? data[size - 1] : 0;
    // One archive object for every input, as a program that opens many
    // archives would keep it: its decoders are set up once.
    static EKISAArchive archive;
    if (archive.Open(&file, nullptr) == eslResultSuccess) {
        Walk(archive, 0);
        // Paths as the installer gives them, and some it does not.
        archive.OpenFile("quorvel.exe", nullptr, 1);
        archive.OpenFile("sub\\a.bin", nullptr, 1);
        archive.ChangeDirectory("\\sub\\\\deeper");
    }
    archive.Close();
    return 0;
}

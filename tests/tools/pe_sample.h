// Small PE images made byte by byte, for the resource writer's tests and
// fuzz seeds: .text, .rdata (with a debug directory), .rsrc, and after it
// the discardable .reloc and .debug, a symbol table pointer and an overlay.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace pesample {

typedef std::vector<uint8_t> Bytes;

struct Options {
    bool plus = false;          // PE32+ instead of PE32
    bool resources = true;      // without: no .rsrc section, no resource directory
    size_t placeholder = 11;    // size of the RT_RCDATA 130 resource
    size_t overlay = 100;       // bytes after the symbol table
};

// Offsets into the sample that tests damage on purpose.
struct Layout {
    size_t peHeader;        // "PE\0\0"
    size_t optional;        // optional header
    size_t directories;     // data directory table
    size_t sectionTable;
    size_t rsrcRaw;         // file offset of the resource section's data
    size_t dataEntry;       // the first resource data entry, in the file
};

Bytes Make(const Options& options, Layout* layout = nullptr);

// The section table entries, for checks.
struct Section {
    char name[9];
    uint32_t virtualSize, address, rawSize, rawOffset, flags;
};
std::vector<Section> Sections(const Bytes& image);
uint32_t Read32(const Bytes& b, size_t at);

}  // namespace pesample

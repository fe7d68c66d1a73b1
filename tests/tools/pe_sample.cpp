#include "pe_sample.h"

#include <string.h>

namespace pesample {

namespace {

const uint32_t kFileAlign = 0x200, kSectionAlign = 0x1000;

void Put16(Bytes& b, size_t at, uint32_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
void Put32(Bytes& b, size_t at, uint32_t v) {
    Put16(b, at, v & 0xFFFF);
    Put16(b, at + 2, v >> 16);
}
void Fill(Bytes& b, size_t at, size_t n, uint8_t seed) {
    for (size_t i = 0; i < n; ++i) b[at + i] = uint8_t(seed + i * 7 + (i >> 5));
}

// A resource tree at section address `address`: the named type "RT_RCDATA"
// with id 130 (Japanese), and dialog 102 and icon 1 (neutral), as a resource
// compiler lays it out. Returns the offset of the first data entry.
size_t Tree(Bytes& s, uint32_t address, size_t placeholder) {
    // root: 1 name, 2 ids | RT_RCDATA dir | 5 dir | 3 dir | 3 language dirs
    // Directories of one entry take 0x18 bytes.
    const size_t root = 0, rcdata = 0x28, dialog = 0x40, icon = 0x58;
    const size_t langs[3] = {0x70, 0x88, 0xA0};
    const size_t leaves = 0xB8, name = 0xE8, data = 0x100;
    s.assign(data + 3 * 0x400, 0);
    Put16(s, root + 12, 1);
    Put16(s, root + 14, 2);
    Put32(s, root + 16, 0x80000000u | uint32_t(name));
    Put32(s, root + 20, 0x80000000u | uint32_t(rcdata));
    Put32(s, root + 24, 3);
    Put32(s, root + 28, 0x80000000u | uint32_t(icon));
    Put32(s, root + 32, 5);
    Put32(s, root + 36, 0x80000000u | uint32_t(dialog));
    const size_t types[3] = {rcdata, icon, dialog};
    const uint32_t ids[3] = {130, 1, 102};
    const uint32_t languages[3] = {0x411, 0, 0};
    const size_t sizes[3] = {placeholder, 0x300, 0x120};
    for (int i = 0; i < 3; ++i) {
        Put16(s, types[i] + 14, 1);
        Put32(s, types[i] + 16, ids[i]);
        Put32(s, types[i] + 20, 0x80000000u | uint32_t(langs[i]));
        Put16(s, langs[i] + 14, 1);
        Put32(s, langs[i] + 16, languages[i]);
        Put32(s, langs[i] + 20, uint32_t(leaves + 16 * i));
        Put32(s, leaves + 16 * i, address + uint32_t(data + 0x400 * i));
        Put32(s, leaves + 16 * i + 4, uint32_t(sizes[i]));
        Fill(s, data + 0x400 * i, sizes[i], uint8_t(0x30 + i));
    }
    const char16_t text[] = u"RT_RCDATA";
    Put16(s, name, 9);
    for (int i = 0; i < 9; ++i) Put16(s, name + 2 + 2 * i, text[i]);
    return leaves;
}

}  // namespace

uint32_t Read32(const Bytes& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

Bytes Make(const Options& o, Layout* layout) {
    struct Plan {
        const char* name;
        uint32_t flags;
        Bytes data;
    };
    std::vector<Plan> plan;
    plan.push_back({".text", 0x60000020u, Bytes(0x180)});
    plan.push_back({".rdata", 0x40000040u, Bytes(0x40)});
    size_t rsrcIndex = 0, firstLeaf = 0;
    if (o.resources) {
        rsrcIndex = plan.size();
        plan.push_back({".rsrc", 0x40000040u, Bytes()});
    }
    plan.push_back({".reloc", 0x42000040u, Bytes(12)});
    plan.push_back({".debug", 0x42000040u, Bytes(0x90)});
    Fill(plan[0].data, 0, plan[0].data.size(), 0x90);
    Fill(plan.back().data, 0, plan.back().data.size(), 0x11);

    const size_t pe = 0x80, optional = pe + 24, optionalSize = o.plus ? 0xF0 : 0xE0;
    const size_t directories = optional + (o.plus ? 112 : 96), table = optional + optionalSize;
    const size_t headers = 0x400;
    uint32_t address = kSectionAlign, raw = uint32_t(headers);
    std::vector<uint32_t> addresses, raws;
    for (size_t i = 0; i < plan.size(); ++i) {
        if (i == rsrcIndex && o.resources) firstLeaf = Tree(plan[i].data, address, o.placeholder);
        addresses.push_back(address);
        raws.push_back(raw);
        address += uint32_t((plan[i].data.size() + kSectionAlign - 1) / kSectionAlign * kSectionAlign);
        raw += uint32_t((plan[i].data.size() + kFileAlign - 1) / kFileAlign * kFileAlign);
    }
    const size_t reloc = plan.size() - 2, debug = plan.size() - 1;
    // .reloc: one block for page 0x1000, two entries (the type of the image) and padding.
    Put32(plan[reloc].data, 0, 0x1000);
    Put32(plan[reloc].data, 4, 12);
    Put16(plan[reloc].data, 8, (o.plus ? 0xA000u : 0x3000u) | 0x010);
    Put16(plan[reloc].data, 10, 0);
    // .rdata: a debug directory entry describing .debug.
    Put32(plan[1].data, 12, 2);  // CodeView
    Put32(plan[1].data, 16, uint32_t(plan[debug].data.size()));
    Put32(plan[1].data, 20, addresses[debug]);
    Put32(plan[1].data, 24, raws[debug]);

    Bytes b(raw, 0);
    b[0] = 'M';
    b[1] = 'Z';
    Put32(b, 0x3C, uint32_t(pe));
    memcpy(&b[pe], "PE\0\0", 4);
    Put16(b, pe + 4, o.plus ? 0x8664 : 0x14C);
    Put16(b, pe + 6, uint32_t(plan.size()));
    Put32(b, pe + 12, raw);  // symbol table: no symbols, a 4-byte string table
    Put16(b, pe + 20, uint32_t(optionalSize));
    Put16(b, pe + 22, o.plus ? 0x0022 : 0x0102);
    Put16(b, optional, o.plus ? 0x20B : 0x10B);
    Put32(b, optional + 16, kSectionAlign);  // entry point
    if (o.plus) {
        Put32(b, optional + 24, 0x40000000u);
        Put32(b, optional + 28, 1);  // image base 0x140000000
    } else {
        Put32(b, optional + 28, 0x400000);
    }
    Put32(b, optional + 32, kSectionAlign);
    Put32(b, optional + 36, kFileAlign);
    Put16(b, optional + 40, 4);
    Put16(b, optional + 48, 4);
    Put32(b, optional + 56, address);  // size of image
    Put32(b, optional + 60, uint32_t(headers));
    Put16(b, optional + 68, 2);  // GUI
    Put32(b, directories - 4, 16);
    if (o.resources) {
        Put32(b, directories + 16, addresses[rsrcIndex]);
        Put32(b, directories + 20, uint32_t(plan[rsrcIndex].data.size()));
    }
    Put32(b, directories + 40, addresses[reloc]);
    Put32(b, directories + 44, uint32_t(plan[reloc].data.size()));
    Put32(b, directories + 48, addresses[1]);
    Put32(b, directories + 52, 28);
    for (size_t i = 0; i < plan.size(); ++i) {
        const size_t h = table + 40 * i;
        memcpy(&b[h], plan[i].name, strlen(plan[i].name));
        Put32(b, h + 8, uint32_t(plan[i].data.size()));
        Put32(b, h + 12, addresses[i]);
        Put32(b, h + 16, uint32_t((plan[i].data.size() + kFileAlign - 1) / kFileAlign * kFileAlign));
        Put32(b, h + 20, raws[i]);
        Put32(b, h + 36, plan[i].flags);
        memcpy(&b[raws[i]], plan[i].data.data(), plan[i].data.size());
    }
    b.insert(b.end(), {4, 0, 0, 0});
    const size_t overlay = b.size();
    b.resize(overlay + o.overlay);
    Fill(b, overlay, o.overlay, 0x55);
    if (layout != nullptr) {
        layout->peHeader = pe;
        layout->optional = optional;
        layout->directories = directories;
        layout->sectionTable = table;
        layout->rsrcRaw = o.resources ? raws[rsrcIndex] : 0;
        layout->dataEntry = o.resources ? raws[rsrcIndex] + firstLeaf : 0;
    }
    return b;
}

std::vector<Section> Sections(const Bytes& b) {
    const size_t pe = Read32(b, 0x3C);
    const size_t count = b[pe + 6] | b[pe + 7] << 8;
    const size_t table = pe + 24 + (b[pe + 20] | b[pe + 21] << 8);
    std::vector<Section> sections;
    for (size_t i = 0; i < count; ++i) {
        const size_t h = table + 40 * i;
        Section s = {};
        memcpy(s.name, &b[h], 8);
        s.virtualSize = Read32(b, h + 8);
        s.address = Read32(b, h + 12);
        s.rawSize = Read32(b, h + 16);
        s.rawOffset = Read32(b, h + 20);
        s.flags = Read32(b, h + 36);
        sections.push_back(s);
    }
    return sections;
}

}  // namespace pesample

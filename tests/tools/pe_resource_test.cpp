// The PE resource writer: on sample images built byte by byte (every
// platform), and on the installer stub the build makes, read back by the
// platform's own resource functions (Windows builds, under Wine).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "pe_resource.h"
#include "pe_sample.h"

#if defined(_WIN32)
#include <windows.h>
#include <imagehlp.h>
#endif

using peresource::ResourceKey;
using pesample::Bytes;

namespace {

const ResourceKey kType = ResourceKey::Name("RT_RCDATA");
const ResourceKey kId = ResourceKey::Id(130);

Bytes Payload(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 131 + (i >> 9));
    return b;
}

Bytes Get(const Bytes& image, const ResourceKey& type, const ResourceKey& name) {
    bool found = false;
    Bytes data;
    EXPECT_EQ("", peresource::ReadResource(image, type, name, &found, &data));
    EXPECT_TRUE(found);
    return data;
}

Bytes Part(const Bytes& b, size_t at, size_t n) { return Bytes(b.begin() + long(at), b.begin() + long(at + n)); }

// An image read through the reader interface, as from a file.
peresource::ImageReader Reader(const Bytes& b) {
    peresource::ImageReader reader;
    reader.size = b.size();
    reader.read = [&b](uint64_t at, size_t n, uint8_t* dst) {
        memcpy(dst, b.data() + at, n);
        return true;
    };
    return reader;
}

const pesample::Section* Find(const std::vector<pesample::Section>& sections, const char* name) {
    for (const auto& s : sections) {
        if (strcmp(s.name, name) == 0) return &s;
    }
    return nullptr;
}

// Everything SetResource promises about `out`, made from `in` with `payload`.
void ExpectSound(const Bytes& in, const Bytes& out, const Bytes& payload) {
    EXPECT_EQ(payload, Get(out, kType, kId));
    for (uint16_t type : {3, 5}) {
        bool found = false;
        Bytes before;
        peresource::ReadResource(in, ResourceKey::Id(type), ResourceKey::Id(type == 3 ? 1 : 102), &found, &before);
        EXPECT_EQ(before, Get(out, ResourceKey::Id(type), ResourceKey::Id(type == 3 ? 1 : 102))) << "type " << type;
    }
    const size_t pe = pesample::Read32(out, 0x3C), optional = pe + 24;
    const bool plus = out[optional] == 0x0B && out[optional + 1] == 0x02;
    const size_t directories = optional + (plus ? 112 : 96);
    const uint32_t sa = pesample::Read32(out, optional + 32), fa = pesample::Read32(out, optional + 36);
    const auto sections = pesample::Sections(out), before = pesample::Sections(in);
    for (size_t i = 0; i < sections.size(); ++i) {
        const auto& s = sections[i];
        EXPECT_EQ(0u, s.rawOffset % fa) << s.name;
        EXPECT_EQ(0u, s.rawSize % fa) << s.name;
        EXPECT_LE(uint64_t(s.rawOffset) + s.rawSize, out.size()) << s.name;
        if (i + 1 < sections.size()) {
            EXPECT_EQ((s.address + s.virtualSize + sa - 1) / sa * sa, sections[i + 1].address) << s.name;
            EXPECT_LE(s.rawOffset + s.rawSize, sections[i + 1].rawOffset) << s.name;
        }
        // Every section keeps its bytes (but for the debug directory in
        // .rdata, checked below), the ones after the resources moved.
        if (strcmp(s.name, ".rsrc") != 0 && strcmp(s.name, ".rdata") != 0) {
            EXPECT_EQ(Part(in, before[i].rawOffset, before[i].rawSize), Part(out, s.rawOffset, s.rawSize)) << s.name;
        }
    }
    const auto& last = sections.back();
    EXPECT_EQ((last.address + last.virtualSize + sa - 1) / sa * sa, pesample::Read32(out, optional + 56));
    const auto* rsrc = Find(sections, ".rsrc");
    const auto* reloc = Find(sections, ".reloc");
    const auto* debug = Find(sections, ".debug");
    ASSERT_TRUE(rsrc && reloc && debug);
    EXPECT_EQ(rsrc->address, pesample::Read32(out, directories + 16));
    EXPECT_EQ(rsrc->virtualSize, pesample::Read32(out, directories + 20));
    EXPECT_EQ(reloc->address, pesample::Read32(out, directories + 40));
    // The debug directory (in .rdata) follows the moved debug data.
    const size_t entry = Find(sections, ".rdata")->rawOffset;
    EXPECT_EQ(debug->address, pesample::Read32(out, entry + 20));
    EXPECT_EQ(debug->rawOffset, pesample::Read32(out, entry + 24));
    // Symbol table and overlay moved as one piece, behind the last section.
    const uint32_t symbols = pesample::Read32(out, pe + 12);
    EXPECT_EQ(debug->rawOffset + debug->rawSize, symbols);
    EXPECT_EQ(Part(in, pesample::Read32(in, pe + 12), in.size() - pesample::Read32(in, pe + 12)),
              Part(out, symbols, out.size() - symbols));
    uint32_t checksum = 0;
    ASSERT_TRUE(peresource::ComputeChecksum(out, &checksum));
    EXPECT_EQ(checksum, pesample::Read32(out, optional + 64));
    // A second pass with the same data changes nothing.
    Bytes again;
    ASSERT_EQ("", peresource::SetResource(out, kType, kId, payload.data(), payload.size(), &again));
    EXPECT_TRUE(again == out);
}

TEST(PeResource, ReplacesTheResourceAndKeepsTheImageSound) {
    for (bool plus : {false, true}) {
        for (size_t size : {size_t(0), size_t(1), size_t(4096), size_t(300000)}) {
            SCOPED_TRACE(std::string(plus ? "PE32+" : "PE32") + ", " + std::to_string(size) + " bytes");
            pesample::Options options;
            options.plus = plus;
            const Bytes in = pesample::Make(options);
            const Bytes payload = Payload(size);
            Bytes out;
            ASSERT_EQ("", peresource::SetResource(in, kType, kId, payload.data(), payload.size(), &out));
            ExpectSound(in, out, payload);
            // And back to a small one: the sections after move down again.
            const Bytes small = Payload(3);
            Bytes back;
            ASSERT_EQ("", peresource::SetResource(out, kType, kId, small.data(), small.size(), &back));
            ExpectSound(out, back, small);
            EXPECT_LE(back.size(), in.size() + 0x200);
        }
    }
}

TEST(PeResource, AddsAResourceThatIsMissing) {
    const Bytes in = pesample::Make(pesample::Options());
    const Bytes payload = Payload(77);
    Bytes out;
    const ResourceKey other = ResourceKey::Name("PATCH");
    ASSERT_EQ("", peresource::SetResource(in, other, kId, payload.data(), payload.size(), &out));
    EXPECT_EQ(payload, Get(out, other, kId));
    EXPECT_EQ(Get(in, kType, kId), Get(out, kType, kId));
    // Type names compare ignoring case, as the loader compares them.
    EXPECT_EQ(payload, Get(out, ResourceKey::Name("patch"), kId));
}

// One table for the writer and the lookup: what damages the image or its
// tree is refused by both with the same words (they share the rules); what
// only stops a rewrite leaves the lookup free to read.
TEST(PeResource, WriterAndLookupRefuseAlike) {
    pesample::Layout at;
    const Bytes good = pesample::Make(pesample::Options(), &at);
    const Bytes placeholder = Get(good, kType, kId);
    pesample::Options noResources;
    noResources.resources = false;
    enum Lookup { kSame, kReads, kNone };
    struct Case {
        const char* what;
        Bytes image;
        const char* message;  // the writer's refusal; "" when it accepts
        Lookup lookup;
    };
    std::vector<Case> cases;
    auto damaged = [&](const char* what, const char* message, Lookup lookup, size_t offset,
                       std::vector<uint8_t> bytes) {
        Bytes b = good;
        for (size_t i = 0; i < bytes.size(); ++i) b[offset + i] = bytes[i];
        cases.push_back({what, b, message, lookup});
    };
    cases.push_back({"good", good, "", kReads});
    cases.push_back({"text", Bytes(300, 'x'), "not a PE file (no MZ header)", kSame});
    cases.push_back({"empty", Bytes(), "not a PE file", kSame});
    damaged("no PE signature", "not a PE file (no PE signature)", kSame, at.peHeader, {'N', 'E'});
    damaged("PE header beyond the end", "not a PE file", kSame, 0x3C, {0xF0, 0xFF, 0, 0});
    damaged("ROM image", "not a PE32 or PE32+ image", kSame, at.optional, {0x07, 0x01});
    damaged("odd file alignment", "damaged (section alignment", kSame, at.optional + 36, {0x01, 0x03});
    cases.push_back({"cut in the headers", Part(good, 0, 0x100), "truncated", kSame});
    cases.push_back({"cut in the section table", Part(good, 0, at.sectionTable + 50), "truncated", kSame});
    cases.push_back({"cut in the resources", Part(good, 0, at.rsrcRaw + 40), "truncated", kSame});
    cases.push_back({"no resources", pesample::Make(noResources), "has no resource section", kNone});
    damaged("signed", "is signed", kReads, at.directories + 32, {0x00, 0x10, 0, 0, 0x10, 0, 0, 0});
    // .reloc loses its discardable flag (the fourth section, flags at +36).
    damaged("fixed section after", "not discardable", kReads, at.sectionTable + 3 * 40 + 39, {0x40});
    damaged("resource data elsewhere", "resource data lies outside the file", kSame, at.dataEntry, {0, 0, 0, 0x7F});
    damaged("directory points at itself", "damaged", kSame, at.rsrcRaw + 20, {0, 0, 0, 0x80});
    damaged("directory counts run out", "runs out of its section", kSame, at.rsrcRaw + 12, {0xFF, 0xFF});
    damaged("name outside the section", "name lies outside its section", kSame, at.rsrcRaw + 16, {0xF0, 0xFF, 0, 0x80});
    // Found by fuzzing: each made a broken image before it was refused.
    damaged("resources over the headers", "overlaps the headers", kSame, at.sectionTable + 2 * 40 + 20, {0, 0, 0, 0});
    damaged("relocations nowhere", "outside every section", kReads, at.directories + 40, {0, 0, 0, 0x10});
    damaged("symbol table past the end", "past the end of the file", kReads, at.peHeader + 12, {0, 0xFF, 0xFF, 0xFF});
    // .debug (the fifth section) far up, and the debug entry in .rdata (the second).
    damaged("section beyond 2 GiB", "beyond 2 GiB", kSame, at.sectionTable + 4 * 40 + 12, {0x00, 0x50, 0xF9, 0xFF});
    const size_t rdataRaw = pesample::Read32(good, at.sectionTable + 40 + 20);
    damaged("debug data past the end", "debug entry points past", kReads, rdataRaw + 24, {0, 0, 0, 0x70});
    damaged("debug data in the resources", "debug entry points into", kReads, rdataRaw + 24,
            {uint8_t(at.rsrcRaw), uint8_t(at.rsrcRaw >> 8), 0, 0});
    damaged("debug address in no section", "outside every section", kReads, rdataRaw + 20, {0, 0, 0, 0x40});
    for (const Case& c : cases) {
        Bytes out = {1, 2, 3};
        const std::string why = peresource::SetResource(c.image, kType, kId, good.data(), 10, &out);
        EXPECT_NE(std::string::npos, why.find(c.message)) << c.what << ": " << why;
        EXPECT_EQ(*c.message == 0, why.empty()) << c.what << ": " << why;
        if (*c.message != 0) {
            EXPECT_EQ(Bytes({1, 2, 3}), out) << c.what;
        }
        bool found = true;
        size_t offset = 0, size = 0;
        const std::string read = peresource::LocateResource(c.image, kType, kId, &found, &offset, &size);
        EXPECT_EQ(c.lookup == kSame ? why : "", read) << c.what;
        EXPECT_EQ(c.lookup == kReads, found) << c.what;
        if (found) {
            EXPECT_EQ(placeholder, Part(c.image, offset, size)) << c.what;
        }
        // Read piece by piece, as from a file: the same answers.
        bool pagedFound = !found;
        uint64_t pagedOffset = 0, pagedSize = 0;
        EXPECT_EQ(read, peresource::LocateResource(Reader(c.image), kType, kId, &pagedFound, &pagedOffset, &pagedSize))
            << c.what;
        EXPECT_EQ(found, pagedFound) << c.what;
        EXPECT_EQ(offset, pagedOffset) << c.what;
        EXPECT_EQ(size, pagedSize) << c.what;
    }
}

// The patch data left out of the program, to be copied in by the caller:
// put together, the program holds both resources, the rest as before, and
// the checksum that Checksum worked out from the hole's bytes alone.
TEST(PeResource, ProgramLaidOutAroundAHole) {
    const Bytes record = Payload(40);
    for (bool plus : {false, true}) {
        for (size_t size : {size_t(1), size_t(4097), size_t(300000)}) {
            SCOPED_TRACE(std::string(plus ? "PE32+" : "PE32") + ", " + std::to_string(size) + " bytes");
            pesample::Options options;
            options.plus = plus;
            const Bytes in = pesample::Make(options), payload = Payload(size);
            std::vector<peresource::NewResource> resources(2);
            resources[0].type = resources[1].type = kType;
            resources[0].name = kId;
            resources[0].size = size;
            resources[1].name = ResourceKey::Id(131);
            resources[1].data = record.data();
            resources[1].size = record.size();
            peresource::Layout layout;
            ASSERT_EQ("", peresource::SetResources(in, resources, &layout));
            ASSERT_EQ(size, layout.holeSize);
            EXPECT_EQ(layout.holeAt, layout.dataAt[0]);
            Bytes program = Part(layout.bytes, 0, layout.holeAt);
            program.insert(program.end(), payload.begin(), payload.end());
            program.insert(program.end(), layout.bytes.begin() + long(layout.holeAt), layout.bytes.end());
            peresource::ChecksumAccumulator hole;
            hole.Add(layout.holeAt, payload.data(), payload.size());
            uint32_t checksum = 0;
            ASSERT_TRUE(peresource::ComputeChecksum(program, &checksum));
            EXPECT_EQ(checksum, peresource::Checksum(layout, hole));
            EXPECT_EQ(payload, Get(program, kType, kId));
            EXPECT_EQ(record, Get(program, kType, ResourceKey::Id(131)));
            EXPECT_EQ(record, Part(program, size_t(layout.dataAt[1]), record.size()));
            // Found there again when read piece by piece, across many pages.
            for (size_t i = 0; i < 2; ++i) {
                bool found = false;
                uint64_t offset = 0, n = 0;
                EXPECT_EQ("", peresource::LocateResource(Reader(program), kType, resources[i].name, &found, &offset, &n));
                EXPECT_TRUE(found && offset == layout.dataAt[i] && n == resources[i].size) << i;
            }
            EXPECT_EQ(Get(in, ResourceKey::Id(5), ResourceKey::Id(102)), Get(program, ResourceKey::Id(5), ResourceKey::Id(102)));
            const auto sections = pesample::Sections(program);
            const auto* rsrc = Find(sections, ".rsrc");
            ASSERT_NE(nullptr, rsrc);
            EXPECT_LE(layout.holeAt + size, uint64_t(rsrc->rawOffset) + rsrc->rawSize);
        }
    }
    std::vector<peresource::NewResource> two(2);
    two[0].type = two[1].type = kType;
    two[1].name = kId;
    peresource::Layout layout;
    EXPECT_NE("", peresource::SetResources(pesample::Make(pesample::Options()), two, &layout))
        << "two resources whose bytes come later";
}

TEST(PeResource, ProgramHeadersFromTheFirstBytes) {
    pesample::Options plus;
    plus.plus = true;
    const Bytes pe32 = pesample::Make(pesample::Options()), pe64 = pesample::Make(plus);
    const struct {
        const char* what;
        Bytes head;
        uint64_t size;
        const char* problem;
        uint16_t machine;
    } cases[] = {{"PE32", pe32, pe32.size(), "", 0x14C},
                 {"PE32+", pe64, pe64.size(), "", 0x8664},
                 {"headers only", Part(pe32, 0, 0x400), pe32.size(), "", 0x14C},
                 {"cut", Part(pe32, 0, 0x400), 0x800, "truncated", 0},
                 {"too few bytes read", Part(pe32, 0, 100), pe32.size(), "headers lie beyond its first 100 bytes", 0},
                 {"text", Bytes(300, 'x'), 300, "not a PE file", 0}};
    for (const auto& c : cases) {
        peresource::ProgramInfo info;
        const std::string why = peresource::ReadProgramHeaders(c.head, c.size, &info);
        EXPECT_NE(std::string::npos, why.find(c.problem)) << c.what << ": " << why;
        EXPECT_EQ(*c.problem == 0, why.empty()) << c.what << ": " << why;
        if (why.empty()) {
            EXPECT_EQ(c.machine, info.machine) << c.what;
            EXPECT_TRUE(info.IsExecutable()) << c.what;
        }
    }
}

#if defined(_WIN32)

// What Explorer and the elevation prompt show of a patch installer, read
// as they read it: the version and Japanese texts (UTF-16, from the
// resource script's UTF-8).
void ExpectVersionResource(const char* path) {
    wchar_t wide[MAX_PATH];
    ASSERT_NE(0, MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH));
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(wide, &ignored);
    ASSERT_NE(0u, size) << "no version resource";
    std::vector<uint8_t> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(wide, 0, size, block.data()));
    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", &value, &length));
    EXPECT_EQ(0x00010000u, static_cast<VS_FIXEDFILEINFO*>(value)->dwFileVersionMS);
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length));
    ASSERT_EQ(4u, length);
    EXPECT_EQ(0x0411, static_cast<WORD*>(value)[0]) << "Japanese";
    EXPECT_EQ(932, static_cast<WORD*>(value)[1]) << "Shift-JIS";
    const struct {
        const wchar_t* name;
        const wchar_t* text;
    } strings[] = {{L"FileDescription", L"ミルトア 修正パッチ"},
                   {L"ProductName", L"ミルトア 修正パッチ"},
                   {L"CompanyName", L"ミルトア制作室"},
                   {L"FileVersion", L"1.0.0.0"}};
    for (const auto& s : strings) {
        const std::wstring query = std::wstring(L"\\StringFileInfo\\041103a4\\") + s.name;
        ASSERT_TRUE(VerQueryValueW(block.data(), query.c_str(), &value, &length)) << query;
        EXPECT_EQ(std::wstring(s.text), static_cast<const wchar_t*>(value)) << query;
    }
}

BOOL CALLBACK AddLanguage(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR list) {
    reinterpret_cast<std::vector<WORD>*>(list)->push_back(language);
    return TRUE;
}

// The stub the build makes (PE32 on the 32-bit build, PE32+ on the other),
// rewritten and read back by the platform's loader.
TEST(PeResource, InstallerStubReadsBackThroughTheLoader) {
    const char* stubPath = getenv("PE_STUB");
    ASSERT_NE(nullptr, stubPath) << "the test runs with PE_STUB naming the installer stub";
    FILE* f = fopen(stubPath, "rb");
    ASSERT_NE(nullptr, f) << stubPath;
    Bytes stub;
    for (int c; (c = fgetc(f)) != EOF;) stub.push_back(uint8_t(c));
    fclose(f);

    // Our checksum against the linker's and the platform's.
    uint32_t ours = 0;
    DWORD header = 0, computed = 0;
    ASSERT_TRUE(peresource::ComputeChecksum(stub, &ours));
    ASSERT_NE(nullptr, CheckSumMappedFile(stub.data(), DWORD(stub.size()), &header, &computed));
    EXPECT_EQ(computed, ours);
    EXPECT_EQ(header, ours) << "the linker's checksum";

    char folder[MAX_PATH], path[MAX_PATH];
    ASSERT_NE(0u, GetTempPathA(MAX_PATH, folder));
    ASSERT_NE(0u, GetTempFileNameA(folder, "pes", 0, path));
    for (size_t size : {size_t(0), size_t(1), size_t(100000), size_t(3000000)}) {
        SCOPED_TRACE(std::to_string(size) + " bytes");
        const Bytes payload = Payload(size);
        Bytes out;
        ASSERT_EQ("", peresource::SetResource(stub, kType, kId, payload.data(), payload.size(), &out));
        ASSERT_NE(nullptr, CheckSumMappedFile(out.data(), DWORD(out.size()), &header, &computed));
        EXPECT_EQ(computed, header);
        f = fopen(path, "wb");
        ASSERT_NE(nullptr, f);
        ASSERT_EQ(out.size(), fwrite(out.data(), 1, out.size(), f));
        fclose(f);
        HMODULE module = LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(nullptr, module);
        HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(130), "RT_RCDATA");
        ASSERT_NE(nullptr, found);
        ASSERT_EQ(size, SizeofResource(module, found));
        const void* data = LockResource(LoadResource(module, found));
        EXPECT_TRUE(size == 0 || (data != nullptr && memcmp(data, payload.data(), size) == 0));
        // The installer's own resources are still there.
        EXPECT_NE(nullptr, FindResourceA(module, MAKEINTRESOURCEA(102), MAKEINTRESOURCEA(5)));  // main dialog
        EXPECT_NE(nullptr, FindResourceA(module, MAKEINTRESOURCEA(128), MAKEINTRESOURCEA(14)));  // icon group
        HRSRC manifest = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
        ASSERT_NE(nullptr, manifest);
        const std::string text(static_cast<const char*>(LockResource(LoadResource(module, manifest))),
                               SizeofResource(module, manifest));
        EXPECT_NE(std::string::npos, text.find("requireAdministrator"));
        EXPECT_NE(std::string::npos, text.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}")) << "Windows 10 and 11";
        FreeLibrary(module);
        ExpectVersionResource(path);
    }

    // Laid out as ekisa installer lays out a patch installer: the patch data
    // copied into the hole, the digest beside it in the patch data's language.
    const Bytes payload = Payload(5001), record = Payload(40);
    std::vector<peresource::NewResource> resources(2);
    resources[0].type = resources[1].type = kType;
    resources[0].name = kId;
    resources[0].size = payload.size();
    resources[1].name = ResourceKey::Id(131);
    resources[1].data = record.data();
    resources[1].size = record.size();
    peresource::Layout layout;
    ASSERT_EQ("", peresource::SetResources(stub, resources, &layout));
    Bytes program(layout.bytes.begin(), layout.bytes.begin() + long(layout.holeAt));
    program.insert(program.end(), payload.begin(), payload.end());
    program.insert(program.end(), layout.bytes.begin() + long(layout.holeAt), layout.bytes.end());
    peresource::ChecksumAccumulator hole;
    hole.Add(layout.holeAt, payload.data(), payload.size());
    const uint32_t checksum = peresource::Checksum(layout, hole);
    memcpy(&program[layout.checksumAt], &checksum, 4);
    ASSERT_NE(nullptr, CheckSumMappedFile(program.data(), DWORD(program.size()), &header, &computed));
    EXPECT_EQ(computed, header);
    f = fopen(path, "wb");
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(program.size(), fwrite(program.data(), 1, program.size(), f));
    fclose(f);
    HMODULE module = LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, module);
    const WORD japanese = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);
    const struct {
        WORD id;
        const Bytes* data;
    } expected[] = {{130, &payload}, {131, &record}};
    for (const auto& e : expected) {
        // Each in one language, Japanese (a lookup by language would fall
        // back to a neutral one).
        std::vector<WORD> languages;
        EnumResourceLanguagesA(module, "RT_RCDATA", MAKEINTRESOURCEA(e.id), AddLanguage,
                               reinterpret_cast<LONG_PTR>(&languages));
        EXPECT_EQ(std::vector<WORD>(1, japanese), languages) << e.id;
        HRSRC found = FindResourceExA(module, "RT_RCDATA", MAKEINTRESOURCEA(e.id), japanese);
        ASSERT_NE(nullptr, found) << e.id;
        ASSERT_EQ(e.data->size(), SizeofResource(module, found));
        EXPECT_EQ(0, memcmp(LockResource(LoadResource(module, found)), e.data->data(), e.data->size())) << e.id;
    }
    FreeLibrary(module);
    DeleteFileA(path);
}

#endif

}  // namespace

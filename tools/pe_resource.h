// Reading and replacing one resource of a Windows program file, portably:
// the same input bytes give the same output bytes on every host.
//
// Images accepted: PE32 and PE32+ executables and DLLs with a resource
// section, that is a section that starts with the resource directory and
// holds nothing else. The sections after it (by address) must be
// discardable, such as base relocations and debug information: nothing
// refers to them by address, so they can move when the resource section
// grows or shrinks. Signed images are refused (a signature would not
// survive). Every offset, size and count read from the image is checked
// before use; a malformed or truncated image gets a message, never a crash.
//
// What SetResource guarantees about its output:
//   - the resource tree of the input, with the one resource replaced (or
//     added) and nothing else changed; entries sorted as the loader's
//     binary search expects;
//   - the resource section rewritten in place, the sections after it moved
//     by whole alignment units, the base relocation and debug directories
//     and the symbol table pointer moved with them;
//   - section table, SizeOfImage, SizeOfInitializedData, the resource data
//     directory and the checksum field consistent with the new bytes;
//   - bytes outside the changed parts copied unchanged, including data
//     after the last section.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

namespace peresource {

typedef std::vector<uint8_t> Bytes;

// A resource type, name or language: a 16-bit number or a string.
struct ResourceKey {
    bool isName = false;
    uint16_t id = 0;
    std::u16string name;  // compared ignoring ASCII case, as the loader does

    static ResourceKey Id(uint16_t id);
    static ResourceKey Name(const std::string& ascii);
    bool Matches(const ResourceKey& other) const;
};

// Gives in *output a copy of image whose resource (type, name) holds the
// size bytes at data, in a single language: that of the resource it
// replaces, else language neutral. Returns an empty text on success, else
// what is wrong with the image (*output is then unchanged).
std::string SetResource(const Bytes& image, const ResourceKey& type, const ResourceKey& name, const uint8_t* data,
                        size_t size, Bytes* output);

// One resource for SetResources. Data null: the caller supplies the size
// bytes later (see Layout); at most one resource may do so.
struct NewResource {
    ResourceKey type, name;
    const uint8_t* data = nullptr;
    size_t size = 0;
};

// A program as SetResources makes it: bytes[0, holeAt), then the holeSize
// bytes of the resource whose data the caller supplies, then
// bytes[holeAt, end). The hole lies at the end of the resource section's data,
// on an even offset. dataAt[i] is the file offset of resources[i]'s data.
// When there is a hole, the checksum field (at checksumAt) is left zero: the
// caller fills it in with Checksum once the hole's bytes are known.
struct Layout {
    Bytes bytes;
    size_t holeAt = 0;
    uint64_t holeSize = 0;
    std::vector<uint64_t> dataAt;
    size_t checksumAt = 0;
};

// SetResource for several resources at once. Each replaces the resource of
// its type and name in that resource's language; a resource the image lacks
// takes the language the first one had in the image, else neutral (so the
// patch data and what belongs to it share a language).
std::string SetResources(const Bytes& image, const std::vector<NewResource>& resources, Layout* layout);

// The image checksum accumulated over pieces given in any order, each at its
// file offset (the checksum field counted as zero).
class ChecksumAccumulator {
public:
    void Add(uint64_t at, const uint8_t* data, size_t n);
    // For an image of `length` bytes whose every byte was added once.
    uint32_t Finish(uint64_t length) const;

private:
    uint64_t m_sum = 0;
};
// The checksum of layout's program whose hole holds bytes that summed to
// hole (at their offsets), with layout.bytes as they are now.
uint32_t Checksum(const Layout& layout, const ChecksumAccumulator& hole);

// Where the data of resource (type, name) in its first language lies in
// image: size bytes from offset. Returns an empty text when the image could
// be read (*found says whether the resource is there; an image without
// resources has none), else what is wrong with it. The image is checked by
// the rules SetResource applies before it changes anything, so a damaged,
// truncated or looping tree gets the same answer from both.
std::string LocateResource(const Bytes& image, const ResourceKey& type, const ResourceKey& name, bool* found,
                           size_t* offset, size_t* size);
// The same, as a copy of the data.
std::string ReadResource(const Bytes& image, const ResourceKey& type, const ResourceKey& name, bool* found,
                         Bytes* data);

// An image read piece by piece, for looking into a program of any size
// without holding it: read(offset, n, dst) gives n bytes that lie inside the
// image (false when they cannot be read).
struct ImageReader {
    uint64_t size = 0;
    std::function<bool(uint64_t offset, size_t n, uint8_t* dst)> read;
};
// LocateResource for an image read through reader; the same answers, and
// "cannot be read" when reading fails.
std::string LocateResource(const ImageReader& image, const ResourceKey& type, const ResourceKey& name, bool* found,
                           uint64_t* offset, uint64_t* size);

// What the headers of a program say about it.
struct ProgramInfo {
    uint16_t machine = 0;          // 0x14C x86, 0x8664 x86-64, ...
    bool plus = false;             // PE32+
    uint16_t characteristics = 0;  // of the file header
    bool IsExecutable() const { return (characteristics & 0x0002) != 0 && (characteristics & 0x2000) == 0; }
};
// Reads the headers of a program of `size` bytes from its first bytes,
// head, with the checks that LocateResource applies (so a program whose
// sections run past its end is truncated). Empty text when they are sound.
std::string ReadProgramHeaders(const Bytes& head, uint64_t size, ProgramInfo* info);
// "x86 (32-bit)" and the like, for messages.
std::string MachineName(uint16_t machine);

// Whether the image carries a signature (a certificate table), which
// SetResource refuses: changing any byte would break it.
bool IsSigned(const Bytes& image);

// The image checksum as Windows computes it, the checksum field counted as
// zero. Returns false when image is not a PE image.
bool ComputeChecksum(const Bytes& image, uint32_t* checksum);

}  // namespace peresource

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

// Whether the image carries a signature (a certificate table), which
// SetResource refuses: changing any byte would break it.
bool IsSigned(const Bytes& image);

// The image checksum as Windows computes it, the checksum field counted as
// zero. Returns false when image is not a PE image.
bool ComputeChecksum(const Bytes& image, uint32_t* checksum);

}  // namespace peresource

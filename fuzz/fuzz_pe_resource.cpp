// The PE resource writer and lookup on arbitrary images: the first four
// bytes give the length of the image, the rest after it is the resource
// data. Refusals are fine; crashes, stray reads and writes are not, and
// neither is a lookup outside the image, a lookup piece by piece that
// answers otherwise, an image the lookup calls damaged and the writer
// takes, or an output that does not read back, that a second pass would
// change, or whose layout around a hole does not add up.
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "pe_resource.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4)
        return 0;
    uint32_t length = 0;
    memcpy(&length, data, 4);
    length = length % uint32_t(size - 4 + 1);
    const peresource::Bytes image(data + 4, data + 4 + length);
    const uint8_t* payload = data + 4 + length;
    const size_t payloadSize = size - 4 - length;
    const peresource::ResourceKey type = peresource::ResourceKey::Name("RT_RCDATA");
    const peresource::ResourceKey id = peresource::ResourceKey::Id(130);

    bool found = false;
    size_t offset = 0, foundSize = 0;
    const std::string lookup = peresource::LocateResource(image, type, id, &found, &offset, &foundSize);
    if (found && (offset > image.size() || image.size() - offset < foundSize))
        __builtin_trap();
    // Read piece by piece, as from a file: the same answer, and no read
    // outside the image.
    peresource::ImageReader reader;
    reader.size = image.size();
    reader.read = [&image](uint64_t at, size_t n, uint8_t* dst) {
        if (at > image.size() || image.size() - at < n)
            __builtin_trap();
        memcpy(dst, image.data() + at, n);
        return true;
    };
    bool pagedFound = false;
    uint64_t pagedOffset = 0, pagedSize = 0;
    if (peresource::LocateResource(reader, type, id, &pagedFound, &pagedOffset, &pagedSize) != lookup ||
        pagedFound != found || (found && (pagedOffset != offset || pagedSize != foundSize)))
        __builtin_trap();
    peresource::ProgramInfo info;
    peresource::ReadProgramHeaders(peresource::Bytes(image.begin(), image.begin() + long(std::min<size_t>(image.size(), 4096))),
                                   image.size(), &info);
    uint32_t checksum = 0;
    peresource::ComputeChecksum(image, &checksum);
    peresource::IsSigned(image);

    peresource::Bytes out, read;
    if (!peresource::SetResource(image, type, id, payload, payloadSize, &out).empty())
        return 0;
    // The writer refuses whatever the lookup finds damaged: one set of rules.
    if (!lookup.empty())
        __builtin_trap();
    if (!peresource::ReadResource(out, type, id, &found, &read).empty() || !found ||
        read != peresource::Bytes(payload, payload + payloadSize))
        __builtin_trap();
    peresource::Bytes again;
    if (!peresource::SetResource(out, type, id, payload, payloadSize, &again).empty() || again != out)
        __builtin_trap();
    // Laid out around a hole, as ekisa installer writes a patch installer:
    // put together, the payload reads back and the checksum is Windows'.
    std::vector<peresource::NewResource> resources(2);
    resources[0].type = resources[1].type = type;
    resources[0].name = id;
    resources[0].size = payloadSize;
    resources[1].name = peresource::ResourceKey::Id(131);
    resources[1].data = payload;
    resources[1].size = std::min<size_t>(payloadSize, 40);
    peresource::Layout layout;
    if (!peresource::SetResources(image, resources, &layout).empty())
        return 0;
    peresource::Bytes program(layout.bytes.begin(), layout.bytes.begin() + long(layout.holeAt));
    program.insert(program.end(), payload, payload + payloadSize);
    program.insert(program.end(), layout.bytes.begin() + long(layout.holeAt), layout.bytes.end());
    peresource::ChecksumAccumulator hole;
    hole.Add(layout.holeAt, payload, payloadSize);
    uint32_t programChecksum = 0;
    if (!peresource::ReadResource(program, type, id, &found, &read).empty() || !found ||
        read != peresource::Bytes(payload, payload + payloadSize) ||
        !peresource::ComputeChecksum(program, &programChecksum) || programChecksum != peresource::Checksum(layout, hole))
        __builtin_trap();
    return 0;
}

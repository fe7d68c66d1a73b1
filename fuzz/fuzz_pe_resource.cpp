// The PE resource writer and lookup on arbitrary images: the first four
// bytes give the length of the image, the rest after it is the resource
// data. Refusals are fine; crashes, stray reads and writes are not, and
// neither is a lookup outside the image, an image the lookup calls damaged
// and the writer takes, or an output that does not read back or that a
// second pass would change.
#include <stdint.h>
#include <string.h>

#include <string>

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
    return 0;
}

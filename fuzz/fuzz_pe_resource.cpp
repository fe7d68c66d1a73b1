// The PE resource writer on arbitrary images: the first four bytes give the
// length of the image, the rest after it is the resource data. Refusals are
// fine; crashes, stray reads and writes are not, and neither is an output
// that does not read back or that a second pass would change.
#include <stdint.h>
#include <string.h>

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
    peresource::Bytes read;
    peresource::ReadResource(image, type, id, &found, &read);
    uint32_t checksum = 0;
    peresource::ComputeChecksum(image, &checksum);

    peresource::Bytes out;
    if (!peresource::SetResource(image, type, id, payload, payloadSize, &out).empty())
        return 0;
    if (!peresource::ReadResource(out, type, id, &found, &read).empty() || !found ||
        read != peresource::Bytes(payload, payload + payloadSize))
        __builtin_trap();
    peresource::Bytes again;
    if (!peresource::SetResource(out, type, id, payload, payloadSize, &again).empty() || again != out)
        __builtin_trap();
    return 0;
}

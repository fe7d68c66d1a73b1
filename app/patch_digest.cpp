#include "app/patch_digest.h"

#include <string.h>

#include "esl/platform.h"

namespace {

const char kTag[8] = {'S', 'H', 'A', '-', '2', '5', '6', 0};

}  // namespace

bool ComputeSha256(const void* data, uint32_t size, uint8_t (&digest)[32]) {
    eslp::Sha256 sha;
    sha.Add(data, size);
    return sha.Finish(digest);
}

PatchDigestCheck CheckPatchDigest(const void* data, uint32_t size, const void* record, uint32_t recordSize) {
    if (record == nullptr || recordSize != kPatchDigestRecordSize || memcmp(record, kTag, sizeof kTag) != 0)
        return patchDigestDiffers;
    uint8_t digest[32];
    if (!ComputeSha256(data, size, digest))
        return patchDigestUncheckable;
    return memcmp(static_cast<const uint8_t*>(record) + sizeof kTag, digest, sizeof digest) == 0 ? patchDigestMatches
                                                                                                  : patchDigestDiffers;
}

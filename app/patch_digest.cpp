#include "app/patch_digest.h"

#include <string.h>

#include "app/resources/resource.h"
#include "esl/platform.h"

namespace {

// "SHA-256" and its zero byte; the record is these 8 bytes and the digest.
const char kTag[] = PATCH_DIGEST_TAG;
static_assert(sizeof kTag + 32 == PATCH_DIGEST_RECORD_SIZE, "the digest record is the tag and the digest");

}  // namespace

bool ComputeSha256(const void* data, uint32_t size, uint8_t (&digest)[32]) {
    eslp::Sha256 sha;
    sha.Add(data, size);
    return sha.Finish(digest);
}

PatchDigestCheck CheckPatchDigest(const void* data, uint32_t size, const void* record, uint32_t recordSize) {
    if (record == nullptr || recordSize != PATCH_DIGEST_RECORD_SIZE || memcmp(record, kTag, sizeof kTag) != 0)
        return patchDigestDiffers;
    uint8_t digest[32];
    if (!ComputeSha256(data, size, digest))
        return patchDigestUncheckable;
    return memcmp(static_cast<const uint8_t*>(record) + sizeof kTag, digest, sizeof digest) == 0 ? patchDigestMatches
                                                                                                  : patchDigestDiffers;
}

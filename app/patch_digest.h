// The digest that `ekisa installer` records of a patch installer's patch
// data, so that a damaged download is refused before anything is touched.
#pragma once

#include <stdint.h>

// The record: "SHA-256" and a zero byte, then the 32 bytes of the SHA-256 of
// the patch data.
const uint32_t kPatchDigestRecordSize = 40;

// SHA-256 through the system's cryptographic provider; false when the
// system offers none.
bool ComputeSha256(const void* data, uint32_t size, uint8_t (&digest)[32]);

enum PatchDigestCheck {
    patchDigestMatches,
    patchDigestDiffers,    // also a record that is not one
    patchDigestUncheckable // the system cannot hash
};
PatchDigestCheck CheckPatchDigest(const void* data, uint32_t size, const void* record, uint32_t recordSize);

// The digest that `ekisa installer` records of a patch installer's patch
// data, so that a damaged download is refused before anything is touched.
// The record's format is in app/resources/resource.h (IDR_PATCHDIGEST).
#pragma once

#include <stdint.h>

// SHA-256 through the system's cryptographic provider; false when the
// system offers none.
bool ComputeSha256(const void* data, uint32_t size, uint8_t (&digest)[32]);

enum PatchDigestCheck {
    patchDigestMatches,
    patchDigestDiffers,    // also a record that is not one
    patchDigestUncheckable // the system cannot hash
};
PatchDigestCheck CheckPatchDigest(const void* data, uint32_t size, const void* record, uint32_t recordSize);

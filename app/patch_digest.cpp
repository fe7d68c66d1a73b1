#include "app/patch_digest.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <wincrypt.h>

#include <string.h>

namespace {

const char kTag[8] = {'S', 'H', 'A', '-', '2', '5', '6', 0};

}  // namespace

bool ComputeSha256(const void* data, uint32_t size, uint8_t (&digest)[32]) {
    HCRYPTPROV provider = 0;
    if (!::CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT | CRYPT_SILENT))
        return false;
    HCRYPTHASH hash = 0;
    bool ok = ::CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash) != 0;
    // In pieces: the length of one call is a DWORD, and pieces keep no
    // single call from holding up the provider for long.
    const BYTE* bytes = static_cast<const BYTE*>(data);
    for (uint32_t done = 0; ok && done < size;) {
        const uint32_t piece = size - done < (1u << 20) ? size - done : (1u << 20);
        ok = ::CryptHashData(hash, bytes + done, piece, 0) != 0;
        done += piece;
    }
    DWORD length = sizeof digest;
    ok = ok && ::CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0) && length == sizeof digest;
    if (hash != 0)
        ::CryptDestroyHash(hash);
    ::CryptReleaseContext(provider, 0);
    return ok;
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

// The check of the patch data against the digest the tool recorded.
#include <gtest/gtest.h>

#include <stdio.h>

#include <string>

#include "app/patch_digest.h"

namespace {

std::string Record(const std::string& data) {
    uint8_t digest[32];
    EXPECT_TRUE(ComputeSha256(data.data(), static_cast<uint32_t>(data.size()), digest));
    return std::string("SHA-256\0", 8) + std::string(reinterpret_cast<const char*>(digest), 32);
}

TEST(PatchDigestTest, Sha256OfKnownTexts) {
    const struct {
        std::string text;
        const char* hex;
    } vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // More than a mebibyte.
        {std::string((1u << 20) + 3, 'a'), "f5e25b6b994188fdb721357d459785dc479934edfd40f95658a45ab2ce2d8027"},
    };
    for (const auto& v : vectors) {
        uint8_t digest[32];
        ASSERT_TRUE(ComputeSha256(v.text.data(), static_cast<uint32_t>(v.text.size()), digest));
        char hex[65];
        for (int i = 0; i < 32; ++i)
            snprintf(hex + 2 * i, 3, "%02x", digest[i]);
        EXPECT_STREQ(hex, v.hex) << v.text.size() << " bytes";
    }
}

TEST(PatchDigestTest, RecordMatchesOnlyItsData) {
    const std::string data(100000, 'p');
    const std::string good = Record(data);
    std::string changedData = data;
    changedData[54321] ^= 1;
    std::string badTag = good;
    badTag[0] = 's';
    std::string badDigest = good;
    badDigest[39] ^= 0x80;
    const struct {
        const std::string& data;
        std::string record;
        PatchDigestCheck expected;
    } cases[] = {
        {data, good, patchDigestMatches},
        {changedData, good, patchDigestDiffers},
        {data, badTag, patchDigestDiffers},
        {data, badDigest, patchDigestDiffers},
        {data, good.substr(0, 39), patchDigestDiffers},
        {data, good + '\0', patchDigestDiffers},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CheckPatchDigest(c.data.data(), static_cast<uint32_t>(c.data.size()), c.record.data(),
                                   static_cast<uint32_t>(c.record.size())),
                  c.expected)
            << "record of " << c.record.size() << " bytes";
    EXPECT_EQ(CheckPatchDigest(data.data(), static_cast<uint32_t>(data.size()), nullptr, 40), patchDigestDiffers);
}

}  // namespace

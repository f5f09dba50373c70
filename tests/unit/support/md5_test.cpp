// Digests as the cloud and the download check compare them: 32 lower-case hex characters.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/Usb_MD5.h"

namespace {

using USB::MD5;

std::vector<unsigned char> Pattern(size_t n)
{
    std::vector<unsigned char> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<unsigned char>((i * 7 + 3) & 0xFF);
    return bytes;
}

TEST(Md5, Rfc1321Suite)
{
    const struct { const char* input; const char* digest; } suite[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& c : suite)
        EXPECT_EQ(MD5::Of(c.input), c.digest) << "input: \"" << c.input << "\"";
}

TEST(Md5, PiecewiseFeedingMatchesOneCall)
{
    MD5 letters;
    letters.Update("a", 1);
    letters.Update("", 0);  // a zero count changes nothing
    letters.Update("b", 1);
    letters.Update("c", 1);
    const std::string first = letters.HexDigest();
    EXPECT_EQ(first, "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(letters.HexDigest(), first);  // asking twice gives the same text
}

TEST(Md5, BlockBoundaries)
{
    // Reference digests of the same byte pattern from an independent tool.
    const struct { size_t size; const char* digest; } cases[] = {
        {64, "7160b8fb5e9e4023d549c3971fbaeead"},
        {65, "70bd662e7aefbda85a0f7244167b7897"},
        {10239, "1b7868b70f64db08651b05aed9ae77fc"},
    };
    for (const auto& c : cases) {
        const std::vector<unsigned char> bytes = Pattern(c.size);
        MD5 whole;
        whole.Update(bytes.data(), bytes.size());
        EXPECT_EQ(whole.HexDigest(), c.digest) << c.size << " bytes in one call";

        // Chunks that straddle block edges, as a download feeds them.
        const size_t chunks[] = {1, 63, 64, 65, 7, 1000};
        MD5 pieces;
        size_t offset = 0;
        for (size_t i = 0; offset < bytes.size(); ++i) {
            const size_t n = std::min(chunks[i % 6], bytes.size() - offset);
            pieces.Update(bytes.data() + offset, n);
            offset += n;
        }
        EXPECT_EQ(pieces.HexDigest(), c.digest) << c.size << " bytes in pieces";
    }
}

TEST(Md5, FinishedDigestIgnoresLaterInput)
{
    MD5 digest;
    digest.Update("abc", 3);
    digest.Finalize();
    digest.Update("more", 4);
    EXPECT_EQ(digest.HexDigest(), "900150983cd24fb0d6963f7d28e17f72");
}

}  // namespace

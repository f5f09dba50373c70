// Digests as the cloud and the download check compare them: 32 lower-case hex characters.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/md5.h"

namespace {

using USB::MD5;

TEST(Md5, Rfc1321Suite)
{
    const struct {
        const char* input;
        const char* digest;
    } suite[] = {
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

TEST(Md5, PiecesAcrossBlockEdgesMatchOneCallAndAFinishedDigestStays)
{
    // Reference digests of the byte pattern from an independent tool.
    const struct {
        size_t size;
        const char* digest;
    } cases[] = {
        {65, "70bd662e7aefbda85a0f7244167b7897"},
        {10239, "1b7868b70f64db08651b05aed9ae77fc"},
    };
    for (const auto& c : cases) {
        std::vector<unsigned char> bytes(c.size);
        for (size_t i = 0; i < c.size; ++i)
            bytes[i] = static_cast<unsigned char>((i * 7 + 3) & 0xFF);
        MD5 whole;
        whole.Update(bytes.data(), bytes.size());
        EXPECT_EQ(whole.HexDigest(), c.digest) << c.size;
        // Chunks that straddle block edges, as a download feeds them.
        const size_t chunks[] = {1, 0, 63, 64, 65, 7, 1000};
        MD5 pieces;
        for (size_t i = 0, offset = 0; offset < bytes.size(); ++i) {
            const size_t n = std::min(chunks[i % 7], bytes.size() - offset);
            pieces.Update(bytes.data() + offset, n);
            offset += n;
        }
        EXPECT_EQ(pieces.HexDigest(), c.digest) << c.size << " in pieces";
        EXPECT_EQ(pieces.HexDigest(), c.digest) << "asked twice";
    }
    MD5 finished;
    finished.Update("abc", 3);
    finished.Finalize();
    finished.Update("more", 4);
    EXPECT_EQ(finished.HexDigest(), "900150983cd24fb0d6963f7d28e17f72");
}

}  // namespace

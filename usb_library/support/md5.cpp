#include "support/md5.h"

#include <cstdio>
#include <cstring>

namespace USB {

namespace {

inline uint32_t RotateLeft(uint32_t x, unsigned n)
{
    return (x << n) | (x >> (32 - n));
}

inline uint32_t F(uint32_t x, uint32_t y, uint32_t z)
{
    return (x & y) | (~x & z);
}
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z)
{
    return (x & z) | (y & ~z);
}
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z)
{
    return x ^ y ^ z;
}
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z)
{
    return y ^ (x | ~z);
}

// One step of a round: a = b + ((a + f(b,c,d) + x + t) <<< s).
#define MD5_STEP(fn, a, b, c, d, x, s, t) \
    (a) += fn((b), (c), (d)) + (x) + (t); \
    (a) = RotateLeft((a), (s)) + (b)

void Encode(uint8_t* out, const uint32_t* in, size_t words)
{
    for (size_t i = 0; i < words; ++i) {
        out[i * 4] = static_cast<uint8_t>(in[i]);
        out[i * 4 + 1] = static_cast<uint8_t>(in[i] >> 8);
        out[i * 4 + 2] = static_cast<uint8_t>(in[i] >> 16);
        out[i * 4 + 3] = static_cast<uint8_t>(in[i] >> 24);
    }
}

}  // namespace

MD5::MD5() : m_count{0, 0}, m_state{0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u}, m_buffer{}, m_finalized(false)
{
}

void MD5::Transform(const uint8_t block[64])
{
    uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = static_cast<uint32_t>(block[i * 4]) | (static_cast<uint32_t>(block[i * 4 + 1]) << 8) |
               (static_cast<uint32_t>(block[i * 4 + 2]) << 16) | (static_cast<uint32_t>(block[i * 4 + 3]) << 24);

    uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3];

    // Round 1
    MD5_STEP(F, a, b, c, d, x[0], 7, 0xd76aa478u);
    MD5_STEP(F, d, a, b, c, x[1], 12, 0xe8c7b756u);
    MD5_STEP(F, c, d, a, b, x[2], 17, 0x242070dbu);
    MD5_STEP(F, b, c, d, a, x[3], 22, 0xc1bdceeeu);
    MD5_STEP(F, a, b, c, d, x[4], 7, 0xf57c0fafu);
    MD5_STEP(F, d, a, b, c, x[5], 12, 0x4787c62au);
    MD5_STEP(F, c, d, a, b, x[6], 17, 0xa8304613u);
    MD5_STEP(F, b, c, d, a, x[7], 22, 0xfd469501u);
    MD5_STEP(F, a, b, c, d, x[8], 7, 0x698098d8u);
    MD5_STEP(F, d, a, b, c, x[9], 12, 0x8b44f7afu);
    MD5_STEP(F, c, d, a, b, x[10], 17, 0xffff5bb1u);
    MD5_STEP(F, b, c, d, a, x[11], 22, 0x895cd7beu);
    MD5_STEP(F, a, b, c, d, x[12], 7, 0x6b901122u);
    MD5_STEP(F, d, a, b, c, x[13], 12, 0xfd987193u);
    MD5_STEP(F, c, d, a, b, x[14], 17, 0xa679438eu);
    MD5_STEP(F, b, c, d, a, x[15], 22, 0x49b40821u);

    // Round 2
    MD5_STEP(G, a, b, c, d, x[1], 5, 0xf61e2562u);
    MD5_STEP(G, d, a, b, c, x[6], 9, 0xc040b340u);
    MD5_STEP(G, c, d, a, b, x[11], 14, 0x265e5a51u);
    MD5_STEP(G, b, c, d, a, x[0], 20, 0xe9b6c7aau);
    MD5_STEP(G, a, b, c, d, x[5], 5, 0xd62f105du);
    MD5_STEP(G, d, a, b, c, x[10], 9, 0x02441453u);
    MD5_STEP(G, c, d, a, b, x[15], 14, 0xd8a1e681u);
    MD5_STEP(G, b, c, d, a, x[4], 20, 0xe7d3fbc8u);
    MD5_STEP(G, a, b, c, d, x[9], 5, 0x21e1cde6u);
    MD5_STEP(G, d, a, b, c, x[14], 9, 0xc33707d6u);
    MD5_STEP(G, c, d, a, b, x[3], 14, 0xf4d50d87u);
    MD5_STEP(G, b, c, d, a, x[8], 20, 0x455a14edu);
    MD5_STEP(G, a, b, c, d, x[13], 5, 0xa9e3e905u);
    MD5_STEP(G, d, a, b, c, x[2], 9, 0xfcefa3f8u);
    MD5_STEP(G, c, d, a, b, x[7], 14, 0x676f02d9u);
    MD5_STEP(G, b, c, d, a, x[12], 20, 0x8d2a4c8au);

    // Round 3
    MD5_STEP(H, a, b, c, d, x[5], 4, 0xfffa3942u);
    MD5_STEP(H, d, a, b, c, x[8], 11, 0x8771f681u);
    MD5_STEP(H, c, d, a, b, x[11], 16, 0x6d9d6122u);
    MD5_STEP(H, b, c, d, a, x[14], 23, 0xfde5380cu);
    MD5_STEP(H, a, b, c, d, x[1], 4, 0xa4beea44u);
    MD5_STEP(H, d, a, b, c, x[4], 11, 0x4bdecfa9u);
    MD5_STEP(H, c, d, a, b, x[7], 16, 0xf6bb4b60u);
    MD5_STEP(H, b, c, d, a, x[10], 23, 0xbebfbc70u);
    MD5_STEP(H, a, b, c, d, x[13], 4, 0x289b7ec6u);
    MD5_STEP(H, d, a, b, c, x[0], 11, 0xeaa127fau);
    MD5_STEP(H, c, d, a, b, x[3], 16, 0xd4ef3085u);
    MD5_STEP(H, b, c, d, a, x[6], 23, 0x04881d05u);
    MD5_STEP(H, a, b, c, d, x[9], 4, 0xd9d4d039u);
    MD5_STEP(H, d, a, b, c, x[12], 11, 0xe6db99e5u);
    MD5_STEP(H, c, d, a, b, x[15], 16, 0x1fa27cf8u);
    MD5_STEP(H, b, c, d, a, x[2], 23, 0xc4ac5665u);

    // Round 4
    MD5_STEP(I, a, b, c, d, x[0], 6, 0xf4292244u);
    MD5_STEP(I, d, a, b, c, x[7], 10, 0x432aff97u);
    MD5_STEP(I, c, d, a, b, x[14], 15, 0xab9423a7u);
    MD5_STEP(I, b, c, d, a, x[5], 21, 0xfc93a039u);
    MD5_STEP(I, a, b, c, d, x[12], 6, 0x655b59c3u);
    MD5_STEP(I, d, a, b, c, x[3], 10, 0x8f0ccc92u);
    MD5_STEP(I, c, d, a, b, x[10], 15, 0xffeff47du);
    MD5_STEP(I, b, c, d, a, x[1], 21, 0x85845dd1u);
    MD5_STEP(I, a, b, c, d, x[8], 6, 0x6fa87e4fu);
    MD5_STEP(I, d, a, b, c, x[15], 10, 0xfe2ce6e0u);
    MD5_STEP(I, c, d, a, b, x[6], 15, 0xa3014314u);
    MD5_STEP(I, b, c, d, a, x[13], 21, 0x4e0811a1u);
    MD5_STEP(I, a, b, c, d, x[4], 6, 0xf7537e82u);
    MD5_STEP(I, d, a, b, c, x[11], 10, 0xbd3af235u);
    MD5_STEP(I, c, d, a, b, x[2], 15, 0x2ad7d2bbu);
    MD5_STEP(I, b, c, d, a, x[9], 21, 0xeb86d391u);

    m_state[0] += a;
    m_state[1] += b;
    m_state[2] += c;
    m_state[3] += d;
}

#undef MD5_STEP

void MD5::Update(const void* data, size_t length)
{
    if (length == 0 || !data || m_finalized)
        return;
    const uint8_t* input = static_cast<const uint8_t*>(data);

    size_t index = (m_count[0] >> 3) & 0x3F;
    // The bit count is 64 bits wide, kept as two words.
    const uint64_t bits = static_cast<uint64_t>(length) << 3;
    const uint32_t low = static_cast<uint32_t>(bits);
    m_count[0] += low;
    if (m_count[0] < low)
        ++m_count[1];
    m_count[1] += static_cast<uint32_t>(bits >> 32);

    const size_t partLen = 64 - index;
    size_t i = 0;
    if (length >= partLen) {
        std::memcpy(&m_buffer[index], input, partLen);
        Transform(m_buffer);
        for (i = partLen; i + 63 < length; i += 64)
            Transform(&input[i]);
        index = 0;
    }
    std::memcpy(&m_buffer[index], &input[i], length - i);
}

void MD5::Finalize()
{
    if (m_finalized)
        return;
    static const uint8_t kPadding[64] = {0x80};
    uint8_t bits[8];
    Encode(bits, m_count, 2);
    const size_t index = (m_count[0] >> 3) & 0x3F;
    const size_t padLen = index < 56 ? 56 - index : 120 - index;
    Update(kPadding, padLen);
    Update(bits, 8);
    m_finalized = true;
}

std::string MD5::HexDigest()
{
    if (!m_finalized)
        Finalize();
    uint8_t digest[16];
    Encode(digest, m_state, 4);
    char text[33] = {0};
    for (int i = 0; i < 16; ++i)
        std::snprintf(&text[i * 2], 3, "%02x", digest[i]);
    return std::string(text, 32);
}

std::string MD5::Of(const std::string& text)
{
    MD5 digest;
    digest.Update(text.data(), text.size());
    return digest.HexDigest();
}

}  // namespace USB

// RFC 1321 message digest, fed in pieces, read as 32 lower-case hex characters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace USB {

class MD5 {
public:
    MD5();

    void Update(const void* data, size_t length);
    void Finalize();
    std::string HexDigest();

    // Digest of a whole text in one call.
    static std::string Of(const std::string& text);

private:
    void Transform(const uint8_t block[64]);

    uint32_t m_count[2];
    uint32_t m_state[4];
    uint8_t m_buffer[64];
    bool m_finalized;
};

}  // namespace USB

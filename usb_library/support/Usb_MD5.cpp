#include "support/Usb_MD5.h"

// Placeholder until the digest lands.
namespace USB {
MD5::MD5() : m_count{0, 0}, m_state{0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u}, m_buffer{}, m_finalized(false) {}
void MD5::Update(const void*, size_t) {}
void MD5::Finalize() { m_finalized = true; }
std::string MD5::HexDigest() { return std::string(); }
std::string MD5::Of(const std::string& text) { MD5 m; m.Update(text.data(), text.size()); return m.HexDigest(); }
void MD5::Transform(const uint8_t*) {}
}  // namespace USB

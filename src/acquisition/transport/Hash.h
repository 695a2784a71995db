// The message digests and the base64 text that logins (HTTP and
// WS-Security) and certificate pins need, the same on both products (WinInet answers Digest challenges through
// our code, and pins are compared by our code on Windows).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace orvella {

using Md5Digest = std::array<uint8_t, 16>;
using Sha1Digest = std::array<uint8_t, 20>;
using Sha256Digest = std::array<uint8_t, 32>;

Md5Digest Md5(const void* data, size_t size);
Sha1Digest Sha1(const void* data, size_t size);  // WS-Security password digests
Sha256Digest Sha256(const void* data, size_t size);

// Lower-case hexadecimal of any bytes.
std::string Hex(const uint8_t* bytes, size_t size);
template <size_t N>
std::string Hex(const std::array<uint8_t, N>& digest) {
  return Hex(digest.data(), N);
}

// Standard base64 with padding.
std::string Base64(const void* data, size_t size);
// Decodes standard base64, skipping white space; false on any other
// character outside the alphabet.
bool Base64Decode(const std::string& text, std::string& out);

}  // namespace orvella

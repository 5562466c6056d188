#pragma once

#include "brimvale/platform/Bytes.h"

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// Why a key operation failed; the text is for logs only.
struct CryptoError {
  std::string message;
};

inline constexpr std::size_t sha256Length = 32;
inline constexpr std::size_t x25519KeyLength = 32;

Bytes sha256(const Bytes &data);
Bytes hmacSha256(const Bytes &key, const Bytes &data);
// Constant-time comparison; a MAC of the wrong length is simply invalid.
bool hmacVerify(const Bytes &key, const Bytes &data, const Bytes &mac);
// Empty on failure (only for a length above 255 * 32).
Bytes hkdfSha256(const Bytes &ikm, const Bytes &salt, const Bytes &info, std::size_t length);

// X25519 keys are raw 32-byte strings throughout.
Bytes x25519GeneratePrivateKey();
std::expected<Bytes, CryptoError> x25519PublicKey(const Bytes &privateKey);
// Fails for a peer key that is not 32 bytes, or one whose shared secret is all zero.
std::expected<Bytes, CryptoError> x25519SharedSecret(const Bytes &privateKey,
                                                     const Bytes &peerPublicKey);

// From the system's cryptographic source; the process aborts if that source fails, so the
// result is never partly filled.
Bytes randomBytes(std::size_t count);

// Lower-case hexadecimal, two digits a byte.
std::string hexText(const Bytes &data);

// Standard alphabet with padding.
std::string base64Encode(const Bytes &data);
// Strict: padding required, no white space, nothing outside the alphabet.
std::optional<Bytes> base64Decode(std::string_view text);

} // namespace corvane

#pragma once

#include "brimvale/foundation/DeviceIdentity.h"
#include "brimvale/platform/Bytes.h"
#include "brimvale/platform/Crypto.h"

#include <expected>
#include <string>

namespace corvane {

// The two symmetric keys shared with one paired machine; both sides derive the same ones
// from their own private key and the other's public key. Never persisted.
struct PairKeys {
  Bytes psk;     // TLS pre-shared key, 32 bytes
  Bytes authKey; // key of the hello MAC, 32 bytes

  // Fails when the peer key is not a valid 32-byte X25519 public key or the agreement fails.
  static std::expected<PairKeys, CryptoError> deriveKeys(const DeviceIdentity &identity,
                                                         const Bytes &peerPublicKey);

  bool operator==(const PairKeys &) const = default;
};

// HMAC-SHA256 under authKey of "corvane/v2/hello" || nonce || deviceID.
Bytes helloCode(const Bytes &nonce, const std::string &deviceID, const PairKeys &keys);
// Constant-time; false for any mismatch, including a code of the wrong length.
bool verifyHello(const Bytes &mac, const Bytes &nonce, const std::string &deviceID,
                 const PairKeys &keys);

} // namespace corvane

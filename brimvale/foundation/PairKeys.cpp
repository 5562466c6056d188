#include "brimvale/foundation/PairKeys.h"

#include <algorithm>

namespace corvane {

namespace {

constexpr std::size_t keyLength = 32;

Bytes helloMessage(const Bytes &nonce, const std::string &deviceID) {
  // Sized once and filled: GCC 12 misreads appends to a fresh vector as overflows.
  constexpr std::string_view label = "corvane/v2/hello";
  Bytes message(label.size() + nonce.size() + deviceID.size());
  auto at = std::copy(label.begin(), label.end(), message.begin());
  at = std::copy(nonce.begin(), nonce.end(), at);
  std::copy(deviceID.begin(), deviceID.end(), at);
  return message;
}

} // namespace

std::expected<PairKeys, CryptoError> PairKeys::deriveKeys(const DeviceIdentity &identity,
                                                          const Bytes &peerPublicKey) {
  auto shared = x25519SharedSecret(identity.privateKey(), peerPublicKey);
  if (!shared) {
    return std::unexpected(shared.error());
  }
  // Sorted so that both machines build the same salt.
  const std::string own = identity.deviceID();
  const std::string peer = fingerprint(peerPublicKey);
  const Bytes salt = bytesOf(std::min(own, peer) + "|" + std::max(own, peer));

  PairKeys keys{hkdfSha256(*shared, salt, bytesOf("corvane/v2/psk"), keyLength),
                hkdfSha256(*shared, salt, bytesOf("corvane/v2/auth"), keyLength)};
  if (keys.psk.size() != keyLength || keys.authKey.size() != keyLength) {
    return std::unexpected(CryptoError{"key derivation failed"});
  }
  return keys;
}

Bytes helloCode(const Bytes &nonce, const std::string &deviceID, const PairKeys &keys) {
  return hmacSha256(keys.authKey, helloMessage(nonce, deviceID));
}

bool verifyHello(const Bytes &mac, const Bytes &nonce, const std::string &deviceID,
                 const PairKeys &keys) {
  return hmacVerify(keys.authKey, helloMessage(nonce, deviceID), mac);
}

} // namespace corvane

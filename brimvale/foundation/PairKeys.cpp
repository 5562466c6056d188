#include "brimvale/foundation/PairKeys.h"

#include <algorithm>

namespace corvane {

namespace {

constexpr std::size_t keyLength = 32;

Bytes helloMessage(const Bytes &nonce, const std::string &deviceID) {
  Bytes message = bytesOf("corvane/v2/hello");
  message.insert(message.end(), nonce.begin(), nonce.end());
  message.insert(message.end(), deviceID.begin(), deviceID.end());
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

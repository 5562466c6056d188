#pragma once

#include "brimvale/platform/Bytes.h"
#include "brimvale/platform/SecretStore.h"

#include <optional>
#include <string>

namespace corvane {

// This machine's long-term X25519 key-agreement key; its public key names the machine.
class DeviceIdentity {
public:
  // Secret-store account holding the 32-byte raw private key.
  static constexpr const char *account = "identity.key";

  // Absent unless the bytes are a 32-byte raw private key.
  static std::optional<DeviceIdentity> fromPrivateKey(const Bytes &raw);
  static DeviceIdentity generate();
  // A missing stored key is replaced by a new one; a damaged one is first kept aside as
  // "identity.key.damaged". A key that cannot be read now is never replaced: this run uses
  // a new key that is not stored.
  static DeviceIdentity loadOrCreateIdentity(SecretStore &store);

  const Bytes &privateKey() const { return privateKey_; }
  const Bytes &publicKey() const { return publicKey_; }
  // fingerprint(publicKey()).
  std::string deviceID() const;

  bool operator==(const DeviceIdentity &) const = default;

private:
  DeviceIdentity(Bytes privateKey, Bytes publicKey);

  Bytes privateKey_;
  Bytes publicKey_;
};

// First 8 bytes of the SHA-256 of the data in lower-case hex: 16 characters.
std::string fingerprint(const Bytes &data);
// Groups of four, upper-cased, for display: "ABCD EFGH IJ".
std::string groupedFingerprint(const std::string &text);

} // namespace corvane

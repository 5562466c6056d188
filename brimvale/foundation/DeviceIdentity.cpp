#include "brimvale/foundation/DeviceIdentity.h"

#include "brimvale/platform/Crypto.h"
#include "brimvale/platform/Logger.h"

#include <cctype>

namespace corvane {

DeviceIdentity::DeviceIdentity(Bytes privateKey, Bytes publicKey)
    : privateKey_(std::move(privateKey)), publicKey_(std::move(publicKey)) {}

std::optional<DeviceIdentity> DeviceIdentity::fromPrivateKey(const Bytes &raw) {
  auto publicKey = x25519PublicKey(raw);
  if (!publicKey) {
    return std::nullopt;
  }
  return DeviceIdentity(raw, std::move(*publicKey));
}

DeviceIdentity DeviceIdentity::generate() {
  // Any 32 bytes make a valid key, so this cannot fail.
  return *fromPrivateKey(x25519GeneratePrivateKey());
}

DeviceIdentity DeviceIdentity::loadOrCreateIdentity(SecretStore &store) {
  const auto stored = store.readChecked(account);
  switch (stored.state) {
  case StoredSecret::State::found:
    if (auto identity = fromPrivateKey(stored.bytes)) {
      return std::move(*identity);
    }
    [[fallthrough]];
  case StoredSecret::State::unusable:
    if (const auto kept = store.keepAside(account); !kept) {
      Logger::app().error("Could not keep the damaged device identity aside (" + kept.error() +
                          "); using a new one for this run only");
      return generate();
    }
    break;
  case StoredSecret::State::unreadable:
    // Writing a new key now would destroy the one every paired machine knows.
    Logger::app().error("Could not read the device identity: " + std::to_string(stored.error) +
                        "; using a new one for this run only, the stored one is kept");
    return generate();
  case StoredSecret::State::missing: break;
  }
  DeviceIdentity identity = generate();
  if (!store.write(account, identity.privateKey())) {
    // Otherwise the device identifier would change silently on every start and every
    // paired machine would stop recognising this one.
    Logger::app().error("Could not store the new device identity; the device identifier "
                        "will change at the next start");
  }
  return identity;
}

std::string DeviceIdentity::deviceID() const {
  return fingerprint(publicKey_);
}

std::string fingerprint(const Bytes &data) {
  const Bytes digest = sha256(data);
  return hexText(Bytes(digest.begin(), digest.begin() + 8));
}

std::string groupedFingerprint(const std::string &text) {
  std::string out;
  out.reserve(text.size() + text.size() / 4);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i > 0 && i % 4 == 0) {
      out.push_back(' ');
    }
    out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(text[i]))));
  }
  return out;
}

} // namespace corvane

#include "brimvale/foundation/PairedPeerStore.h"

#include "brimvale/platform/Crypto.h"
#include "brimvale/platform/Json.h"

#include <algorithm>
#include <cmath>

namespace corvane {

namespace {

std::optional<PairedPeer> decodePeer(const Json &object) {
  auto deviceID = requiredField<std::string>(object, "deviceID");
  auto name = requiredField<std::string>(object, "name");
  auto publicKeyText = requiredField<std::string>(object, "publicKey");
  auto pairedAt = requiredField<double>(object, "pairedAt");
  if (!deviceID || !name || !publicKeyText || !pairedAt) {
    return std::nullopt;
  }
  auto publicKey = decodeBase64(*publicKeyText);
  if (!publicKey) {
    return std::nullopt;
  }
  return PairedPeer{std::move(*deviceID), std::move(*name), std::move(*publicKey), *pairedAt};
}

} // namespace

std::optional<Bytes> encodePairedPeers(const std::vector<PairedPeer> &peers) {
  Json array = Json::array();
  for (const auto &peer : peers) {
    if (!std::isfinite(peer.pairedAt)) {
      return std::nullopt;
    }
    array.push_back(Json{{"deviceID", peer.deviceID},
                         {"name", peer.name},
                         {"publicKey", encodeBase64(peer.publicKey)},
                         {"pairedAt", peer.pairedAt}});
  }
  const auto text = dumpJsonChecked(array);
  if (!text) {
    return std::nullopt;
  }
  return bytesOf(*text);
}

std::optional<std::vector<PairedPeer>> decodePairedPeers(const Bytes &bytes) {
  const auto document = parseJson(bytes);
  if (!document || !document->is_array()) {
    return std::nullopt;
  }
  std::vector<PairedPeer> peers;
  peers.reserve(document->size());
  for (const auto &element : *document) {
    auto peer = decodePeer(element);
    if (!peer) {
      return std::nullopt;
    }
    peers.push_back(std::move(*peer));
  }
  return peers;
}

PairedPeerStore::PairedPeerStore(std::shared_ptr<SecretStore> store) : store_(std::move(store)) {
  if (const auto bytes = store_->read(account)) {
    if (auto peers = decodePairedPeers(*bytes)) {
      cached_ = std::move(*peers);
    }
  }
}

std::vector<PairedPeer> PairedPeerStore::peers() const {
  std::lock_guard guard(lock_);
  return cached_;
}

std::optional<PairedPeer> PairedPeerStore::findPeer(const std::string &deviceID) const {
  std::lock_guard guard(lock_);
  const auto found = std::find_if(cached_.begin(), cached_.end(), [&](const PairedPeer &peer) {
    return peer.deviceID == deviceID;
  });
  if (found == cached_.end()) {
    return std::nullopt;
  }
  return *found;
}

void PairedPeerStore::add(PairedPeer peer) {
  std::vector<PairedPeer> copy;
  ChangeHandler handler;
  {
    std::lock_guard guard(lock_);
    std::erase_if(cached_,
                  [&](const PairedPeer &entry) { return entry.deviceID == peer.deviceID; });
    cached_.push_back(std::move(peer));
    saveLocked();
    copy = cached_;
    handler = onChange_;
  }
  if (handler) {
    handler(copy);
  }
}

void PairedPeerStore::rename(const std::string &deviceID, const std::string &name) {
  std::lock_guard guard(lock_);
  const auto found = std::find_if(cached_.begin(), cached_.end(), [&](const PairedPeer &peer) {
    return peer.deviceID == deviceID;
  });
  if (found == cached_.end()) {
    return;
  }
  found->name = name;
  saveLocked();
}

void PairedPeerStore::remove(const std::string &deviceID) {
  std::vector<PairedPeer> copy;
  ChangeHandler handler;
  {
    std::lock_guard guard(lock_);
    std::erase_if(cached_, [&](const PairedPeer &entry) { return entry.deviceID == deviceID; });
    saveLocked();
    copy = cached_;
    handler = onChange_;
  }
  if (handler) {
    handler(copy);
  }
}

void PairedPeerStore::setOnChange(ChangeHandler handler) {
  std::lock_guard guard(lock_);
  onChange_ = std::move(handler);
}

void PairedPeerStore::saveLocked() {
  // An encoding failure stores nothing; a failed write is logged by the store.
  if (const auto bytes = encodePairedPeers(cached_)) {
    store_->write(account, *bytes);
  }
}

} // namespace corvane

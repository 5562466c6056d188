#include "brimvale/foundation/PairedPeerStore.h"

#include "brimvale/platform/Crypto.h"
#include "brimvale/platform/Json.h"
#include "brimvale/platform/Logger.h"

#include <algorithm>
#include <cmath>

namespace corvane {

namespace {

std::expected<PairedPeer, std::string> readPeer(const Json &object) {
  MemberReader reader(object);
  auto deviceID = reader.required<std::string>("deviceID");
  auto name = reader.required<std::string>("name");
  auto publicKeyText = reader.required<std::string>("publicKey");
  auto pairedAt = reader.required<double>("pairedAt");
  auto publicKey = reader.check(publicKeyText ? decodeBase64(*publicKeyText) : std::nullopt,
                                "publicKey", "Base64 text");
  if (!reader.ok()) {
    return std::unexpected(reader.problem());
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

PairedPeersReading readPairedPeers(const Bytes &bytes) {
  PairedPeersReading reading;
  const auto document = parseJson(bytes);
  if (!document) {
    reading.problems.push_back("it is not JSON");
  } else {
    auto peers = readEach<PairedPeer>(*document, "", reading.problems, readPeer);
    if (document->is_array()) {
      reading.peers = std::move(peers);
    }
  }
  return reading;
}

std::optional<std::vector<PairedPeer>> decodePairedPeers(const Bytes &bytes) {
  auto reading = readPairedPeers(bytes);
  if (!reading.problems.empty()) {
    return std::nullopt;
  }
  return std::move(reading.peers);
}

PairedPeerStore::PairedPeerStore(std::shared_ptr<SecretStore> store) : store_(std::move(store)) {
  std::lock_guard guard(lock_);
  loadLocked();
}

bool PairedPeerStore::loadLocked() const {
  auto stored = store_->readChecked(account);
  std::vector<PairedPeer> peers;
  bool damaged = stored.state == StoredSecret::State::unusable;
  if (stored.state == StoredSecret::State::unreadable) {
    if (!loadFailureLogged_) {
      Logger::app().error("Could not read the list of paired machines: " +
                          std::to_string(stored.error) + "; it is read again before any change");
      loadFailureLogged_ = true;
    }
    return false;
  }
  // An empty item holds nothing to keep.
  if (stored.state == StoredSecret::State::found && !stored.bytes.empty()) {
    auto reading = readPairedPeers(stored.bytes);
    peers = std::move(reading.peers).value_or(std::vector<PairedPeer>{});
    if (!reading.problems.empty()) {
      damaged = true;
      Logger::app().error(std::string("The list of paired machines ") + account +
                          " does not decode in full (" + joinedProblems(reading.problems) + "); " +
                          (peers.empty() ? "no" : std::to_string(peers.size())) +
                          " paired machines are read from it");
    }
  }
  if (damaged && !store_->keepAside(account)) {
    return false; // never overwritten while it cannot be kept
  }
  cached_ = std::move(peers);
  loaded_ = true;
  loadFailureLogged_ = false;
  if (!unsaved_.empty()) {
    for (const auto &edit : unsaved_) {
      edit(cached_);
    }
    unsaved_.clear();
    saveLocked();
  } else if (damaged) {
    // A complete new list replaces the damaged one, whose copy is aside; should this write
    // fail, the damaged list stays and is read again at the next start.
    saveLocked();
  }
  return true;
}

bool PairedPeerStore::retryLoadLocked() const {
  if (loaded_) {
    return false;
  }
  const auto before = cached_;
  return loadLocked() && cached_ != before;
}

std::vector<PairedPeer> PairedPeerStore::peers() const {
  std::vector<PairedPeer> copy;
  ChangeHandler handler;
  {
    std::lock_guard guard(lock_);
    if (retryLoadLocked()) {
      handler = onChange_;
    }
    copy = cached_;
  }
  notify(handler, copy);
  return copy;
}

std::optional<PairedPeer> PairedPeerStore::findPeer(const std::string &deviceID) const {
  std::optional<PairedPeer> result;
  std::vector<PairedPeer> copy;
  ChangeHandler handler;
  {
    std::lock_guard guard(lock_);
    if (retryLoadLocked()) {
      handler = onChange_;
      copy = cached_;
    }
    const auto found = std::find_if(cached_.begin(), cached_.end(), [&](const PairedPeer &peer) {
      return peer.deviceID == deviceID;
    });
    if (found != cached_.end()) {
      result = *found;
    }
  }
  notify(handler, copy);
  return result;
}

void PairedPeerStore::add(PairedPeer peer) {
  std::vector<PairedPeer> copy;
  ChangeHandler handler;
  {
    std::lock_guard guard(lock_);
    changeLocked([peer = std::move(peer)](std::vector<PairedPeer> &list) {
      std::erase_if(list, [&](const PairedPeer &entry) { return entry.deviceID == peer.deviceID; });
      list.push_back(peer);
      return true;
    });
    copy = cached_;
    handler = onChange_;
  }
  notify(handler, copy);
}

void PairedPeerStore::rename(const std::string &deviceID, const std::string &name) {
  std::lock_guard guard(lock_);
  changeLocked([deviceID, name](std::vector<PairedPeer> &list) {
    const auto found = std::find_if(list.begin(), list.end(), [&](const PairedPeer &peer) {
      return peer.deviceID == deviceID;
    });
    if (found == list.end()) {
      return false;
    }
    found->name = name;
    return true;
  });
}

void PairedPeerStore::remove(const std::string &deviceID) {
  std::vector<PairedPeer> copy;
  ChangeHandler handler;
  {
    std::lock_guard guard(lock_);
    changeLocked([deviceID](std::vector<PairedPeer> &list) {
      std::erase_if(list, [&](const PairedPeer &entry) { return entry.deviceID == deviceID; });
      return true; // saved also when nothing was removed
    });
    copy = cached_;
    handler = onChange_;
  }
  notify(handler, copy);
}

void PairedPeerStore::setOnChange(ChangeHandler handler) {
  std::lock_guard guard(lock_);
  onChange_ = std::move(handler);
}

bool PairedPeerStore::changeLocked(const Edit &edit) {
  if (!loaded_) {
    loadLocked();
  }
  if (!edit(cached_)) {
    return false;
  }
  if (loaded_) {
    saveLocked();
  } else {
    unsaved_.push_back(edit);
    Logger::app().error("The list of paired machines could not be read, so the change is not "
                        "saved yet; it is saved once the list can be read");
  }
  return true;
}

void PairedPeerStore::saveLocked() const {
  // An encoding failure stores nothing; a failed write is logged by the store, and the next
  // save writes the whole list again.
  if (const auto bytes = encodePairedPeers(cached_)) {
    store_->write(account, *bytes);
  }
}

void PairedPeerStore::notify(const ChangeHandler &handler,
                             const std::vector<PairedPeer> &peers) const {
  if (handler) {
    handler(peers);
  }
}

} // namespace corvane

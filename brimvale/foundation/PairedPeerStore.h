#pragma once

#include "brimvale/platform/Bytes.h"
#include "brimvale/platform/Clock.h"
#include "brimvale/platform/SecretStore.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

// A machine this one is paired with; its public key is the root of trust for that pair.
struct PairedPeer {
  std::string deviceID;
  std::string name;
  Bytes publicKey;
  Date pairedAt = 0;

  bool operator==(const PairedPeer &) const = default;
};

// The stored form: a compact JSON array of objects. Absent when a date is not finite.
std::optional<Bytes> encodePairedPeers(const std::vector<PairedPeer> &peers);
// Absent unless the bytes are a JSON array of well-formed peers (null counts as missing).
std::optional<std::vector<PairedPeer>> decodePairedPeers(const Bytes &bytes);

// The paired list, cached and saved to the secret store on every change. Safe to call from
// any thread; onChange runs on the caller's thread after the lock is released.
class PairedPeerStore {
public:
  static constexpr const char *account = "paired.peers";
  using ChangeHandler = std::function<void(const std::vector<PairedPeer> &)>;

  // An unreadable stored list loads as empty and stays in the store until the next change.
  explicit PairedPeerStore(std::shared_ptr<SecretStore> store);

  std::vector<PairedPeer> peers() const;
  std::optional<PairedPeer> findPeer(const std::string &deviceID) const;

  // Replaces any entry with the same device identifier and moves it to the end.
  void add(PairedPeer peer);
  // Does not call onChange; an unknown identifier changes and writes nothing.
  void rename(const std::string &deviceID, const std::string &name);
  // Saves and calls onChange even when nothing was removed.
  void remove(const std::string &deviceID);

  void setOnChange(ChangeHandler handler);

private:
  void saveLocked();

  std::shared_ptr<SecretStore> store_;
  mutable std::mutex lock_;
  std::vector<PairedPeer> cached_;
  ChangeHandler onChange_;
};

} // namespace corvane

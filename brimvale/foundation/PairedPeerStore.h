#pragma once

#include "brimvale/platform/Bytes.h"
#include "brimvale/platform/Clock.h"
#include "brimvale/platform/Json.h"
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

// What a stored list gives, peer by peer: the peers that decode, in order (absent when the
// bytes are not a JSON array), and "[<index>]: <why>" for each one left out. Plain over bytes.
struct PairedPeersReading {
  std::optional<std::vector<PairedPeer>> peers;
  DecodeProblems problems;
};
PairedPeersReading readPairedPeers(const Bytes &bytes);

// The paired list, cached and saved to the secret store on every change. Safe to call from
// any thread; onChange runs on the caller's thread after the lock is released.
//
// The stored list is the root of trust, so nothing replaces what could not be seen: a copy of
// a list that does not decode in full is kept aside ("paired.peers.damaged", earlier copies
// numbered) at once, then the peers that do decode are used and written over it, and while
// the stored list cannot be read (an I/O error, no descriptors left) changes stay in memory
// unsaved; each later call tries the read again and, once it succeeds, the changes are
// applied to the stored list and saved.
class PairedPeerStore {
public:
  static constexpr const char *account = "paired.peers";
  using ChangeHandler = std::function<void(const std::vector<PairedPeer> &)>;

  explicit PairedPeerStore(std::shared_ptr<SecretStore> store);

  // When the stored list could not be read so far, these read it again and call onChange
  // when that brings it in.
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
  // Changes the list; false when nothing changed.
  using Edit = std::function<bool(std::vector<PairedPeer> &)>;

  // The calls below need lock_. loadLocked is true when the stored list is known now.
  bool loadLocked() const;
  // Reads the stored list again if it could not be read so far; true when the list changed.
  bool retryLoadLocked() const;
  bool changeLocked(const Edit &edit);
  void saveLocked() const;
  void notify(const ChangeHandler &handler, const std::vector<PairedPeer> &peers) const;

  std::shared_ptr<SecretStore> store_;
  mutable std::mutex lock_;
  // The load state is mutable because readers retry a failed load.
  mutable std::vector<PairedPeer> cached_;
  mutable bool loaded_ = false;
  mutable bool loadFailureLogged_ = false;
  // Changes made while the stored list could not be read, applied to it once it can be.
  mutable std::vector<Edit> unsaved_;
  ChangeHandler onChange_;
};

} // namespace corvane

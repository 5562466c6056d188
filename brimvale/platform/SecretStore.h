#pragma once

#include "brimvale/platform/Bytes.h"
#include "brimvale/platform/KeptAside.h"

#include <optional>
#include <string>

namespace corvane {

// What a checked read of one account found.
struct StoredSecret {
  enum class State {
    found,      // bytes holds the contents
    missing,    // never written (or removed)
    unusable,   // something is there but it is not an item of ours (a link, a folder, too large)
    unreadable, // it may be there but could not be read now (error holds the errno)
  };
  State state = State::missing;
  Bytes bytes;
  int error = 0;
};

// Where the program keeps its secrets at rest: one byte string per account name.
// Implementations are safe to call from any thread.
class SecretStore {
public:
  virtual ~SecretStore() = default;

  // Absent when the account was never written or cannot be read.
  virtual std::optional<Bytes> read(const std::string &account) = 0;
  // Tells an account that was never written from one that cannot be read now, so that a
  // caller never replaces stored contents it could not see. By default built on read(),
  // which cannot tell them apart.
  virtual StoredSecret readChecked(const std::string &account);
  // True when stored; callers may ignore it (a failure is logged by the store).
  virtual bool write(const std::string &account, const Bytes &data) = 0;
  // True when the account is gone afterwards, also when it never existed.
  virtual bool remove(const std::string &account) = 0;
  // Keeps a copy of the contents of an account that could not be decoded as
  // "<account>.damaged", the earlier copies under numbered names (storage::damagedCopyName), so
  // that the next write does not destroy them; the account stays until the caller writes over
  // it. Contents equal to the newest copy are not kept twice. A new copy is logged, and so is
  // why one could not be made.
  virtual KeptAside keepAside(const std::string &account);
};

} // namespace corvane

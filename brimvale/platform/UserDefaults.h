#pragma once

#include "brimvale/platform/AppGroup.h"
#include "brimvale/platform/Bytes.h"
#include "brimvale/platform/KeptAside.h"

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace corvane {

// A settings domain: one JSON object in $XDG_CONFIG_HOME/corvane/<domain>.json (else
// ~/.config), rewritten atomically on every change. Another process may write the same
// domain, so every change takes the domain's lock file, re-reads the file and renames a
// complete new file into place. Reads give absent when the key is missing or holds another
// type. Safe to call from any thread.
//
// Nothing stored is dropped because of a fault: a file that cannot be read (other than a
// missing one) or a lock that cannot be taken fails the save and leaves the file as it was;
// a file that does not decode is kept aside as <file>.damaged before it is replaced, and a file
// larger than the reader accepts is never written. A change of one key that could not be saved
// stays in memory and is carried by the next save that succeeds (saveUnsaved tries again); a
// transaction that could not be saved is dropped. A failure is logged once until its reason
// changes or a save succeeds.
class UserDefaults {
public:
  static constexpr const char *standardDomain = "standard";
  // Shared with the other processes of the application.
  static constexpr const char *appGroupDomain = appgroup::suiteName;
  // A settings file larger than this is not ours; it is kept aside like a damaged one.
  static constexpr std::size_t maximumFileSize = 16 << 20;

  explicit UserDefaults(std::string domain);
  // Keeps values for the life of the object only; for tests.
  static std::unique_ptr<UserDefaults> inMemory();

  std::optional<Bytes> data(const std::string &key) const; // Base64 text in the file
  std::optional<std::string> string(const std::string &key) const;
  std::optional<bool> boolean(const std::string &key) const;
  std::optional<std::int64_t> integer(const std::string &key) const;
  std::optional<double> doubleValue(const std::string &key) const;

  void setData(const std::string &key, const Bytes &value);
  void setString(const std::string &key, const std::string &value);
  void setBool(const std::string &key, bool value);
  void setInteger(const std::string &key, std::int64_t value);
  // A value that is not finite cannot be stored in JSON; it is refused with an error log.
  void setDouble(const std::string &key, double value);
  void remove(const std::string &key);

  // True when the key holds a value of any type.
  bool contains(const std::string &key) const;
  // Stores what the key holds, whatever its type, also under "<key>.damaged", the earlier
  // copies moving to "<key>.damaged.1" and on (storage::damagedCopyName, the oldest dropped),
  // for a value that does not decode and is about to be written over. A value equal to the
  // newest copy is not kept twice. Saved like any change, in one step. When that save fails,
  // the next save that writes over the key keeps first what the file holds under it then, in
  // the same file; gives why the copy is not made yet.
  KeptAside keepAside(const std::string &key);

  // Re-reads the file, picking up what other processes wrote.
  void synchronize();

  // Changes of single keys that a failed save left in memory only.
  bool hasUnsavedChanges() const;
  std::vector<std::string> unsavedKeys() const;
  // Saves them now; gives why it could not. Nothing waiting is success.
  std::expected<void, std::string> saveUnsaved();
  // Called after a change of one key could not be saved, on the thread that made the change,
  // outside this object's lock; it must not block. Set it before the object is shared.
  void setOnSaveFailed(std::function<void()> handler);

  // The stored values as a JSON object, read and written back as one step under the domain's
  // lock: no other process's change falls between what `change` reads and what it writes.
  // `change` edits the values in place; it must not call back into this object, and what it
  // edits may then fail to be saved. A change that could not be saved is dropped, from memory
  // too: it was decided on what the file held then, so the caller decides again (and must drop
  // what it learnt inside `change`). Gives why it could not be saved.
  using Transaction = std::function<void(nlohmann::json &values)>;
  std::expected<void, std::string> transact(const Transaction &change);

  // Empty for the in-memory variant, or when no usable folder is known.
  const std::filesystem::path &path() const { return path_; }

private:
  struct InMemory {};
  explicit UserDefaults(InMemory) {}

  // What the file held at one read.
  struct Reading {
    enum class State { document, missing, damaged, failed };
    State state = State::missing;
    nlohmann::json document; // a JSON object when state is document
    int error = 0;           // errno when failed, why it is unusable when damaged
  };

  std::optional<nlohmann::json> value(const std::string &key) const;
  void update(const std::string &key, std::optional<nlohmann::json> value);
  Reading readFile() const;
  // The calls below need lock_.
  void reloadLocked() const;
  // Saves the unsaved changes, then what `change` makes of the merged values, if given; a
  // failure is told in `failure`, when given.
  void saveLocked(const Transaction *change = nullptr, std::string *failure = nullptr);
  std::expected<void, std::string> transactLocked(const Transaction &change);
  // A key of toKeepAside_ that one save settles: absent `earlier` when nothing needed a copy,
  // else how many earlier copies the one made has.
  struct SettledAside {
    std::string key;
    std::optional<std::size_t> earlier;
  };
  // Applies the unsaved changes and `change` to `merged`, the values on disk; a key of
  // toKeepAside_ they write over is first kept aside in it. Gives what the save settles.
  std::vector<SettledAside> applyChangesLocked(nlohmann::json &merged, const Transaction *change);
  // Once the save that settled them is on disk.
  void settleLocked(const std::vector<SettledAside> &settled);
  void removeTemporaryFilesLocked();

  std::string domain_;
  std::filesystem::path path_;
  mutable std::mutex lock_;
  mutable nlohmann::json values_ = nlohmann::json::object();
  // Changes not yet on disk, by key (absent: removed); carried by the next save.
  std::map<std::string, std::optional<nlohmann::json>> unsaved_;
  // Keys whose value keepAside could not save; kept aside by the save that writes over them.
  std::set<std::string> toKeepAside_;
  // The last read failed; the next read of a value tries again.
  mutable bool readFailed_ = false;
  // Why the last save failed, so that a failure repeated by every change is logged once.
  std::string lastFailure_;
  std::function<void()> onSaveFailed_;
};

} // namespace corvane

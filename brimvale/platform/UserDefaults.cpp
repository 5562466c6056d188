#include "brimvale/platform/UserDefaults.h"

#include "brimvale/platform/Json.h"
#include "brimvale/platform/KeychainStore.h"
#include "brimvale/platform/Logger.h"
#include "brimvale/platform/PrivateFiles.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace corvane {

namespace {

void applyChanges(nlohmann::json &values,
                  const std::map<std::string, std::optional<nlohmann::json>> &changes) {
  for (const auto &[key, value] : changes) {
    if (value) {
      values[key] = *value;
    } else {
      values.erase(key);
    }
  }
}

// Stores copy as the newest damaged copy of key in values, the earlier ones moving one age on.
// Absent when the newest copy holds the same, else the age of the oldest copy moved.
std::optional<std::size_t> keepCopyAside(nlohmann::json &values, const std::string &key,
                                         nlohmann::json copy) {
  const std::string newest = storage::damagedCopyName(key, 0);
  // The same damage found again at a later start is kept once, so that it cannot push the
  // earlier copies out.
  if (values.contains(newest) && values[newest] == copy)
    return std::nullopt;
  const std::size_t earlier = *storage::ageDamagedCopies(
      key, [&values](const std::string &newer, const std::string &older) {
        const auto found = values.find(newer);
        if (found == values.end())
          return std::expected<bool, int>(false);
        nlohmann::json moved = std::move(*found);
        values.erase(found);
        values[older] = std::move(moved);
        return std::expected<bool, int>(true);
      });
  values[newest] = std::move(copy);
  return earlier;
}

} // namespace

UserDefaults::UserDefaults(std::string domain) : domain_(std::move(domain)) {
  const auto base = storage::baseFolder("XDG_CONFIG_HOME", ".config");
  if (base.empty() || !KeychainStore::isValidName(domain_)) {
    Logger::app().error("No usable settings file for domain " +
                        (KeychainStore::isValidName(domain_) ? domain_ : "(invalid name)") +
                        "; settings last for this run only");
    return;
  }
  path_ = base / "corvane" / (domain_ + ".json");
  std::lock_guard guard(lock_);
  removeTemporaryFilesLocked();
  reloadLocked();
}

std::unique_ptr<UserDefaults> UserDefaults::inMemory() {
  return std::unique_ptr<UserDefaults>(new UserDefaults(InMemory{}));
}

void UserDefaults::removeTemporaryFilesLocked() {
  const auto folder = path_.parent_path();
  std::error_code error;
  if (!std::filesystem::is_directory(std::filesystem::symlink_status(folder, error))) {
    return;
  }
  // Under the domain's lock, so that a save in progress in another process keeps its file.
  // Held for one read-modify-write; another process waits on the same lock file.
  const storage::FileLock fileLock(folder / (domain_ + ".json.lock"), O_RDWR | O_CREAT, LOCK_EX);
  if (fileLock.error() != 0) {
    return;
  }
  const std::string target = path_.filename().string();
  const std::size_t removed = storage::removeTemporaryFiles(
      folder, [&target](std::string_view name) { return name == target; });
  if (removed > 0) {
    Logger::app().notice("Removed " + std::to_string(removed) +
                         " temporary files of interrupted saves of settings " + domain_);
  }
}

UserDefaults::Reading UserDefaults::readFile() const {
  auto bytes = storage::readFile(path_, maximumFileSize);
  if (!bytes) {
    if (bytes.error() == ENOENT) {
      return {};
    }
    if (storage::isUnusableFile(bytes.error())) {
      return Reading{Reading::State::damaged, {}, bytes.error()};
    }
    return Reading{Reading::State::failed, {}, bytes.error()};
  }
  // An empty file holds nothing to keep.
  if (bytes->empty()) {
    return {};
  }
  auto document = parseJson(*bytes);
  if (!document || !document->is_object()) {
    return Reading{Reading::State::damaged, {}, 0};
  }
  return Reading{Reading::State::document, std::move(*document), 0};
}

void UserDefaults::reloadLocked() const {
  if (path_.empty()) {
    return;
  }
  auto reading = readFile();
  switch (reading.state) {
  case Reading::State::document: values_ = std::move(reading.document); break;
  case Reading::State::missing: values_ = nlohmann::json::object(); break;
  case Reading::State::damaged:
    // What is in memory stays; the file is kept aside at the next save.
    Logger::app().error("Settings file " + path_.string() +
                        (reading.error == EFBIG ? " is too large"
                         : reading.error == 0   ? " does not decode"
                                                : " is not a regular file") +
                        "; it is kept aside at the next save");
    break;
  case Reading::State::failed:
    // Reading it as empty would lose every setting at the next save.
    if (!readFailed_) {
      Logger::app().error("Could not read settings file " + path_.string() + ": " +
                          std::to_string(reading.error) + "; keeping the values in memory");
    }
    readFailed_ = true;
    return;
  }
  readFailed_ = false;
  applyChanges(values_, unsaved_);
}

std::optional<nlohmann::json> UserDefaults::value(const std::string &key) const {
  std::lock_guard guard(lock_);
  if (readFailed_) {
    reloadLocked();
  }
  const auto found = values_.find(key);
  if (found == values_.end()) {
    return std::nullopt;
  }
  return *found;
}

void UserDefaults::update(const std::string &key, std::optional<nlohmann::json> value) {
  std::function<void()> onFailure;
  {
    std::lock_guard guard(lock_);
    // Kept in memory even when saving fails, so this run goes on with the new value.
    if (value) {
      values_[key] = *value;
    } else {
      values_.erase(key);
    }
    if (path_.empty()) {
      return;
    }
    unsaved_[key] = std::move(value);
    std::string failure;
    saveLocked(nullptr, &failure);
    if (!failure.empty())
      onFailure = onSaveFailed_;
  }
  if (onFailure)
    onFailure();
}

bool UserDefaults::hasUnsavedChanges() const {
  std::lock_guard guard(lock_);
  return !unsaved_.empty();
}

std::vector<std::string> UserDefaults::unsavedKeys() const {
  std::lock_guard guard(lock_);
  std::vector<std::string> keys;
  for (const auto &[key, value] : unsaved_)
    keys.push_back(key);
  return keys;
}

std::expected<void, std::string> UserDefaults::saveUnsaved() {
  std::lock_guard guard(lock_);
  if (unsaved_.empty())
    return {};
  std::string failure;
  saveLocked(nullptr, &failure);
  if (!failure.empty())
    return std::unexpected(std::move(failure));
  return {};
}

void UserDefaults::setOnSaveFailed(std::function<void()> handler) {
  std::lock_guard guard(lock_);
  onSaveFailed_ = std::move(handler);
}

std::expected<void, std::string> UserDefaults::transact(const Transaction &change) {
  std::lock_guard guard(lock_);
  return transactLocked(change);
}

std::expected<void, std::string> UserDefaults::transactLocked(const Transaction &change) {
  if (path_.empty()) {
    change(values_);
    return {};
  }
  std::string failure;
  saveLocked(&change, &failure);
  if (!failure.empty())
    return std::unexpected(std::move(failure));
  return {};
}

void UserDefaults::saveLocked(const Transaction *change, std::string *failure) {
  auto failed = [this, change, failure](const std::string &why) {
    // A transaction is not kept for the next save: replayed then, it would write what was
    // decided on old values over what other processes stored since.
    if (why != lastFailure_)
      Logger::app().error(
          "Could not save settings " + domain_ + ": " + why +
          (change ? "; the change was not made"
                  : "; the change is kept in memory and saved with the next save that succeeds"));
    lastFailure_ = why;
    if (failure)
      *failure = why;
  };
  const auto folder = path_.parent_path();
  if (!storage::makePrivateFolder(folder)) {
    failed("folder " + folder.string() + ": " + std::strerror(errno));
    return;
  }
  // Held for one read-modify-write; another process waits on the same lock file.
  const auto lockFile = folder / (domain_ + ".json.lock");
  const storage::FileLock fileLock(lockFile, O_RDWR | O_CREAT, LOCK_EX);
  if (fileLock.error() != 0) {
    failed("lock " + lockFile.string() + ": " + std::strerror(fileLock.error()));
    return;
  }
  // Start from what is on disk so that changes made by another process are kept.
  auto reading = readFile();
  nlohmann::json merged;
  switch (reading.state) {
  case Reading::State::document: merged = std::move(reading.document); break;
  case Reading::State::missing: merged = nlohmann::json::object(); break;
  case Reading::State::damaged:
    if (const auto kept = storage::moveAside(path_); !kept) {
      failed("keeping the damaged file aside: " + kept.error());
      return;
    } else if (*kept)
      Logger::app().error("Kept the undecodable settings file " + path_.string() + " aside as " +
                          storage::damagedCopyName(path_.filename().string(), 0) +
                          storage::earlierDamagedCopiesText(path_.filename().string(),
                                                            storage::earlierDamagedCopies(path_)));
    // What this process knew is the best copy left.
    merged = values_;
    break;
  case Reading::State::failed: failed("reading: " + std::to_string(reading.error)); return;
  }
  const auto settled = applyChangesLocked(merged, change);
  const auto text = dumpJsonChecked(merged);
  if (!text) {
    failed("a value is not storable");
    return;
  }
  // Written, it would be refused at the next read and kept aside as damaged.
  if (text->size() > maximumFileSize) {
    failed("the file would be larger than " + std::to_string(maximumFileSize) +
           " bytes; the last saved file is kept");
    return;
  }
  if (const int status = storage::writeFileAtomically(path_, bytesOf(*text), 0600); status != 0) {
    failed("writing " + path_.string() + ": " + std::strerror(status));
    return;
  }
  if (!lastFailure_.empty() && !unsaved_.empty())
    Logger::app().notice("Saved settings " + domain_ + " with the changes kept in memory");
  lastFailure_.clear();
  unsaved_.clear();
  settleLocked(settled);
  values_ = std::move(merged);
  readFailed_ = false;
}

std::vector<UserDefaults::SettledAside>
UserDefaults::applyChangesLocked(nlohmann::json &merged, const Transaction *change) {
  std::map<std::string, nlohmann::json> stored;
  for (const auto &key : toKeepAside_)
    if (const auto found = merged.find(key); found != merged.end())
      stored.emplace(key, *found);
  applyChanges(merged, unsaved_);
  if (change)
    (*change)(merged);
  std::vector<SettledAside> settled;
  for (const auto &key : toKeepAside_) {
    const auto before = stored.find(key);
    if (before == stored.end()) {
      settled.push_back({key, std::nullopt}); // nothing left to keep
      continue;
    }
    // In the same document as what replaces it: both are saved, or neither.
    if (const auto after = merged.find(key); after == merged.end() || *after != before->second)
      settled.push_back({key, keepCopyAside(merged, key, std::move(before->second))});
  }
  return settled;
}

void UserDefaults::settleLocked(const std::vector<SettledAside> &settled) {
  for (const auto &[key, earlier] : settled) {
    toKeepAside_.erase(key);
    if (earlier)
      Logger::app().notice("Kept " + key + " aside as " + storage::damagedCopyName(key, 0) +
                           storage::earlierDamagedCopiesText(key, *earlier) +
                           " before writing over it");
  }
}

std::optional<Bytes> UserDefaults::data(const std::string &key) const {
  const auto found = value(key);
  std::string text;
  if (!found || !decodeJson(*found, text)) {
    return std::nullopt;
  }
  return decodeBase64(text);
}

std::optional<std::string> UserDefaults::string(const std::string &key) const {
  const auto found = value(key);
  std::string out;
  if (!found || !decodeJson(*found, out)) {
    return std::nullopt;
  }
  return out;
}

std::optional<bool> UserDefaults::boolean(const std::string &key) const {
  const auto found = value(key);
  bool out = false;
  if (!found || !decodeJson(*found, out)) {
    return std::nullopt;
  }
  return out;
}

std::optional<std::int64_t> UserDefaults::integer(const std::string &key) const {
  const auto found = value(key);
  std::int64_t out = 0;
  if (!found || !decodeJson(*found, out)) {
    return std::nullopt;
  }
  return out;
}

std::optional<double> UserDefaults::doubleValue(const std::string &key) const {
  const auto found = value(key);
  double out = 0;
  if (!found || !decodeJson(*found, out)) {
    return std::nullopt;
  }
  return out;
}

void UserDefaults::setData(const std::string &key, const Bytes &value) {
  update(key, nlohmann::json(encodeBase64(value)));
}

void UserDefaults::setString(const std::string &key, const std::string &value) {
  update(key, nlohmann::json(value));
}

void UserDefaults::setBool(const std::string &key, bool value) {
  update(key, nlohmann::json(value));
}

void UserDefaults::setInteger(const std::string &key, std::int64_t value) {
  update(key, nlohmann::json(value));
}

void UserDefaults::setDouble(const std::string &key, double value) {
  if (!std::isfinite(value)) {
    Logger::app().error("Refused to store a value that is not a finite number under " + key);
    return;
  }
  update(key, nlohmann::json(value));
}

void UserDefaults::remove(const std::string &key) {
  update(key, std::nullopt);
}

bool UserDefaults::contains(const std::string &key) const {
  return value(key).has_value();
}

KeptAside UserDefaults::keepAside(const std::string &key) {
  std::optional<std::size_t> earlier;
  std::lock_guard guard(lock_);
  auto saved = transactLocked([&key, &earlier](nlohmann::json &values) {
    if (const auto stored = values.find(key); stored != values.end())
      earlier = keepCopyAside(values, key, *stored);
  });
  if (!saved) {
    // Until a save keeps it, the value must not be written over unkept.
    toKeepAside_.insert(key);
    return saved;
  }
  toKeepAside_.erase(key);
  if (earlier > 0)
    Logger::app().notice("Kept " + key + " aside as " + storage::damagedCopyName(key, 0) +
                         storage::earlierDamagedCopiesText(key, *earlier));
  return {};
}

void UserDefaults::synchronize() {
  std::lock_guard guard(lock_);
  reloadLocked();
}

} // namespace corvane

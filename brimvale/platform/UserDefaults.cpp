#include "brimvale/platform/UserDefaults.h"

#include "brimvale/platform/Json.h"
#include "brimvale/platform/KeychainStore.h"
#include "brimvale/platform/Logger.h"

#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace corvane {

namespace {

// Held for one read-modify-write; another process waits on the same lock file.
class FileLock {
public:
  explicit FileLock(const std::filesystem::path &path)
      : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600)) {
    if (fd_ >= 0) {
      while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  FileLock(const FileLock &) = delete;
  FileLock &operator=(const FileLock &) = delete;
  ~FileLock() {
    if (fd_ >= 0) {
      ::close(fd_); // releases the lock
    }
  }

private:
  int fd_;
};

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
  values_ = readFileLocked();
}

std::unique_ptr<UserDefaults> UserDefaults::inMemory() {
  return std::unique_ptr<UserDefaults>(new UserDefaults(InMemory{}));
}

nlohmann::json UserDefaults::readFileLocked() const {
  if (path_.empty()) {
    return values_;
  }
  bool tooLarge = false;
  const auto bytes = storage::readFile(path_, maximumFileSize, &tooLarge);
  if (tooLarge) {
    Logger::app().error("Settings file " + path_.string() + " is too large; reading it as empty");
  }
  if (!bytes) {
    return nlohmann::json::object();
  }
  auto document = parseJson(*bytes);
  if (!document || !document->is_object()) {
    return nlohmann::json::object();
  }
  return std::move(*document);
}

std::optional<nlohmann::json> UserDefaults::value(const std::string &key) const {
  std::lock_guard guard(lock_);
  const auto found = values_.find(key);
  if (found == values_.end()) {
    return std::nullopt;
  }
  return *found;
}

void UserDefaults::update(const std::string &key, std::optional<nlohmann::json> value) {
  std::lock_guard guard(lock_);
  auto applyInMemory = [&] {
    if (value) {
      values_[key] = std::move(*value);
    } else {
      values_.erase(key);
    }
  };
  if (path_.empty()) {
    applyInMemory();
    return;
  }
  const auto folder = path_.parent_path();
  if (!storage::makePrivateFolder(folder)) {
    Logger::app().error("Could not save settings " + domain_ + ": " + std::to_string(errno));
    applyInMemory();
    return;
  }
  FileLock fileLock(folder / (domain_ + ".json.lock"));
  // Start from what is on disk so that changes made by another process are kept.
  nlohmann::json merged = readFileLocked();
  if (value) {
    merged[key] = std::move(*value);
  } else {
    merged.erase(key);
  }
  // Kept in memory even when saving fails, so this run goes on with the new value.
  values_ = merged;
  const auto text = dumpJsonChecked(merged);
  if (!text) {
    return;
  }
  if (const int status = storage::writeFileAtomically(path_, bytesOf(*text), 0600); status != 0) {
    Logger::app().error("Could not save settings " + domain_ + ": " + std::to_string(status));
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

void UserDefaults::synchronize() {
  std::lock_guard guard(lock_);
  values_ = readFileLocked();
}

} // namespace corvane

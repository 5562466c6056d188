#include "brimvale/platform/KeychainStore.h"

#include "brimvale/platform/Logger.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane {

namespace {

// Writers hold the folder's lock shared; removing temporary files needs it alone, so that
// a write in progress in another store object or process keeps its temporary file.
storage::FileLock lockFolder(const std::filesystem::path &folder, int operation) {
  return storage::FileLock(folder, O_RDONLY | O_DIRECTORY, operation);
}

} // namespace

KeychainStore::KeychainStore(std::string service) : service_(std::move(service)) {
  const auto base = storage::baseFolder("XDG_DATA_HOME", ".local/share");
  if (!base.empty() && isValidName(service_)) {
    folder_ = base / "corvane" / service_;
    removeTemporaryFiles();
  }
}

void KeychainStore::removeTemporaryFiles() const {
  // Skipped while another store is writing; the next start tries again.
  const auto lock = lockFolder(folder_, LOCK_EX | LOCK_NB);
  if (lock.error() != 0) {
    return;
  }
  const std::size_t removed = storage::removeTemporaryFiles(folder_, isValidName);
  if (removed > 0) {
    Logger::app().notice("Removed " + std::to_string(removed) +
                         " temporary files of interrupted writes from " + folder_.string());
  }
}

bool KeychainStore::isValidName(std::string_view name) {
  return storage::isPlainFileName(name, 128);
}

std::optional<Bytes> KeychainStore::read(const std::string &account) {
  auto found = readChecked(account);
  if (found.state != StoredSecret::State::found) {
    return std::nullopt;
  }
  return std::move(found.bytes);
}

StoredSecret KeychainStore::readChecked(const std::string &account) {
  if (!isValidName(account)) {
    return StoredSecret{StoredSecret::State::unreadable, {}, EINVAL};
  }
  if (folder_.empty()) {
    return {};
  }
  auto bytes = storage::readFile(folder_ / account, maximumItemSize);
  if (bytes) {
    return StoredSecret{StoredSecret::State::found, std::move(*bytes), 0};
  }
  if (bytes.error() == ENOENT) {
    return {};
  }
  if (storage::isUnusableFile(bytes.error())) {
    return StoredSecret{StoredSecret::State::unusable, {}, bytes.error()};
  }
  return StoredSecret{StoredSecret::State::unreadable, {}, bytes.error()};
}

bool KeychainStore::write(const std::string &account, const Bytes &data) {
  int status = 0;
  if (folder_.empty() || !isValidName(account)) {
    status = EINVAL;
  } else if (data.size() > maximumItemSize) {
    status = EFBIG;
  } else if (!storage::makePrivateFolder(folder_)) {
    status = errno;
  } else if (const auto lock = lockFolder(folder_, LOCK_SH); lock.error() != 0) {
    status = lock.error();
  } else {
    status = storage::writeFileAtomically(folder_ / account, data, 0600);
  }
  if (status != 0) {
    const std::string name = isValidName(account) ? account : "an invalid account name";
    Logger::app().error("Keychain write failed for " + name + ": " + std::to_string(status));
    return false;
  }
  return true;
}

bool KeychainStore::remove(const std::string &account) {
  if (folder_.empty() || !isValidName(account)) {
    return false;
  }
  return ::unlink((folder_ / account).c_str()) == 0 || errno == ENOENT;
}

KeptAside KeychainStore::keepAside(const std::string &account) {
  if (folder_.empty() || !isValidName(account)) {
    return std::unexpected("no usable place for " + account);
  }
  const auto path = folder_ / account;
  const auto lock = lockFolder(folder_, LOCK_SH);
  if (lock.error() == ENOENT) {
    return {}; // no folder, nothing stored
  }
  storage::SetAside kept;
  if (lock.error() != 0) {
    kept = std::unexpected(std::string("locking the folder: ") + std::strerror(lock.error()));
  } else if (auto stored = storage::readFile(path, maximumItemSize)) {
    // A copy, so that the item is only ever replaced by a complete new one: a failed write or
    // a crash before it leaves the item where it was.
    kept = storage::copyAside(path, *stored, 0600);
  } else if (storage::isUnusableFile(stored.error())) {
    kept = storage::moveAside(path); // not an item of ours
  } else if (stored.error() == ENOENT) {
    return {};
  } else {
    kept = std::unexpected(std::string("reading: ") + std::strerror(stored.error()));
  }
  if (!kept) {
    Logger::app().error("Could not keep the undecodable " + account + " aside: " + kept.error());
    return std::unexpected(kept.error());
  }
  // Gone meanwhile, or this damage is the newest copy already.
  if (!*kept) {
    return {};
  }
  Logger::app().error(
      "Kept the undecodable " + account + " aside as " + storage::damagedCopyName(account, 0) +
      storage::earlierDamagedCopiesText(account, storage::earlierDamagedCopies(path)));
  return {};
}

} // namespace corvane

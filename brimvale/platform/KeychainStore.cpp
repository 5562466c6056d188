#include "brimvale/platform/KeychainStore.h"

#include "brimvale/platform/Logger.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane {

namespace storage {

namespace {

class FileDescriptor {
public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor &) = delete;
  FileDescriptor &operator=(const FileDescriptor &) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

private:
  int fd_;
};

bool writeAll(int fd, const Bytes &data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

} // namespace

std::filesystem::path baseFolder(const char *variable, const char *fallback) {
  if (const char *value = std::getenv(variable); value != nullptr && value[0] == '/') {
    return value;
  }
  if (const char *home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
    return std::filesystem::path(home) / fallback;
  }
  return {};
}

bool makePrivateFolder(const std::filesystem::path &folder) {
  if (folder.empty()) {
    errno = ENOENT;
    return false;
  }
  std::filesystem::path partial;
  for (const auto &piece : folder) {
    partial /= piece;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
      return false;
    }
  }
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0) {
    return false;
  }
  if (!S_ISDIR(info.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  if ((info.st_mode & 0777) != 0700 && ::chmod(folder.c_str(), 0700) != 0) {
    return false;
  }
  return true;
}

std::optional<Bytes> readFile(const std::filesystem::path &path, std::size_t limit,
                              bool *tooLarge) {
  if (tooLarge != nullptr) {
    *tooLarge = false;
  }
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) {
    return std::nullopt;
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return std::nullopt;
  }
  if (static_cast<std::uintmax_t>(info.st_size) > limit) {
    if (tooLarge != nullptr) {
      *tooLarge = true;
    }
    return std::nullopt;
  }
  Bytes data;
  data.reserve(static_cast<std::size_t>(info.st_size));
  std::uint8_t buffer[16384];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return std::nullopt;
    }
    if (n == 0) {
      break;
    }
    // The file may have grown since fstat.
    if (data.size() + static_cast<std::size_t>(n) > limit) {
      if (tooLarge != nullptr) {
        *tooLarge = true;
      }
      return std::nullopt;
    }
    data.insert(data.end(), buffer, buffer + n);
  }
  return data;
}

int writeFileAtomically(const std::filesystem::path &path, const Bytes &data, mode_t mode) {
  const std::filesystem::path folder = path.parent_path();
  std::string temporary = (folder / ("." + path.filename().string() + ".XXXXXX")).string();
  FileDescriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (fd.get() < 0) {
    return errno;
  }
  auto fail = [&temporary](int error) {
    ::unlink(temporary.c_str());
    return error;
  };
  if (::fchmod(fd.get(), mode) != 0 || !writeAll(fd.get(), data) || ::fsync(fd.get()) != 0) {
    return fail(errno);
  }
  if (::close(fd.release()) != 0) {
    return fail(errno);
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    return fail(errno);
  }
  // Makes the rename itself durable; failing here leaves a complete file either way.
  FileDescriptor directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.get() >= 0) {
    ::fsync(directory.get());
  }
  return 0;
}

} // namespace storage

KeychainStore::KeychainStore(std::string service) : service_(std::move(service)) {
  const auto base = storage::baseFolder("XDG_DATA_HOME", ".local/share");
  if (!base.empty() && isValidName(service_)) {
    folder_ = base / "corvane" / service_;
  }
}

bool KeychainStore::isValidName(std::string_view name) {
  if (name.empty() || name.size() > 128 || name.front() == '.') {
    return false;
  }
  for (const char c : name) {
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                         (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
    if (!allowed) {
      return false;
    }
  }
  return true;
}

std::optional<Bytes> KeychainStore::read(const std::string &account) {
  if (folder_.empty() || !isValidName(account)) {
    return std::nullopt;
  }
  return storage::readFile(folder_ / account, maximumItemSize);
}

bool KeychainStore::write(const std::string &account, const Bytes &data) {
  int status = 0;
  if (folder_.empty() || !isValidName(account)) {
    status = EINVAL;
  } else if (data.size() > maximumItemSize) {
    status = EFBIG;
  } else if (!storage::makePrivateFolder(folder_)) {
    status = errno;
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

} // namespace corvane

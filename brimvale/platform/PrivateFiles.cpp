#include "brimvale/platform/PrivateFiles.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane::storage {

namespace {

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

bool isPlainFileName(std::string_view name, std::size_t maximumLength) {
  if (name.empty() || name.size() > maximumLength || name.front() == '.') {
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

std::filesystem::path baseFolder(const char *variable, const char *fallback) {
  if (const char *value = std::getenv(variable); value != nullptr && value[0] == '/') {
    return value;
  }
  if (const char *home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
    return std::filesystem::path(home) / fallback;
  }
  return {};
}

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

int FileDescriptor::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

FileLock::FileLock(const std::filesystem::path &path, int openFlags, int operation)
    : fd_(::open(path.c_str(), openFlags | O_CLOEXEC | O_NOFOLLOW, 0600)) {
  if (fd_.get() < 0) {
    error_ = errno;
    return;
  }
  while (::flock(fd_.get(), operation) != 0) {
    if (errno != EINTR) {
      error_ = errno;
      ::close(fd_.release());
      return;
    }
  }
}

int makeOwnedFolder(const std::filesystem::path &folder) {
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    return errno;
  }
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0) {
    return errno;
  }
  if (!S_ISDIR(info.st_mode)) {
    return ENOTDIR;
  }
  if (info.st_uid != ::geteuid()) {
    return EPERM;
  }
  if ((info.st_mode & 07777) != 0700 && ::chmod(folder.c_str(), 0700) != 0) {
    return errno;
  }
  return 0;
}

bool makePrivateFolder(const std::filesystem::path &folder) {
  if (folder.empty()) {
    errno = ENOENT;
    return false;
  }
  // The parents as they come; only the last one is checked to be ours.
  std::filesystem::path partial;
  for (const auto &piece : folder.parent_path()) {
    partial /= piece;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
      return false;
    }
  }
  if (const int error = makeOwnedFolder(folder); error != 0) {
    errno = error;
    return false;
  }
  return true;
}

std::expected<Bytes, int> readFile(const std::filesystem::path &path, std::size_t limit) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) {
    return std::unexpected(errno);
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) {
    return std::unexpected(errno);
  }
  if (!S_ISREG(info.st_mode)) {
    return std::unexpected(EINVAL);
  }
  if (static_cast<std::uintmax_t>(info.st_size) > limit) {
    return std::unexpected(EFBIG);
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
      return std::unexpected(errno);
    }
    if (n == 0) {
      break;
    }
    // The file may have grown since fstat.
    if (data.size() + static_cast<std::size_t>(n) > limit) {
      return std::unexpected(EFBIG);
    }
    data.insert(data.end(), buffer, buffer + n);
  }
  return data;
}

bool isUnusableFile(int error) {
  return error == EFBIG || error == ELOOP || error == EINVAL;
}

int writeFileAtomically(const std::filesystem::path &path, const Bytes &data, mode_t mode) {
  const std::filesystem::path folder = path.parent_path();
  std::string name = ".";
  name += path.filename().string();
  name += ".XXXXXX";
  std::string temporary = (folder / name).string();
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

bool isTemporaryFileOf(std::string_view name, std::string_view target) {
  // mkostemp's six characters are letters and digits.
  constexpr std::size_t suffix = 7;
  if (name.size() != 1 + target.size() + suffix || name.front() != '.' ||
      name.substr(1, target.size()) != target || name[1 + target.size()] != '.') {
    return false;
  }
  for (const char c : name.substr(name.size() - 6)) {
    const bool alphanumeric =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alphanumeric) {
      return false;
    }
  }
  return true;
}

std::size_t removeTemporaryFiles(const std::filesystem::path &folder,
                                 const std::function<bool(std::string_view target)> &ours) {
  std::error_code error;
  std::filesystem::directory_iterator entries(folder, error);
  if (error) {
    return 0;
  }
  std::size_t removed = 0;
  for (const auto &entry : entries) {
    const std::string name = entry.path().filename().string();
    if (name.size() < 9 || name.front() != '.') {
      continue;
    }
    const std::string_view target = std::string_view(name).substr(1, name.size() - 8);
    if (!isTemporaryFileOf(name, target) || !ours(target)) {
      continue;
    }
    // Never follows a link and never removes a folder: only our own regular files.
    struct stat info {};
    if (::lstat(entry.path().c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        ::unlink(entry.path().c_str()) == 0) {
      ++removed;
    }
  }
  return removed;
}

std::string damagedCopyName(std::string_view name, std::size_t age) {
  std::string copy(name);
  copy += ".damaged";
  if (age > 0) {
    copy += '.';
    copy += std::to_string(age);
  }
  return copy;
}

std::string earlierDamagedCopiesText(std::string_view name, std::size_t count) {
  if (count == 0) {
    return {};
  }
  std::string text = "; the earlier copies are " + damagedCopyName(name, 1);
  if (count > 1) {
    text += " to " + damagedCopyName(name, count);
  }
  return text;
}

std::size_t earlierDamagedCopies(const std::filesystem::path &path) {
  std::size_t count = 0;
  struct stat info {};
  while (count + 1 < damagedCopiesKept &&
         ::lstat(damagedCopyName(path.string(), count + 1).c_str(), &info) == 0) {
    ++count;
  }
  return count;
}

std::expected<std::size_t, int> ageDamagedCopies(std::string_view name,
                                                 const ShiftDamagedCopy &shift) {
  std::size_t oldest = 0;
  for (std::size_t age = damagedCopiesKept - 1; age > 0; --age) {
    const auto moved = shift(damagedCopyName(name, age - 1), damagedCopyName(name, age));
    if (!moved) {
      return std::unexpected(moved.error());
    }
    if (*moved) {
      oldest = std::max(oldest, age);
    }
  }
  return oldest;
}

namespace {

std::unexpected<std::string> failedAside(const std::string &step, int error) {
  return std::unexpected(step + ": " + std::strerror(error));
}

// Frees "<path>.damaged" for a newer copy; the oldest copy is written over.
KeptAside ageDamagedFiles(const std::filesystem::path &path) {
  const auto aged = ageDamagedCopies(
      path.string(),
      [](const std::string &newer, const std::string &older) -> std::expected<bool, int> {
        if (::rename(newer.c_str(), older.c_str()) == 0) {
          return true;
        }
        if (errno == ENOENT) {
          return false;
        }
        return std::unexpected(errno);
      });
  if (!aged) {
    return failedAside("moving the earlier copies of " + path.string() + " on", aged.error());
  }
  return {};
}

} // namespace

SetAside moveAside(const std::filesystem::path &path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) {
      return false;
    }
    return failedAside(path.string(), errno);
  }
  if (auto aged = ageDamagedFiles(path); !aged) {
    return std::unexpected(aged.error());
  }
  const std::string aside = damagedCopyName(path.string(), 0);
  if (::rename(path.c_str(), aside.c_str()) != 0) {
    return failedAside("renaming " + path.string() + " to " + aside, errno);
  }
  return true;
}

SetAside copyAside(const std::filesystem::path &path, const Bytes &data, mode_t mode) {
  const std::filesystem::path newest = damagedCopyName(path.string(), 0);
  // The same damage found again at a later start is kept once, so that it cannot push the
  // earlier copies out.
  if (const auto kept = readFile(newest, data.size()); kept && *kept == data) {
    return false;
  }
  if (auto aged = ageDamagedFiles(path); !aged) {
    return std::unexpected(aged.error());
  }
  if (const int status = writeFileAtomically(newest, data, mode); status != 0) {
    return failedAside("writing " + newest.string(), status);
  }
  return true;
}

} // namespace corvane::storage

#pragma once

#include "brimvale/platform/Bytes.h"
#include "brimvale/platform/KeptAside.h"

#include <cstddef>
#include <expected>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>

// Files and folders of this user only: the secrets, the settings and the notification sockets
// live in them. Any thread; nothing here keeps state.
namespace corvane::storage {

// Closes the descriptor it holds (if any) when it goes.
class FileDescriptor {
public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor &) = delete;
  FileDescriptor &operator=(const FileDescriptor &) = delete;
  ~FileDescriptor();

  int get() const { return fd_; }
  // Hands the descriptor over; nothing is closed any more.
  int release();

private:
  int fd_;
};

// An flock(2) on `path` opened with `openFlags` (O_CREAT makes the file with mode 0600), held
// until the object goes; another process waits on the same file unless LOCK_NB is given.
class FileLock {
public:
  FileLock(const std::filesystem::path &path, int openFlags, int operation);
  FileLock(const FileLock &) = delete;
  FileLock &operator=(const FileLock &) = delete;

  // 0 when held, else the errno of the failing step.
  int error() const { return error_; }
  // The open lock file while held, else -1.
  int descriptor() const { return fd_.get(); }

private:
  FileDescriptor fd_;
  int error_ = 0;
};

// A name that stays one entry inside a folder: 1 to maximumLength letters, digits, '.', '_' or
// '-', not starting with '.' (that prefix marks temporary files and hides entries).
bool isPlainFileName(std::string_view name, std::size_t maximumLength);
// $<variable> when it is an absolute path, else $HOME/<fallback>; empty when neither is set.
std::filesystem::path baseFolder(const char *variable, const char *fallback);
// Makes `folder` (its parent must exist) with mode 0700 unless it is there, then checks that
// it is a real folder (not a link) of this user and narrows it to 0700. 0 when it is, ENOTDIR
// when it is not a folder, EPERM when it belongs to somebody else, else the failing errno.
int makeOwnedFolder(const std::filesystem::path &folder);
// Creates the folder and its missing parents with mode 0700; the last folder must be this
// user's own and is narrowed to 0700. False with errno set when it cannot be had.
bool makePrivateFolder(const std::filesystem::path &folder);
// The contents of a regular file of at most limit bytes, read without following a symbolic
// link. The error is ENOENT when nothing is there, EFBIG when the file is above the limit,
// ELOOP for a symbolic link, EINVAL for anything else that is not a regular file, and the
// errno of the failing call otherwise (EMFILE, EIO, EACCES, ...).
std::expected<Bytes, int> readFile(const std::filesystem::path &path, std::size_t limit);
// True for the errors of readFile that mean something is there but it is not a file of
// ours: it can be kept aside, unlike an error that says nothing about the contents.
bool isUnusableFile(int error);
// Temporary file in the same folder, fsync, rename over the old one, fsync of the folder.
// 0 on success, else the errno of the failing step.
int writeFileAtomically(const std::filesystem::path &path, const Bytes &data, mode_t mode);
// True when name is a temporary file that writeFileAtomically made for target
// ("." + target + "." + six letters or digits).
bool isTemporaryFileOf(std::string_view name, std::string_view target);
// Removes the temporary files of writes to targets in folder that ours() accepts; the count
// removed. The caller holds whatever lock keeps writers of those targets out.
std::size_t removeTemporaryFiles(const std::filesystem::path &folder,
                                 const std::function<bool(std::string_view target)> &ours);
// Damaged copies of one file or stored value kept beside it: the newest as "<name>.damaged", the
// earlier ones as "<name>.damaged.1" (the next newest) up to "<name>.damaged.4"; a copy older
// than that is dropped, so that repeated damage cannot fill the disk.
inline constexpr std::size_t damagedCopiesKept = 5;
// "<name>.damaged" for age 0, else "<name>.damaged.<age>".
std::string damagedCopyName(std::string_view name, std::size_t age);
// For a log line that names where the earlier copies are: empty when there are none, else
// "; the earlier copies are <name>.damaged.1" (up to " to <name>.damaged.<count>").
std::string earlierDamagedCopiesText(std::string_view name, std::size_t count);
// How many earlier damaged copies of path there are, counted from "<path>.damaged.1" on.
std::size_t earlierDamagedCopies(const std::filesystem::path &path);
// Moves each damaged copy of `name` one age on, the oldest first, so that "<name>.damaged" is
// free for a newer copy; the oldest kept is written over. `shift(newer, older)` moves one copy
// wherever copies are kept: true when there was one to move, false when none, else the errno
// that stopped it. Gives the age of the oldest copy moved (0 when none was), or that errno.
using ShiftDamagedCopy =
    std::function<std::expected<bool, int>(const std::string &newer, const std::string &older)>;
std::expected<std::size_t, int> ageDamagedCopies(std::string_view name,
                                                 const ShiftDamagedCopy &shift);
// How setting a copy aside went: true when a copy was made now, false when there was nothing
// to keep (so nothing to report), else why it could not be made.
using SetAside = std::expected<bool, std::string>;
// Renames path to "<path>.damaged" after moving each earlier copy one age on; false when
// nothing was there.
SetAside moveAside(const std::filesystem::path &path);
// Writes data, the contents of path that do not decode, atomically as the newest damaged copy
// after moving each earlier copy one age on; path itself stays until its owner replaces it
// with a complete new file. False, and nothing written, when the newest copy already holds the
// same bytes.
SetAside copyAside(const std::filesystem::path &path, const Bytes &data, mode_t mode);

} // namespace corvane::storage

#pragma once

#include "brimvale/platform/SecretStore.h"

#include <cstddef>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace corvane {

// Secrets as files: one file per account, mode 0600, in a 0700 folder
// $XDG_DATA_HOME/corvane/<service>/ (else ~/.local/share), each replaced atomically.
// Creating a store removes the temporary files that interrupted writes left in the folder.
class KeychainStore final : public SecretStore {
public:
  // The application's service: bundle identifier "corvane" plus ".v2".
  static constexpr const char *applicationService = "corvane.v2";
  // Far above any secret the program keeps; a larger file is not ours.
  static constexpr std::size_t maximumItemSize = 1 << 20;

  explicit KeychainStore(std::string service = applicationService);

  std::optional<Bytes> read(const std::string &account) override;
  StoredSecret readChecked(const std::string &account) override;
  bool write(const std::string &account, const Bytes &data) override;
  bool remove(const std::string &account) override;
  bool keepAside(const std::string &account) override;

  const std::string &service() const { return service_; }
  // Empty when no home folder is known or the service name is not usable.
  const std::filesystem::path &folder() const { return folder_; }

  // Names that stay inside the folder: letters, digits, '.', '_', '-', not starting with
  // '.' (that prefix marks temporary files), at most 128 characters.
  static bool isValidName(std::string_view name);

private:
  void removeTemporaryFiles() const;

  std::string service_;
  std::filesystem::path folder_;
};

// File helpers shared with the settings files.
namespace storage {

// $<variable> when it is an absolute path, else $HOME/<fallback>; empty when neither is set.
std::filesystem::path baseFolder(const char *variable, const char *fallback);
// Creates the folder and its missing parents with mode 0700; an existing last folder is
// narrowed to 0700.
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
// Renames path to path + ".damaged", replacing an older copy there. 0 when moved, ENOENT
// when nothing was there, else the errno.
int moveAside(const std::filesystem::path &path);

} // namespace storage

} // namespace corvane

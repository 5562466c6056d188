#pragma once

#include "brimvale/platform/SecretStore.h"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace corvane {

// Secrets as files: one file per account, mode 0600, in a 0700 folder
// $XDG_DATA_HOME/corvane/<service>/ (else ~/.local/share), each replaced atomically.
class KeychainStore final : public SecretStore {
public:
  // The application's service: bundle identifier "corvane" plus ".v2".
  static constexpr const char *applicationService = "corvane.v2";
  // Far above any secret the program keeps; a larger file is not ours.
  static constexpr std::size_t maximumItemSize = 1 << 20;

  explicit KeychainStore(std::string service = applicationService);

  std::optional<Bytes> read(const std::string &account) override;
  bool write(const std::string &account, const Bytes &data) override;
  bool remove(const std::string &account) override;

  const std::string &service() const { return service_; }
  // Empty when no home folder is known or the service name is not usable.
  const std::filesystem::path &folder() const { return folder_; }

  // Names that stay inside the folder: letters, digits, '.', '_', '-', not starting with
  // '.' (that prefix marks temporary files), at most 128 characters.
  static bool isValidName(std::string_view name);

private:
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
// Absent when missing, not a regular file, a symbolic link, unreadable or above the limit.
// tooLarge tells that last case apart so the caller can report it.
std::optional<Bytes> readFile(const std::filesystem::path &path, std::size_t limit,
                              bool *tooLarge = nullptr);
// Temporary file in the same folder, fsync, rename over the old one, fsync of the folder.
// 0 on success, else the errno of the failing step.
int writeFileAtomically(const std::filesystem::path &path, const Bytes &data, mode_t mode);

} // namespace storage

} // namespace corvane

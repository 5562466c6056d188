#pragma once

#include "brimvale/platform/PrivateFiles.h"
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
  KeptAside keepAside(const std::string &account) override;

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

} // namespace corvane

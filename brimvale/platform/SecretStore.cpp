#include "brimvale/platform/SecretStore.h"

#include "brimvale/platform/Logger.h"
#include "brimvale/platform/PrivateFiles.h"

#include <cerrno>

namespace corvane {

StoredSecret SecretStore::readChecked(const std::string &account) {
  auto bytes = read(account);
  if (!bytes) {
    return {};
  }
  return StoredSecret{StoredSecret::State::found, std::move(*bytes), 0};
}

KeptAside SecretStore::keepAside(const std::string &account) {
  const auto bytes = read(account);
  if (!bytes || read(storage::damagedCopyName(account, 0)) == bytes) {
    return {};
  }
  const auto earlier = storage::ageDamagedCopies(
      account,
      [this](const std::string &newer, const std::string &older) -> std::expected<bool, int> {
        const auto copy = read(newer);
        if (!copy) {
          return false;
        }
        if (!write(older, *copy)) {
          return std::unexpected(EIO);
        }
        return true;
      });
  KeptAside kept;
  if (!earlier) {
    kept = std::unexpected("could not move the earlier copies of " + account + " on");
  } else if (!write(storage::damagedCopyName(account, 0), *bytes)) {
    kept = std::unexpected("could not write " + storage::damagedCopyName(account, 0));
  }
  if (!kept) {
    Logger::app().error("Could not keep the undecodable secret " + account +
                        " aside: " + kept.error());
    return kept;
  }
  Logger::app().error("Kept the undecodable secret " + account + " aside as " +
                      storage::damagedCopyName(account, 0) +
                      storage::earlierDamagedCopiesText(account, *earlier));
  return {};
}

} // namespace corvane

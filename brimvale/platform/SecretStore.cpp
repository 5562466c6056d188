#include "brimvale/platform/SecretStore.h"

#include "brimvale/platform/Logger.h"
#include "brimvale/platform/PrivateFiles.h"

#include <algorithm>

namespace corvane {

StoredSecret SecretStore::readChecked(const std::string &account) {
  auto bytes = read(account);
  if (!bytes) {
    return {};
  }
  return StoredSecret{StoredSecret::State::found, std::move(*bytes), 0};
}

bool SecretStore::keepAside(const std::string &account) {
  const auto bytes = read(account);
  if (!bytes || read(storage::damagedCopyName(account, 0)) == bytes) {
    return true;
  }
  std::size_t earlier = 0;
  for (std::size_t age = storage::damagedCopiesKept - 1; age > 0; --age) {
    if (const auto newer = read(storage::damagedCopyName(account, age - 1))) {
      if (!write(storage::damagedCopyName(account, age), *newer)) {
        return false;
      }
      earlier = std::max(earlier, age);
    }
  }
  if (!write(storage::damagedCopyName(account, 0), *bytes)) {
    return false;
  }
  Logger::app().error("Kept the undecodable secret " + account + " aside as " +
                      storage::damagedCopyName(account, 0) +
                      storage::earlierDamagedCopiesText(account, earlier));
  return true;
}

} // namespace corvane

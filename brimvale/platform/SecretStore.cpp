#include "brimvale/platform/SecretStore.h"

#include "brimvale/platform/Logger.h"

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
  if (!bytes) {
    return true;
  }
  if (!write(account + ".damaged", *bytes) || !remove(account)) {
    return false;
  }
  Logger::app().error("Kept the undecodable secret " + account + " aside as " + account +
                      ".damaged");
  return true;
}

} // namespace corvane

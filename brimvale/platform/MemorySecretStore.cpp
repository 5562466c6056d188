#include "brimvale/platform/MemorySecretStore.h"

namespace corvane {

std::optional<Bytes> MemorySecretStore::read(const std::string &account) {
  std::lock_guard guard(lock_);
  const auto found = items_.find(account);
  if (found == items_.end()) {
    return std::nullopt;
  }
  return found->second;
}

bool MemorySecretStore::write(const std::string &account, const Bytes &data) {
  std::lock_guard guard(lock_);
  items_[account] = data;
  return true;
}

bool MemorySecretStore::remove(const std::string &account) {
  std::lock_guard guard(lock_);
  items_.erase(account);
  return true;
}

} // namespace corvane

#pragma once

#include "brimvale/platform/SecretStore.h"

#include <map>
#include <mutex>

namespace corvane {

// Keeps secrets for the life of the process only; used by tests.
class MemorySecretStore final : public SecretStore {
public:
  std::optional<Bytes> read(const std::string &account) override;
  bool write(const std::string &account, const Bytes &data) override;
  bool remove(const std::string &account) override;

private:
  std::mutex lock_;
  std::map<std::string, Bytes> items_;
};

} // namespace corvane

#pragma once

#include "brimvale/platform/Bytes.h"

#include <optional>
#include <string>

namespace corvane {

// Where the program keeps its secrets at rest: one byte string per account name.
// Implementations are safe to call from any thread.
class SecretStore {
public:
  virtual ~SecretStore() = default;

  // Absent when the account was never written or cannot be read.
  virtual std::optional<Bytes> read(const std::string &account) = 0;
  // True when stored; callers may ignore it (a failure is logged by the store).
  virtual bool write(const std::string &account, const Bytes &data) = 0;
  // True when the account is gone afterwards, also when it never existed.
  virtual bool remove(const std::string &account) = 0;
};

} // namespace corvane

#pragma once

#include "brimvale/platform/NetworkError.h"
#include "brimvale/platform/Parameters.h"

#include <asio/ssl/context.hpp>
#include <expected>
#include <memory>

namespace corvane {

// An OpenSSL context for TLS with pre-shared keys and no certificates. The keys live with the
// context because OpenSSL's key callbacks look them up through it.
class TlsContext {
public:
  enum class Role { client, server };

  static std::expected<std::shared_ptr<TlsContext>, NetworkError> make(const Parameters::Tls &tls,
                                                                       Role role);

  asio::ssl::context &context() { return context_; }
  Role role() const { return role_; }
  const std::vector<Parameters::PreSharedKey> &keys() const { return keys_; }

  TlsContext(Role role, std::vector<Parameters::PreSharedKey> keys);

private:
  Role role_;
  std::vector<Parameters::PreSharedKey> keys_;
  asio::ssl::context context_;
};

// The library's last error as a value, emptying its error queue.
NetworkError tlsErrorFromLibrary(const std::error_code &error);

} // namespace corvane

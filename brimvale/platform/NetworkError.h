#pragma once

#include <string>

namespace corvane {

// A failure of the network layer, as a value: a POSIX errno (EADDRINUSE, ECONNREFUSED, …), a
// name-resolution failure or a TLS failure.
struct NetworkError {
  enum class Domain { posix, dns, tls };

  Domain domain = Domain::posix;
  int code = 0;
  std::string detail; // extra words from the library that failed, may be empty

  static NetworkError posix(int errnoValue);
  static NetworkError dns(int code, std::string detail = {});
  static NetworkError tls(int code, std::string detail = {});

  bool isPosix(int errnoValue) const { return domain == Domain::posix && code == errnoValue; }

  // The sentence shown to people, like "Address already in use".
  std::string localizedDescription() const;

  bool operator==(const NetworkError &) const = default;
};

} // namespace corvane

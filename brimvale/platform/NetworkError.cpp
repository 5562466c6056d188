#include "brimvale/platform/NetworkError.h"

#include <cstring>
#include <netdb.h>

namespace corvane {

NetworkError NetworkError::posix(int errnoValue) {
  return {Domain::posix, errnoValue, {}};
}

NetworkError NetworkError::dns(int code, std::string detail) {
  return {Domain::dns, code, std::move(detail)};
}

NetworkError NetworkError::tls(int code, std::string detail) {
  return {Domain::tls, code, std::move(detail)};
}

std::string NetworkError::localizedDescription() const {
  switch (domain) {
  case Domain::posix: {
    char buffer[256] = {};
    // The GNU variant returns a pointer that may or may not be the buffer.
    const char *text = strerror_r(code, buffer, sizeof buffer);
    return text ? std::string(text) : std::string("Unknown error");
  }
  case Domain::dns:
    if (!detail.empty())
      return detail;
    return code != 0 ? std::string(gai_strerror(code)) : std::string("Name resolution failed");
  case Domain::tls:
    return detail.empty() ? std::string("TLS handshake failed") : "TLS error: " + detail;
  }
  return "Unknown error";
}

} // namespace corvane

#pragma once

#include "brimvale/platform/Bytes.h"
#include "brimvale/platform/Endpoint.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

class TlsContext;

// How a Connection or Listener is set up: plain TCP, or TLS with pre-shared keys over TCP.
struct Parameters {
  struct PreSharedKey {
    std::string identity;
    Bytes key;
  };

  struct Tls {
    // A client offers the first key; a server picks the key whose identity the client names.
    std::vector<PreSharedKey> keys;
    // IANA numbers, in order of preference (0xCCAC, 0x00A9).
    std::vector<std::uint16_t> cipherSuites;
    std::uint16_t minimumVersion = 0x0303;
    // A client context made once from these keys and suites (TlsContext::make), shared by the
    // connections that use them; without it each connection makes its own.
    std::shared_ptr<TlsContext> context;
  };

  std::optional<Tls> tls;

  bool noDelay = false;
  bool keepAlive = false;
  int keepAliveIdle = 0;          // seconds; 0 leaves the system's value
  double connectionTimeout = 0;   // seconds; 0 leaves the system's value
  bool includePeerToPeer = false; // accepted for parity; no effect on Linux

  // Listener: bind exactly this host and port instead of every address.
  std::optional<Endpoint> requiredLocalEndpoint;
  bool allowLocalEndpointReuse = false;
  // Listener: refuse connections that do not come from this machine.
  bool acceptLocalOnly = false;

  static Parameters tcp() { return Parameters{}; }
};

} // namespace corvane

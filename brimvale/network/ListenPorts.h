#pragma once

#include "brimvale/platform/Bytes.h"
#include "brimvale/platform/DnsSd.h"
#include "brimvale/platform/NetworkError.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

// Where this machine listens by default, and how it announces each listener.
inline constexpr std::uint16_t gatewayPreferredPort = 46310;
inline constexpr std::uint16_t pairingPreferredPort = 46311;
inline constexpr const char *gatewayServiceType = "_corvane._tcp";
inline constexpr const char *pairingServiceType = "_corvane-pair._tcp";

// A taken port is tried this many times, this far apart, before the next candidate.
inline constexpr int listenBusyAttempts = 5;
inline constexpr double listenBusyRetryDelay = 0.2;

// The ports a listener tries in order: the preferred port, that port plus 10, plus 20, then
// any port. An absent entry lets the system choose; so does a step that would pass 65535.
// Without a preferred port (or with 0, which already means "any") the list is just [any].
std::vector<std::optional<std::uint16_t>>
listenPortCandidates(std::optional<std::uint16_t> preferredPort);

// One try of a listener down the candidates of its preferred port.
struct ListenTry {
  std::size_t index = 0; // into listenPortCandidates, past the end meaning the last
  int attempt = 0;       // earlier tries of the same candidate

  bool operator==(const ListenTry &) const = default;
};

// The port `attempt` asks for; absent lets the system choose.
std::optional<std::uint16_t> listenPort(std::optional<std::uint16_t> preferredPort,
                                        const ListenTry &attempt);

// What follows a listener of `failed` that failed with `error`: the same port again after
// `delay` while a taken port has tries left, the next candidate at once when they are used
// up; nothing for any other failure or when the system chose the port. The caller retries
// only while the failed listener is still its current one, which it must tell apart by
// something an object made later cannot share (a weak reference, not an address).
struct ListenRetry {
  ListenTry next;
  double delay = 0;
};
std::optional<ListenRetry> listenRetry(std::optional<std::uint16_t> preferredPort,
                                       const ListenTry &failed, const NetworkError &error,
                                       double busyRetryDelay = listenBusyRetryDelay);

// How the gateway and the pairing listener announce themselves: the service name and type with
// a TXT record of the protocol version "2" and this machine's device identifier.
DnsSdService advertisedService(const std::string &name, const std::string &type,
                               const Bytes &publicKey);

} // namespace corvane

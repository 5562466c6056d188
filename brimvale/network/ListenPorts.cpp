#include "brimvale/network/ListenPorts.h"

#include "brimvale/foundation/DeviceIdentity.h"

#include <algorithm>
#include <cerrno>

namespace corvane {

std::vector<std::optional<std::uint16_t>>
listenPortCandidates(std::optional<std::uint16_t> preferredPort) {
  if (!preferredPort || *preferredPort == 0)
    return {std::nullopt};
  const int preferred = *preferredPort;
  std::vector<std::optional<std::uint16_t>> candidates{static_cast<std::uint16_t>(preferred)};
  for (int step : {10, 20}) {
    const int port = preferred + step;
    if (port <= 65535)
      candidates.emplace_back(static_cast<std::uint16_t>(port));
    else
      candidates.emplace_back(std::nullopt);
  }
  candidates.emplace_back(std::nullopt);
  return candidates;
}

std::optional<std::uint16_t> listenPort(std::optional<std::uint16_t> preferredPort,
                                        const ListenTry &attempt) {
  const auto candidates = listenPortCandidates(preferredPort);
  return candidates[std::min(attempt.index, candidates.size() - 1)];
}

std::optional<ListenRetry> listenRetry(std::optional<std::uint16_t> preferredPort,
                                       const ListenTry &failed, const NetworkError &error,
                                       double busyRetryDelay) {
  if (!listenPort(preferredPort, failed) || !error.isPosix(EADDRINUSE))
    return std::nullopt;
  if (failed.attempt + 1 < listenBusyAttempts)
    return ListenRetry{{failed.index, failed.attempt + 1}, busyRetryDelay};
  return ListenRetry{{failed.index + 1, 0}, 0};
}

DnsSdService advertisedService(const std::string &name, const std::string &type,
                               const Bytes &publicKey) {
  DnsSdService service;
  service.name = name;
  service.type = type;
  service.txt = {{"v", "2"}, {"id", fingerprint(publicKey)}};
  return service;
}

} // namespace corvane

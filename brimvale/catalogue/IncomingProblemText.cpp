#include "brimvale/catalogue/IncomingProblemText.h"

namespace corvane {

namespace {

// The gateway's per-peer limit, named in the refusal sentence.
constexpr int gatewayConnectionLimit = 64;

} // namespace

std::optional<std::string> incomingProblemText(const IncomingService &service) {
  if (service.state.which() != IncomingService::State::Case::connected)
    return std::nullopt;
  if (service.problem) {
    const std::string &refusal = *service.problem;
    if (refusal == "not running")
      return "Nothing is listening on " + service.peerName;
    if (refusal == "not shared")
      return service.peerName + " stopped sharing this";
    if (refusal == "too many connections")
      return "Too many open connections (" + std::to_string(gatewayConnectionLimit) + ")";
    if (refusal == "unreachable")
      return "Couldn't reach " + service.peerName;
    return service.peerName + " refused the connection";
  }
  if (service.health)
    return "Not responding on " + service.peerName;
  return std::nullopt;
}

} // namespace corvane

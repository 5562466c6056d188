#include "brimvale/catalogue/Problems.h"

#include "brimvale/catalogue/IncomingProblemText.h"

#include <functional>

namespace corvane {

namespace {

// A miss after a good answer may be a passing hiccup; two in a row are not.
constexpr int missesBeforeNotResponding = 2;

} // namespace

std::optional<ProblemReport> ProblemReport::makeForIncoming(const IncomingService &service) {
  using Case = IncomingService::State::Case;
  std::optional<std::string> problem;
  switch (service.state.which()) {
  case Case::off:
  case Case::asleep: return std::nullopt;
  case Case::notRunning: problem = "Not running on " + service.peerName; break;
  case Case::failed: problem = service.state.sentence(); break;
  case Case::connected: problem = incomingProblemText(service); break;
  }
  if (!problem)
    return std::nullopt;
  return ProblemReport{service.name,      service.peerName,    service.remotePort,
                       service.localPort, std::move(*problem), false};
}

std::optional<ProblemReport> ProblemReport::makeForShare(const OutgoingService &share,
                                                         const std::string &thisMacName) {
  const ExposedService &service = share.service;
  if (!service.enabled)
    return std::nullopt;
  std::string problem;
  if (share.running) {
    if (share.responding.value_or(true))
      return std::nullopt;
    problem = "Something is listening on port " + std::to_string(service.port) +
              " but not answering like " + service.name;
  } else {
    problem = "Nothing is listening on port " + std::to_string(service.port) + " on this Mac";
  }
  return ProblemReport{service.name, thisMacName,        service.port,
                       std::nullopt, std::move(problem), true};
}

std::optional<bool> HealthTracker::record(bool answered) {
  if (answered) {
    misses = 0;
    answeredOnce = true;
    return true;
  }
  ++misses;
  if (answeredOnce && misses >= missesBeforeNotResponding)
    return false;
  return std::nullopt;
}

bool recordHealthCheck(std::map<std::string, HealthTracker> &trackers,
                       std::map<std::string, bool> &responding, const std::string &shareID,
                       bool answered) {
  auto flag = trackers[shareID].record(answered);
  if (!flag)
    return false;
  auto current = responding.find(shareID);
  if (current != responding.end() && current->second == *flag)
    return false;
  responding[shareID] = *flag;
  return true;
}

} // namespace corvane

std::size_t
std::hash<corvane::ProblemReport>::operator()(const corvane::ProblemReport &report) const noexcept {
  std::size_t seed = 0;
  auto mix = [&seed](std::size_t value) {
    seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
  };
  mix(std::hash<std::string>{}(report.service));
  mix(std::hash<std::string>{}(report.mac));
  mix(std::hash<int>{}(report.port));
  mix(std::hash<bool>{}(report.localPort.has_value()));
  mix(std::hash<int>{}(report.localPort.value_or(0)));
  mix(std::hash<std::string>{}(report.problem));
  mix(std::hash<bool>{}(report.sharedFromHere));
  return seed;
}

// The settings behind the port prompt of an incoming port, the activity page and the
// notification switches.
#include "brimvale/manager/ServiceManager.h"

#include <unordered_set>

namespace corvane {

std::optional<PortChoiceProblem> ServiceManager::setLocalPort(const std::string &deviceID,
                                                              const std::string &serviceID,
                                                              int port, bool automatic) {
  expectMainQueue();
  const RouteKey key{deviceID, serviceID};
  const std::string textKey = routeTextKey(key);
  std::optional<int> current;
  if (auto found = assignedPorts.find(key); found != assignedPorts.end())
    current = found->second;

  if (automatic) {
    preferences.modify([&](Preferences &p) { p.localPorts.erase(textKey); });
  } else {
    // The ports incoming routes hold: those in use, and the remembered ones of routes still
    // shown, so that a route switched off keeps its port; an assigned port wins over a
    // remembered one of the same route.
    std::map<PortChoiceKey, int> used;
    for (const auto &[route, routePort] : assignedPorts)
      used.emplace(PortChoiceKey{route.peerID, route.serviceID}, routePort);
    std::unordered_set<RouteKey> shown;
    for (const auto &row : incoming.get())
      shown.insert(row.key);
    for (const auto &[text, remembered] : preferences->localPorts) {
      const auto slash = text.find('/');
      if (slash == std::string::npos)
        continue;
      const RouteKey route{text.substr(0, slash), text.substr(slash + 1)};
      if (shown.contains(route))
        used.try_emplace(PortChoiceKey{route.peerID, route.serviceID}, remembered);
    }
    std::set<int> ownPorts;
    for (const auto &service : preferences->services)
      ownPorts.insert(service.port);
    const auto isFree = [this](int candidate) {
      return candidate >= 1 && candidate <= 65535 && isLoopbackCandidateUsable(candidate);
    };
    if (auto problem =
            checkPortChoice(port, PortChoiceKey{deviceID, serviceID}, used, ownPorts, isFree))
      return problem;
    preferences.modify([&](Preferences &p) { p.localPorts.insert_or_assign(textKey, port); });
    // The user's own choice is tried even where the route gave the port up before.
    if (auto givenUp = givenUpPorts.find(key); givenUp != givenUpPorts.end())
      givenUp->second.erase(port);
    if (current == port) {
      save();
      return std::nullopt;
    }
  }
  assignedPorts.erase(key);
  save();
  reconcileIncoming();
  return std::nullopt;
}

void ServiceManager::clearAccessLog() {
  expectMainQueue();
  // The seen pairs stay, so a Mac's next use is not taken for a first use again.
  accessLog.modify([](AccessLog &log) { log.clear(); });
  if (isPreview)
    return;
  scheduleAccessLogSave();
}

void ServiceManager::setNotifyFirstUse(bool on) {
  expectMainQueue();
  preferences.modify([&](Preferences &p) { p.notifyFirstUse = on; });
  save();
}

void ServiceManager::setNotifyServiceDown(bool on) {
  expectMainQueue();
  preferences.modify([&](Preferences &p) { p.notifyServiceDown = on; });
  save();
}

void ServiceManager::setNotifyMacBack(bool on) {
  expectMainQueue();
  preferences.modify([&](Preferences &p) { p.notifyMacBack = on; });
  save();
}

} // namespace corvane

// What the components report, turned into state on the main queue.
#include "brimvale/foundation/DisplayText.h"
#include "brimvale/manager/ServiceManager.h"
#include "brimvale/network/Addresses.h"
#include "brimvale/platform/Logger.h"

#include <algorithm>

namespace corvane {

void ServiceManager::refreshPairedPeers() {
  expectMainQueue();
  auto list = peerStore->peers();
  if (const auto &nicknames = preferences->nicknames)
    for (auto &peer : list)
      if (auto nickname = nicknames->find(peer.deviceID); nickname != nicknames->end())
        peer.name = nickname->second;
  pairedPeers.set(std::move(list));
}

void ServiceManager::publishSharingToControl() {
  expectMainQueue();
  if (!control)
    return;
  // A request filed while the previous one was being applied is taken by this publish instead of
  // being counted as seen; applying it publishes in turn.
  const auto published =
      control->publishControlState(preferences->sharingPaused.value_or(false), date());
  // Left unpublished, the control would go on showing the earlier state.
  controlUnpublished = !published;
  if (!published) {
    scheduleSaveRetry();
    return;
  }
  if (*published) {
    setSharingPaused(**published);
    return;
  }
  if (!isPreview && effects_.reloadControls)
    effects_.reloadControls();
}

void ServiceManager::relayPeerStoreChange() {
  expectMainQueue();
  std::set<std::string> before;
  for (const auto &peer : pairedPeers.get())
    before.insert(peer.deviceID);
  refreshPairedPeers();
  std::set<std::string> after;
  for (const auto &peer : pairedPeers.get())
    after.insert(peer.deviceID);

  rebuildPairKeys();
  std::vector<std::string> removed;
  std::ranges::set_difference(before, after, std::back_inserter(removed));
  for (const auto &peerID : removed) {
    if (auto link = links.find(peerID); link != links.end()) {
      effects_.stopLink(link->second);
      links.erase(link);
    }
    liveServices.erase(peerID);
    droppedShares.erase(peerID);
    effects_.stopProxyPeer(peerID);
    std::erase_if(assignedPorts, [&](const auto &entry) { return entry.first.peerID == peerID; });
    std::erase_if(routeStatus, [&](const auto &entry) { return entry.first.peerID == peerID; });
  }
  const bool added =
      std::ranges::any_of(after, [&](const auto &id) { return !before.contains(id); });
  // A new peer's key is taken when the listener starts again; the restart also drops what
  // the removed peers held, so they need no revocation of their own.
  if (added) {
    effects_.restartGateway();
  } else {
    for (const auto &peerID : removed)
      effects_.revokeAtGateway(peerID);
  }
  for (const auto &peer : pairedPeers.get())
    if (!before.contains(peer.deviceID))
      Logger::app().info("Paired with " + peer.name);
  ensurePeerLinks();
}

void ServiceManager::relayDiscoveryChange(std::vector<NearbyDevice> devices) {
  expectMainQueue();
  refreshNetworkName();
  std::map<std::string, NearbyDevice> found;
  for (auto &device : devices) {
    // A Mac sees its own advertisement.
    if (device.deviceID == deviceID_)
      continue;
    found.emplace(device.deviceID, std::move(device));
  }
  for (const auto &[id, device] : found)
    if (!discovered.contains(id) && peerStore->findPeer(id))
      Logger::app().info("Found paired machine " + device.name);
  discovered = std::move(found);
  ensurePeerLinks();
}

void ServiceManager::relayGatewayReady(std::uint16_t port) {
  expectMainQueue();
  if (gatewayPort.set(port))
    Logger::app().info("Gateway listening on port " + std::to_string(port));
}

void ServiceManager::relayPeerAddress(const std::string &deviceID,
                                      const std::optional<std::string> &host) {
  expectMainQueue();
  if (!host || !peerStore->findPeer(deviceID))
    return;
  const auto parsed = ManualAddress::parseManualAddress(*host);
  if (!parsed)
    return;
  const auto text = ManualAddress::displayText(parsed->host, parsed->port);
  preferences.modify([&](Preferences &p) {
    if (!p.addresses)
      p.addresses.emplace();
    (*p.addresses)[deviceID] = text;
  });
  save();
  ensurePeerLinks();
}

void ServiceManager::relayConnectionAccepted(const std::string &peerID,
                                             const std::string &serviceID) {
  expectMainQueue();
  const auto &services = preferences->services;
  const auto share = std::find_if(services.begin(), services.end(),
                                  [&](const ExposedService &s) { return s.id == serviceID; });
  if (share == services.end())
    return;
  const std::string name = peerDisplayName(peerID);
  const std::string shareName = share->name;
  const int port = share->port;
  bool first = false;
  accessLog.modify(
      [&](AccessLog &log) { first = log.record(peerID, name, shareName, port, date()); });
  scheduleAccessLogSave();
  // Once per Mac and share ever: the seen pairs are saved with the log.
  if (first && preferences->firstUseNoticesOn())
    postNote({shareName + " :" + std::to_string(port),
              name + " just connected to your " + shareName + "."});
}

void ServiceManager::relayGatewaySessions(std::vector<Gateway::Session> list) {
  expectMainQueue();
  sessions = std::move(list);
  recomputeOutgoing();
}

void ServiceManager::relayRouteStatus(const RouteKey &key, const ProxyManager::Status &status) {
  expectMainQueue();
  if (status.which() == ProxyManager::Status::Case::taken) {
    moveTakenRoute(key, status.port());
    return;
  }
  const auto previous = routeStatus.find(key);
  const bool changed = previous == routeStatus.end() || !(previous->second == status);
  if (changed && assignedPorts.contains(key)) {
    const auto port = std::to_string(assignedPorts.at(key));
    const auto route = routeLogName(key);
    if (status.which() != ProxyManager::Status::Case::listening)
      Logger::app().error("Route to " + route + " cannot listen on port " + port + ": " +
                          status.text());
    else if (mayLogRouteLine(key, route))
      Logger::app().info("Route to " + route + " listening on localhost:" + port);
  }
  routeStatus.insert_or_assign(key, status);
  reconcileIncoming();
}

void ServiceManager::moveTakenRoute(const RouteKey &key, int port) {
  const auto assigned = assignedPorts.find(key);
  // A late word about a port the route has left already.
  if (assigned == assignedPorts.end() || assigned->second != port)
    return;
  givenUpPorts[key].insert(port);
  assignedPorts.erase(assigned);
  routeStatus.erase(key);
  // Chosen as any port is, and remembered.
  reconcileIncoming();
  const auto moved = assignedPorts.find(key);
  Logger::app().notice("Route to " + routeLogName(key) + ": port " + std::to_string(port) +
                       " is taken on ::1 by another program; " +
                       (moved == assignedPorts.end()
                            ? std::string("no other port on this Mac is free")
                            : "it now listens on " + std::to_string(moved->second)));
}

bool ServiceManager::mayLogRouteLine(const RouteKey &key, const std::string &route) {
  const double at = now();
  // A budget outlives its route, which a flapping share drops and brings back, but not its
  // window, so that routes seen once are not held.
  std::erase_if(routeLogBudget,
                [&](const auto &entry) { return at - entry.second.since >= routeLogWindow; });
  auto &budget = routeLogBudget.try_emplace(key, LogBudget{at, 0}).first->second;
  if (++budget.used <= routeLogBurst)
    return true;
  if (budget.used == routeLogBurst + 1)
    Logger::app().notice("The route to " + route +
                         " changes often; it is not logged each time for a minute");
  return false;
}

std::string ServiceManager::routeLogName(const RouteKey &key) const {
  std::string name = key.serviceID;
  if (auto live = liveServices.find(key.peerID); live != liveServices.end())
    for (const auto &share : live->second)
      if (share.id == key.serviceID)
        name = share.name;
  return "\"" + name + "\" of " + peerDisplayName(key.peerID);
}

void ServiceManager::logRefusedStream(const RouteKey &key, const std::string &text) {
  auto &counted = refusalLogs[key];
  ++counted.unopened;
  // "unreachable" is the proxy's own word for a stream that got no answer.
  counted.latest =
      text == "unreachable"
          ? "could not reach the other machine"
          : "refused by the other machine: " +
                cleanDisplayText(text, static_cast<int>(ProxyManager::refusalTextLimit));
  if (!counted.lastLine || now() - *counted.lastLine >= refusalLogInterval) {
    writeRefusalLine(key, counted);
    return;
  }
  if (std::exchange(counted.due, true))
    return;
  mainQueue_->postAfter(*counted.lastLine + refusalLogInterval - now(),
                        [weak = weak_from_this(), key] {
                          auto self = weak.lock();
                          if (!self)
                            return;
                          if (auto found = self->refusalLogs.find(key);
                              found != self->refusalLogs.end() && found->second.due)
                            self->writeRefusalLine(key, found->second);
                        });
}

void ServiceManager::writeRefusalLine(const RouteKey &key, RefusalLog &counted) {
  Logger::app().notice("Route to " + routeLogName(key) + ": " + std::to_string(counted.unopened) +
                       " stream(s) not opened, the latest " + counted.latest);
  counted = RefusalLog{0, now(), {}, false};
}

void ServiceManager::relayRouteRefusal(const RouteKey &key,
                                       const std::optional<std::string> &text) {
  expectMainQueue();
  // Each report is one stream the route could not open; the stored text only changes rarely.
  if (text && assignedPorts.contains(key))
    logRefusedStream(key, *text);
  const auto stored = routeProblems.find(key);
  const bool same = stored == routeProblems.end() ? !text : (text && *text == stored->second);
  if (same)
    return;
  if (text)
    routeProblems.insert_or_assign(key, *text);
  else
    routeProblems.erase(key);
  reconcileIncoming();
}

void ServiceManager::relayRouteActivity(const RouteKey &key, int count) {
  expectMainQueue();
  if (count >= 1)
    activeRoutes.insert_or_assign(key, count);
  else
    activeRoutes.erase(key);
  reconcileIncoming();
}

void ServiceManager::relayNetworkChange() {
  expectMainQueue();
  refreshNetworkName();
}

void ServiceManager::scheduleAccessLogSave() {
  expectMainQueue();
  if (isPreview || (logSave && !logSave.isDone()))
    return;
  logSave = [](std::weak_ptr<ServiceManager> weak, std::weak_ptr<MainQueue> queue) -> Task {
    if (!co_await sleep(queue, AccessLog::saveDelay))
      co_return;
    if (auto self = weak.lock())
      AccessLog::save(self->accessLog.get(), *self->defaults_);
  }(weak_from_this(), mainQueue_);
}

} // namespace corvane

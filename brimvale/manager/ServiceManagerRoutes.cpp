// The ports paired Macs offer: one row each, a local port for each usable one, and the
// proxy's loopback routes.
#include "brimvale/manager/ServiceManager.h"
#include "brimvale/platform/Logger.h"
#include "brimvale/platform/Unicode.h"

#include <algorithm>
#include <cmath>
#include <unicode/coll.h>
#include <unordered_set>

namespace corvane {

namespace {

// Paired Macs by name, case-insensitively in the user's locale; equal names keep their order.
std::vector<PairedPeer> sortedByName(std::vector<PairedPeer> peers) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(icu::Locale(), status));
  if (U_FAILURE(status) || !collator) {
    std::stable_sort(peers.begin(), peers.end(), [](const auto &a, const auto &b) {
      return compareIgnoringCase(a.name, b.name) < 0;
    });
    return peers;
  }
  collator->setStrength(icu::Collator::SECONDARY);
  std::stable_sort(peers.begin(), peers.end(), [&](const auto &a, const auto &b) {
    UErrorCode error = U_ZERO_ERROR;
    return collator->compareUTF8(a.name, b.name, error) == UCOL_LESS;
  });
  return peers;
}

// Milliseconds for the views: rounded half away from zero, at least 1. Absent for a value that
// is not a usable measurement, so that nothing absurd reaches the integer.
std::optional<int> latencyMilliseconds(double seconds) {
  const double ms = std::round(seconds * 1000);
  if (!std::isfinite(ms) || ms < 0 || ms > 86'400'000)
    return std::nullopt;
  return std::max(1, static_cast<int>(ms));
}

// The remembered route ports to forget: where a Mac has more than `perPeer` remembered, its
// ports gone longest; those of shares still offered are always kept. Time alone forgets none,
// as a share gone for days may only be paused. Updates `goneSince`.
std::vector<std::string> routePortsToForget(const std::map<std::string, int> &localPorts,
                                            const std::unordered_set<std::string> &offered,
                                            std::unordered_map<std::string, double> &goneSince,
                                            double now, std::size_t perPeer) {
  std::vector<std::string> forget;
  std::map<std::string, std::size_t> kept; // by peer
  std::map<std::string, std::vector<std::pair<double, std::string>>> gone;
  for (const auto &[text, port] : localPorts) {
    const auto peer = text.substr(0, text.find('/'));
    ++kept[peer];
    if (offered.contains(text)) {
      goneSince.erase(text);
      continue;
    }
    gone[peer].emplace_back(goneSince.try_emplace(text, now).first->second, text);
  }
  for (auto &[peer, ports] : gone) {
    std::stable_sort(ports.begin(), ports.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    for (auto port = ports.begin(); kept[peer] > perPeer && port != ports.end(); ++port) {
      forget.push_back(port->second);
      --kept[peer];
    }
  }
  for (const auto &text : forget)
    goneSince.erase(text);
  std::erase_if(goneSince, [&](const auto &entry) { return !localPorts.contains(entry.first); });
  return forget;
}

} // namespace

std::string ServiceManager::routeTextKey(const RouteKey &key) {
  return key.peerID + "/" + key.serviceID;
}

bool ServiceManager::isLoopbackCandidateUsable(int port) const {
  // Whoever holds either address, even before listening, would get the clients that try it:
  // localhost is 127.0.0.1 for some and ::1 for others. Any other IPv6 failure means this
  // machine has no IPv6 loopback, and 127.0.0.1 alone serves.
  if (effects_.canBindLoopbackPort(AddressFamily::ipv4, port) != BindResult::free)
    return false;
  return effects_.canBindLoopbackPort(AddressFamily::ipv6, port) != BindResult::inUse;
}

std::optional<int> ServiceManager::chooseLocalPort(int remotePort, std::optional<int> remembered,
                                                   const std::set<int> &inUse,
                                                   const std::set<int> &givenUp,
                                                   bool &rememberedTaken) {
  const auto excluded = [&](int port) {
    return port < firstUserPort || port > 65535 || inUse.contains(port) || givenUp.contains(port);
  };
  const auto usable = [&](int port) { return !excluded(port) && isLoopbackCandidateUsable(port); };
  rememberedTaken = false;
  if (remembered && !excluded(*remembered)) {
    if (isLoopbackCandidateUsable(*remembered))
      return remembered;
    rememberedTaken = true;
  }
  if (usable(remotePort))
    return remotePort;
  int candidate = remotePort + portScanOffset;
  if (candidate > 65535)
    candidate = remotePort % 10000 + portScanWrapBase;
  for (int examined = 0; examined < portCandidateLimit; ++examined) {
    if (candidate > 65535)
      candidate = portScanOffset;
    if (candidate >= firstUserPort && usable(candidate))
      return candidate;
    ++candidate;
  }
  return std::nullopt;
}

void ServiceManager::reconcileIncoming() {
  expectMainQueue();
  std::set<int> ownPorts;
  for (const auto &service : preferences->services)
    ownPorts.insert(service.port);
  // Ports taken: this Mac's shares and every route's port, kept up to date through the pass.
  std::optional<std::set<int>> inUse;

  std::vector<IncomingService> rows;
  std::vector<ProxyManager::Route> routes;
  std::unordered_set<RouteKey> routed;
  std::unordered_set<RouteKey> liveKeys;
  const std::set<int> noneGivenUp;
  // New automatic choices, written to the settings once after the pass.
  std::map<std::string, int> remembered;
  std::unordered_set<std::string> offered;

  for (const auto &peer : sortedByName(pairedPeers.get())) {
    const auto live = liveServices.find(peer.deviceID);
    const bool isLive = live != liveServices.end();
    std::vector<SharedServiceInfo> list;
    if (isLive)
      list = live->second;
    else if (auto known = preferences->knownServices.find(peer.deviceID);
             known != preferences->knownServices.end())
      list = known->second;
    std::stable_sort(list.begin(), list.end(),
                     [](const auto &a, const auto &b) { return a.port < b.port; });
    const auto device = nearby.find(peer.deviceID);
    const auto lat = latency.find(peer.deviceID);
    std::optional<Date> lastSeen;
    if (const auto &seen = preferences->lastSeen)
      if (auto found = seen->find(peer.deviceID); found != seen->end())
        lastSeen = found->second;

    for (const auto &share : list) {
      RouteKey key{peer.deviceID, share.id};
      const auto textKey = routeTextKey(key);
      offered.insert(textKey);
      if (isLive)
        liveKeys.insert(key);
      std::optional<int> rememberedPort;
      if (auto found = preferences->localPorts.find(textKey);
          found != preferences->localPorts.end())
        rememberedPort = found->second;

      IncomingService row;
      row.key = key;
      row.peerName = peer.name;
      row.name = share.name;
      row.remotePort = share.port;
      if (auto assigned = assignedPorts.find(key); assigned != assignedPorts.end())
        row.localPort = assigned->second;
      else
        row.localPort = rememberedPort;

      if (preferences->disabledIncoming.contains(textKey)) {
        row.state = IncomingService::State::off();
      } else if (!isLive || device == nearby.end()) {
        row.state = IncomingService::State::asleep();
      } else if (!share.running) {
        row.state = IncomingService::State::notRunning();
      } else {
        if (!assignedPorts.contains(key)) {
          if (!inUse) {
            inUse = ownPorts;
            for (const auto &[other, port] : assignedPorts)
              inUse->insert(port);
          }
          const auto givenUp = givenUpPorts.find(key);
          bool rememberedTaken = false;
          if (auto port = chooseLocalPort(
                  share.port, rememberedPort, *inUse,
                  givenUp == givenUpPorts.end() ? noneGivenUp : givenUp->second, rememberedTaken)) {
            assignedPorts.insert_or_assign(key, *port);
            inUse->insert(*port);
            // Once per move: the new port is remembered, and the next pass starts from it.
            if (rememberedTaken)
              Logger::app().notice("Route to " + routeLogName(key) + ": port " +
                                   std::to_string(*rememberedPort) +
                                   ", where it listened before, is taken by another program; it "
                                   "now listens on " +
                                   std::to_string(*port));
          }
        }
        if (auto assigned = assignedPorts.find(key); assigned != assignedPorts.end()) {
          const int port = assigned->second;
          if (rememberedPort != port)
            remembered.insert_or_assign(textKey, port);
          routed.insert(key);
          routes.push_back(ProxyManager::Route{key, port, device->second.endpoint});
          row.localPort = port;
          const auto status = routeStatus.find(key);
          if (status != routeStatus.end() &&
              status->second.which() == ProxyManager::Status::Case::failed) {
            row.state = IncomingService::State::failed(status->second.text());
          } else {
            row.state = IncomingService::State::connected();
          }
        } else {
          row.state = IncomingService::State::failed(noFreePortText);
          row.localPort.reset();
        }
      }

      const bool connected = row.state.which() == IncomingService::State::Case::connected;
      if (connected && lat != latency.end())
        row.latencyMs = latencyMilliseconds(lat->second);
      if (connected) {
        auto active = activeRoutes.find(key);
        row.inUse = active != activeRoutes.end() && active->second > 0;
        if (auto problem = routeProblems.find(key); problem != routeProblems.end())
          row.problem = problem->second;
      }
      row.version = share.version;
      row.lastSeen = lastSeen;
      row.justWoke = wokeAt.contains(peer.deviceID);
      row.environment = share.environment;
      row.health = share.health;
      row.category = serviceCategoryFromRaw(share.category);
      row.hints = share.hints;
      rows.push_back(std::move(row));
    }
  }
  // What a paired Mac offered once must not make this Mac remember without bound; this pass's
  // choices count against the cap before they are saved.
  auto localPorts = preferences->localPorts;
  for (const auto &[textKey, port] : remembered)
    localPorts.insert_or_assign(textKey, port);
  const auto forget =
      routePortsToForget(localPorts, offered, routePortGoneSince, now(), routePortsPerPeer);
  if (!remembered.empty() || !forget.empty()) {
    for (const auto &textKey : forget)
      localPorts.erase(textKey);
    preferences.modify([&](Preferences &p) { p.localPorts = std::move(localPorts); });
    save();
  }

  const auto keep = [&](auto &map) {
    std::erase_if(map, [&](const auto &entry) { return !routed.contains(entry.first); });
  };
  keep(assignedPorts);
  keep(routeStatus);
  keep(routeProblems);
  keep(refusalLogs);
  keep(activeRoutes);
  std::erase_if(givenUpPorts, [&](const auto &entry) { return !liveKeys.contains(entry.first); });

  effects_.updateProxy(std::move(routes), pairKeys);
  evaluateNotifications(rows);
  incoming.set(std::move(rows));
}

std::vector<ServiceManager::IncomingGroup>
ServiceManager::groupIncomingByEnvironment(const std::vector<IncomingService> &rows) {
  std::vector<IncomingGroup> groups;
  IncomingGroup unnamed;
  for (const auto &row : rows) {
    if (!row.environment) {
      unnamed.rows.push_back(row);
      continue;
    }
    auto group = std::find_if(groups.begin(), groups.end(),
                              [&](const auto &g) { return g.environment == row.environment; });
    if (group == groups.end()) {
      groups.push_back(IncomingGroup{row.environment, {}});
      group = std::prev(groups.end());
    }
    group->rows.push_back(row);
  }
  if (!unnamed.rows.empty())
    groups.push_back(std::move(unnamed));
  return groups;
}

} // namespace corvane

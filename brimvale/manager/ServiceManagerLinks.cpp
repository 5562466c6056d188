// One control link to every nearby paired Mac, and what each link reports.
#include "brimvale/foundation/DisplayText.h"
#include "brimvale/manager/ServiceManager.h"
#include "brimvale/network/Addresses.h"
#include "brimvale/network/Wake.h"
#include "brimvale/platform/Logger.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

namespace corvane {

std::string ServiceManager::peerDisplayName(const std::string &deviceID) const {
  for (const auto &peer : pairedPeers.get())
    if (peer.deviceID == deviceID)
      return peer.name;
  return unknownMacName;
}

std::map<std::string, NearbyDevice>
ServiceManager::buildNearby(const std::map<std::string, NearbyDevice> &discovered,
                            const std::optional<std::map<std::string, std::string>> &addresses,
                            const std::vector<PairedPeer> &pairedPeers) {
  auto result = discovered;
  if (!addresses)
    return result;
  for (const auto &peer : pairedPeers) {
    if (result.contains(peer.deviceID))
      continue;
    const auto text = addresses->find(peer.deviceID);
    if (text == addresses->end())
      continue;
    const auto parsed = ManualAddress::parseManualAddress(text->second);
    if (!parsed)
      continue;
    result.emplace(peer.deviceID, NearbyDevice{peer.deviceID, peer.name,
                                               ManualAddress::endpoint(parsed->host, parsed->port,
                                                                       gatewayPreferredPort)});
  }
  return result;
}

std::shared_ptr<PeerLink>
ServiceManager::makeLink(const PairedPeer &peer, const NearbyDevice &device, const PairKeys &keys) {
  auto link = PeerLink::create(peer, device.endpoint, keys, deviceID_, linkQueue, setup_.link);
  const std::weak_ptr<ServiceManager> weak = weak_from_this();
  const auto queue = mainQueue_;
  const std::string id = peer.deviceID;
  auto hopTo = [weak, queue](auto work) {
    queue->post([weak, work = std::move(work)]() mutable {
      if (auto self = weak.lock(); self && !self->stopped_)
        work(*self);
    });
  };
  link->setOnServices([hopTo, id](std::vector<SharedServiceInfo> services,
                                  std::vector<std::string> hardware,
                                  std::optional<std::string> name) {
    hopTo([id, services = std::move(services), hardware = std::move(hardware),
           name = std::move(name)](ServiceManager &m) mutable {
      m.handleLinkEvent(std::move(services), std::move(hardware), std::move(name), id);
    });
  });
  link->setOnLatency([hopTo, id](double seconds) {
    hopTo([id, seconds](ServiceManager &m) { m.applyLatency(id, seconds); });
  });
  link->setOnDisconnect([hopTo, id] { hopTo([id](ServiceManager &m) { m.handleLinkLost(id); }); });
  link->setOnUnpaired(
      [hopTo, id] { hopTo([id](ServiceManager &m) { m.handlePeerUnpaired(id); }); });
  link->setOnSilence([hopTo, id] { hopTo([id](ServiceManager &m) { m.handleLinkSilence(id); }); });
  link->setOnSecurity(
      [hopTo, id](bool ok) { hopTo([id, ok](ServiceManager &m) { m.applySecurity(id, ok); }); });
  return link;
}

void ServiceManager::ensurePeerLinks(const std::optional<std::string> &forceFor) {
  expectMainQueue();
  nearby = buildNearby(discovered, preferences->addresses, pairedPeers.get());
  if (!isPreview && !stopped_) {
    std::set<std::string> paired;
    for (const auto &peer : pairedPeers.get())
      paired.insert(peer.deviceID);
    for (auto it = links.begin(); it != links.end();) {
      if (nearby.contains(it->first) && paired.contains(it->first)) {
        ++it;
        continue;
      }
      effects_.stopLink(it->second);
      liveServices.erase(it->first);
      it = links.erase(it);
    }
    for (const auto &peer : pairedPeers.get()) {
      const auto device = nearby.find(peer.deviceID);
      const auto keys = pairKeys.find(peer.deviceID);
      if (device == nearby.end() || keys == pairKeys.end())
        continue;
      if (auto link = links.find(peer.deviceID); link != links.end()) {
        effects_.updateLinkEndpoint(link->second, device->second.endpoint,
                                    forceFor == peer.deviceID);
        continue;
      }
      // The link carries the stored record, not the nickname the views show.
      const auto stored = peerStore->findPeer(peer.deviceID);
      auto link = makeLink(stored ? *stored : peer, device->second, keys->second);
      links.emplace(peer.deviceID, link);
      effects_.startLink(link);
    }
    refreshOnlinePeers();
  }
  reconcileIncoming();
}

void ServiceManager::refreshOnlinePeers() {
  expectMainQueue();
  std::set<std::string> online;
  for (const auto &[id, link] : links)
    if (discovered.contains(id) || liveServices.contains(id))
      online.insert(id);
  onlinePeerIDs.set(std::move(online));
}

void ServiceManager::handleLinkEvent(std::vector<SharedServiceInfo> services,
                                     std::vector<std::string> hardware,
                                     std::optional<std::string> name, const std::string &deviceID) {
  expectMainQueue();
  if (!links.contains(deviceID))
    return;
  if (name) {
    const auto cleaned = cleanDisplayText(*name, peerNameLimit);
    const auto stored = peerStore->findPeer(deviceID);
    if (!cleaned.empty() && stored && stored->name != cleaned) {
      peerStore->rename(deviceID, cleaned);
      refreshPairedPeers();
    }
  }
  auto cleanedServices = sanitizeReceivedServices(services);
  // Said once per count: a Mac that reconnects often sends the same list each time.
  const auto dropped = services.size() - std::min(services.size(), receivedServicesLimit);
  if (dropped == 0)
    droppedShares.erase(deviceID);
  else if (std::exchange(droppedShares[deviceID], dropped) != dropped)
    Logger::app().notice(peerDisplayName(deviceID) + " offers " + std::to_string(services.size()) +
                         " ports, more than the " + std::to_string(receivedServicesLimit) +
                         " a list may open; " + std::to_string(dropped) + " were dropped");

  std::vector<std::string> addresses;
  for (auto &text : hardware)
    if (parseHardwareAddress(text))
      addresses.push_back(std::move(text));
  if (addresses.size() > hardwareAddressLimit)
    addresses.resize(hardwareAddressLimit);

  const bool firstReport = !liveServices.contains(deviceID);
  const bool woken = wakingPeerIDs->contains(deviceID);
  if (woken) {
    wakingPeerIDs.modify([&](auto &set) { set.erase(deviceID); });
    wokeAt.insert_or_assign(deviceID, date());
    expireWokeAt(deviceID);
  }
  // Handed over before the new services are stored and stamped.
  if (firstReport)
    announceMacBack(deviceID, woken);
  if (firstReport)
    Logger::app().info("Linked to " + peerDisplayName(deviceID) + ", which offers " +
                       std::to_string(cleanedServices.size()) + " port(s)");

  const Date seen = date();
  std::erase_if(routeProblems, [&](const auto &entry) { return entry.first.peerID == deviceID; });
  liveServices.insert_or_assign(deviceID, cleanedServices);
  preferences.modify([&](Preferences &p) {
    if (!addresses.empty()) {
      if (!p.hardware)
        p.hardware.emplace();
      p.hardware->insert_or_assign(deviceID, addresses);
    }
    if (!p.lastSeen)
      p.lastSeen.emplace();
    p.lastSeen->insert_or_assign(deviceID, seen);
    p.knownServices.insert_or_assign(deviceID, std::move(cleanedServices));
  });
  save();
  refreshOnlinePeers();
  reconcileIncoming();
}

void ServiceManager::applyLatency(const std::string &deviceID, double sample) {
  expectMainQueue();
  if (!links.contains(deviceID))
    return;
  // A round trip is never negative, and one beyond a day is not a measurement.
  if (!std::isfinite(sample) || sample < 0 || sample > 86400)
    return;
  const auto previous = latency.find(deviceID);
  // Without an earlier value the blend is the sample itself; computed, it could come out a
  // rounding step below it.
  const double smoothed =
      previous == latency.end() ? sample : 0.3 * sample + 0.7 * previous->second;
  latency.insert_or_assign(deviceID, std::min(smoothed, sample));
  reconcileIncoming();
}

void ServiceManager::applySecurity(const std::string &deviceID, bool ok) {
  expectMainQueue();
  if (!links.contains(deviceID))
    return;
  forwardSecret.modify([&](auto &map) { map.insert_or_assign(deviceID, ok); });
}

void ServiceManager::handlePeerUnpaired(const std::string &deviceID) {
  expectMainQueue();
  if (!peerStore->findPeer(deviceID))
    return;
  const auto name = peerDisplayName(deviceID);
  unpair(deviceID);
  setNotice(name + " unpaired this Mac.");
}

void ServiceManager::handleLinkSilence(const std::string &deviceID) {
  expectMainQueue();
  if (!links.contains(deviceID))
    return;
  // Judged by the link alone: a stream's own socket cannot tell a machine gone from a reader
  // that pauses. The routes stay, so that the machine's return needs nothing new.
  effects_.resetProxyPeer(deviceID);
  char limit[32];
  std::snprintf(limit, sizeof limit, "%g", setup_.link.silenceLimit);
  Logger::app().notice(peerDisplayName(deviceID) + " has not answered for " + limit +
                       " s; its streams were reset");
}

void ServiceManager::handleLinkLost(const std::string &deviceID) {
  expectMainQueue();
  if (liveServices.contains(deviceID)) {
    const Date seen = date();
    preferences.modify([&](Preferences &p) {
      if (!p.lastSeen)
        p.lastSeen.emplace();
      p.lastSeen->insert_or_assign(deviceID, seen);
    });
    lastSeenUnsaved = true;
    Logger::app().info("Lost the link to " + peerDisplayName(deviceID));
  }
  latency.erase(deviceID);
  liveServices.erase(deviceID);
  refreshOnlinePeers();
  reconcileIncoming();
}

} // namespace corvane

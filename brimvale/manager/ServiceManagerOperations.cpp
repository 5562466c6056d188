// The user's operations on sharing as a whole, single shares, environments, incoming ports and
// trusted networks, forgetting a paired Mac, and the saving of the settings they change.
#include "brimvale/manager/ServiceManager.h"
#include "brimvale/platform/Unicode.h"

#include <algorithm>

namespace corvane {

Preferences ServiceManager::loadPreferences(UserDefaults &defaults) {
  return corvane::loadPreferences(defaults);
}

void ServiceManager::savePreferences(const Preferences &record, UserDefaults &defaults) {
  corvane::savePreferences(record, defaults);
}

void ServiceManager::save() {
  if (!isPreview)
    savePreferences(preferences.get(), *defaults_);
}

void ServiceManager::setSharingPaused(bool paused) {
  expectMainQueue();
  preferences.modify([&](Preferences &p) {
    // Resuming leaves the key out rather than storing false.
    p.sharingPaused = paused ? std::optional<bool>(true) : std::nullopt;
  });
  save();
  updateSharingState();
  publishSharingToControl();
}

void ServiceManager::setShareEnabled(const std::string &serviceID, bool on) {
  expectMainQueue();
  const auto &services = preferences->services;
  const auto found = std::find_if(services.begin(), services.end(),
                                  [&](const ExposedService &s) { return s.id == serviceID; });
  if (found == services.end())
    return;
  if (found->enabled != on) {
    // A share switched anew starts its health history afresh.
    healthTrackers.erase(serviceID);
    responding.erase(serviceID);
  }
  preferences.modify([&](Preferences &p) {
    for (auto &service : p.services)
      if (service.id == serviceID) {
        service.enabled = on;
        service.expires.reset();
      }
  });
  save();
  pushShares();
}

void ServiceManager::setEnvironmentEnabled(const std::string &environmentID, bool on) {
  expectMainQueue();
  const auto &environments = preferences->environments;
  if (!environments)
    return;
  const auto environment =
      std::find_if(environments->begin(), environments->end(),
                   [&](const ShareEnvironment &e) { return e.id == environmentID; });
  if (environment == environments->end())
    return;
  const std::set<std::string> members(environment->serviceIDs.begin(),
                                      environment->serviceIDs.end());
  for (const auto &service : preferences->services)
    if (members.contains(service.id) && service.enabled != on) {
      healthTrackers.erase(service.id);
      responding.erase(service.id);
    }
  preferences.modify([&](Preferences &p) {
    for (auto &service : p.services)
      if (members.contains(service.id)) {
        service.enabled = on;
        service.expires.reset();
      }
  });
  save();
  pushShares();
}

bool ServiceManager::isStillConnecting(const std::string &peerID) const {
  if (settlingUntil && *settlingUntil > now())
    return true;
  return discovered.contains(peerID) && !liveServices.contains(peerID);
}

void ServiceManager::trustNetwork(const std::string &name) {
  expectMainQueue();
  const auto trimmed = trimmingWhitespaceAndNewlines(name);
  if (trimmed.empty())
    return;
  const auto &trusted = preferences->trustedNetworks;
  if (trusted && std::find(trusted->begin(), trusted->end(), trimmed) != trusted->end())
    return;
  preferences.modify([&](Preferences &p) {
    if (!p.trustedNetworks)
      p.trustedNetworks.emplace();
    p.trustedNetworks->push_back(trimmed);
  });
  save();
  updateSharingState();
}

void ServiceManager::stopTrustingNetwork(const std::string &name) {
  expectMainQueue();
  preferences.modify([&](Preferences &p) {
    if (p.trustedNetworks)
      std::erase(*p.trustedNetworks, name);
  });
  save();
  updateSharingState();
}

void ServiceManager::requestLocationPermission() {
  expectMainQueue();
  // Reading the Wi-Fi name needs no permission on this system; there is nothing to ask.
}

void ServiceManager::setIncomingEnabled(const std::string &peerID, const std::string &serviceID,
                                        bool on) {
  expectMainQueue();
  const auto key = routeTextKey(RouteKey{peerID, serviceID});
  preferences.modify([&](Preferences &p) {
    if (on)
      p.disabledIncoming.erase(key);
    else
      p.disabledIncoming.insert(key);
  });
  save();
  reconcileIncoming();
}

void ServiceManager::unpair(const std::string &deviceID) {
  expectMainQueue();
  peerStore->remove(deviceID);
  forwardSecret.modify([&](auto &map) { map.erase(deviceID); });
  accessLog.modify([&](AccessLog &log) { log.forget(deviceID); });
  scheduleAccessLogSave();
  const std::string prefix = deviceID + "/";
  const auto ownedByPeer = [&](const std::string &key) { return key.starts_with(prefix); };
  preferences.modify([&](Preferences &p) {
    for (auto &service : p.services)
      if (service.allowed)
        service.allowed->erase(deviceID);
    p.knownServices.erase(deviceID);
    if (p.hardware)
      p.hardware->erase(deviceID);
    if (p.lastSeen)
      p.lastSeen->erase(deviceID);
    if (p.nicknames) {
      p.nicknames->erase(deviceID);
      if (p.nicknames->empty())
        p.nicknames.reset();
    }
    if (p.addresses) {
      p.addresses->erase(deviceID);
      if (p.addresses->empty())
        p.addresses.reset();
    }
    std::erase_if(p.localPorts, [&](const auto &entry) { return ownedByPeer(entry.first); });
    std::erase_if(p.disabledIncoming, ownedByPeer);
  });
  save();
  pushShares();
}

} // namespace corvane

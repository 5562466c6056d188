// Changes to one existing share or environment: hints, who may use a share, how long it stays
// on, which environment it belongs to, removing it, and creating, renaming and ungrouping
// environments. Each ends by saving, announcing the shares and rebuilding the rows.
#include "brimvale/manager/ServiceManager.h"
#include "brimvale/platform/Json.h"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace corvane {

namespace {

bool hasShare(const Preferences &p, const std::string &serviceID) {
  return std::ranges::find(p.services, serviceID, &ExposedService::id) != p.services.end();
}

bool hasEnvironment(const Preferences &p, const std::string &environmentID) {
  return p.environments && std::ranges::find(*p.environments, environmentID,
                                             &ShareEnvironment::id) != p.environments->end();
}

template <typename Change>
void changeShare(Published<Preferences> &preferences, const std::string &serviceID, Change change) {
  preferences.modify([&](Preferences &p) {
    for (auto &service : p.services)
      if (service.id == serviceID)
        change(service);
  });
}

} // namespace

void ServiceManager::detachFromEnvironments(const std::string &serviceID) {
  expectMainQueue();
  if (!preferences->environments)
    return;
  preferences.modify([&](Preferences &p) {
    auto &environments = *p.environments;
    for (auto &environment : environments)
      std::erase(environment.serviceIDs, serviceID);
    std::erase_if(environments, [](const ShareEnvironment &e) { return e.serviceIDs.empty(); });
    if (environments.empty())
      p.environments.reset();
  });
}

void ServiceManager::setHints(const std::string &serviceID,
                              const std::optional<ShareHints> &hints) {
  expectMainQueue();
  if (!hasShare(preferences.get(), serviceID))
    return;
  const auto cleaned = ShareHints::cleaned(hints);
  changeShare(preferences, serviceID, [&](ExposedService &service) { service.hints = cleaned; });
  save();
  pushShares();
}

void ServiceManager::setAllowedPeers(const std::string &serviceID,
                                     const std::optional<std::set<std::string>> &allowed) {
  expectMainQueue();
  if (!hasShare(preferences.get(), serviceID))
    return;
  changeShare(preferences, serviceID, [&](ExposedService &service) { service.allowed = allowed; });
  save();
  pushShares();
}

void ServiceManager::setPeerAllowed(const std::string &serviceID, const std::string &deviceID,
                                    bool on) {
  expectMainQueue();
  const auto &services = preferences->services;
  const auto share = std::ranges::find(services, serviceID, &ExposedService::id);
  if (share == services.end())
    return;
  // No set means every paired Mac: spell that out before changing one of them.
  std::set<std::string> allowed;
  if (share->allowed)
    allowed = *share->allowed;
  else
    for (const auto &peer : pairedPeers.get())
      allowed.insert(peer.deviceID);
  if (on)
    allowed.insert(deviceID);
  else
    allowed.erase(deviceID);
  setAllowedPeers(serviceID, allowed);
}

void ServiceManager::setExpiry(const std::string &serviceID, std::optional<Date> end) {
  expectMainQueue();
  const auto &services = preferences->services;
  const auto share = std::ranges::find(services, serviceID, &ExposedService::id);
  if (share == services.end())
    return;
  // Such a time could be neither compared nor stored.
  if (end && !std::isfinite(*end))
    return;
  if (!share->enabled) {
    healthTrackers.erase(serviceID);
    responding.erase(serviceID);
  }
  changeShare(preferences, serviceID, [&](ExposedService &service) {
    service.enabled = true;
    service.expires = end;
  });
  save();
  pushShares();
}

void ServiceManager::assignEnvironment(const std::string &serviceID,
                                       const std::optional<std::string> &environmentID) {
  expectMainQueue();
  if (!hasShare(preferences.get(), serviceID))
    return;
  detachFromEnvironments(serviceID);
  if (environmentID && hasEnvironment(preferences.get(), *environmentID))
    preferences.modify([&](Preferences &p) {
      for (auto &environment : *p.environments)
        if (environment.id == *environmentID) {
          environment.serviceIDs.push_back(serviceID);
          break;
        }
    });
  save();
  pushShares();
}

void ServiceManager::removeShare(const std::string &serviceID) {
  expectMainQueue();
  preferences.modify([&](Preferences &p) {
    std::erase_if(p.services, [&](const ExposedService &s) { return s.id == serviceID; });
  });
  detachFromEnvironments(serviceID);
  save();
  pushShares();
}

void ServiceManager::disconnectShareUser(const std::string &peerID, const std::string &serviceID) {
  expectMainQueue();
  // The gateway knows shares by their upper-case UUID text.
  std::string upper = serviceID;
  std::ranges::transform(upper, upper.begin(),
                         [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  effects_.disconnectAtGateway(peerID, upper);
}

void ServiceManager::ungroupEnvironment(const std::string &environmentID) {
  expectMainQueue();
  if (!hasEnvironment(preferences.get(), environmentID))
    return;
  preferences.modify([&](Preferences &p) {
    std::erase_if(*p.environments,
                  [&](const ShareEnvironment &e) { return e.id == environmentID; });
    if (p.environments->empty())
      p.environments.reset();
  });
  save();
  pushShares();
}

std::optional<ExposedService::ValidationError>
ServiceManager::createEnvironment(const std::string &name,
                                  const std::vector<std::string> &serviceIDs) {
  expectMainQueue();
  auto cleaned = validateEnvironmentName(name);
  if (!cleaned)
    return cleaned.error();
  std::vector<std::string> kept;
  for (const auto &id : serviceIDs)
    // A share is listed once, as it belongs to one environment at most.
    if (hasShare(preferences.get(), id) && std::ranges::find(kept, id) == kept.end())
      kept.push_back(id);
  if (!kept.empty()) {
    for (const auto &id : kept)
      detachFromEnvironments(id);
    preferences.modify([&](Preferences &p) {
      if (!p.environments)
        p.environments.emplace();
      p.environments->push_back(ShareEnvironment{makeUUID(), std::move(*cleaned), kept});
    });
  }
  save();
  pushShares();
  return std::nullopt;
}

std::optional<ExposedService::ValidationError>
ServiceManager::renameEnvironment(const std::string &environmentID, const std::string &name) {
  expectMainQueue();
  if (!hasEnvironment(preferences.get(), environmentID))
    return std::nullopt;
  auto cleaned = validateEnvironmentName(name, environmentID);
  if (!cleaned)
    return cleaned.error();
  preferences.modify([&](Preferences &p) {
    for (auto &environment : *p.environments)
      if (environment.id == environmentID)
        environment.name = *cleaned;
  });
  save();
  pushShares();
  return std::nullopt;
}

} // namespace corvane

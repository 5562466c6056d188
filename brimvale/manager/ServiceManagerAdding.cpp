// Adding shares of this Mac, one or a batch, and importing the ports of a compose file as one
// environment, reusing the shares that already exist for those ports.
#include "brimvale/catalogue/KnownServices.h"
#include "brimvale/foundation/DisplayText.h"
#include "brimvale/manager/ServiceManager.h"
#include "brimvale/platform/Unicode.h"

#include <algorithm>

namespace corvane {

namespace {

constexpr int shareNameLimit = static_cast<int>(maxShareNameLength);

} // namespace

ShareBatchResult ServiceManager::addShares(const std::vector<ShareCandidate> &candidates) {
  expectMainQueue();
  // A port that carries another Mac's service here cannot be shared as this Mac's own.
  std::set<int> proxiedPorts;
  for (const auto &row : incoming.get())
    if (row.localPort)
      proxiedPorts.insert(*row.localPort);

  ShareBatchResult result;
  preferences.modify(
      [&](Preferences &p) { result = corvane::addShares(p.services, candidates, proxiedPorts); });
  if (result.added.empty())
    return result;

  std::optional<std::string> tip;
  for (const auto &share : result.added)
    if (auto row = KnownService::lookup(share.name, share.port); row && row->caveat) {
      tip = row->caveat;
      break;
    }
  sharingTip.set(std::move(tip));
  save();
  // The new shares reach the gateway and the rows through the probe pass.
  hop([](ServiceManager &self) { self.probeSharedPorts(); });
  return result;
}

std::optional<ExposedService::ValidationError>
ServiceManager::addShare(const std::string &name, int port,
                         ExposedService::ServiceCategory category) {
  expectMainQueue();
  const auto result = addShares({ShareCandidate{name, port, category}});
  if (result.failed.empty())
    return std::nullopt;
  return result.failed.front().error;
}

std::optional<ShareEnvironment>
ServiceManager::findEnvironment(const std::string &serviceID) const {
  if (const auto &environments = preferences->environments)
    for (const auto &environment : *environments)
      if (std::ranges::find(environment.serviceIDs, serviceID) != environment.serviceIDs.end())
        return environment;
  return std::nullopt;
}

std::optional<ShareEnvironment> ServiceManager::environmentNamed(const std::string &name) const {
  const std::string cleaned = cleanDisplayText(name, shareNameLimit);
  // Nothing can be called by an empty name, even an environment stored without one.
  if (cleaned.empty() || !preferences->environments)
    return std::nullopt;
  for (const auto &environment : *preferences->environments)
    if (equalsIgnoringCase(environment.name, cleaned))
      return environment;
  return std::nullopt;
}

std::expected<std::string, ExposedService::ValidationError>
ServiceManager::validateEnvironmentName(const std::string &name,
                                        const std::optional<std::string> &skipID) const {
  static const std::vector<ShareEnvironment> none;
  const auto &environments = preferences->environments;
  return corvane::validateEnvironmentName(name, environments ? *environments : none, skipID);
}

std::optional<ExposedService::ValidationError>
ServiceManager::checkEnvironmentName(const std::string &name) const {
  // An existing environment of that name is joined rather than refused.
  if (environmentNamed(name))
    return std::nullopt;
  if (auto cleaned = validateEnvironmentName(name); !cleaned)
    return cleaned.error();
  return std::nullopt;
}

ServiceManager::EnvironmentImport
ServiceManager::shareAsEnvironment(const std::string &name,
                                   const std::vector<ShareCandidate> &candidates) {
  expectMainQueue();
  if (checkEnvironmentName(name))
    return {};

  std::set<std::string> taken;
  for (const auto &service : preferences->services)
    taken.insert(foldingCase(service.name));
  std::vector<std::string> members;
  std::vector<ShareCandidate> fresh;
  bool changed = false;
  const Date current = date();

  for (const auto &candidate : candidates) {
    const auto &services = preferences->services;
    const auto existing = std::ranges::find(services, candidate.port, &ExposedService::port);
    if (existing != services.end()) {
      const std::string id = existing->id;
      if (std::ranges::find(members, id) == members.end())
        members.push_back(id);
      const bool paused = !existing->enabled;
      const bool ended = existing->enabled && existing->expires && !(*existing->expires > current);
      if (paused || ended) {
        if (paused) {
          // Switched on anew, its health is judged from scratch.
          healthTrackers.erase(id);
          responding.erase(id);
        }
        preferences.modify([&](Preferences &p) {
          for (auto &service : p.services)
            if (service.id == id) {
              service.enabled = true;
              service.expires.reset();
            }
        });
        changed = true;
      }
      continue;
    }
    // Names from a file are cleaned like every text from outside; one character more than a
    // share may have is kept, so that a name too long is still refused rather than cut.
    std::string shareName = cleanDisplayText(candidate.name, shareNameLimit + 1);
    const std::string cleaned = cleanDisplayText(candidate.name, shareNameLimit);
    if (taken.contains(foldingCase(cleaned))) {
      std::string suffix = " ";
      suffix += std::to_string(candidate.port);
      const auto room = maxShareNameLength - std::min(characterCount(suffix), maxShareNameLength);
      shareName = trimmingWhitespaceAndNewlines(characterPrefix(cleaned, room)) + suffix;
    }
    taken.insert(foldingCase(cleanDisplayText(shareName, shareNameLimit)));
    fresh.push_back(ShareCandidate{shareName, candidate.port, candidate.category});
  }

  auto batch = addShares(fresh);
  for (const auto &share : batch.added)
    members.push_back(share.id);

  // Members in the order of the ticked ports; others after them, as they were.
  const auto position = [&](const std::string &id) {
    const auto &services = preferences->services;
    const auto share = std::ranges::find(services, id, &ExposedService::id);
    if (share == services.end())
      return candidates.size();
    const auto at = std::ranges::find(candidates, share->port, &ShareCandidate::port);
    return static_cast<std::size_t>(at - candidates.begin());
  };
  std::ranges::stable_sort(members, {}, position);

  EnvironmentImport result;
  result.failed = std::move(batch.failed);
  if (members.empty())
    return result;

  const auto finish = [&] {
    if (changed) {
      save();
      pushShares();
    }
  };
  if (auto joined = environmentNamed(name)) {
    for (const auto &member : members) {
      const auto &environments = preferences->environments;
      bool listed = false;
      if (environments)
        for (const auto &environment : *environments)
          if (environment.id == joined->id)
            listed =
                std::ranges::find(environment.serviceIDs, member) != environment.serviceIDs.end();
      if (!listed)
        assignEnvironment(member, joined->id);
    }
    finish();
    result.environmentID = joined->id;
    return result;
  }
  createEnvironment(name, members);
  finish();
  if (auto created = findEnvironment(members.front()))
    result.environmentID = created->id;
  return result;
}

} // namespace corvane

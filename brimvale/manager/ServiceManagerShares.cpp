// This Mac's shares: what paired Macs are told, the rows with their live state, and the
// cleaning of lists that paired Macs send.
#include "brimvale/foundation/DisplayText.h"
#include "brimvale/manager/ServiceManager.h"
#include "brimvale/platform/Unicode.h"

#include <algorithm>
#include <unordered_set>

namespace corvane {

std::vector<ShareUser> ServiceManager::shareUsers(const std::string &serviceID,
                                                  const std::vector<Gateway::Session> &sessions,
                                                  const std::map<std::string, std::string> &names) {
  std::map<std::string, int> counts;
  for (const auto &session : sessions)
    if (session.serviceID == serviceID)
      ++counts[session.peerID];
  std::vector<ShareUser> users;
  users.reserve(counts.size());
  for (const auto &[peerID, count] : counts) {
    const auto name = names.find(peerID);
    users.push_back(ShareUser{peerID, name == names.end() ? unknownMacName : name->second, count});
  }
  // Plain code-point order, case-sensitive; the identifier decides between equal names.
  std::stable_sort(users.begin(), users.end(), [](const ShareUser &a, const ShareUser &b) {
    return std::tie(a.name, a.peerID) < std::tie(b.name, b.peerID);
  });
  return users;
}

void ServiceManager::recomputeOutgoing() {
  expectMainQueue();
  std::map<std::string, std::string> names;
  for (const auto &peer : pairedPeers.get())
    names.emplace(peer.deviceID, peer.name);
  std::vector<OutgoingService> rows;
  rows.reserve(preferences->services.size());
  for (const auto &service : preferences->services) {
    OutgoingService row;
    row.service = service;
    row.users = shareUsers(service.id, sessions, names);
    row.running = runningHosts.contains(service.port);
    for (const auto &user : row.users)
      row.connections += user.connections;
    if (auto found = responding.find(service.id); found != responding.end())
      row.responding = found->second;
    rows.push_back(std::move(row));
  }
  outgoing.set(std::move(rows));
}

ServiceManager::Announcement ServiceManager::announceShares() const {
  Announcement announcement;
  if (sharingState->which != SharingState::Case::on)
    return announcement;
  const Date current = date();
  const auto &environments = preferences->environments;
  for (const auto &service : preferences->services) {
    if (!service.enabled || (service.expires && !(*service.expires > current)))
      continue;
    SharedServiceInfo info;
    info.id = service.id;
    info.name = service.name;
    info.port = service.port;
    info.running = runningHosts.contains(service.port);
    info.category = std::string(rawValue(service.category));
    if (auto version = versions.find(service.id); version != versions.end())
      info.version = version->second;
    if (environments)
      for (const auto &environment : *environments)
        if (std::ranges::find(environment.serviceIDs, service.id) != environment.serviceIDs.end()) {
          info.environment = environment.name;
          break;
        }
    if (auto found = responding.find(service.id); found != responding.end() && !found->second)
      info.health = "not responding";
    info.hints = service.hints;
    announcement.services.push_back(std::move(info));
    if (service.allowed)
      announcement.access.insert_or_assign(service.id, *service.allowed);
  }
  return announcement;
}

void ServiceManager::pushShares() {
  auto announcement = announceShares();
  effects_.updateGateway(std::move(announcement.services), std::move(announcement.access));
  recomputeOutgoing();
}

std::vector<SharedServiceInfo>
ServiceManager::sanitizeReceivedServices(const std::vector<SharedServiceInfo> &list) {
  std::vector<SharedServiceInfo> cleaned;
  // Two rows with one id would share one route key, and so one listener.
  std::unordered_set<std::string> ids;
  const auto count = std::min(list.size(), receivedServicesLimit);
  for (std::size_t index = 0; index < count; ++index) {
    const auto &entry = list[index];
    if (entry.port < 1 || entry.port > 65535 || entry.id.empty() ||
        characterCount(entry.name) > receivedTextLimit ||
        characterCount(entry.id) > receivedTextLimit || ids.contains(entry.id))
      continue;
    SharedServiceInfo service = entry;
    service.name = cleanDisplayText(entry.name, static_cast<int>(receivedTextLimit));
    if (service.name.empty())
      continue;
    service.version.reset();
    if (entry.version) {
      auto version = characterPrefix(
          trimmingWhitespaceAndNewlines(removingControlCharacters(*entry.version)), 24);
      if (!version.empty())
        service.version = std::move(version);
    }
    service.environment.reset();
    if (entry.environment) {
      auto environment = cleanDisplayText(*entry.environment, 40);
      if (!environment.empty())
        service.environment = std::move(environment);
    }
    if (entry.health != std::optional<std::string>("not responding"))
      service.health.reset();
    service.hints = ShareHints::cleaned(entry.hints);
    ids.insert(service.id);
    cleaned.push_back(std::move(service));
  }
  return cleaned;
}

} // namespace corvane

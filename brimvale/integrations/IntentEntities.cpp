#include "brimvale/integrations/IntentEntities.h"

#include "brimvale/integrations/PortResolution.h"
#include "brimvale/platform/Unicode.h"

#include <algorithm>

namespace corvane {

namespace {

bool listed(const std::vector<std::string> &ids, const std::string &id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

std::vector<ShareEnvironment> environmentsOf(const ServiceManager &manager) {
  return manager.preferences->environments.value_or(std::vector<ShareEnvironment>{});
}

} // namespace

std::string ShareEntity::subtitle() const {
  return "Port " + std::to_string(port) + (enabled ? "" : ", paused");
}

std::string EnvironmentEntity::subtitle() const {
  return count == 1 ? "1 port" : std::to_string(count) + " ports";
}

std::string_view rawValue(Switch value) {
  return value == Switch::on ? "on" : "off";
}

std::optional<Switch> switchFromRaw(std::string_view raw) {
  if (raw == "on")
    return Switch::on;
  if (raw == "off")
    return Switch::off;
  return std::nullopt;
}

std::string_view title(Switch value) {
  return value == Switch::on ? "On" : "Off";
}

PortEntity portEntity(const IncomingService &port) {
  PortEntity entity{portIdentifier(port.key), port.name, port.peerName, {}};
  using Case = IncomingService::State::Case;
  switch (port.state.which()) {
  case Case::connected:
    if (port.localPort)
      entity.detail = "localhost:" + std::to_string(*port.localPort);
    else if (port.latencyMs)
      entity.detail = std::to_string(*port.latencyMs) + " ms";
    else
      entity.detail = "ready";
    break;
  case Case::asleep: entity.detail = "asleep"; break;
  case Case::notRunning: entity.detail = "not running"; break;
  case Case::off: entity.detail = "off"; break;
  case Case::failed: entity.detail = port.state.sentence(); break;
  }
  return entity;
}

std::vector<PortEntity> portEntities(const std::vector<IncomingService> &ports) {
  std::vector<PortEntity> entities;
  entities.reserve(ports.size());
  for (const auto &port : ports)
    entities.push_back(portEntity(port));
  return entities;
}

ShareEntity shareEntity(const ExposedService &share) {
  return {share.id, share.name, share.port, share.enabled};
}

EnvironmentEntity environmentEntity(const ShareEnvironment &environment) {
  return {environment.id, environment.name,
          static_cast<std::int64_t>(environment.serviceIDs.size())};
}

std::vector<PortEntity> PortQuery::entitiesFor(const std::vector<std::string> &ids) const {
  std::vector<PortEntity> found;
  if (auto strong = manager.lock())
    for (const auto &port : strong->incoming.get())
      if (listed(ids, portIdentifier(port.key)))
        found.push_back(portEntity(port));
  return found;
}

std::vector<PortEntity> PortQuery::entitiesMatching(std::string_view text) const {
  auto strong = manager.lock();
  return strong ? portEntities(searchPorts(text, strong->incoming.get()))
                : std::vector<PortEntity>{};
}

std::vector<PortEntity> PortQuery::suggestedEntities() const {
  auto strong = manager.lock();
  return strong ? portEntities(strong->incoming.get()) : std::vector<PortEntity>{};
}

std::vector<ShareEntity> ShareQuery::entitiesFor(const std::vector<std::string> &ids) const {
  std::vector<ShareEntity> found;
  if (auto strong = manager.lock())
    for (const auto &share : strong->preferences->services)
      if (listed(ids, share.id))
        found.push_back(shareEntity(share));
  return found;
}

std::vector<ShareEntity> ShareQuery::entitiesMatching(std::string_view text) const {
  std::vector<ShareEntity> found;
  if (auto strong = manager.lock())
    for (const auto &share : strong->preferences->services)
      if (text.empty() || containsIgnoringCase(share.name, text) ||
          std::to_string(share.port) == text)
        found.push_back(shareEntity(share));
  return found;
}

std::vector<ShareEntity> ShareQuery::suggestedEntities() const {
  return entitiesMatching("");
}

std::vector<EnvironmentEntity>
EnvironmentQuery::entitiesFor(const std::vector<std::string> &ids) const {
  std::vector<EnvironmentEntity> found;
  if (auto strong = manager.lock())
    for (const auto &environment : environmentsOf(*strong))
      if (listed(ids, environment.id))
        found.push_back(environmentEntity(environment));
  return found;
}

std::vector<EnvironmentEntity> EnvironmentQuery::entitiesMatching(std::string_view text) const {
  std::vector<EnvironmentEntity> found;
  if (auto strong = manager.lock())
    for (const auto &environment : environmentsOf(*strong))
      if (text.empty() || containsIgnoringCase(environment.name, text))
        found.push_back(environmentEntity(environment));
  return found;
}

std::vector<EnvironmentEntity> EnvironmentQuery::suggestedEntities() const {
  return entitiesMatching("");
}

} // namespace corvane

#pragma once

#include "brimvale/foundation/ServiceRecords.h"
#include "brimvale/foundation/ShareModel.h"
#include "brimvale/manager/ServiceManager.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// What automations see of the system: ports that paired machines offer, this machine's shares,
// its environments, and the on/off switch. Entities are snapshots built from the service
// manager's published state; nothing is written back through them.

// A port a paired machine offers, as this machine shows it at localhost.
struct PortEntity {
  static constexpr const char *typeName = "Port";
  static constexpr const char *countSuffix = " ports";
  static constexpr const char *image = "point.3.connected.trianglepath.dotted";

  std::string id; // the route key: device identifier, "/", share identifier
  std::string name;
  std::string peerName;
  std::string detail; // a short state text

  std::string title() const { return name + " on " + peerName; }
  const std::string &subtitle() const { return detail; }
  // The words a search also finds the port by.
  std::vector<std::string> keywords() const { return {name, peerName, "port", "Corvane"}; }

  bool operator==(const PortEntity &) const = default;
};

// One of this machine's shares.
struct ShareEntity {
  static constexpr const char *typeName = "Shared Port";
  static constexpr const char *countSuffix = " shared ports";

  std::string id; // the share's identifier
  std::string name;
  std::int64_t port = 0;
  bool enabled = false;

  const std::string &title() const { return name; }
  // "Port <port>", then ", paused" when switched off.
  std::string subtitle() const;

  bool operator==(const ShareEntity &) const = default;
};

// A group of shares that start and pause together.
struct EnvironmentEntity {
  static constexpr const char *typeName = "Environment";
  static constexpr const char *countSuffix = " environments";

  std::string id;
  std::string name;
  std::int64_t count = 0; // entries in the environment, whether or not those shares still exist

  const std::string &title() const { return name; }
  // "1 port", else the count and " ports".
  std::string subtitle() const;

  bool operator==(const EnvironmentEntity &) const = default;
};

// On or off, as the switching intents take it.
enum class Switch : std::uint8_t { on, off };

inline constexpr const char *switchTypeName = "On or Off";
std::string_view rawValue(Switch value);
// Exactly "on" or "off"; anything else (even "On") is no switch.
std::optional<Switch> switchFromRaw(std::string_view raw);
// "On" or "Off".
std::string_view title(Switch value);

// "<count> ports", "<count> shared ports", ... for a list of entities of the type.
template <typename Entity> std::string countText(std::int64_t count) {
  return std::to_string(count) + Entity::countSuffix;
}

// The port entity of an incoming port; its detail says how it can be reached:
// "localhost:<port>" when connected with a local port, "<n> ms" with only a latency, "ready"
// with neither; "asleep", "not running", "off", or a failure's own sentence.
PortEntity portEntity(const IncomingService &port);
std::vector<PortEntity> portEntities(const std::vector<IncomingService> &ports);
ShareEntity shareEntity(const ExposedService &share);
EnvironmentEntity environmentEntity(const ShareEnvironment &environment);

// The queries resolve stored identifiers, search typed text and offer suggestions. Each reads
// the manager's state afresh; call them on the main queue. None fails: what matches nothing
// gives fewer or no entities, and so does a manager that is gone.

// Ports, in the order of the manager's incoming list.
struct PortQuery {
  std::weak_ptr<ServiceManager> manager;

  // Ports whose identifier is exactly one of `ids`, each once, in the list's order.
  std::vector<PortEntity> entitiesFor(const std::vector<std::string> &ids) const;
  // Ports whose name, Mac, version and environment hold every word of `text`.
  std::vector<PortEntity> entitiesMatching(std::string_view text) const;
  std::vector<PortEntity> suggestedEntities() const;
};

// This machine's shares as stored, switched-off ones included, in stored order.
struct ShareQuery {
  std::weak_ptr<ServiceManager> manager;

  std::vector<ShareEntity> entitiesFor(const std::vector<std::string> &ids) const;
  // Every share for empty text; else those whose name contains the text ignoring case, or
  // whose port is exactly the text in decimal digits.
  std::vector<ShareEntity> entitiesMatching(std::string_view text) const;
  std::vector<ShareEntity> suggestedEntities() const;
};

// The environments as stored (none when there are none), in stored order.
struct EnvironmentQuery {
  std::weak_ptr<ServiceManager> manager;

  std::vector<EnvironmentEntity> entitiesFor(const std::vector<std::string> &ids) const;
  // Every environment for empty text; else those whose name contains the text ignoring case.
  std::vector<EnvironmentEntity> entitiesMatching(std::string_view text) const;
  std::vector<EnvironmentEntity> suggestedEntities() const;
};

} // namespace corvane

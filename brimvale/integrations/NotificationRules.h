#pragma once

#include "brimvale/foundation/ServiceRecords.h"
#include "brimvale/platform/Clock.h"

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace corvane {

// Decides when a port offered by a paired Mac has been down long enough to tell the user, and
// tells each outage once. A value held by the service manager and changed in place on the main
// queue; not persisted, so every outage starts anew after a restart. Tables are keyed by
// `RouteKey::identifier()`.
struct NotificationRules {
  // One notification to post.
  struct Note {
    std::string title;
    std::string body;

    bool operator==(const Note &) const = default;
  };

  // How long a recently used port must have been failing before it is announced.
  static constexpr double outageDelay = 30.0;

  std::map<std::string, Date> downSince; // when each failing port was first seen failing
  std::set<std::string> announced;       // ports whose current outage was already announced
  // Last time each key was seen connected; written only by `stamp` (the owner decides the keys).
  std::map<std::string, Date> lastConnected;
  // When this Mac last went to sleep; kept for the owner's rule on Macs coming back.
  std::optional<Date> sleptAt;

  // The notes due now, in the order of `incoming`. `recentlyUsed` holds the keys of the ports
  // this Mac used recently; only those are announced.
  std::vector<Note> evaluate(const std::vector<IncomingService> &incoming,
                             const std::set<std::string> &recentlyUsed, Date now);

  // Sets the `lastConnected` entry of every key to `date`.
  void stamp(const std::set<std::string> &keys, Date date);

  // The body of a port's note, or absent when the port is not down.
  static std::optional<std::string> downReason(const IncomingService &service);
};

} // namespace corvane

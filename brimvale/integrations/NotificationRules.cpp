#include "brimvale/integrations/NotificationRules.h"

#include <cmath>

namespace corvane {

namespace {

constexpr const char *notResponding = "not responding";

bool endsSentence(const std::string &text) {
  return text.ends_with('.') || text.ends_with("\u2026") || text.ends_with('!') ||
         text.ends_with('?');
}

} // namespace

std::optional<std::string> NotificationRules::downReason(const IncomingService &service) {
  using Case = IncomingService::State::Case;
  switch (service.state.which()) {
  case Case::connected:
    if (service.health == notResponding)
      return "It stopped answering. " + service.peerName + " still shares it.";
    return std::nullopt;
  case Case::asleep:
  case Case::off: return std::nullopt;
  case Case::notRunning: return "It stopped running on " + service.peerName + ".";
  case Case::failed: {
    const std::string &text = service.state.sentence();
    std::string reason = "It can't be used on this Mac: " + text;
    if (!text.empty() && !endsSentence(text))
      reason += '.';
    return reason;
  }
  }
  return std::nullopt;
}

std::vector<NotificationRules::Note>
NotificationRules::evaluate(const std::vector<IncomingService> &incoming,
                            const std::set<std::string> &recentlyUsed, Date now) {
  std::set<std::string> offered;
  for (const auto &service : incoming)
    offered.insert(service.key.identifier());
  // A port that is no longer offered forgets its outage.
  std::erase_if(downSince, [&](const auto &entry) { return !offered.contains(entry.first); });
  std::erase_if(announced, [&](const auto &key) { return !offered.contains(key); });

  std::vector<Note> notes;
  for (const auto &service : incoming) {
    const std::string key = service.key.identifier();
    auto reason = downReason(service);
    if (!reason) {
      // Only a port seen answering ends its outage; asleep or off leaves it open.
      if (service.state.which() == IncomingService::State::Case::connected) {
        downSince.erase(key);
        announced.erase(key);
      }
      continue;
    }
    // An unknown time starts no outage clock: a stored NaN would never reach the delay.
    if (!std::isfinite(now))
      continue;
    Date since = downSince.try_emplace(key, now).first->second;
    if (recentlyUsed.contains(key) && !announced.contains(key) && now - since >= outageDelay) {
      announced.insert(key);
      notes.push_back({service.name + " on " + service.peerName, std::move(*reason)});
    }
  }
  return notes;
}

void NotificationRules::stamp(const std::set<std::string> &keys, Date date) {
  for (const auto &key : keys)
    lastConnected[key] = date;
}

} // namespace corvane

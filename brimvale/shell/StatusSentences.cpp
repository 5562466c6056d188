#include "brimvale/shell/StatusSentences.h"

#include "brimvale/catalogue/KnownServices.h"
#include "brimvale/platform/Unicode.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

namespace corvane {

namespace {

using Case = IncomingService::State::Case;

// Whole numbers from clock arithmetic, kept within range so that a date far off (or not a
// number) cannot overflow the conversion.
std::int64_t wholeNumber(double value) {
  constexpr double limit = 1e15;
  if (std::isnan(value))
    return 0;
  return static_cast<std::int64_t>(std::clamp(value, -limit, limit));
}

icu::UnicodeString unicode(std::string_view text) {
  return icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

std::string utf8(const icu::UnicodeString &text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

std::string lowercased(std::string_view text) {
  return utf8(unicode(text).toLower(icu::Locale::getRoot()));
}

std::string uppercased(std::string_view text) {
  return utf8(unicode(text).toUpper(icu::Locale::getRoot()));
}

// Pieces between spaces, empty ones dropped.
std::vector<std::string_view> wordsOf(std::string_view text) {
  std::vector<std::string_view> words;
  while (!text.empty()) {
    const auto space = text.find(' ');
    const auto word = text.substr(0, space);
    if (!word.empty())
      words.push_back(word);
    if (space == std::string_view::npos)
      break;
    text.remove_prefix(space + 1);
  }
  return words;
}

// A character counts as a letter or a number by its first scalar, as a reader would see it.
bool isLetterOrNumber(const std::string &cluster) {
  const auto scalars = unicodeScalars(cluster);
  if (scalars.empty())
    return false;
  const auto mask = U_GET_GC_MASK(static_cast<UChar32>(scalars.front()));
  return (mask & (U_GC_L_MASK | U_GC_N_MASK)) != 0;
}

std::string joined(const std::vector<std::string> &parts, std::string_view separator) {
  std::string out;
  for (const auto &part : parts) {
    if (!out.empty())
      out += separator;
    out += part;
  }
  return out;
}

std::string macs(std::size_t count) {
  return std::to_string(count) + " Macs";
}

} // namespace

std::string reachabilityText(const IncomingService &service) {
  switch (service.state.which()) {
  case Case::connected:
    return service.latencyMs ? std::to_string(*service.latencyMs) + " ms" : "ready";
  case Case::asleep: return "asleep";
  case Case::notRunning: return "not running";
  case Case::off: return "off";
  case Case::failed: return service.state.sentence();
  }
  return {};
}

std::string incomingStateText(const IncomingService &service, Date now) {
  switch (service.state.which()) {
  case Case::connected:
    if (service.justWoke)
      return "Just woke up";
    return service.inUse ? "In use now" : "Ready";
  case Case::asleep: {
    if (!service.lastSeen)
      return "Asleep or away";
    const std::int64_t minutes = wholeNumber(std::trunc((now - *service.lastSeen) / 60));
    if (minutes <= 0)
      return "Asleep or away just now";
    if (minutes <= 59)
      return "Asleep or away for " + std::to_string(minutes) + " min";
    if (minutes <= 2879)
      return "Asleep or away for " + std::to_string(minutes / 60) + " hr";
    return "Asleep or away for " + std::to_string(minutes / 1440) + " days";
  }
  case Case::notRunning: return "Not running on " + service.peerName;
  case Case::off: return "Turned off on this Mac";
  case Case::failed: return service.state.sentence();
  }
  return {};
}

std::optional<std::string> portMovedNotice(const IncomingService &service) {
  if (service.state.which() != Case::connected || !service.localPort ||
      *service.localPort == service.remotePort)
    return std::nullopt;
  return "Port " + std::to_string(service.remotePort) +
         " is already used on this Mac, so it's on " + std::to_string(*service.localPort) +
         " here.";
}

std::string incomingAccessibilityLabel(const IncomingService &service) {
  std::vector<std::string> parts{service.name + " from " + service.peerName};
  if (service.localPort)
    parts.push_back("localhost:" + std::to_string(*service.localPort));
  if (service.state.which() == Case::connected)
    parts.push_back(service.latencyMs
                        ? "connected, " + std::to_string(*service.latencyMs) + " milliseconds"
                        : "connected");
  else
    parts.push_back(reachabilityText(service));
  if (auto problem = incomingProblemText(service))
    parts.push_back(*problem);
  if (service.hints && service.hints->note)
    parts.push_back(*service.hints->note);
  return joined(parts, ", ");
}

std::string serviceMapLabel(const IncomingService &service) {
  if (auto known = KnownService::lookup(service.name, service.remotePort))
    return known->pill;
  const std::string lower = lowercased(service.name);
  const auto words = wordsOf(lower);
  return words.empty() ? std::string() : characterPrefix(words.front(), 6);
}

std::string serviceBadgeText(const IncomingService &service) {
  if (auto known = KnownService::lookup(service.name, service.remotePort))
    return known->tag;
  std::string letters;
  int kept = 0;
  for (const auto &cluster : graphemeClusters(service.name)) {
    if (kept == 3)
      break;
    if (isLetterOrNumber(cluster)) {
      letters += cluster;
      ++kept;
    }
  }
  return uppercased(letters);
}

std::optional<std::string> serviceDetailText(const IncomingService &service) {
  if (!service.version || service.version->empty())
    return std::nullopt;
  const auto pieces = wordsOf(*service.version);
  if (pieces.size() >= 2 && lowercased(service.name).starts_with(lowercased(pieces.front()))) {
    std::vector<std::string> rest(pieces.begin() + 1, pieces.end());
    return joined(rest, " ");
  }
  return *service.version;
}

std::string shareStatusText(const OutgoingService &share) {
  if (!share.service.enabled)
    return "off";
  if (!share.running)
    return "not running";
  if (share.responding == false)
    return "not responding";
  if (share.connections > 0)
    return std::to_string(share.connections) + " using";
  return {};
}

std::string shareAccessibilitySummary(const OutgoingService &share, bool sharingOn,
                                      std::string_view extra) {
  std::string status;
  if (!share.service.enabled)
    status = "paused";
  else if (sharingOn)
    status = share.running ? "shared" : "shared, not running";
  else
    status = "on, but sharing is paused";
  std::string summary =
      share.service.name + ", port " + std::to_string(share.service.port) + ", " + status;
  if (share.connections >= 1)
    summary += ", " + std::to_string(share.connections) + " using";
  if (!extra.empty())
    summary += ", " + std::string(extra);
  return summary;
}

std::string shareLimitsText(const ExposedService &share, Date now,
                            const std::map<std::string, std::string> &names) {
  std::vector<std::string> parts;
  if (share.enabled && share.expires) {
    const std::int64_t minutes =
        std::max<std::int64_t>(1, wholeNumber(std::ceil((*share.expires - now) / 60)));
    parts.push_back(minutes <= 59 ? std::to_string(minutes) + " min left"
                                  : std::to_string(minutes / 60) + " hr left");
  }
  if (share.allowed) {
    if (share.allowed->empty()) {
      parts.emplace_back("no one");
    } else if (share.allowed->size() == 1) {
      const auto name = names.find(*share.allowed->begin());
      parts.push_back("only " + (name != names.end() ? name->second : std::string("1 Mac")));
    } else {
      parts.push_back(macs(share.allowed->size()));
    }
  }
  return joined(parts, " \u00B7 ");
}

std::string shareAccessText(const ExposedService &share, Date now,
                            const std::vector<PairedPeer> &pairedPeers) {
  std::map<std::string, std::string> names;
  for (const auto &peer : pairedPeers)
    names[peer.deviceID] = peer.name;
  return shareLimitsText(share, now, names);
}

std::string pairedSummaryText(const std::vector<PairedPeer> &pairedPeers,
                              const std::set<std::string> &onlinePeerIDs) {
  const std::size_t paired = pairedPeers.size();
  const std::size_t online = onlinePeerIDs.size();
  if (paired == 0)
    return "No Macs paired yet";
  if (paired == 1)
    return online > 0 ? "1 Mac paired, encrypted" : "1 Mac paired, not nearby";
  if (online > 0)
    return std::to_string(online) + " of " + macs(paired) + " nearby, encrypted";
  return macs(paired) + " paired, none nearby";
}

std::string panelSubtitleText(const std::vector<PairedPeer> &pairedPeers,
                              const std::set<std::string> &onlinePeerIDs,
                              const std::optional<std::string> &networkName) {
  if (pairedPeers.empty())
    return "No Macs paired yet";
  const std::size_t online = onlinePeerIDs.size();
  const std::string network = networkName.value_or("this network");
  if (online == 1)
    return "On " + network + " \u00B7 1 Mac nearby";
  if (online >= 2)
    return "On " + network + " \u00B7 " + macs(online) + " nearby";
  return networkName ? "Looking on " + *networkName + "\u2026" : "Looking on this network\u2026";
}

std::optional<std::string> networkPermissionActionTitle(const SharingState &sharingState,
                                                        NetworkName::Permission permission) {
  if (sharingState.which != SharingState::Case::offTrustedNetworks || sharingState.wifiName)
    return std::nullopt;
  switch (permission) {
  case NetworkName::Permission::allowed: return std::nullopt;
  case NetworkName::Permission::denied: return "Open Settings";
  case NetworkName::Permission::undecided: return "Allow";
  }
  return std::nullopt;
}

std::vector<PairedPeer> peersByPairingDate(const std::vector<PairedPeer> &pairedPeers) {
  std::vector<PairedPeer> sorted = pairedPeers;
  std::ranges::stable_sort(sorted, {}, &PairedPeer::pairedAt);
  return sorted;
}

std::vector<PeerRows> incomingGroupedByPeer(const std::vector<PairedPeer> &pairedPeers,
                                            const std::vector<IncomingService> &incoming) {
  std::vector<PeerRows> groups;
  for (auto &peer : peersByPairingDate(pairedPeers)) {
    PeerRows group{std::move(peer), {}};
    for (const auto &row : incoming)
      if (row.key.peerID == group.peer.deviceID)
        group.rows.push_back(row);
    groups.push_back(std::move(group));
  }
  return groups;
}

int peerColorIndex(const std::vector<PairedPeer> &pairedPeers, std::string_view deviceID) {
  const auto sorted = peersByPairingDate(pairedPeers);
  const auto found = std::ranges::find(sorted, deviceID, &PairedPeer::deviceID);
  return found == sorted.end() ? 0 : static_cast<int>(found - sorted.begin());
}

bool hasFailingIncoming(const std::vector<IncomingService> &incoming) {
  return std::ranges::any_of(incoming, [](const IncomingService &service) {
    return service.state.which() == Case::failed;
  });
}

} // namespace corvane

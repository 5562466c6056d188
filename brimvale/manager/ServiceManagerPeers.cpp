// What the user sets or reads about one paired Mac (its nickname, a typed address, when it was
// last seen, whether it can be woken) and this Mac's own name.
#include "brimvale/foundation/DisplayText.h"
#include "brimvale/manager/ServiceManager.h"
#include "brimvale/platform/Unicode.h"

#include <algorithm>
#include <cmath>

namespace corvane {

namespace {

constexpr int nicknameLimit = 40;
constexpr int deviceNameLimit = 40;
constexpr std::size_t pairingNameLimit = 64;
// Minutes beyond this are shown as this many; it keeps the conversion to an integer defined
// for any stored time (about 1.9 million years).
constexpr double lastSeenMinutesCap = 1e12;

} // namespace

void ServiceManager::setNickname(const std::string &deviceID,
                                 const std::optional<std::string> &text) {
  expectMainQueue();
  if (!peerStore->findPeer(deviceID))
    return;
  const std::string cleaned = cleanDisplayText(text.value_or(""), nicknameLimit);
  preferences.modify([&](Preferences &p) {
    if (cleaned.empty()) {
      if (p.nicknames) {
        p.nicknames->erase(deviceID);
        if (p.nicknames->empty())
          p.nicknames.reset();
      }
      return;
    }
    if (!p.nicknames)
      p.nicknames.emplace();
    p.nicknames->insert_or_assign(deviceID, cleaned);
  });
  save();
  refreshPairedPeers();
  reconcileIncoming();
  recomputeOutgoing();
}

std::optional<ManualAddress::Problem>
ServiceManager::setManualAddress(const std::string &deviceID,
                                 const std::optional<std::string> &text) {
  expectMainQueue();
  if (!peerStore->findPeer(deviceID))
    return std::nullopt;
  const std::string trimmed = trimmingWhitespaceAndNewlines(text.value_or(""));
  std::optional<std::string> stored;
  if (!trimmed.empty()) {
    const auto parsed = ManualAddress::parseManualAddress(trimmed);
    if (!parsed)
      return parsed.error();
    stored = ManualAddress::displayText(parsed->host, parsed->port);
  }
  preferences.modify([&](Preferences &p) {
    if (stored) {
      if (!p.addresses)
        p.addresses.emplace();
      p.addresses->insert_or_assign(deviceID, *stored);
    } else if (p.addresses) {
      p.addresses->erase(deviceID);
    }
    if (p.addresses && p.addresses->empty())
      p.addresses.reset();
  });
  save();
  ensurePeerLinks(deviceID);
  return std::nullopt;
}

std::optional<std::string> ServiceManager::manualAddress(const std::string &deviceID) const {
  if (const auto &addresses = preferences->addresses)
    if (auto found = addresses->find(deviceID); found != addresses->end())
      return found->second;
  return std::nullopt;
}

std::string ServiceManager::lastSeenText(const std::string &deviceID) const {
  if (onlinePeerIDs->contains(deviceID))
    return "nearby now";
  std::optional<Date> seen;
  if (const auto &lastSeen = preferences->lastSeen)
    if (auto found = lastSeen->find(deviceID); found != lastSeen->end())
      seen = found->second;
  if (!seen || std::isnan(*seen))
    return "not nearby";
  const double seconds = date() - *seen;
  // A time in the future reads as now.
  if (std::isnan(seconds) || seconds < 60)
    return "seen just now";
  const auto minutes =
      static_cast<long long>(std::min(std::floor(seconds / 60), lastSeenMinutesCap));
  if (minutes < 60)
    return "seen " + std::to_string(minutes) + " min ago";
  if (minutes < 2880)
    return "seen " + std::to_string(minutes / 60) + " hr ago";
  return "seen " + std::to_string(minutes / 1440) + " days ago";
}

std::optional<std::string> ServiceManager::olderVersionNotice(const std::string &deviceID) const {
  const auto found = forwardSecret->find(deviceID);
  if (found == forwardSecret->end() || found->second)
    return std::nullopt;
  return peerDisplayName(deviceID) + " runs an older Corvane. Update it there for forward secrecy.";
}

bool ServiceManager::canWake(const std::string &deviceID) const {
  const auto &hardware = preferences->hardware;
  if (!hardware)
    return false;
  const auto found = hardware->find(deviceID);
  return found != hardware->end() && !found->second.empty();
}

void ServiceManager::wakePeer(const std::string &deviceID) {
  expectMainQueue();
  if (!canWake(deviceID) || wakingPeerIDs->contains(deviceID))
    return;
  wakingPeerIDs.modify([&](auto &set) { set.insert(deviceID); });
  if (isPreview)
    return;
  waitForWake(preferences->hardware->at(deviceID), deviceID, peerDisplayName(deviceID));
}

void ServiceManager::setDeviceName(const std::string &text) {
  expectMainQueue();
  std::string name = cleanDisplayText(text, deviceNameLimit);
  if (name.empty()) {
    name = systemDeviceName(setup_.hostName);
    // A preview instance never touches stored settings, not even to forget one.
    if (!isPreview)
      defaults_->remove(deviceNameKey);
  } else if (!isPreview) {
    defaults_->setString(deviceNameKey, name);
  }
  if (name == deviceName.get())
    return;
  deviceName.set(name);
  if (isPreview)
    return;
  gateway->rename(name);
  pairing->setDeviceName(characterPrefix(name, pairingNameLimit));
}

} // namespace corvane

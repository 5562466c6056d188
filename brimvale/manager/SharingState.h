#pragma once

#include "brimvale/network/NetworkName.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

// Whether this Mac offers its shares at all.
struct SharingState {
  enum class Case { on, pausedByYou, offTrustedNetworks };

  Case which = Case::on;
  // offTrustedNetworks only: the Wi-Fi name as read, when one is known.
  std::optional<std::string> wifiName;

  static SharingState on() { return {}; }
  static SharingState pausedByYou() { return {Case::pausedByYou, std::nullopt}; }
  static SharingState offTrustedNetworks(std::optional<std::string> name) {
    return {Case::offTrustedNetworks, std::move(name)};
  }

  bool operator==(const SharingState &) const = default;
};

// The pause switch first, then the trusted Wi-Fi names (compared trimmed, case-sensitive).
SharingState deriveSharingState(bool paused, const std::vector<std::string> &trusted,
                                const std::optional<std::string> &wifiName);

// The sentence beside the sharing switch; absent while sharing is on.
std::optional<std::string> sharingStatusText(const SharingState &state,
                                             NetworkName::Permission permission);

// This Mac's addresses as paired Macs would type them: with ":<port>" only when the gateway
// listens somewhere other than its default port.
std::vector<std::string> addPortToAddresses(const std::vector<std::string> &addresses,
                                            std::optional<std::uint16_t> port,
                                            std::uint16_t defaultPort);

} // namespace corvane

#pragma once

#include "brimvale/platform/Bytes.h"

#include <memory>
#include <optional>
#include <string>

namespace corvane {

// The name of the Wi-Fi network this machine is on. No Linux counterpart of a location
// permission guards it, so reading it is always allowed.
class WifiName {
public:
  virtual ~WifiName() = default;
  // Absent without Wi-Fi, without a name, or when it cannot be asked; never blocks for long.
  virtual std::optional<std::string> currentName() const = 0;
};

// Asks NetworkManager over the system bus, each D-Bus call bounded by `timeoutSeconds`.
std::unique_ptr<WifiName> makeNetworkManagerWifiName(double timeoutSeconds = 0.5);

// An SSID as a name: 1 to 32 bytes of well-formed UTF-8, otherwise absent.
std::optional<std::string> ssidText(const Bytes &ssid);

} // namespace corvane

#pragma once

#include "brimvale/network/NetworkName.h"
#include "brimvale/platform/Published.h"

#include <functional>
#include <optional>
#include <string>

namespace corvane {

class ServiceManager;

// What the settings window keeps while it is open and its sections share: which paired Mac's
// unpair confirmation, rename or address alert is open, and the last refused address. Lives
// as long as the window; nothing of it is stored. Main thread only.
struct SettingsState {
  struct AddressProblem {
    std::string deviceID;
    std::string sentence;
    bool operator==(const AddressProblem &) const = default;
  };

  Published<std::optional<std::string>> confirmingUnpair;
  Published<std::optional<std::string>> renaming;
  Published<std::optional<std::string>> addressing;
  Published<std::optional<AddressProblem>> addressProblem;
};

// The Wi-Fi name's permission and switch as the settings use them. Reading the name needs no
// permission on this system, so the real component reads as allowed; tests put in the
// undecided and denied states the window also draws.
struct SettingsNetwork {
  // The network-name component's permission: absent while the switch is off.
  std::function<std::optional<NetworkName::Permission>()> permission;
  // The manager's `locationPermission`.
  std::function<NetworkName::Permission()> locationPermission;
  // Stores the switch and has the manager read the network name again.
  std::function<void(bool on)> setShowNetworkName;
  // Whether the permission was never asked for, and asking for it.
  std::function<bool()> authorizationUndecided;
  std::function<void()> requestAuthorization;

  // The real component, over the manager's settings and state; `manager` must outlive it.
  static SettingsNetwork of(ServiceManager &manager);
};

} // namespace corvane

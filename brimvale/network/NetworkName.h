#pragma once

#include "brimvale/platform/UserDefaults.h"
#include "brimvale/platform/WifiName.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace corvane {

// The Wi-Fi network's name and the user's switch "showNetworkName". Lives on the main queue.
// Reading the name needs no permission here, so the permission reads as allowed whenever the
// switch is on and no request is ever made.
class NetworkName {
public:
  enum class Permission { allowed, denied, undecided };

  static constexpr const char *showNetworkNameKey = "showNetworkName";

  // `defaults` must outlive this object.
  NetworkName(UserDefaults &defaults, std::shared_ptr<const WifiName> wifi);

  // Called whenever the name, the switch or the permission may have changed.
  std::function<void()> onChange;

  // Absent while the switch is off.
  std::optional<Permission> permission() const;
  // Whatever the switch; the owner decides where it matters.
  std::optional<std::string> currentName() const;
  void setShowNetworkName(bool on);

private:
  UserDefaults &defaults_;
  std::shared_ptr<const WifiName> wifi_;
};

} // namespace corvane

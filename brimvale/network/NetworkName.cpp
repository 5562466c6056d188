#include "brimvale/network/NetworkName.h"

namespace corvane {

NetworkName::NetworkName(UserDefaults &defaults, std::shared_ptr<const WifiName> wifi)
    : defaults_(defaults), wifi_(std::move(wifi)) {}

std::optional<NetworkName::Permission> NetworkName::permission() const {
  if (!defaults_.boolean(showNetworkNameKey).value_or(false)) {
    return std::nullopt;
  }
  return Permission::allowed;
}

std::optional<std::string> NetworkName::currentName() const {
  if (!wifi_) {
    return std::nullopt;
  }
  auto name = wifi_->currentName();
  if (!name || name->empty()) {
    return std::nullopt;
  }
  return name;
}

void NetworkName::setShowNetworkName(bool on) {
  defaults_.setBool(showNetworkNameKey, on);
  if (onChange) {
    onChange();
  }
}

} // namespace corvane

#include "brimvale/manager/SharingState.h"

#include "brimvale/platform/Unicode.h"

namespace corvane {

namespace {
std::string trimmed(const std::string &text) {
  return trimmingWhitespaceAndNewlines(text);
}
} // namespace

SharingState deriveSharingState(bool paused, const std::vector<std::string> &trusted,
                                const std::optional<std::string> &wifiName) {
  if (paused)
    return SharingState::pausedByYou();
  if (trusted.empty())
    return SharingState::on();
  if (wifiName) {
    const auto name = trimmed(*wifiName);
    for (const auto &each : trusted)
      if (trimmed(each) == name)
        return SharingState::on();
  }
  return SharingState::offTrustedNetworks(wifiName);
}

std::optional<std::string> sharingStatusText(const SharingState &state,
                                             NetworkName::Permission permission) {
  switch (state.which) {
  case SharingState::Case::on: return std::nullopt;
  case SharingState::Case::pausedByYou:
    return "Sharing is paused. Paired Macs can't use your ports.";
  case SharingState::Case::offTrustedNetworks: break;
  }
  if (state.wifiName)
    return "Sharing is paused off your trusted networks. You're on " + *state.wifiName + ".";
  switch (permission) {
  case NetworkName::Permission::allowed:
    return "Sharing is paused: this Mac isn't on Wi-Fi, so it isn't on a trusted network.";
  case NetworkName::Permission::denied:
    return "Sharing is paused: Corvane isn't allowed to read the Wi-Fi name from "
           "NetworkManager.";
  case NetworkName::Permission::undecided:
    return "Sharing is paused until you let Corvane read the Wi-Fi name.";
  }
  return std::nullopt;
}

std::vector<std::string> addPortToAddresses(const std::vector<std::string> &addresses,
                                            std::optional<std::uint16_t> port,
                                            std::uint16_t defaultPort) {
  if (!port || *port == defaultPort)
    return addresses;
  std::vector<std::string> result;
  result.reserve(addresses.size());
  for (const auto &address : addresses)
    result.push_back(address + ":" + std::to_string(*port));
  return result;
}

} // namespace corvane

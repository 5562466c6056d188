// Whether this Mac shares at all: the pause switch, the trusted Wi-Fi networks, the control's
// requests, and the keys of the paired Macs.
#include "brimvale/manager/ServiceManager.h"
#include "brimvale/platform/Logger.h"

namespace corvane {

void ServiceManager::refreshNetworkName() {
  expectMainQueue();
  if (!isPreview) {
    const auto current = network->currentName();
    const bool show = defaults_->boolean(NetworkName::showNetworkNameKey).value_or(false);
    networkName.set(show ? current : std::nullopt);
    wifiName.set(current);
    // Nothing guards the Wi-Fi name here, so reading it is always allowed.
    locationPermission.set(NetworkName::Permission::allowed);
  }
  updateSharingState();
}

void ServiceManager::updateSharingState() {
  expectMainQueue();
  const auto &p = preferences.get();
  static const std::vector<std::string> none;
  const auto state =
      deriveSharingState(p.sharingPaused.value_or(false),
                         p.trustedNetworks ? *p.trustedNetworks : none, wifiName.get());
  if (!sharingState.set(state))
    return;
  // Paired Macs see nothing while sharing is paused: announceShares is empty then.
  pushShares();
}

void ServiceManager::applyControlRequest() {
  expectMainQueue();
  // Publishing takes the pending request first.
  publishSharingToControl();
}

void ServiceManager::rebuildPairKeys() {
  expectMainQueue();
  pairKeys.clear();
  for (const auto &peer : peerStore->peers()) {
    if (auto keys = PairKeys::deriveKeys(identity, peer.publicKey))
      pairKeys.emplace(peer.deviceID, std::move(*keys));
    else
      Logger::app().error("No keys for paired machine " + peer.deviceID +
                          ": its public key cannot be used");
  }
}

} // namespace corvane

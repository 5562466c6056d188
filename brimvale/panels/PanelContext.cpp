#include "brimvale/panels/PanelContext.h"

#include "brimvale/manager/ServiceManager.h"

namespace corvane {

bool PanelContext::canWake(const std::string &peerID) const {
  if (hooks.canWake)
    return hooks.canWake(peerID);
  const auto &hardware = manager->preferences->hardware;
  if (!hardware)
    return false;
  const auto found = hardware->find(peerID);
  return found != hardware->end() && !found->second.empty();
}

std::set<std::string> PanelContext::onlinePairedIDs() const {
  std::set<std::string> online;
  for (const auto &peer : manager->pairedPeers.get())
    if (manager->onlinePeerIDs->contains(peer.deviceID))
      online.insert(peer.deviceID);
  return online;
}

} // namespace corvane

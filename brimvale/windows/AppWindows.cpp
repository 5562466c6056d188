#include "brimvale/windows/AppWindows.h"

#include "brimvale/manager/ServiceManager.h"
#include "brimvale/shell/WindowRegistry.h"

namespace corvane {

void addAppWindows(WindowRegistry &registry, const WindowContext &context) {
  (void)registry;
  (void)context;
}

PanelHooks makePanelHooks(const WindowContext &context) {
  PanelHooks hooks;
  (void)context;
  hooks.canWake = [manager = context.manager](const std::string &peerID) {
    return manager->canWake(peerID);
  };
  hooks.wakePeer = [manager = context.manager](const std::string &peerID) {
    manager->wakePeer(peerID);
  };
  return hooks;
}

} // namespace corvane

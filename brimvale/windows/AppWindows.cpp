#include "brimvale/windows/AppWindows.h"

#include "brimvale/manager/ServiceManager.h"
#include "brimvale/shell/WindowRegistry.h"
#include "brimvale/windows/ShareWindows.h"

namespace corvane {

void addAppWindows(WindowRegistry &registry, const WindowContext &context) {
  (void)registry;
  (void)context;
  addShareWindows(registry, context);
}

PanelHooks makePanelHooks(const WindowContext &context) {
  PanelHooks hooks;
  (void)context;
  addShareEditor(hooks, context);
  return hooks;
}

} // namespace corvane

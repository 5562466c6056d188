#include "brimvale/windows/AppWindows.h"

#include "brimvale/manager/ServiceManager.h"
#include "brimvale/shell/WindowRegistry.h"

namespace corvane {

void addAppWindows(WindowRegistry &registry, const WindowContext &context) {
  (void)registry;
  (void)context;
  // Pairing and the first-run steps (PairingWindow.h, OnboardingWindow.h).
  void addPairingWindow(WindowRegistry &, const WindowContext &);
  void addOnboardingWindow(WindowRegistry &, const WindowContext &);
  addPairingWindow(registry, context);
  addOnboardingWindow(registry, context);
}

PanelHooks makePanelHooks(const WindowContext &context) {
  PanelHooks hooks;
  (void)context;
  return hooks;
}

} // namespace corvane

#include "brimvale/windows/AppWindows.h"

#include "brimvale/manager/ServiceManager.h"
#include "brimvale/shell/EnvironmentMenu.h"
#include "brimvale/shell/EnvironmentNamePrompt.h"
#include "brimvale/shell/HintsPrompt.h"
#include "brimvale/shell/PortPrompt.h"
#include "brimvale/shell/ShareMenu.h"
#include "brimvale/shell/WindowRegistry.h"
#include "brimvale/windows/OnboardingWindow.h"
#include "brimvale/windows/PairingWindow.h"
#include "brimvale/windows/SettingsView.h"
#include "brimvale/windows/ShareWindows.h"

#include <QMenu>

namespace corvane {

void addAppWindows(WindowRegistry &registry, const WindowContext &context) {
  registry.add(QStringLiteral("settings"), [context] {
    SettingsView::Services services;
    services.manager = context.manager;
    services.updates = context.updates;
    services.hotkey =
        ShortcutRecorder::Hotkey::of(context.hotkey, context.manager->standardDefaults());
    services.pair = [open = context.openWindow] {
      if (open)
        open(QStringLiteral("pairing"));
    };
    return new SettingsView(std::move(services));
  });
  addShareWindows(registry, context);
  addPairingWindow(registry, context);
  addOnboardingWindow(registry, context);
}

PanelHooks makePanelHooks(const WindowContext &context) {
  PanelHooks hooks;
  // The share and environment menus, and the prompts their items open.
  ServiceManager *manager = context.manager;
  hooks.shareMenu = [manager, open = context.openWindow,
                     explain = context.explanationAvailable](const OutgoingService &row) {
    auto *menu = new QMenu;
    ShareMenu(row, *manager, explain && explain(), open).addTo(*menu);
    return menu;
  };
  hooks.environmentMenu = [manager](const ShareEnvironment &environment, bool allOn) {
    auto *menu = new QMenu;
    EnvironmentMenu(environment, allOn, *manager).addTo(*menu);
    return menu;
  };
  hooks.attachPrompts = [manager](QWidget &panel) {
    // Owned by the panel: they go with it and stop answering the manager's requests.
    new PortPrompt(*manager, &panel);
    new EnvironmentNamePrompt(*manager, &panel);
    new HintsPrompt(*manager, &panel);
  };
  addShareEditor(hooks, context);
  hooks.canWake = [manager = context.manager](const std::string &peerID) {
    return manager->canWake(peerID);
  };
  hooks.wakePeer = [manager = context.manager](const std::string &peerID) {
    manager->wakePeer(peerID);
  };
  return hooks;
}

} // namespace corvane

#include "brimvale/windows/AppWindows.h"

#include "brimvale/manager/ServiceManager.h"
#include "brimvale/shell/WindowRegistry.h"
#include "brimvale/windows/SettingsView.h"

namespace corvane {

void addAppWindows(WindowRegistry &registry, const WindowContext &context) {
  (void)registry;
  (void)context;
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
}

PanelHooks makePanelHooks(const WindowContext &context) {
  PanelHooks hooks;
  (void)context;
  return hooks;
}

} // namespace corvane

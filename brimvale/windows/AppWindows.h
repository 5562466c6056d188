#pragma once

#include "brimvale/panels/PanelContext.h"

#include <QString>
#include <functional>

namespace corvane {

class GlobalHotkey;
class ServiceManager;
class UpdateChecker;
class UrlOpener;
class WindowRegistry;

// What the windows and the views hosted in the panels are built with. Everything given must
// outlive the windows. Main thread only.
struct WindowContext {
  ServiceManager *manager = nullptr; // required
  UrlOpener *opener = nullptr;       // required
  UpdateChecker *updates = nullptr;  // absent: no update section or offer
  GlobalHotkey *hotkey = nullptr;    // absent: the shortcut cannot be changed
  // Opens a window by its id and brings the application to the front.
  std::function<void(const QString &id)> openWindow;
  // Shows the panel, as the global shortcut does.
  std::function<void()> showPanel;
  bool reduceMotion = false;
  // Whether the local model can explain a problem now; absent: it never can.
  std::function<bool()> explanationAvailable;
};

// Adds every window's content to the registry under its id. Call once, at start.
void addAppWindows(WindowRegistry &registry, const WindowContext &context);

// The menus, prompts, share editor and wake request the panels host.
PanelHooks makePanelHooks(const WindowContext &context);

} // namespace corvane

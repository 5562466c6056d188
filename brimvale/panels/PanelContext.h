#pragma once

#include "brimvale/foundation/Preferences.h"
#include "brimvale/foundation/ServiceRecords.h"
#include "brimvale/foundation/ShareModel.h"
#include "brimvale/platform/Clock.h"
#include "brimvale/shell/IncomingConnectItems.h"

#include <QString>
#include <functional>
#include <set>
#include <string>

class QMenu;
class QWidget;

namespace corvane {

class ServiceManager;
class UpdateChecker;
class UrlOpener;

// The places where the panels host views that live elsewhere: the share and environment
// menus, the inline share editor and the prompts, and waking a sleeping Mac. The application
// shell fills them; a hook left empty shows nothing (no menu, no editor) or does nothing.
struct PanelHooks {
  // The menu of one of this Mac's shares, built afresh when it opens; null for none.
  std::function<QMenu *(const OutgoingService &row)> shareMenu;
  // The menu of an environment; `allOn` tells whether every share in it is enabled.
  std::function<QMenu *(const ShareEnvironment &environment, bool allOn)> environmentMenu;
  // The share editor in its compact form; it calls `done` when the user finishes or cancels.
  std::function<QWidget *(std::function<void()> done)> shareEditor;
  // Called once with each panel, to attach the local-port, environment-name and hints prompts.
  std::function<void(QWidget &panel)> attachPrompts;
  // Whether a Mac can be woken and the request to wake it. Without `canWake` a Mac counts as
  // wakeable when the settings hold a hardware address for it.
  std::function<bool(const std::string &peerID)> canWake;
  std::function<void(const std::string &peerID)> wakePeer;
};

// What every panel view is built with. The manager, the opener and the update checker (when
// given) must outlive the views. Main thread only.
struct PanelContext {
  ServiceManager *manager = nullptr; // required
  UrlOpener *opener = nullptr;       // required: the incoming-port menu items open with it
  UpdateChecker *updates = nullptr;  // absent: no update offer is shown
  // Whether the on-device explanation can run now (asked each time a menu is built).
  std::function<bool()> explanationAvailable;
  // Whether the global shortcut is grabbed now (asked each time the footer is checked); absent:
  // never, so no hint offers a shortcut that does nothing (a Wayland session, a taken key).
  std::function<bool()> shortcutRegistered;
  // Opens a window by its id and brings the application to the front.
  IncomingConnectItems::OpenWindow openWindow;
  // The desktop's Reduce Motion setting (read once at start): animations show a still picture.
  bool reduceMotion = false;
  // The date, for the time left on shares and the animations' phase.
  std::function<Date()> now = referenceDateNow;
  PanelHooks hooks;

  bool canWake(const std::string &peerID) const;
  // The paired Macs online now: a Mac unpaired meanwhile never counts.
  std::set<std::string> onlinePairedIDs() const;
  bool explanationIsAvailable() const { return explanationAvailable && explanationAvailable(); }
  bool shortcutIsRegistered() const { return shortcutRegistered && shortcutRegistered(); }
  Date date() const { return now ? now() : referenceDateNow(); }
};

} // namespace corvane

#pragma once

#include "brimvale/foundation/ServiceRecords.h"
#include "brimvale/platform/Clock.h"

#include <QString>
#include <functional>

class QMenu;

namespace corvane {

class ServiceManager;

// The menu of one of this Mac's shares: explain its problem, cut off a Mac using it now,
// choose which paired Macs may use it, share it for a while, move it between environments,
// edit its connection hints, pause or resume it, remove it. Built from a copy of the row and
// the manager's state when the menu is built; every item is one manager call or sets one
// manager field that opens a prompt. Main thread only; the manager must outlive the menu.
class ShareMenu {
public:
  // Opens a window by its id ("explain") and brings the application to the front.
  using OpenWindow = std::function<void(const QString &windowID)>;

  ShareMenu(OutgoingService row, ServiceManager &manager, bool explanationAvailable,
            OpenWindow openWindow, std::function<Date()> now = referenceDateNow);

  // Appends the items, sections and the "Environment" submenu (owned by `menu`) to `menu`.
  void addTo(QMenu &menu) const;

private:
  OutgoingService row_;
  ServiceManager &manager_;
  bool explanationAvailable_;
  OpenWindow openWindow_;
  std::function<Date()> now_;
};

} // namespace corvane

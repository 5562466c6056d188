#pragma once

#include "brimvale/foundation/ServiceRecords.h"
#include "brimvale/platform/UrlOpener.h"

#include <QString>
#include <functional>
#include <string>

class QMenu;

namespace corvane {

class CopyFeedback;
class ServiceManager;

// The items both panels put in the menu of a port that a paired Mac offers, each only when it
// makes sense: explain the port's problem, change its local port, copy its connection string
// or an environment-file line, and open it in the application for its address. Built from a
// copy of the row when the menu is built; every action sets one manager field, copies or
// opens. Main thread only; the manager, the feedback and the opener must outlive the menu.
class IncomingConnectItems {
public:
  // Opens a window by its id ("explain") and brings the application to the front.
  using OpenWindow = std::function<void(const QString &windowID)>;

  IncomingConnectItems(IncomingService row, CopyFeedback &feedback, ServiceManager &manager,
                       UrlOpener &opener, bool explanationAvailable, OpenWindow openWindow);

  // Appends the items that apply, in their order, to `menu`.
  void addTo(QMenu &menu) const;

  // The row's identity for the copied mark: peer identifier, "/", service identifier.
  static QString copyID(const IncomingService &row);
  // The name of the application a desktop entry id stands for ("Firefox ESR" for
  // "firefox-esr.desktop"), read from its entry; the id without ".desktop" when unreadable.
  static QString applicationName(const std::string &desktopID);

private:
  IncomingService row_;
  CopyFeedback &feedback_;
  ServiceManager &manager_;
  UrlOpener &opener_;
  bool explanationAvailable_;
  OpenWindow openWindow_;
};

} // namespace corvane

#pragma once

#include "brimvale/foundation/ShareModel.h"

class QMenu;

namespace corvane {

class ServiceManager;

// The menu of an environment's group: pause or resume every share in it, rename it (through
// the name prompt) or ungroup it. `allOn` is whether the panel counts the group as all on.
// Main thread only; the manager must outlive the menu.
class EnvironmentMenu {
public:
  EnvironmentMenu(ShareEnvironment environment, bool allOn, ServiceManager &manager);

  // Appends the three items to `menu`.
  void addTo(QMenu &menu) const;

private:
  ShareEnvironment environment_;
  bool allOn_;
  ServiceManager &manager_;
};

} // namespace corvane

#pragma once

#include <functional>

namespace corvane {

// The footer actions the panel root hands to both panels: open the pairing window, open the
// settings, quit. Passed by value; called on the main thread.
struct PanelActions {
  std::function<void()> pair;
  std::function<void()> settings;
  std::function<void()> quit;
};

} // namespace corvane

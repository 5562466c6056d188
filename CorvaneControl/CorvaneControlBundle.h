#pragma once

#include "CorvaneControl/SharingControl.h"

#include <string>
#include <vector>

namespace corvane {

// The program's main type: its one control, driven from the command line.
//   (no argument)  prints the control's value label, "Sharing" or "Paused"
//   on | off       flips the control to that state, then prints the label
//   toggle         flips it to the opposite of the state the latest request leads to (the
//                  shown value when every request is taken), then prints the label
//   --preview      prints the label of the preview value
//   --watch        prints the label, then again each time a reload of the control changes
//                  it, until it is ended by a signal
// Every understood command line exits 0 with the resulting label on standard output; a flip
// while the application does not run also says on standard error that it applies at the next
// start. A flip that cannot be filed says why on standard error and exits `notFiledStatus`.
// Any other command line changes nothing, prints the usage on standard error and exits
// `usageStatus`.
struct CorvaneControlBundle {
  static constexpr int notFiledStatus = 1;
  static constexpr int usageStatus = 2;

  SharingControl control;

  // Runs on the thread that calls main.
  int run(const std::vector<std::string> &arguments) const;
};

} // namespace corvane

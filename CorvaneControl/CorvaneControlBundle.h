#pragma once

#include "CorvaneControl/SharingControl.h"

#include <string>
#include <vector>

namespace corvane {

// The program's main type: its one control, driven from the command line.
//   (no argument)  prints the control's value label, "Sharing" or "Paused"
//   on | off       flips the control to that state, then prints the label
//   toggle         flips it to the opposite of its current value, then prints the label
//   --preview      prints the label of the preview value
//   --watch        prints the label, then again each time the application reloads the
//                  control, until it is ended by a signal
// Every path exits 0 with the resulting label on standard output; trouble goes to the log.
struct CorvaneControlBundle {
  SharingControl control;

  // Runs on the thread that calls main.
  int run(const std::vector<std::string> &arguments) const;
};

} // namespace corvane

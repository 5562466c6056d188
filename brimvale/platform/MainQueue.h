#pragma once

#include "brimvale/platform/WorkItem.h"

#include <functional>

namespace corvane {

// The main queue, where the service manager, the pairing coordinator and the views live.
// Backends: AsioMainQueue (headless runs), ManualMainQueue (virtual time for tests), and the
// user interface's event loop.
class MainQueue {
public:
  virtual ~MainQueue() = default;

  virtual void post(std::function<void()> work) = 0;
  virtual WorkItem postAfter(double seconds, std::function<void()> work) = 0;
  // Runs `work` every `interval` seconds, first after one interval, until cancelled.
  virtual WorkItem repeating(double interval, std::function<void()> work) = 0;
  virtual bool isCurrent() const = 0;
  // Like postAfter, but the time keeps counting while the machine sleeps (CLOCK_BOOTTIME), for
  // pauses that the user measures in wall time. Backends without such a timer use postAfter.
  virtual WorkItem postAfterContinuous(double seconds, std::function<void()> work) {
    return postAfter(seconds, std::move(work));
  }
};

} // namespace corvane

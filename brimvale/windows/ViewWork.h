#pragma once

#include "brimvale/platform/MainQueue.h"

#include <functional>
#include <memory>
#include <utility>

namespace corvane {

// The background work of one view (probes of this Mac, an explanation). The work runs on other
// threads and hands its result back on the main queue, where the result reaches the view only
// while the run that asked for it is still the view's current run: starting another run,
// cancelling, or destroying this object (with its view) drops whatever earlier runs still
// deliver. Each view also checks, when a result arrives, that what the run was started for
// (its key) is still what it shows.
//
// Main thread only; the handlers that `deliver` makes may be called from any thread, once.
class ViewWork {
public:
  explicit ViewWork(std::shared_ptr<MainQueue> main);
  ~ViewWork();
  ViewWork(const ViewWork &) = delete;
  ViewWork &operator=(const ViewWork &) = delete;

  // Ends the current run, if any, and begins a new one.
  void restart();
  void cancel();
  // Whether a run is current.
  bool isRunning() const { return token_ && !*token_; }

  // A handler for the current run: it posts the value to the main queue, where `use` runs with
  // it unless the run was ended by then. Nothing is posted once the main queue is gone.
  template <typename T> std::function<void(T)> deliver(std::function<void(T)> use) const {
    std::weak_ptr<MainQueue> main = main_;
    return [main, token = token_, use = std::move(use)](T value) mutable {
      if (auto queue = main.lock())
        queue->post([token, use, value = std::move(value)]() mutable {
          if (token && !*token)
            use(std::move(value));
        });
    };
  }

private:
  std::shared_ptr<MainQueue> main_;
  // Shared with the run's handlers; true once the run has ended. Read and written on the main
  // queue only.
  std::shared_ptr<bool> token_;
};

} // namespace corvane

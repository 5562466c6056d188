#pragma once

#include <atomic>
#include <functional>
#include <memory>

namespace corvane {

// A handle on work scheduled for later; cancelling it keeps the work from running if it has
// not started yet. Copies share the same cancellation. An empty handle cancels nothing.
class WorkItem {
public:
  WorkItem() = default;
  static WorkItem make();
  // `release` is called by the first cancel(), on the cancelling thread, so that the scheduler
  // can let go of the work early; it must be safe from any thread.
  static WorkItem make(std::function<void()> release);

  void cancel() const;
  bool isCancelled() const;
  explicit operator bool() const { return state_ != nullptr; }

private:
  struct State {
    std::atomic<bool> cancelled = false;
    std::function<void()> release;
  };
  std::shared_ptr<State> state_;
};

} // namespace corvane

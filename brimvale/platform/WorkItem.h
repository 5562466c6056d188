#pragma once

#include <atomic>
#include <memory>

namespace corvane {

// A handle on work scheduled for later; cancelling it keeps the work from running if it has
// not started yet. Copies share the same cancellation. An empty handle cancels nothing.
class WorkItem {
public:
  WorkItem() = default;
  static WorkItem make();

  void cancel() const;
  bool isCancelled() const;
  explicit operator bool() const { return flag_ != nullptr; }

private:
  std::shared_ptr<std::atomic<bool>> flag_;
};

} // namespace corvane

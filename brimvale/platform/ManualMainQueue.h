#pragma once

#include "brimvale/platform/MainQueue.h"

#include <cstdint>
#include <map>
#include <thread>
#include <utility>

namespace corvane {

// A main queue with virtual time for deterministic tests: nothing runs until the test calls
// runUntilIdle() or advance(). Used from one thread only.
class ManualMainQueue : public MainQueue {
public:
  ManualMainQueue() : owner_(std::this_thread::get_id()) {}

  void post(std::function<void()> work) override;
  WorkItem postAfter(double seconds, std::function<void()> work) override;
  WorkItem repeating(double interval, std::function<void()> work) override;
  bool isCurrent() const override { return std::this_thread::get_id() == owner_; }

  // Virtual seconds since the queue was made.
  double now() const { return now_; }
  // Moves time forward, running everything that falls due in time order (work scheduled
  // while advancing runs too when it falls within the span).
  void advance(double seconds);
  // Runs everything due now, including work that it posts.
  void runUntilIdle();
  std::size_t pendingCount() const { return tasks_.size(); }

private:
  struct Task {
    std::function<void()> work;
    WorkItem item;
    double interval = 0; // > 0 for repeating work
  };

  void schedule(double at, Task task);
  bool runNextDueBy(double limit);

  std::thread::id owner_;
  double now_ = 0;
  std::uint64_t sequence_ = 0;
  std::map<std::pair<double, std::uint64_t>, Task> tasks_;
};

} // namespace corvane

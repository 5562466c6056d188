#pragma once

#include "brimvale/platform/MainQueue.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace corvane {

// A main queue with virtual time for deterministic tests: nothing runs until the test calls
// runUntilIdle() or advance(), on the thread that made it. Work may be posted from any thread:
// the engine's own queues post their callbacks to it.
class ManualMainQueue : public MainQueue {
public:
  ManualMainQueue() : owner_(std::this_thread::get_id()) {}

  void post(std::function<void()> work) override;
  WorkItem postAfter(double seconds, std::function<void()> work) override;
  WorkItem repeating(double interval, std::function<void()> work) override;
  bool isCurrent() const override { return std::this_thread::get_id() == owner_; }

  // Virtual seconds since the queue was made.
  double now() const { return now_.load(); }
  // Moves time forward, running everything that falls due in time order (work scheduled
  // while advancing runs too when it falls within the span).
  void advance(double seconds);
  // Runs everything due now, including work that it posts.
  void runUntilIdle();
  std::size_t pendingCount() const {
    std::lock_guard guard(lock_);
    return tasks_.size();
  }

private:
  struct Task {
    std::function<void()> work;
    WorkItem item;
    double interval = 0; // > 0 for repeating work
  };

  void schedule(double at, Task task);
  bool runNextDueBy(double limit);

  std::thread::id owner_;
  // Read without the lock, so that a clock made from the queue never waits on it.
  std::atomic<double> now_ = 0;
  mutable std::mutex lock_; // guards the two below
  std::uint64_t sequence_ = 0;
  std::map<std::pair<double, std::uint64_t>, Task> tasks_;
};

} // namespace corvane

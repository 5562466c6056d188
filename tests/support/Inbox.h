#pragma once

#include "tests/support/Wait.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>

namespace corvane::testing {

// Values pushed from the engine's queues, taken by the test one at a time with a bounded wait.
template <typename T> class Inbox {
public:
  void push(T value) {
    {
      std::lock_guard lock(mutex_);
      items_.push_back(std::move(value));
    }
    changed_.notify_all();
  }
  std::optional<T> pop(std::chrono::milliseconds timeout = eventually) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [&] { return !items_.empty(); }))
      return std::nullopt;
    T value = std::move(items_.front());
    items_.pop_front();
    return value;
  }
  std::size_t size() {
    std::lock_guard lock(mutex_);
    return items_.size();
  }

private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<T> items_;
};

} // namespace corvane::testing

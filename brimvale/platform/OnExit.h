#pragma once

#include <functional>
#include <utility>

namespace corvane {

// Calls its function once when it goes out of scope, however the scope ends: a return, a
// coroutine's co_return, or the destruction of a coroutine that was never resumed.
class OnExit {
public:
  explicit OnExit(std::function<void()> work) : work_(std::move(work)) {}
  ~OnExit() {
    if (work_)
      work_();
  }
  OnExit(const OnExit &) = delete;
  OnExit &operator=(const OnExit &) = delete;

private:
  std::function<void()> work_;
};

} // namespace corvane

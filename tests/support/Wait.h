#pragma once

#include <chrono>
#include <thread>

namespace corvane::testing {

// How long a test waits for something that should happen promptly. Generous on purpose: on a
// loaded machine (parallel tests, sanitizers, builds) any thread may stall for seconds. A
// passing test goes on as soon as the event happens and never waits this out.
inline constexpr std::chrono::seconds eventually{60};

// Polls condition until it holds or bound has passed; true when it held.
template <typename Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds bound = eventually) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline)
      return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

} // namespace corvane::testing

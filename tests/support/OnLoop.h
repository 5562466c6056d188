#pragma once

#include "brimvale/platform/BusLoop.h"

#include <future>
#include <type_traits>

namespace corvane::testing {

// Runs `work` on `loop`'s thread and waits for it.
template <typename Work> auto onLoop(BusLoop &loop, Work work) {
  std::promise<decltype(work())> done;
  auto result = done.get_future();
  loop.post([&] {
    if constexpr (std::is_void_v<decltype(work())>) {
      work();
      done.set_value();
    } else {
      done.set_value(work());
    }
  });
  return result.get();
}

} // namespace corvane::testing

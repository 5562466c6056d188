#pragma once

#include "brimvale/platform/Connection.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>

namespace corvane::Bridge {

// The most bytes read from one side before they are passed on; one read and one send are in
// flight per direction, so a slow receiver slows its sender.
inline constexpr std::size_t chunkSize = 65536;

// Shared by both directions of one relay; lives as long as a pending completion holds it.
class State {
public:
  State(std::shared_ptr<Connection> a, std::shared_ptr<Connection> b,
        std::function<void()> onClose);

  bool isOpen() const;
  // Cancels both connections and calls onClose, only the first time.
  void tearDown();

  const std::shared_ptr<Connection> a;
  const std::shared_ptr<Connection> b;

private:
  mutable std::mutex lock_;
  bool open_ = true;
  std::function<void()> onClose_;
};

// Copies bytes both ways between two started connections until either side ends or fails,
// then cancels both and calls `onClose` once. Returns at once.
void runBridge(std::shared_ptr<Connection> a, std::shared_ptr<Connection> b,
               std::function<void()> onClose);

} // namespace corvane::Bridge

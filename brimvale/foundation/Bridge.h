#pragma once

#include "brimvale/platform/Connection.h"
#include "brimvale/platform/WorkItem.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>

namespace corvane::Bridge {

// The most bytes read from one side before they are passed on; one read and one send are in
// flight per direction, so a slow receiver slows its sender.
inline constexpr std::size_t chunkSize = 65536;

// How long, once the first side has ended its sending, the second side may stay silent before
// the relay ends: a reply under way still gets through, a service that never answers is let go.
// Short, since a client that simply closes is seen the same way and holds its relay (one of
// the streams a machine may have open at once) this long.
inline constexpr double halfCloseIdleLimit = 3.0;

struct Options {
  // The first side ending its stream stops only its own direction: what the second side sends
  // still goes across until that side ends, fails or stays idle for `halfCloseIdle` seconds.
  // The end is not passed on, since a TLS peer must take close_notify as the end of both
  // directions.
  bool firstSideHalfCloses = false;
  double halfCloseIdle = halfCloseIdleLimit;
};

// Shared by both directions of one relay; lives as long as a pending completion holds it.
class State {
public:
  State(std::shared_ptr<Connection> a, std::shared_ptr<Connection> b,
        std::function<void()> onClose);

  bool isOpen() const;
  // Cancels both connections and calls onClose, only the first time.
  void tearDown();

  // From here on bytes moved are noted, and the relay's idle time is measured from the last of
  // them (before, nothing is noted: the relay then has no idle bound). Safe from any thread.
  void startIdleClock();
  void noteProgress();
  std::chrono::steady_clock::duration sinceProgress() const;
  // The pending idle check of a half-closed relay, cancelled by tearDown().
  void setIdleCheck(WorkItem check);

  const std::shared_ptr<Connection> a;
  const std::shared_ptr<Connection> b;

private:
  mutable std::mutex lock_;
  bool open_ = true;
  std::function<void()> onClose_;
  WorkItem idleCheck_;
  std::atomic<bool> idleClock_{false};
  std::atomic<std::chrono::steady_clock::rep> lastProgress_{0};
};

// Copies bytes both ways between two started connections until either side ends or fails
// (see Options for the first side's end), then cancels both and calls `onClose` once. Returns
// at once.
void runBridge(std::shared_ptr<Connection> a, std::shared_ptr<Connection> b,
               std::function<void()> onClose, Options options = {});

} // namespace corvane::Bridge

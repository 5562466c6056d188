#pragma once

#include "brimvale/platform/Connection.h"
#include "brimvale/platform/WorkItem.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace corvane::Bridge {

// The most bytes read from one side before they are passed on; one read and one send are in
// flight per direction, so a slow receiver slows its sender.
inline constexpr std::size_t chunkSize = 65536;

// How long a relay with one direction ended may wait, with nothing on its way, for the other
// direction to bring something: long enough for a slow answer, and still a bound, since a
// service that ignores the client's end would otherwise hold its stream for good. Time spent
// waiting for a slow reader to take what was sent does not count.
inline constexpr double oneWayIdleLimit = 300.0;

// Shared by both directions of one relay; lives as long as a pending completion holds it.
// Safe from any thread.
class State {
public:
  using Clock = std::chrono::steady_clock;

  State(std::shared_ptr<Connection> a, std::shared_ptr<Connection> b,
        std::function<void()> onClose);

  bool isOpen() const;
  // Ends both connections and calls onClose, only the first time: closed cleanly once both
  // directions have ended or when `clean`, reset otherwise (a relay its owner cuts short).
  void tearDown(bool clean = false);
  // When the first side's end was passed on to the second, once it was.
  std::optional<Clock::time_point> firstSideEnded() const;

  const std::shared_ptr<Connection> a;
  const std::shared_ptr<Connection> b;

  // Used by the relay's own directions.
  // A direction ended cleanly, its end passed on; true when it was the second to.
  bool directionEnded(bool fromA);
  // Whether the direction from `a` (or from `b`) is waiting for bytes, and since when.
  void noteReceiving(bool fromA, bool receiving);
  std::optional<Clock::time_point> receivingSince(bool fromA) const;
  // The pending idle check of a relay with one direction ended, cancelled by tearDown().
  void setIdleCheck(WorkItem check);

private:
  mutable std::mutex lock_;
  bool open_ = true;
  std::function<void()> onClose_;
  WorkItem idleCheck_;
  std::optional<Clock::time_point> ended_[2];
  std::optional<Clock::time_point> receiving_[2];
};

// Copies bytes both ways between two started connections on their common queue. When one side
// ends its stream, its last bytes go across and then its end does (Connection::endSending), and
// the other direction keeps going. The relay ends, closing both cleanly, once both directions
// have ended, one has and the other stays idle for `oneWayIdle` seconds, or either side fails
// (what was handed on still arrives); it ends resetting both when either connection is
// cancelled by its owner. `onClose` is called once. Returns at once, with the relay's state: a
// caller that keeps it holds it weakly.
std::shared_ptr<State> runBridge(std::shared_ptr<Connection> a, std::shared_ptr<Connection> b,
                                 std::function<void()> onClose,
                                 double oneWayIdle = oneWayIdleLimit);

} // namespace corvane::Bridge

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
class State : public std::enable_shared_from_this<State> {
public:
  using Clock = std::chrono::steady_clock;

  State(std::shared_ptr<Connection> a, std::shared_ptr<Connection> b, std::function<void()> onClose,
        double oneWayIdle = oneWayIdleLimit);

  bool isOpen() const;
  // Cuts the relay short, as its owner does (a route stopped, a share withdrawn): both sides
  // are reset at once, so that neither takes what it got for the whole, also a side still
  // handing its reader what came before a cut. A relay that already ended cleanly keeps its
  // clean close and no longer waits for a's reader to acknowledge the rest: the system
  // delivers it. onClose follows.
  void tearDown();
  // As tearDown(), and a relay that ended cleanly but whose reader on a's side has not yet
  // acknowledged all of it is reset too: for a machine that is gone or no longer paired, what it
  // has not taken would only be held for nobody.
  void cut();

  // What the owner may look at to choose among its relays. Since when the direction from `a`
  // (or from `b`) has waited for bytes, absent while it moves some or once it ended.
  std::optional<Clock::time_point> receivingSince(bool fromA) const;
  // Since when that side's end has been passed on to the other side.
  std::optional<Clock::time_point> endedSince(bool fromA) const;
  // Whether everything that side sent, its end included, has been taken by the other side's
  // peer, so that nothing of it is left here to deliver. `answer` runs once, on the relay's
  // queue; false once the relay has ended.
  void whenTaken(bool fromA, std::function<void(bool taken)> answer);

  const std::shared_ptr<Connection> a;
  const std::shared_ptr<Connection> b;

  // Used by the relay's own directions.
  enum class Ending {
    clean,   // both directions ended: both sides are closed cleanly, and onClose waits until
             // a's far end has acknowledged everything
    reset,   // cut short: both sides are reset at once
    givenUp, // one direction waited too long: both sides are reset once their readers have
             // taken what was already passed on to them
  };
  void end(Ending ending);
  // `failed` (a or b) failed with `error`. An ECANCELED is its owner's cancel and resets both
  // sides; any other failure is a cut of that side, which resets the other once its reader has
  // taken what came before the cut (bounded while it takes nothing), as straight across.
  // onClose waits for that, so the owner counts the stream until then.
  void failed(const Connection &failed, const NetworkError &error);
  // A direction ended cleanly, its end passed on; true when it was the second to.
  bool directionEnded(bool fromA);
  void noteReceiving(bool fromA, bool receiving);
  // The pending idle check of a relay with one direction ended, cancelled by its end.
  void setIdleCheck(WorkItem check);
  // A side that was left to hand its reader the rest has been reset; onClose follows the last.
  void lingered();
  double oneWayIdle() const { return oneWayIdle_; }

private:
  // Marks the relay closed and stops its idle check, once: false when it was closed already.
  // Says whether the side `fromA` had passed its end on; `lingering` sides are still to hand
  // their readers the rest before onClose.
  bool close(bool fromA, bool &passedOn, int lingering, bool clean = false);
  // The lingering sides are cut (abort) or, after a clean end, let go (Connection::letGo).
  void endLingering(bool evenClean);

  mutable std::mutex lock_;
  bool open_ = true;
  int lingering_ = 0;
  bool closedCleanly_ = false;
  // The owner let a cleanly ended relay go, perhaps before a's close was asked for.
  bool letGo_ = false;
  std::function<void()> onClose_;
  const double oneWayIdle_;
  WorkItem idleCheck_;
  std::optional<Clock::time_point> ended_[2];
  std::optional<Clock::time_point> receiving_[2];
};

// Copies bytes both ways between two started connections on their common queue. When one side
// ends its stream, its last bytes go across and then its end does (Connection::endSending), and
// the other direction keeps going. The relay ends, closing both cleanly, once both directions
// have ended. It resets both when one direction has ended and the other stays idle for
// `oneWayIdle` seconds, or when its owner cancels either connection; a side that fails (a
// reset, a cut secure stream) resets the other. So a stream cut anywhere reaches both ends as a
// cut, never as an end. Both sockets are set to reset unless closed cleanly, so that a process
// that dies mid-stream cuts it too. `a` is the side the stream is for (the other machine's
// connection on the gateway, the local client on a route): after a clean end it keeps its
// socket, and the relay counts, until a's far side has acknowledged everything, so that none of
// it is left to the system. `onClose` is called once. Returns at once, with the relay's state:
// a caller that keeps it holds it weakly.
std::shared_ptr<State> runBridge(std::shared_ptr<Connection> a, std::shared_ptr<Connection> b,
                                 std::function<void()> onClose,
                                 double oneWayIdle = oneWayIdleLimit);

} // namespace corvane::Bridge

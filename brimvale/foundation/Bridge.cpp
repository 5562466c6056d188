#include "brimvale/foundation/Bridge.h"

#include "brimvale/platform/SerialQueue.h"

#include <algorithm>
#include <cerrno>

namespace corvane::Bridge {

namespace {

using Clock = State::Clock;

// How often what is still on its way to a reader is looked at: soon at first, as most is taken
// within a round trip, then less often for a reader that is slow.
constexpr auto firstLook = std::chrono::milliseconds(5);
constexpr auto slowestLook = std::chrono::seconds(1);
// How long after a stream's end whenTaken waits for its last bytes to be acknowledged.
constexpr auto takenWait = std::chrono::milliseconds(200);
// How long a side whose relay has ended waits for its reader to take what came before the end
// while nothing of it moves; it is reset then either way. A reader that keeps taking is live:
// what it waits for only shrinks, so the wait ends.
constexpr auto deliveryStall = std::chrono::seconds(10);

Clock::duration secondsOf(double seconds) {
  // A day at most: a longer wait is no bound, and keeps the conversion in range.
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(std::clamp(seconds, 0.0, 86400.0)));
}

// Runs `look` on `connection`'s queue now and then, each time a little later, while it says
// to go on.
void lookAgain(const std::shared_ptr<Connection> &connection, Clock::duration pause,
               std::function<bool()> look) {
  auto queue = connection->queue();
  if (!queue)
    return;
  queue->postAfter(std::chrono::duration<double>(pause).count(),
                   [connection, pause, look = std::move(look)]() mutable {
                     if (look())
                       lookAgain(connection, std::min<Clock::duration>(2 * pause, slowestLook),
                                 std::move(look));
                   });
}

// Resets `connection` once its reader has taken what it still holds, or once that has not moved
// for deliveryStall; then tells `state`. A connection already closed is left as it is.
void resetOnceTaken(const std::shared_ptr<State> &state,
                    const std::shared_ptr<Connection> &connection) {
  struct Progress {
    std::optional<std::size_t> left;
    Clock::time_point at = Clock::now();
  };
  auto progress = std::make_shared<Progress>();
  auto look = [state, connection, progress] {
    const auto left = connection->unacknowledged();
    const auto now = Clock::now();
    if (left && *left > 0 && (!progress->left || *left < *progress->left))
      *progress = {left, now};
    if (left && *left > 0 && now - progress->at < deliveryStall)
      return true;
    connection->abort();
    state->lingered();
    return false;
  };
  auto queue = connection->queue();
  if (!queue) {
    look();
    return;
  }
  queue->post([connection, look]() mutable {
    if (look())
      lookAgain(connection, firstLook, std::move(look));
  });
}

// Ends a relay with one direction ended once the other has waited for bytes, with nothing of
// its own on the way, for `idle`; otherwise looks again when that could next be true.
void checkIdle(const std::shared_ptr<State> &state, bool fromA, Clock::duration idle) {
  auto queue = state->a->queue();
  const auto since = state->receivingSince(fromA);
  const auto left = since ? idle - (Clock::now() - *since) : idle;
  if (left <= Clock::duration::zero() || !queue) {
    // Given up on: the side still waiting must not take the silence for the other's end.
    state->end(State::Ending::givenUp);
    return;
  }
  state->setIdleCheck(queue->postAfter(std::chrono::duration<double>(left).count(),
                                       [weak = std::weak_ptr<State>(state), fromA, idle] {
                                         if (auto state = weak.lock(); state && state->isOpen())
                                           checkIdle(state, fromA, idle);
                                       }));
}

// One direction of the relay.
struct Direction {
  std::shared_ptr<Connection> source;
  std::shared_ptr<Connection> destination;
  bool fromA = true;
};

void pump(const std::shared_ptr<State> &state, const Direction &direction);

// The source's end has reached the destination: the relay is over once both have, and until
// then the other direction is watched for idleness.
void ended(const std::shared_ptr<State> &state, const Direction &direction) {
  if (state->directionEnded(direction.fromA)) {
    state->end(State::Ending::clean);
    return;
  }
  checkIdle(state, !direction.fromA, secondsOf(state->oneWayIdle()));
}

// Once what one receive brought has gone across: the next receive, or the source's end passed
// on to the destination.
void next(const std::shared_ptr<State> &state, const Direction &direction, bool isComplete,
          const std::optional<NetworkError> &failure) {
  if (!state->isOpen())
    return;
  if (failure) {
    state->failed(*direction.source, *failure);
  } else if (!isComplete) {
    pump(state, direction);
  } else {
    direction.destination->endSending([state, direction](std::optional<NetworkError> error) {
      if (!state->isOpen())
        return;
      if (error)
        state->failed(*direction.destination, *error);
      else
        ended(state, direction);
    });
  }
}

void pump(const std::shared_ptr<State> &state, const Direction &direction) {
  state->noteReceiving(direction.fromA, true);
  direction.source->receive(
      1, chunkSize,
      [state, direction](Bytes data, bool isComplete, std::optional<NetworkError> error) {
        if (!state->isOpen())
          return;
        state->noteReceiving(direction.fromA, false);
        if (data.empty()) {
          next(state, direction, isComplete, error);
          return;
        }
        // Bytes that came with the end of the stream or an error still go across first.
        direction.destination->send(std::move(data),
                                    [state, direction, isComplete, error = std::move(error)](
                                        std::optional<NetworkError> sendError) {
                                      if (!state->isOpen())
                                        return;
                                      if (sendError)
                                        state->failed(*direction.destination, *sendError);
                                      else
                                        next(state, direction, isComplete, error);
                                    });
      });
}

// Either connection cancelled or failed, by the relay or anyone else, ends the relay: a
// direction that has ended has no receive left to notice it.
void watch(const std::shared_ptr<State> &state, const std::shared_ptr<Connection> &connection) {
  connection->setStateHandler(
      [weak = std::weak_ptr<State>(state), side = connection.get()](const Connection::State &s) {
        auto state = weak.lock();
        if (!state)
          return;
        if (s.kind == Connection::State::Kind::failed)
          state->failed(*side, s.error.value_or(NetworkError::posix(EIO)));
        else if (s.kind == Connection::State::Kind::cancelled)
          state->end(State::Ending::reset);
      });
}

} // namespace

State::State(std::shared_ptr<Connection> a, std::shared_ptr<Connection> b,
             std::function<void()> onClose, double oneWayIdle)
    : a(std::move(a)), b(std::move(b)), onClose_(std::move(onClose)), oneWayIdle_(oneWayIdle) {}

bool State::isOpen() const {
  std::lock_guard guard(lock_);
  return open_;
}

void State::tearDown() {
  endLingering(false);
}

void State::cut() {
  endLingering(true);
}

void State::endLingering(bool evenClean) {
  end(Ending::reset);
  // A side still handing its reader the rest after a cut, also one whose relay ended just now,
  // is cut too; its look then finds it closed. After a clean end, a's kept close reports back
  // when it is done.
  bool lingering = false;
  bool clean = false;
  {
    std::lock_guard guard(lock_);
    lingering = lingering_ > 0;
    clean = closedCleanly_;
    letGo_ = lingering && clean && !evenClean;
  }
  if (!lingering)
    return;
  if (clean && !evenClean) {
    a->letGo();
  } else {
    a->abort();
    b->abort();
  }
}

bool State::close(bool fromA, bool &passedOn, int lingering, bool clean) {
  WorkItem idleCheck;
  {
    std::lock_guard guard(lock_);
    if (!open_)
      return false;
    open_ = false;
    lingering_ = lingering;
    closedCleanly_ = clean;
    idleCheck = std::move(idleCheck_);
    passedOn = ended_[fromA ? 0 : 1].has_value();
  }
  if (idleCheck)
    idleCheck.cancel();
  return true;
}

void State::lingered() {
  std::function<void()> onClose;
  {
    std::lock_guard guard(lock_);
    if (lingering_ > 0 && --lingering_ > 0)
      return;
    onClose = std::move(onClose_);
  }
  if (onClose)
    onClose();
}

void State::end(Ending ending) {
  bool passedOn = false;
  const int lingering = ending == Ending::reset ? 0 : ending == Ending::clean ? 1 : 2;
  if (!close(true, passedOn, lingering, ending == Ending::clean))
    return;
  auto self = shared_from_this();
  switch (ending) {
  case Ending::clean: {
    // The place is the stream's until a's reader has acknowledged the rest.
    a->cancel([self] { self->lingered(); });
    b->cancel();
    // An owner that let go from another queue meanwhile asked before this close was there.
    bool letGo = false;
    {
      std::lock_guard guard(lock_);
      letGo = letGo_;
    }
    if (letGo)
      a->letGo();
    return;
  }
  case Ending::reset:
    a->abort();
    b->abort();
    break;
  case Ending::givenUp:
    resetOnceTaken(self, a);
    resetOnceTaken(self, b);
    return;
  }
  lingered();
}

void State::failed(const Connection &failed, const NetworkError &error) {
  if (error.isPosix(ECANCELED)) {
    end(Ending::reset);
    return;
  }
  const bool fromA = &failed == a.get();
  bool passedOn = false;
  if (!close(fromA, passedOn, 1))
    return;
  (fromA ? a : b)->abort();
  // What came from the failed side before it failed is its own: it reaches the reader, and the
  // reset follows, as it would straight across.
  resetOnceTaken(shared_from_this(), fromA ? b : a);
}

std::optional<Clock::time_point> State::receivingSince(bool fromA) const {
  std::lock_guard guard(lock_);
  return receiving_[fromA ? 0 : 1];
}

std::optional<Clock::time_point> State::endedSince(bool fromA) const {
  std::lock_guard guard(lock_);
  return ended_[fromA ? 0 : 1];
}

void State::whenTaken(bool fromA, std::function<void(bool)> answer) {
  auto destination = fromA ? b : a;
  if (!destination->queue()) {
    answer(false);
    return;
  }
  // What was just sent may wait for its acknowledgement a little (a delayed ACK): a stream
  // ended only just is looked at again for a moment, as it is as good as taken.
  auto look = [self = shared_from_this(), fromA, destination,
               answer = std::move(answer)]() mutable {
    const auto left = destination->unacknowledged();
    const auto ended = self->endedSince(fromA);
    const bool open = self->isOpen();
    if (left && *left > 0 && open && ended && Clock::now() < *ended + takenWait)
      return true;
    answer(left && *left == 0 && open && ended);
    return false;
  };
  destination->queue()->post([destination, look = std::move(look)]() mutable {
    if (look())
      lookAgain(destination, firstLook, std::move(look));
  });
}

bool State::directionEnded(bool fromA) {
  std::lock_guard guard(lock_);
  ended_[fromA ? 0 : 1] = Clock::now();
  return ended_[0] && ended_[1];
}

void State::noteReceiving(bool fromA, bool receiving) {
  std::lock_guard guard(lock_);
  auto &since = receiving_[fromA ? 0 : 1];
  if (receiving)
    since = Clock::now();
  else
    since.reset();
}

void State::setIdleCheck(WorkItem check) {
  {
    std::lock_guard guard(lock_);
    if (open_) {
      idleCheck_ = std::move(check);
      return;
    }
  }
  check.cancel();
}

std::shared_ptr<State> runBridge(std::shared_ptr<Connection> a, std::shared_ptr<Connection> b,
                                 std::function<void()> onClose, double oneWayIdle) {
  if (!a || !b)
    return nullptr;
  auto state = std::make_shared<State>(a, b, std::move(onClose), oneWayIdle);
  a->resetUnlessClosed();
  b->resetUnlessClosed();
  watch(state, a);
  watch(state, b);
  pump(state, {a, b, true});
  if (state->isOpen())
    pump(state, {b, a, false});
  return state;
}

} // namespace corvane::Bridge

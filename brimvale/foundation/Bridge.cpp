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
// How long whenTaken waits for the last bytes of a stream to be acknowledged.
constexpr auto takenWait = std::chrono::milliseconds(200);

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
// for `stall`; a connection already closed is left as it is.
void resetOnceTaken(const std::shared_ptr<Connection> &connection, Clock::duration stall) {
  struct Progress {
    std::optional<std::size_t> left;
    Clock::time_point at = Clock::now();
  };
  auto progress = std::make_shared<Progress>();
  auto look = [connection, stall, progress] {
    const auto left = connection->unacknowledged();
    if (!left || *left == 0) {
      connection->abort();
      return false;
    }
    const auto now = Clock::now();
    if (!progress->left || *left < *progress->left)
      *progress = {left, now};
    if (now - progress->at >= stall) {
      connection->abort();
      return false;
    }
    return true;
  };
  if (auto queue = connection->queue())
    queue->post([connection, look]() mutable {
      if (look())
        lookAgain(connection, firstLook, std::move(look));
    });
  else
    connection->abort();
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
  end(Ending::reset);
}

bool State::close(std::function<void()> &onClose, bool fromA, bool &passedOn) {
  WorkItem idleCheck;
  {
    std::lock_guard guard(lock_);
    if (!open_)
      return false;
    open_ = false;
    onClose = std::move(onClose_);
    idleCheck = std::move(idleCheck_);
    passedOn = ended_[fromA ? 0 : 1].has_value();
  }
  if (idleCheck)
    idleCheck.cancel();
  return true;
}

void State::end(Ending ending) {
  std::function<void()> onClose;
  bool passedOn = false;
  if (!close(onClose, true, passedOn))
    return;
  switch (ending) {
  case Ending::clean:
    a->cancel();
    b->cancel();
    break;
  case Ending::reset:
    a->abort();
    b->abort();
    break;
  case Ending::givenUp:
    resetOnceTaken(a, secondsOf(oneWayIdle_));
    resetOnceTaken(b, secondsOf(oneWayIdle_));
    break;
  }
  if (onClose)
    onClose();
}

void State::failed(const Connection &failed, const NetworkError &error) {
  if (error.isPosix(ECANCELED)) {
    end(Ending::reset);
    return;
  }
  const bool fromA = &failed == a.get();
  const auto &other = fromA ? b : a;
  std::function<void()> onClose;
  bool wholeStreamPassedOn = false;
  if (!close(onClose, fromA, wholeStreamPassedOn))
    return;
  (fromA ? a : b)->abort();
  if (wholeStreamPassedOn)
    resetOnceTaken(other, secondsOf(oneWayIdle_));
  else
    other->abort();
  if (onClose)
    onClose();
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
  // What was just sent may wait for its acknowledgement a little (a delayed ACK): a short
  // look again spares a stream that is as good as taken.
  const auto until = Clock::now() + takenWait;
  auto look = [self = shared_from_this(), fromA, destination, until,
               answer = std::move(answer)]() mutable {
    const auto left = destination->unacknowledged();
    if (left && *left > 0 && self->isOpen() && self->endedSince(fromA) && Clock::now() < until)
      return true;
    answer(left && *left == 0 && self->isOpen() && self->endedSince(fromA));
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

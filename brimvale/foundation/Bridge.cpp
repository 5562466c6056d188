#include "brimvale/foundation/Bridge.h"

#include "brimvale/platform/SerialQueue.h"

#include <algorithm>
#include <cerrno>

namespace corvane::Bridge {

namespace {

using Clock = State::Clock;

// Ends a relay with one direction ended once the other has waited for bytes, with nothing of
// its own on the way, for `idle`; otherwise looks again when that could next be true.
void checkIdle(const std::shared_ptr<State> &state, bool fromA, Clock::duration idle) {
  auto queue = state->a->queue();
  const auto since = state->receivingSince(fromA);
  const auto left = since ? idle - (Clock::now() - *since) : idle;
  if (left <= Clock::duration::zero() || !queue) {
    // Closed cleanly: what the last sends left in the socket buffers still reaches a slow
    // reader, and the other machine's relay takes it as an end as well.
    state->tearDown(true);
    return;
  }
  state->setIdleCheck(queue->postAfter(std::chrono::duration<double>(left).count(),
                                       [weak = std::weak_ptr<State>(state), fromA, idle] {
                                         if (auto state = weak.lock(); state && state->isOpen())
                                           checkIdle(state, fromA, idle);
                                       }));
}

// A failure ends the relay with clean closes, so that what was handed on before it still
// arrives; a connection cancelled by its owner (a route stopped, a share withdrawn) resets the
// rest.
bool cancelledByOwner(const std::optional<NetworkError> &error) {
  return error && error->isPosix(ECANCELED);
}

// One direction of the relay.
struct Direction {
  std::shared_ptr<Connection> source;
  std::shared_ptr<Connection> destination;
  bool fromA = true;
  double idleSeconds = oneWayIdleLimit;
};

void pump(const std::shared_ptr<State> &state, const Direction &direction);

// The source's end has reached the destination: the relay is over once both have, and until
// then the other direction is watched for idleness.
void ended(const std::shared_ptr<State> &state, const Direction &direction) {
  if (state->directionEnded(direction.fromA)) {
    state->tearDown();
    return;
  }
  // A day at most: a longer wait is no bound, and keeps the conversion in range.
  const double seconds = std::min(std::max(0.0, direction.idleSeconds), 86400.0);
  checkIdle(state, !direction.fromA,
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
}

// Once what one receive brought has gone across: the next receive, or the source's end passed
// on to the destination.
void next(const std::shared_ptr<State> &state, const Direction &direction, bool isComplete,
          const std::optional<NetworkError> &failure) {
  if (!state->isOpen())
    return;
  if (failure) {
    state->tearDown(!cancelledByOwner(failure));
  } else if (!isComplete) {
    pump(state, direction);
  } else {
    direction.destination->endSending([state, direction](std::optional<NetworkError> error) {
      if (!state->isOpen())
        return;
      if (error)
        state->tearDown(!cancelledByOwner(error));
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
                                      if (sendError)
                                        state->tearDown(!cancelledByOwner(sendError));
                                      else
                                        next(state, direction, isComplete, error);
                                    });
      });
}

// Either connection cancelled or failed, by the relay or anyone else, ends the relay: a
// direction that has ended has no receive left to notice it.
void watch(const std::shared_ptr<State> &state, const std::shared_ptr<Connection> &connection) {
  connection->setStateHandler([weak = std::weak_ptr<State>(state)](const Connection::State &s) {
    if (s.kind != Connection::State::Kind::cancelled && s.kind != Connection::State::Kind::failed)
      return;
    if (auto state = weak.lock())
      state->tearDown(s.kind == Connection::State::Kind::failed);
  });
}

} // namespace

State::State(std::shared_ptr<Connection> a, std::shared_ptr<Connection> b,
             std::function<void()> onClose)
    : a(std::move(a)), b(std::move(b)), onClose_(std::move(onClose)) {}

bool State::isOpen() const {
  std::lock_guard guard(lock_);
  return open_;
}

void State::tearDown(bool clean) {
  std::function<void()> onClose;
  WorkItem idleCheck;
  bool ended = false;
  {
    std::lock_guard guard(lock_);
    if (!open_)
      return;
    open_ = false;
    onClose = std::move(onClose_);
    idleCheck = std::move(idleCheck_);
    ended = clean || (ended_[0] && ended_[1]);
  }
  if (idleCheck)
    idleCheck.cancel();
  // A relay its owner cuts short resets both sides: a clean close would read there as the end
  // of one direction, and the other machine would keep its half waiting.
  if (ended) {
    a->cancel();
    b->cancel();
  } else {
    a->abort();
    b->abort();
  }
  if (onClose)
    onClose();
}

std::optional<Clock::time_point> State::firstSideEnded() const {
  std::lock_guard guard(lock_);
  return ended_[0];
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

std::optional<Clock::time_point> State::receivingSince(bool fromA) const {
  std::lock_guard guard(lock_);
  return receiving_[fromA ? 0 : 1];
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
  auto state = std::make_shared<State>(a, b, std::move(onClose));
  watch(state, a);
  watch(state, b);
  pump(state, {a, b, true, oneWayIdle});
  if (state->isOpen())
    pump(state, {b, a, false, oneWayIdle});
  return state;
}

} // namespace corvane::Bridge

#include "brimvale/foundation/Bridge.h"

#include "brimvale/platform/SerialQueue.h"

#include <algorithm>

namespace corvane::Bridge {

namespace {

using Clock = std::chrono::steady_clock;

// Ends a half-closed relay once the second side has been idle for `idle`; otherwise looks again
// when that would next be true.
void checkIdle(const std::shared_ptr<State> &state, Clock::duration idle) {
  const auto left = idle - state->sinceProgress();
  auto queue = state->b->queue();
  if (left <= Clock::duration::zero() || !queue) {
    state->tearDown();
    return;
  }
  state->setIdleCheck(queue->postAfter(std::chrono::duration<double>(left).count(),
                                       [weak = std::weak_ptr<State>(state), idle] {
                                         if (auto state = weak.lock(); state && state->isOpen())
                                           checkIdle(state, idle);
                                       }));
}

// The first side ended its sending: only the other direction goes on, watched for idleness.
// Nothing is passed on to the second side.
void halfClose(const std::shared_ptr<State> &state, double idleSeconds) {
  // A day at most: a longer wait is no bound, and keeps the conversion in range.
  const double seconds = std::min(std::max(0.0, idleSeconds), 86400.0);
  state->startIdleClock();
  checkIdle(state,
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
}

// One direction of the relay.
struct Direction {
  std::shared_ptr<Connection> source;
  std::shared_ptr<Connection> destination;
  // Set when the source's end leaves the other direction running.
  std::optional<double> halfCloseIdle;
};

void pump(const std::shared_ptr<State> &state, const Direction &direction);

// Once what one receive brought has gone across: the next receive, or the source's end.
void next(const std::shared_ptr<State> &state, const Direction &direction, bool isComplete,
          bool failed) {
  if (!state->isOpen())
    return;
  if (!isComplete && !failed)
    pump(state, direction);
  else if (!failed && direction.halfCloseIdle)
    halfClose(state, *direction.halfCloseIdle);
  else
    state->tearDown();
}

void pump(const std::shared_ptr<State> &state, const Direction &direction) {
  direction.source->receive(
      1, chunkSize,
      [state, direction](Bytes data, bool isComplete, std::optional<NetworkError> error) {
        if (!state->isOpen())
          return;
        state->noteProgress();
        if (data.empty()) {
          next(state, direction, isComplete, error.has_value());
          return;
        }
        // Bytes that came with the end of the stream or an error still go across first.
        direction.destination->send(std::move(data),
                                    [state, direction, isComplete, failed = error.has_value()](
                                        std::optional<NetworkError> sendError) {
                                      state->noteProgress();
                                      if (sendError)
                                        state->tearDown();
                                      else
                                        next(state, direction, isComplete, failed);
                                    });
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

void State::tearDown() {
  std::function<void()> onClose;
  WorkItem idleCheck;
  {
    std::lock_guard guard(lock_);
    if (!open_)
      return;
    open_ = false;
    onClose = std::move(onClose_);
    idleCheck = std::move(idleCheck_);
  }
  if (idleCheck)
    idleCheck.cancel();
  a->cancel();
  b->cancel();
  if (onClose)
    onClose();
}

void State::startIdleClock() {
  lastProgress_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
  idleClock_.store(true, std::memory_order_relaxed);
}

void State::noteProgress() {
  if (idleClock_.load(std::memory_order_relaxed))
    lastProgress_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
}

Clock::duration State::sinceProgress() const {
  return Clock::now() -
         Clock::time_point(Clock::duration(lastProgress_.load(std::memory_order_relaxed)));
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

void runBridge(std::shared_ptr<Connection> a, std::shared_ptr<Connection> b,
               std::function<void()> onClose, Options options) {
  if (!a || !b)
    return;
  auto state = std::make_shared<State>(a, b, std::move(onClose));
  pump(state,
       {a, b, options.firstSideHalfCloses ? std::optional(options.halfCloseIdle) : std::nullopt});
  if (state->isOpen())
    pump(state, {b, a, std::nullopt});
}

} // namespace corvane::Bridge

#include "brimvale/foundation/Bridge.h"

namespace corvane::Bridge {

namespace {

void pump(const std::shared_ptr<State> &state, const std::shared_ptr<Connection> &source,
          const std::shared_ptr<Connection> &destination) {
  source->receive(
      1, chunkSize,
      [state, source, destination](Bytes data, bool isComplete, std::optional<NetworkError> error) {
        if (!state->isOpen())
          return;
        if (!data.empty()) {
          // Bytes that came with the end of the stream or an error still go across first.
          bool endsAfter = isComplete || error.has_value();
          destination->send(std::move(data), [state, source, destination,
                                              endsAfter](std::optional<NetworkError> sendError) {
            if (sendError || endsAfter) {
              state->tearDown();
              return;
            }
            if (state->isOpen())
              pump(state, source, destination);
          });
          return;
        }
        if (!error && !isComplete && state->isOpen()) {
          pump(state, source, destination);
          return;
        }
        state->tearDown();
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
  {
    std::lock_guard guard(lock_);
    if (!open_)
      return;
    open_ = false;
    onClose = std::move(onClose_);
  }
  a->cancel();
  b->cancel();
  if (onClose)
    onClose();
}

void runBridge(std::shared_ptr<Connection> a, std::shared_ptr<Connection> b,
               std::function<void()> onClose) {
  if (!a || !b)
    return;
  auto state = std::make_shared<State>(a, b, std::move(onClose));
  pump(state, a, b);
  if (state->isOpen())
    pump(state, b, a);
}

} // namespace corvane::Bridge

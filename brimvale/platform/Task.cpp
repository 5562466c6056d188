#include "brimvale/platform/Task.h"

namespace corvane {

void Task::cancel() const {
  if (!state_ || state_->cancelled || state_->done)
    return;
  state_->cancelled = true;
  if (auto interrupt = std::exchange(state_->interrupt, nullptr))
    interrupt();
}

namespace detail {

Resumption::~Resumption() {
  if (handle_)
    handle_.destroy();
}

bool Resumption::resume() {
  auto handle = std::exchange(handle_, nullptr);
  if (!handle)
    return false;
  handle.resume();
  return true;
}

} // namespace detail

bool SleepAwaiter::await_suspend(std::coroutine_handle<Task::promise_type> handle) {
  state_ = handle.promise().state;
  auto queue = queue_.lock();
  if (state_->cancelled || !queue) {
    cancelled_ = true;
    return false;
  }
  auto resumption = std::make_shared<detail::Resumption>(handle);
  auto state = state_;
  auto *self = this;
  const WorkItem timer = queue->postAfterContinuous(seconds_, [resumption, state] {
    state->interrupt = nullptr;
    resumption->resume();
  });
  // Cancelling resumes the task from the queue, never from inside cancel().
  std::weak_ptr<detail::Resumption> weak = resumption;
  state_->interrupt = [weakQueue = queue_, weak, timer, self] {
    timer.cancel();
    auto pending = weak.lock();
    auto queue = weakQueue.lock();
    if (pending && queue) {
      self->cancelled_ = true;
      queue->post([pending] { pending->resume(); });
    }
  };
  return true;
}

} // namespace corvane

#pragma once

#include "brimvale/platform/MainQueue.h"

#include <coroutine>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

namespace corvane {

// A coroutine that runs on the main queue: it starts at once on the caller's (main) queue and
// resumes there after each await. The handle lets its owner cancel it: a pending sleep then
// ends early and reports false, and every later sleep reports false at once. Dropping the
// handle does not cancel the task. A task whose queue goes away while it waits is destroyed
// with its locals, never resumed.
class Task {
public:
  struct State {
    bool cancelled = false;
    bool done = false;
    // Ends the current wait early; set while a sleep is pending.
    std::function<void()> interrupt;
  };

  struct promise_type {
    std::shared_ptr<State> state = std::make_shared<State>();

    Task get_return_object() { return Task(state); }
    std::suspend_never initial_suspend() noexcept { return {}; }
    std::suspend_never final_suspend() noexcept { return {}; }
    void return_void() { state->done = true; }
    void unhandled_exception() { std::terminate(); }
  };

  Task() = default;

  void cancel() const;
  bool isCancelled() const { return state_ && state_->cancelled; }
  bool isDone() const { return !state_ || state_->done; }
  explicit operator bool() const { return state_ != nullptr; }

private:
  explicit Task(std::shared_ptr<State> state) : state_(std::move(state)) {}
  std::shared_ptr<State> state_;
};

namespace detail {

// Owns a suspended coroutine until it is resumed once; destroys it if nobody ever does.
class Resumption {
public:
  explicit Resumption(std::coroutine_handle<> handle) : handle_(handle) {}
  ~Resumption();
  Resumption(const Resumption &) = delete;
  Resumption &operator=(const Resumption &) = delete;

  // False when it was resumed already.
  bool resume();

private:
  std::coroutine_handle<> handle_;
};

} // namespace detail

// `co_await sleep(queue, seconds)` inside a Task: waits on the continuous clock, true when the
// whole time passed, false when the task was (or gets) cancelled or the queue is gone.
//
// Awaiters and tasks hold the queue weakly: a queue that owns its pending work (the manual
// queue of the tests) would otherwise be kept alive by the very work it owns. Coroutines should
// take the queue as a weak_ptr parameter for the same reason.
class SleepAwaiter {
public:
  SleepAwaiter(std::weak_ptr<MainQueue> queue, double seconds)
      : queue_(std::move(queue)), seconds_(seconds) {}

  bool await_ready() const noexcept { return false; }
  bool await_suspend(std::coroutine_handle<Task::promise_type> handle);
  bool await_resume() const noexcept { return !cancelled_; }

private:
  std::weak_ptr<MainQueue> queue_;
  double seconds_;
  bool cancelled_ = false;
  std::shared_ptr<Task::State> state_;
};

inline SleepAwaiter sleep(std::weak_ptr<MainQueue> queue, double seconds) {
  return SleepAwaiter(std::move(queue), seconds);
}

// `co_await completion<T>(queue, start)` inside a Task: calls `start` with a handler to be
// called exactly once, from any thread, with the result; the task resumes on the queue with it.
// When the queue is gone by then, the task is destroyed instead, on the caller's thread.
template <typename T> class CompletionAwaiter {
public:
  using Start = std::function<void(std::function<void(T)>)>;

  CompletionAwaiter(std::weak_ptr<MainQueue> queue, Start start)
      : queue_(std::move(queue)), start_(std::move(start)) {}

  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<> handle) {
    auto resumption = std::make_shared<detail::Resumption>(handle);
    auto result = result_;
    start_([weak = queue_, resumption, result](T value) mutable {
      *result = std::move(value);
      if (auto queue = weak.lock())
        queue->post([resumption] { resumption->resume(); });
    });
  }
  T await_resume() { return std::move(**result_); }

private:
  std::weak_ptr<MainQueue> queue_;
  Start start_;
  std::shared_ptr<std::optional<T>> result_ = std::make_shared<std::optional<T>>();
};

template <typename T>
CompletionAwaiter<T> completion(std::weak_ptr<MainQueue> queue,
                                typename CompletionAwaiter<T>::Start start) {
  return CompletionAwaiter<T>(std::move(queue), std::move(start));
}

} // namespace corvane

#pragma once

#include "brimvale/platform/AsioMainQueue.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <future>
#include <thread>
#include <type_traits>

namespace corvane::testing {

// A main queue run by a thread of its own, for tests whose engine objects call back on the
// main queue while the test itself waits on an Inbox.
class MainThread {
public:
  MainThread() : thread_([this] { context_.run(); }) {}
  ~MainThread() {
    guard_.reset();
    context_.stop();
    thread_.join();
  }
  MainThread(const MainThread &) = delete;
  MainThread &operator=(const MainThread &) = delete;

  MainQueue &queue() { return queue_; }

  // Runs `work` on the main queue and waits for its result.
  template <typename Work> auto sync(Work work) -> std::invoke_result_t<Work> {
    std::packaged_task<std::invoke_result_t<Work>()> task(std::move(work));
    auto result = task.get_future();
    queue_.post([&task] { task(); });
    return result.get();
  }

private:
  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_ =
      asio::make_work_guard(context_);
  AsioMainQueue queue_{context_};
  std::thread thread_;
};

} // namespace corvane::testing

#pragma once

#include "brimvale/platform/AsioMainQueue.h"
#include "tests/support/Wait.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <type_traits>

namespace corvane::testing {

// A main queue run by a thread of its own, for tests whose engine objects call back on the
// main queue while the test itself waits on an Inbox or polls.
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

  MainQueue &queue() { return *queue_; }
  // For owners that keep the queue (a service manager's setup, say).
  const std::shared_ptr<AsioMainQueue> &sharedQueue() const { return queue_; }

  // Runs `work` on the main queue and waits for its result.
  template <typename Work> auto sync(Work work) -> std::invoke_result_t<Work> {
    std::packaged_task<std::invoke_result_t<Work>()> task(std::move(work));
    auto result = task.get_future();
    queue_->post([&task] { task(); });
    return result.get();
  }

  // Polls `condition` on the main queue until it holds or `bound` has passed; true when it held.
  template <typename Condition>
  bool waitUntil(Condition condition, std::chrono::milliseconds bound = eventually) {
    return testing::waitUntil([&] { return sync([&] { return bool(condition()); }); }, bound);
  }

private:
  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_ =
      asio::make_work_guard(context_);
  std::shared_ptr<AsioMainQueue> queue_ = std::make_shared<AsioMainQueue>(context_);
  std::thread thread_;
};

} // namespace corvane::testing

#pragma once

#include "brimvale/platform/WorkItem.h"

#include <asio/io_context.hpp>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace corvane {

// A labelled serial queue ("corvane.gateway", "corvane.proxy", …): an io_context run by one
// thread of its own. Work posted to it runs in order, one item at a time, and the sockets and
// timers of the components that live on it are bound to its context.
class SerialQueue {
public:
  static std::shared_ptr<SerialQueue> create(std::string label);
  ~SerialQueue();

  SerialQueue(const SerialQueue &) = delete;
  SerialQueue &operator=(const SerialQueue &) = delete;

  const std::string &label() const { return label_; }

  // Safe from any thread.
  void post(std::function<void()> work);
  WorkItem postAfter(double seconds, std::function<void()> work);

  // Runs `work` on the queue and waits for it; for tests and shutdown only. Called on the
  // queue itself it runs `work` at once.
  void sync(const std::function<void()> &work);

  bool isCurrent() const;
  // The queue whose work is running on this thread; null on any other thread.
  static std::shared_ptr<SerialQueue> current();
  asio::io_context &context() { return *context_; }

private:
  explicit SerialQueue(std::string label);

  std::string label_;
  // Shared with the thread, so that a queue destroyed from its own work can let the thread
  // finish the current item before the context goes away.
  std::shared_ptr<asio::io_context> context_;
  std::unique_ptr<asio::executor_work_guard<asio::io_context::executor_type>> guard_;
  std::thread thread_;
};

} // namespace corvane

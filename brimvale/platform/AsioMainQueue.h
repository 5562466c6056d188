#pragma once

#include "brimvale/platform/MainQueue.h"

#include <asio/io_context.hpp>

namespace corvane {

// The main queue of a headless run: work goes to an io_context that the caller runs on the
// thread it calls main.
class AsioMainQueue : public MainQueue {
public:
  explicit AsioMainQueue(asio::io_context &context) : context_(context) {}

  void post(std::function<void()> work) override;
  WorkItem postAfter(double seconds, std::function<void()> work) override;
  WorkItem repeating(double interval, std::function<void()> work) override;
  bool isCurrent() const override;
  // A timerfd on CLOCK_BOOTTIME; falls back to postAfter when one cannot be made.
  WorkItem postAfterContinuous(double seconds, std::function<void()> work) override;

private:
  asio::io_context &context_;
};

} // namespace corvane

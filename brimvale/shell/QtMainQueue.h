#pragma once

#include "brimvale/platform/MainQueue.h"

#include <memory>

class QObject;

namespace corvane {

// The main queue of the application: work runs on the Qt event loop of the thread that made
// the queue (the GUI thread). `post`, `postAfter` and `repeating` may be called from any
// thread; a QCoreApplication must exist and its loop must run for anything to happen. Work
// still pending when the queue is destroyed never runs.
class QtMainQueue : public MainQueue {
public:
  QtMainQueue();
  ~QtMainQueue() override;
  QtMainQueue(const QtMainQueue &) = delete;
  QtMainQueue &operator=(const QtMainQueue &) = delete;

  void post(std::function<void()> work) override;
  WorkItem postAfter(double seconds, std::function<void()> work) override;
  WorkItem repeating(double interval, std::function<void()> work) override;
  bool isCurrent() const override;

private:
  // Owns the timers; queued calls aimed at it are dropped once it is gone.
  std::unique_ptr<QObject> context_;
};

} // namespace corvane

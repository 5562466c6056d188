#include "brimvale/platform/ManualMainQueue.h"

#include <algorithm>

namespace corvane {

namespace {
// Keeps repeating work with a zero period from looping forever inside one advance.
constexpr double shortestInterval = 1e-3;
} // namespace

void ManualMainQueue::schedule(double at, Task task) {
  std::lock_guard guard(lock_);
  tasks_.emplace(std::make_pair(at, sequence_++), std::move(task));
}

void ManualMainQueue::post(std::function<void()> work) {
  schedule(now_.load(), Task{std::move(work), WorkItem::make(), 0});
}

WorkItem ManualMainQueue::postAfter(double seconds, std::function<void()> work) {
  WorkItem item = WorkItem::make();
  schedule(now_ + std::max(seconds, 0.0), Task{std::move(work), item, 0});
  return item;
}

WorkItem ManualMainQueue::repeating(double interval, std::function<void()> work) {
  WorkItem item = WorkItem::make();
  double period = std::max(interval, shortestInterval);
  schedule(now_ + period, Task{std::move(work), item, period});
  return item;
}

bool ManualMainQueue::runNextDueBy(double limit) {
  double at = 0;
  Task task;
  {
    std::lock_guard guard(lock_);
    auto first = tasks_.begin();
    if (first == tasks_.end() || first->first.first > limit)
      return false;
    at = first->first.first;
    task = std::move(first->second);
    tasks_.erase(first);
  }
  now_ = std::max(now_.load(), at);
  if (task.item.isCancelled())
    return true;
  if (task.interval > 0)
    schedule(at + task.interval, Task{task.work, task.item, task.interval});
  task.work();
  return true;
}

void ManualMainQueue::advance(double seconds) {
  double target = now_.load() + std::max(seconds, 0.0);
  while (runNextDueBy(target)) {
  }
  now_ = target;
}

void ManualMainQueue::runUntilIdle() {
  while (runNextDueBy(now_.load())) {
  }
}

} // namespace corvane

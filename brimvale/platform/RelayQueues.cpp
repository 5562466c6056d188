#include "brimvale/platform/RelayQueues.h"

#include "brimvale/platform/SerialQueue.h"

#include <algorithm>
#include <thread>

namespace corvane {

std::size_t RelayQueues::defaultCount() {
  const std::size_t cores = std::thread::hardware_concurrency();
  return std::clamp<std::size_t>(cores, 1, maximumDefault);
}

RelayQueues::RelayQueues(std::string label, std::size_t count)
    : label_(std::move(label)), count_(count) {}

std::shared_ptr<SerialQueue> RelayQueues::next() {
  if (count_ == 0)
    return nullptr;
  std::lock_guard guard(lock_);
  const std::size_t index = turn_++ % count_;
  if (index >= queues_.size())
    queues_.push_back(SerialQueue::create(label_ + "." + std::to_string(index + 1)));
  return queues_[index];
}

std::vector<std::shared_ptr<SerialQueue>> RelayQueues::made() {
  std::lock_guard guard(lock_);
  return queues_;
}

} // namespace corvane

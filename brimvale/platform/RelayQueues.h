#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace corvane {

class SerialQueue;

// A few serial queues over which established relays are spread, so that concurrent streams
// use several cores while each connection keeps to the one queue it was given. Queues are
// made on first use, at most `count` of them, and handed out in turn. Safe from any thread.
class RelayQueues {
public:
  // One queue per core up to four: past that the engine's own queues and the programs at
  // either end of the relay need the remaining cores.
  static constexpr std::size_t maximumDefault = 4;
  static std::size_t defaultCount();

  // `count` 0 hands out no queue: relays stay where they are.
  RelayQueues(std::string label, std::size_t count);

  RelayQueues(const RelayQueues &) = delete;
  RelayQueues &operator=(const RelayQueues &) = delete;

  // The next queue in turn; null when `count` is 0.
  std::shared_ptr<SerialQueue> next();
  // The queues handed out so far.
  std::vector<std::shared_ptr<SerialQueue>> made();
  std::size_t count() const { return count_; }

private:
  std::mutex lock_;
  std::string label_;
  std::size_t count_;
  std::vector<std::shared_ptr<SerialQueue>> queues_;
  std::size_t turn_ = 0;
};

} // namespace corvane

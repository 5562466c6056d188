#pragma once

#include "brimvale/platform/WorkItem.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

struct sd_bus;
struct sd_event;

namespace corvane {

// One D-Bus connection served by a thread of its own (named by `label`, e.g. "corvane.sleep"):
// the connection and everything made on it are used only in work handed to `post` and
// `postAfter`, which run on that thread in order. Destroying the loop stops the thread and
// closes the connection; work not yet run is dropped. Destroy it from another thread than its
// own.
class BusLoop {
public:
  enum class Kind { system, session };

  // `address`, when given, is a D-Bus address used in place of the system or session bus.
  BusLoop(std::string label, Kind kind, std::optional<std::string> address = std::nullopt);
  ~BusLoop();

  BusLoop(const BusLoop &) = delete;
  BusLoop &operator=(const BusLoop &) = delete;

  // Safe from any thread.
  void post(std::function<void()> work);
  // Runs `work` after `seconds` (a monotonic clock) unless the item is cancelled first.
  WorkItem postAfter(double seconds, std::function<void()> work);

  // On the loop's thread only: the connection, or null when it could not be opened, and then
  // the negative errno that says why.
  sd_bus *bus() const { return bus_; }
  int openError() const { return openError_; }
  bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

private:
  void run(Kind kind, std::optional<std::string> address);
  void drain();

  std::string label_;
  int wakeFd_ = -1;
  std::mutex lock_;
  std::deque<std::function<void()>> pending_;
  bool stopping_ = false;
  // Confined to the thread.
  sd_event *event_ = nullptr;
  sd_bus *bus_ = nullptr;
  int openError_ = 0;
  std::thread thread_;
};

// A delay in seconds as sd-bus and sd-event microseconds: not a number or negative is zero, and
// an absurd delay is bounded so that it cannot overflow.
std::uint64_t busMicroseconds(double seconds);

} // namespace corvane

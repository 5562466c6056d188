#pragma once

#include "brimvale/platform/MainQueue.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace corvane {

class BusLoop;

// This machine's sleep and wake, from logind on the system bus. While awake it holds a delay
// inhibitor, so that before sleeping the owner can let go of what it holds: `onWillSleep`
// receives a completion, and the inhibitor is released once that is called, or after
// `releaseTimeout` at the latest so that a stuck owner cannot keep the machine awake. After
// waking, `onDidWake` runs and a new inhibitor is taken. Without a system bus or logind this is
// logged once and nothing else happens.
//
// Create, start and destroy it on the main queue; `main` must outlive it. Both callbacks run on
// the main queue, never after destruction. The bus work runs on a thread of its own.
class SleepWatcher {
public:
  struct Options {
    // A D-Bus address in place of the system bus (tests).
    std::optional<std::string> busAddress;
    double releaseTimeout = 5.0;
  };

  // Call once, from any thread, after letting go of links and listeners.
  using Done = std::function<void()>;

  explicit SleepWatcher(MainQueue &main);
  SleepWatcher(MainQueue &main, Options options);
  ~SleepWatcher();

  SleepWatcher(const SleepWatcher &) = delete;
  SleepWatcher &operator=(const SleepWatcher &) = delete;

  // Set both before `start`.
  std::function<void(Done done)> onWillSleep;
  std::function<void()> onDidWake;

  void start();

  struct Core; // the state confined to the bus thread

private:
  // How completions reach the bus thread; emptied at destruction so that a late completion
  // does nothing.
  struct Channel {
    std::mutex lock;
    BusLoop *loop = nullptr;
    Core *core = nullptr;
  };

  void report(bool sleeping, unsigned long generation);

  MainQueue &main_;
  Options options_;
  std::shared_ptr<int> alive_;
  std::shared_ptr<Channel> channel_;
  std::unique_ptr<Core> core_;
  std::unique_ptr<BusLoop> loop_;
};

} // namespace corvane

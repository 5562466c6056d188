#pragma once

#include "brimvale/integrations/NotificationRules.h"

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

namespace corvane {

class BusLoop;

// Shows notes as desktop notifications ("org.freedesktop.Notifications" on the session bus),
// from the application "Corvane", with the server's default expiry and no actions. Desktop
// notifications need no permission, so the one request a run makes is granted at once. Without
// a session bus or a notification server a note is logged at debug level and dropped.
//
// Create, use and destroy it on the main queue. `post` returns at once: the bus calls run on a
// thread of their own, each bounded in time, and notes beyond a small backlog are dropped.
class SystemNotifier {
public:
  struct Options {
    // A D-Bus address in place of the session bus (tests).
    std::optional<std::string> busAddress;
    double callTimeout = 5.0;
    std::size_t maxWaiting = 16;
  };

  SystemNotifier();
  explicit SystemNotifier(Options options);
  ~SystemNotifier();

  SystemNotifier(const SystemNotifier &) = delete;
  SystemNotifier &operator=(const SystemNotifier &) = delete;

  void post(const NotificationRules::Note &note);

  // Whether permission was asked for in this run: from the first note on.
  bool asked() const { return asked_; }

  struct Core; // the state confined to the bus thread

private:
  Options options_;
  bool asked_ = false;
  std::shared_ptr<std::atomic<std::size_t>> waiting_;
  std::unique_ptr<Core> core_;
  std::unique_ptr<BusLoop> loop_;
};

} // namespace corvane

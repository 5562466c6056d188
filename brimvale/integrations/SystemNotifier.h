#pragma once

#include "brimvale/integrations/NotificationRules.h"
#include "brimvale/platform/MainQueue.h"

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace corvane {

class BusLoop;

// Shows notes as desktop notifications ("org.freedesktop.Notifications" on the session bus),
// from the application "Corvane" with its icon and desktop entry, with the server's default
// expiry; a click on a note invokes its default action, which runs the click action. Desktop
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
  // Runs `action` on `main` whenever the user clicks a note this notifier showed (among the
  // latest few dozen), never after the notifier is gone.
  void setClickAction(std::shared_ptr<MainQueue> main, std::function<void()> action);

  // Whether permission was asked for in this run: from the first note on.
  bool asked() const { return asked_; }

  struct Core; // the state confined to the bus thread

private:
  Options options_;
  bool asked_ = false;
  std::shared_ptr<std::atomic<std::size_t>> waiting_;
  std::shared_ptr<std::function<void()>> clicked_;
  std::unique_ptr<Core> core_;
  std::unique_ptr<BusLoop> loop_;
};

} // namespace corvane

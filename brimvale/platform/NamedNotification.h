#pragma once

#include "brimvale/platform/MainQueue.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace corvane {

class SerialQueue;

// Notifications by name between the processes of one user: every observer of a name binds a
// datagram socket in $XDG_RUNTIME_DIR/corvane/notify/<name>/, and posting sends one small
// datagram to each socket there. Without a usable XDG_RUNTIME_DIR the folder is
// /tmp/corvane-<uid>/notify/<name>/, used only when it is this user's own private folder.
// An observer whose socket cannot be made there (the path too long for a socket address, a file
// system without sockets) binds in /tmp/corvane-<uid>/spare/<digest of that folder's path>/
// instead, where posting looks too. A notification carries nothing but its name.

// 1 to `maximumNotificationNameLength` characters of letters, digits, '.', '_' and '-', not
// starting with '.' and without "..": a name becomes one folder name.
inline constexpr std::size_t maximumNotificationNameLength = 64;
bool isValidNotificationName(std::string_view name);

// This user's private folder for the sockets between the application's processes:
// $XDG_RUNTIME_DIR/corvane, else /tmp/corvane-<uid>; made if missing, checked to be this user's
// own and narrowed to 0700. Empty when it cannot be had (logged). Any thread.
std::filesystem::path runtimeFolder();

// The observers' usual folder of `name`, made if missing (0700 folders, checked to be this user's);
// empty when the name is invalid or no private folder can be had (logged). Any thread.
std::filesystem::path namedNotificationFolder(std::string_view name);

// Sends the notification to every observer of `name` without blocking; a socket that nobody
// reads any more is a file left by an observer that died, and is removed. Returns how many
// observers it reached (an observer whose backlog is full counts: it still has notifications
// waiting). Any thread.
int postNamedNotification(std::string_view name);

// Observes one name while it lives: its socket is read on a serial queue of its own, and
// `handler` runs on `mainQueue` once per notification received; several arriving close
// together may be coalesced into fewer calls, never into none. Make and destroy it on the main
// queue; `mainQueue` must outlive it. No handler runs once it is destroyed, and its socket
// file is removed then.
class NamedNotificationObserver {
public:
  // Absent when the name is invalid or no socket could be bound (logged).
  static std::unique_ptr<NamedNotificationObserver> make(std::string name, MainQueue &mainQueue,
                                                         std::function<void()> handler);
  ~NamedNotificationObserver();

  NamedNotificationObserver(const NamedNotificationObserver &) = delete;
  NamedNotificationObserver &operator=(const NamedNotificationObserver &) = delete;

  const std::string &name() const { return name_; }
  // This observer's socket file.
  const std::filesystem::path &socketPath() const { return socketPath_; }

  struct Receiver;

private:
  NamedNotificationObserver(std::string name, std::filesystem::path socketPath,
                            std::shared_ptr<SerialQueue> queue, std::shared_ptr<Receiver> receiver);

  std::string name_;
  std::filesystem::path socketPath_;
  std::shared_ptr<SerialQueue> queue_;
  std::shared_ptr<Receiver> receiver_;
};

} // namespace corvane

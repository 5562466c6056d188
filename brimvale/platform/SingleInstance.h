#pragma once

#include "brimvale/platform/MainQueue.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

class SerialQueue;
namespace storage {
class FileLock;
}

// One application per user, whatever the mode: the first start holds the lock file beside the
// socket <runtime folder>/instance and listens there; a later start finds the lock held and
// hands its arguments over the socket instead. The lock decides, not the socket: it goes with
// the process that held it, so neither a socket left by an instance that died nor two starts
// at the same moment make a second instance.
//
// What arrives is untrusted (any program of the user may connect): one argument per line,
// UTF-8, then an empty line; at most `maxArguments` lines of at most `maxArgumentBytes` each,
// read within `readLimitSeconds`. Anything beyond ends the connection and delivers nothing.
class SingleInstance {
public:
  static constexpr int maxArguments = 32;
  static constexpr int maxArgumentBytes = 4096;
  static constexpr int readLimitSeconds = 5;
  static constexpr std::size_t maxMessageBytes =
      std::size_t(maxArguments) * (maxArgumentBytes + 1) + 1;

  enum class Claim { claimed, elsewhere, unavailable };

  // <runtime folder>/instance; empty when no private runtime folder can be had (logged).
  static std::filesystem::path socketPath();

  explicit SingleInstance(std::filesystem::path path = socketPath());
  // Stops serving (see stopServing) and lets the lock go.
  ~SingleInstance();
  SingleInstance(const SingleInstance &) = delete;
  SingleInstance &operator=(const SingleInstance &) = delete;

  // Becomes the running instance: takes the lock, then listens. `elsewhere` when another
  // process holds the lock; `unavailable` when the lock or the socket cannot be had (logged).
  // Later starts that connect before `serve` wait in the socket's backlog.
  Claim claim();
  // Once claimed: reads what later starts send on a queue of its own and calls `received` on
  // `mainQueue` with each complete list. Call once, on the main queue, which must outlive this.
  void serve(MainQueue &mainQueue, std::function<void(std::vector<std::string>)> received);
  // Ends serving but keeps the lock, so that no other instance starts while this one ends.
  // On the main queue, before it goes.
  void stopServing();

  // Hands `arguments` to the running instance and waits until it has read them; an instance
  // still starting is waited for. False when none has answered within `limit`. It blocks: for
  // a start that is about to leave. Arguments that are empty or hold a line break are left out.
  bool handOver(const std::vector<std::string> &arguments,
                std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

  // Decodes what a later start sent. Absent when incomplete, when the limits are broken or when
  // the text is not UTF-8.
  static std::optional<std::vector<std::string>> decode(std::string_view data);

  struct Server;

private:
  std::filesystem::path path_;
  std::unique_ptr<storage::FileLock> lock_;
  int listener_ = -1;
  std::shared_ptr<SerialQueue> queue_;
  std::shared_ptr<Server> server_;
};

} // namespace corvane

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

// One application per set of folders, whatever the mode and the environment: the first start
// holds a lock file, instance.lock, in each folder it keeps (the settings folder and the data
// folder), listens on a socket and writes where into those lock files; a later start that finds
// any of them held reads there where to hand its arguments over instead. The locks decide, not
// the socket: they go with the process that held them, so neither a socket left by an instance
// that died nor two starts at the same moment make a second instance, and a start whose
// runtime folder differs (or is missing) still finds the first.
//
// A folder named twice (the same folder for settings and data) is guarded once. The socket is
// <first folder>/instance, else, where none can be made there (a path too long for a socket
// address, a file system without sockets), <runtime folder>/instance-<digest of the folders>
// (see InstanceFolders.h). While the instance ends, the lock files say "stopping" until the
// process has gone.
//
// A later start sends one argument per line, UTF-8, then an empty line, and closes its sending
// side; the instance answers one line, "ok", "refused <why>" or "stopping", and closes. What
// arrives is untrusted (any program of the user may connect): at most `maxArguments` lines of at
// most `maxArgumentBytes` each, read within `readLimitSeconds`; anything beyond ends the
// connection and delivers nothing, as does a start that went away before it was answered.
class SingleInstance {
public:
  static constexpr int maxArguments = 32;
  static constexpr int maxArgumentBytes = 4096;
  static constexpr int readLimitSeconds = 5;
  static constexpr std::size_t maxMessageBytes =
      std::size_t(maxArguments) * (maxArgumentBytes + 1) + 1;
  static constexpr std::size_t maxAnswerBytes = 1024;

  enum class Claim { claimed, elsewhere, unavailable };

  // What the running instance says to the arguments it was handed.
  struct Answer {
    enum class Kind { taken, refused, stopping };
    Kind kind = Kind::taken;
    std::string reason; // why it refused them: one short English clause

    static Answer taken() { return {}; }
    static Answer refused(std::string why) { return {Kind::refused, std::move(why)}; }
    static Answer stopping() { return {Kind::stopping, {}}; }
  };
  using Receiver = std::function<Answer(const std::vector<std::string> &arguments)>;

  // How a start went: `run` when this start is the instance; `handedOver` when the running one
  // took the arguments; `refused` and `failed` with the reason (one English sentence).
  struct Start {
    enum class Kind { run, handedOver, refused, failed };
    Kind kind = Kind::run;
    std::string reason;
  };

  // instance::guardedFolders(): the data and the settings folder of Corvane.
  static std::vector<std::filesystem::path> guardedFolders();

  explicit SingleInstance(std::vector<std::filesystem::path> folders = guardedFolders());
  // Stops serving (see stopServing) and lets the locks go.
  ~SingleInstance();
  SingleInstance(const SingleInstance &) = delete;
  SingleInstance &operator=(const SingleInstance &) = delete;

  // Becomes the running instance: makes the folders (0700), takes every lock, then listens.
  // `elsewhere` when another process holds a lock; `unavailable` when a folder, a lock or the
  // socket cannot be had (the reason is in `failure`).
  // Later starts that connect before `serve` wait in the socket's backlog.
  Claim claim();
  // Either becomes the running instance or hands `arguments` to it: an instance still starting
  // or still stopping is waited for, and so is its answer, all within `limit`. Once the
  // arguments were sent they are never sent again. It blocks: for a start about to decide.
  Start start(const std::vector<std::string> &arguments,
              std::chrono::milliseconds limit = std::chrono::seconds(15));
  // Once claimed: reads what later starts send on a queue of its own, calls `received` on
  // `mainQueue` with each complete list and sends its answer back. Call once, on the main
  // queue, which must outlive this.
  void serve(MainQueue &mainQueue, Receiver received);
  // Ends serving but keeps the locks, so that no other instance starts while this one ends;
  // later starts are told that it stops and wait for it to be gone. On the main queue.
  void stopServing();

  // Where the claimed instance listens; empty before.
  const std::filesystem::path &socketPath() const { return socketPath_; }
  // Why the last claim was `unavailable`.
  const std::string &failure() const { return failure_; }

  // Decodes what a later start sent. Absent when incomplete, when the limits are broken or when
  // the text is not UTF-8.
  static std::optional<std::vector<std::string>> decode(std::string_view data);

  struct Server;

private:
  std::vector<std::filesystem::path> folders_;
  std::vector<std::unique_ptr<storage::FileLock>> locks_;
  // The folder whose lock another process held at the last claim.
  std::filesystem::path heldElsewhere_;
  std::filesystem::path socketPath_;
  std::string failure_;
  int listener_ = -1;
  std::shared_ptr<SerialQueue> queue_;
  std::shared_ptr<Server> server_;
};

} // namespace corvane

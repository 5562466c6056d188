#pragma once

#include "brimvale/platform/NetworkError.h"
#include "brimvale/platform/Parameters.h"

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>

namespace corvane {

class Connection;
class DnsSd;
class SerialQueue;
struct DnsSdService;

// A TCP listener, plain or TLS with pre-shared keys. Binds when started; a busy port is
// reported as `failed` with EADDRINUSE through the state handler, never thrown.
// Without a required local endpoint it listens on every IPv4 and IPv6 address.
class Listener : public std::enable_shared_from_this<Listener> {
public:
  struct State {
    enum class Kind { setup, waiting, ready, failed, cancelled };
    Kind kind = Kind::setup;
    std::optional<NetworkError> error;
  };

  using StateHandler = std::function<void(const State &)>;
  // Each new connection arrives in state setup; the handler starts it (or cancels it). It runs on
  // the queue that accepted the connection (see setAcceptQueues), where the connection is best
  // started, while cancel() waits for it: it must not wait for the listener's queue.
  using NewConnectionHandler = std::function<void(std::shared_ptr<Connection>)>;
  // Gives the queue for the next accept; null means the listener's own queue.
  using AcceptQueues = std::function<std::shared_ptr<SerialQueue>()>;

  // `port` absent lets the system choose. Fails only for parameters that cannot work.
  static std::expected<std::shared_ptr<Listener>, NetworkError>
  create(Parameters parameters, std::optional<std::uint16_t> port);

  ~Listener();

  void setStateHandler(StateHandler handler);
  void setNewConnectionHandler(NewConnectionHandler handler);
  // Spreads the accepts over other queues: after each connection the handler started, the
  // listening socket passes to the queue `next` gives, so that a new connection can begin on the
  // queue that accepted it with no hand-over. Without it every accept runs on the listener's queue.
  // Set before start(); the listener's state is still reported on its own queue.
  void setAcceptQueues(AcceptQueues next);
  // Published through `dnsSd` once the listener is ready, withdrawn when it is cancelled.
  void setService(const DnsSdService &service, std::shared_ptr<DnsSd> dnsSd);
  void start(std::shared_ptr<SerialQueue> queue);
  // Closes the listener; from any thread. Called on the listener's queue it is cancelled
  // before cancel() returns, and no new connection reaches the handler after that (one being
  // handed over on another queue is waited for).
  void cancel();

  State state() const;
  // The bound port once ready.
  std::optional<std::uint16_t> port() const;

  struct Impl;
  explicit Listener(std::unique_ptr<Impl> impl);

private:
  std::unique_ptr<Impl> impl_;
};

} // namespace corvane

#pragma once

#include "brimvale/platform/Bytes.h"
#include "brimvale/platform/Endpoint.h"
#include "brimvale/platform/NetworkError.h"
#include "brimvale/platform/Parameters.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace corvane {

class SerialQueue;

// One TCP connection, plain or TLS with a pre-shared key, with the life of the platform
// connection it replaces: setup → preparing → ready → (waiting | failed) → cancelled.
//
// Every handler and completion runs on the queue given to start(). The public operations may
// be called from any thread; they hop onto that queue. Called on that queue itself (with no
// earlier call still waiting to run) they run at once: a receive whose bytes are already
// there completes before receive() returns, so a caller must not rely on running first. A
// send's completion always comes later, from the queue. After cancel() or abort() every
// pending receive and send completes once with ECANCELED, and the state handler reports
// `cancelled` once; after a failure they complete with the failure's own error instead, as do
// those asked for later, so that a caller can tell the two apart.
//
// A TLS stream ends cleanly only with close_notify: the TCP end without it, a reset or a TLS
// error is a failure, never the end of the stream.
class Connection : public std::enable_shared_from_this<Connection> {
public:
  struct State {
    enum class Kind { setup, preparing, ready, waiting, failed, cancelled };
    Kind kind = Kind::setup;
    std::optional<NetworkError> error; // for waiting and failed
  };

  using StateHandler = std::function<void(const State &)>;
  // `data` may be empty; `isComplete` is true once the far side ended the stream.
  using ReceiveCompletion =
      std::function<void(Bytes data, bool isComplete, std::optional<NetworkError> error)>;
  using SendCompletion = std::function<void(std::optional<NetworkError> error)>;

  // An outgoing connection; nothing happens until start().
  static std::shared_ptr<Connection> create(Endpoint endpoint, Parameters parameters);

  ~Connection();

  // May be replaced or cleared (nullptr) at any time, also from inside a handler.
  void setStateHandler(StateHandler handler);
  void start(std::shared_ptr<SerialQueue> queue);

  // Completes when at least `minimum` bytes (at most `maximum`) have arrived, or with fewer at
  // the end of the stream or on an error. One receive at a time per connection.
  void receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion);
  // Completes once all bytes are handed to the system (or on failure).
  void send(Bytes data, SendCompletion completion = nullptr);
  // Ends this side's sending once every earlier send has been handed on: TLS close_notify (the
  // TCP end follows with cancel()), or for plain TCP the end of stream. Receiving goes on until
  // the far side ends too; a later send fails with EPIPE. Completes like a send. Only the first
  // call ends anything.
  void endSending(SendCompletion completion = nullptr);
  // Closes the connection cleanly: what is already handed on goes first, then TLS
  // close_notify, then the TCP end. While the socket takes nothing for a while, that end cannot
  // be sent and the close becomes a reset. Idempotent.
  void cancel();
  // Closes cleanly as cancel() does, and keeps the socket until the far side has acknowledged
  // everything sent on it, its end included, so that nothing of the stream is left in the system
  // without an owner to count it. `taken` runs once, on the connection's queue, when that is so
  // or when the socket closes first (a reset, a connection not ready, abort()); letGo() runs it
  // at once. No time limit of its own: a far side that takes nothing is its owner's to end.
  // After start().
  void cancel(std::function<void()> taken);
  // A close kept for the far side's acknowledgement stops waiting for it: `taken` runs now, and
  // the socket closes as after cancel(), the system delivering the rest.
  void letGo();
  // Closes the connection at once with a reset, dropping what is not yet sent, so that the far
  // side sees a failure rather than the end of the stream; also a close kept for the far side's
  // acknowledgement. Otherwise as cancel().
  void abort();
  // From now on the socket is reset whenever it is closed other than by cancel(): when the
  // connection fails or is dropped, and when the process ends and the system closes it. A stream
  // carried for someone else sets it, so that a program that dies mid-stream never hands the
  // far side an end that looks whole.
  void resetUnlessClosed();
  // Moves a ready connection, its socket and every later handler and completion onto `queue`,
  // so that established connections can be spread over several threads. The move runs on the
  // current queue after the operations asked for before it; operations asked for after it run
  // on `queue`, in the order they were asked for. A connection that is not ready when the move
  // runs stays where it is. Callers on other threads must not assume which queue a handler
  // runs on while a move is under way; move once, before handing the connection on.
  void moveTo(std::shared_ptr<SerialQueue> queue);

  State state() const;
  // The endpoint given at creation; for an accepted connection, the remote host and port.
  const Endpoint &endpoint() const;
  // The remote host and port once known.
  std::optional<Endpoint> remoteEndpoint() const;
  // The IANA number of the negotiated TLS suite; absent for plain TCP or before ready.
  std::optional<std::uint16_t> negotiatedCipherSuite() const;
  std::shared_ptr<SerialQueue> queue() const;
  // On the connection's queue: the bytes handed to send() that the far side has not yet
  // acknowledged, wherever they wait (here, in the TLS records, in the socket), its end
  // included; absent once the connection is closed.
  std::optional<std::size_t> unacknowledged() const;

  struct Impl;
  explicit Connection(std::unique_ptr<Impl> impl);

private:
  std::shared_ptr<Connection> keptForClose();

  std::unique_ptr<Impl> impl_;
};

} // namespace corvane

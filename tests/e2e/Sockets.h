#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace corvane::e2e {

// Blocking socket helpers for the scripted servers: false on error or end of stream.
bool writeAll(int fd, const void *data, std::size_t size);
bool readExactly(int fd, void *data, std::size_t size);

// A TCP server on 127.0.0.1 that runs `session` on each accepted socket, one thread per client.
class LoopbackServer {
public:
  using Session = std::function<void(int fd)>;

  // Listens on `port` (0: any free port).
  explicit LoopbackServer(Session session, std::uint16_t port = 0);
  ~LoopbackServer();

  LoopbackServer(const LoopbackServer &) = delete;
  LoopbackServer &operator=(const LoopbackServer &) = delete;

  bool listening() const { return listenFd_ >= 0; }
  std::uint16_t port() const { return port_; }
  int accepted() const { return accepted_.load(); }

private:
  void acceptLoop();

  Session session_;
  int listenFd_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> accepted_{0};
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<int> clients_;
  std::vector<std::thread> workers_;
};

// A loopback listener that never accepts: the kernel completes up to `backlog` connections into
// its queue, as a program that holds a port but never answers would.
class IdleListener {
public:
  explicit IdleListener(int backlog = 4);
  ~IdleListener();

  IdleListener(const IdleListener &) = delete;
  IdleListener &operator=(const IdleListener &) = delete;

  // 0 when it could not listen.
  int port() const { return port_; }

private:
  int fd_ = -1;
  int port_ = 0;
};

// Sends back every byte it receives.
class EchoServer : public LoopbackServer {
public:
  explicit EchoServer(std::uint16_t port = 0);
};

// Answers a request of six bytes ("PING\r\n") with "+PONG\r\n" and then ends its side, as a
// service that closes after its reply.
class ReplyServer : public LoopbackServer {
public:
  explicit ReplyServer(std::uint16_t port = 0);
};

// A blocking TCP client socket to 127.0.0.1 with a receive time-out, closed when destroyed.
class Client {
public:
  Client(std::uint16_t port, double timeoutSeconds);
  ~Client();

  Client(const Client &) = delete;
  Client &operator=(const Client &) = delete;

  bool connected() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  bool sendAll(const void *data, std::size_t size);
  bool sendAll(const std::string &text) { return sendAll(text.data(), text.size()); }
  // Exactly `size` bytes, or false on time-out, error or end of stream.
  bool receiveExactly(void *data, std::size_t size);
  // True when the other side closed (or reset) before `timeoutSeconds` passed.
  bool waitForClose();
  void shutdownWrite();

private:
  int fd_ = -1;
};

// Sends `payload` and reads the same number of bytes back at the same time, so that neither
// direction waits for the other's buffers; what came back.
std::vector<std::uint8_t> echoThrough(Client &client, const std::vector<std::uint8_t> &payload);

} // namespace corvane::e2e

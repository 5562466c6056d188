#include "tests/e2e/Sockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace corvane::e2e {

namespace {

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

} // namespace

bool writeAll(int fd, const void *data, std::size_t size) {
  const auto *bytes = static_cast<const std::uint8_t *>(data);
  while (size > 0) {
    const ssize_t n = ::send(fd, bytes, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool readExactly(int fd, void *data, std::size_t size) {
  auto *bytes = static_cast<std::uint8_t *>(data);
  while (size > 0) {
    const ssize_t n = ::recv(fd, bytes, size, 0);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

LoopbackServer::LoopbackServer(Session session, std::uint16_t port) : session_(std::move(session)) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0)
    return;
  const int one = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  auto address = loopback(port);
  socklen_t length = sizeof address;
  if (::bind(listenFd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
      ::listen(listenFd_, 128) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
    ::close(listenFd_);
    listenFd_ = -1;
    return;
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

LoopbackServer::~LoopbackServer() {
  stopping_ = true;
  if (listenFd_ >= 0)
    ::shutdown(listenFd_, SHUT_RDWR);
  if (acceptor_.joinable())
    acceptor_.join();
  if (listenFd_ >= 0)
    ::close(listenFd_);
  {
    std::lock_guard lock(mutex_);
    for (int fd : clients_)
      ::shutdown(fd, SHUT_RDWR);
  }
  for (auto &worker : workers_)
    worker.join();
  for (int fd : clients_)
    ::close(fd);
}

void LoopbackServer::acceptLoop() {
  while (!stopping_) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED)
        continue;
      return;
    }
    ++accepted_;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::lock_guard lock(mutex_);
    if (stopping_) {
      ::close(fd);
      return;
    }
    clients_.push_back(fd);
    workers_.emplace_back([fd, session = session_] { session(fd); });
  }
}

IdleListener::IdleListener(int backlog) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  auto address = loopback(0);
  socklen_t length = sizeof address;
  if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
      ::listen(fd_, backlog) == 0 &&
      ::getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &length) == 0)
    port_ = ntohs(address.sin_port);
}

IdleListener::~IdleListener() {
  if (fd_ >= 0)
    ::close(fd_);
}

EchoServer::EchoServer(std::uint16_t port)
    : LoopbackServer(
          [](int fd) {
            std::vector<std::uint8_t> buffer(64 * 1024);
            for (;;) {
              const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
              if (n < 0 && errno == EINTR)
                continue;
              if (n <= 0 || !writeAll(fd, buffer.data(), static_cast<std::size_t>(n)))
                break;
            }
            ::shutdown(fd, SHUT_WR);
          },
          port) {}

ReplyServer::ReplyServer(std::uint16_t port)
    : LoopbackServer(
          [](int fd) {
            char request[6];
            if (readExactly(fd, request, sizeof request))
              writeAll(fd, "+PONG\r\n", 7);
            ::shutdown(fd, SHUT_WR);
          },
          port) {}

Client::Client(std::uint16_t port, double timeoutSeconds) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0)
    return;
  timeval timeout{};
  timeout.tv_sec = static_cast<time_t>(timeoutSeconds);
  timeout.tv_usec = static_cast<suseconds_t>((timeoutSeconds - timeout.tv_sec) * 1e6);
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  const int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  const auto address = loopback(port);
  if (::connect(fd_, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

Client::~Client() {
  if (fd_ >= 0)
    ::close(fd_);
}

bool Client::sendAll(const void *data, std::size_t size) {
  return fd_ >= 0 && writeAll(fd_, data, size);
}

bool Client::receiveExactly(void *data, std::size_t size) {
  auto *bytes = static_cast<std::uint8_t *>(data);
  while (fd_ >= 0 && size > 0) {
    const ssize_t n = ::recv(fd_, bytes, size, 0);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return size == 0;
}

bool Client::waitForClose() {
  std::uint8_t byte;
  for (;;) {
    const ssize_t n = ::recv(fd_, &byte, 1, 0);
    if (n < 0 && errno == EINTR)
      continue;
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
      return true;
    if (n < 0)
      return false;
  }
}

void Client::shutdownWrite() {
  if (fd_ >= 0)
    ::shutdown(fd_, SHUT_WR);
}

std::vector<std::uint8_t> echoThrough(Client &client, const std::vector<std::uint8_t> &payload) {
  std::thread writer([&] { client.sendAll(payload.data(), payload.size()); });
  std::vector<std::uint8_t> received(payload.size());
  if (!client.receiveExactly(received.data(), received.size()))
    received.clear();
  writer.join();
  return received;
}

} // namespace corvane::e2e

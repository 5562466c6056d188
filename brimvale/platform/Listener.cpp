#include "brimvale/platform/Listener.h"

#include "brimvale/platform/Connection.h"
#include "brimvale/platform/DnsSd.h"
#include "brimvale/platform/Logger.h"
#include "brimvale/platform/SerialQueue.h"
#include "brimvale/platform/SocketAccepted.h"
#include "brimvale/platform/TlsContext.h"

#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ifaddrs.h>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace corvane {

namespace {

using tcp = asio::ip::tcp;

// Pause before accepting again when the process is out of descriptors, so the loop does not spin.
constexpr auto acceptBackoff = std::chrono::milliseconds(100);

// The listening socket on the queue it currently accepts on.
struct AcceptIo {
  explicit AcceptIo(std::shared_ptr<SerialQueue> home)
      : queue(std::move(home)), acceptor(queue->context()), retry(queue->context()) {}
  void close() {
    std::error_code ignored;
    retry.cancel();
    acceptor.close(ignored);
  }
  // Closes it on its own queue.
  static void closeOnQueue(const std::shared_ptr<AcceptIo> &io) {
    if (io->queue->isCurrent())
      io->close();
    else
      io->queue->post([io] { io->close(); });
  }
  std::shared_ptr<SerialQueue> queue;
  tcp::acceptor acceptor;
  asio::steady_timer retry;
  // Kept from binding, so that passing the socket on asks the system nothing.
  tcp protocol = tcp::v4();
};

std::optional<tcp::endpoint> bindEndpointOf(const Endpoint &endpoint) {
  const auto *hostPort = endpoint.asHostPort();
  if (!hostPort)
    return std::nullopt;
  const auto &host = hostPort->host;
  if (host.kind == Endpoint::Host::Kind::ipv4) {
    asio::ip::address_v4::bytes_type bytes;
    std::copy_n(host.address.begin(), 4, bytes.begin());
    return tcp::endpoint(asio::ip::address_v4(bytes), hostPort->port);
  }
  if (host.kind == Endpoint::Host::Kind::ipv6) {
    asio::ip::address_v6::bytes_type bytes;
    std::copy_n(host.address.begin(), 16, bytes.begin());
    return tcp::endpoint(asio::ip::address_v6(bytes, host.scopeID), hostPort->port);
  }
  return std::nullopt;
}

// Whether `address` belongs to this machine: loopback, or one of its interfaces' addresses.
bool isOwnAddress(asio::ip::address address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped())
    address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  if (address.is_loopback())
    return true;
  ifaddrs *list = nullptr;
  if (getifaddrs(&list) != 0)
    return false;
  bool found = false;
  for (ifaddrs *entry = list; entry && !found; entry = entry->ifa_next) {
    if (!entry->ifa_addr)
      continue;
    if (entry->ifa_addr->sa_family == AF_INET && address.is_v4()) {
      auto *in = reinterpret_cast<const sockaddr_in *>(entry->ifa_addr);
      auto bytes = address.to_v4().to_bytes();
      found = std::memcmp(&in->sin_addr, bytes.data(), 4) == 0;
    } else if (entry->ifa_addr->sa_family == AF_INET6 && address.is_v6()) {
      auto *in6 = reinterpret_cast<const sockaddr_in6 *>(entry->ifa_addr);
      auto bytes = address.to_v6().to_bytes();
      found = std::memcmp(&in6->sin6_addr, bytes.data(), 16) == 0;
    }
  }
  freeifaddrs(list);
  return found;
}

} // namespace

struct Listener::Impl {
  Impl(Parameters parameters, std::optional<std::uint16_t> port)
      : parameters(std::move(parameters)), requestedPort(port) {}

  // Fixed at creation.
  Parameters parameters;
  std::optional<std::uint16_t> requestedPort;
  std::shared_ptr<TlsContext> serverTls;
  std::weak_ptr<Listener> weakSelf;

  // Guarded by `mutex`.
  mutable std::mutex mutex;
  State state;
  StateHandler stateHandler;
  NewConnectionHandler newConnectionHandler;
  AcceptQueues acceptQueues;
  std::shared_ptr<SerialQueue> queue;
  std::optional<std::uint16_t> boundPort;
  std::optional<DnsSdService> service;
  std::shared_ptr<DnsSd> dnsSd;
  bool started = false;
  // The listening socket, on whichever queue accepts now.
  std::shared_ptr<AcceptIo> io;

  // Held while a new connection is handed to its handler; cancel() takes it to wait for one
  // being handed over on another queue (and may itself be called from the handler).
  std::recursive_mutex handing;
  std::atomic<bool> closed = false;

  // Used on the listener's queue only.
  std::unique_ptr<DnsSd::Handle> publication;

  // Runs `work` on the queue while the listener lives; with `atOnceOnQueue`, called on the
  // queue itself, it runs before returning.
  void onQueue(std::function<void(Impl &)> work, bool atOnceOnQueue = false) {
    std::shared_ptr<SerialQueue> target;
    {
      std::lock_guard lock(mutex);
      target = queue;
    }
    if (!target)
      return;
    if (atOnceOnQueue && target->isCurrent()) {
      if (auto self = weakSelf.lock())
        work(*self->impl_);
      return;
    }
    target->post([weak = weakSelf, work = std::move(work)] {
      if (auto self = weak.lock())
        work(*self->impl_);
    });
  }

  void report(State::Kind kind, std::optional<NetworkError> error = std::nullopt) {
    StateHandler handler;
    State copy;
    {
      std::lock_guard lock(mutex);
      state = State{kind, std::move(error)};
      copy = state;
      handler = stateHandler;
    }
    if (handler)
      handler(copy);
  }

  // On the listener's queue, while binding.
  void fail(const std::shared_ptr<AcceptIo> &io, const std::error_code &error) {
    closed = true;
    io->close();
    report(State::Kind::failed, NetworkError::posix(error.value()));
  }

  void bind() {
    if (closed)
      return;
    auto io = std::make_shared<AcceptIo>(queue);
    auto fail = [&](const std::error_code &error) { this->fail(io, error); };
    std::error_code error;
    tcp::endpoint local;
    bool dualStack = false;
    if (parameters.requiredLocalEndpoint) {
      local = *bindEndpointOf(*parameters.requiredLocalEndpoint);
      io->acceptor.open(local.protocol(), error);
    } else {
      local = tcp::endpoint(tcp::v6(), requestedPort.value_or(0));
      io->acceptor.open(tcp::v6(), error);
      dualStack = !error;
      if (error) {
        local = tcp::endpoint(tcp::v4(), requestedPort.value_or(0));
        io->acceptor.open(tcp::v4(), error);
      }
    }
    if (error)
      return fail(error);
    io->protocol = local.protocol();
    io->acceptor.set_option(tcp::acceptor::reuse_address(true), error);
    if (dualStack)
      io->acceptor.set_option(asio::ip::v6_only(false), error);
    io->acceptor.bind(local, error);
    if (error)
      return fail(error);
    io->acceptor.listen(asio::socket_base::max_listen_connections, error);
    if (error)
      return fail(error);
    // accept() takes connections straight from the descriptor, which must never block.
    io->acceptor.non_blocking(true, error);
    if (error)
      return fail(error);
    auto bound = io->acceptor.local_endpoint(error);
    if (error)
      return fail(error);
    {
      std::lock_guard lock(mutex);
      boundPort = bound.port();
      this->io = io;
    }
    report(State::Kind::ready);
    publish();
    if (!passOn(io))
      accept(io);
  }

  void publish() {
    if (closed || publication)
      return;
    std::optional<DnsSdService> toPublish;
    std::shared_ptr<DnsSd> backend;
    std::optional<std::uint16_t> port;
    {
      std::lock_guard lock(mutex);
      toPublish = service;
      backend = dnsSd;
      port = boundPort;
    }
    if (toPublish && backend && port)
      publication = backend->publish(*toPublish, *port);
  }

  // On `io`'s queue: takes the next connection there, waiting for one when none is queued.
  // Accepted straight from the descriptor, so that the new socket is not registered with this
  // queue's reactor only to be taken off again by its connection.
  void accept(const std::shared_ptr<AcceptIo> &io) {
    for (;;) {
      if (closed)
        return;
      sockaddr_storage address{};
      socklen_t length = sizeof address;
      const int fd = ::accept4(io->acceptor.native_handle(), reinterpret_cast<sockaddr *>(&address),
                               &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd >= 0) {
        // A connection its handler kept makes this queue its home: the next accept runs on
        // the next queue in turn. One refused at once (a flood) leaves the socket here, so that
        // refusing costs no hand-over.
        if (accepted(fd, address, length) && passOn(io))
          return;
        io->queue->post([weak = weakSelf, io] {
          if (auto self = weak.lock())
            self->impl_->accept(io);
        });
        return;
      }
      const int error = errno;
      if (error == EINTR || error == ECONNABORTED)
        continue;
      if (error == EAGAIN || error == EWOULDBLOCK) {
        io->acceptor.async_wait(tcp::acceptor::wait_read,
                                [weak = weakSelf, io](const std::error_code &waitError) {
                                  auto self = weak.lock();
                                  if (!self || waitError == asio::error::operation_aborted)
                                    return;
                                  self->impl_->accept(io);
                                });
        return;
      }
      if (error == EBADF || error == EINVAL)
        return; // closed under us
      // Out of descriptors or memory: pause, so that the loop does not spin; others are
      // retried at once.
      if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
        Logger::net().error(std::string("Listener cannot accept: ") + std::strerror(error));
        io->retry.expires_after(acceptBackoff);
        io->retry.async_wait([weak = weakSelf, io](const std::error_code &waitError) {
          auto again = weak.lock();
          if (!waitError && again)
            again->impl_->accept(io);
        });
        return;
      }
    }
  }

  // On `io`'s queue, with no accept pending there: passes the listening socket to the queue
  // whose turn it is to accept, which takes it from there. False when that is this queue, whose
  // caller accepts next.
  bool passOn(const std::shared_ptr<AcceptIo> &io) {
    AcceptQueues next;
    {
      std::lock_guard lock(mutex);
      next = acceptQueues;
    }
    std::shared_ptr<SerialQueue> target = next ? next() : nullptr;
    if (!target)
      target = queue;
    if (target == io->queue)
      return false;
    auto moved = std::make_shared<AcceptIo>(target);
    moved->protocol = io->protocol;
    std::error_code error;
    const int fd = io->acceptor.release(error);
    if (error)
      return false;
    {
      std::lock_guard lock(mutex);
      if (closed) {
        ::close(fd);
        return true;
      }
      this->io = moved;
    }
    target->post([weak = weakSelf, moved, fd] {
      auto self = weak.lock();
      if (!self) {
        ::close(fd);
        return;
      }
      auto &impl = *self->impl_;
      std::error_code error;
      {
        // cancel() closes whatever `io` holds; a socket it could not see yet is closed here.
        std::lock_guard lock(impl.mutex);
        if (impl.closed || impl.io != moved) {
          ::close(fd);
          return;
        }
        moved->acceptor.assign(moved->protocol, fd, error);
      }
      if (error) {
        ::close(fd);
        Logger::net().error("Listener lost its socket: " + error.message());
        return;
      }
      impl.accept(moved);
    });
    return true;
  }

  // Hands the connection to the handler; true when the handler started it.
  bool accepted(int fd, const sockaddr_storage &address, socklen_t length) {
    tcp::endpoint remote;
    if (length > remote.capacity() ||
        (address.ss_family != AF_INET && address.ss_family != AF_INET6)) {
      ::close(fd);
      return false;
    }
    std::memcpy(remote.data(), &address, length);
    remote.resize(length);
    if (parameters.acceptLocalOnly && !isOwnAddress(remote.address())) {
      ::close(fd);
      return false;
    }
    const bool ipv6 = address.ss_family == AF_INET6;
    auto connection = makeAcceptedConnection(fd, ipv6, endpointOf(remote), parameters, serverTls);
    std::lock_guard handOver(handing);
    if (closed)
      return false;
    NewConnectionHandler handler;
    {
      std::lock_guard lock(mutex);
      handler = newConnectionHandler;
    }
    if (handler)
      handler(connection);
    return connection->queue() != nullptr;
  }

  void cancel() {
    {
      std::lock_guard lock(mutex);
      if (state.kind == State::Kind::cancelled)
        return;
    }
    {
      std::lock_guard handOver(handing);
      closed = true;
    }
    std::shared_ptr<AcceptIo> current;
    {
      std::lock_guard lock(mutex);
      current = io;
    }
    if (current)
      AcceptIo::closeOnQueue(current);
    publication.reset();
    report(State::Kind::cancelled);
  }
};

Listener::Listener(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::expected<std::shared_ptr<Listener>, NetworkError>
Listener::create(Parameters parameters, std::optional<std::uint16_t> port) {
  if (parameters.requiredLocalEndpoint && !bindEndpointOf(*parameters.requiredLocalEndpoint))
    return std::unexpected(NetworkError::posix(EINVAL));
  std::shared_ptr<TlsContext> serverTls;
  if (parameters.tls) {
    auto made = TlsContext::make(*parameters.tls, TlsContext::Role::server);
    if (!made)
      return std::unexpected(made.error());
    serverTls = *made;
  }
  auto impl = std::make_unique<Impl>(std::move(parameters), port);
  impl->serverTls = std::move(serverTls);
  auto listener = std::make_shared<Listener>(std::move(impl));
  listener->impl_->weakSelf = listener;
  return listener;
}

Listener::~Listener() {
  auto &impl = *impl_;
  if (!impl.queue)
    return;
  if (impl.io)
    AcceptIo::closeOnQueue(impl.io);
  auto work = [publication = std::shared_ptr<DnsSd::Handle>(
                   std::move(impl.publication))]() mutable { publication.reset(); };
  if (impl.queue->isCurrent())
    work();
  else
    impl.queue->post(std::move(work));
}

void Listener::setStateHandler(StateHandler handler) {
  std::lock_guard lock(impl_->mutex);
  impl_->stateHandler = std::move(handler);
}

void Listener::setNewConnectionHandler(NewConnectionHandler handler) {
  std::lock_guard lock(impl_->mutex);
  impl_->newConnectionHandler = std::move(handler);
}

void Listener::setAcceptQueues(AcceptQueues next) {
  std::lock_guard lock(impl_->mutex);
  impl_->acceptQueues = std::move(next);
}

void Listener::setService(const DnsSdService &service, std::shared_ptr<DnsSd> dnsSd) {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->service = service;
    impl_->dnsSd = std::move(dnsSd);
  }
  impl_->onQueue([](Impl &impl) {
    if (!impl.closed)
      impl.publish();
  });
}

void Listener::start(std::shared_ptr<SerialQueue> queue) {
  if (!queue)
    return;
  {
    std::lock_guard lock(impl_->mutex);
    if (impl_->started)
      return;
    impl_->started = true;
    impl_->queue = queue;
  }
  impl_->onQueue([](Impl &impl) { impl.bind(); });
}

void Listener::cancel() {
  bool started;
  {
    std::lock_guard lock(impl_->mutex);
    started = impl_->started;
  }
  if (!started) {
    // Never bound: nothing to close, but the caller still hears that it ended.
    impl_->closed = true;
    impl_->report(State::Kind::cancelled);
    return;
  }
  // On the queue it takes effect before returning: a connection whose acceptance is already
  // queued must not reach the handler of an owner that has just let go.
  impl_->onQueue([](Impl &impl) { impl.cancel(); }, /*atOnceOnQueue=*/true);
}

Listener::State Listener::state() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->state;
}

std::optional<std::uint16_t> Listener::port() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->boundPort;
}

} // namespace corvane

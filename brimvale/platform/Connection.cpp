#include "brimvale/platform/Connection.h"

#include "brimvale/platform/DnsSd.h"
#include "brimvale/platform/Logger.h"
#include "brimvale/platform/SerialQueue.h"
#include "brimvale/platform/SocketAccepted.h"
#include "brimvale/platform/TlsContext.h"

#include <algorithm>
#include <array>
#include <asio/connect.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/ssl.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>
#include <cerrno>
#include <chrono>
#include <deque>
#include <mutex>
#include <netdb.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <unistd.h>

namespace corvane {

namespace {

using tcp = asio::ip::tcp;

// The largest piece taken from the socket at once; larger receives fill over several reads.
constexpr std::size_t readChunk = 65536;
// How long a cancelled connection may spend closing gracefully before its socket is dropped.
constexpr auto closeLimit = std::chrono::seconds(2);

NetworkError errorOf(const std::error_code &error) {
  if (error.category() == asio::error::get_netdb_category() ||
      error.category() == asio::error::get_addrinfo_category())
    return NetworkError::dns(error.value(), error.message());
  if (error.category() == asio::error::get_ssl_category() ||
      error.category() == asio::ssl::error::get_stream_category())
    return tlsErrorFromLibrary(error);
  if (error.category() == asio::error::get_misc_category())
    return NetworkError::posix(error == asio::error::eof ? ECONNRESET : EIO);
  return NetworkError::posix(error.value());
}

bool isEndOfStream(const std::error_code &error) {
  // A peer that drops the TCP connection without close_notify still ends the stream; frames are
  // length-prefixed, so a cut inside one is seen by the reader.
  return error == asio::error::eof || error == asio::ssl::error::stream_truncated;
}

std::optional<tcp::endpoint> socketEndpointOf(const Endpoint::HostPort &hostPort) {
  const auto &host = hostPort.host;
  if (host.kind == Endpoint::Host::Kind::ipv4) {
    asio::ip::address_v4::bytes_type bytes;
    std::copy_n(host.address.begin(), 4, bytes.begin());
    return tcp::endpoint(asio::ip::address_v4(bytes), hostPort.port);
  }
  if (host.kind == Endpoint::Host::Kind::ipv6) {
    asio::ip::address_v6::bytes_type bytes;
    std::copy_n(host.address.begin(), 16, bytes.begin());
    return tcp::endpoint(asio::ip::address_v6(bytes, host.scopeID), hostPort.port);
  }
  return std::nullopt;
}

// Everything the socket operations touch; shared with their handlers so that it outlives them
// even when the connection itself is gone.
struct Io {
  explicit Io(asio::io_context &context) : socket(context), timer(context), resolver(context) {}

  template <typename Handler> void readSome(std::size_t size, Handler handler) {
    auto buffer = asio::buffer(scratch.data(), size);
    if (tls)
      tls->async_read_some(buffer, std::move(handler));
    else
      socket.async_read_some(buffer, std::move(handler));
  }

  template <typename Handler> void writeAll(Handler handler) {
    auto buffer = asio::buffer(outgoing);
    if (tls)
      asio::async_write(*tls, buffer, std::move(handler));
    else
      asio::async_write(socket, buffer, std::move(handler));
  }

  void close() {
    std::error_code ignored;
    timer.cancel();
    resolver.cancel();
    socket.close(ignored);
  }

  tcp::socket socket;
  asio::steady_timer timer;
  tcp::resolver resolver;
  std::shared_ptr<TlsContext> tlsContext;
  std::unique_ptr<asio::ssl::stream<tcp::socket &>> tls;
  std::array<std::uint8_t, readChunk> scratch{};
  Bytes outgoing;
};

void applyOptions(tcp::socket &socket, const Parameters &parameters) {
  std::error_code ignored;
  if (parameters.noDelay)
    socket.set_option(tcp::no_delay(true), ignored);
  if (parameters.keepAlive) {
    socket.set_option(asio::socket_base::keep_alive(true), ignored);
    if (parameters.keepAliveIdle > 0) {
      int idle = parameters.keepAliveIdle;
      ::setsockopt(socket.native_handle(), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    }
  }
}

} // namespace

Endpoint endpointOf(const tcp::endpoint &endpoint) {
  auto address = endpoint.address();
  if (address.is_v6() && address.to_v6().is_v4_mapped())
    address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  if (address.is_v4()) {
    auto bytes = address.to_v4().to_bytes();
    return Endpoint::hostPort(Endpoint::Host::ipv4({bytes[0], bytes[1], bytes[2], bytes[3]}),
                              endpoint.port());
  }
  auto v6 = address.to_v6();
  auto bytes = v6.to_bytes();
  std::array<std::uint8_t, 16> raw{};
  std::copy(bytes.begin(), bytes.end(), raw.begin());
  return Endpoint::hostPort(Endpoint::Host::ipv6(raw, static_cast<std::uint32_t>(v6.scope_id())),
                            endpoint.port());
}

struct Connection::Impl {
  enum class Phase { idle, connecting, handshaking, open, waiting, closed };

  struct PendingReceive {
    std::size_t minimum;
    std::size_t maximum;
    ReceiveCompletion completion;
  };
  struct PendingSend {
    Bytes data;
    SendCompletion completion;
  };

  Impl(Endpoint endpoint, Parameters parameters)
      : endpoint(std::move(endpoint)), parameters(std::move(parameters)) {}

  // Fixed at creation.
  Endpoint endpoint;
  Parameters parameters;
  int acceptedFd = -1;
  bool acceptedIPv6 = false;
  std::shared_ptr<TlsContext> serverTls;
  std::weak_ptr<Connection> weakSelf;

  // Guarded by `mutex`: what other threads may read or set.
  mutable std::mutex mutex;
  State state;
  StateHandler stateHandler;
  std::shared_ptr<SerialQueue> queue;
  std::vector<std::function<void()>> deferred;
  std::optional<Endpoint> remote;
  std::optional<std::uint16_t> suite;
  bool started = false;

  // Used on the queue only.
  Phase phase = Phase::idle;
  std::shared_ptr<Io> io;
  std::deque<Endpoint::HostPort> candidates;
  std::optional<NetworkError> lastConnectError;
  std::deque<PendingReceive> receives;
  std::deque<PendingSend> sends;
  Bytes inbox;
  bool reading = false;
  bool writing = false;
  bool endOfStream = false;
  std::optional<NetworkError> readError;

  // Runs `work` on the queue while the connection lives; before start() it waits for it.
  void onQueue(std::function<void(Impl &)> work) {
    auto task = [weak = weakSelf, work = std::move(work)] {
      if (auto self = weak.lock())
        work(*self->impl_);
    };
    std::shared_ptr<SerialQueue> target;
    {
      std::lock_guard lock(mutex);
      if (!queue) {
        deferred.push_back(std::move(task));
        return;
      }
      target = queue;
    }
    target->post(std::move(task));
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

  State::Kind currentKind() const {
    std::lock_guard lock(mutex);
    return state.kind;
  }

  void begin() {
    if (phase != Phase::idle)
      return;
    io = std::make_shared<Io>(queue->context());
    if (acceptedFd >= 0) {
      std::error_code error;
      io->socket.assign(acceptedIPv6 ? tcp::v6() : tcp::v4(), acceptedFd, error);
      if (error) {
        ::close(acceptedFd);
        acceptedFd = -1;
        phase = Phase::closed;
        report(State::Kind::failed, errorOf(error));
        return;
      }
      acceptedFd = -1;
      report(State::Kind::preparing);
      connected();
      return;
    }
    phase = Phase::connecting;
    report(State::Kind::preparing);
    if (parameters.connectionTimeout > 0) {
      io->timer.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::duration<double>(std::min(parameters.connectionTimeout, 86400.0))));
      io->timer.async_wait([weak = weakSelf, io = io](const std::error_code &error) {
        auto self = weak.lock();
        if (error || !self || self->impl_->phase != Phase::connecting)
          return;
        self->impl_->connectFailed(NetworkError::posix(ETIMEDOUT));
      });
    }
    if (const auto *hostPort = endpoint.asHostPort()) {
      candidates.push_back(*hostPort);
      connectNext();
      return;
    }
    const auto &service = *endpoint.asService();
    if (!service.resolver) {
      connectFailed(NetworkError::dns(EAI_NONAME, "no resolver for the service"));
      return;
    }
    service.resolver->resolve(
        service, [weak = weakSelf, queue = queue](
                     std::expected<std::vector<Endpoint::HostPort>, NetworkError> result) {
          queue->post([weak, result = std::move(result)] {
            auto self = weak.lock();
            if (!self || self->impl_->phase != Phase::connecting)
              return;
            auto &impl = *self->impl_;
            if (!result) {
              impl.connectFailed(result.error());
              return;
            }
            impl.candidates.assign(result->begin(), result->end());
            if (impl.candidates.empty())
              impl.lastConnectError = NetworkError::dns(EAI_NONAME, "the service has no address");
            impl.connectNext();
          });
        });
  }

  void connectFailed(NetworkError error) {
    phase = Phase::waiting;
    candidates.clear();
    io->close();
    report(State::Kind::waiting, std::move(error));
  }

  void connectNext() {
    if (candidates.empty()) {
      connectFailed(lastConnectError.value_or(NetworkError::posix(ECONNREFUSED)));
      return;
    }
    Endpoint::HostPort next = candidates.front();
    candidates.pop_front();
    auto target = socketEndpointOf(next);
    if (!target) {
      io->resolver.async_resolve(
          next.host.name, std::to_string(next.port), tcp::resolver::numeric_service,
          [weak = weakSelf, io = io](const std::error_code &error,
                                     tcp::resolver::results_type results) {
            auto self = weak.lock();
            if (!self || self->impl_->phase != Phase::connecting)
              return;
            auto &impl = *self->impl_;
            if (error) {
              impl.lastConnectError = errorOf(error);
            } else {
              std::vector<Endpoint::HostPort> found;
              for (const auto &entry : results) {
                Endpoint address = endpointOf(entry.endpoint());
                found.push_back(*address.asHostPort());
              }
              impl.candidates.insert(impl.candidates.begin(), found.begin(), found.end());
            }
            impl.connectNext();
          });
      return;
    }
    std::error_code error;
    io->socket.close(error);
    io->socket.open(target->protocol(), error);
    if (error) {
      lastConnectError = errorOf(error);
      connectNext();
      return;
    }
    io->socket.async_connect(*target, [weak = weakSelf, io = io](const std::error_code &error) {
      auto self = weak.lock();
      if (!self || self->impl_->phase != Phase::connecting)
        return;
      auto &impl = *self->impl_;
      if (error) {
        impl.lastConnectError = errorOf(error);
        impl.connectNext();
        return;
      }
      impl.io->timer.cancel();
      impl.connected();
    });
  }

  void connected() {
    applyOptions(io->socket, parameters);
    std::error_code error;
    auto peer = io->socket.remote_endpoint(error);
    if (!error) {
      std::lock_guard lock(mutex);
      remote = endpointOf(peer);
    }
    bool isServer = serverTls != nullptr;
    if (!isServer && !parameters.tls) {
      becomeReady();
      return;
    }
    if (isServer) {
      io->tlsContext = serverTls;
    } else {
      auto made = TlsContext::make(*parameters.tls, TlsContext::Role::client);
      if (!made) {
        fail(made.error());
        return;
      }
      io->tlsContext = *made;
    }
    phase = Phase::handshaking;
    io->tls =
        std::make_unique<asio::ssl::stream<tcp::socket &>>(io->socket, io->tlsContext->context());
    io->tls->async_handshake(
        isServer ? asio::ssl::stream_base::server : asio::ssl::stream_base::client,
        [weak = weakSelf, io = io](const std::error_code &error) {
          auto self = weak.lock();
          if (!self || self->impl_->phase != Phase::handshaking)
            return;
          auto &impl = *self->impl_;
          if (error) {
            impl.fail(errorOf(error));
            return;
          }
          if (const SSL_CIPHER *cipher = SSL_get_current_cipher(io->tls->native_handle())) {
            std::lock_guard lock(impl.mutex);
            impl.suite = static_cast<std::uint16_t>(SSL_CIPHER_get_protocol_id(cipher));
          }
          impl.becomeReady();
        });
  }

  void becomeReady() {
    phase = Phase::open;
    report(State::Kind::ready);
    pumpReceive();
    pumpSend();
  }

  // --- receiving

  void receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) {
    if (phase == Phase::closed) {
      if (completion)
        completion({}, false, NetworkError::posix(ECANCELED));
      return;
    }
    receives.push_back({minimum, maximum, std::move(completion)});
    if (phase == Phase::open)
      pumpReceive();
  }

  void pumpReceive() {
    while (phase == Phase::open && !receives.empty()) {
      auto &front = receives.front();
      std::size_t maximum = front.maximum;
      std::size_t minimum =
          std::clamp<std::size_t>(front.minimum, 1, std::max<std::size_t>(maximum, 1));
      Bytes data;
      bool complete = false;
      std::optional<NetworkError> error;
      if (maximum == 0) {
        complete = endOfStream && inbox.empty();
      } else if (inbox.size() >= minimum || endOfStream || readError) {
        std::size_t count = std::min(inbox.size(), maximum);
        data.assign(inbox.begin(), inbox.begin() + static_cast<std::ptrdiff_t>(count));
        inbox.erase(inbox.begin(), inbox.begin() + static_cast<std::ptrdiff_t>(count));
        complete = endOfStream && inbox.empty();
        if (readError && inbox.empty() && count < minimum)
          error = readError;
      } else {
        startRead(std::min(readChunk, maximum - inbox.size()));
        return;
      }
      auto completion = std::move(front.completion);
      receives.pop_front();
      if (completion)
        completion(std::move(data), complete, std::move(error));
    }
  }

  void startRead(std::size_t size) {
    if (reading)
      return;
    reading = true;
    io->readSome(std::max<std::size_t>(size, 1),
                 [weak = weakSelf, io = io](const std::error_code &error, std::size_t n) {
                   auto self = weak.lock();
                   if (!self)
                     return;
                   auto &impl = *self->impl_;
                   impl.reading = false;
                   if (impl.phase != Phase::open)
                     return;
                   impl.inbox.insert(impl.inbox.end(), io->scratch.begin(),
                                     io->scratch.begin() + static_cast<std::ptrdiff_t>(n));
                   if (error) {
                     if (isEndOfStream(error)) {
                       impl.endOfStream = true;
                     } else {
                       impl.readError = errorOf(error);
                       impl.pumpReceive();
                       impl.fail(*impl.readError);
                       return;
                     }
                   }
                   impl.pumpReceive();
                 });
  }

  // --- sending

  void send(Bytes data, SendCompletion completion) {
    if (phase == Phase::closed) {
      if (completion)
        completion(NetworkError::posix(ECANCELED));
      return;
    }
    sends.push_back({std::move(data), std::move(completion)});
    if (phase == Phase::open)
      pumpSend();
  }

  void pumpSend() {
    if (writing || sends.empty() || phase != Phase::open)
      return;
    writing = true;
    io->outgoing = std::move(sends.front().data);
    io->writeAll([weak = weakSelf, io = io](const std::error_code &error, std::size_t) {
      auto self = weak.lock();
      if (!self)
        return;
      auto &impl = *self->impl_;
      impl.writing = false;
      if (impl.phase != Phase::open)
        return;
      auto completion = std::move(impl.sends.front().completion);
      impl.sends.pop_front();
      std::optional<NetworkError> failure;
      if (error)
        failure = errorOf(error);
      if (completion)
        completion(failure);
      if (failure)
        impl.fail(*failure);
      else
        impl.pumpSend();
    });
  }

  // --- ending

  // Completes everything pending once, with ECANCELED.
  void flushPending() {
    auto pendingReceives = std::move(receives);
    auto pendingSends = std::move(sends);
    receives.clear();
    sends.clear();
    for (auto &r : pendingReceives)
      if (r.completion)
        r.completion({}, false, NetworkError::posix(ECANCELED));
    for (auto &s : pendingSends)
      if (s.completion)
        s.completion(NetworkError::posix(ECANCELED));
  }

  void fail(NetworkError error) {
    if (phase == Phase::closed)
      return;
    phase = Phase::closed;
    if (io)
      io->close();
    flushPending();
    report(State::Kind::failed, std::move(error));
  }

  void cancel() {
    if (currentKind() == State::Kind::cancelled)
      return;
    bool graceful = phase == Phase::open && io;
    phase = Phase::closed;
    if (acceptedFd >= 0) {
      ::close(acceptedFd);
      acceptedFd = -1;
    }
    if (io) {
      if (graceful)
        closeGracefully(io);
      else
        io->close();
    }
    flushPending();
    report(State::Kind::cancelled);
  }

  // Ends the stream the way a peer expects: close_notify for TLS, then our FIN, then whatever
  // the peer still sends is read and dropped until it closes too, so that closing with unread
  // bytes does not reset the connection and destroy what was just sent. Bounded in time.
  static void closeGracefully(const std::shared_ptr<Io> &io) {
    std::error_code ignored;
    io->socket.cancel(ignored);
    io->resolver.cancel();
    io->timer.expires_after(closeLimit);
    io->timer.async_wait([io](const std::error_code &error) {
      if (!error)
        io->close();
    });
    // The aborted read and write complete first; what follows must not overlap them.
    asio::post(io->socket.get_executor(), [io] {
      if (!io->tls) {
        finishTcp(io);
        return;
      }
      SSL_set_shutdown(io->tls->native_handle(), SSL_RECEIVED_SHUTDOWN);
      io->tls->async_shutdown([io](const std::error_code &) { finishTcp(io); });
    });
  }

  static void finishTcp(const std::shared_ptr<Io> &io) {
    std::error_code error;
    io->socket.shutdown(tcp::socket::shutdown_send, error);
    if (error) {
      io->close();
      return;
    }
    drain(io);
  }

  static void drain(const std::shared_ptr<Io> &io) {
    io->socket.async_read_some(asio::buffer(io->scratch),
                               [io](const std::error_code &error, std::size_t) {
                                 if (error)
                                   io->close();
                                 else
                                   drain(io);
                               });
  }
};

Connection::Connection(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::shared_ptr<Connection> Connection::create(Endpoint endpoint, Parameters parameters) {
  auto connection = std::make_shared<Connection>(
      std::make_unique<Impl>(std::move(endpoint), std::move(parameters)));
  connection->impl_->weakSelf = connection;
  return connection;
}

std::shared_ptr<Connection> makeAcceptedConnection(int fd, bool ipv6, Endpoint remote,
                                                   Parameters parameters,
                                                   std::shared_ptr<TlsContext> serverTls) {
  auto impl = std::make_unique<Connection::Impl>(remote, std::move(parameters));
  impl->acceptedFd = fd;
  impl->acceptedIPv6 = ipv6;
  impl->remote = std::move(remote);
  impl->serverTls = std::move(serverTls);
  Connection::Impl *raw = impl.get();
  auto connection = std::make_shared<Connection>(std::move(impl));
  raw->weakSelf = connection;
  return connection;
}

Connection::~Connection() {
  // No handler of ours runs now (each holds the connection while it runs), so what is left is
  // closed quietly on the queue; completions still pending are called once with ECANCELED.
  auto &impl = *impl_;
  if (impl.acceptedFd >= 0)
    ::close(impl.acceptedFd);
  if (!impl.queue)
    return;
  auto work = [io = impl.io, receives = std::move(impl.receives),
               sends = std::move(impl.sends)]() mutable {
    if (io)
      io->close();
    for (auto &r : receives)
      if (r.completion)
        r.completion({}, false, NetworkError::posix(ECANCELED));
    for (auto &s : sends)
      if (s.completion)
        s.completion(NetworkError::posix(ECANCELED));
  };
  if (impl.queue->isCurrent())
    work();
  else
    impl.queue->post(std::move(work));
}

void Connection::setStateHandler(StateHandler handler) {
  std::lock_guard lock(impl_->mutex);
  impl_->stateHandler = std::move(handler);
}

void Connection::start(std::shared_ptr<SerialQueue> queue) {
  if (!queue)
    return;
  std::vector<std::function<void()>> deferred;
  {
    std::lock_guard lock(impl_->mutex);
    if (impl_->started)
      return;
    impl_->started = true;
    impl_->queue = queue;
    deferred = std::move(impl_->deferred);
  }
  queue->post([weak = impl_->weakSelf] {
    if (auto self = weak.lock())
      self->impl_->begin();
  });
  for (auto &task : deferred)
    queue->post(std::move(task));
}

void Connection::receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) {
  impl_->onQueue([minimum, maximum, completion = std::move(completion)](Impl &impl) mutable {
    impl.receive(minimum, maximum, std::move(completion));
  });
}

void Connection::send(Bytes data, SendCompletion completion) {
  impl_->onQueue([data = std::move(data), completion = std::move(completion)](Impl &impl) mutable {
    impl.send(std::move(data), std::move(completion));
  });
}

void Connection::cancel() {
  impl_->onQueue([](Impl &impl) { impl.cancel(); });
}

Connection::State Connection::state() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->state;
}

const Endpoint &Connection::endpoint() const {
  return impl_->endpoint;
}

std::optional<Endpoint> Connection::remoteEndpoint() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->remote;
}

std::optional<std::uint16_t> Connection::negotiatedCipherSuite() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->suite;
}

std::shared_ptr<SerialQueue> Connection::queue() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->queue;
}

} // namespace corvane

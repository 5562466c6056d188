#include "brimvale/platform/Connection.h"

#include "brimvale/platform/DnsSd.h"
#include "brimvale/platform/Logger.h"
#include "brimvale/platform/QueueContract.h"
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
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <deque>
#include <limits>
#include <linux/sockios.h>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <netinet/tcp.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace corvane {

namespace {

using tcp = asio::ip::tcp;

// The largest piece taken from the socket at once; larger receives fill over several reads.
constexpr std::size_t readChunk = 65536;
// How long a cancelled connection may spend closing gracefully before its socket is dropped.
constexpr auto closeLimit = std::chrono::seconds(2);
// How often a close kept for the far side's acknowledgement looks at the socket: soon at first,
// as most is acknowledged within a round trip (a client that opens a connection per request
// wants the place back for its next one), then less often for a slow reader, but often enough
// that a stream all taken soon gives its place up.
constexpr auto firstAcknowledgementLook = std::chrono::milliseconds(1);
constexpr auto slowestAcknowledgementLook = std::chrono::milliseconds(100);
// How long a closing connection waits, while the socket takes nothing, for its last records and
// close_notify to leave, and how long at most in all; an end that cannot be sent is no end, and
// the close is then a reset.
constexpr auto closeStall = std::chrono::seconds(10);
constexpr auto closeWaitLimit = std::chrono::seconds(60);

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

// The largest piece read from the socket at once; a larger receive is filled over several.
// Kept below the size from which the allocator maps and unmaps memory for every buffer.
constexpr std::size_t readLimit = 64 * 1024;
// OpenSSL's read buffer once a stream has proven busy: several records arrive per system call
// instead of one record (17 KiB) per call. Given back once the connection has been idle.
constexpr std::size_t tlsReadBuffer = 64 * 1024 + 512;
// Bytes a TLS connection receives before it takes the larger read buffer: most connections
// carry a request and an answer, and the buffer would only add to what each holds.
constexpr std::uint64_t largeReadsAfter = 1024 * 1024;
// How many bytes of records are collected before they are sent.
constexpr std::size_t batchLimit = 32 * 1024;
// The most data one record carries.
constexpr std::size_t recordData = 16 * 1024;
// A batch may end with one whole record past the limit: 16 KiB of data and its framing.
constexpr std::size_t batchRecordSlack = recordData + 256;
// Header, explicit nonce and tag of one record of the AEAD suites in use, with room to spare.
constexpr std::size_t recordFraming = 64;
// How long a TLS connection stays idle before its buffers are given back.
constexpr auto idleRelease = std::chrono::seconds(1);
// What the closing drain reads at a time; the bytes are dropped.
constexpr std::size_t drainChunk = 4096;

// Encrypted records on their way to the socket. OpenSSL writes one record (at most 16 KiB)
// per call; collected here while the connection encrypts a send, they leave in one system
// call (and one loopback packet) instead of four.
struct WriteBatch {
  int fd = -1;
  bool collecting = false;
  Bytes bytes;
  std::size_t sent = 0;
};

// OpenSSL's own socket BIO writes with write(2), which raises SIGPIPE on a reset peer; this
// one sends with MSG_NOSIGNAL, collects records while asked to, and otherwise behaves the
// same on a non-blocking descriptor.
WriteBatch &batchOf(BIO *bio) {
  return *static_cast<WriteBatch *>(BIO_get_data(bio));
}

int bioWrite(BIO *bio, const char *data, int size) {
  BIO_clear_retry_flags(bio);
  auto &batch = batchOf(bio);
  if (batch.collecting) {
    batch.bytes.insert(batch.bytes.end(), data, data + size);
    return size;
  }
  for (;;) {
    const ssize_t n = ::send(batch.fd, data, static_cast<std::size_t>(size), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
      BIO_set_retry_write(bio);
    return static_cast<int>(n);
  }
}

int bioRead(BIO *bio, char *data, int size) {
  BIO_clear_retry_flags(bio);
  for (;;) {
    const ssize_t n = ::recv(batchOf(bio).fd, data, static_cast<std::size_t>(size), 0);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
      BIO_set_retry_read(bio);
    return static_cast<int>(n);
  }
}

long bioControl(BIO *, int command, long, void *) {
  return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int bioCreate(BIO *bio) {
  BIO_set_init(bio, 1);
  return 1;
}

// Made once and never changed; OpenSSL only reads it.
const BIO_METHOD *socketMethod() {
  static BIO_METHOD *method = [] {
    BIO_METHOD *made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "corvane socket");
    if (made) {
      BIO_meth_set_write(made, bioWrite);
      BIO_meth_set_read(made, bioRead);
      BIO_meth_set_ctrl(made, bioControl);
      BIO_meth_set_create(made, bioCreate);
    }
    return made;
  }();
  return method;
}

struct SslDeleter {
  void operator()(SSL *ssl) const { SSL_free(ssl); }
};

// Everything the socket operations touch; shared with their handlers so that it outlives them
// even when the connection itself is gone. Nothing here is larger than a few hundred bytes
// until TLS is set up: buffers are taken only while bytes move.
struct Io {
  explicit Io(asio::io_context &context) : socket(context), timer(context), resolver(context) {}

  void close() {
    std::error_code ignored;
    timer.cancel();
    resolver.cancel();
    socket.close(ignored);
    settle();
  }

  // A close kept for the far side's acknowledgement no longer waits for it.
  void settle() {
    if (taken)
      asio::post(socket.get_executor(), std::exchange(taken, nullptr));
  }

  tcp::socket socket;
  asio::steady_timer timer;
  tcp::resolver resolver;
  std::shared_ptr<TlsContext> tlsContext;
  // TLS straight on the socket's descriptor (no pair of memory buffers in between).
  std::unique_ptr<SSL, SslDeleter> ssl;
  WriteBatch batch;

  // A clean close: when its end was sent and whether the far side's came, what runs once the far
  // side has acknowledged everything (set while the socket is kept for that), and when to look.
  std::optional<std::chrono::steady_clock::time_point> endSent;
  bool farEnded = false;
  std::function<void()> taken;
  std::chrono::steady_clock::duration nextLook = firstAcknowledgementLook;
};

// The outcome of one non-blocking step on the socket.
struct Step {
  enum class Kind { done, wantRead, wantWrite, end, failed };
  Kind kind = Kind::done;
  std::size_t count = 0;
  std::optional<NetworkError> error;
};

NetworkError endWithoutCloseNotify() {
  return NetworkError::tls(SSL_R_UNEXPECTED_EOF_WHILE_READING,
                           "the stream ended without close_notify");
}

Step tlsStep(SSL *ssl, int result) {
  if (result > 0)
    return {Step::Kind::done, static_cast<std::size_t>(result), std::nullopt};
  const int code = SSL_get_error(ssl, result);
  switch (code) {
  case SSL_ERROR_WANT_READ: ERR_clear_error(); return {Step::Kind::wantRead, 0, std::nullopt};
  case SSL_ERROR_WANT_WRITE: ERR_clear_error(); return {Step::Kind::wantWrite, 0, std::nullopt};
  case SSL_ERROR_ZERO_RETURN: ERR_clear_error(); return {Step::Kind::end, 0, std::nullopt};
  case SSL_ERROR_SYSCALL: {
    const int error = errno;
    if (ERR_peek_error() == 0) {
      ERR_clear_error();
      // The TCP end without close_notify is how a stream is cut (a program killed, a machine
      // gone), never how it ends: passed on as an end, a cut reply would look whole.
      if (error == 0)
        return {Step::Kind::failed, 0, endWithoutCloseNotify()};
      return {Step::Kind::failed, 0, NetworkError::posix(error)};
    }
    break;
  }
  case SSL_ERROR_SSL:
    if (ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
      ERR_clear_error();
      return {Step::Kind::failed, 0, endWithoutCloseNotify()};
    }
    break;
  default: break;
  }
  return {Step::Kind::failed, 0,
          tlsErrorFromLibrary(std::error_code(code, asio::error::get_ssl_category()))};
}

// Where reads land before the bytes that came are appended to the inbox: reading straight into
// the inbox would first zero-fill (and allocate) the most a read may bring. One per thread, so
// that connections no matter how many cost nothing for it.
std::uint8_t *readScratch() {
  thread_local const auto scratch = std::make_unique_for_overwrite<std::uint8_t[]>(readLimit);
  return scratch.get();
}

Step posixStep(ssize_t result) {
  if (result > 0)
    return {Step::Kind::done, static_cast<std::size_t>(result), std::nullopt};
  if (result == 0)
    return {Step::Kind::end, 0, std::nullopt};
  return {Step::Kind::failed, 0, NetworkError::posix(errno)};
}

Step readSome(Io &io, std::uint8_t *data, std::size_t size) {
  const auto capped = std::min<std::size_t>(size, std::numeric_limits<int>::max());
  if (io.ssl) {
    ERR_clear_error();
    return tlsStep(io.ssl.get(), SSL_read(io.ssl.get(), data, static_cast<int>(capped)));
  }
  for (;;) {
    const ssize_t n = ::recv(io.socket.native_handle(), data, capped, 0);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
      return {Step::Kind::wantRead, 0, std::nullopt};
    return posixStep(n);
  }
}

// Hands bytes to the socket as they are (for TLS: records already made).
Step sendSome(int fd, const std::uint8_t *data, std::size_t size) {
  for (;;) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
      return {Step::Kind::wantWrite, 0, std::nullopt};
    if (n == 0)
      return {Step::Kind::wantWrite, 0, std::nullopt};
    return posixStep(n);
  }
}

// Hands what the batch holds to the socket: done once all of it went (the batch is then empty,
// its buffer kept), otherwise why not.
Step writeBatch(WriteBatch &batch) {
  while (batch.sent < batch.bytes.size()) {
    Step step =
        sendSome(batch.fd, batch.bytes.data() + batch.sent, batch.bytes.size() - batch.sent);
    if (step.kind != Step::Kind::done)
      return step;
    batch.sent += step.count;
  }
  batch.bytes.clear();
  batch.sent = 0;
  return {};
}

// Whether the client already spoke on an accepted socket.
bool hasBytesWaiting(int fd) {
  std::uint8_t byte = 0;
  return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

// A zero linger makes the system reset the stream when the socket is closed, by us or by the
// process ending; without it a close ends the stream as if it were whole.
void setResetOnClose(tcp::socket &socket, bool reset) {
  std::error_code ignored;
  if (socket.is_open())
    socket.set_option(asio::socket_base::linger(reset, 0), ignored);
}

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
    // Ends the sending once everything before it has been handed on.
    bool end = false;
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
  // Bytes read ahead of the receive that wants them; empty (no capacity) while idle.
  Bytes inbox;
  // For TLS, how many sends at the front are wholly in the write batch: they complete once it
  // has been handed to the system.
  std::size_t batchedSends = 0;
  // How far the first send not yet wholly handed on (to the system, or for TLS to the write
  // batch) has got.
  std::size_t sentOfFront = 0;
  bool waitingReadable = false;
  bool waitingWritable = false;
  // Set while the loops run, so that a completion calling back in queues its work for the
  // running loop instead of nesting another.
  bool receiving = false;
  bool sending = false;
  bool endOfStream = false;
  std::optional<NetworkError> readError;
  // The end of our sending is queued; for TLS, whether its close_notify is made yet.
  bool sendingEnds = false;
  bool closeNotifyMade = false;
  // Bytes received so far, and whether TLS reads use the larger buffer since.
  std::uint64_t received = 0;
  bool largeReads = false;
  // Whether bytes moved since the idle check was armed, and whether one is.
  bool moved = false;
  bool idleCheck = false;
  // Closing other than by cancel() resets the stream.
  bool resetUnlessClosed = false;
  // Why the connection failed, once it has.
  std::optional<NetworkError> failure;
  // A cancel's clean close owns the socket until it is done, also once the connection is gone;
  // the connection keeps only a weak hold on it then, as its `taken` may hold the connection.
  std::weak_ptr<Io> closing;

  // Operations posted to the queue and not yet run. While any is outstanding, later calls made
  // on the queue are posted too, so that calls still run in the order they were made.
  std::atomic<int> outstanding = 0;

  // Runs `work` on the queue while the connection lives; before start() it waits for it. On
  // the queue itself, with nothing earlier still waiting, it runs at once unless `posted`.
  void onQueue(std::function<void(Impl &)> work, bool posted = false) {
    std::shared_ptr<SerialQueue> target;
    {
      std::lock_guard lock(mutex);
      target = queue;
    }
    if (!posted && target && target->isCurrent() && outstanding.load() == 0) {
      // Held for the duration: a completion may drop the caller's last reference.
      if (auto self = weakSelf.lock())
        work(*self->impl_);
      return;
    }
    auto task = arrival(std::move(work));
    {
      std::lock_guard lock(mutex);
      outstanding.fetch_add(1);
      if (!queue) {
        deferred.push_back(std::move(task));
        return;
      }
      target = queue;
    }
    target->post(std::move(task));
  }

  // A posted operation. One that was posted to the queue the connection has since left is
  // passed on to its new queue, behind what was passed on before it, and stays counted as
  // outstanding until it runs there.
  std::function<void()> arrival(std::function<void(Impl &)> work) {
    return [weak = weakSelf, work = std::move(work)]() mutable {
      auto self = weak.lock();
      if (!self)
        return;
      auto &impl = *self->impl_;
      std::shared_ptr<SerialQueue> current;
      {
        std::lock_guard lock(impl.mutex);
        current = impl.queue;
      }
      if (current && !current->isCurrent()) {
        current->post(impl.arrival(std::move(work)));
        return;
      }
      impl.outstanding.fetch_sub(1);
      work(impl);
    };
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

  std::shared_ptr<SerialQueue> currentQueue() const {
    std::lock_guard lock(mutex);
    return queue;
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
        failure = errorOf(error);
        // Receives and sends made before the connection began are waiting for it.
        flushPending(*failure);
        report(State::Kind::failed, *failure);
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
    if (resetUnlessClosed)
      setResetOnClose(io->socket, true);
    std::error_code error;
    io->socket.non_blocking(true, error);
    if (error) {
      fail(errorOf(error));
      return;
    }
    io->batch.fd = io->socket.native_handle();
    bool remoteKnown = false;
    {
      std::lock_guard lock(mutex);
      remoteKnown = remote.has_value(); // an accepted connection was told by the listener
    }
    if (!remoteKnown) {
      auto peer = io->socket.remote_endpoint(error);
      if (!error) {
        std::lock_guard lock(mutex);
        remote = endpointOf(peer);
      }
    }
    bool isServer = serverTls != nullptr;
    if (!isServer && !parameters.tls) {
      becomeReady();
      return;
    }
    if (isServer) {
      io->tlsContext = serverTls;
    } else if (parameters.tls->context) {
      io->tlsContext = parameters.tls->context;
    } else {
      auto made = TlsContext::make(*parameters.tls, TlsContext::Role::client);
      if (!made) {
        fail(made.error());
        return;
      }
      io->tlsContext = *made;
    }
    phase = Phase::handshaking;
    // A server sets up its TLS state only once the client has sent something: a connection
    // that never speaks costs a socket and little else. Usually its hello is already there.
    if (isServer && !hasBytesWaiting(io->batch.fd))
      waitFor(asio::socket_base::wait_read);
    else
      stepHandshake();
  }

  // Sends a handshake flight still in the batch. False while the socket must drain first, or
  // once the connection failed.
  bool flushHandshake() {
    Step step = writeBatch(io->batch);
    if (step.kind == Step::Kind::done)
      return true;
    if (step.kind == Step::Kind::wantWrite)
      waitFor(asio::socket_base::wait_write);
    else
      fail(step.error.value_or(NetworkError::posix(EPIPE)));
    return false;
  }

  void stepHandshake() {
    if (!io->ssl) {
      SSL *ssl = SSL_new(io->tlsContext->context().native_handle());
      BIO *bio = socketMethod() ? BIO_new(socketMethod()) : nullptr;
      if (!ssl || !bio) {
        SSL_free(ssl);
        BIO_free(bio);
        fail(tlsErrorFromLibrary(std::error_code(EIO, std::generic_category())));
        return;
      }
      BIO_set_data(bio, &io->batch);
      SSL_set_bio(ssl, bio, bio);
      io->ssl.reset(ssl);
      SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                            SSL_MODE_RELEASE_BUFFERS);
      if (serverTls)
        SSL_set_accept_state(ssl);
      else
        SSL_set_connect_state(ssl);
    }
    // The peer waits for a flight before it answers: one held back by a full socket goes first.
    if (!flushHandshake())
      return;
    // Flights are collected so that each leaves in one write; the last one stays in the batch
    // to leave together with the first records sent once ready.
    io->batch.collecting = true;
    ERR_clear_error();
    Step step = tlsStep(io->ssl.get(), SSL_do_handshake(io->ssl.get()));
    io->batch.collecting = false;
    switch (step.kind) {
    case Step::Kind::wantRead:
    case Step::Kind::wantWrite:
      if (flushHandshake())
        waitFor(step.kind == Step::Kind::wantRead ? asio::socket_base::wait_read
                                                  : asio::socket_base::wait_write);
      return;
    case Step::Kind::end:
    case Step::Kind::failed:
      // An alert tells the peer why, when the socket takes it.
      writeBatch(io->batch);
      if (step.kind == Step::Kind::end || step.error == endWithoutCloseNotify())
        fail(NetworkError::tls(SSL_R_UNEXPECTED_EOF_WHILE_READING, "the peer ended the handshake"));
      else
        fail(step.error.value_or(NetworkError::posix(EIO)));
      return;
    case Step::Kind::done: break;
    }
    SSL *ssl = io->ssl.get();
    if (const SSL_CIPHER *cipher = SSL_get_current_cipher(ssl)) {
      std::lock_guard lock(mutex);
      suite = static_cast<std::uint16_t>(SSL_CIPHER_get_protocol_id(cipher));
    }
    // Authenticated: from now on records are read several at a time, into buffers kept while
    // bytes flow (taking and freeing them per record costs more than the copy) and given back
    // once the connection has been idle for a while.
    SSL_set_read_ahead(ssl, 1);
    SSL_clear_mode(ssl, SSL_MODE_RELEASE_BUFFERS);
    SSL_free_buffers(ssl);
    becomeReady();
  }

  void becomeReady() {
    phase = Phase::open;
    report(State::Kind::ready);
    progress();
  }

  // Waits until the socket can be read or written, then lets whatever waits for it go on.
  void waitFor(asio::socket_base::wait_type type) {
    bool &waiting = type == asio::socket_base::wait_read ? waitingReadable : waitingWritable;
    if (waiting)
      return;
    waiting = true;
    io->socket.async_wait(type, [weak = weakSelf, io = io, type](const std::error_code &error) {
      auto self = weak.lock();
      if (!self)
        return;
      auto &impl = *self->impl_;
      if (impl.io != io)
        return;
      (type == asio::socket_base::wait_read ? impl.waitingReadable : impl.waitingWritable) = false;
      if (error == asio::error::operation_aborted)
        return;
      if (error) {
        impl.fail(errorOf(error));
        return;
      }
      impl.progress();
    });
  }

  void progress() {
    if (phase == Phase::handshaking) {
      stepHandshake();
      return;
    }
    if (phase != Phase::open)
      return;
    pumpReceive();
    pumpSend();
  }

  // --- receiving

  // What operations asked for once the connection is closed hear: why it closed.
  NetworkError closedError() const { return failure.value_or(NetworkError::posix(ECANCELED)); }

  void receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) {
    if (phase == Phase::closed) {
      if (completion)
        completion({}, false, closedError());
      return;
    }
    receives.push_back({minimum, maximum, std::move(completion)});
    if (phase == Phase::open)
      pumpReceive();
  }

  void pumpReceive() {
    if (receiving)
      return;
    receiving = true;
    while (phase == Phase::open && !receives.empty()) {
      auto &front = receives.front();
      std::size_t maximum = front.maximum;
      std::size_t minimum =
          std::clamp<std::size_t>(front.minimum, 1, std::max<std::size_t>(maximum, 1));
      if (maximum != 0 && inbox.size() < minimum && !endOfStream && !readError) {
        if (!fill(minimum, maximum))
          break; // waiting for the socket
        continue;
      }
      Bytes data;
      bool complete = false;
      std::optional<NetworkError> error;
      if (maximum == 0) {
        complete = endOfStream && inbox.empty();
      } else {
        if (inbox.size() <= maximum) {
          data = std::move(inbox);
          inbox = Bytes();
        } else {
          data.assign(inbox.begin(), inbox.begin() + static_cast<std::ptrdiff_t>(maximum));
          inbox.erase(inbox.begin(), inbox.begin() + static_cast<std::ptrdiff_t>(maximum));
        }
        complete = endOfStream && inbox.empty();
        if (readError && inbox.empty() && data.size() < minimum)
          error = readError;
      }
      auto completion = std::move(front.completion);
      receives.pop_front();
      if (completion)
        completion(std::move(data), complete, std::move(error));
    }
    receiving = false;
    if (readError && phase == Phase::open && receives.empty())
      fail(*readError);
  }

  // Reads what the socket has towards the front receive. False while it must wait.
  bool fill(std::size_t minimum, std::size_t maximum) {
    const std::size_t wanted = std::min(maximum - inbox.size(), readLimit);
    std::uint8_t *scratch = readScratch();
    std::size_t filled = 0;
    Step step;
    // TLS hands out one record per call: keep taking them while they are there.
    do {
      step = readSome(*io, scratch + filled, wanted - filled);
      if (step.kind == Step::Kind::done)
        filled += step.count;
    } while (step.kind == Step::Kind::done && io->ssl && filled < wanted);
    if (filled > 0) {
      moved = true;
      inbox.insert(inbox.end(), scratch, scratch + filled);
      received += filled;
      // Busy now: the next buffer OpenSSL takes is the larger one. Not while it still holds
      // part of a record (read or not yet handed out): that is tried again with a later read.
      if (io->ssl && !largeReads && received >= largeReadsAfter &&
          SSL_pending(io->ssl.get()) == 0 && SSL_free_buffers(io->ssl.get()) == 1) {
        SSL_set_default_read_buffer_len(io->ssl.get(), tlsReadBuffer);
        largeReads = true;
      }
    }
    switch (step.kind) {
    case Step::Kind::done: return true;
    case Step::Kind::end:
      endOfStream = true;
      watchForReset();
      return true;
    case Step::Kind::failed: readError = step.error.value_or(NetworkError::posix(EIO)); return true;
    case Step::Kind::wantRead:
    case Step::Kind::wantWrite:
      if (inbox.size() >= minimum)
        return true;
      waitFor(step.kind == Step::Kind::wantRead ? asio::socket_base::wait_read
                                                : asio::socket_base::wait_write);
      releaseWhenIdle();
      return false;
    }
    return false;
  }

  // The far side has ended its stream, and nothing more is read: a reset that follows is
  // still noticed, as a failure, while this side may still be sending or waiting to.
  void watchForReset() {
    io->socket.async_wait(asio::socket_base::wait_error,
                          [weak = weakSelf, io = io](const std::error_code &error) {
                            auto self = weak.lock();
                            if (!self || error == asio::error::operation_aborted)
                              return;
                            auto &impl = *self->impl_;
                            if (impl.io != io || impl.phase != Phase::open)
                              return;
                            int code = 0;
                            socklen_t length = sizeof code;
                            if (error)
                              impl.fail(errorOf(error));
                            else if (::getsockopt(io->socket.native_handle(), SOL_SOCKET, SO_ERROR,
                                                  &code, &length) == 0 &&
                                     code != 0)
                              impl.fail(NetworkError::posix(code));
                          });
  }

  // --- sending

  void send(Bytes data, SendCompletion completion) {
    if (phase == Phase::closed) {
      if (completion)
        completion(closedError());
      return;
    }
    if (sendingEnds) {
      // Nothing may follow the end of the stream; the connection itself stays as it is.
      completeLater(std::move(completion), NetworkError::posix(EPIPE));
      return;
    }
    sends.push_back({std::move(data), std::move(completion)});
    if (phase == Phase::open)
      pumpSend();
  }

  void endSending(SendCompletion completion) {
    if (phase == Phase::closed) {
      if (completion)
        completion(closedError());
      return;
    }
    if (sendingEnds) {
      completeLater(std::move(completion), std::nullopt);
      return;
    }
    sendingEnds = true;
    sends.push_back({{}, std::move(completion), true});
    if (phase == Phase::open)
      pumpSend();
  }

  void completeLater(SendCompletion completion, std::optional<NetworkError> error) {
    if (!completion)
      return;
    if (io)
      asio::post(io->socket.get_executor(),
                 [completion = std::move(completion), error] { completion(error); });
    else
      completion(error);
  }

  // The end queued at the front of what is not yet batched: what was sent before it leaves
  // first, then close_notify for TLS, the TCP end otherwise. False while the socket must drain.
  // A TLS stream's TCP end waits for the close: the side that sends it first keeps the
  // connection's address pair in TIME_WAIT, and that should be the side that ends last, most
  // often the listening one, not the one that opened it and whose ports would run out.
  bool sendEnd() {
    if (io->ssl) {
      if (!closeNotifyMade) {
        // Into the batch behind the records before it, so that it cannot land inside one.
        io->batch.collecting = true;
        ERR_clear_error();
        SSL_shutdown(io->ssl.get());
        ERR_clear_error();
        io->batch.collecting = false;
        closeNotifyMade = true;
      }
      if (!flushBatch())
        return false;
      completeSends(batchedSends);
      batchedSends = 0;
    } else {
      std::error_code ignored;
      io->socket.shutdown(tcp::socket::shutdown_send, ignored);
    }
    completeSends(1);
    return true;
  }

  // Sends what is queued. For TLS, sends are encrypted into the batch while it has room, and
  // the batch leaves when it is full or nothing more is queued, so that small sends (and the
  // last handshake flight before them) share one write.
  void pumpSend() {
    if (sending)
      return;
    sending = true;
    while (phase == Phase::open) {
      if (io->ssl && (batchedSends == sends.size() || io->batch.bytes.size() >= batchLimit)) {
        if (!flushBatch())
          break;
        completeSends(batchedSends);
        batchedSends = 0;
        if (sends.empty())
          break;
        continue;
      }
      if (sends.empty())
        break;
      auto &front = sends[batchedSends];
      if (front.end) {
        if (!sendEnd())
          break;
        continue;
      }
      if (sentOfFront >= front.data.size()) {
        sentOfFront = 0;
        if (io->ssl)
          ++batchedSends;
        else
          completeSends(1);
        continue;
      }
      Step step = io->ssl ? encrypt(front.data)
                          : sendSome(io->batch.fd, front.data.data() + sentOfFront,
                                     front.data.size() - sentOfFront);
      if (step.kind == Step::Kind::done) {
        if (!io->ssl)
          sentOfFront += step.count;
        moved = true;
        continue;
      }
      if (step.kind == Step::Kind::wantRead || step.kind == Step::Kind::wantWrite) {
        // Records already made leave before the connection waits.
        if (!flushBatch())
          break;
        completeSends(batchedSends);
        batchedSends = 0;
        waitFor(step.kind == Step::Kind::wantRead ? asio::socket_base::wait_read
                                                  : asio::socket_base::wait_write);
        break;
      }
      sending = false;
      failSend(step.error.value_or(NetworkError::posix(EPIPE)));
      return;
    }
    sending = false;
  }

  // The first `count` sends have been handed to the system.
  void completeSends(std::size_t count) {
    for (; count > 0; --count) {
      auto completion = std::move(sends.front().completion);
      sends.pop_front();
      // Never from inside the caller's own send: a completion that sends again would
      // otherwise nest without bound while the socket keeps taking bytes.
      if (completion)
        asio::post(io->socket.get_executor(),
                   [completion = std::move(completion)] { completion(std::nullopt); });
    }
  }

  // Makes room in the batch for what encrypting `remaining` bytes can add: small sends stay
  // small, and a large one takes the most a batch holds in one allocation (growing it by
  // doubling would pass the size from which the allocator maps and unmaps memory).
  void reserveBatch(std::size_t remaining) {
    constexpr std::size_t most = batchLimit + batchRecordSlack;
    auto &bytes = io->batch.bytes;
    const std::size_t records = (std::min(remaining, most) + recordData - 1) / recordData;
    const std::size_t wanted =
        std::min(bytes.size() + std::min(remaining, most) + records * recordFraming, most);
    if (bytes.capacity() < wanted)
      bytes.reserve(std::max(wanted, std::min(2 * bytes.capacity(), most)));
  }

  // Turns the send being batched into records in the batch, up to batchLimit bytes of them
  // and at most one record past it.
  Step encrypt(const Bytes &data) {
    SSL *ssl = io->ssl.get();
    reserveBatch(data.size() - sentOfFront);
    io->batch.collecting = true;
    Step step;
    while (sentOfFront < data.size() && io->batch.bytes.size() < batchLimit) {
      const auto size = std::min<std::size_t>(data.size() - sentOfFront,
                                              batchLimit + recordData - io->batch.bytes.size());
      ERR_clear_error();
      step = tlsStep(ssl, SSL_write(ssl, data.data() + sentOfFront, static_cast<int>(size)));
      if (step.kind != Step::Kind::done)
        break;
      sentOfFront += step.count;
    }
    io->batch.collecting = false;
    // The peer ending its half does not stop our writes; a clean end here is a broken pipe.
    if (step.kind == Step::Kind::end)
      return {Step::Kind::failed, 0, NetworkError::posix(EPIPE)};
    return step;
  }

  // Sends what the batch holds. False while the socket must drain first, or on failure. The
  // buffer is kept while bytes flow (taking and freeing it per send would cost far more than
  // the copy); the idle check gives it back.
  bool flushBatch() {
    Step step = writeBatch(io->batch);
    if (step.kind == Step::Kind::done)
      return true;
    if (step.kind == Step::Kind::wantWrite) {
      waitFor(asio::socket_base::wait_write);
      return false;
    }
    sending = false;
    failSend(step.error.value_or(NetworkError::posix(EPIPE)));
    return false;
  }

  // The front send failed: it hears why, the rest is cancelled with the connection.
  void failSend(NetworkError failure) {
    SendCompletion completion;
    if (!sends.empty()) {
      completion = std::move(sends.front().completion);
      sends.pop_front();
    }
    sentOfFront = 0;
    batchedSends = 0;
    if (completion)
      completion(failure);
    fail(failure);
  }

  // Gives the TLS buffers back once nothing has moved for a while; armed when the connection
  // starts waiting with nothing to send.
  void releaseWhenIdle() {
    if (!io->ssl || idleCheck || !sends.empty())
      return;
    idleCheck = true;
    moved = false;
    io->timer.expires_after(idleRelease);
    io->timer.async_wait([weak = weakSelf, io = io](const std::error_code &error) {
      auto self = weak.lock();
      if (!self)
        return;
      auto &impl = *self->impl_;
      if (impl.io != io)
        return;
      impl.idleCheck = false;
      if (error || impl.phase != Phase::open)
        return;
      if (impl.moved || !impl.sends.empty() || !io->batch.bytes.empty()) {
        // Still busy: look again from here while the connection waits for bytes.
        if (impl.waitingReadable)
          impl.releaseWhenIdle();
        return;
      }
      SSL_free_buffers(io->ssl.get());
      io->batch.bytes = Bytes();
    });
  }

  // --- moving

  // Hands the socket and the TLS session to a new set of socket objects on `target`. Runs as
  // an item of its own on the current queue, so no loop of this connection is under way.
  void moveTo(const std::shared_ptr<SerialQueue> &target) {
    if (!target || target == queue || phase != Phase::open || !io || receiving || sending)
      return;
    std::error_code error;
    const auto protocol = io->socket.local_endpoint(error).protocol();
    if (error)
      return;
    auto moved = std::make_shared<Io>(target->context());
    // Waits still armed on the old socket end with operation_aborted; their handlers see that
    // `io` was replaced and leave the connection alone.
    const int fd = io->socket.release(error);
    if (error)
      return;
    moved->socket.assign(protocol, fd, error);
    if (error) {
      ::close(fd);
      fail(errorOf(error));
      return;
    }
    moved->socket.non_blocking(true, error);
    io->timer.cancel();
    io->resolver.cancel();
    moved->tlsContext = std::move(io->tlsContext);
    moved->ssl = std::move(io->ssl);
    moved->batch = std::move(io->batch);
    moved->batch.fd = fd;
    if (moved->ssl)
      BIO_set_data(SSL_get_rbio(moved->ssl.get()), &moved->batch);
    io = std::move(moved);
    waitingReadable = false;
    waitingWritable = false;
    idleCheck = false;
    {
      std::lock_guard lock(mutex);
      queue = target;
    }
    // Whatever waited for the socket waits again from the new queue.
    onQueue([](Impl &impl) { impl.progress(); }, true);
  }

  // --- ending

  // Completes everything pending once: with ECANCELED when the connection was cancelled, with
  // the failure itself when it failed.
  void flushPending(const NetworkError &why = NetworkError::posix(ECANCELED)) {
    auto pendingReceives = std::move(receives);
    auto pendingSends = std::move(sends);
    receives.clear();
    sends.clear();
    sentOfFront = 0;
    batchedSends = 0;
    inbox = Bytes();
    for (auto &r : pendingReceives)
      if (r.completion)
        r.completion({}, false, why);
    for (auto &s : pendingSends)
      if (s.completion)
        s.completion(why);
  }

  void fail(NetworkError error) {
    if (phase == Phase::closed)
      return;
    phase = Phase::closed;
    failure = error;
    if (io)
      io->close();
    flushPending(error);
    report(State::Kind::failed, std::move(error));
  }

  void setResetUnlessClosed() {
    resetUnlessClosed = true;
    if (io && phase != Phase::closed)
      setResetOnClose(io->socket, true);
  }

  std::optional<std::size_t> unacknowledged() const {
    if (phase != Phase::open || !io)
      return std::nullopt;
    // Each byte once, where it waits now: records made but not yet handed on, then the sends
    // not yet made into records (for TLS the first `batchedSends` are wholly in the batch, and
    // the next has `sentOfFront` of it there or, for plain TCP, in the socket), then the socket.
    std::size_t count = io->batch.bytes.size() - io->batch.sent;
    for (std::size_t i = io->ssl ? batchedSends : 0; i < sends.size(); ++i) {
      const auto &pending = sends[i];
      if (pending.end)
        count += closeNotifyMade ? 0 : 1;
      else
        count += pending.data.size() - (i == (io->ssl ? batchedSends : 0) ? sentOfFront : 0);
    }
    int queued = 0;
    if (::ioctl(io->socket.native_handle(), SIOCOUTQ, &queued) == 0 && queued > 0)
      count += static_cast<std::size_t>(queued);
    return count;
  }

  void cancel(bool reset = false, std::function<void()> taken = nullptr) {
    if (currentKind() == State::Kind::cancelled) {
      if (auto kept = closing.lock(); kept && kept->taken && reset) {
        setResetOnClose(kept->socket, true);
        kept->close();
      }
      if (taken)
        currentQueue()->post(std::move(taken));
      return;
    }
    bool graceful = phase == Phase::open && io && !reset;
    if (io)
      setResetOnClose(io->socket, !graceful && (reset || resetUnlessClosed));
    phase = Phase::closed;
    if (acceptedFd >= 0) {
      ::close(acceptedFd);
      acceptedFd = -1;
    }
    if (graceful) {
      io->taken = std::exchange(taken, nullptr);
      closing = io;
      closeGracefully(std::exchange(io, nullptr));
    } else if (io) {
      io->close();
    }
    if (taken)
      currentQueue()->post(std::move(taken));
    flushPending();
    report(State::Kind::cancelled);
  }

  void letGo() {
    auto kept = closing.lock();
    if (!kept || !kept->taken)
      return;
    kept->settle();
    // Before its end has left, the close goes on as any other does.
    if (kept->endSent)
      settleClose(kept);
  }

  // Ends the stream the way a peer expects: the records already made, close_notify for TLS,
  // then our FIN, then whatever the peer still sends is read and dropped until it closes too,
  // so that closing with unread bytes does not reset the connection and destroy what was just
  // sent. Bounded in time, at each step.
  static void closeGracefully(const std::shared_ptr<Io> &io) {
    std::error_code ignored;
    io->socket.cancel(ignored);
    io->resolver.cancel();
    // Only our close_notify is sent; the peer's is not waited for. Not twice: a stream whose
    // sending was ended has made its close_notify already, and the batch holds it if it has not
    // left yet. Collected behind the records before it, so that it cannot land inside one.
    if (io->ssl && !(SSL_get_shutdown(io->ssl.get()) & SSL_SENT_SHUTDOWN)) {
      SSL_set_shutdown(io->ssl.get(), SSL_RECEIVED_SHUTDOWN);
      io->batch.collecting = true;
      ERR_clear_error();
      SSL_shutdown(io->ssl.get());
      ERR_clear_error();
      io->batch.collecting = false;
    }
    const auto now = std::chrono::steady_clock::now();
    sendLast(io, now, now + closeWaitLimit);
  }

  // Hands the rest of the batch to the socket as it takes it; the end follows once all of it
  // has gone. A receiver can rely on close_notify only if it is never skipped, so a full socket
  // is waited for while it takes something, and one that takes nothing for closeStall is reset.
  static void sendLast(const std::shared_ptr<Io> &io,
                       std::chrono::steady_clock::time_point progressed,
                       std::chrono::steady_clock::time_point deadline) {
    const std::size_t before = io->batch.bytes.size() - io->batch.sent;
    const Step step = writeBatch(io->batch);
    if (step.kind == Step::Kind::done) {
      endAndDrain(io);
      return;
    }
    if (step.kind != Step::Kind::wantWrite) {
      io->close();
      return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (io->batch.bytes.size() - io->batch.sent < before)
      progressed = now;
    if (now - progressed >= closeStall || now >= deadline) {
      setResetOnClose(io->socket, true);
      io->close();
      return;
    }
    // Whichever comes first, the socket's room or the stall, goes on; the other then finds
    // `settled` and leaves.
    auto settled = std::make_shared<bool>(false);
    io->timer.expires_after(std::min(closeStall - (now - progressed), deadline - now));
    io->timer.async_wait([io, settled, progressed, deadline](const std::error_code &error) {
      if (error || std::exchange(*settled, true))
        return;
      std::error_code ignored;
      io->socket.cancel(ignored);
      sendLast(io, progressed, deadline);
    });
    io->socket.async_wait(asio::socket_base::wait_write, [io, settled, progressed,
                                                          deadline](const std::error_code &error) {
      if (error == asio::error::operation_aborted || std::exchange(*settled, true))
        return;
      io->timer.cancel();
      if (error)
        io->close();
      else
        sendLast(io, progressed, deadline);
    });
  }

  static void endAndDrain(const std::shared_ptr<Io> &io) {
    std::error_code failed;
    io->socket.shutdown(tcp::socket::shutdown_send, failed);
    if (failed) {
      io->close();
      return;
    }
    io->endSent = std::chrono::steady_clock::now();
    settleClose(io);
    if (io->socket.is_open())
      drain(io, std::make_shared<std::array<std::uint8_t, drainChunk>>());
  }

  // Once our end has left, the socket closes at the far side's end or closeLimit after ours,
  // and, while it is kept for the far side's acknowledgement, not before that has come: the
  // system would otherwise hold what is unread on its own, for minutes, counted by no one. A
  // stream that was reset or timed out meanwhile closes at once.
  static void settleClose(const std::shared_ptr<Io> &io) {
    if (!io->socket.is_open())
      return;
    if (io->taken) {
      // Once the far side's end is in, nothing reads the socket: a reset shows only in its state.
      const int fd = io->socket.native_handle();
      tcp_info info{};
      socklen_t length = sizeof info;
      int queued = 0;
      if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
          info.tcpi_state == TCP_CLOSE) {
        io->close();
        return;
      }
      // Only the end itself unacknowledged leaves nothing of the stream for the system to hold.
      if (::ioctl(fd, SIOCOUTQ, &queued) == 0 && queued <= 1)
        io->settle();
    }
    const auto now = std::chrono::steady_clock::now();
    const auto limit = *io->endSent + closeLimit;
    if (!io->taken && (io->farEnded || now >= limit)) {
      io->close();
      return;
    }
    auto wait = limit - now;
    if (io->taken) {
      wait = io->nextLook;
      io->nextLook = std::min<std::chrono::steady_clock::duration>(2 * io->nextLook,
                                                                   slowestAcknowledgementLook);
    }
    io->timer.expires_after(wait);
    io->timer.async_wait([io](const std::error_code &error) {
      if (!error)
        settleClose(io);
    });
  }

  static void drain(const std::shared_ptr<Io> &io,
                    const std::shared_ptr<std::array<std::uint8_t, drainChunk>> &buffer) {
    io->socket.async_read_some(asio::buffer(*buffer),
                               [io, buffer](const std::error_code &error, std::size_t) {
                                 if (error == asio::error::eof) {
                                   io->farEnded = true;
                                   settleClose(io);
                                 } else if (error) {
                                   io->close();
                                 } else {
                                   drain(io, buffer);
                                 }
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
  // A clean close under way holds its socket itself (the connection no longer does) and closes
  // it when it is done.
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
  // Counted like any other operation, so that nothing runs inline before the connection began.
  impl_->outstanding.fetch_add(1);
  queue->post([weak = impl_->weakSelf] {
    if (auto self = weak.lock()) {
      self->impl_->outstanding.fetch_sub(1);
      self->impl_->begin();
    }
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

void Connection::endSending(SendCompletion completion) {
  impl_->onQueue([completion = std::move(completion)](Impl &impl) mutable {
    impl.endSending(std::move(completion));
  });
}

// Held until the close has run, so that an owner that lets go right after asking still gets
// the end it asked for. Not before start(): the work would wait in the connection itself, and
// dropping a connection never started closes it anyway.
std::shared_ptr<Connection> Connection::keptForClose() {
  return queue() ? weak_from_this().lock() : nullptr;
}

void Connection::cancel() {
  impl_->onQueue([keep = keptForClose()](Impl &impl) { impl.cancel(); });
}

void Connection::cancel(std::function<void()> taken) {
  impl_->onQueue([keep = keptForClose(), taken = std::move(taken)](Impl &impl) mutable {
    impl.cancel(false, std::move(taken));
  });
}

void Connection::letGo() {
  impl_->onQueue([keep = keptForClose()](Impl &impl) { impl.letGo(); });
}

void Connection::abort() {
  impl_->onQueue([keep = keptForClose()](Impl &impl) { impl.cancel(true); });
}

void Connection::resetUnlessClosed() {
  impl_->onQueue([](Impl &impl) { impl.setResetUnlessClosed(); });
}

void Connection::moveTo(std::shared_ptr<SerialQueue> queue) {
  impl_->onQueue([queue = std::move(queue)](Impl &impl) { impl.moveTo(queue); }, true);
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
  return impl_->currentQueue();
}

std::optional<std::size_t> Connection::unacknowledged() const {
  if (auto home = queue())
    expectOnQueue(*home, "Connection::unacknowledged on the connection's queue");
  return impl_->unacknowledged();
}

} // namespace corvane

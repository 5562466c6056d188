#include "brimvale/platform/Connection.h"
#include "brimvale/platform/Listener.h"
#include "brimvale/platform/SerialQueue.h"
#include "brimvale/platform/TlsContext.h"
#include "tests/support/Wait.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace corvane {
namespace {

using namespace std::chrono_literals;
using corvane::testing::eventually;
using Kind = Connection::State::Kind;

template <typename T> T await(std::future<T> &future) {
  if (future.wait_for(eventually) != std::future_status::ready)
    throw std::runtime_error("timed out");
  return future.get();
}

Parameters tlsWith(std::vector<Parameters::PreSharedKey> keys,
                   std::vector<std::uint16_t> suites = {0xCCAC, 0x00A9}) {
  auto parameters = Parameters::tcp();
  parameters.tls.emplace();
  parameters.tls->keys = std::move(keys);
  parameters.tls->cipherSuites = std::move(suites);
  return parameters;
}

Bytes key(std::uint8_t fill) {
  return Bytes(32, fill);
}

// The first of ready, waiting, failed or cancelled.
std::future<Connection::State> settled(const std::shared_ptr<Connection> &connection) {
  auto promise = std::make_shared<std::promise<Connection::State>>();
  auto once = std::make_shared<std::atomic<bool>>(false);
  connection->setStateHandler([promise, once](const Connection::State &state) {
    if (state.kind != Kind::setup && state.kind != Kind::preparing && !once->exchange(true))
      promise->set_value(state);
  });
  return promise->get_future();
}

struct TlsPair {
  std::shared_ptr<SerialQueue> serverQueue = SerialQueue::create("test.server");
  std::shared_ptr<SerialQueue> clientQueue = SerialQueue::create("test.client");
  std::shared_ptr<Listener> listener;
  std::promise<std::shared_ptr<Connection>> acceptedPromise;
  std::future<Connection::State> serverSettled;
  std::promise<void> serverHooked;

  explicit TlsPair(Parameters serverParameters) {
    serverParameters.requiredLocalEndpoint = Endpoint::hostPort(Endpoint::Host::loopbackIPv4(), 0);
    listener = *Listener::create(serverParameters, std::nullopt);
    listener->setNewConnectionHandler([this](std::shared_ptr<Connection> connection) {
      serverSettled = settled(connection);
      connection->start(serverQueue);
      acceptedPromise.set_value(connection);
    });
    auto ready = std::make_shared<std::promise<void>>();
    auto once = std::make_shared<std::atomic<bool>>(false);
    listener->setStateHandler([ready, once](const Listener::State &) {
      if (!once->exchange(true))
        ready->set_value();
    });
    listener->start(serverQueue);
    auto future = ready->get_future();
    await(future);
  }
  ~TlsPair() { listener->cancel(); }

  std::shared_ptr<Connection> connect(Parameters parameters) {
    return Connection::create(Endpoint::hostPort(Endpoint::Host::loopbackIPv4(), *listener->port()),
                              std::move(parameters));
  }

  // A client and the server's end of it, both ready; nulls when either is not.
  std::pair<std::shared_ptr<Connection>, std::shared_ptr<Connection>> ready(Parameters parameters) {
    auto client = connect(std::move(parameters));
    auto clientState = settled(client);
    client->start(clientQueue);
    if (await(clientState).kind != Kind::ready)
      return {};
    auto acceptedFuture = acceptedPromise.get_future();
    auto accepted = await(acceptedFuture);
    if (await(serverSettled).kind != Kind::ready)
      return {};
    return {client, accepted};
  }
};

TEST(TlsTest, MatchingKeyConnectsWithTheForwardSecretSuite) {
  TlsPair pair(tlsWith({{"other", key(9)}, {"mac-a", key(1)}}));
  auto client = pair.connect(tlsWith({{"mac-a", key(1)}}));
  auto clientState = settled(client);
  client->start(pair.clientQueue);
  ASSERT_EQ(await(clientState).kind, Kind::ready);
  EXPECT_EQ(client->negotiatedCipherSuite(), std::optional<std::uint16_t>(0xCCAC));

  auto acceptedFuture = pair.acceptedPromise.get_future();
  auto accepted = await(acceptedFuture);
  ASSERT_EQ(await(pair.serverSettled).kind, Kind::ready);
  EXPECT_EQ(accepted->negotiatedCipherSuite(), std::optional<std::uint16_t>(0xCCAC));

  // Bytes cross, and a cancel ends the stream cleanly for the peer (close_notify).
  client->send(bytesOf("ping"));
  std::promise<std::string> got;
  accepted->receive(4, 4, [&](Bytes data, bool, auto) { got.set_value(textOf(data)); });
  auto gotFuture = got.get_future();
  EXPECT_EQ(await(gotFuture), "ping");
  std::promise<std::pair<bool, bool>> ended;
  accepted->receive(1, 10, [&](Bytes data, bool complete, std::optional<NetworkError> error) {
    ended.set_value({data.empty() && complete, error.has_value()});
  });
  client->cancel();
  auto endedFuture = ended.get_future();
  EXPECT_EQ(await(endedFuture), std::make_pair(true, false));
  accepted->cancel();
}

TEST(TlsTest, SecondSuiteIsUsedWhenItIsTheOnlyOneOffered) {
  TlsPair pair(tlsWith({{"mac-a", key(1)}}));
  auto client = pair.connect(tlsWith({{"mac-a", key(1)}}, {0x00A9}));
  auto clientState = settled(client);
  client->start(pair.clientQueue);
  ASSERT_EQ(await(clientState).kind, Kind::ready);
  EXPECT_EQ(client->negotiatedCipherSuite(), std::optional<std::uint16_t>(0x00A9));
  client->cancel();
}

TEST(TlsTest, UnknownIdentityOrWrongKeyFailsBothSides) {
  struct Case {
    const char *name;
    Parameters::PreSharedKey offered;
  };
  for (const auto &c :
       {Case{"unknown identity", {"stranger", key(1)}}, Case{"wrong key", {"mac-a", key(2)}}}) {
    SCOPED_TRACE(c.name);
    TlsPair pair(tlsWith({{"mac-a", key(1)}}));
    auto client = pair.connect(tlsWith({c.offered}));
    auto clientState = settled(client);
    client->start(pair.clientQueue);
    auto state = await(clientState);
    EXPECT_EQ(state.kind, Kind::failed);
    ASSERT_TRUE(state.error);
    EXPECT_EQ(state.error->domain, NetworkError::Domain::tls);
    EXPECT_FALSE(client->negotiatedCipherSuite());

    auto acceptedFuture = pair.acceptedPromise.get_future();
    auto accepted = await(acceptedFuture);
    EXPECT_EQ(await(pair.serverSettled).kind, Kind::failed);
    client->cancel();
    accepted->cancel();
  }
}

// Bytes that are not one repeated value, so that a misplaced piece shows.
Bytes patternOf(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<std::uint8_t>((i * 131 + i / 251) & 0xff);
  return bytes;
}

// Reads until `total` bytes or the end; what arrived and whether it ended without an error.
struct Collected {
  Bytes data;
  bool cleanEnd = false;
};

void collect(const std::shared_ptr<Connection> &connection, std::size_t total,
             std::shared_ptr<Collected> sofar, std::shared_ptr<std::promise<void>> done) {
  connection->receive(1, 65536,
                      [connection, total, sofar, done](Bytes data, bool complete, auto error) {
                        sofar->data.insert(sofar->data.end(), data.begin(), data.end());
                        if (error || complete || sofar->data.size() >= total) {
                          sofar->cleanEnd = complete && !error;
                          done->set_value();
                          return;
                        }
                        collect(connection, total, sofar, done);
                      });
}

// Reads what `collect` gathers until the stream's end (or `total` bytes).
Collected collectAll(const std::shared_ptr<Connection> &connection, std::size_t total) {
  auto sofar = std::make_shared<Collected>();
  auto done = std::make_shared<std::promise<void>>();
  auto future = done->get_future();
  collect(connection, total, sofar, done);
  await(future);
  return *sofar;
}

// Each side in turn ends its sending first: its close_notify reaches the other as the end of
// the stream, after which the other still sends (a reply larger than the socket buffers) and
// the first still reads it all, then sees the second's end. Nothing fails on either side.
TEST(TlsTest, EitherSideEndsItsSendingAndStillReadsTheOthersReplyToItsEnd) {
  for (bool clientEndsFirst : {true, false}) {
    SCOPED_TRACE(clientEndsFirst ? "client ends first" : "server ends first");
    TlsPair pair(tlsWith({{"mac-a", key(1)}}));
    auto [client, server] = pair.ready(tlsWith({{"mac-a", key(1)}}));
    ASSERT_TRUE(client && server);
    auto first = clientEndsFirst ? client : server;
    auto second = clientEndsFirst ? server : client;

    std::promise<std::optional<NetworkError>> endSent;
    first->send(bytesOf("request"));
    first->endSending([&](auto error) { endSent.set_value(error); });
    auto endSentFuture = endSent.get_future();
    EXPECT_EQ(await(endSentFuture), std::nullopt);
    auto request = collectAll(second, 1 << 20);
    EXPECT_EQ(textOf(request.data), "request");
    EXPECT_TRUE(request.cleanEnd);

    std::promise<std::optional<NetworkError>> late;
    first->send(bytesOf("too late"), [&](auto error) { late.set_value(error); });
    auto lateFuture = late.get_future();
    EXPECT_TRUE(await(lateFuture).value_or(NetworkError{}).isPosix(EPIPE));

    const Bytes reply = patternOf(3 * 1024 * 1024 + 5);
    second->send(reply);
    second->endSending();
    auto got = collectAll(first, reply.size() + 1);
    EXPECT_TRUE(got.data == reply) << got.data.size() << " of " << reply.size();
    EXPECT_TRUE(got.cleanEnd);
    EXPECT_EQ(client->state().kind, Kind::ready);
    EXPECT_EQ(server->state().kind, Kind::ready);
    client->cancel();
    server->cancel();
  }
}

// A TLS client driven by hand over a blocking socket, so that the test decides how the
// records are cut on the wire.
class HandClient {
public:
  // A `receiveBuffer` keeps the window small, so that what the server writes backs up.
  HandClient(std::uint16_t port, const Parameters::Tls &tls, int receiveBuffer = 0) {
    context_ = *TlsContext::make(tls, TlsContext::Role::client);
    ssl_ = SSL_new(context_->context().native_handle());
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl_, in_, out_);
    SSL_set_connect_state(ssl_);
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (receiveBuffer > 0)
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
  }
  ~HandClient() {
    SSL_free(ssl_);
    ::close(fd_);
  }

  // The handshake, every flight written a few bytes at a time.
  bool handshake() {
    while (connected_) {
      const int result = SSL_do_handshake(ssl_);
      flush({3, 1, 7});
      if (result == 1)
        return true;
      if (SSL_get_error(ssl_, result) != SSL_ERROR_WANT_READ)
        return false;
      char buffer[4096];
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0)
        return false;
      BIO_write(in_, buffer, static_cast<int>(n));
    }
    return false;
  }

  // The TCP end without close_notify, as a program that dies or a cut link leaves it.
  void endWithoutCloseNotify() { ::shutdown(fd_, SHUT_WR); }
  bool closeNotifyReceived() const { return SSL_get_shutdown(ssl_) & SSL_RECEIVED_SHUTDOWN; }

  // Encrypts `data` and writes the records cut into pieces of the given sizes in turn, with
  // a pause now and then so that the reader sees them apart.
  void send(const Bytes &data, std::vector<std::size_t> pieces) {
    SSL_write(ssl_, data.data(), static_cast<int>(data.size()));
    flush(std::move(pieces));
  }

  // The server's end of this connection, found among the process's descriptors; -1 until the
  // listener has accepted it.
  int serverSocket() const {
    sockaddr_in self{};
    socklen_t length = sizeof self;
    ::getsockname(fd_, reinterpret_cast<sockaddr *>(&self), &length);
    for (int fd = 0; fd < 4096; ++fd) {
      sockaddr_in peer{};
      length = sizeof peer;
      if (fd != fd_ && ::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) == 0 &&
          peer.sin_family == AF_INET && peer.sin_port == self.sin_port)
        return fd;
    }
    return -1;
  }

  // Reads until `total` bytes arrived or the stream ended; `progress` follows the count.
  Bytes receive(std::size_t total, std::atomic<std::size_t> *progress) {
    Bytes got(total);
    std::size_t filled = 0;
    while (filled < total) {
      const int n = SSL_read(ssl_, got.data() + filled, static_cast<int>(total - filled));
      if (n > 0) {
        filled += static_cast<std::size_t>(n);
        *progress = filled;
        continue;
      }
      char buffer[4096];
      const ssize_t r = ::recv(fd_, buffer, sizeof buffer, 0);
      if (r <= 0)
        break;
      BIO_write(in_, buffer, static_cast<int>(r));
    }
    got.resize(filled);
    return got;
  }

private:
  void flush(std::vector<std::size_t> pieces) {
    std::vector<char> wire(static_cast<std::size_t>(BIO_ctrl_pending(out_)));
    if (wire.empty())
      return;
    BIO_read(out_, wire.data(), static_cast<int>(wire.size()));
    std::size_t offset = 0;
    for (std::size_t turn = 0; offset < wire.size(); ++turn) {
      const std::size_t size = std::min(pieces[turn % pieces.size()], wire.size() - offset);
      ::send(fd_, wire.data() + offset, size, MSG_NOSIGNAL);
      offset += size;
      if (turn % 5 == 4)
        std::this_thread::sleep_for(1ms);
    }
  }

  std::shared_ptr<TlsContext> context_;
  SSL *ssl_ = nullptr;
  BIO *in_ = nullptr;
  BIO *out_ = nullptr;
  int fd_ = -1;
  bool connected_ = false;
};

// The server's end of a hand-driven client once both are ready; null when either is not.
std::shared_ptr<Connection> acceptedReady(TlsPair &pair, HandClient &client) {
  if (!client.handshake())
    return nullptr;
  auto acceptedFuture = pair.acceptedPromise.get_future();
  auto accepted = await(acceptedFuture);
  return await(pair.serverSettled).kind == Kind::ready ? accepted : nullptr;
}

TEST(TlsTest, RecordsCutIntoPiecesArriveWholeAndInOrder) {
  TlsPair pair(tlsWith({{"mac-a", key(1)}}));
  HandClient client(*pair.listener->port(), *tlsWith({{"mac-a", key(1)}}).tls);
  auto accepted = acceptedReady(pair, client);
  ASSERT_TRUE(accepted);

  const Bytes payload = patternOf(200000);
  // A minimum larger than one record waits for several of them.
  std::promise<Bytes> first;
  accepted->receive(40000, 40000, [&](Bytes data, bool, auto) { first.set_value(data); });
  client.send(payload, {1, 2, 5, 4093, 17, 16500, 300});
  auto firstFuture = first.get_future();
  const Bytes head = await(firstFuture);
  ASSERT_EQ(head.size(), 40000u);
  EXPECT_TRUE(std::equal(head.begin(), head.end(), payload.begin()));

  auto rest = std::make_shared<Collected>();
  auto done = std::make_shared<std::promise<void>>();
  collect(accepted, payload.size() - head.size(), rest, done);
  auto doneFuture = done->get_future();
  await(doneFuture);
  ASSERT_EQ(rest->data.size(), payload.size() - head.size());
  EXPECT_TRUE(std::equal(rest->data.begin(), rest->data.end(), payload.begin() + 40000));
  accepted->cancel();
}

// Only close_notify ends a stream: the TCP end without it is a cut, and the reader is told so
// after the bytes before it. So close_notify must never be skipped, also when the socket is too
// full to take it at once.
TEST(TlsTest, OnlyCloseNotifyEndsAStreamAndItIsSentEvenThroughAFullSocket) {
  {
    TlsPair pair(tlsWith({{"mac-a", key(1)}}));
    HandClient client(*pair.listener->port(), *tlsWith({{"mac-a", key(1)}}).tls);
    auto accepted = acceptedReady(pair, client);
    ASSERT_TRUE(accepted);
    client.send(bytesOf("cut short"), {4096});
    client.endWithoutCloseNotify();
    auto got = collectAll(accepted, 1 << 20);
    EXPECT_EQ(textOf(got.data), "cut short");
    EXPECT_FALSE(got.cleanEnd);
    accepted->cancel();
  }
  {
    TlsPair pair(tlsWith({{"mac-a", key(1)}}));
    HandClient client(*pair.listener->port(), *tlsWith({{"mac-a", key(1)}}).tls, 4096);
    auto accepted = acceptedReady(pair, client);
    ASSERT_TRUE(accepted);
    // Far more than the socket buffers take.
    const Bytes reply = patternOf(32 * 1024 * 1024);
    std::promise<void> handed;
    accepted->send(Bytes(reply.begin(), reply.begin() + 65536), [&](auto) { handed.set_value(); });
    accepted->send(Bytes(reply.begin() + 65536, reply.end()));
    auto handedFuture = handed.get_future();
    await(handedFuture);
    // The client reads nothing yet: what is made of the rest waits behind a full socket, also
    // once its owner has let go of the connection.
    accepted->cancel();
    accepted.reset();
    std::atomic<std::size_t> progress = 0;
    // One more than was sent: read on to the end.
    const Bytes got = client.receive(reply.size() + 1, &progress);
    EXPECT_GE(got.size(), 65536u);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), reply.begin()));
    EXPECT_TRUE(client.closeNotifyReceived());
  }
}

TEST(TlsTest, CancelWithSendsInFlightCompletesEachOnceAndThePeerGetsAnIntactPrefix) {
  TlsPair pair(tlsWith({{"mac-a", key(1)}}));
  auto [client, accepted] = pair.ready(tlsWith({{"mac-a", key(1)}}));
  ASSERT_TRUE(client && accepted);

  // The server reads nothing yet, so the sends back up behind the socket.
  constexpr std::size_t chunk = 65536;
  constexpr int count = 128;
  const Bytes stream = patternOf(chunk * count);
  struct Outcome {
    std::atomic<int> calls = 0;
    std::atomic<bool> ok = false;
  };
  std::vector<Outcome> outcomes(count);
  std::promise<void> cancelled;
  client->setStateHandler([&](const Connection::State &state) {
    if (state.kind == Kind::cancelled)
      cancelled.set_value();
  });
  // Issued on the connection's own queue, where they run at once; the third completion
  // cancels from inside.
  pair.clientQueue->post([&] {
    for (int i = 0; i < count; ++i) {
      Bytes piece(stream.begin() + i * static_cast<std::ptrdiff_t>(chunk),
                  stream.begin() + (i + 1) * static_cast<std::ptrdiff_t>(chunk));
      client->send(std::move(piece), [&, i](std::optional<NetworkError> error) {
        outcomes[i].ok = !error;
        if (++outcomes[i].calls == 1 && i == 2)
          client->cancel();
      });
    }
  });
  auto cancelledFuture = cancelled.get_future();
  await(cancelledFuture);
  pair.clientQueue->sync([] {});

  std::size_t handedOver = 0;
  bool prefix = true;
  for (int i = 0; i < count; ++i) {
    EXPECT_EQ(outcomes[i].calls.load(), 1) << "send " << i;
    if (outcomes[i].ok) {
      EXPECT_TRUE(prefix) << "send " << i << " succeeded after one that failed";
      handedOver += chunk;
    } else {
      prefix = false;
    }
  }
  EXPECT_GE(handedOver, 3 * chunk);

  auto received = std::make_shared<Collected>();
  auto done = std::make_shared<std::promise<void>>();
  collect(accepted, stream.size() + 1, received, done);
  auto doneFuture = done->get_future();
  await(doneFuture);
  EXPECT_TRUE(received->cleanEnd);
  EXPECT_GE(received->data.size(), handedOver);
  ASSERT_LE(received->data.size(), stream.size());
  EXPECT_TRUE(std::equal(received->data.begin(), received->data.end(), stream.begin()));
  accepted->cancel();
}

// Small frames, a send far larger than the socket holds, small frames again, all sent from the
// server's ready handler, so that the first ones share a write with the handshake's last
// flight. Each completion holds the server's queue until the client has read that send: bytes
// still held back by the connection when it completes would never arrive.
TEST(TlsTest, SendsFromTheReadyHandlerArriveWholeInOrderAndCompleteOnceHandedOn) {
  TlsPair pair(tlsWith({{"mac-a", key(1)}}));
  std::vector<std::size_t> ends;
  for (std::size_t i = 0, at = 0; i < 80; ++i)
    ends.push_back(at += i == 40 ? 1024 * 1024 : (i * 2377) % 12000 + 1);
  const Bytes stream = patternOf(ends.back());
  std::atomic<std::size_t> received = 0;
  std::atomic<std::size_t> next = 0;
  std::atomic<bool> early = false;
  std::atomic<bool> misordered = false;
  std::shared_ptr<Connection> accepted;
  pair.listener->setNewConnectionHandler([&](std::shared_ptr<Connection> connection) {
    accepted = connection;
    connection->setStateHandler([&, raw = connection.get()](const Connection::State &state) {
      if (state.kind != Kind::ready)
        return;
      for (std::size_t i = 0, at = 0; i < ends.size(); at = ends[i++]) {
        raw->send(Bytes(stream.begin() + static_cast<std::ptrdiff_t>(at),
                        stream.begin() + static_cast<std::ptrdiff_t>(ends[i])),
                  [&, i](std::optional<NetworkError> error) {
                    misordered = misordered || error || i != next++;
                    if (!early &&
                        !corvane::testing::waitUntil([&] { return received.load() >= ends[i]; }))
                      early = true;
                  });
      }
    });
    connection->start(pair.serverQueue);
  });
  HandClient client(*pair.listener->port(), *tlsWith({{"mac-a", key(1)}}).tls, 4096);
  // A tiny send buffer on the server's socket too, so that its batches wait for the client.
  int serverSocket = -1;
  ASSERT_TRUE(
      corvane::testing::waitUntil([&] { return (serverSocket = client.serverSocket()) >= 0; }));
  const int small = 4096;
  ::setsockopt(serverSocket, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  ASSERT_TRUE(client.handshake());
  const Bytes data = client.receive(stream.size(), &received);
  EXPECT_TRUE(data == stream);
  EXPECT_TRUE(corvane::testing::waitUntil([&] { return next.load() == ends.size(); }));
  EXPECT_FALSE(early) << "a send completed before its bytes were handed to the system";
  EXPECT_FALSE(misordered);
  pair.serverQueue->sync([&] { accepted->cancel(); });
}

TEST(TlsTest, AMovedConnectionKeepsItsSessionItsPendingWorkAndItsOrder) {
  TlsPair pair(tlsWith({{"mac-a", key(1)}}));
  auto relayQueue = SerialQueue::create("test.relay");
  auto client = pair.connect(tlsWith({{"mac-a", key(1)}}));
  auto clientState = settled(client);
  // Asked before the handshake: a connection that is not ready when the move runs stays.
  client->moveTo(relayQueue);
  client->start(pair.clientQueue);
  ASSERT_EQ(await(clientState).kind, Kind::ready);
  EXPECT_EQ(client->queue(), pair.clientQueue);
  auto acceptedFuture = pair.acceptedPromise.get_future();
  auto accepted = await(acceptedFuture);
  ASSERT_EQ(await(pair.serverSettled).kind, Kind::ready);

  // A receive waiting for the socket when the move runs, and operations asked for after it,
  // all from another thread.
  const Bytes payload = patternOf(3 * 1024 * 1024 + 17);
  std::promise<Bytes> first;
  std::atomic<bool> firstOnRelay = false;
  accepted->receive(1000, 1000, [&](Bytes data, bool, auto) {
    firstOnRelay = relayQueue->isCurrent();
    first.set_value(std::move(data));
  });
  // The receive is waiting for the socket before the move is asked for.
  pair.serverQueue->sync([] {});
  accepted->moveTo(relayQueue);
  client->send(Bytes(payload.begin(), payload.begin() + 1000));
  auto firstFuture = first.get_future();
  const Bytes head = await(firstFuture);
  EXPECT_TRUE(firstOnRelay) << "the waiting receive completed on the old queue";
  ASSERT_EQ(head.size(), 1000u);
  EXPECT_TRUE(std::equal(head.begin(), head.end(), payload.begin()));
  EXPECT_EQ(accepted->queue(), relayQueue);

  // Both ways at once through the moved session, every byte in order.
  auto atServer = std::make_shared<Collected>();
  auto serverDone = std::make_shared<std::promise<void>>();
  collect(accepted, payload.size() - 1000, atServer, serverDone);
  auto atClient = std::make_shared<Collected>();
  auto clientDone = std::make_shared<std::promise<void>>();
  collect(client, payload.size(), atClient, clientDone);
  std::atomic<int> sentOnRelay = 0;
  for (std::size_t at = 0; at < payload.size(); at += 100000) {
    const auto end = std::min(payload.size(), at + 100000);
    accepted->send(Bytes(payload.begin() + static_cast<std::ptrdiff_t>(at),
                         payload.begin() + static_cast<std::ptrdiff_t>(end)),
                   [&](auto error) {
                     if (!error && relayQueue->isCurrent())
                       ++sentOnRelay;
                   });
  }
  client->send(Bytes(payload.begin() + 1000, payload.end()));
  auto serverFuture = serverDone->get_future();
  auto clientFuture = clientDone->get_future();
  await(serverFuture);
  await(clientFuture);
  EXPECT_TRUE(std::equal(atServer->data.begin(), atServer->data.end(), payload.begin() + 1000,
                         payload.end()));
  EXPECT_EQ(atClient->data, payload);
  const int sends = static_cast<int>((payload.size() + 99999) / 100000);
  EXPECT_TRUE(corvane::testing::waitUntil([&] { return sentOnRelay.load() == sends; }))
      << sentOnRelay.load() << " of " << sends << " send completions came on the relay queue";

  // Cancelling the moved side still ends the stream cleanly for its peer.
  auto ended = std::make_shared<Collected>();
  auto endedDone = std::make_shared<std::promise<void>>();
  collect(client, 1, ended, endedDone);
  accepted->cancel();
  auto endedFuture = endedDone->get_future();
  await(endedFuture);
  EXPECT_TRUE(ended->data.empty());
  EXPECT_TRUE(ended->cleanEnd);
  client->cancel();
}

// What the far side has not acknowledged is counted once, wherever it waits (a send, its
// records, the socket): never more than the reader has yet to take, bar framing and a delayed
// acknowledgement, and nothing once it has all.
TEST(TlsTest, UnacknowledgedBytesAreCountedOnceWhereverTheyWait) {
  for (bool tls : {true, false}) {
    SCOPED_TRACE(tls ? "tls" : "plain");
    const auto parameters = tls ? tlsWith({{"mac-a", key(1)}}) : Parameters::tcp();
    TlsPair pair(parameters);
    auto [client, server] = pair.ready(parameters);
    ASSERT_TRUE(client && server);
    // The first send more than the sockets take, smaller ones behind it: 16 MiB in all.
    client->send(Bytes(12 << 20, 'a'));
    for (int i = 0; i < 64; ++i)
      client->send(Bytes(65536, 'b'));
    const auto left = [&] {
      std::optional<std::size_t> count;
      pair.clientQueue->sync([&] { count = client->unacknowledged(); });
      return count.value_or(0);
    };
    for (std::size_t rest = 16 << 20; rest > 0;) {
      ASSERT_LE(left(), rest + rest / 256 + (256 << 10)) << rest << " left to read";
      const Bytes got = collectAll(server, 1).data;
      ASSERT_FALSE(got.empty());
      rest -= got.size();
    }
    EXPECT_TRUE(corvane::testing::waitUntil([&] { return left() == 0u; })) << left();
    client->cancel();
    server->cancel();
  }
}

} // namespace
} // namespace corvane

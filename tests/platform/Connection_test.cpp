#include "brimvale/platform/Connection.h"
#include "brimvale/platform/DnsSd.h"
#include "brimvale/platform/Listener.h"
#include "brimvale/platform/SerialQueue.h"
#include "tests/support/Wait.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace corvane {
namespace {

using namespace std::chrono_literals;
using corvane::testing::eventually;

template <typename T> T await(std::future<T> &future) {
  if (future.wait_for(eventually) != std::future_status::ready)
    throw std::runtime_error("timed out");
  return future.get();
}

struct Received {
  Bytes data;
  bool complete = false;
  std::optional<NetworkError> error;
};

std::future<Received> receiveOnce(const std::shared_ptr<Connection> &connection,
                                  std::size_t minimum, std::size_t maximum) {
  auto promise = std::make_shared<std::promise<Received>>();
  connection->receive(minimum, maximum, [promise](Bytes data, bool complete, auto error) {
    promise->set_value({std::move(data), complete, std::move(error)});
  });
  return promise->get_future();
}

std::future<Connection::State> stateReached(const std::shared_ptr<Connection> &connection,
                                            Connection::State::Kind kind) {
  auto promise = std::make_shared<std::promise<Connection::State>>();
  auto done = std::make_shared<std::atomic<bool>>(false);
  connection->setStateHandler([promise, done, kind](const Connection::State &state) {
    bool terminal = state.kind == Connection::State::Kind::waiting ||
                    state.kind == Connection::State::Kind::failed ||
                    state.kind == Connection::State::Kind::cancelled;
    if ((state.kind == kind || terminal) && !done->exchange(true))
      promise->set_value(state);
  });
  return promise->get_future();
}

// A server on `host` that runs `serve` for every accepted connection, on a queue of its own.
struct Server {
  std::shared_ptr<SerialQueue> listenerQueue = SerialQueue::create("test.listener");
  std::shared_ptr<SerialQueue> connectionQueue = SerialQueue::create("test.server");
  std::shared_ptr<Listener> listener;
  std::uint16_t port = 0;

  Server(Endpoint::Host host, std::function<void(std::shared_ptr<Connection>)> serve) {
    auto parameters = Parameters::tcp();
    parameters.requiredLocalEndpoint = Endpoint::hostPort(host, 0);
    listener = *Listener::create(parameters, std::nullopt);
    auto ready = std::make_shared<std::promise<Listener::State>>();
    auto once = std::make_shared<std::atomic<bool>>(false);
    listener->setStateHandler([ready, once](const Listener::State &state) {
      if (!once->exchange(true))
        ready->set_value(state);
    });
    listener->setNewConnectionHandler(
        [queue = connectionQueue, serve](std::shared_ptr<Connection> connection) {
          connection->start(queue);
          serve(std::move(connection));
        });
    listener->start(listenerQueue);
    auto future = ready->get_future();
    auto state = await(future);
    if (state.kind != Listener::State::Kind::ready)
      throw std::runtime_error("listener did not start");
    port = *listener->port();
  }
  // On the listener's queue, so that no connection accepted late reaches `serve` once the
  // test's state is gone.
  ~Server() {
    listenerQueue->sync([this] { listener->cancel(); });
  }
};

void echo(std::shared_ptr<Connection> connection) {
  connection->receive(1, 65536, [connection](Bytes data, bool complete, auto error) {
    if (error || (data.empty() && complete)) {
      connection->cancel();
      return;
    }
    connection->send(std::move(data), [connection, complete](auto error) {
      if (error || complete)
        connection->cancel();
      else
        echo(connection);
    });
  });
}

bool hasIPv6Loopback() {
  int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
  if (fd < 0)
    return false;
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  bool ok = ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

class EchoTest : public ::testing::TestWithParam<bool> {};

TEST_P(EchoTest, RoundTripsBytesAndEndsCleanly) {
  bool ipv6 = GetParam();
  if (ipv6 && !hasIPv6Loopback())
    GTEST_SKIP() << "no IPv6 loopback";
  auto host = ipv6 ? Endpoint::Host::loopbackIPv6() : Endpoint::Host::loopbackIPv4();
  Server server(host, echo);
  auto queue = SerialQueue::create("test.client");
  auto client = Connection::create(Endpoint::hostPort(host, server.port), Parameters::tcp());
  auto ready = stateReached(client, Connection::State::Kind::ready);
  client->start(queue);
  ASSERT_EQ(await(ready).kind, Connection::State::Kind::ready);
  ASSERT_TRUE(client->remoteEndpoint());
  EXPECT_EQ(client->remoteEndpoint()->asHostPort()->host, host);

  Bytes payload(200000);
  for (std::size_t i = 0; i < payload.size(); ++i)
    payload[i] = static_cast<std::uint8_t>(i * 7);
  client->send(payload);
  auto echoed = receiveOnce(client, payload.size(), payload.size());
  auto result = await(echoed);
  EXPECT_FALSE(result.error);
  EXPECT_EQ(result.data, payload);
  client->cancel();
}

INSTANTIATE_TEST_SUITE_P(Loopback, EchoTest, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "IPv6" : "IPv4"; });

TEST(ConnectionTest, RefusedConnectionWaitsWithTheError) {
  // A bound socket that does not listen keeps the port taken and refuses connections.
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);

  auto queue = SerialQueue::create("test.client");
  auto client = Connection::create(
      Endpoint::hostPort(Endpoint::Host::loopbackIPv4(), ntohs(address.sin_port)),
      Parameters::tcp());
  auto state = stateReached(client, Connection::State::Kind::waiting);
  client->start(queue);
  auto reached = await(state);
  EXPECT_EQ(reached.kind, Connection::State::Kind::waiting);
  ASSERT_TRUE(reached.error);
  EXPECT_TRUE(reached.error->isPosix(ECONNREFUSED));
  EXPECT_EQ(client->state().kind, Connection::State::Kind::waiting);
  client->cancel();
  ::close(fd);
}

TEST(ConnectionTest, ReceiveHonoursMinimumMaximumAndEndOfStream) {
  Server server(Endpoint::Host::loopbackIPv4(), [](std::shared_ptr<Connection> connection) {
    connection->send(bytesOf("hello world"), [connection](auto) { connection->cancel(); });
  });
  auto queue = SerialQueue::create("test.client");
  auto client = Connection::create(Endpoint::hostPort(Endpoint::Host::loopbackIPv4(), server.port),
                                   Parameters::tcp());
  client->start(queue);
  // Receives issued before ready wait for it.
  auto first = receiveOnce(client, 5, 5);
  auto firstResult = await(first);
  EXPECT_EQ(textOf(firstResult.data), "hello");
  EXPECT_FALSE(firstResult.complete);
  EXPECT_FALSE(firstResult.error);

  // Fewer than the minimum arrive because the stream ends; they come with the end marker.
  auto rest = receiveOnce(client, 100, 200);
  auto restResult = await(rest);
  EXPECT_EQ(textOf(restResult.data), " world");
  EXPECT_TRUE(restResult.complete);
  EXPECT_FALSE(restResult.error);

  auto after = receiveOnce(client, 1, 10);
  auto afterResult = await(after);
  EXPECT_TRUE(afterResult.data.empty());
  EXPECT_TRUE(afterResult.complete);
  client->cancel();
}

// One byte at a time, each receive made from the completion of the one before: bytes already
// read are handed out in turn, not by nesting one call inside the next.
TEST(ConnectionTest, ReceivesMadeFromTheirOwnCompletionsRunInTurn) {
  constexpr std::size_t total = 20000;
  Bytes payload(total);
  for (std::size_t i = 0; i < total; ++i)
    payload[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
  Server server(Endpoint::Host::loopbackIPv4(), [payload](std::shared_ptr<Connection> connection) {
    connection->send(payload, [connection](auto) { connection->cancel(); });
  });
  auto queue = SerialQueue::create("test.client");
  auto client = Connection::create(Endpoint::hostPort(Endpoint::Host::loopbackIPv4(), server.port),
                                   Parameters::tcp());
  client->start(queue);
  struct Reader {
    std::shared_ptr<Connection> connection;
    Bytes got;
    int depth = 0;
    int deepest = 0;
    std::promise<void> done;
    void next() {
      connection->receive(1, 1, [this](Bytes data, bool complete, auto error) {
        deepest = std::max(deepest, ++depth);
        got.insert(got.end(), data.begin(), data.end());
        if (complete || error)
          done.set_value();
        else
          next();
        --depth;
      });
    }
  };
  Reader reader{client, {}, 0, 0, {}};
  auto finished = reader.done.get_future();
  reader.next();
  await(finished);
  queue->sync([] {});
  EXPECT_EQ(reader.got, payload);
  EXPECT_LE(reader.deepest, 2);
  client->cancel();
}

TEST(ConnectionTest, CancelCompletesPendingWorkOnceAndReportsCancelledOnce) {
  // The server keeps its end open: a peer that closed first would end the receive instead.
  std::mutex keptLock;
  std::vector<std::shared_ptr<Connection>> kept;
  Server server(Endpoint::Host::loopbackIPv4(), [&](std::shared_ptr<Connection> connection) {
    std::lock_guard guard(keptLock);
    kept.push_back(std::move(connection));
  });
  auto queue = SerialQueue::create("test.client");
  auto client = Connection::create(Endpoint::hostPort(Endpoint::Host::loopbackIPv4(), server.port),
                                   Parameters::tcp());
  auto ready = stateReached(client, Connection::State::Kind::ready);
  client->start(queue);
  ASSERT_EQ(await(ready).kind, Connection::State::Kind::ready);

  std::atomic<int> cancelledReports = 0;
  client->setStateHandler([&](const Connection::State &state) {
    if (state.kind == Connection::State::Kind::cancelled)
      ++cancelledReports;
  });
  std::atomic<int> receiveCalls = 0;
  std::optional<NetworkError> receiveError;
  client->receive(1, 10, [&](Bytes, bool, std::optional<NetworkError> error) {
    ++receiveCalls;
    receiveError = error;
  });
  client->cancel();
  client->cancel();
  std::optional<NetworkError> sendError;
  client->send(bytesOf("late"), [&](std::optional<NetworkError> error) { sendError = error; });
  queue->sync([] {});

  EXPECT_EQ(receiveCalls, 1);
  ASSERT_TRUE(receiveError);
  EXPECT_TRUE(receiveError->isPosix(ECANCELED));
  ASSERT_TRUE(sendError);
  EXPECT_TRUE(sendError->isPosix(ECANCELED));
  EXPECT_EQ(cancelledReports, 1);
  EXPECT_EQ(client->state().kind, Connection::State::Kind::cancelled);
}

// A failure reaches every pending operation as itself, never as the ECANCELED of a cancel,
// whichever operation notices it first; and a socket set to reset unless closed resets its peer
// when it is dropped, but still ends cleanly when cancelled.
TEST(ConnectionTest, AFailureReachesEveryPendingOperationAndOnlyACloseEndsAResettingSocketCleanly) {
  std::mutex keptLock;
  std::vector<std::shared_ptr<Connection>> kept;
  std::promise<void> accepted;
  Server server(Endpoint::Host::loopbackIPv4(), [&](std::shared_ptr<Connection> connection) {
    std::lock_guard guard(keptLock);
    kept.push_back(std::move(connection));
    if (kept.size() == 1)
      accepted.set_value();
  });
  auto queue = SerialQueue::create("test.client");
  auto connect = [&] {
    auto client = Connection::create(
        Endpoint::hostPort(Endpoint::Host::loopbackIPv4(), server.port), Parameters::tcp());
    auto ready = stateReached(client, Connection::State::Kind::ready);
    client->start(queue);
    EXPECT_EQ(await(ready).kind, Connection::State::Kind::ready);
    client->setStateHandler(nullptr);
    return client;
  };
  {
    auto client = connect();
    auto acceptedFuture = accepted.get_future();
    await(acceptedFuture);
    // More than the socket buffers hold, so that the send is still pending at the reset.
    std::promise<std::optional<NetworkError>> sent;
    client->send(Bytes(32u << 20, 0x5a), [&](auto error) { sent.set_value(error); });
    auto received = receiveOnce(client, 1, 10);
    queue->sync([] {});
    {
      std::lock_guard guard(keptLock);
      kept.front()->abort();
    }
    auto sentFuture = sent.get_future();
    const auto sendError = await(sentFuture);
    const auto receiveError = await(received).error;
    ASSERT_TRUE(sendError && receiveError);
    EXPECT_FALSE(sendError->isPosix(ECANCELED)) << sendError->localizedDescription();
    EXPECT_FALSE(receiveError->isPosix(ECANCELED)) << receiveError->localizedDescription();
  }
  for (bool cancelled : {false, true}) {
    SCOPED_TRACE(cancelled ? "cancelled" : "dropped");
    std::size_t index = 0;
    {
      auto client = connect();
      client->resetUnlessClosed();
      EXPECT_TRUE(testing::waitUntil([&] {
        std::lock_guard guard(keptLock);
        index = kept.size() - 1;
        return kept.size() == (cancelled ? 3u : 2u);
      }));
      if (cancelled)
        client->cancel();
      queue->sync([] {});
    }
    std::shared_ptr<Connection> serverSide;
    {
      std::lock_guard guard(keptLock);
      serverSide = kept[index];
    }
    auto endFuture = receiveOnce(serverSide, 1, 10);
    const auto end = await(endFuture);
    EXPECT_TRUE(end.data.empty());
    EXPECT_EQ(end.complete && !end.error, cancelled);
  }
}

TEST(ConnectionTest, DroppedConnectionClosesQuietlyAndThePeerSeesTheEnd) {
  std::promise<Received> seen;
  auto future = seen.get_future();
  Server server(Endpoint::Host::loopbackIPv4(), [&seen](std::shared_ptr<Connection> connection) {
    connection->receive(1, 10, [&seen, connection](Bytes data, bool complete, auto error) {
      seen.set_value({std::move(data), complete, error});
      connection->cancel();
    });
  });
  auto queue = SerialQueue::create("test.client");
  {
    auto client = Connection::create(
        Endpoint::hostPort(Endpoint::Host::loopbackIPv4(), server.port), Parameters::tcp());
    auto ready = stateReached(client, Connection::State::Kind::ready);
    client->start(queue);
    ASSERT_EQ(await(ready).kind, Connection::State::Kind::ready);
    client->setStateHandler(nullptr);
  }
  auto result = await(future);
  EXPECT_TRUE(result.data.empty());
  EXPECT_TRUE(result.complete || result.error);
}

// Resolves every service to a fixed list of candidates.
struct FixedResolver : DnsSd {
  std::vector<Endpoint::HostPort> candidates;
  std::unique_ptr<Handle> publish(const DnsSdService &, std::uint16_t) override { return nullptr; }
  std::unique_ptr<Handle> browse(const std::string &, std::shared_ptr<SerialQueue>,
                                 std::function<void(std::vector<BrowseResult>)>,
                                 std::function<void(NetworkError)>) override {
    return nullptr;
  }
  void resolve(const Endpoint::Service &,
               std::function<void(std::expected<std::vector<Endpoint::HostPort>, NetworkError>)>
                   completion) override {
    // From another thread, as a real backend may.
    std::thread([completion, list = candidates] { completion(list); }).detach();
  }
};

TEST(ConnectionTest, ServiceCandidatesAreTriedInOrder) {
  Server server(Endpoint::Host::loopbackIPv4(), echo);
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);

  auto resolver = std::make_shared<FixedResolver>();
  resolver->candidates = {{Endpoint::Host::loopbackIPv4(), ntohs(address.sin_port)},
                          {Endpoint::Host::named("localhost"), server.port}};
  auto queue = SerialQueue::create("test.client");
  auto client = Connection::create(Endpoint::service({"Desk", "_corvane._tcp", "", "", resolver}),
                                   Parameters::tcp());
  auto ready = stateReached(client, Connection::State::Kind::ready);
  client->start(queue);
  EXPECT_EQ(await(ready).kind, Connection::State::Kind::ready);
  EXPECT_EQ(client->remoteEndpoint()->asHostPort()->port, server.port);
  client->cancel();
  ::close(fd);
}

TEST(EndpointTest, ParsesAddressLiteralsAndRejectsTheRest) {
  auto v4 = Endpoint::Host::parseAddress("192.168.1.20");
  ASSERT_TRUE(v4);
  EXPECT_EQ(v4->kind, Endpoint::Host::Kind::ipv4);
  EXPECT_EQ(v4->text(), "192.168.1.20");
  auto v6 = Endpoint::Host::parseAddress("fe80::1%1");
  ASSERT_TRUE(v6);
  EXPECT_EQ(v6->kind, Endpoint::Host::Kind::ipv6);
  EXPECT_EQ(v6->scopeID, 1u);
  EXPECT_FALSE(Endpoint::Host::parseAddress("mac.local"));
  EXPECT_FALSE(Endpoint::Host::parseAddress("1.2.3"));
  EXPECT_FALSE(Endpoint::Host::parseAddress("::1%"));
  EXPECT_FALSE(Endpoint::Host::parseAddress(std::string("127.0.0.1\0x", 11)));
  EXPECT_EQ(Endpoint::hostPort(Endpoint::Host::loopbackIPv6(), 80).description(), "[::1]:80");
}

} // namespace
} // namespace corvane

#include "brimvale/foundation/Bridge.h"
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

struct Pair {
  std::shared_ptr<Connection> client;
  std::shared_ptr<Connection> server;
};

// Loopback TCP connection pairs, both ends started and ready, all on one queue as in the relay's
// real callers.
class Loopback {
public:
  std::shared_ptr<SerialQueue> queue = SerialQueue::create("test.relay");

  Loopback() {
    auto parameters = Parameters::tcp();
    parameters.requiredLocalEndpoint = Endpoint::hostPort(Endpoint::Host::loopbackIPv4(), 0);
    listener_ = *Listener::create(parameters, std::nullopt);
    listener_->setNewConnectionHandler([this](std::shared_ptr<Connection> connection) {
      std::lock_guard lock(mutex_);
      accepted_.set_value(std::move(connection));
    });
    auto ready = std::make_shared<std::promise<void>>();
    auto once = std::make_shared<std::atomic<bool>>(false);
    listener_->setStateHandler([ready, once](const Listener::State &) {
      if (!once->exchange(true))
        ready->set_value();
    });
    listener_->start(queue);
    auto future = ready->get_future();
    await(future);
  }
  ~Loopback() { listener_->cancel(); }

  Pair connect() {
    auto accepted = nextAccepted();
    auto client = Connection::create(
        Endpoint::hostPort(Endpoint::Host::loopbackIPv4(), *listener_->port()), Parameters::tcp());
    auto ready = whenReady(client);
    client->start(queue);
    await(ready);
    client->setStateHandler(nullptr);
    return {client, started(accepted)};
  }

  // A plain blocking socket as the outer client, so that it can end its sending alone.
  std::pair<int, std::shared_ptr<Connection>> connectSocket() {
    auto accepted = nextAccepted();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval timeout{std::chrono::seconds(eventually).count(), 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{AF_INET, htons(*listener_->port()), {htonl(INADDR_LOOPBACK)}, {}};
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
      throw std::runtime_error("cannot connect");
    return {fd, started(accepted)};
  }

private:
  std::future<std::shared_ptr<Connection>> nextAccepted() {
    std::lock_guard lock(mutex_);
    accepted_ = {};
    return accepted_.get_future();
  }
  std::shared_ptr<Connection> started(std::future<std::shared_ptr<Connection>> &accepted) {
    auto server = await(accepted);
    auto ready = whenReady(server);
    server->start(queue);
    await(ready);
    server->setStateHandler(nullptr);
    return server;
  }

  static std::future<void> whenReady(const std::shared_ptr<Connection> &connection) {
    auto promise = std::make_shared<std::promise<void>>();
    auto once = std::make_shared<std::atomic<bool>>(false);
    connection->setStateHandler([promise, once](const Connection::State &state) {
      if (state.kind == Connection::State::Kind::ready && !once->exchange(true))
        promise->set_value();
    });
    return promise->get_future();
  }

  std::shared_ptr<Listener> listener_;
  std::mutex mutex_;
  std::promise<std::shared_ptr<Connection>> accepted_;
};

// Reads until the end of the stream or `limit` bytes.
std::future<Bytes> readAll(std::shared_ptr<Connection> connection, std::size_t limit) {
  struct Reader : std::enable_shared_from_this<Reader> {
    std::shared_ptr<Connection> connection;
    std::size_t limit = 0;
    Bytes collected;
    std::promise<Bytes> done;
    void next() {
      connection->receive(1, 65536,
                          [self = shared_from_this()](Bytes data, bool complete, auto error) {
                            self->collected.insert(self->collected.end(), data.begin(), data.end());
                            if (complete || error || self->collected.size() >= self->limit)
                              self->done.set_value(std::move(self->collected));
                            else
                              self->next();
                          });
    }
  };
  auto reader = std::make_shared<Reader>();
  reader->connection = std::move(connection);
  reader->limit = limit;
  auto future = reader->done.get_future();
  reader->next();
  return future;
}

// What a blocking socket reads until the end of the stream, and whether that end was clean.
std::pair<std::string, bool> readToEnd(int fd, int *why = nullptr) {
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      if (why)
        *why = n == 0 ? 0 : errno;
      return {text, n == 0};
    }
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

// How a connection's stream ended: cleanly, or with the error that cut it.
std::optional<NetworkError> endOf(const std::shared_ptr<Connection> &connection) {
  for (;;) {
    std::promise<std::pair<bool, std::optional<NetworkError>>> promise;
    connection->receive(1, 65536, [&](Bytes, bool complete, std::optional<NetworkError> error) {
      promise.set_value({complete, error});
    });
    auto future = promise.get_future();
    auto [complete, error] = await(future);
    if (complete || error)
      return error;
  }
}

// Outer client ⇄ [front | bridge | back] ⇄ local service. The outer client is a connection,
// or with `socketClient` a plain socket (`socket`).
struct Relay {
  explicit Relay(bool socketClient = false) {
    if (socketClient)
      std::tie(socket, front.server) = loopback.connectSocket();
    else
      front = loopback.connect();
  }
  ~Relay() {
    if (socket >= 0)
      ::close(socket);
  }

  Loopback loopback;
  int socket = -1;
  Pair front;
  Pair back = loopback.connect();
  std::atomic<int> closes = 0;
  std::promise<void> closed;
  std::shared_ptr<Bridge::State> state;

  void run(double oneWayIdle = Bridge::oneWayIdleLimit) {
    state = Bridge::runBridge(
        front.server, back.client,
        [this] {
          if (++closes == 1)
            closed.set_value();
        },
        oneWayIdle);
  }
  void settle() {
    auto future = closed.get_future();
    await(future);
    // Anything late would have to pass through the queue.
    std::this_thread::sleep_for(20ms);
    loopback.queue->sync([] {});
  }
};

// The service closes right after its reply: the reply and then its end reach the client, and
// the relay ends once the client has ended too.
TEST(BridgeTest, ReplyWrittenJustBeforeTheServiceClosesStillArrivesAndTheEndFollows) {
  Relay relay;
  relay.run();
  auto received = readAll(relay.front.client, 1 << 20);
  relay.back.server->send(bytesOf("final reply"),
                          [server = relay.back.server](auto) { server->cancel(); });
  EXPECT_EQ(textOf(await(received)), "final reply");
  EXPECT_EQ(relay.closes, 0);
  relay.front.client->cancel();
  relay.settle();
  EXPECT_EQ(relay.closes, 1);
  EXPECT_EQ(relay.front.server->state().kind, Connection::State::Kind::cancelled);
  EXPECT_EQ(relay.back.client->state().kind, Connection::State::Kind::cancelled);
}

TEST(BridgeTest, BothSidesEndingTogetherClosesOnce) {
  for (int round = 0; round < 20; ++round) {
    Relay relay;
    relay.run();
    // The two bridged connections end at the same moment, from outside the queue.
    std::thread other([&] { relay.back.client->cancel(); });
    relay.front.server->cancel();
    other.join();
    relay.settle();
    EXPECT_EQ(relay.closes, 1);
    relay.front.client->cancel();
    relay.back.server->cancel();
  }
}

// A client that sends its request and then ends its sending, as `nc -N`, socket or a script
// does: the service sees the request and then the end, answers, and its reply (larger than
// the socket buffers) and end reach the client.
TEST(BridgeTest, HalfClosingClientsEndReachesTheServiceAndTheWholeReplyComesBack) {
  Relay relay(true);
  relay.run();
  auto request = readAll(relay.back.server, 1 << 20);
  ASSERT_EQ(::send(relay.socket, "PING\r\n", 6, MSG_NOSIGNAL), 6);
  ::shutdown(relay.socket, SHUT_WR);
  ASSERT_EQ(textOf(await(request)), "PING\r\n");
  const std::string reply((1 << 20) + 3, 'r');
  relay.back.server->send(bytesOf(reply), [server = relay.back.server](auto) { server->cancel(); });
  const auto [received, ended] = readToEnd(relay.socket);
  EXPECT_EQ(received.size(), reply.size());
  EXPECT_TRUE(ended && received == reply);
  relay.settle();
  EXPECT_EQ(relay.closes, 1);
}

// With the client's end passed on, the reply may take its time: only time in which the relay
// waits for the service counts, not time in which a reader is slow to take what came. A relay
// whose service then stays silent ends once that time is up, and one whose connection is
// cancelled by its owner (a route stopped, sharing paused) ends at once.
TEST(BridgeTest, AHalfClosedRelayWaitsForASlowReaderAndEndsWhenIdleOrCancelled) {
  {
    Relay relay(true);
    relay.run(1);
    auto request = readAll(relay.back.server, 1 << 20);
    ::shutdown(relay.socket, SHUT_WR);
    EXPECT_TRUE(await(request).empty());
    // More than the socket buffers on both sides hold, so that the relay waits on its send.
    const std::string reply(32 << 20, 'x');
    relay.back.server->send(bytesOf(reply));
    std::this_thread::sleep_for(3s);
    // The service never ended its reply, so the relay that gives up on it says so with a reset,
    // once the reader has all that came.
    int why = 0;
    const auto [received, ended] = readToEnd(relay.socket, &why);
    EXPECT_EQ(received.size(), reply.size());
    EXPECT_FALSE(ended);
    EXPECT_EQ(why, ECONNRESET);
    relay.settle();
    EXPECT_EQ(relay.closes, 1);
    relay.back.server->cancel();
  }
  {
    Relay relay(true);
    relay.run();
    auto request = readAll(relay.back.server, 1 << 20);
    ::shutdown(relay.socket, SHUT_WR);
    EXPECT_TRUE(await(request).empty());
    relay.front.server->cancel();
    relay.settle();
    EXPECT_EQ(relay.closes, 1);
    EXPECT_EQ(relay.back.client->state().kind, Connection::State::Kind::cancelled);
    // Cut short, the relay resets the service's side: a clean close would read there as the
    // client's end once more, and a relay on the far side would keep its half waiting.
    EXPECT_TRUE(testing::waitUntil(
        [&] { return relay.back.server->state().kind == Connection::State::Kind::failed; }));
    relay.back.server->cancel();
  }
}

// A side that is cut (a service that resets, a client that resets) is never passed on as the
// end of its stream: the other side is reset too, as it would be straight across.
TEST(BridgeTest, AResetOnEitherSideReachesTheOtherAsAReset) {
  {
    Relay relay(true);
    relay.run();
    relay.back.server->send(Bytes(1 << 20, 'r'),
                            [server = relay.back.server](auto) { server->abort(); });
    int why = 0;
    const auto [received, ended] = readToEnd(relay.socket, &why);
    EXPECT_FALSE(ended) << received.size();
    EXPECT_EQ(why, ECONNRESET);
    relay.settle();
  }
  // A reply more than the reader's buffer holds, taken by the relay's side, then cut.
  const Bytes reply(256 * 1024, 'c');
  const auto cutAfterReply = [&reply](Relay &relay) {
    const int small = 32768;
    ::setsockopt(relay.socket, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    relay.run();
    relay.back.server->send(reply);
    EXPECT_TRUE(testing::waitUntil([&] {
      std::optional<std::size_t> left;
      relay.loopback.queue->sync([&] { left = relay.back.server->unacknowledged(); });
      return left == 0u;
    }));
    relay.back.server->abort();
    EXPECT_TRUE(testing::waitUntil([&] { return !relay.state->isOpen(); }));
  };
  {
    // What came before the cut is the service's own: the reader gets all of it, then the reset,
    // and the relay keeps its place until then.
    Relay relay(true);
    cutAfterReply(relay);
    EXPECT_EQ(relay.closes, 0);
    int why = 0;
    const auto [received, ended] = readToEnd(relay.socket, &why);
    EXPECT_EQ(received.size(), reply.size());
    EXPECT_EQ(why, ECONNRESET);
    relay.settle();
    EXPECT_EQ(relay.closes, 1);
  }
  {
    // The owner's cut (a route stopped) reaches a side still handing on what came before one.
    Relay relay(true);
    cutAfterReply(relay);
    relay.state->tearDown();
    // A reader that takes a little at a time and so keeps the rest moving: only the cut ends
    // the hand-over before all of it.
    std::size_t received = 0;
    std::array<char, 8192> chunk;
    ssize_t got = 0;
    while ((got = ::recv(relay.socket, chunk.data(), chunk.size(), 0)) > 0) {
      received += static_cast<std::size_t>(got);
      std::this_thread::sleep_for(200ms);
    }
    EXPECT_LT(received, reply.size());
    EXPECT_EQ(got < 0 ? errno : 0, ECONNRESET);
    relay.settle();
  }
  {
    Relay relay(true);
    relay.run();
    ASSERT_EQ(::send(relay.socket, "upload", 6, MSG_NOSIGNAL), 6);
    const linger reset{1, 0};
    ::setsockopt(relay.socket, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(std::exchange(relay.socket, -1));
    const auto end = endOf(relay.back.server);
    ASSERT_TRUE(end);
    EXPECT_FALSE(end->isPosix(ECANCELED));
    relay.settle();
  }
}

TEST(BridgeTest, LargeTransfersBothWaysArriveIntact) {
  Relay relay;
  relay.run();
  constexpr std::size_t size = 3 * 1024 * 1024 + 17;
  Bytes up(size), down(size);
  for (std::size_t i = 0; i < size; ++i) {
    up[i] = static_cast<std::uint8_t>(i * 31 + 7);
    down[i] = static_cast<std::uint8_t>(i * 13 + 1);
  }
  auto atService = readAll(relay.back.server, size);
  auto atClient = readAll(relay.front.client, size);
  // Sent in uneven pieces so that chunk edges fall everywhere.
  for (std::size_t offset = 0; offset < size; offset += 100003) {
    auto end = std::min(size, offset + 100003);
    relay.front.client->send(Bytes(up.begin() + offset, up.begin() + end));
    relay.back.server->send(Bytes(down.begin() + offset, down.begin() + end));
  }
  EXPECT_EQ(await(atService), up);
  EXPECT_EQ(await(atClient), down);
  EXPECT_EQ(relay.closes, 0);
  relay.front.client->cancel();
  relay.back.server->cancel();
  relay.settle();
  EXPECT_EQ(relay.closes, 1);
}

} // namespace
} // namespace corvane

#include "brimvale/foundation/SecureChannel.h"
#include "brimvale/network/ProxyManager.h"
#include "brimvale/platform/Connection.h"
#include "brimvale/platform/Listener.h"
#include "brimvale/platform/SerialQueue.h"
#include "tests/network/ScriptedListener.h"
#include "tests/support/Inbox.h"
#include "tests/support/LoopbackPorts.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <ostream>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <unordered_set>

namespace corvane {

void PrintTo(const ProxyManager::Status &status, std::ostream *out) {
  constexpr const char *cases[] = {"failed", "listening", "taken"};
  *out << cases[static_cast<int>(status.which())] << " \"" << status.text() << "\"";
}

namespace {

using namespace std::chrono_literals;
using corvane::testing::eventually;
using Clock = std::chrono::steady_clock;

const std::string myID = "0123456789abcdef";
const std::string peerID = "fedcba9876543210";
const PairKeys pairKeys{Bytes(32, 0x11), Bytes(32, 0x22)};
const RouteKey routeKey{peerID, "SVC-1"};
const auto listening = ProxyManager::Status::listening();

using testing::Inbox;

// The sharing machine's gateway, scripted: checks the open-mode hello, then accepts and
// echoes bytes, refuses with a text (or without one), or holds its verdict until released.
class ScriptedGateway {
public:
  enum class Verdict { accept, refuse, hold };

  ScriptedGateway()
      : listener_(queue,
                  SecureChannel::secureParameters(
                      {{myID, pairKeys.psk}},
                      {SecureChannel::cipherSuites.begin(), SecureChannel::cipherSuites.end()}),
                  [this](const std::shared_ptr<Connection> &connection) { greet(connection); }) {}

  Endpoint endpoint() const { return listener_.endpoint(); }

  void setVerdict(Verdict verdict, std::optional<std::string> reason = std::nullopt) {
    queue->sync([&] {
      verdict_ = verdict;
      reason_ = std::move(reason);
    });
  }
  void releaseHeld() {
    queue->sync([this] {
      for (auto &connection : held_)
        accept(connection);
      held_.clear();
    });
  }

  Inbox<std::string> hellos; // the service named by each open-mode hello
  Inbox<bool> ended;         // an accepted stream ended

private:
  void greet(const std::shared_ptr<Connection> &connection) {
    Frame challenge;
    challenge.kind = Frame::Kind::challenge;
    challenge.nonce = Bytes(32, 0x5a);
    (void)sendFrame(connection, challenge);
    receiveFrame(connection, [this, connection](std::expected<Frame, ChannelError> hello) {
      if (!hello || hello->kind != Frame::Kind::hello || hello->mode != Frame::Mode::open ||
          !verifyHello(hello->mac.value_or(Bytes{}), Bytes(32, 0x5a), myID, pairKeys)) {
        connection->cancel();
        return;
      }
      hellos.push(hello->serviceID.value_or(""));
      switch (verdict_) {
      case Verdict::accept: accept(connection); return;
      case Verdict::hold: held_.push_back(connection); return;
      case Verdict::refuse: {
        Frame result;
        result.kind = Frame::Kind::result;
        result.ok = false;
        result.error = reason_;
        (void)sendFrame(connection, result);
        return;
      }
      }
    });
  }

  void accept(const std::shared_ptr<Connection> &connection) {
    Frame result;
    result.kind = Frame::Kind::result;
    result.ok = true;
    (void)sendFrame(connection, result);
    echo(connection);
  }

  void echo(const std::shared_ptr<Connection> &connection) {
    connection->receive(1, 65536, [this, connection](Bytes data, bool complete, auto error) {
      if (!data.empty())
        connection->send(data);
      if (complete || error) {
        connection->cancel();
        ended.push(true);
        return;
      }
      echo(connection);
    });
  }

  std::vector<std::shared_ptr<Connection>> held_;
  Verdict verdict_ = Verdict::accept;
  std::optional<std::string> reason_;

public:
  std::shared_ptr<SerialQueue> queue = SerialQueue::create("test.gateway");

private:
  // Last: it is made with the queue and goes first, cancelling what it accepted.
  testing::ScriptedListener listener_;
};

// A local client of a proxied port.
class Client {
public:
  Client(std::shared_ptr<SerialQueue> queue, std::uint16_t port,
         const Endpoint::Host &host = Endpoint::Host::loopbackIPv4())
      : connection_(Connection::create(Endpoint::hostPort(host, port), Parameters::tcp())) {
    connection_->setStateHandler([this](const Connection::State &state) {
      if (state.kind == Connection::State::Kind::ready ||
          state.kind == Connection::State::Kind::failed ||
          state.kind == Connection::State::Kind::waiting)
        states_.push(state.kind);
    });
    connection_->start(std::move(queue));
  }
  ~Client() {
    connection_->setStateHandler(nullptr);
    connection_->cancel();
  }

  bool connected() { return states_.pop() == std::optional(Connection::State::Kind::ready); }

  // Sends `text` and waits for the same bytes back: true when the relay carried them.
  bool echoes(const std::string &text) {
    connection_->send(bytesOf(text));
    std::promise<std::string> received;
    auto future = received.get_future();
    connection_->receive(text.size(), text.size(),
                         [&](Bytes data, bool, auto) { received.set_value(textOf(data)); });
    return future.wait_for(eventually) == std::future_status::ready && future.get() == text;
  }

  // True when the far end closes (or fails) the connection.
  bool closedByFarEnd() {
    std::promise<bool> closed;
    auto future = closed.get_future();
    connection_->receive(1, 1, [&](Bytes data, bool complete, auto error) {
      closed.set_value(data.empty() && (complete || error.has_value()));
    });
    return future.wait_for(eventually) == std::future_status::ready && future.get();
  }

  void close() { connection_->cancel(); }

private:
  std::shared_ptr<Connection> connection_;
  Inbox<Connection::State::Kind> states_;
};

// A local client on a plain socket, to see how the proxy ends it: a reset and a clean end look
// alike through Connection.
class PlainClient {
public:
  enum class Ending { reset, clean, other, none };

  explicit PlainClient(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ =
        fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
  }
  ~PlainClient() {
    if (fd_ >= 0)
      ::close(fd_);
  }
  PlainClient(const PlainClient &) = delete;
  PlainClient &operator=(const PlainClient &) = delete;

  friend std::ostream &operator<<(std::ostream &out, Ending ending) {
    constexpr const char *names[] = {"reset", "clean end", "other failure", "nothing"};
    return out << names[static_cast<int>(ending)];
  }

  bool connected() const { return connected_; }

  // Sends `text` and waits for the same bytes back.
  bool echoes(const std::string &text) {
    if (::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size()))
      return false;
    std::string back;
    while (back.size() < text.size()) {
      if (!readable())
        return false;
      char buffer[256];
      const auto got = ::recv(fd_, buffer, std::min(sizeof buffer, text.size() - back.size()), 0);
      if (got <= 0)
        return false;
      back.append(buffer, static_cast<std::size_t>(got));
    }
    return back == text;
  }

  // How the proxy ends the connection, once it does; bytes before the end are skipped.
  Ending ending() {
    for (;;) {
      if (!readable())
        return Ending::none;
      char buffer[256];
      const auto got = ::recv(fd_, buffer, sizeof buffer, 0);
      if (got == 0)
        return Ending::clean;
      if (got < 0)
        return errno == ECONNRESET ? Ending::reset : Ending::other;
    }
  }

private:
  bool readable() {
    pollfd wait{fd_, POLLIN, 0};
    const auto bound = std::chrono::duration_cast<std::chrono::milliseconds>(eventually);
    return ::poll(&wait, 1, static_cast<int>(bound.count())) > 0;
  }

  int fd_;
  bool connected_ = false;
};

// A port free on both loopback addresses, below the range the system hands out to outgoing
// connections: one from that range could meanwhile become the local end of some other test's
// connection, and a route gives up a port it cannot have on both sides. Below the range the
// whole-road tests take theirs from, too.
std::uint16_t freePort() {
  return testing::pickPort(testing::proxyTestPorts[0], testing::proxyTestPorts[1],
                           testing::freeOnLoopback);
}

std::uint16_t freePortOtherThan(std::uint16_t taken) {
  for (;;)
    if (auto port = freePort(); port != taken)
      return port;
}

// True when a plain TCP connection to the port on 127.0.0.1 succeeds.
bool isListening(std::uint16_t port) {
  auto queue = SerialQueue::create("test.probe");
  Client client(queue, port);
  return client.connected();
}

class ProxyManagerTest : public ::testing::Test {
protected:
  void SetUp() override {
    ProxyManager::Options options;
    options.listenRetryBase = 0.05;
    options.listenRetryCap = 0.2;
    options.handshakeTimeout = 5.0;
    proxy_ = ProxyManager::create(myID, options);
    proxy_->setOnStatus([this](const RouteKey &key, const ProxyManager::Status &status) {
      EXPECT_TRUE(proxy_->queue()->isCurrent());
      statusTimes_.push(Clock::now());
      statuses_.push({key, status});
    });
    proxy_->setOnActivity([this](const RouteKey &key, int active) {
      activity_.push({key, active});
    });
    proxy_->setOnRefusal([this](const RouteKey &key, const std::optional<std::string> &text) {
      refusals_.push({key, text});
    });
  }

  void TearDown() override {
    proxy_->stopAll();
    proxy_->queue()->sync([] {});
    proxy_.reset();
  }

  ProxyManager::Route route(std::uint16_t port, const Endpoint &endpoint, RouteKey key = routeKey) {
    return {std::move(key), port, endpoint};
  }

  void update(std::vector<ProxyManager::Route> routes) {
    proxy_->update(std::move(routes), {{peerID, pairKeys}});
  }

  // Reports are made on the proxy queue; after this, all of those due so far are in.
  void settle() {
    for (int i = 0; i < 3; ++i)
      proxy_->queue()->sync([] {});
  }

  std::optional<ProxyManager::Status> nextStatus(std::chrono::milliseconds timeout = eventually) {
    auto status = statuses_.pop(timeout);
    if (!status)
      return std::nullopt;
    return status->second;
  }
  // Skips failures: a port picked as free may briefly be taken by another test's socket, and
  // the proxy retries it.
  bool becameListening() {
    while (auto status = statuses_.pop()) {
      EXPECT_EQ(status->first, routeKey);
      if (status->second == listening)
        return true;
    }
    return false;
  }
  std::optional<int> nextActivity(std::chrono::milliseconds timeout = eventually) {
    auto activity = activity_.pop(timeout);
    if (!activity)
      return std::nullopt;
    return activity->second;
  }
  std::optional<std::optional<std::string>> nextRefusal() {
    auto refusal = refusals_.pop();
    if (!refusal)
      return std::nullopt;
    return refusal->second;
  }

  std::shared_ptr<SerialQueue> clients_ = SerialQueue::create("test.clients");
  Inbox<std::pair<RouteKey, ProxyManager::Status>> statuses_;
  // When each status was reported, on the proxy queue: a stalled test thread cannot shorten
  // the pauses between them.
  Inbox<Clock::time_point> statusTimes_;
  Inbox<std::pair<RouteKey, int>> activity_;
  Inbox<std::pair<RouteKey, std::optional<std::string>>> refusals_;
  std::shared_ptr<ProxyManager> proxy_;
};

// A refusal report as nextRefusal() gives it: present, with or without a text.
std::optional<std::optional<std::string>> reported(std::optional<std::string> text) {
  return std::optional<std::optional<std::string>>(std::in_place, std::move(text));
}

TEST(ProxyManagerPause, DoublesFromOneSecondUpToEight) {
  ProxyManager::Options options;
  std::vector<double> pauses;
  for (int attempt = 0; attempt < 6; ++attempt)
    pauses.push_back(ProxyManager::listenRetryPause(attempt, options));
  EXPECT_EQ(pauses, (std::vector<double>{1, 2, 4, 8, 8, 8}));
  EXPECT_EQ(ProxyManager::listenRetryPause(5000, options), 8);
}

TEST_F(ProxyManagerTest, RepeatedRoutesReportNothingAndRoutesWithoutKeysGetNothing) {
  ScriptedGateway gateway;
  auto port = freePort();
  auto otherPort = freePortOtherThan(port);
  RouteKey stranger{"0000000000000000", "SVC-9"};
  std::vector routes{route(port, gateway.endpoint()),
                     route(otherPort, gateway.endpoint(), stranger)};
  update(routes);
  ASSERT_TRUE(becameListening());

  update(routes);
  settle();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(statuses_.size(), 0u);
  EXPECT_EQ(activity_.size(), 0u);
  EXPECT_TRUE(isListening(port));
  EXPECT_FALSE(isListening(otherPort));
}

TEST_F(ProxyManagerTest, RelaysCountActivityAndStopAllEndsEverything) {
  ScriptedGateway gateway;
  auto port = freePort();
  update({route(port, gateway.endpoint())});
  ASSERT_TRUE(becameListening());

  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 1; i <= 3; ++i) {
    clients.push_back(std::make_unique<Client>(clients_, port));
    ASSERT_TRUE(clients.back()->connected());
    EXPECT_EQ(gateway.hellos.pop(), std::optional<std::string>("SVC-1"));
    EXPECT_EQ(nextActivity(), i);
    EXPECT_TRUE(clients.back()->echoes("hello " + std::to_string(i)));
  }
  clients[1]->close();
  EXPECT_EQ(nextActivity(), 2);

  proxy_->stopAll();
  EXPECT_EQ(nextActivity(), 0);
  EXPECT_TRUE(clients[0]->closedByFarEnd());
  EXPECT_TRUE(clients[2]->closedByFarEnd());
  // Its listeners close on their own queues.
  EXPECT_TRUE(testing::waitUntil([&] {
    Client v6(clients_, port, Endpoint::Host::loopbackIPv6());
    return !isListening(port) && !v6.connected();
  }));
}

TEST_F(ProxyManagerTest, EndpointChangeKeepsListenersAndRelays) {
  ScriptedGateway first;
  ScriptedGateway second;
  auto port = freePort();
  update({route(port, first.endpoint())});
  ASSERT_TRUE(becameListening());
  Client early(clients_, port);
  ASSERT_TRUE(early.connected());
  ASSERT_TRUE(first.hellos.pop());
  EXPECT_EQ(nextActivity(), 1);

  update({route(port, second.endpoint())});
  // A client accepted while the update is still on its way may take either way.
  settle();
  Client late(clients_, port);
  ASSERT_TRUE(late.connected());
  EXPECT_TRUE(second.hellos.pop());
  EXPECT_EQ(nextActivity(), 2);
  EXPECT_TRUE(early.echoes("still here"));
  EXPECT_TRUE(late.echoes("new way"));
  EXPECT_EQ(statuses_.size(), 0u);
}

TEST_F(ProxyManagerTest, LocalPortChangeStopsTheOldRouteAndListensOnTheNewPort) {
  ScriptedGateway gateway;
  auto oldPort = freePort();
  auto newPort = freePortOtherThan(oldPort);
  update({route(oldPort, gateway.endpoint())});
  ASSERT_TRUE(becameListening());

  update({route(newPort, gateway.endpoint())});
  EXPECT_EQ(nextActivity(), 0);
  EXPECT_TRUE(becameListening());
  EXPECT_FALSE(isListening(oldPort));
  Client client(clients_, newPort);
  ASSERT_TRUE(client.connected());
  EXPECT_TRUE(client.echoes("moved"));
}

// Another program holds 127.0.0.1 of the port: the route serves neither side until it frees.
TEST_F(ProxyManagerTest, BusyPortIsRetriedUntilItFrees) {
  ScriptedGateway gateway;
  const auto port = freePort();
  auto parameters = Parameters::tcp();
  parameters.requiredLocalEndpoint = Endpoint::hostPort(Endpoint::Host::loopbackIPv4(), port);
  auto blockerQueue = SerialQueue::create("test.blocker");
  auto blocker = Listener::create(parameters, std::nullopt).value();
  std::promise<void> ready;
  blocker->setStateHandler([&, done = false](const Listener::State &state) mutable {
    if (state.kind == Listener::State::Kind::ready && !done) {
      done = true;
      ready.set_value();
    }
  });
  blocker->start(blockerQueue);
  ready.get_future().wait();

  update({route(port, gateway.endpoint())});
  const auto busy = ProxyManager::Status::failed("Port " + std::to_string(port) +
                                                 " is busy on this Mac. Trying again…");
  std::vector<Clock::time_point> times;
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(nextStatus(), busy);
    times.push_back(statusTimes_.pop().value_or(Clock::time_point{}));
  }
  const double pauses[] = {0.05, 0.1, 0.2};
  for (int i = 0; i < 3; ++i)
    EXPECT_GE(std::chrono::duration<double>(times[i + 1] - times[i]).count(), pauses[i] - 0.02);
  {
    // Clients of localhost that try ::1 first would reach the route, the others that program.
    Client v6(clients_, port, Endpoint::Host::loopbackIPv6());
    EXPECT_FALSE(v6.connected());
  }

  blockerQueue->sync([&] { blocker->cancel(); });
  std::optional<ProxyManager::Status> status;
  do
    status = nextStatus();
  while (status && *status == busy);
  EXPECT_EQ(status, listening);
  for (const auto &host : {Endpoint::Host::loopbackIPv4(), Endpoint::Host::loopbackIPv6()}) {
    Client client(clients_, port, host);
    ASSERT_TRUE(client.connected());
    EXPECT_TRUE(client.echoes("both sides"));
  }
}

// Another program holds [::1] of the port without listening yet (127.0.0.1 is free): were the
// route to listen on 127.0.0.1 alone, that program would get its clients who try ::1 first.
TEST_F(ProxyManagerTest, APortStillTakenOnIPv6LoopbackAfterAFewTriesIsGivenUpForGood) {
  ScriptedGateway gateway;
  auto port = freePort();
  update({route(port, gateway.endpoint())});
  ASSERT_TRUE(becameListening());

  std::uint16_t v6Port = 0;
  int holder = -1;
  for (int tries = 0; holder < 0 && tries < 20; ++tries) {
    v6Port = freePortOtherThan(port);
    holder = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(v6Port);
    address.sin6_addr = in6addr_loopback;
    if (holder >= 0 &&
        ::bind(holder, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
      ::close(holder);
      holder = -1;
    }
  }
  if (holder < 0)
    GTEST_SKIP() << "no IPv6 loopback here";
  {
    Client client(clients_, port, Endpoint::Host::loopbackIPv6());
    ASSERT_TRUE(client.connected());
    EXPECT_TRUE(client.echoes("through ::1"));
  }

  update({route(v6Port, gateway.endpoint())});
  // A failure of 127.0.0.1 (another test's socket on the port a moment) may come first.
  std::optional<ProxyManager::Status> status;
  for (int tries = 0; tries < 4; ++tries)
    if (status = nextStatus(); !status || status->which() != ProxyManager::Status::Case::failed)
      break;
  EXPECT_EQ(status, ProxyManager::Status::taken(v6Port));
  EXPECT_EQ(status->text(),
            "Port " + std::to_string(v6Port) + " is taken on this Mac by another program.");
  // Its listeners close on their own queues.
  EXPECT_TRUE(testing::waitUntil([&] { return !isListening(v6Port); }));

  // Given up for good: nothing is tried again, even once the port frees up (a listener that
  // came up would say so).
  ::close(holder);
  EXPECT_EQ(nextStatus(std::chrono::milliseconds(500)), std::nullopt);

  // A server on localhost holds both sides: ::1 is not listened on while 127.0.0.1 is busy,
  // and the port is given up all the same.
  const auto both = freePort();
  asio::io_context context;
  asio::ip::tcp::acceptor v4(context, {asio::ip::address_v4::loopback(), both});
  asio::ip::tcp::acceptor v6(context, {asio::ip::address_v6::loopback(), both});
  update({route(both, gateway.endpoint())});
  int tries = 0;
  do
    status = nextStatus();
  while (status && status->which() == ProxyManager::Status::Case::failed && ++tries < 8);
  EXPECT_EQ(status, ProxyManager::Status::taken(both));
}

TEST_F(ProxyManagerTest, PortsOutsideTheRangeAreRefusedNotClamped) {
  for (int port : {0, -1, 65536, 70000}) {
    proxy_->update({{routeKey, port, Endpoint::hostPort(Endpoint::Host::loopbackIPv4(), 1)}},
                   {{peerID, pairKeys}});
    EXPECT_EQ(nextStatus(), ProxyManager::Status::failed("bad port")) << port;
    proxy_->stopAll();
    settle();
  }
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(statuses_.size(), 0u); // no retries
  EXPECT_FALSE(isListening(65535));
}

TEST_F(ProxyManagerTest, RefusalsAreReportedCutAndClearedBySuccess) {
  ScriptedGateway gateway;
  auto port = freePort();
  update({route(port, gateway.endpoint())});
  ASSERT_TRUE(becameListening());

  // A refused stream reaches its client as a reset, as a port with nothing behind it would: a
  // clean end would read as a service that answered nothing.
  std::string reason(100, 'r');
  gateway.setVerdict(ScriptedGateway::Verdict::refuse, reason);
  {
    PlainClient client(port);
    ASSERT_TRUE(client.connected());
    EXPECT_EQ(nextRefusal(), reported(std::string(64, 'r')));
    EXPECT_EQ(client.ending(), PlainClient::Ending::reset);
  }
  gateway.setVerdict(ScriptedGateway::Verdict::refuse);
  {
    PlainClient client(port);
    ASSERT_TRUE(client.connected());
    EXPECT_EQ(nextRefusal(), reported("refused"));
    EXPECT_EQ(client.ending(), PlainClient::Ending::reset);
  }
  gateway.setVerdict(ScriptedGateway::Verdict::accept);
  {
    Client client(clients_, port);
    ASSERT_TRUE(client.connected());
    EXPECT_EQ(nextRefusal(), reported(std::nullopt));
    EXPECT_TRUE(client.echoes("through"));
  }
  EXPECT_EQ(nextActivity(), 1);
  EXPECT_EQ(nextActivity(), 0);

  // A gateway that cannot be reached.
  update({route(port, Endpoint::hostPort(Endpoint::Host::loopbackIPv4(), freePort()))});
  settle(); // a client accepted before the update lands still takes the old way
  PlainClient client(port);
  ASSERT_TRUE(client.connected());
  EXPECT_EQ(nextRefusal(), reported("unreachable"));
  EXPECT_EQ(client.ending(), PlainClient::Ending::reset);
}

// What a machine judged gone gets: its users' streams end with a reset, its routes stay.
TEST_F(ProxyManagerTest, ResettingAMachineResetsItsClientsAndKeepsItsRoutesAndOtherMachines) {
  ScriptedGateway gateway;
  const std::string otherPeer = "1111222233334444";
  const RouteKey otherKey{otherPeer, "SVC-2"};
  auto port = freePort();
  auto otherPort = freePortOtherThan(port);
  proxy_->update({route(port, gateway.endpoint()), route(otherPort, gateway.endpoint(), otherKey)},
                 {{peerID, pairKeys}, {otherPeer, pairKeys}});
  std::unordered_set<RouteKey> up;
  while (up.size() < 2) {
    auto status = statuses_.pop();
    ASSERT_TRUE(status);
    if (status->second == listening)
      up.insert(status->first);
  }

  PlainClient first(port);
  PlainClient second(port);
  PlainClient other(otherPort);
  for (auto *client : {&first, &second, &other}) {
    ASSERT_TRUE(client->connected());
    EXPECT_TRUE(client->echoes("before"));
  }
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(activity_.pop());

  proxy_->queue()->sync([&] { proxy_->resetPeer(peerID); });
  EXPECT_EQ(first.ending(), PlainClient::Ending::reset);
  EXPECT_EQ(second.ending(), PlainClient::Ending::reset);
  EXPECT_TRUE(gateway.ended.pop());
  EXPECT_TRUE(gateway.ended.pop());
  EXPECT_EQ(nextActivity(), 1);
  EXPECT_EQ(nextActivity(), 0);
  EXPECT_TRUE(other.echoes("the other machine's stream goes on"));

  // The route still listens and takes new clients, without a word about its listeners.
  PlainClient later(port);
  ASSERT_TRUE(later.connected());
  EXPECT_TRUE(later.echoes("after"));
  EXPECT_EQ(nextActivity(), 1);
  EXPECT_EQ(statuses_.size(), 0u);
}

TEST_F(ProxyManagerTest, SecureConnectionReadyAfterItsRouteStoppedIsClosed) {
  ScriptedGateway gateway;
  gateway.setVerdict(ScriptedGateway::Verdict::hold);
  auto port = freePort();
  update({route(port, gateway.endpoint())});
  ASSERT_TRUE(becameListening());
  Client client(clients_, port);
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(gateway.hellos.pop());

  proxy_->stopAll();
  EXPECT_EQ(nextActivity(), 0);
  settle();
  gateway.releaseHeld();
  // The gateway's side of the late stream is closed, and nothing is counted for it.
  EXPECT_TRUE(gateway.ended.pop());
  EXPECT_TRUE(client.closedByFarEnd());
  settle();
  EXPECT_EQ(activity_.size(), 0u);
  EXPECT_EQ(refusals_.size(), 0u);
}

TEST_F(ProxyManagerTest, StoppedRouteRelayClosingLeavesItsReplacementsCountAlone) {
  ScriptedGateway gateway;
  auto port = freePort();
  update({route(port, gateway.endpoint())});
  ASSERT_TRUE(becameListening());
  Client old(clients_, port);
  ASSERT_TRUE(old.connected());
  ASSERT_EQ(nextActivity(), 1);

  // The same route, made afresh while the old relay is still closing.
  proxy_->queue()->sync([&] { proxy_->stopPeer(peerID); });
  update({route(port, gateway.endpoint())});
  EXPECT_EQ(nextActivity(), 0);
  EXPECT_TRUE(becameListening());
  EXPECT_TRUE(old.closedByFarEnd());
  Client fresh(clients_, port);
  ASSERT_TRUE(fresh.connected());
  EXPECT_TRUE(fresh.echoes("fresh"));
  // Only the new relay is reported: the old relay's close is not counted against it.
  EXPECT_EQ(nextActivity(), 1);
  settle();
  EXPECT_EQ(activity_.size(), 0u);
  fresh.close();
  EXPECT_EQ(nextActivity(), 0);
}

} // namespace
} // namespace corvane

#include "brimvale/foundation/PairedPeerStore.h"
#include "brimvale/foundation/SecureChannel.h"
#include "brimvale/network/Gateway.h"
#include "brimvale/platform/Crypto.h"
#include "brimvale/platform/MemorySecretStore.h"
#include "brimvale/platform/RegistryDnsSd.h"
#include "tests/support/Inbox.h"

#include <arpa/inet.h>
#include <asio.hpp>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
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

using testing::Inbox;

// Polls `condition` until it holds, with a bound generous enough for a loaded machine.
bool eventually(const std::function<bool()> &condition) {
  return testing::waitUntil(condition);
}

// A loopback TCP server that echoes every byte, on IPv4 or IPv6 loopback. With `keepAtEnd` it
// keeps a connection open once its client has ended, as some services do; with `closeAfterReply`
// it closes a connection once it has answered its first bytes, as a service that answers once:
// with their echo, or with `replySize` bytes when that is set.
class EchoServer {
public:
  explicit EchoServer(const asio::ip::address &address, bool keepAtEnd = false,
                      bool closeAfterReply = false, std::size_t replySize = 0)
      : acceptor_(context_), keepAtEnd_(keepAtEnd), closeAfterReply_(closeAfterReply),
        reply_(replySize, 'r') {
    asio::ip::tcp::endpoint endpoint(address, 0);
    acceptor_.open(endpoint.protocol());
    if (address.is_v6())
      acceptor_.set_option(asio::ip::v6_only(true));
    acceptor_.bind(endpoint);
    acceptor_.listen();
    accept();
    thread_ = std::thread([this] { context_.run(); });
  }
  ~EchoServer() {
    context_.stop();
    thread_.join();
  }
  int port() const { return acceptor_.local_endpoint().port(); }
  // Clients whose end has arrived.
  int ends() const { return ends_; }

private:
  void accept() {
    acceptor_.async_accept([this](std::error_code error, asio::ip::tcp::socket socket) {
      if (error)
        return;
      echo(std::make_shared<asio::ip::tcp::socket>(std::move(socket)));
      accept();
    });
  }
  void echo(std::shared_ptr<asio::ip::tcp::socket> socket) {
    auto buffer = std::make_shared<std::array<char, 4096>>();
    socket->async_read_some(
        asio::buffer(*buffer), [this, socket, buffer](std::error_code error, std::size_t n) {
          if (error) {
            if (error == asio::error::eof && keepAtEnd_)
              kept_.push_back(socket);
            ++ends_;
            return;
          }
          auto answer = reply_.empty() ? asio::buffer(*buffer, n) : asio::buffer(reply_);
          asio::async_write(*socket, answer,
                            [this, socket, buffer](std::error_code error, std::size_t) {
                              if (closeAfterReply_)
                                socket->close(error);
                              else if (!error)
                                echo(socket);
                            });
        });
  }

  asio::io_context context_;
  asio::ip::tcp::acceptor acceptor_;
  bool keepAtEnd_ = false;
  bool closeAfterReply_ = false;
  const std::string reply_;
  std::atomic<int> ends_ = 0;
  // On the server's thread only.
  std::vector<std::shared_ptr<asio::ip::tcp::socket>> kept_;
  std::thread thread_;
};

// A loopback listener whose queue is full: a connect to it waits, its handshake dropped, until
// the listener closes and the connect is refused.
class FullListener {
public:
  FullListener() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const auto *any = reinterpret_cast<sockaddr *>(&address);
    if (::bind(listener_, any, length) != 0 || ::listen(listener_, 0) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length) != 0 ||
        ::connect(filler_, any, length) != 0)
      ADD_FAILURE() << "no full listener: " << std::strerror(errno);
    port_ = ntohs(address.sin_port);
  }
  ~FullListener() {
    close();
    ::close(filler_);
  }
  int port() const { return port_; }
  void close() {
    if (listener_ >= 0)
      ::close(std::exchange(listener_, -1));
  }

private:
  int listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
  int filler_ = ::socket(AF_INET, SOCK_STREAM, 0);
  int port_ = 0;
};

// A loopback port on which nothing listens (bound once, then released).
int unusedPort() {
  asio::io_context context;
  asio::ip::tcp::acceptor acceptor(context, {asio::ip::address_v4::loopback(), 0});
  return acceptor.local_endpoint().port();
}

Frame bare(Frame::Kind kind) {
  Frame frame;
  frame.kind = kind;
  return frame;
}

Frame hello(std::string deviceID, std::optional<Bytes> mac, std::optional<Frame::Mode> mode) {
  Frame frame;
  frame.kind = Frame::Kind::hello;
  frame.deviceID = std::move(deviceID);
  frame.mac = std::move(mac);
  frame.mode = mode;
  return frame;
}

SharedServiceInfo share(std::string id, int port) {
  SharedServiceInfo service;
  service.id = id;
  service.name = "Share " + id;
  service.port = port;
  service.running = true;
  service.category = "Database";
  return service;
}

struct Machine {
  MemorySecretStore secrets;
  DeviceIdentity identity = DeviceIdentity::loadOrCreateIdentity(secrets);
  std::string deviceID() const { return identity.deviceID(); }
};

class GatewayTest : public ::testing::Test {
protected:
  void SetUp() override {
    peerStore = std::make_shared<PairedPeerStore>(serverSecrets);
    pair(client);
  }

  // The queue must end here, joined, not on its own thread after the test has returned.
  void TearDown() override {
    EXPECT_TRUE(eventually([&] { return gatewayQueue.use_count() == 1; }));
  }

  void pair(const Machine &machine) {
    peerStore->add(
        PairedPeer{machine.deviceID(), "Client", machine.identity.publicKey(), referenceDateNow()});
  }

  Gateway::Options options() {
    Gateway::Options options;
    options.queue = gatewayQueue;
    // Far beyond a handshake on a busy machine; the deadline's own test shortens it.
    options.helloDeadline = 30;
    options.hardwareAddresses = [] { return std::vector<std::string>{"aa:bb:cc:dd:ee:ff"}; };
    return options;
  }

  // Starts the gateway and waits until it listens.
  std::shared_ptr<Gateway> startGateway(Gateway::Options options) {
    auto gateway = Gateway::create(server.identity, peerStore, "Server", dnsSd, options);
    gateway->setOnReady([this](std::uint16_t port) { ready.push(port); });
    gateway->setOnSessions([this](std::vector<Gateway::Session> s) {
      sessions.push(s);
      events.push("sessions");
    });
    gateway->setOnAccepted([this](std::string peer, std::string service) {
      accepted.push({peer, service});
      events.push("accepted");
    });
    gateway->start();
    auto port = ready.pop();
    EXPECT_TRUE(port);
    port_ = port.value_or(0);
    return gateway;
  }
  std::shared_ptr<Gateway> startGateway() { return startGateway(options()); }

  Endpoint gatewayEndpoint() const {
    return Endpoint::hostPort(Endpoint::Host::loopbackIPv4(), port_);
  }

  PairKeys clientKeys() const {
    return PairKeys::deriveKeys(client.identity, server.identity.publicKey()).value();
  }

  // Connections are checked on relay queues, so a change posted to the gateway queue just before
  // could otherwise still be on its way when the hello arrives.
  void landAskedChanges() {
    gatewayQueue->sync([] {});
  }

  // The client handshake; an error when the gateway refused or closed.
  std::expected<std::shared_ptr<Connection>, ChannelError>
  open(Frame::Mode mode, std::optional<std::string> serviceID = std::nullopt,
       const Machine *as = nullptr, double timeout = SecureChannel::handshakeTimeout) {
    const Machine &who = as ? *as : client;
    landAskedChanges();
    auto keys = PairKeys::deriveKeys(who.identity, server.identity.publicKey()).value();
    std::promise<std::expected<std::shared_ptr<Connection>, ChannelError>> promise;
    SecureChannel::openClient(
        gatewayEndpoint(), keys, who.deviceID(), mode, serviceID, clientQueue,
        [&promise](std::expected<std::shared_ptr<Connection>, ChannelError> result) {
          promise.set_value(std::move(result));
        },
        timeout);
    return promise.get_future().get();
  }

  // A TLS connection with the client's key that does its own talking.
  std::shared_ptr<Connection> rawConnect() {
    landAskedChanges();
    auto parameters = SecureChannel::secureParameters(
        {SecureChannel::PSK{client.deviceID(), clientKeys().psk}},
        std::vector<std::uint16_t>(SecureChannel::cipherSuites.begin(),
                                   SecureChannel::cipherSuites.end()));
    auto connection = Connection::create(gatewayEndpoint(), parameters);
    auto states = std::make_shared<Inbox<Connection::State::Kind>>();
    connection->setStateHandler([states](const Connection::State &s) { states->push(s.kind); });
    connection->start(clientQueue);
    for (auto state = states->pop(); state; state = states->pop()) {
      if (*state == Connection::State::Kind::ready)
        return connection;
      if (*state != Connection::State::Kind::preparing)
        return nullptr;
    }
    return nullptr;
  }

  static std::expected<Frame, ChannelError> read(const std::shared_ptr<Connection> &connection) {
    std::promise<std::expected<Frame, ChannelError>> promise;
    receiveFrame(connection, [&promise](std::expected<Frame, ChannelError> result) {
      promise.set_value(std::move(result));
    });
    return promise.get_future().get();
  }

  static void send(const std::shared_ptr<Connection> &connection, const Frame &frame) {
    ASSERT_TRUE(sendFrame(connection, frame));
  }

  // Bytes after the handshake, until `count` arrived or the stream ended.
  static Bytes readBytes(const std::shared_ptr<Connection> &connection, std::size_t count) {
    Bytes all;
    while (all.size() < count) {
      std::promise<std::pair<Bytes, bool>> promise;
      connection->receive(1, 65536,
                          [&promise](Bytes data, bool complete, std::optional<NetworkError> e) {
                            promise.set_value({std::move(data), complete || e.has_value()});
                          });
      auto [data, ended] = promise.get_future().get();
      all.insert(all.end(), data.begin(), data.end());
      if (ended)
        break;
    }
    return all;
  }

  static bool isRejected(const std::expected<std::shared_ptr<Connection>, ChannelError> &result,
                         const std::string &text) {
    return !result && std::holds_alternative<WireError>(result.error()) &&
           std::get<WireError>(result.error()) == WireError::rejected(text);
  }

  Machine server;
  Machine client;
  std::shared_ptr<MemorySecretStore> serverSecrets = std::make_shared<MemorySecretStore>();
  std::shared_ptr<PairedPeerStore> peerStore;
  std::shared_ptr<DnsSdRegistry> registry = DnsSdRegistry::create();
  std::shared_ptr<RegistryDnsSd> dnsSd = RegistryDnsSd::create(registry);
  std::shared_ptr<SerialQueue> clientQueue = SerialQueue::create("test.client");
  std::shared_ptr<SerialQueue> gatewayQueue = SerialQueue::create("corvane.gateway");
  Inbox<std::uint16_t> ready;
  Inbox<std::vector<Gateway::Session>> sessions;
  Inbox<std::pair<std::string, std::string>> accepted;
  Inbox<std::string> events;
  std::uint16_t port_ = 0;
};

TEST_F(GatewayTest, BusyPreferredPortFallsBackAfterFiveTries) {
  // Hold a port above 65525 on every address, so that its +10 and +20 steps are "any" too;
  // it must be held by this test, or another process could free it mid-test.
  asio::io_context context;
  asio::ip::tcp::acceptor holder(context);
  std::uint16_t busy = 0;
  for (std::uint16_t port : {65530, 65531, 65532, 65533, 65534, 65526, 65527, 65528, 65529}) {
    std::error_code error;
    holder.open(asio::ip::tcp::v6(), error);
    holder.set_option(asio::ip::v6_only(false), error);
    holder.bind({asio::ip::address_v6::any(), port}, error);
    if (!error)
      holder.listen(asio::socket_base::max_listen_connections, error);
    if (!error) {
      busy = port;
      break;
    }
    holder.close(error);
  }
  if (busy == 0)
    GTEST_SKIP() << "no port above 65525 is free to hold";

  auto opts = options();
  opts.preferredPort = busy;
  const auto started = std::chrono::steady_clock::now();
  auto gateway = startGateway(opts);
  const auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_NE(port_, busy);
  EXPECT_NE(port_, 0);
  // Four pauses between the five attempts on the busy port.
  EXPECT_GE(elapsed, 4 * std::chrono::milliseconds(190));
}

TEST_F(GatewayTest, ListensAndAdvertisesWithoutPairedMacs) {
  peerStore->remove(client.deviceID());
  auto gateway = startGateway();
  EXPECT_NE(port_, 0);
  ASSERT_TRUE(eventually([&] { return registry->publications().size() == 1; }));
  auto published = registry->publications();
  ASSERT_EQ(published.size(), 1u);
  EXPECT_EQ(published[0].service.name, "Server");
  EXPECT_EQ(published[0].service.type, "_corvane._tcp");
  EXPECT_EQ(published[0].service.txt,
            (std::map<std::string, std::string>{{"v", "2"}, {"id", server.deviceID()}}));
  EXPECT_EQ(published[0].port, port_);
  // The formerly paired client no longer has a key the listener knows.
  EXPECT_FALSE(open(Frame::Mode::control));
}

TEST_F(GatewayTest, ControlModeServicesFilteredAndPingAnswered) {
  Machine other;
  pair(other);
  auto gateway = startGateway();
  gateway->updateServices({share("A", 1000), share("B", 2000), share("C", 3000)},
                          {{"B", {other.deviceID()}}, {"C", {client.deviceID()}}});
  auto connection = open(Frame::Mode::control);
  ASSERT_TRUE(connection);
  auto services = read(*connection);
  ASSERT_TRUE(services);
  EXPECT_EQ(services->kind, Frame::Kind::services);
  EXPECT_EQ(services->services, (std::vector{share("A", 1000), share("C", 3000)}));
  EXPECT_EQ(services->name, "Server");
  EXPECT_EQ(services->hardware, std::vector<std::string>{"aa:bb:cc:dd:ee:ff"});

  for (int i = 0; i < 2; ++i) {
    send(*connection, bare(Frame::Kind::ping));
    auto pong = read(*connection);
    ASSERT_TRUE(pong);
    EXPECT_EQ(pong->kind, Frame::Kind::pong);
  }
  // Anything but a ping ends the control connection.
  send(*connection, bare(Frame::Kind::services));
  EXPECT_FALSE(read(*connection));
}

// A machine is judged by its control link: while it pings, its idle stream stays however long
// it is silent itself; once the link brings nothing for the silence limit, the machine has gone
// and its stream is reset.
TEST_F(GatewayTest, AMachineWhoseControlLinkFallsSilentHasItsStreamsReset) {
  EchoServer echo(asio::ip::address_v4::loopback());
  auto options = this->options();
  // Ten times the pings' pace, for a busy machine.
  options.silenceLimit = 2.0;
  options.silenceCheckInterval = 0.1;
  auto gateway = startGateway(options);
  gateway->updateServices({share("echo", echo.port())}, {});
  auto control = open(Frame::Mode::control);
  ASSERT_TRUE(control && read(*control));
  auto stream = open(Frame::Mode::open, "echo");
  ASSERT_TRUE(stream);
  const auto pingsUntil = std::chrono::steady_clock::now() + 5s;
  while (std::chrono::steady_clock::now() < pingsUntil) {
    send(*control, bare(Frame::Kind::ping));
    ASSERT_TRUE(read(*control));
    std::this_thread::sleep_for(200ms);
  }
  (*stream)->send(bytesOf("still here"));
  EXPECT_EQ(textOf(readBytes(*stream, 10)), "still here");
  // Silent from now on, as a machine whose Wi-Fi went off: the read ends with the reset.
  EXPECT_TRUE(readBytes(*stream, 1).empty());
  EXPECT_TRUE(
      eventually([&] { return (*stream)->state().kind == Connection::State::Kind::failed; }));
  // A machine that closed its link and then vanished before linking again is judged too.
  auto again = open(Frame::Mode::open, "echo");
  ASSERT_TRUE(again);
  (*control)->cancel();
  EXPECT_TRUE(readBytes(*again, 1).empty());
}

TEST_F(GatewayTest, FrameBegunAfterTheHelloMustArriveInFull) {
  auto opts = options();
  opts.frameDeadline = 0.5;
  auto gateway = startGateway(opts);
  auto connection = open(Frame::Mode::control);
  ASSERT_TRUE(connection);
  ASSERT_TRUE(read(*connection));
  // A ping's header, and then nothing.
  (*connection)->send(Bytes{0, 0, 0, 20});
  auto promise = std::make_shared<std::promise<bool>>();
  auto closed = promise->get_future();
  receiveFrame(*connection, [promise](std::expected<Frame, ChannelError> result) {
    promise->set_value(!result.has_value());
  });
  ASSERT_EQ(closed.wait_for(testing::eventually), std::future_status::ready);
  EXPECT_TRUE(closed.get());
  (*connection)->cancel();
}

TEST_F(GatewayTest, ASharesChangeWhileAControlIsGreetedReachesItAfterTheOldList) {
  std::shared_ptr<Gateway> gateway;
  std::atomic<bool> changed = false;
  auto opts = options();
  // Between the hello's verdict and its services frame: the moment a change can cross it.
  opts.onStep = [&](RoadStep step) {
    if (step == RoadStep::hello && !changed.exchange(true)) {
      gateway->updateServices({share("new", 2000)}, {});
      gatewayQueue->sync([] {});
    }
  };
  gateway = startGateway(opts);
  gateway->updateServices({share("old", 1000)}, {});
  auto connection = open(Frame::Mode::control);
  ASSERT_TRUE(connection);
  auto first = read(*connection);
  auto second = read(*connection);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->services, std::vector{share("old", 1000)});
  EXPECT_EQ(second->services, std::vector{share("new", 2000)});
}

TEST_F(GatewayTest, OpenModeRelaysToIPv4AndIPv6OnlyServices) {
  EchoServer v4(asio::ip::address_v4::loopback());
  EchoServer v6(asio::ip::address_v6::loopback());
  auto gateway = startGateway();
  gateway->updateServices({share("four", v4.port()), share("six", v6.port())}, {});
  for (const char *id : {"four", "six"}) {
    auto connection = open(Frame::Mode::open, id);
    ASSERT_TRUE(connection) << id;
    (*connection)->send(bytesOf("hello through the gateway"));
    EXPECT_EQ(textOf(readBytes(*connection, 25)), "hello through the gateway") << id;
    (*connection)->cancel();
  }
}

TEST_F(GatewayTest, OpenModeRefusals) {
  const int idle = unusedPort();
  auto gateway = startGateway();
  gateway->updateServices(
      {share("zero", 0), share("big", 70000), share("idle", idle), share("mine", idle)},
      {{"mine", {"0000000000000000"}}});
  EXPECT_TRUE(isRejected(open(Frame::Mode::open, "missing"), "not shared"));
  EXPECT_TRUE(isRejected(open(Frame::Mode::open, "mine"), "not shared"));
  EXPECT_TRUE(isRejected(open(Frame::Mode::open, std::nullopt), "not shared"));
  EXPECT_TRUE(isRejected(open(Frame::Mode::open, "zero"), "bad port"));
  // Above 65535 is refused, not clamped onto port 65535.
  EXPECT_TRUE(isRejected(open(Frame::Mode::open, "big"), "bad port"));
  EXPECT_TRUE(isRejected(open(Frame::Mode::open, "idle"), "not running"));
}

TEST_F(GatewayTest, HelloWithoutModeIsABadRequest) {
  auto gateway = startGateway();
  auto connection = rawConnect();
  ASSERT_TRUE(connection);
  auto challenge = read(connection);
  ASSERT_TRUE(challenge && challenge->nonce);
  send(connection,
       hello(client.deviceID(), helloCode(*challenge->nonce, client.deviceID(), clientKeys()),
             std::nullopt));
  auto result = read(connection);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->kind, Frame::Kind::result);
  EXPECT_EQ(result->ok, false);
  EXPECT_EQ(result->error, "bad request");
}

// A machine's streams are bounded, and nothing live makes room: a pool's idle streams keep
// theirs and the next one is refused. Only a stream finished here (its service has ended, the
// other machine took all of it, its client is silent) gives its place up, the one finished
// first first, and only once the new stream's service has answered; a reply still on its way to
// a slow reader is never finished. A control link that reconnects is never refused: it takes
// the place of the oldest control of its machine.
TEST_F(GatewayTest, StreamsOfAPeerAreBoundedAndOnlyAFinishedOneMakesRoom) {
  EchoServer echo(asio::ip::address_v4::loopback());
  EchoServer once(asio::ip::address_v4::loopback(), false, true);
  // More than the socket buffers of both sides take.
  EchoServer big(asio::ip::address_v4::loopback(), false, true, 32u << 20);
  // Closed before the stream waiting for it is waited for, whatever fails first.
  std::future<std::expected<std::shared_ptr<Connection>, ChannelError>> waiting;
  FullListener full;
  std::atomic<int> hellos = 0;
  auto opts = options();
  opts.onStep = [&](RoadStep step) { hellos += step == RoadStep::hello; };
  // On the gateway's queue, which each open first waits on: a stream's end and the refusal of
  // one have been taken in by the next open.
  opts.relayQueues = 0;
  auto gateway = startGateway(opts);
  gateway->updateServices({share("echo", echo.port()), share("once", once.port()),
                           share("big", big.port()), share("idle", unusedPort()),
                           share("full", full.port())},
                          {});
  // Two streams to a service that answers once, one to a service whose answer is never read,
  // and the rest to an echo.
  std::vector<std::shared_ptr<Connection>> streams;
  for (std::size_t i = 0; i < Gateway::connectionLimit; ++i) {
    auto connection = open(Frame::Mode::open, i < 2 ? "once" : i == 2 ? "big" : "echo");
    ASSERT_TRUE(connection) << i;
    streams.push_back(*connection);
  }
  const auto echoes = [&](const std::string &text) {
    for (std::size_t i = 3; i < streams.size(); ++i) {
      streams[i]->send(bytesOf(text));
      ASSERT_EQ(textOf(readBytes(streams[i], text.size())), text) << i;
    }
  };
  // Every idle stream carries bytes: read back, as a stream given up still reads ready.
  echoes("x");
  EXPECT_TRUE(isRejected(open(Frame::Mode::open, "echo"), "too many connections"));
  echoes("z");

  for (std::size_t i : {1, 0}) {
    streams[i]->send(bytesOf("y"));
    EXPECT_EQ(textOf(readBytes(streams[i], 2)), "y") << i;
  }
  streams[2]->send(bytesOf("b"));
  EXPECT_FALSE(readBytes(streams[2], 1).empty());
  // A stream whose service is not there gives nobody's place away.
  EXPECT_TRUE(isRejected(open(Frame::Mode::open, "idle"), "not running"));
  // Nor does one whose service has not answered yet, nor is it counted by one that has.
  const int before = hellos;
  // Its refusal comes with the connect's next try after the listener closes, seconds later.
  waiting =
      std::async(std::launch::async, [&] { return open(Frame::Mode::open, "full", nullptr, 120); });
  ASSERT_TRUE(eventually([&] { return hellos > before; }));
  const auto count = [](const std::vector<Gateway::Session> &list, const std::string &id) {
    return std::count_if(list.begin(), list.end(),
                         [&](const auto &s) { return s.serviceID == id; });
  };
  std::vector<std::shared_ptr<Connection>> newer;
  for (std::size_t finished : {1, 0}) {
    auto connection = open(Frame::Mode::open, "echo");
    ASSERT_TRUE(connection);
    (*connection)->send(bytesOf("w"));
    EXPECT_EQ(textOf(readBytes(*connection, 1)), "w");
    newer.push_back(*connection);
    EXPECT_TRUE(eventually(
        [&] { return streams[finished]->state().kind == Connection::State::Kind::failed; }));
    if (finished == 1) {
      // The first list with the newcomer in it: one finished stream gave its place, not both.
      auto list = sessions.pop();
      while (list && count(*list, "echo") != Gateway::connectionLimit - 2)
        list = sessions.pop();
      ASSERT_TRUE(list);
      EXPECT_EQ(count(*list, "once"), 1);
      full.close();
      EXPECT_TRUE(isRejected(waiting.get(), "not running"));
    }
  }
  EXPECT_TRUE(isRejected(open(Frame::Mode::open, "echo"), "too many connections"));
  echoes("v");
  EXPECT_EQ(streams[2]->state().kind, Connection::State::Kind::ready);
  EXPECT_GE(readBytes(streams[2], 1 << 20).size(), 1u << 20);

  std::vector<std::shared_ptr<Connection>> controls;
  for (std::size_t i = 0; i <= Gateway::controlLimit; ++i) {
    auto control = open(Frame::Mode::control);
    ASSERT_TRUE(control) << i;
    ASSERT_TRUE(read(*control)); // its services frame: registered by now
    controls.push_back(*control);
  }
  // The oldest control made room for the newest, reset: what it had to send is not left behind.
  EXPECT_FALSE(read(controls.front()));
  EXPECT_TRUE(eventually(
      [&] { return controls.front()->state().kind == Connection::State::Kind::failed; }));
  for (auto &connection : streams)
    connection->cancel();
  for (auto &connection : controls)
    connection->cancel();
  for (auto &connection : newer)
    connection->cancel();
}

// Sockets on local `port` whose end is not yet acknowledged (FIN_WAIT1) and that a descriptor
// holds.
int endingAndHeld(unsigned port) {
  int count = 0;
  for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    unsigned local = 0, state = 0;
    unsigned long inode = 0;
    for (std::string line; std::getline(in, line);)
      count += std::sscanf(line.c_str(), "%*s %*[^:]:%x %*s %x %*s %*s %*s %*s %*s %lu", &local,
                           &state, &inode) == 3 &&
               local == port && state == 4 && inode != 0;
  }
  return count;
}

// An ended stream keeps its place and socket until the other machine has taken all of it: one
// that reads nothing fills only its own places. Read, a reply makes room; a share withdrawn lets
// its unread stream go, the rest delivered; unpairing resets what is still not taken.
TEST_F(GatewayTest, AFinishedStreamKeepsItsPlaceUntilTheOtherMachineHasTakenIt) {
  constexpr std::size_t replySize = 512 * 1024;
  EchoServer answer(asio::ip::address_v4::loopback(), false, true, replySize);
  auto gateway = startGateway();
  gateway->updateServices({share("answer", answer.port()), share("other", answer.port())}, {});
  std::vector<std::shared_ptr<Connection>> streams;
  for (std::size_t i = 0; i < Gateway::connectionLimit; ++i) {
    auto connection = open(Frame::Mode::open, i == 0 ? "other" : "answer");
    ASSERT_TRUE(connection) << i;
    (*connection)->send(bytesOf("q"));
    (*connection)->endSending();
    streams.push_back(*connection);
  }
  ASSERT_TRUE(eventually([&] { return endingAndHeld(port_) == Gateway::connectionLimit; }));
  EXPECT_TRUE(isRejected(open(Frame::Mode::open, "answer"), "too many connections"));

  for (std::size_t i = 2; i < streams.size(); ++i)
    ASSERT_EQ(readBytes(streams[i], replySize + 1).size(), replySize) << i;
  // From the first list with them all on, until the two unread are left.
  auto list = sessions.pop();
  while (list && list->size() < Gateway::connectionLimit)
    list = sessions.pop();
  while (list && list->size() > 2)
    list = sessions.pop();
  ASSERT_TRUE(list);
  auto newer = open(Frame::Mode::open, "answer");
  ASSERT_TRUE(newer);
  (*newer)->cancel();

  gateway->updateServices({share("answer", answer.port())}, {});
  EXPECT_EQ(readBytes(streams[0], replySize + 1).size(), replySize);
  EXPECT_EQ(streams[0]->state().kind, Connection::State::Kind::ready);
  gateway->revoke(client.deviceID());
  while (list && !list->empty())
    list = sessions.pop();
  EXPECT_LT(readBytes(streams[1], replySize + 1).size(), replySize);
  EXPECT_EQ(streams[1]->state().kind, Connection::State::Kind::failed);
  for (auto &connection : streams)
    connection->cancel();
}

TEST_F(GatewayTest, RevokedPeerIsToldItIsUnpaired) {
  EchoServer echo(asio::ip::address_v4::loopback());
  auto gateway = startGateway();
  gateway->updateServices({share("S", echo.port())}, {});
  auto control = open(Frame::Mode::control);
  ASSERT_TRUE(control);
  ASSERT_TRUE(read(*control));

  gateway->revoke(client.deviceID());
  auto unpaired = read(*control);
  ASSERT_TRUE(unpaired);
  EXPECT_EQ(unpaired->kind, Frame::Kind::unpaired);
  EXPECT_FALSE(read(*control));

  auto again = open(Frame::Mode::control);
  ASSERT_TRUE(again);
  auto frame = read(*again);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->kind, Frame::Kind::unpaired);
  EXPECT_TRUE(isRejected(open(Frame::Mode::open, "S"), "unpaired"));

  // A restart forgets revoked keys; the peer store still lists the client here, so it is
  // served again.
  gateway->restart();
  auto port = ready.pop();
  ASSERT_TRUE(port);
  port_ = *port;
  auto served = open(Frame::Mode::control);
  ASSERT_TRUE(served);
  auto services = read(*served);
  ASSERT_TRUE(services);
  EXPECT_EQ(services->kind, Frame::Kind::services);
}

TEST_F(GatewayTest, BadHellosAreClosedWithoutAReply) {
  auto gateway = startGateway();
  auto expectClosedAfter =
      [&](std::function<void(const std::shared_ptr<Connection> &, const Bytes &nonce)> say) {
        auto connection = rawConnect();
        ASSERT_TRUE(connection);
        auto challenge = read(connection);
        ASSERT_TRUE(challenge);
        ASSERT_EQ(challenge->kind, Frame::Kind::challenge);
        ASSERT_TRUE(challenge->nonce);
        EXPECT_EQ(challenge->nonce->size(), 32u);
        say(connection, *challenge->nonce);
        EXPECT_FALSE(read(connection));
      };
  // Wrong MAC.
  expectClosedAfter([&](auto &connection, const Bytes &nonce) {
    Bytes mac = helloCode(nonce, client.deviceID(), clientKeys());
    mac[0] ^= 1;
    send(connection, hello(client.deviceID(), mac, Frame::Mode::control));
  });
  // A MAC made for another device identifier.
  expectClosedAfter([&](auto &connection, const Bytes &nonce) {
    send(connection, hello("0123456789abcdef", helloCode(nonce, client.deviceID(), clientKeys()),
                           Frame::Mode::control));
  });
  // Not a hello, and a hello without a MAC.
  expectClosedAfter(
      [&](auto &connection, const Bytes &) { send(connection, bare(Frame::Kind::ping)); });
  expectClosedAfter([&](auto &connection, const Bytes &) {
    send(connection, hello(client.deviceID(), std::nullopt, Frame::Mode::control));
  });
  // A length prefix beyond the frame limit, and bytes that are not JSON.
  expectClosedAfter([&](auto &connection, const Bytes &) {
    connection->send(Bytes{0xff, 0xff, 0xff, 0xff});
  });
  expectClosedAfter([&](auto &connection, const Bytes &) {
    connection->send(Bytes{0, 0, 0, 3, '{', '{', '{'});
  });
}

TEST_F(GatewayTest, SilentClientIsClosedAtTheDeadline) {
  constexpr double deadline = 2.0;
  auto opts = options();
  opts.helloDeadline = deadline;
  auto gateway = startGateway(opts);
  // The deadline runs from the accept, which follows this; on a busy machine it may even end
  // the TLS handshake, but never before its time.
  const auto started = std::chrono::steady_clock::now();
  auto connection = rawConnect();
  if (connection) {
    auto challenge = read(connection);
    if (challenge) {
      EXPECT_EQ(challenge->kind, Frame::Kind::challenge);
    }
    EXPECT_FALSE(read(connection));
  }
  EXPECT_GE(std::chrono::steady_clock::now() - started,
            std::chrono::duration<double>(deadline - 0.05));

  // One that never starts TLS is closed by the same deadline.
  asio::io_context context;
  asio::ip::tcp::socket plain(context);
  plain.connect({asio::ip::address_v4::loopback(), port_});
  timeval limit{30, 0};
  ::setsockopt(plain.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::array<char, 16> buffer{};
  std::error_code error;
  plain.read_some(asio::buffer(buffer), error);
  EXPECT_EQ(error, asio::error::eof);
}

// A silent plain TCP connection to the gateway from `source`, a loopback address.
int connectFrom(const char *source, std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  ::inet_pton(AF_INET, source, &from.sin_addr);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
    if (fd >= 0)
      ::close(fd);
    return -1;
  }
  timeval limit{20, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return fd;
}

// True when the gateway closes the connection before the 20 s receive time-out.
bool closedByGateway(int fd) {
  char byte;
  const ssize_t n = ::recv(fd, &byte, 1, 0);
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

TEST_F(GatewayTest, UnfinishedHandshakesAreCappedPerAddressAndShareTheGlobalCapFairly) {
  auto opts = options();
  opts.helloDeadline = 120; // strangers are held by the caps alone here
  opts.handshakeLimit = 4;
  opts.handshakeLimitPerSource = 3;
  // Accepted on one queue, each connection is counted after those made before it; spread over
  // several, two made back to back may be counted in either order.
  opts.relayQueues = 0;
  auto gateway = startGateway(opts);
  auto expectClosedAtOnce = [&](const char *source) {
    const int fd = connectFrom(source, port_);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(closedByGateway(fd)) << source;
    ::close(fd);
  };
  auto expectServed = [&] {
    auto control = open(Frame::Mode::control);
    ASSERT_TRUE(control);
    // Its services frame shows that its hello passed, so it no longer counts.
    ASSERT_TRUE(read(*control));
  };

  // One address holds three silent connections; its fourth is closed at once.
  std::vector<int> two{connectFrom("127.0.0.2", port_), connectFrom("127.0.0.2", port_),
                       connectFrom("127.0.0.2", port_)};
  expectClosedAtOnce("127.0.0.2");
  expectServed();

  // The global cap is reached; an address holding fewer than the heaviest takes the place of
  // that one's oldest connection…
  std::vector<int> three{connectFrom("127.0.0.3", port_), connectFrom("127.0.0.3", port_)};
  EXPECT_TRUE(closedByGateway(two[0]));
  // … but not among equals (two each now): the newcomer is closed.
  expectClosedAtOnce("127.0.0.3");
  // A paired machine holds none, so it is always let in.
  expectServed();
  EXPECT_TRUE(closedByGateway(two[1]));

  for (int fd : two)
    ::close(fd);
  for (int fd : three) {
    EXPECT_GE(fd, 0);
    ::close(fd);
  }
}

TEST_F(GatewayTest, WithdrawnAccessEndsStreamsAndResendsServices) {
  EchoServer echo(asio::ip::address_v4::loopback());
  auto gateway = startGateway();
  gateway->updateServices({share("S", echo.port()), share("T", echo.port())}, {});
  auto control = open(Frame::Mode::control);
  ASSERT_TRUE(control);
  auto listed = read(*control);
  ASSERT_TRUE(listed && listed->services);
  ASSERT_EQ(listed->services->size(), 2u);
  auto stream = open(Frame::Mode::open, "S");
  ASSERT_TRUE(stream);
  ASSERT_TRUE(accepted.pop());
  while (sessions.pop(0ms)) {
  }

  // Same arguments again: nothing is sent.
  gateway->updateServices({share("S", echo.port()), share("T", echo.port())}, {});
  gateway->updateServices({share("S", echo.port()), share("T", echo.port())},
                          {{"S", {"0000000000000000"}}});
  auto services = read(*control);
  ASSERT_TRUE(services);
  EXPECT_EQ(services->services, std::vector{share("T", echo.port())});
  EXPECT_TRUE(readBytes(*stream, 1).empty());

  // The stream's end is published as an empty snapshot.
  auto last = sessions.pop();
  ASSERT_TRUE(last);
  EXPECT_TRUE(last->empty());
}

TEST_F(GatewayTest, RenameRestartsWithTheNewName) {
  auto gateway = startGateway();
  auto control = open(Frame::Mode::control);
  ASSERT_TRUE(control);
  ASSERT_TRUE(read(*control));

  gateway->rename("Server");
  EXPECT_FALSE(ready.pop(200ms));

  gateway->rename("Renamed");
  EXPECT_FALSE(read(*control));
  ASSERT_TRUE(ready.pop());
  EXPECT_TRUE(eventually([&] {
    auto published = registry->publications();
    return published.size() == 1 && published[0].service.name == "Renamed";
  }));
}

TEST_F(GatewayTest, SessionsSortedBySinceAndPublishedBeforeAccepted) {
  EchoServer echo(asio::ip::address_v4::loopback());
  auto gateway = startGateway();
  gateway->updateServices({share("B", echo.port()), share("A", echo.port())}, {});
  while (sessions.pop(100ms)) {
  }
  while (events.pop(0ms)) {
  }

  auto first = open(Frame::Mode::open, "B");
  ASSERT_TRUE(first);
  EXPECT_EQ(events.pop(), "sessions");
  EXPECT_EQ(events.pop(), "accepted");
  std::this_thread::sleep_for(5ms);
  auto second = open(Frame::Mode::open, "A");
  ASSERT_TRUE(second);
  EXPECT_EQ(events.pop(), "sessions");
  EXPECT_EQ(events.pop(), "accepted");

  auto one = sessions.pop();
  auto two = sessions.pop();
  ASSERT_TRUE(one && two);
  ASSERT_EQ(one->size(), 1u);
  ASSERT_EQ(two->size(), 2u);
  // "B" came first, so it leads although "A" sorts first by id.
  EXPECT_EQ((*two)[0].serviceID, "B");
  EXPECT_EQ((*two)[1].serviceID, "A");
  EXPECT_LT((*two)[0].since, (*two)[1].since);
  EXPECT_EQ((*two)[0].peerID, client.deviceID());
  EXPECT_EQ(accepted.pop(), (std::pair<std::string, std::string>{client.deviceID(), "B"}));

  gateway->disconnect(client.deviceID(), "B");
  EXPECT_TRUE(readBytes(*first, 1).empty());
  auto after = sessions.pop();
  ASSERT_TRUE(after);
  ASSERT_EQ(after->size(), 1u);
  EXPECT_EQ((*after)[0].serviceID, "A");
}

} // namespace
} // namespace corvane

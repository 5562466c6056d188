#include "brimvale/catalogue/PortChecks.h"
#include "tests/catalogue/ServerFixture.h"

#include <arpa/inet.h>
#include <array>
#include <atomic>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace corvane {
namespace {

template <typename T, typename Start> T await(Start start) {
  std::promise<T> promise;
  auto future = promise.get_future();
  start([&promise](T value) { promise.set_value(std::move(value)); });
  return future.get();
}

// A listening socket on one loopback address; port 0 picks a free one.
class LoopbackListener {
public:
  explicit LoopbackListener(AddressFamily family, int port = 0, bool listen = true) {
    fd_ =
        ::socket(family == AddressFamily::ipv4 ? AF_INET : AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (family == AddressFamily::ipv4) {
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(static_cast<std::uint16_t>(port));
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      ::bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address);
      socklen_t length = sizeof address;
      ::getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &length);
      port_ = ntohs(address.sin_port);
    } else {
      sockaddr_in6 address{};
      address.sin6_family = AF_INET6;
      address.sin6_port = htons(static_cast<std::uint16_t>(port));
      address.sin6_addr = in6addr_loopback;
      ::bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address);
      socklen_t length = sizeof address;
      ::getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &length);
      port_ = ntohs(address.sin6_port);
    }
    if (listen)
      ::listen(fd_, 64);
  }
  ~LoopbackListener() { ::close(fd_); }
  int port() const { return port_; }

private:
  int fd_ = -1;
  int port_ = 0;
};

// A port whose only socket is a closed connection of a listener that set SO_REUSEADDR, as this
// app's listeners do: the connection lingers in the system after both ends closed.
int closingPort() {
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address);
  ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
  ::listen(listener, 1);
  int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ::connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address);
  int accepted = ::accept(listener, nullptr, nullptr);
  // The listener's side closes first, so the lingering end is the one on its port.
  ::close(accepted);
  ::close(client);
  ::close(listener);
  return ntohs(address.sin_port);
}

TEST(PortChecks, BindAndListeningChecks) {
  LoopbackListener held(AddressFamily::ipv4);
  EXPECT_EQ(canBindLoopbackPort(AddressFamily::ipv4, held.port()), BindResult::inUse);
  EXPECT_TRUE(isPortListening(AddressFamily::ipv4, held.port()));
  EXPECT_FALSE(isPortListening(AddressFamily::ipv6, held.port()));

  int free = testing::freeLoopbackPort();
  EXPECT_EQ(canBindLoopbackPort(AddressFamily::ipv4, free), BindResult::free);
  EXPECT_EQ(canBindLoopbackPort(AddressFamily::ipv4, free), BindResult::free)
      << "the check leaves the port free again";
  EXPECT_FALSE(isPortListening(AddressFamily::ipv4, free));

  // Bound but not listening: taken, yet nothing answers there.
  LoopbackListener bound(AddressFamily::ipv6, 0, false);
  EXPECT_EQ(canBindLoopbackPort(AddressFamily::ipv6, bound.port()), BindResult::inUse);
  EXPECT_FALSE(isPortListening(AddressFamily::ipv6, bound.port()));
  EXPECT_EQ(canBindLoopbackPort(AddressFamily::ipv4, closingPort()), BindResult::free)
      << "a closed connection lingering on the port keeps no listener out";

  for (int port : {-1, 65536})
    EXPECT_EQ(canBindLoopbackPort(AddressFamily::ipv4, port), BindResult::otherError) << port;
  EXPECT_FALSE(isPortListening(AddressFamily::ipv4, 70000));
}

TEST(PortChecks, AcceptsAndProbes) {
  ProbePool pool;
  LoopbackListener v4(AddressFamily::ipv4);
  LoopbackListener v6only(AddressFamily::ipv6);
  auto accepts = [&](const Endpoint::Host &host, int port, double timeout = 1.0) {
    return await<bool>([&](auto done) { corvane::accepts(pool, host, port, timeout, done); });
  };
  EXPECT_TRUE(accepts(Endpoint::Host::loopbackIPv4(), v4.port()));
  EXPECT_FALSE(accepts(Endpoint::Host::loopbackIPv4(), testing::freeLoopbackPort()));
  EXPECT_TRUE(accepts(Endpoint::Host::named("localhost"), v4.port()));
  // Ports out of range answer false at once rather than being clamped to 65535: far before
  // the time-out, with room for a loaded machine.
  for (int port : {0, -5, 65536, 100000}) {
    auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(accepts(Endpoint::Host::loopbackIPv4(), port, 60.0)) << port;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(15));
  }

  auto checkPort = [&](int port) {
    return await<bool>([&](auto done) { checkPortAccepts(pool, port, 5.0, done); });
  };
  EXPECT_TRUE(checkPort(v6only.port())) << "a server bound only to ::1 answers after IPv4 fails";
  EXPECT_FALSE(checkPort(testing::freeLoopbackPort()));

  // Connection and time-out racing: every probe still answers exactly once.
  constexpr int probes = 64;
  std::array<std::atomic<int>, probes> calls{};
  {
    ProbePool local(4);
    for (int i = 0; i < probes; ++i)
      probeConnection(local, Endpoint::Host::loopbackIPv4(), static_cast<std::uint16_t>(v4.port()),
                      i % 2 ? 0.0 : 0.001, [&calls, i](bool) { ++calls[i]; });
  }
  for (int i = 0; i < probes; ++i)
    EXPECT_EQ(calls[i], 1) << i;
}

TEST(PortChecks, ScanFindsListenersWithBoundedAttempts) {
  ProbePool pool(4);
  LoopbackListener a(AddressFamily::ipv4);
  LoopbackListener b(AddressFamily::ipv6);
  std::vector<int> ports{a.port(), b.port()};
  for (int i = 0; i < 70; ++i)
    ports.push_back(testing::freeLoopbackPort());
  auto found = await<std::map<int, Endpoint::Host>>(
      [&](auto done) { scanListeningPorts(pool, ports, 5.0, done); });
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found.at(a.port()), Endpoint::Host::loopbackIPv4());
  EXPECT_EQ(found.at(b.port()), Endpoint::Host::loopbackIPv6());

  using Found = std::map<int, Endpoint::Host>;
  auto none = await<Found>([&](auto done) { scanListeningPorts(pool, {}, 0.4, done); });
  EXPECT_TRUE(none.empty());
}

TEST(PortChecks, ScanSeesRealServers) {
  auto redis = testing::ServerFixture::start(testing::ServerFixture::Server::redis);
  ASSERT_TRUE(redis) << redis.error();
  ProbePool pool;
  auto found = await<std::map<int, Endpoint::Host>>([&](auto done) {
    scanListeningPorts(pool, {(*redis)->port(), testing::freeLoopbackPort()}, 5.0, done);
  });
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found.begin()->first, (*redis)->port());
}

TEST(PortChecks, PortChoice) {
  PortChoiceKey mine{"a1", "Postgres"};
  PortChoiceKey other{"b2", "Postgres"};
  std::map<PortChoiceKey, int> assigned{{mine, 6000}, {other, 6001}};
  std::set<int> reserved{6000, 46310};
  auto freeAll = [](int) { return true; };
  auto freeNone = [](int) { return false; };
  EXPECT_EQ(checkPortChoice(1023, mine, assigned, reserved, freeAll),
            PortChoiceProblem::outOfRange());
  EXPECT_EQ(checkPortChoice(65536, mine, assigned, reserved, freeAll),
            PortChoiceProblem::outOfRange());
  EXPECT_EQ(checkPortChoice(6000, mine, assigned, reserved, freeNone), std::nullopt)
      << "keeping the port the service already has is fine even when reserved";
  EXPECT_EQ(checkPortChoice(46310, mine, assigned, reserved, freeAll),
            PortChoiceProblem::usedHere(46310));
  EXPECT_EQ(checkPortChoice(6001, mine, assigned, reserved, freeAll),
            PortChoiceProblem::usedHere(6001));
  EXPECT_EQ(checkPortChoice(7000, mine, assigned, reserved, freeNone),
            PortChoiceProblem::usedElsewhere(7000));
  EXPECT_EQ(checkPortChoice(7000, mine, assigned, reserved, freeAll), std::nullopt);

  EXPECT_EQ(portProblemText(8080, PortChoiceProblem::usedHere(8080)),
            "Corvane already uses port 8080.");
  EXPECT_EQ(portProblemText(8080, PortChoiceProblem::usedElsewhere(8080)),
            "Another app is using port 8080 on this Mac.");
  EXPECT_EQ(portProblemText(8080, PortChoiceProblem::outOfRange()),
            "Pick a port from 1024 to 65535.");
}

TEST(PortChecks, CandidatesAndFoundPorts) {
  const auto &ports = candidatePorts();
  EXPECT_EQ(ports.front(), 1313);
  EXPECT_EQ(ports.back(), 27017);
  EXPECT_TRUE(std::is_sorted(ports.begin(), ports.end()));
  EXPECT_EQ(std::adjacent_find(ports.begin(), ports.end()), ports.end());
  auto has = [&](int port) { return std::binary_search(ports.begin(), ports.end(), port); };
  for (int port : {3005, 4010, 5175, 8085, 5432, 19006})
    EXPECT_TRUE(has(port)) << port;
  for (int port : {3011, 5181, 15672})
    EXPECT_FALSE(has(port)) << port;

  EXPECT_EQ(ListeningPort::displayTitle(5432, std::nullopt), "Port 5432");
  EXPECT_EQ(ListeningPort::displayTitle(5432, "Postgres 16.4"), "Port 5432 \u00B7 Postgres 16.4");
  auto web = ListeningPort::makeCandidate(3000, "HTTP \u00B7 nginx 1.25");
  EXPECT_EQ(web, (ShareCandidate{"port 3000", 3000, ExposedService::ServiceCategory::web}));
  EXPECT_EQ(ListeningPort::makeCandidate(3000, "http server").category,
            ExposedService::ServiceCategory::custom);
  EXPECT_EQ(ListeningPort::makeCandidate(3000, std::nullopt).category,
            ExposedService::ServiceCategory::custom);
}

} // namespace
} // namespace corvane

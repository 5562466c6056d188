// Two (or three) engines in one process over loopback, real TLS-PSK and the real relay: one
// shares an echo server, the other reaches it at localhost through its proxy.
#include "brimvale/platform/Crypto.h"
#include "brimvale/platform/MemorySecretStore.h"
#include "brimvale/platform/RegistryDnsSd.h"
#include "tests/e2e/Engine.h"
#include "tests/e2e/LoopbackMachines.h"
#include "tests/e2e/Sockets.h"
#include "tests/support/LoopbackPorts.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/socket.h>

namespace corvane::e2e {
namespace {

using corvane::testing::waitUntil;

SharedServiceInfo echoShare(std::uint16_t port) {
  SharedServiceInfo service;
  service.id = "5E1D0C6A-0000-4000-8000-000000000001";
  service.name = "Echo";
  service.port = port;
  service.running = true;
  service.category = "Tool";
  return service;
}

class MainRoad : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    home_ =
        std::filesystem::temp_directory_path() / ("corvane-mainroad-" + std::to_string(::getpid()));
    for (const char *sub : {"config", "data", "runtime", "cache"})
      std::filesystem::create_directories(home_ / sub);
    ::setenv("XDG_CONFIG_HOME", (home_ / "config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home_ / "data").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (home_ / "runtime").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (home_ / "cache").c_str(), 1);
  }
  static void TearDownTestSuite() {
    std::error_code ignored;
    std::filesystem::remove_all(home_, ignored);
  }

  void TearDown() override {
    for (auto &engine : engines_) {
      if (engine->pairing())
        main_.sync([&] { engine->pairing()->stopPairing(); });
      engine->stop();
    }
    engines_.clear();
  }

  std::shared_ptr<Engine> makeEngine(const std::string &name) {
    Engine::Options options;
    options.name = name;
    options.dnsSd = RegistryDnsSd::create(registry_);
    options.secrets = std::make_shared<MemorySecretStore>();
    options.mainQueue = main_.sharedQueue();
    quickenRetries(options.gateway, options.link, options.proxy);
    auto engine = Engine::create(std::move(options));
    engines_.push_back(engine);
    engine->start();
    return engine;
  }

  static void pairDirectly(Engine &a, Engine &b) {
    a.pairDirectly(b.deviceID(), b.name(), b.identity().publicKey());
    b.pairDirectly(a.deviceID(), a.name(), a.identity().publicKey());
  }

  // The local port at which `user` offers the echo share of `sharer`.
  static std::optional<std::uint16_t> echoPort(Engine &user, Engine &sharer) {
    const RouteKey key{sharer.deviceID(), echoShare(0).id};
    if (!user.waitUntil([&](const auto &seen) { return seen.listeningPort(key).has_value(); },
                        wait))
      return std::nullopt;
    const auto port = user.snapshot().listeningPort(key);
    EXPECT_LT(port.value_or(0), testing::outgoingPortsStart)
        << "the route listens where connections take ports";
    return port;
  }

  static inline std::filesystem::path home_;
  testing::MainThread main_;
  std::shared_ptr<DnsSdRegistry> registry_ = DnsSdRegistry::create();
  std::vector<std::shared_ptr<Engine>> engines_;
};

TEST_F(MainRoad, PairedOverLoopbackThenAShareCarriesLargePayloadsIntactBothWays) {
  auto a = makeEngine("Machine A");
  auto b = makeEngine("Machine B");

  // Pairing: B calls A at its typed address, both users see the same code and confirm.
  pairOverLoopback(main_, *a->pairing(), *b->pairing(), "Machine A");
  if (HasFatalFailure())
    return;
  waitUntil([&] {
    return a->peerStore()->findPeer(b->deviceID()) && b->peerStore()->findPeer(a->deviceID());
  });
  ASSERT_TRUE(a->peerStore()->findPeer(b->deviceID()));
  ASSERT_TRUE(b->peerStore()->findPeer(a->deviceID()));
  EXPECT_EQ(b->peerStore()->findPeer(a->deviceID())->publicKey, a->identity().publicKey());

  EchoServer echo;
  ASSERT_TRUE(echo.listening());
  a->share({echoShare(echo.port())});

  const auto local = echoPort(*b, *a);
  ASSERT_TRUE(local) << "B's proxy never listened for A's share";

  Client client(*local, wait);
  ASSERT_TRUE(client.connected());
  const Bytes payload = randomBytes(4 << 20);
  const auto back = echoThrough(client, payload);
  ASSERT_EQ(back.size(), payload.size());
  EXPECT_TRUE(back == payload) << "bytes changed on the way";

  // B counts the relayed connection while it runs, and no longer once the client has gone.
  const RouteKey key{a->deviceID(), echoShare(0).id};
  const auto activeIs = [&](int count) {
    return [&key, count](const auto &seen) {
      const auto active = seen.active.find(key);
      return active != seen.active.end() && active->second == count;
    };
  };
  EXPECT_TRUE(b->waitUntil(activeIs(1), wait));

  // A records B's use of the share.
  EXPECT_TRUE(a->waitUntil(
      [&](const auto &seen) {
        return seen.sessions.size() == 1 && seen.sessions[0].peerID == b->deviceID();
      },
      wait));
  client.shutdownWrite();
  EXPECT_TRUE(client.waitForClose());
  EXPECT_TRUE(b->waitUntil(activeIs(0), wait));
}

// A client that sends its request and then ends its sending (`socat`, `nc -N`, scripts): its end
// reaches the service, which answers only then, and the service's end reaches the client.
TEST_F(MainRoad, ClientEndingItsSendingReachesTheServiceAndReadsTheReplyAndTheServiceEnd) {
  auto a = makeEngine("Machine A");
  auto b = makeEngine("Machine B");
  pairDirectly(*a, *b);
  // Answers with the number of bytes it got once its input ends, then closes.
  LoopbackServer counter([](int fd) {
    std::size_t count = 0;
    char buffer[65536];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
      count += static_cast<std::size_t>(n);
    const auto answer = std::to_string(count);
    writeAll(fd, answer.data(), answer.size());
    ::shutdown(fd, SHUT_WR);
  });
  a->share({echoShare(counter.port())});
  const auto local = echoPort(*b, *a);
  ASSERT_TRUE(local);

  for (std::size_t size : {std::size_t{5}, std::size_t{1} << 20}) {
    Client client(*local, wait);
    ASSERT_TRUE(client.sendAll(std::string(size, 'c')));
    client.shutdownWrite();
    const auto expected = std::to_string(size);
    std::string answer(expected.size(), '\0');
    EXPECT_TRUE(client.receiveExactly(answer.data(), answer.size())) << size;
    EXPECT_EQ(answer, expected);
    EXPECT_TRUE(client.waitForClose()) << "the service's end did not reach the client";
  }
}

TEST_F(MainRoad, ShareRemovedFromTheListClosesOpenStreamsAndLeavesTheNextList) {
  auto a = makeEngine("Machine A");
  auto b = makeEngine("Machine B");
  pairDirectly(*a, *b);
  EchoServer echo;
  a->share({echoShare(echo.port())});
  const auto local = echoPort(*b, *a);
  ASSERT_TRUE(local);

  Client client(*local, wait);
  const Bytes hello = bytesOf("ping");
  ASSERT_EQ(echoThrough(client, hello), hello);
  const int framesBefore = b->snapshot().servicesFrames.at(a->deviceID());

  a->share({});
  EXPECT_TRUE(client.waitForClose()) << "the stream outlived its share";
  EXPECT_TRUE(b->waitUntil(
      [&](const auto &seen) {
        return seen.servicesFrames.at(a->deviceID()) > framesBefore &&
               seen.services.at(a->deviceID()).empty();
      },
      wait));
}

TEST_F(MainRoad, RevokedMachineLearnsItIsUnpaired) {
  auto a = makeEngine("Machine A");
  auto b = makeEngine("Machine B");
  pairDirectly(*a, *b);
  ASSERT_TRUE(b->waitUntil(
      [&](const auto &seen) { return seen.servicesFrames.contains(a->deviceID()); }, wait));

  a->peerStore()->remove(b->deviceID());
  EXPECT_TRUE(
      b->waitUntil([&](const auto &seen) { return seen.unpaired.contains(a->deviceID()); }, wait));
}

TEST_F(MainRoad, MachineNeverPairedFailsInTlsAndItsOpenIsUnreachable) {
  auto a = makeEngine("Machine A");
  auto b = makeEngine("Machine B");
  auto stranger = makeEngine("Stranger");
  pairDirectly(*a, *b);
  EchoServer echo;
  a->share({echoShare(echo.port())});
  ASSERT_TRUE(echoPort(*b, *a));

  // The stranger trusts A, but A never heard of it.
  stranger->pairDirectly(a->deviceID(), a->name(), a->identity().publicKey());
  stranger->assumeOffered(a->deviceID(), {echoShare(echo.port())});
  const RouteKey key{a->deviceID(), echoShare(0).id};
  const auto port = echoPort(*stranger, *a);
  ASSERT_TRUE(port) << "the stranger's proxy never listened";

  Client client(*port, wait);
  ASSERT_TRUE(client.connected());
  EXPECT_TRUE(client.waitForClose());
  EXPECT_TRUE(stranger->waitUntil(
      [&](const auto &seen) {
        auto refusal = seen.refusals.find(key);
        return refusal != seen.refusals.end() && refusal->second == "unreachable";
      },
      wait));
  EXPECT_EQ(echo.accepted(), 0);
  EXPECT_FALSE(stranger->snapshot().servicesFrames.contains(a->deviceID()));
}

} // namespace
} // namespace corvane::e2e

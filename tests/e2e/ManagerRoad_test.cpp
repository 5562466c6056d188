// Two real service managers in one process, each with its own secrets, settings and identity,
// joined over loopback through an in-process DNS-SD registry: pairing with the real
// coordinator, then one shares an echo server and the other reaches it at localhost.
#include "brimvale/catalogue/ServiceVersion.h"
#include "brimvale/platform/Crypto.h"
#include "brimvale/platform/SleepWatcher.h"
#include "tests/catalogue/ServerFixture.h"
#include "tests/e2e/ManagersOnLoopback.h"
#include "tests/e2e/Sockets.h"
#include "tests/support/FakeLogind.h"
#include "tests/support/LoopbackPorts.h"
#include "tests/support/PrivateBus.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

namespace corvane::e2e {
namespace {

using namespace std::chrono_literals;

const std::string echoID = "5E1D0C6A-0000-4000-8000-0000000000A1";

class ManagerRoad : public ManagersOnLoopback {
protected:
  // Makes a manager follow the sleep and wake of the fake logind on `bus`.
  std::function<void(ServiceManager::Setup &)> followingSleepOn(std::string bus) {
    return [queue = main_.sharedQueue(), bus](ServiceManager::Setup &setup) {
      setup.effects.watchSleep = [queue, bus](auto willSleep, auto didWake) {
        auto watcher = std::make_shared<SleepWatcher>(*queue, SleepWatcher::Options{bus, 5.0});
        watcher->onWillSleep = std::move(willSleep);
        watcher->onDidWake = std::move(didWake);
        watcher->start();
        return std::shared_ptr<void>(watcher);
      };
    };
  }

  // A shares the echo server's port and probes it at once.
  void share(const std::shared_ptr<ServiceManager> &a, int port) {
    main_.sync([&] {
      a->preferences.modify([&](Preferences &p) {
        ExposedService echo;
        echo.id = echoID;
        echo.name = "Echo";
        echo.port = port;
        echo.category = ServiceCategory::tool;
        p.services.push_back(echo);
      });
      a->setShareEnabled(echoID, true);
      a->probeSharedPorts();
      return 0;
    });
  }

  std::optional<IncomingService> echoRow(const std::shared_ptr<ServiceManager> &b,
                                         const std::shared_ptr<ServiceManager> &a) {
    return main_.sync([&]() -> std::optional<IncomingService> {
      for (const auto &row : b->incoming.get())
        if (row.key == RouteKey{a->myDeviceID(), echoID})
          return row;
      return std::nullopt;
    });
  }

  // The local port of A's echo share on B, once B shows it connected with one.
  std::optional<int> connectedPort(const std::shared_ptr<ServiceManager> &b,
                                   const std::shared_ptr<ServiceManager> &a) {
    std::optional<int> port;
    main_.waitUntil([&] {
      for (const auto &row : b->incoming.get())
        if (row.key == RouteKey{a->myDeviceID(), echoID} &&
            row.state == IncomingService::State::connected() && row.localPort)
          port = row.localPort;
      return port.has_value();
    });
    EXPECT_LT(port.value_or(0), testing::outgoingPortsStart)
        << "the route listens where connections take ports";
    return port;
  }

  // A client through B's loopback listener; the listener may still be coming up.
  static std::unique_ptr<Client> connect(int port) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(wait);
    while (std::chrono::steady_clock::now() < deadline) {
      auto client = std::make_unique<Client>(static_cast<std::uint16_t>(port), wait);
      if (client->connected()) {
        const Bytes hello = bytesOf("hello");
        if (echoThrough(*client, hello) == hello)
          return client;
      }
      std::this_thread::sleep_for(50ms);
    }
    return nullptr;
  }
};

TEST_F(ManagerRoad, PairedManagersCarryASharedPortAndFollowPauseAndSwitch) {
  auto a = makeManager("Machine A");
  auto b = makeManager("Machine B");
  pair(a, b);
  if (HasFatalFailure())
    return;

  EchoServer echo(quietSharePort());
  ASSERT_TRUE(echo.listening());
  share(a, echo.port());

  const auto local = connectedPort(b, a);
  ASSERT_TRUE(local) << "B never showed A's share connected";
  auto client = connect(*local);
  ASSERT_TRUE(client) << "nothing answered at localhost:" << *local;
  const Bytes payload = randomBytes(1 << 20);
  EXPECT_TRUE(echoThrough(*client, payload) == payload) << "bytes changed on the way";
  // A lists B as the share's user while the stream is open.
  EXPECT_TRUE(main_.waitUntil([&] {
    const auto &rows = a->outgoing.get();
    return rows.size() == 1 && rows[0].connections == 1 && rows[0].running &&
           rows[0].users.size() == 1 && rows[0].users[0].peerID == b->myDeviceID();
  }));
  EXPECT_TRUE(main_.waitUntil([&] {
    auto row = std::find_if(b->incoming->begin(), b->incoming->end(),
                            [&](const auto &r) { return r.key.serviceID == echoID; });
    return row != b->incoming->end() && row->inUse;
  }));
  client.reset();

  // A pauses sharing: B's row goes away.
  main_.sync([&] {
    a->setSharingPaused(true);
    return 0;
  });
  EXPECT_TRUE(main_.waitUntil([&] { return b->incoming->empty(); }))
      << "B still lists a paused share";

  // Resumed, the row comes back on the same local port.
  main_.sync([&] {
    a->setSharingPaused(false);
    return 0;
  });
  EXPECT_EQ(connectedPort(b, a), local);
  auto open = connect(*local);
  ASSERT_TRUE(open);

  // A switches the share off: B's open stream closes.
  main_.sync([&] {
    a->setShareEnabled(echoID, false);
    return 0;
  });
  EXPECT_TRUE(open->waitForClose()) << "the stream outlived its share";
  EXPECT_TRUE(main_.waitUntil([&] { return b->incoming->empty(); }));
}

TEST_F(ManagerRoad, ARouteWhoseRememberedPortIsTakenGetsTheNextCandidate) {
  auto a = makeManager("Machine A");
  auto b = makeManager("Machine B");
  pair(a, b);
  if (HasFatalFailure())
    return;
  EchoServer echo(quietSharePort());
  // A loopback port held by another program.
  IdleListener squatter;
  ASSERT_TRUE(echo.listening());
  ASSERT_NE(squatter.port(), 0);

  // B remembers a port that another program now holds.
  main_.sync([&] {
    b->preferences.modify(
        [&](Preferences &p) { p.localPorts[a->myDeviceID() + "/" + echoID] = squatter.port(); });
    return 0;
  });
  share(a, echo.port());
  const auto local = connectedPort(b, a);
  ASSERT_TRUE(local);
  EXPECT_NE(*local, squatter.port());
  // The remote port is the echo server's own on this same machine, so the scan decides.
  EXPECT_NE(*local, echo.port());
  EXPECT_GE(*local, 1024);
  auto client = connect(*local);
  ASSERT_TRUE(client);
  EXPECT_EQ(
      main_.sync([&] { return b->preferences->localPorts.at(a->myDeviceID() + "/" + echoID); }),
      *local)
      << "the new choice is remembered";
}

// Real servers behind A's shares: B shows them running with the versions A read, and a server
// that stops answering (its process stopped, its port still accepting) turns "not responding".
TEST_F(ManagerRoad, SharedServersCarryTheirVersionsAndAStoppedOneTurnsNotResponding) {
  using testing::ServerFixture;
  auto redis = ServerFixture::start(ServerFixture::Server::redis, 60);
  ASSERT_TRUE(redis) << redis.error();
  auto postgres = ServerFixture::start(ServerFixture::Server::postgres, 60);
  ASSERT_TRUE(postgres) << postgres.error();
  // A probes often, so that the test need not wait out the real intervals.
  auto a = makeManager("Machine A", [](ServiceManager::Setup &setup) {
    setup.probeEvery = 0.5;
    setup.healthCheckEvery = 1;
  });
  auto b = makeManager("Machine B");
  pair(a, b);
  if (HasFatalFailure())
    return;

  const std::string redisID = "5E1D0C6A-0000-4000-8000-0000000000B1";
  const std::string postgresID = "5E1D0C6A-0000-4000-8000-0000000000B2";
  // B's user picks the routes' ports: the servers hold their own ports on this machine, and a
  // scan from those lands among the ports outgoing connections take.
  const auto redisLocal = testing::quietLoopbackPort();
  const auto postgresLocal = testing::quietLoopbackPort(redisLocal);
  main_.sync([&] {
    EXPECT_FALSE(b->setLocalPort(a->myDeviceID(), redisID, redisLocal, false));
    EXPECT_FALSE(b->setLocalPort(a->myDeviceID(), postgresID, postgresLocal, false));
    return 0;
  });
  main_.sync([&] {
    const auto add = [](Preferences &p, const std::string &id, const std::string &name, int port) {
      ExposedService service;
      service.id = id;
      service.name = name;
      service.port = port;
      service.category = ServiceCategory::database;
      p.services.push_back(service);
    };
    a->preferences.modify([&](Preferences &p) {
      add(p, redisID, "Redis", (*redis)->port());
      add(p, postgresID, "Postgres", (*postgres)->port());
    });
    a->setShareEnabled(redisID, true);
    return 0;
  });
  const auto version = [](const std::string &product, ServerFixture::Server server) {
    return product + " " +
           ServiceVersion::shortVersion(ServerFixture::installedVersion(server)).value_or("?");
  };
  const auto redisVersion = version("Redis", ServerFixture::Server::redis);
  const auto postgresVersion = version("Postgres", ServerFixture::Server::postgres);
  // Read on the main queue: call inside waitUntil's condition, or through main_.sync.
  const auto rowIn = [&](const std::string &id) -> std::optional<IncomingService> {
    for (const auto &row : b->incoming.get())
      if (row.key == RouteKey{a->myDeviceID(), id})
        return row;
    return std::nullopt;
  };
  const auto rowOf = [&](const std::string &id) { return main_.sync([&] { return rowIn(id); }); };
  const auto shows = [&](const std::string &id, const std::string &wanted) {
    return main_.waitUntil([&] {
      const auto row = rowIn(id);
      return row && row->state == IncomingService::State::connected() && row->version == wanted &&
             !row->health;
    });
  };
  EXPECT_TRUE(shows(redisID, redisVersion))
      << "B never showed Redis running as " << redisVersion << "; last version "
      << rowOf(redisID).value_or(IncomingService{}).version.value_or("(none)");
  EXPECT_TRUE(shows(postgresID, postgresVersion))
      << "B never showed Postgres running as " << postgresVersion << "; last version "
      << rowOf(postgresID).value_or(IncomingService{}).version.value_or("(none)");
  for (const auto &id : {redisID, postgresID})
    EXPECT_LT(rowOf(id).value_or(IncomingService{}).localPort.value_or(testing::outgoingPortsStart),
              testing::outgoingPortsStart)
        << "the route to " << id << " listens where connections take ports";
  // A service must have answered once before it can be declared unhealthy.
  ASSERT_TRUE(main_.waitUntil([&] {
    const auto &rows = a->outgoing.get();
    return std::ranges::any_of(rows, [&](const OutgoingService &row) {
      return row.service.id == redisID && row.running && row.responding == std::optional(true);
    });
  }));

  (*redis)->pause();
  EXPECT_TRUE(main_.waitUntil([&] {
    const auto row = rowIn(redisID);
    return row && row->health == std::optional<std::string>("not responding");
  })) << "B never saw Redis stop answering";
  EXPECT_FALSE(rowOf(postgresID).value_or(IncomingService{}).health);

  (*redis)->resume();
  EXPECT_TRUE(main_.waitUntil([&] {
    const auto row = rowIn(redisID);
    return row && !row->health;
  })) << "one answer did not clear the verdict";
}

// The advertisement of a manager's gateway in the shared registry.
std::optional<std::uint64_t> advertisement(const DnsSdRegistry &registry,
                                           const std::string &deviceID) {
  for (const auto &publication : registry.publications())
    if (publication.service.type == ServiceManager::serviceType &&
        publication.service.txt.contains("id") && publication.service.txt.at("id") == deviceID)
      return publication.id;
  return std::nullopt;
}

TEST_F(ManagerRoad, SleepClosesTheRoutesBeforeTheMachineSleepsAndWakeBringsThemBack) {
  testing::PrivateBus bus(testing::PrivateBus::Kind::system);
  if (bus.address().empty())
    GTEST_SKIP() << "no dbus-daemon to stand in for the system bus";
  testing::FakeLogind logind(bus.address());
  ASSERT_TRUE(logind.registered());
  auto a = makeManager("Machine A");
  auto b = makeManager("Machine B", followingSleepOn(bus.address()));
  auto held = logind.inhibits.pop(std::chrono::seconds(30));
  ASSERT_TRUE(held) << "B took no delay before sleep";
  pair(a, b);
  if (HasFatalFailure())
    return;
  EchoServer echo(quietSharePort());
  ASSERT_TRUE(echo.listening());
  share(a, echo.port());
  const auto local = connectedPort(b, a);
  ASSERT_TRUE(local);
  auto client = connect(*local);
  ASSERT_TRUE(client);
  const auto advertised = main_.sync([&] { return advertisement(*registry_, b->myDeviceID()); });
  ASSERT_TRUE(advertised);

  // The machine is about to sleep: B lets go of links, listeners and their streams first.
  logind.emit("b", 1);
  EXPECT_TRUE(testing::closedWithin(held->readEnd, std::chrono::seconds(30)))
      << "the delay was not released";
  close(held->readEnd);
  EXPECT_TRUE(client->waitForClose()) << "a stream through B outlived the sleep";
  EXPECT_TRUE(main_.sync([&] { return b->peerLinks().empty(); }));
  const auto asleep = echoRow(b, a);
  ASSERT_TRUE(asleep);
  EXPECT_EQ(asleep->state, IncomingService::State::asleep());
  EXPECT_EQ(asleep->localPort, local);
  EXPECT_FALSE(Client(static_cast<std::uint16_t>(*local), wait).connected())
      << "B's loopback listener still accepts";

  // Awake again: the settle window opens, the gateway advertises anew, and A's port is back on
  // the same local port.
  const auto settleBefore = main_.sync([&] { return b->settleEnd(); });
  logind.emit("b", 0);
  EXPECT_TRUE(main_.waitUntil([&] { return b->settleEnd() != settleBefore; }));
  EXPECT_TRUE(main_.waitUntil([&] {
    const auto now = advertisement(*registry_, b->myDeviceID());
    return now && now != advertised;
  })) << "B's gateway did not advertise again";
  EXPECT_EQ(connectedPort(b, a), local);
  EXPECT_TRUE(connect(*local)) << "nothing answers at localhost:" << *local << " after the wake";
  auto next = logind.inhibits.pop(std::chrono::seconds(30));
  ASSERT_TRUE(next) << "no new delay after the wake";
  close(next->readEnd);
}

} // namespace
} // namespace corvane::e2e

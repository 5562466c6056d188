// The ports paired Macs offer: rows, states, the local-port choice and what reaches the proxy.
#include "tests/manager/ManagerFixture.h"
#include "tests/support/StderrTap.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace corvane::testing {
namespace {

const std::string pg = "0A000000-0000-4000-8000-000000000001";
const std::string redis = "0A000000-0000-4000-8000-000000000002";
const std::string web = "0A000000-0000-4000-8000-000000000003";

class RoutesTest : public ManagerTest {
protected:
  void SetUp() override {
    make();
    queue->advance(11); // past the settle window
  }

  PairedPeer online(const std::string &name, std::vector<SharedServiceInfo> services) {
    const auto peer = pair(name);
    devices_.push_back(nearbyDevice(peer));
    manager->relayDiscoveryChange(devices_);
    manager->handleLinkEvent(std::move(services), {}, std::nullopt, peer.deviceID);
    return peer;
  }

  std::optional<int> localPort(const PairedPeer &peer, const std::string &id) const {
    const auto *found = row(peer.deviceID, id);
    return found ? found->localPort : std::nullopt;
  }

  std::vector<NearbyDevice> devices_;
};

TEST_F(RoutesTest, RowsComeInPortOrderPerMacAndMacsInNameOrder) {
  const auto zed = online("zed", {offered(web, "Web", 8080), offered(pg, "Postgres", 5432),
                                  offered(redis, "Redis", 6379)});
  const auto alpha = online("Alpha", {offered(web, "Web", 8080)});
  const auto &rows = manager->incoming.get();
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].key.peerID, alpha.deviceID);
  EXPECT_EQ(rows[1].remotePort, 5432);
  EXPECT_EQ(rows[2].remotePort, 6379);
  EXPECT_EQ(rows[3].remotePort, 8080);
  EXPECT_EQ(rows[3].key.peerID, zed.deviceID);
  for (const auto &each : rows)
    EXPECT_EQ(each.state, IncomingService::State::connected());

  // The same remote port on two Macs routed in one pass: the first in name order gets it,
  // the next +20000.
  manager->preferences.modify([&](Preferences &p) {
    p.localPorts.clear();
    p.disabledIncoming = {alpha.deviceID + "/" + web, zed.deviceID + "/" + web};
  });
  manager->reconcileIncoming();
  manager->preferences.modify([&](Preferences &p) { p.disabledIncoming.clear(); });
  manager->reconcileIncoming();
  EXPECT_EQ(localPort(alpha, web), std::optional(8080));
  EXPECT_EQ(localPort(zed, web), std::optional(28080));
  ASSERT_FALSE(recorder.proxy.empty());
  EXPECT_EQ(recorder.proxy.back().size(), 4u);
}

TEST_F(RoutesTest, EveryStateInItsOrderOfPrecedence) {
  const auto mac = online("Studio", {offered(pg, "Postgres", 5432),
                                     offered(redis, "Redis", 6379, /*running=*/false),
                                     offered(web, "Web", 8080)});
  manager->setIncomingEnabled(mac.deviceID, web, false);
  EXPECT_EQ(row(mac.deviceID, web)->state, IncomingService::State::off());
  EXPECT_EQ(row(mac.deviceID, web)->localPort, std::optional(8080)) << "keeps its last port";
  EXPECT_EQ(row(mac.deviceID, redis)->state, IncomingService::State::notRunning());
  EXPECT_EQ(row(mac.deviceID, pg)->state, IncomingService::State::connected());
  EXPECT_EQ(recorder.proxy.back().size(), 1u) << "only the usable port is routed";

  manager->relayRouteStatus(RouteKey{mac.deviceID, pg},
                            ProxyManager::Status::failed("Port 5432 is in use."));
  EXPECT_EQ(row(mac.deviceID, pg)->state, IncomingService::State::failed("Port 5432 is in use."));
  manager->relayRouteStatus(RouteKey{mac.deviceID, pg}, ProxyManager::Status::listening());
  EXPECT_EQ(row(mac.deviceID, pg)->state, IncomingService::State::connected());

  // The link goes down: the remembered list shows every port asleep with its last port.
  manager->handleLinkLost(mac.deviceID);
  for (const auto &each : manager->incoming.get()) {
    if (each.key.serviceID != web) {
      EXPECT_EQ(each.state, IncomingService::State::asleep());
    }
  }
  EXPECT_EQ(row(mac.deviceID, pg)->localPort, std::optional(5432));
  EXPECT_TRUE(recorder.proxy.back().empty());
  EXPECT_FALSE(manager->assigned().contains(RouteKey{mac.deviceID, pg}));
}

TEST_F(RoutesTest, RefusalsAndActivityShowOnConnectedRowsOnly) {
  const auto mac = online("Studio", {offered(pg, "Postgres", 5432)});
  const RouteKey key{mac.deviceID, pg};
  manager->relayRouteActivity(key, 2);
  EXPECT_TRUE(row(mac.deviceID, pg)->inUse);
  manager->relayRouteActivity(key, 0);
  EXPECT_FALSE(row(mac.deviceID, pg)->inUse);

  manager->relayRouteRefusal(key, "not running");
  EXPECT_EQ(row(mac.deviceID, pg)->problem, std::optional<std::string>("not running"));
  const auto passes = recorder.proxy.size();
  manager->relayRouteRefusal(key, "not running");
  EXPECT_EQ(recorder.proxy.size(), passes) << "an unchanged refusal runs no pass";
  // The next services report clears the Mac's refusals.
  manager->handleLinkEvent({offered(pg, "Postgres", 5432)}, {}, std::nullopt, mac.deviceID);
  EXPECT_EQ(row(mac.deviceID, pg)->problem, std::nullopt);
}

TEST_F(RoutesTest, RefusedStreamsAreLoggedWithTheirCountAtMostOnceAMinutePerRoute) {
  const auto mac = online("Studio", {offered(pg, "Postgres", 5432), offered(redis, "Redis", 6379)});
  const std::string postgres = "Route to \"Postgres\" of Studio: ";
  const std::string why = " stream(s) not opened, the latest refused by the other machine: "
                          "too many connections";
  ::testing::internal::CaptureStderr();
  for (int i = 0; i < 74; ++i) { // 40 a second
    manager->relayRouteRefusal({mac.deviceID, pg}, "too many connections");
    queue->advance(0.025);
  }
  manager->relayRouteRefusal({mac.deviceID, redis}, "unreachable");
  queue->advance(ServiceManager::refusalLogInterval + 1);
  manager->relayRouteRefusal({mac.deviceID, pg}, "too many connections");
  // The other machine's text cannot start a line of its own.
  manager->relayRouteRefusal({mac.deviceID, redis}, "not\nshared");
  const auto log = ::testing::internal::GetCapturedStderr();
  // The first at once, and the rest of the burst once the minute is over; the one after is
  // held for the next minute.
  EXPECT_EQ(count(log, postgres), 2u) << log;
  EXPECT_EQ(count(log, postgres + "1" + why), 1u) << log;
  EXPECT_EQ(count(log, postgres + "73" + why), 1u) << log;
  EXPECT_EQ(count(log, "Route to \"Redis\" of Studio: 1 stream(s) not opened, the latest could "
                       "not reach the other machine"),
            1u)
      << log;
  EXPECT_EQ(count(log, "Route to \"Redis\" of Studio: 1 stream(s)"), 2u) << log;
  EXPECT_EQ(count(log, "\nshared"), 0u) << log;
}

TEST_F(RoutesTest, AnIdenticalPassNotifiesNobody) {
  const auto mac = online("Studio", {offered(pg, "Postgres", 5432)});
  int notified = 0;
  auto subscription = manager->incoming.subscribe([&](const auto &) { ++notified; });
  manager->reconcileIncoming();
  manager->relayRouteActivity(RouteKey{mac.deviceID, pg}, 0);
  EXPECT_EQ(notified, 0);
}

TEST_F(RoutesTest, LatencyIsRoundedToWholeMillisecondsAndAbsurdSamplesAreIgnored) {
  const auto mac = online("Studio", {offered(pg, "Postgres", 5432)});
  manager->applyLatency(mac.deviceID, 0.0004);
  EXPECT_EQ(row(mac.deviceID, pg)->latencyMs, std::optional(1));
  manager->applyLatency(mac.deviceID, 0.0125); // smoothed 0.00403, then the smaller
  EXPECT_EQ(row(mac.deviceID, pg)->latencyMs, std::optional(4));

  const auto other = online("Other", {offered(pg, "Postgres", 5432)});
  manager->applyLatency(other.deviceID, 0.0125);
  EXPECT_EQ(row(other.deviceID, pg)->latencyMs, std::optional(13));
  manager->applyLatency(other.deviceID, std::numeric_limits<double>::quiet_NaN());
  manager->applyLatency(other.deviceID, 1e300);
  manager->applyLatency(other.deviceID, -1);
  EXPECT_EQ(row(other.deviceID, pg)->latencyMs, std::optional(13));
}

TEST_F(RoutesTest, TheRememberedPortComesFirstAndAnAutomaticChoiceIsRemembered) {
  const auto mac = pair("Studio");
  manager->preferences.modify([&](Preferences &record) {
    record.localPorts[mac.deviceID + "/" + pg] = 15432;
    record.localPorts[mac.deviceID + "/" + redis] = 16379;
  });
  recorder.listening4.insert(16379);
  recorder.bind4[16379] = BindResult::inUse;
  devices_.push_back(nearbyDevice(mac));
  manager->relayDiscoveryChange(devices_);
  const auto shares = {offered(pg, "Postgres", 5432), offered(redis, "Redis", 6379)};
  ::testing::internal::CaptureStderr();
  manager->handleLinkEvent(shares, {}, std::nullopt, mac.deviceID);
  EXPECT_EQ(localPort(mac, pg), std::optional(15432));
  // Taken by another program: the remote port instead, remembered and saved.
  EXPECT_EQ(localPort(mac, redis), std::optional(6379));
  EXPECT_EQ(ServiceManager::loadPreferences(*defaults).localPorts.at(mac.deviceID + "/" + redis),
            6379);
  // Said once, with both ports; the route back later is where it was last.
  manager->handleLinkLost(mac.deviceID);
  manager->handleLinkEvent(shares, {}, std::nullopt, mac.deviceID);
  const auto log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(count(log, "Route to \"Redis\" of Studio: port 16379, where it listened before, is "
                       "taken by another program; it now listens on 6379"),
            1u)
      << log;
  EXPECT_EQ(count(log, "where it listened before"), 1u) << log;
  EXPECT_EQ(localPort(mac, redis), std::optional(6379));
}

TEST_F(RoutesTest, APortTakenOnIPv6LoopbackMovesTheRouteAndIsNotChosenAgainThisRun) {
  const auto mac = online("Studio", {offered(pg, "Postgres", 5432)});
  const RouteKey key{mac.deviceID, pg};
  ASSERT_EQ(localPort(mac, pg), std::optional(5432));
  manager->relayRouteStatus(key, ProxyManager::Status::listening());

  // Another program bound [::1]:5432 after the check; the proxy gave the port up.
  ::testing::internal::CaptureStderr();
  manager->relayRouteStatus(key, ProxyManager::Status::taken(5432));
  auto log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(localPort(mac, pg), std::optional(25432));
  ASSERT_EQ(recorder.proxy.back().size(), 1u);
  EXPECT_EQ(recorder.proxy.back()[0].localPort, 25432);
  EXPECT_EQ(row(mac.deviceID, pg)->state, IncomingService::State::connected());
  EXPECT_EQ(ServiceManager::loadPreferences(*defaults).localPorts.at(mac.deviceID + "/" + pg),
            25432);
  EXPECT_EQ(count(log, "Route to \"Postgres\" of Studio: port 5432 is taken on ::1 by another "
                       "program; it now listens on 25432"),
            1u)
      << log;
  EXPECT_EQ(count(log, "cannot listen"), 0u) << log;
  EXPECT_EQ(count(log, "where it listened before"), 0u) << log;

  // A late word about the port it left moves nothing.
  manager->relayRouteStatus(key, ProxyManager::Status::taken(5432));
  EXPECT_EQ(localPort(mac, pg), std::optional(25432));
  // Even chosen afresh, the port given up is passed over while the route lives, though the
  // check finds it free again.
  manager->setLocalPort(mac.deviceID, pg, 0, /*automatic=*/true);
  EXPECT_EQ(localPort(mac, pg), std::optional(25432));
  // The user's own choice is tried all the same.
  EXPECT_EQ(manager->setLocalPort(mac.deviceID, pg, 5432, /*automatic=*/false), std::nullopt);
  EXPECT_EQ(localPort(mac, pg), std::optional(5432));
}

// A paired Mac whose list changes every second, each time with new shares.
TEST_F(RoutesTest, AMacWhoseSharesKeepChangingLeavesBoundedSettingsAndLogsEachRoute) {
  const auto mac = online("Studio", {});
  const auto list = [](int round) {
    std::vector<SharedServiceInfo> shares;
    for (int i = 0; i < 20; ++i) {
      char id[37];
      std::snprintf(id, sizeof id, "0B%06d-0000-4000-8000-%012d", round, i);
      shares.push_back(offered(id, "svc-" + std::to_string(i), 7000 + i));
    }
    return shares;
  };
  ::testing::internal::CaptureStderr();
  for (int round = 0; round < 40; ++round) {
    manager->handleLinkEvent(list(round), {}, std::nullopt, mac.deviceID);
    for (const auto &share : list(round))
      manager->relayRouteStatus({mac.deviceID, share.id}, ProxyManager::Status::listening());
    queue->advance(1);
  }
  const auto log = ::testing::internal::GetCapturedStderr();
  // Each is a route of its own, changing no more than once.
  EXPECT_EQ(count(log, "listening on localhost"), 40u * 20u);
  EXPECT_EQ(count(log, "change often"), 0u) << log;

  const auto remembered = [&] { return ServiceManager::loadPreferences(*defaults).localPorts; };
  const auto rememberedOf = [&](int round) {
    return std::ranges::count_if(list(round), [&](const auto &share) {
      return remembered().contains(mac.deviceID + "/" + share.id);
    });
  };
  EXPECT_EQ(remembered().size(), ServiceManager::routePortsPerPeer);
  EXPECT_EQ(rememberedOf(39), 20);
  // Sharing paused for a day forgets no port.
  manager->handleLinkEvent({}, {}, std::nullopt, mac.deviceID);
  queue->advance(24 * 60 * 60);
  manager->handleLinkEvent(list(39), {}, std::nullopt, mac.deviceID);
  EXPECT_EQ(remembered().size(), ServiceManager::routePortsPerPeer);
  EXPECT_EQ(rememberedOf(38), 20) << "gone for more than a day";
  // New shares past the cap push out the ports gone longest.
  manager->handleLinkEvent(list(40), {}, std::nullopt, mac.deviceID);
  EXPECT_EQ(remembered().size(), ServiceManager::routePortsPerPeer);
  EXPECT_EQ(rememberedOf(39), 20);
  EXPECT_EQ(rememberedOf(35), 20);
  EXPECT_EQ(rememberedOf(33), 0);
}

// Twenty shares, the first of which keeps stopping and starting.
TEST_F(RoutesTest, OnlyARouteThatKeepsChangingIsHeldBackInTheLogAndNeverItsFailures) {
  std::vector<SharedServiceInfo> shares;
  for (int i = 0; i < 20; ++i) {
    char id[37];
    std::snprintf(id, sizeof id, "0C000000-0000-4000-8000-%012d", i);
    shares.push_back(offered(id, "svc-" + std::to_string(i), 7000 + i));
  }
  const auto report = [&](const PairedPeer &mac) {
    manager->handleLinkEvent(shares, {}, std::nullopt, mac.deviceID);
    for (const auto &share : shares)
      if (share.running)
        manager->relayRouteStatus({mac.deviceID, share.id}, ProxyManager::Status::listening());
  };
  ::testing::internal::CaptureStderr();
  const auto mac = online("Studio", {});
  report(mac);
  auto log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(count(log, "listening on localhost"), 20u) << log;
  EXPECT_EQ(count(log, "change often"), 0u) << log;

  ::testing::internal::CaptureStderr();
  for (int round = 0; round < 40; ++round) {
    shares[0].running = round % 2 == 1;
    report(mac);
  }
  manager->relayRouteStatus({mac.deviceID, shares[0].id},
                            ProxyManager::Status::failed("Port 7000 is in use."));
  log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(count(log, "listening on localhost"), ServiceManager::routeLogBurst - 1u) << log;
  EXPECT_EQ(count(log, "\"svc-0\" of Studio changes often"), 1u) << log;
  EXPECT_EQ(count(log, "cannot listen on port 7000: Port 7000 is in use."), 1u) << log;

  // After a wake every route shows again, the one held back too.
  ::testing::internal::CaptureStderr();
  manager->systemWillSleep();
  manager->systemDidWake();
  report(mac);
  log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(count(log, "listening on localhost"), 20u) << log;
}

TEST_F(RoutesTest, ScanSkipsPortsBoundOnEitherLoopbackAndWrapsHighPorts) {
  // 5432 and 25432 are taken (listening); 25433 and 25434 are bound by another program that
  // does not listen yet, on one address each: whoever holds either would get the route's
  // clients once it listens. 25435 has no IPv6 loopback at all, which leaves IPv4 alone.
  recorder.bind4[5432] = BindResult::inUse;
  recorder.listening4.insert(5432);
  recorder.bind4[25432] = BindResult::inUse;
  recorder.listening6.insert(25432);
  recorder.bind6[25432] = BindResult::inUse;
  recorder.bind4[25433] = BindResult::inUse;
  recorder.bind6[25434] = BindResult::inUse;
  recorder.bind6[25435] = BindResult::otherError;
  // 50000 + 20000 passes 65535: the scan starts at 40000.
  recorder.bind4[50000] = BindResult::otherError;
  const auto mac = online("Studio", {offered(pg, "Postgres", 5432), offered(web, "Web", 50000)});
  EXPECT_EQ(localPort(mac, pg), std::optional(25435));
  EXPECT_EQ(localPort(mac, web), std::optional(40000));
}

TEST_F(RoutesTest, NoFreePortAfterTwoHundredCandidatesFailsTheRowWithoutARoute) {
  for (int port = 1; port <= 65535; ++port)
    recorder.bind4[port] = BindResult::otherError;
  const auto mac = online("Studio", {offered(pg, "Postgres", 5432)});
  const auto *failed = row(mac.deviceID, pg);
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->state, IncomingService::State::failed("No free port on this Mac"));
  EXPECT_EQ(failed->localPort, std::nullopt);
  EXPECT_TRUE(recorder.proxy.back().empty());
  EXPECT_LE(recorder.bindTests, 2 + 200) << "the scan must stop after 200 candidates";

  // The next pass tries again, and a port that frees up is taken.
  recorder.bind4.erase(25500);
  manager->reconcileIncoming();
  EXPECT_EQ(localPort(mac, pg), std::optional(25500));
}

TEST_F(RoutesTest, AnAssignedPortIsKeptWithoutNewSocketTestsAndOwnSharesAreNeverChosen) {
  manager->preferences.modify([](Preferences &p) {
    ExposedService own;
    own.id = "0B000000-0000-4000-8000-000000000001";
    own.name = "Mine";
    own.port = 5432;
    p.services.push_back(own);
  });
  const auto mac = online("Studio", {offered(pg, "Postgres", 5432)});
  EXPECT_EQ(localPort(mac, pg), std::optional(25432));
  const int tests = recorder.bindTests;
  manager->reconcileIncoming();
  EXPECT_EQ(recorder.bindTests, tests);
}

TEST(ReceivedServices, CleaningBoundsTheListAndDropsBrokenRepeatedOrNamelessEntries) {
  std::vector<SharedServiceInfo> list;
  for (int i = 0; i < 100; ++i) {
    SharedServiceInfo s;
    s.id = "ID-" + std::to_string(i);
    s.name = "Service " + std::to_string(i);
    s.port = 1000 + i;
    list.push_back(s);
  }
  list[0].port = 0;
  list[1].port = 70000;
  list[2].id = "";
  list[3].id = list[4].id; // the later repeat is the one dropped
  list[5].name = "\u200B  ";
  list[6].health = "down";
  list[7].health = "not responding";
  list[8].version = std::string("  1.2\u0007.3") + std::string(40, 'x');
  list[9].environment = "   ";
  list[10].name = std::string(65, 'n');
  const auto cleaned = ServiceManager::sanitizeReceivedServices(list);
  // 64 considered; dropped: ports 0 and 70000, the empty id, the repeat, the blank and the long
  // name.
  EXPECT_EQ(cleaned.size(), 64u - 6u);
  std::set<std::string> ids;
  for (const auto &s : cleaned) {
    EXPECT_FALSE(s.id.empty());
    EXPECT_TRUE(ids.insert(s.id).second) << "repeated id " << s.id;
    EXPECT_GE(s.port, 1);
    EXPECT_LE(s.port, 65535);
  }
  const auto find = [&](const std::string &id) {
    return std::find_if(cleaned.begin(), cleaned.end(), [&](auto &s) { return s.id == id; });
  };
  EXPECT_EQ(find("ID-6")->health, std::nullopt);
  EXPECT_EQ(find("ID-7")->health, std::optional<std::string>("not responding"));
  EXPECT_EQ(find("ID-8")->version, std::optional<std::string>("1.2.3" + std::string(19, 'x')));
  EXPECT_EQ(find("ID-9")->environment, std::nullopt);
  EXPECT_EQ(find("ID-4")->name, "Service 3");
}

TEST(IncomingGroups, NamedGroupsInFirstOrderThenTheUnnamedLast) {
  std::vector<IncomingService> rows(4);
  rows[0].environment = "Dev";
  rows[1].name = "loose";
  rows[2].environment = "Staging";
  rows[3].environment = "Dev";
  const auto groups = ServiceManager::groupIncomingByEnvironment(rows);
  ASSERT_EQ(groups.size(), 3u);
  EXPECT_EQ(groups[0].environment, std::optional<std::string>("Dev"));
  EXPECT_EQ(groups[0].rows.size(), 2u);
  EXPECT_EQ(groups[1].environment, std::optional<std::string>("Staging"));
  EXPECT_EQ(groups[2].environment, std::nullopt);
  EXPECT_EQ(groups[2].rows[0].name, "loose");
}

} // namespace
} // namespace corvane::testing

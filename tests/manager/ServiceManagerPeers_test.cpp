// Operations on paired Macs and on this Mac's name, the local port of an incoming port, the
// access log and the notification switches.
#include "brimvale/platform/Json.h"
#include "tests/manager/ManagerFixture.h"

#include <limits>

namespace corvane::testing {
namespace {

const std::string pg = "0F000000-0000-4000-8000-000000000001";
const std::string redis = "0F000000-0000-4000-8000-000000000002";
const std::string own = "0F000000-0000-4000-8000-000000000003";

class PeersTest : public ManagerTest {
protected:
  void SetUp() override {
    make();
    queue->advance(11);
  }

  Preferences saved() const { return ServiceManager::loadPreferences(*defaults); }
  Json savedJson() const { return *parseJson(*defaults->data(Preferences::defaultsKey)); }
  Date today() const { return 1000 + queue->now(); }
};

TEST_F(PeersTest, UnpairingForgetsEverythingAboutThatMacOnly) {
  const auto gone = pair("Gone");
  const auto kept = pair("Kept");
  const std::string g = gone.deviceID;
  const std::string k = kept.deviceID;
  manager->forwardSecret.set({{g, false}, {k, true}});
  manager->accessLog.modify([&](AccessLog &log) {
    (void)log.record(g, "Gone", "Postgres", 5432, today());
    (void)log.record(k, "Kept", "Postgres", 5432, today());
  });
  manager->preferences.modify([&](Preferences &p) {
    ExposedService onlyGone;
    onlyGone.id = pg;
    onlyGone.name = "Postgres";
    onlyGone.port = 5432;
    onlyGone.allowed = std::set<std::string>{g};
    ExposedService both = onlyGone;
    both.id = redis;
    both.name = "Redis";
    both.port = 6379;
    both.allowed = std::set<std::string>{g, k};
    ExposedService everyone = onlyGone;
    everyone.id = own;
    everyone.name = "Web";
    everyone.port = 8080;
    everyone.allowed.reset();
    p.services = {onlyGone, both, everyone};
    // A key that merely begins with the identifier belongs to another Mac.
    p.localPorts = {{g + "/a", 5000}, {g + "/b", 5001}, {k + "/a", 5002}, {g + "0/x", 5003}};
    p.disabledIncoming = {g + "/a", k + "/a", g};
    p.nicknames = std::map<std::string, std::string>{{g, "Old box"}};
    p.addresses = std::map<std::string, std::string>{{g, "10.0.0.2"}, {k, "10.0.0.3"}};
    p.hardware = std::map<std::string, std::vector<std::string>>{{g, {"aa:bb:cc:dd:ee:ff"}}};
    p.lastSeen = std::map<std::string, Date>{{g, 5}, {k, 6}};
    p.knownServices = {{g, {offered("a", "A", 1)}}, {k, {offered("a", "A", 1)}}};
  });

  manager->unpair(g);
  EXPECT_FALSE(manager->peers()->findPeer(g));
  EXPECT_TRUE(manager->peers()->findPeer(k));
  EXPECT_EQ(manager->forwardSecret.get(), (std::map<std::string, bool>{{k, true}}));
  ASSERT_EQ(manager->accessLog->entries.size(), 1u);
  EXPECT_EQ(manager->accessLog->entries[0].peerID, k);
  for (const auto &pair : manager->accessLog->seenPairs)
    EXPECT_FALSE(pair.starts_with(g + "/"));

  const auto p = saved();
  EXPECT_EQ(p.services[0].allowed, std::optional(std::set<std::string>{})) << "no one, not all";
  EXPECT_EQ(p.services[1].allowed, std::optional(std::set<std::string>{k}));
  EXPECT_FALSE(p.services[2].allowed);
  EXPECT_EQ(p.localPorts, (std::map<std::string, int>{{k + "/a", 5002}, {g + "0/x", 5003}}));
  EXPECT_EQ(p.disabledIncoming, (std::set<std::string>{k + "/a", g}));
  EXPECT_FALSE(p.nicknames);
  EXPECT_FALSE(savedJson().contains("nicknames"));
  EXPECT_EQ(p.addresses, (std::optional(std::map<std::string, std::string>{{k, "10.0.0.3"}})));
  EXPECT_TRUE(!p.hardware || !p.hardware->contains(g));
  EXPECT_EQ(p.lastSeen->size(), 1u);
  EXPECT_EQ(p.knownServices.size(), 1u);
  EXPECT_EQ(recorder.gateway.back().access.at(pg), std::set<std::string>{});

  // The log's removal is saved shortly after.
  queue->advance(AccessLog::saveDelay + 0.1);
  EXPECT_EQ(AccessLog::load(*defaults).entries.size(), 1u);

  // The last address going leaves the map absent.
  manager->unpair(k);
  EXPECT_FALSE(saved().addresses);
  EXPECT_FALSE(savedJson().contains("addresses"));
}

TEST_F(PeersTest, NicknamesAndTypedAddresses) {
  const auto mac = pair("Studio");
  manager->setNickname(mac.deviceID, std::string("  Render\u202E box ") + std::string(50, '!'));
  ASSERT_TRUE(manager->preferences->nicknames);
  const auto nickname = manager->preferences->nicknames->at(mac.deviceID);
  EXPECT_TRUE(nickname.starts_with("Render box")) << nickname;
  EXPECT_EQ(nickname.size(), 40u);
  EXPECT_EQ(manager->peerDisplayName(mac.deviceID), nickname);
  manager->setNickname("unpaired", "Ghost");
  EXPECT_FALSE(manager->preferences->nicknames->contains("unpaired"));
  manager->setNickname(mac.deviceID, std::nullopt);
  EXPECT_FALSE(manager->preferences->nicknames);
  EXPECT_FALSE(savedJson().contains("nicknames"));
  EXPECT_EQ(manager->peerDisplayName(mac.deviceID), "Studio");

  EXPECT_EQ(manager->setManualAddress(mac.deviceID, " fe80::1%lo "), std::nullopt);
  EXPECT_EQ(manager->manualAddress(mac.deviceID),
            std::optional(ManualAddress::displayText("fe80::1%lo", std::nullopt)));
  EXPECT_EQ(manager->setManualAddress(mac.deviceID, "192.168.1.20:46310"), std::nullopt);
  EXPECT_EQ(saved().addresses->at(mac.deviceID), "192.168.1.20:46310");
  EXPECT_TRUE(manager->nearbyDevices().contains(mac.deviceID)) << "the link goes there";
  EXPECT_EQ(manager->setManualAddress(mac.deviceID, "8.8.8.8"), ManualAddress::Problem::notLocal);
  EXPECT_EQ(manager->setManualAddress(mac.deviceID, "192.168.1.20:"),
            ManualAddress::Problem::unreadable);
  EXPECT_EQ(manager->manualAddress(mac.deviceID), std::optional<std::string>("192.168.1.20:46310"))
      << "a refusal keeps the old one";
  EXPECT_EQ(manager->setManualAddress("unpaired", "10.0.0.1"), std::nullopt);
  EXPECT_FALSE(manager->manualAddress("unpaired"));
  EXPECT_EQ(manager->setManualAddress(mac.deviceID, " \n"), std::nullopt);
  EXPECT_FALSE(manager->preferences->addresses);
  EXPECT_FALSE(savedJson().contains("addresses"));
}

TEST_F(PeersTest, LastSeenVersionNoticeAndWake) {
  const auto mac = pair("Studio");
  const auto &id = mac.deviceID;
  EXPECT_EQ(manager->lastSeenText(id), "not nearby");
  const auto seenAgo = [&](double seconds) {
    manager->preferences.modify([&](Preferences &p) {
      p.lastSeen = std::map<std::string, Date>{{id, today() - seconds}};
    });
    return manager->lastSeenText(id);
  };
  EXPECT_EQ(seenAgo(59), "seen just now");
  EXPECT_EQ(seenAgo(-3600), "seen just now") << "a time in the future";
  EXPECT_EQ(seenAgo(59 * 60), "seen 59 min ago");
  EXPECT_EQ(seenAgo(60 * 60), "seen 1 hr ago");
  EXPECT_EQ(seenAgo(2879 * 60), "seen 47 hr ago");
  EXPECT_EQ(seenAgo(2880 * 60), "seen 2 days ago");
  // Absurd stored times give a phrase, not an overflow.
  EXPECT_EQ(seenAgo(1e300).substr(0, 5), "seen ");
  EXPECT_EQ(seenAgo(std::numeric_limits<double>::infinity()).substr(0, 5), "seen ");
  EXPECT_EQ(seenAgo(std::numeric_limits<double>::quiet_NaN()), "not nearby");
  manager->onlinePeerIDs.set({id});
  EXPECT_EQ(manager->lastSeenText(id), "nearby now");

  EXPECT_EQ(manager->olderVersionNotice(id), std::nullopt);
  manager->forwardSecret.set({{id, false}});
  EXPECT_EQ(manager->olderVersionNotice(id),
            std::optional<std::string>(
                "Studio runs an older Corvane. Update it there for forward secrecy."));
  manager->forwardSecret.set({{id, true}});
  EXPECT_EQ(manager->olderVersionNotice(id), std::nullopt);

  EXPECT_FALSE(manager->canWake(id));
  manager->preferences.modify([&](Preferences &p) {
    p.hardware = std::map<std::string, std::vector<std::string>>{{id, {}}};
  });
  EXPECT_FALSE(manager->canWake(id));
  manager->preferences.modify([&](Preferences &p) { (*p.hardware)[id] = {"aa:bb:cc:dd:ee:ff"}; });
  EXPECT_TRUE(manager->canWake(id));
}

TEST_F(PeersTest, ThisMacsName) {
  EXPECT_EQ(manager->deviceName.get(), "studio");
  manager->setDeviceName(std::string(50, 'n'));
  EXPECT_EQ(manager->deviceName.get(), std::string(40, 'n'));
  EXPECT_EQ(defaults->string(ServiceManager::deviceNameKey), std::string(40, 'n'));
  EXPECT_EQ(manager->pairingCoordinator()->deviceName(), std::string(40, 'n'));
  manager->setDeviceName("  \t");
  EXPECT_EQ(manager->deviceName.get(), "studio");
  EXPECT_FALSE(defaults->string(ServiceManager::deviceNameKey));
  EXPECT_EQ(manager->pairingCoordinator()->deviceName(), "studio");
}

TEST_F(PeersTest, APreviewNeverTouchesTheStoredName) {
  manager->shutdown();
  queue->runUntilIdle();
  defaults->setString(ServiceManager::deviceNameKey, "Stored");
  make(/*preview=*/true);
  EXPECT_EQ(manager->deviceName.get(), "studio") << "a preview reads no stored name";
  manager->setDeviceName("Renamed");
  EXPECT_EQ(manager->deviceName.get(), "Renamed");
  manager->setDeviceName(" ");
  EXPECT_EQ(manager->deviceName.get(), "studio");
  EXPECT_EQ(defaults->string(ServiceManager::deviceNameKey), std::optional<std::string>("Stored"));
}

class LocalPortTest : public PeersTest {
protected:
  void SetUp() override {
    PeersTest::SetUp();
    manager->preferences.modify([&](Preferences &p) {
      ExposedService service;
      service.id = own;
      service.name = "Web";
      service.port = 8080;
      p.services = {service};
    });
    mac = pair("Studio");
    manager->relayDiscoveryChange({nearbyDevice(mac)});
    manager->handleLinkEvent({offered(pg, "Postgres", 5432), offered(redis, "Redis", 6379)}, {},
                             std::nullopt, mac.deviceID);
  }

  std::optional<int> localPort(const std::string &id) const {
    return row(mac.deviceID, id)->localPort;
  }

  PairedPeer mac;
};

TEST_F(LocalPortTest, RefusedChoicesChangeNothing) {
  const auto before = manager->preferences.get();
  using Case = PortChoiceProblem::Case;
  const auto choose = [&](int port) {
    return manager->setLocalPort(mac.deviceID, pg, port, false);
  };
  EXPECT_EQ(choose(1023)->which, Case::outOfRange);
  EXPECT_EQ(choose(65536)->which, Case::outOfRange);
  EXPECT_EQ(choose(-1)->which, Case::outOfRange);
  EXPECT_EQ(choose(8080), PortChoiceProblem::usedHere(8080)) << "this Mac's own share";
  EXPECT_EQ(choose(6379), PortChoiceProblem::usedHere(6379)) << "the other route's port";
  recorder.bind4[15432] = BindResult::inUse;
  recorder.listening4.insert(15432);
  EXPECT_EQ(choose(15432), PortChoiceProblem::usedElsewhere(15432));
  EXPECT_EQ(portProblemText(15432, *choose(15432)), "Another app is using port 15432 on this Mac.");
  EXPECT_EQ(manager->preferences.get(), before);
  EXPECT_EQ(localPort(pg), std::optional(5432));

  // A route switched off still holds its remembered port; one no longer shown does not.
  manager->setIncomingEnabled(mac.deviceID, redis, false);
  EXPECT_EQ(choose(6379), PortChoiceProblem::usedHere(6379));
  manager->preferences.modify([&](Preferences &p) { p.localPorts["gone/x"] = 7000; });
  EXPECT_EQ(choose(7000), std::nullopt);
  EXPECT_EQ(localPort(pg), std::optional(7000));
}

TEST_F(LocalPortTest, ChosenAndAutomaticPorts) {
  const auto key = mac.deviceID + "/" + pg;
  // The port it already listens on: saved, nothing rebuilt.
  int rebuilt = 0;
  {
    auto subscription = manager->incoming.subscribe([&](const auto &) { ++rebuilt; });
    const auto passes = recorder.proxy.size();
    EXPECT_EQ(manager->setLocalPort(mac.deviceID, pg, 5432, false), std::nullopt);
    EXPECT_EQ(recorder.proxy.size(), passes);
    EXPECT_EQ(rebuilt, 0);
    EXPECT_EQ(manager->assigned().at(RouteKey{mac.deviceID, pg}), 5432);
  }

  EXPECT_EQ(manager->setLocalPort(mac.deviceID, pg, 15432, false), std::nullopt);
  EXPECT_EQ(localPort(pg), std::optional(15432));
  EXPECT_EQ(saved().localPorts.at(key), 15432);
  bool routed = false;
  for (const auto &route : recorder.proxy.back())
    routed |= route.key == RouteKey{mac.deviceID, pg} && route.localPort == 15432;
  EXPECT_TRUE(routed);

  // Automatic forgets the choice; the next pass picks the remote port again.
  EXPECT_EQ(manager->setLocalPort(mac.deviceID, pg, 0, true), std::nullopt);
  EXPECT_EQ(localPort(pg), std::optional(5432));
  EXPECT_EQ(saved().localPorts.at(key), 5432) << "what the pass chose is remembered";
}

TEST_F(PeersTest, ClearingTheLogKeepsSeenPairsAndSavesItShortlyAfter) {
  manager->accessLog.modify(
      [&](AccessLog &log) { (void)log.record("peer", "Studio", "Postgres", 5432, today()); });
  manager->scheduleAccessLogSave();
  queue->advance(AccessLog::saveDelay + 0.1);
  ASSERT_EQ(AccessLog::load(*defaults).entries.size(), 1u);
  manager->clearAccessLog();
  manager->clearAccessLog();
  EXPECT_TRUE(manager->accessLog->entries.empty());
  EXPECT_FALSE(manager->accessLog->seenPairs.empty());
  EXPECT_EQ(AccessLog::load(*defaults).entries.size(), 1u) << "saved later, not at once";
  queue->advance(AccessLog::saveDelay + 0.1);
  const auto stored = AccessLog::load(*defaults);
  EXPECT_TRUE(stored.entries.empty());
  EXPECT_EQ(stored.seenPairs, manager->accessLog->seenPairs);
}

TEST_F(PeersTest, NotificationSwitchesAreStoredExplicitly) {
  manager->setNotifyFirstUse(false);
  manager->setNotifyServiceDown(true);
  manager->setNotifyMacBack(false);
  const auto json = savedJson();
  EXPECT_EQ(json["notifyFirstUse"], false);
  EXPECT_EQ(json["notifyServiceDown"], true);
  EXPECT_EQ(json["notifyMacBack"], false);
  manager->setNotifyFirstUse(true);
  EXPECT_EQ(saved().notifyFirstUse, std::optional(true));
}

} // namespace
} // namespace corvane::testing

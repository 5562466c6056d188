// Notifications the manager decides: outages of ports this Mac used, the first use of a share,
// Macs that come back or wake; and the saving of what waits to be saved.
#include "tests/manager/ManagerFixture.h"

namespace corvane::testing {
namespace {

const std::string pg = "0D000000-0000-4000-8000-000000000001";

class NoticesTest : public ManagerTest {
protected:
  void SetUp() override { make(); }

  PairedPeer online(const std::string &name) {
    return onlineSharing(name, offered(pg, "Postgres", 5432));
  }

  // This Mac opens and closes a connection through the Mac's port.
  void use(const PairedPeer &mac) {
    manager->relayRouteActivity(RouteKey{mac.deviceID, pg}, 1);
    manager->relayRouteActivity(RouteKey{mac.deviceID, pg}, 0);
  }

  void report(const PairedPeer &mac, bool running = true) {
    manager->handleLinkEvent({offered(pg, "Postgres", 5432, running)}, {}, std::nullopt,
                             mac.deviceID);
  }

  int notesTitled(const std::string &title) const {
    return static_cast<int>(std::ranges::count_if(
        recorder.notes, [&](const auto &note) { return note.title == title; }));
  }

  // A Mac used `usedBefore` seconds before it was last seen live, gone `absence` seconds, and
  // (when given) this Mac asleep `sleptBefore` seconds before that last sighting: whether its
  // return gets the back note.
  bool backNote(const std::string &name, double usedBefore, double absence,
                std::optional<double> sleptBefore = std::nullopt) {
    const auto mac = online(name);
    use(mac);
    if (sleptBefore) {
      queue->advance(usedBefore - *sleptBefore);
      manager->systemWillSleep();
      manager->systemDidWake();
      report(mac);
      queue->advance(*sleptBefore);
    } else {
      queue->advance(usedBefore);
    }
    manager->reconcileIncoming(); // the last look at it while live
    manager->handleLinkLost(mac.deviceID);
    queue->advance(absence);
    recorder.notes.clear();
    report(mac);
    return notesTitled(name + " is back") == 1 && recorder.notes.size() == 1;
  }
};

TEST_F(NoticesTest, AUsedPortIsAnnouncedOnceAfterThirtySecondsDown) {
  const auto mac = online("Studio");
  use(mac);
  report(mac, false);
  const double since = 1000 + queue->now();
  queue->advance(29.9);
  manager->reconcileIncoming();
  EXPECT_TRUE(recorder.notes.empty()) << "announced after 29.9 s";
  queue->advance(0.1);
  ASSERT_EQ(1000 + queue->now() - since, 30.0);
  manager->reconcileIncoming();
  ASSERT_EQ(recorder.notes.size(), 1u);
  EXPECT_EQ(recorder.notes[0].title, "Postgres on Studio");
  EXPECT_EQ(recorder.notes[0].body, "It stopped running on Studio.");

  // Still down, asleep in between, down again: the same outage.
  queue->advance(60);
  manager->reconcileIncoming();
  manager->handleLinkLost(mac.deviceID);
  report(mac, false);
  queue->advance(60);
  manager->reconcileIncoming();
  EXPECT_EQ(recorder.notes.size(), 1u);

  // Answering again ends the outage; the next one is told again.
  report(mac, true);
  use(mac);
  report(mac, false);
  queue->advance(30);
  manager->reconcileIncoming();
  EXPECT_EQ(recorder.notes.size(), 2u);
}

TEST_F(NoticesTest, OnlyRecentlyUsedPortsAreAnnouncedAndTheSwitchOnlySilences) {
  const auto mac = online("Studio");
  report(mac, false);
  queue->advance(40);
  manager->reconcileIncoming();
  EXPECT_TRUE(recorder.notes.empty()) << "a port this Mac never used";

  // Used more than an hour ago counts as unused.
  report(mac, true);
  use(mac);
  queue->advance(3601);
  report(mac, false);
  queue->advance(40);
  manager->reconcileIncoming();
  EXPECT_TRUE(recorder.notes.empty());

  // With the switch off the outage is still tracked, so turning it on tells nothing old.
  report(mac, true);
  use(mac);
  manager->preferences.modify([](Preferences &p) { p.notifyServiceDown = false; });
  report(mac, false);
  queue->advance(40);
  manager->reconcileIncoming();
  EXPECT_TRUE(recorder.notes.empty());
  manager->preferences.modify([](Preferences &p) { p.notifyServiceDown.reset(); });
  queue->advance(10);
  manager->reconcileIncoming();
  EXPECT_TRUE(recorder.notes.empty()) << "an old outage was told";
}

TEST_F(NoticesTest, FirstUseOfAShareIsToldOncePerMacAndShareEver) {
  const auto mac = pair("Laptop");
  manager->preferences.modify([](Preferences &p) {
    ExposedService share;
    share.id = pg;
    share.name = "Postgres";
    share.port = 5432;
    share.enabled = true;
    p.services.push_back(share);
  });
  manager->relayConnectionAccepted(mac.deviceID, pg);
  manager->relayConnectionAccepted(mac.deviceID, pg);
  ASSERT_EQ(recorder.notes.size(), 1u);
  EXPECT_EQ(recorder.notes[0],
            (NotificationRules::Note{"Postgres :5432", "Laptop just connected to your Postgres."}));

  // The seen pair is saved with the log (at quit at the latest) and read by the next run.
  const auto preferencesNow = manager->preferences.get();
  manager->shutdown();
  ServiceManager::savePreferences(preferencesNow, *defaults);
  make();
  recorder.notes.clear();
  manager->relayConnectionAccepted(mac.deviceID, pg);
  EXPECT_TRUE(recorder.notes.empty()) << "told again after a restart";

  // Switched off, a new pair is not told.
  const auto other = pair("Desktop");
  manager->preferences.modify([](Preferences &p) { p.notifyFirstUse = false; });
  manager->relayConnectionAccepted(other.deviceID, pg);
  EXPECT_TRUE(recorder.notes.empty());
}

TEST_F(NoticesTest, AMacIsBackAfterTenMinutesAwayWhenUsedWithinTheHourBeforeIt) {
  EXPECT_TRUE(backNote("Fifteen", 300, 900)) << "used 20 min ago, gone 15 min";
  EXPECT_FALSE(backNote("Five", 300, 300)) << "gone 5 min";
  EXPECT_TRUE(backNote("Exactly", 300, 600)) << "gone exactly 600 s";
  EXPECT_TRUE(backNote("Long gone", 1800, 5 * 3600)) << "used 30 min before last seen";
  EXPECT_FALSE(backNote("Old use", 3601, 5 * 3600)) << "used more than an hour before";
}

TEST_F(NoticesTest, ThisMacsOwnSleepIsNoReturn) {
  EXPECT_FALSE(backNote("Thirty", 300, 900, 30)) << "slept 30 s before it was last seen";
  EXPECT_TRUE(backNote("Two minutes", 300, 900, 120));
  EXPECT_TRUE(backNote("Sixty", 300, 900, 60)) << "exactly 60 s before still allows it";
}

TEST_F(NoticesTest, UsesAreForgottenAfterADayAndOnlyTheMacsOwnCount) {
  // Away for more than a day after its last use, with evaluations in between.
  const auto mac = online("Away");
  use(mac);
  manager->reconcileIncoming();
  manager->handleLinkLost(mac.deviceID);
  queue->advance(86401);
  manager->reconcileIncoming();
  EXPECT_TRUE(manager->usage().empty());
  recorder.notes.clear();
  report(mac);
  EXPECT_TRUE(recorder.notes.empty());

  // Another Mac's ports in use do not make this one worth a note.
  const auto used = pair("Used");
  const auto unused = pair("Unused");
  bringOnline({used, unused});
  report(used);
  report(unused);
  use(used);
  manager->reconcileIncoming();
  manager->handleLinkLost(unused.deviceID);
  queue->advance(900);
  recorder.notes.clear();
  report(unused);
  EXPECT_TRUE(recorder.notes.empty());
}

TEST_F(NoticesTest, AWokenMacIsAwakeAtOnceUnlessSwitchedOff) {
  const auto mac = pair("Sleepy");
  bringOnline({mac});
  manager->wakingPeerIDs.modify([&](auto &set) { set.insert(mac.deviceID); });
  report(mac);
  ASSERT_EQ(recorder.notes.size(), 1u);
  EXPECT_EQ(recorder.notes[0],
            (NotificationRules::Note{"Sleepy is awake", "Its ports are ready to use."}));
  report(mac);
  EXPECT_EQ(recorder.notes.size(), 1u) << "a second report raised a note";

  const auto quiet = pair("Quiet");
  bringOnline({mac, quiet});
  manager->preferences.modify([](Preferences &p) { p.notifyMacBack = false; });
  manager->wakingPeerIDs.modify([&](auto &set) { set.insert(quiet.deviceID); });
  report(quiet);
  EXPECT_EQ(recorder.notes.size(), 1u);
}

TEST_F(NoticesTest, PendingSavesAreWrittenAtQuit) {
  const auto mac = online("Studio");
  manager->preferences.modify([](Preferences &p) {
    ExposedService share;
    share.id = pg;
    share.name = "Postgres";
    share.port = 5432;
    p.services.push_back(share);
  });
  // Many changes within the delay ride on one save.
  manager->relayConnectionAccepted(mac.deviceID, pg);
  queue->advance(1);
  manager->relayConnectionAccepted(mac.deviceID, pg);
  EXPECT_TRUE(AccessLog::load(*defaults).entries.empty());
  queue->advance(1);
  ASSERT_EQ(AccessLog::load(*defaults).entries.size(), 1u);
  EXPECT_EQ(AccessLog::load(*defaults).entries[0].connections, 2);

  // A change and a lost link just before quitting are not lost.
  manager->relayConnectionAccepted(mac.deviceID, pg);
  queue->advance(301);
  manager->handleLinkLost(mac.deviceID);
  const auto seen = manager->preferences->lastSeen->at(mac.deviceID);
  manager->relayConnectionAccepted(mac.deviceID, pg);
  manager->shutdown();
  EXPECT_EQ(AccessLog::load(*defaults).entries.size(), 2u);
  EXPECT_EQ(ServiceManager::loadPreferences(*defaults).lastSeen->at(mac.deviceID), seen);
}

TEST_F(NoticesTest, APreviewInstancePostsNothing) {
  manager->shutdown();
  make(true);
  manager->postNote({"Title", "Body"});
  EXPECT_TRUE(recorder.notes.empty());
}

} // namespace
} // namespace corvane::testing

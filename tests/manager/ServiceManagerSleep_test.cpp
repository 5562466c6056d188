// This Mac's sleep and wake, and waking a paired Mac: what is let go, what comes back, and
// when the user is told that a Mac did not wake.
#include "tests/manager/ManagerFixture.h"

#include <chrono>
#include <future>

namespace corvane::testing {
namespace {

const std::string pg = "0D000000-0000-4000-8000-000000000001";
const std::vector<std::string> hardware = {"00:11:22:33:44:55"};

class SleepTest : public ManagerTest {
protected:
  void SetUp() override { make(); }

  PairedPeer online(const std::string &name) {
    return onlineSharing(name, offered(pg, "Postgres", 5432));
  }

  // The user asks to wake a Mac whose hardware addresses its links reported earlier.
  void wake(const PairedPeer &mac) {
    manager->preferences.modify([&](Preferences &p) {
      if (!p.hardware)
        p.hardware.emplace();
      p.hardware->insert_or_assign(mac.deviceID, hardware);
    });
    manager->wakePeer(mac.deviceID);
  }
};

TEST_F(SleepTest, BeforeSleepLinksAndRoutesGoAndTheSleepWaitsUntilTheyAreLetGo) {
  const auto mac = online("Studio");
  const auto port = row(mac.deviceID, pg)->localPort;
  ASSERT_TRUE(port);
  ASSERT_FALSE(recorder.proxy.back().empty());

  ASSERT_TRUE(recorder.willSleep) << "the manager watches sleep";
  std::promise<void> released;
  recorder.willSleep([&] { released.set_value(); });
  EXPECT_EQ(released.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);

  EXPECT_EQ(recorder.linksStopped, std::vector<std::string>{mac.deviceID});
  EXPECT_TRUE(manager->peerLinks().empty());
  EXPECT_TRUE(manager->live().empty());
  EXPECT_TRUE(manager->assigned().empty());
  EXPECT_TRUE(manager->onlinePeerIDs->empty());
  EXPECT_TRUE(recorder.proxy.back().empty()) << "routes survived the sleep";
  // The port shows asleep and keeps its remembered local port.
  EXPECT_EQ(row(mac.deviceID, pg)->state, IncomingService::State::asleep());
  EXPECT_EQ(row(mac.deviceID, pg)->localPort, port);
  EXPECT_EQ(manager->rules().sleptAt, 1000 + queue->now());
}

TEST_F(SleepTest, AfterWakeTheGatewayRestartsAndLinksComeBackWhileTheMacsSettle) {
  const auto mac = online("Studio");
  queue->advance(30);
  EXPECT_FALSE(manager->isStillConnecting(mac.deviceID));
  manager->systemWillSleep();
  queue->advance(3600);
  const int restarts = recorder.gatewayRestarts;
  recorder.linksStarted.clear();
  recorder.didWake();
  EXPECT_EQ(recorder.gatewayRestarts, restarts + 1);
  EXPECT_EQ(recorder.linksStarted, std::vector<std::string>{mac.deviceID});
  EXPECT_EQ(manager->settleEnd(), queue->now() + ServiceManager::settleWindow);
  EXPECT_TRUE(manager->isStillConnecting(mac.deviceID));
  queue->advance(9.9);
  EXPECT_TRUE(manager->isStillConnecting(mac.deviceID));

  // The Mac reports again: its port is routed on the local port it had.
  const auto remembered =
      manager->preferences->localPorts.at(RouteKey{mac.deviceID, pg}.identifier());
  manager->handleLinkEvent({offered(pg, "Postgres", 5432)}, {}, std::nullopt, mac.deviceID);
  EXPECT_EQ(row(mac.deviceID, pg)->state, IncomingService::State::connected());
  EXPECT_EQ(row(mac.deviceID, pg)->localPort, remembered);
}

TEST_F(SleepTest, ASharesTimeThatRanOutDuringSleepEndsItAtWake) {
  manager->preferences.modify([&](Preferences &p) {
    ExposedService share;
    share.id = pg;
    share.name = "Postgres";
    share.port = 5432;
    share.enabled = true;
    share.expires = 1000 + queue->now() + 2;
    p.services.push_back(share);
  });
  // Asleep past its time, and woken before the next probe pass could sweep.
  manager->systemWillSleep();
  queue->advance(3);
  recorder.gateway.clear();
  manager->systemDidWake();
  EXPECT_FALSE(manager->preferences->services[0].enabled);
  EXPECT_FALSE(manager->preferences->services[0].expires);
  ASSERT_FALSE(recorder.gateway.empty());
  EXPECT_TRUE(recorder.gateway.back().services.empty()) << "the gateway still offers it";
}

TEST_F(SleepTest, WhatWaitsToBeSavedIsWrittenBeforeSleep) {
  const auto mac = online("Studio");
  manager->preferences.modify([](Preferences &p) {
    ExposedService share;
    share.id = pg;
    share.name = "Postgres";
    share.port = 5432;
    p.services.push_back(share);
  });
  manager->relayConnectionAccepted(mac.deviceID, pg);
  queue->advance(1);
  manager->handleLinkLost(mac.deviceID);
  const auto seen = manager->preferences->lastSeen->at(mac.deviceID);
  manager->systemWillSleep();
  EXPECT_EQ(AccessLog::load(*defaults).entries.size(), 1u);
  EXPECT_EQ(ServiceManager::loadPreferences(*defaults).lastSeen->at(mac.deviceID), seen);

  // A change after the flush gets a save of its own.
  queue->advance(301);
  manager->relayConnectionAccepted(mac.deviceID, pg);
  queue->advance(2);
  EXPECT_EQ(AccessLog::load(*defaults).entries.size(), 2u);
}

TEST_F(SleepTest, AMacThatDoesNotAnswerIsToldAboutAfterThreeSendingsAndTwentyFiveSeconds) {
  const auto mac = pair("Studio");
  manager->setPanelVisible(true);
  wake(mac);
  EXPECT_EQ(recorder.wakeSends.size(), 1u);
  queue->advance(1);
  EXPECT_EQ(recorder.wakeSends.size(), 2u);
  queue->advance(1);
  EXPECT_EQ(recorder.wakeSends.size(), 3u);
  EXPECT_EQ(recorder.wakeSends[2], hardware);
  queue->advance(1 + 24.9);
  EXPECT_EQ(recorder.wakeSends.size(), 3u) << "sent more than three times";
  EXPECT_TRUE(manager->wakingPeerIDs->contains(mac.deviceID));
  EXPECT_FALSE(manager->notice.get());
  queue->advance(0.1);
  EXPECT_FALSE(manager->wakingPeerIDs->contains(mac.deviceID));
  EXPECT_EQ(manager->notice.get(),
            "Studio didn't wake. It may be off, away, or have Wake for network access turned off.");
  // The notice clears itself like every other.
  queue->advance(8);
  EXPECT_FALSE(manager->notice.get());
}

TEST_F(SleepTest, AMacThatAnswersIsMarkedJustWokenForAMinute) {
  const auto mac = pair("Studio");
  bringOnline({mac});
  wake(mac);
  queue->advance(5);
  manager->handleLinkEvent({offered(pg, "Postgres", 5432)}, {}, std::nullopt, mac.deviceID);
  EXPECT_FALSE(manager->wakingPeerIDs->contains(mac.deviceID)) << "left the set at once";
  EXPECT_EQ(recorder.notes.size(), 1u);
  EXPECT_TRUE(row(mac.deviceID, pg)->justWoke);
  queue->advance(59.9);
  EXPECT_TRUE(manager->woken().contains(mac.deviceID));
  queue->advance(0.1);
  EXPECT_FALSE(manager->woken().contains(mac.deviceID));
  EXPECT_FALSE(row(mac.deviceID, pg)->justWoke);
  queue->advance(30);
  EXPECT_FALSE(manager->notice.get()) << "a Mac that woke was reported as not waking";
}

TEST_F(SleepTest, AnOnlineMacLeavesTheWakeSilentlyAndNoPacketMeansNoWait) {
  const auto mac = pair("Studio");
  bringOnline({mac}); // linked and discovered, no report yet
  wake(mac);
  queue->advance(40);
  EXPECT_FALSE(manager->wakingPeerIDs->contains(mac.deviceID));
  EXPECT_FALSE(manager->notice.get());

  recorder.wakeSent = 0;
  wake(mac);
  queue->advance(2.9);
  EXPECT_TRUE(manager->wakingPeerIDs->contains(mac.deviceID));
  queue->advance(0.1);
  EXPECT_FALSE(manager->wakingPeerIDs->contains(mac.deviceID));
  EXPECT_EQ(manager->notice.get(), "Couldn't send the wake signal on this network.");
}

TEST_F(SleepTest, OnlyAMacWithHardwareAddressesAndNotBeingWokenIsWoken) {
  const auto mac = pair("Studio");
  manager->wakePeer(mac.deviceID);
  manager->preferences.modify([&](Preferences &p) {
    p.hardware = std::map<std::string, std::vector<std::string>>{{mac.deviceID, {}}};
  });
  manager->wakePeer(mac.deviceID);
  EXPECT_TRUE(manager->wakingPeerIDs->empty());
  EXPECT_TRUE(recorder.wakeSends.empty());

  // A second request while the first is still waking sends nothing more and ends with it.
  wake(mac);
  queue->advance(0.5);
  manager->wakePeer(mac.deviceID);
  EXPECT_EQ(recorder.wakeSends.size(), 1u);
  queue->advance(2.5);
  EXPECT_EQ(recorder.wakeSends.size(), 3u);
  queue->advance(25);
  EXPECT_FALSE(manager->wakingPeerIDs->contains(mac.deviceID));
  EXPECT_EQ(manager->notice.get(),
            "Studio didn't wake. It may be off, away, or have Wake for network access turned off.");
  queue->advance(60);
  EXPECT_EQ(recorder.wakeSends.size(), 3u) << "the ignored request started a wait of its own";

  // Once that wait is over the Mac can be woken again; the notice names it as the user calls it.
  manager->setNickname(mac.deviceID, "Desk");
  manager->wakePeer(mac.deviceID);
  EXPECT_EQ(recorder.wakeSends.size(), 4u);
  queue->advance(28);
  EXPECT_EQ(manager->notice.get(),
            "Desk didn't wake. It may be off, away, or have Wake for network access turned off.");
}

TEST_F(SleepTest, APreviewMarksTheMacButSendsNothing) {
  make(true);
  const auto mac = pair("Studio");
  wake(mac);
  EXPECT_TRUE(manager->wakingPeerIDs->contains(mac.deviceID));
  queue->advance(60);
  EXPECT_TRUE(recorder.wakeSends.empty());
}

TEST_F(SleepTest, AWaitEndsSilentlyWithTheManager) {
  const auto mac = pair("Studio");
  wake(mac);
  manager->shutdown();
  queue->advance(60);
  EXPECT_EQ(recorder.wakeSends.size(), 1u);
  EXPECT_FALSE(manager->notice.get());
}

} // namespace
} // namespace corvane::testing

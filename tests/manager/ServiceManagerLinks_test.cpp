// Links to paired Macs: which Macs get one, and what their reports change.
#include "tests/manager/ManagerFixture.h"
#include "tests/support/StderrTap.h"

namespace corvane::testing {
namespace {

class LinksTest : public ManagerTest {
protected:
  void SetUp() override { make(); }
};

TEST(BuildNearby, TypedAddressesStandInOnlyWhileDiscoveryDoesNotSeeTheMac) {
  const PairedPeer typed{"aaaaaaaaaaaaaaaa", "Typed", {}, 0};
  const PairedPeer ported{"bbbbbbbbbbbbbbbb", "Ported", {}, 0};
  const PairedPeer seen{"cccccccccccccccc", "Seen", {}, 0};
  const std::map<std::string, std::string> addresses = {{typed.deviceID, "studio.local"},
                                                        {ported.deviceID, "build.local:5000"},
                                                        {seen.deviceID, "seen.local"},
                                                        {"dddddddddddddddd", "other.local"}};
  const auto discoveredEndpoint = Endpoint::hostPort(Endpoint::Host::loopbackIPv4(), 1);
  const std::map<std::string, NearbyDevice> discovered = {
      {seen.deviceID, NearbyDevice{seen.deviceID, "Seen", discoveredEndpoint}}};
  const auto nearby = ServiceManager::buildNearby(discovered, addresses, {typed, ported, seen});
  ASSERT_EQ(nearby.size(), 3u) << "an unpaired typed address is not nearby";
  EXPECT_EQ(nearby.at(typed.deviceID).endpoint,
            Endpoint::hostPort(Endpoint::Host::named("studio.local"), 46310));
  EXPECT_EQ(nearby.at(ported.deviceID).endpoint,
            Endpoint::hostPort(Endpoint::Host::named("build.local"), 5000));
  EXPECT_EQ(nearby.at(seen.deviceID).endpoint, discoveredEndpoint);
  EXPECT_EQ(ServiceManager::buildNearby(discovered, std::nullopt, {typed}).size(), 1u);
}

TEST_F(LinksTest, OneLinkPerNearbyPairedMacAndEndpointChangesGoToTheSameLink) {
  const auto first = pair("First");
  const auto second = pair("Second");
  manager->relayDiscoveryChange({nearbyDevice(first), nearbyDevice(second),
                                 NearbyDevice{manager->myDeviceID(), "Me", {}},
                                 NearbyDevice{"eeeeeeeeeeeeeeee", "Stranger", {}}});
  EXPECT_EQ(recorder.linksStarted.size(), 2u) << "only paired Macs, never this one";
  EXPECT_EQ(manager->onlinePeerIDs->size(), 2u);

  manager->relayDiscoveryChange({nearbyDevice(first, 50000), nearbyDevice(second)});
  EXPECT_EQ(recorder.linksStarted.size(), 2u) << "a second link was made";
  EXPECT_EQ(recorder.endpointUpdates.size(), 2u);
  recorder.endpointUpdates.clear();
  manager->ensurePeerLinks(first.deviceID);
  EXPECT_EQ(recorder.endpointUpdates, (std::vector<std::pair<std::string, bool>>{
                                          {first.deviceID, true}, {second.deviceID, false}}));

  // Gone from the network: its link stops and its live list is forgotten.
  manager->handleLinkEvent({offered("0D000000-0000-4000-8000-000000000001", "Web", 8080)}, {},
                           std::nullopt, second.deviceID);
  manager->relayDiscoveryChange({nearbyDevice(first)});
  EXPECT_EQ(recorder.linksStopped, std::vector<std::string>{second.deviceID});
  EXPECT_FALSE(manager->live().contains(second.deviceID));
  EXPECT_EQ(manager->onlinePeerIDs.get(), std::set<std::string>{first.deviceID});
}

TEST_F(LinksTest, ReportsRenameTheMacKeepFourHardwareAddressesRememberTheListAndCountTheDropped) {
  const auto mac = pair("Old name");
  bringOnline({mac});
  const std::vector<std::string> hardware = {"00:11:22:33:44:55", "nonsense",
                                             "00:11:22:33:44:56", "00:11:22:33:44:57",
                                             "00:11:22:33:44:58", "00:11:22:33:44:59"};
  const auto web = offered("0D000000-0000-4000-8000-000000000001", "Web", 8080);
  manager->handleLinkEvent({web}, hardware, std::string("  New name\u200B "), mac.deviceID);
  EXPECT_EQ(manager->peers()->findPeer(mac.deviceID)->name, "New name");
  EXPECT_EQ(manager->pairedPeers->at(0).name, "New name");
  const auto stored = ServiceManager::loadPreferences(*defaults);
  EXPECT_EQ(stored.hardware->at(mac.deviceID),
            (std::vector<std::string>{"00:11:22:33:44:55", "00:11:22:33:44:56", "00:11:22:33:44:57",
                                      "00:11:22:33:44:58"}));
  EXPECT_EQ(stored.knownServices.at(mac.deviceID).size(), 1u);
  EXPECT_TRUE(stored.lastSeen->contains(mac.deviceID));

  // A report without addresses keeps the stored ones.
  manager->handleLinkEvent({web}, {}, std::nullopt, mac.deviceID);
  EXPECT_EQ(manager->preferences->hardware->at(mac.deviceID).size(), 4u);

  // Past what one list may open: how many are dropped is said once, not at every repeat.
  StderrTap log;
  for (int repeat = 0; repeat < 3; ++repeat)
    manager->handleLinkEvent(std::vector(70, web), {}, std::nullopt, mac.deviceID);
  const std::string dropped = "New name offers 70 ports, more than the 64 a list may open; 6 were";
  EXPECT_EQ(count(log.waitFor(dropped, std::chrono::milliseconds(200), 2), dropped), 1u);
}

TEST_F(LinksTest, LatencyFollowsAFasterPingAtOnceAndASlowerOneGradually) {
  const auto mac = pair("Studio");
  bringOnline({mac});
  manager->handleLinkEvent({offered("0D000000-0000-4000-8000-000000000001", "Web", 8080)}, {},
                           std::nullopt, mac.deviceID);
  const auto latency = [&] { return manager->incoming->at(0).latencyMs; };
  manager->applyLatency(mac.deviceID, 0.010);
  EXPECT_EQ(latency(), std::optional(10));
  manager->applyLatency(mac.deviceID, 0.100);
  EXPECT_EQ(latency(), std::optional(37));
  manager->applyLatency(mac.deviceID, 0.010);
  EXPECT_EQ(latency(), std::optional(10));
  // Samples for a Mac without a link are ignored.
  manager->applyLatency("ffffffffffffffff", 0.5);
}

TEST_F(LinksTest, TheOtherMacsUnpairedArrivingTwiceForgetsItAndShowsTheNoticeOnce) {
  const auto mac = pair("Studio");
  bringOnline({mac});
  manager->preferences.modify([&](Preferences &p) {
    p.localPorts[mac.deviceID + "/X"] = 20000;
    p.localPorts["ffffffffffffffff/X"] = 20001;
    p.addresses = std::map<std::string, std::string>{{mac.deviceID, "studio.local"}};
  });
  manager->handlePeerUnpaired(mac.deviceID);
  queue->runUntilIdle();
  EXPECT_EQ(manager->notice.get(), std::optional<std::string>("Studio unpaired this Mac."));
  manager->setNotice(std::nullopt);
  manager->handlePeerUnpaired(mac.deviceID);
  queue->runUntilIdle();
  EXPECT_EQ(manager->notice.get(), std::nullopt);
  EXPECT_FALSE(manager->peers()->findPeer(mac.deviceID));
  EXPECT_TRUE(manager->pairedPeers->empty());
  EXPECT_EQ(manager->preferences->localPorts,
            (std::map<std::string, int>{{"ffffffffffffffff/X", 20001}}));
  EXPECT_EQ(manager->preferences->addresses, std::nullopt);
  EXPECT_TRUE(manager->peerLinks().empty());
}

TEST_F(LinksTest, AMacSilentForTheLimitHasItsStreamsResetWhileItsRoutesStay) {
  const auto mac =
      onlineSharing("Studio", offered("0D000000-0000-4000-8000-000000000001", "Web", 8080));
  const auto routes = recorder.proxy.back();
  ASSERT_EQ(routes.size(), 1u);
  StderrTap log;
  manager->handleLinkSilence(mac.deviceID);
  queue->runUntilIdle();
  EXPECT_EQ(recorder.resetPeers, std::vector<std::string>{mac.deviceID});
  EXPECT_TRUE(recorder.stoppedPeers.empty());
  EXPECT_EQ(recorder.proxy.back(), routes);
  EXPECT_EQ(manager->incoming->at(0).state, IncomingService::State::connected());
  // A Mac without a link (gone from the network meanwhile) has nothing left to reset.
  manager->handleLinkSilence("ffffffffffffffff");
  const std::string line = "Studio has not answered for 60 s; its streams were reset";
  EXPECT_EQ(count(log.waitFor(line, std::chrono::milliseconds(200), 2), line), 1u);
  EXPECT_EQ(recorder.resetPeers.size(), 1u);
}

TEST_F(LinksTest, ALostLinkShowsItsPortsAsleepAndOnlyAReportedMacGetsALastSeenTime) {
  const auto quiet = pair("Quiet");
  bringOnline({quiet});
  manager->handleLinkLost(quiet.deviceID);
  EXPECT_FALSE(manager->preferences->lastSeen.has_value());

  queue->advance(20);
  manager->handleLinkEvent({offered("0D000000-0000-4000-8000-000000000001", "Web", 8080)}, {},
                           std::nullopt, quiet.deviceID);
  queue->advance(5);
  manager->handleLinkLost(quiet.deviceID);
  EXPECT_EQ(manager->preferences->lastSeen->at(quiet.deviceID), 1000 + queue->now());
  ASSERT_EQ(manager->incoming->size(), 1u);
  EXPECT_EQ(manager->incoming->at(0).state, IncomingService::State::asleep());
  EXPECT_EQ(manager->peerLinks().size(), 1u) << "the link reconnects by its own rule";
}

} // namespace
} // namespace corvane::testing

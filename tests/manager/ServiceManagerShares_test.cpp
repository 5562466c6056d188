// This Mac's shares, the sharing state, the switches and the relays of the gateway's reports.
#include "brimvale/platform/Json.h"
#include "tests/manager/ManagerFixture.h"

namespace corvane::testing {
namespace {

const std::string db = "0C000000-0000-4000-8000-000000000001";
const std::string api = "0C000000-0000-4000-8000-000000000002";

ExposedService share(const std::string &id, const std::string &name, int port) {
  ExposedService service;
  service.id = id;
  service.name = name;
  service.port = port;
  service.category = ServiceCategory::database;
  return service;
}

class SharesTest : public ManagerTest {
protected:
  void SetUp() override {
    Preferences p;
    p.services = {share(db, "Postgres", 5432), share(api, "API", 8080)};
    p.environments =
        std::vector<ShareEnvironment>{{"0E000000-0000-4000-8000-000000000001", "Dev", {api}}};
    savePreferences(p, *defaults);
    recorder.answering.emplace(5432, Endpoint::Host::loopbackIPv4());
    make();
  }
};

TEST_F(SharesTest, TheAnnouncementCarriesLiveStateAndIsEmptyWhileSharingIsPaused) {
  const auto announced = manager->announceShares();
  ASSERT_EQ(announced.services.size(), 2u);
  EXPECT_TRUE(announced.services[0].running) << "the start-up probe found it";
  EXPECT_FALSE(announced.services[1].running);
  EXPECT_EQ(announced.services[0].category, "Database");
  EXPECT_EQ(announced.services[1].environment, std::optional<std::string>("Dev"));
  EXPECT_TRUE(announced.access.empty());

  manager->setSharingPaused(true);
  EXPECT_TRUE(manager->announceShares().services.empty());
  EXPECT_TRUE(recorder.gateway.back().services.empty()) << "paired Macs still see shares";
  manager->setSharingPaused(false);
  EXPECT_EQ(recorder.gateway.back().services.size(), 2u);
  // Resuming stores no key at all.
  EXPECT_FALSE(parseJson(*defaults->data(Preferences::defaultsKey))->contains("sharingPaused"));
}

TEST_F(SharesTest, ExpiredDisabledAndRestrictedSharesAreAnnouncedAsTheirRulesSay) {
  const std::string allowedPeer = "00112233aabbccdd";
  manager->preferences.modify([&](Preferences &p) {
    p.services[0].expires = 1000 + queue->now() - 1; // passed
    p.services[1].allowed = std::set<std::string>{allowedPeer};
  });
  auto announced = manager->announceShares();
  ASSERT_EQ(announced.services.size(), 1u);
  EXPECT_EQ(announced.services[0].id, api);
  EXPECT_EQ(announced.access.at(api), std::set<std::string>{allowedPeer});

  manager->setShareEnabled(api, false);
  EXPECT_TRUE(recorder.gateway.back().services.empty());
  EXPECT_FALSE(manager->preferences->services[1].enabled);
  manager->setEnvironmentEnabled("0E000000-0000-4000-8000-000000000001", true);
  EXPECT_TRUE(manager->preferences->services[1].enabled);
  EXPECT_EQ(ServiceManager::loadPreferences(*defaults), manager->preferences.get());
}

TEST_F(SharesTest, OutgoingRowsCountStreamsPerUserInPlainTextOrder) {
  const auto zed = pair("Zed");
  const auto alpha = pair("alpha");
  std::vector<Gateway::Session> sessions = {{alpha.deviceID, db, 1},
                                            {zed.deviceID, db, 2},
                                            {zed.deviceID, db, 3},
                                            {"ffffffffffffffff", db, 4},
                                            {"0000000000000000", db, 5}};
  manager->relayGatewaySessions(sessions);
  const auto &rows = manager->outgoing.get();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].connections, 5);
  ASSERT_EQ(rows[0].users.size(), 4u);
  EXPECT_EQ(rows[0].users[0].name, "Unknown Mac");
  EXPECT_EQ(rows[0].users[0].peerID, "0000000000000000");
  EXPECT_EQ(rows[0].users[1].peerID, "ffffffffffffffff");
  EXPECT_EQ(rows[0].users[2].name, "Zed");
  EXPECT_EQ(rows[0].users[2].connections, 2);
  EXPECT_EQ(rows[0].users[3].name, "alpha");
  EXPECT_TRUE(rows[0].running);
  EXPECT_EQ(rows[0].responding, std::optional(true)) << "it answered the start-up check";
  EXPECT_EQ(rows[1].responding, std::nullopt) << "never checked is not false";
  EXPECT_TRUE(rows[1].users.empty());
  EXPECT_EQ(rows[1].connections, 0);
}

TEST_F(SharesTest, AcceptedConnectionsAreLoggedAsVisitsAndSavedAfterTwoSeconds) {
  const auto mac = pair("Studio");
  manager->relayConnectionAccepted(mac.deviceID, db);
  queue->advance(1.9);
  EXPECT_FALSE(defaults->data(AccessLog::defaultsKey));
  queue->advance(0.2);
  EXPECT_EQ(AccessLog::load(*defaults), manager->accessLog.get());
  queue->advance(100);
  manager->relayConnectionAccepted(mac.deviceID, db);
  EXPECT_EQ(manager->accessLog->entries.size(), 1u);
  EXPECT_EQ(manager->accessLog->entries[0].connections, 2);
  queue->advance(301);
  manager->relayConnectionAccepted(mac.deviceID, db);
  EXPECT_EQ(manager->accessLog->entries.size(), 2u);
  manager->relayConnectionAccepted(mac.deviceID, "0C000000-0000-4000-8000-00000000FFFF");
  EXPECT_EQ(manager->accessLog->entries.size(), 2u) << "an unknown share is not logged";

  EXPECT_NE(AccessLog::load(*defaults), manager->accessLog.get());
  queue->advance(2.1);
  EXPECT_EQ(AccessLog::load(*defaults), manager->accessLog.get());
}

TEST_F(SharesTest, TrustedNetworksDecideTheStateAndAreStoredTrimmedOnce) {
  wifi->name = "Home";
  manager->trustNetwork("  Office \n");
  manager->trustNetwork("Office");
  EXPECT_EQ(manager->preferences->trustedNetworks,
            std::optional(std::vector<std::string>{"Office"}));
  manager->refreshNetworkName();
  EXPECT_EQ(manager->sharingState.get(), SharingState::offTrustedNetworks("Home"));
  EXPECT_TRUE(recorder.gateway.back().services.empty());

  const auto pushes = recorder.gateway.size();
  manager->refreshNetworkName();
  EXPECT_EQ(recorder.gateway.size(), pushes) << "an unchanged state touched the gateway";

  manager->trustNetwork("Home");
  EXPECT_EQ(manager->sharingState.get(), SharingState::on());
  manager->stopTrustingNetwork("Home");
  manager->stopTrustingNetwork("Office");
  EXPECT_EQ(manager->sharingState.get(), SharingState::on()) << "an empty list trusts everywhere";
}

TEST(SharingStateRules, TrimmedCaseSensitiveMatchAndTheSentences) {
  EXPECT_EQ(deriveSharingState(false, {" Home\n"}, "Home"), SharingState::on());
  EXPECT_EQ(deriveSharingState(false, {"home"}, "Home"), SharingState::offTrustedNetworks("Home"));
  EXPECT_EQ(deriveSharingState(false, {"Home"}, std::nullopt),
            SharingState::offTrustedNetworks(std::nullopt));
  EXPECT_EQ(deriveSharingState(true, {"Home"}, "Home"), SharingState::pausedByYou());
  EXPECT_EQ(sharingStatusText(SharingState::on(), NetworkName::Permission::denied), std::nullopt);
  EXPECT_EQ(
      sharingStatusText(SharingState::offTrustedNetworks("Cafe"), NetworkName::Permission::allowed),
      "Sharing is paused off your trusted networks. You're on Cafe.");
  EXPECT_EQ(sharingStatusText(SharingState::offTrustedNetworks(std::nullopt),
                              NetworkName::Permission::allowed),
            "Sharing is paused: this Mac isn't on Wi-Fi, so it isn't on a trusted network.");
  EXPECT_EQ(addPortToAddresses({"10.0.0.2", "studio.local"}, 46320, 46310),
            (std::vector<std::string>{"10.0.0.2:46320", "studio.local:46320"}));
  EXPECT_EQ(addPortToAddresses({"10.0.0.2"}, 46310, 46310), std::vector<std::string>{"10.0.0.2"});
}

TEST_F(SharesTest, PeerStoreChangesRestartTheGatewayForNewPeersAndRevokeRemovedOnes) {
  const auto first = pair("First");
  EXPECT_EQ(recorder.gatewayRestarts, 1);
  // One removed and one added in the same change: a restart, no revocation.
  const auto identity = DeviceIdentity::generate();
  manager->peers()->remove(first.deviceID);
  manager->peers()->add(PairedPeer{identity.deviceID(), "Second", identity.publicKey(), 0});
  queue->runUntilIdle();
  EXPECT_TRUE(recorder.revoked.empty());
  EXPECT_EQ(recorder.gatewayRestarts, 2);
  manager->peers()->remove(identity.deviceID());
  queue->runUntilIdle();
  EXPECT_EQ(recorder.revoked, std::vector<std::string>{identity.deviceID()});
  EXPECT_EQ(recorder.stoppedPeers.size(), 2u);
}

} // namespace
} // namespace corvane::testing

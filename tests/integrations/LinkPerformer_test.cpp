// Links and intent operations carried out by a service manager on a manual main queue.
#include "brimvale/integrations/IntentOperations.h"
#include "brimvale/integrations/LinkPerformer.h"
#include "tests/manager/ManagerFixture.h"
#include "tests/support/StderrTap.h"

namespace corvane::testing {
namespace {

const std::string pg = "0A000000-0000-4000-8000-000000000001";
const std::string web = "0A000000-0000-4000-8000-000000000003";

// Followed, with nothing left for the application to do.
const std::optional<std::optional<LinkAction>> nothingLeft{std::in_place};

class LinkTest : public ManagerTest {
protected:
  void SetUp() override {
    make();
    queue->advance(11); // past the settle window
  }

  PairedPeer online(const std::string &name, std::vector<SharedServiceInfo> services) {
    const auto peer = pair(name);
    devices.push_back(nearbyDevice(peer));
    manager->relayDiscoveryChange(devices);
    manager->handleLinkEvent(std::move(services), {}, std::nullopt, peer.deviceID);
    return peer;
  }

  // Starts following a link; the result is there once the queue has run far enough.
  std::shared_ptr<std::optional<std::optional<LinkAction>>> start(const std::string &url) {
    auto result = std::make_shared<std::optional<std::optional<LinkAction>>>();
    performLink(manager, url, opener,
                [result](std::optional<LinkAction> action) { *result = std::move(action); });
    return result;
  }
  std::optional<std::optional<LinkAction>> follow(const std::string &url) {
    auto result = start(url);
    queue->runUntilIdle();
    return *result;
  }

  std::vector<NearbyDevice> devices;
  std::shared_ptr<FakeUrlOpener> opener = std::make_shared<FakeUrlOpener>();
};

TEST_F(LinkTest, CopyAndOpenAReadyPort) {
  const auto studio = online("Studio", {offered(pg, "Postgres", 5432)});
  EXPECT_EQ(follow("CORVANE://COPY/postgres"), std::optional(LinkAction::copy("localhost:5432")));
  EXPECT_EQ(follow("corvane://copy/%20Postgres%40studio%20"),
            std::optional(LinkAction::copy("localhost:5432")));
  EXPECT_FALSE(manager->notice.get());

  EXPECT_EQ(follow("corvane://open/Postgres"), std::optional(LinkAction::showPanel()));
  EXPECT_EQ(manager->notice.get(), "No app on this Mac opens Postgres.");
  opener->handlers["postgresql"] = "dbclient.desktop";
  const auto opened = follow("corvane://open/Postgres");
  ASSERT_TRUE(opened && *opened);
  EXPECT_EQ((*opened)->kind, LinkAction::Kind::open);
  EXPECT_TRUE((*opened)->value.starts_with("postgresql://localhost:5432")) << (*opened)->value;
  EXPECT_EQ(showPortAddress(*manager, studio.deviceID + "/" + pg), "localhost:5432");
  EXPECT_EQ(manager->notice.get(), "Copied localhost:5432.");
}

TEST_F(LinkTest, RefusedLinksChangeNothing) {
  online("Studio", {offered(pg, "Postgres", 5432)});
  const auto before = manager->preferences.get();
  for (const char *link :
       {"corvane://copy/Postgres/", "corvane://copy/Post%E2%82gres", "corvane://show/now",
        "https://copy/Postgres", "corvane://nothing", "corvane://copy/\x1b[2J\r\nfake"}) {
    // Each leaves one line saying why, with the link's text cleaned.
    StderrTap log;
    EXPECT_EQ(follow(link), nothingLeft) << link;
    const auto lines = log.waitFor("\u201D: ");
    EXPECT_EQ(count(lines, "Refused the link \u201C"), 1u) << link;
    EXPECT_EQ(count(lines, "\u201D: "), 1u) << lines;
    EXPECT_EQ(lines.find('\x1b'), std::string::npos) << lines;
  }
  EXPECT_FALSE(manager->notice.get());
  EXPECT_EQ(manager->preferences.get(), before);
  EXPECT_EQ(follow("corvane://"), std::optional(LinkAction::showPanel()));
  EXPECT_EQ(follow("corvane://show"), std::optional(LinkAction::showPanel()));
  EXPECT_FALSE(manager->notice.get());
}

TEST_F(LinkTest, FailuresBecomeTheNoticeAndShowThePanel) {
  online("Studio", {offered(pg, "Postgres", 5432), offered(web, "Web", 8080, false)});
  online("Laptop", {offered(pg, "Postgres", 5432)});
  EXPECT_EQ(follow("corvane://copy/Nothing"), std::optional(LinkAction::showPanel()));
  EXPECT_EQ(manager->notice.get(), "No paired Mac shares a port called \u201CNothing\u201D.");
  EXPECT_EQ(follow("corvane://copy/postgres"), std::optional(LinkAction::showPanel()));
  EXPECT_EQ(manager->notice.get(), "More than one Mac shares a port called postgres. Add the "
                                   "Mac's name to the link, as in postgres@Mac name.");
  EXPECT_EQ(follow("corvane://copy/Web"), std::optional(LinkAction::showPanel()));
  EXPECT_EQ(manager->notice.get(), "Web isn't running on Studio.");
  EXPECT_EQ(follow("corvane://copy/Postgres@Laptop"),
            std::optional(LinkAction::copy("localhost:25432")));
}

TEST_F(LinkTest, NoFreeLocalPortIsReportedForTheCopy) {
  for (int port = 1; port <= 65535; ++port)
    recorder.bind4[port] = BindResult::otherError;
  online("Studio", {offered(pg, "Postgres", 5432)});
  EXPECT_EQ(follow("corvane://copy/Postgres"), std::optional(LinkAction::showPanel()));
  EXPECT_EQ(manager->notice.get(), "Postgres can't be used right now: No free port on this Mac.");
}

TEST_F(LinkTest, WaitsForAMacThatIsStillConnecting) {
  const auto studio = online("Studio", {offered(pg, "Postgres", 5432)});
  manager->handleLinkLost(studio.deviceID); // still discovered: reconnecting
  ASSERT_TRUE(manager->isStillConnecting(studio.deviceID));

  auto result = start("corvane://copy/Postgres");
  queue->advance(1.0);
  EXPECT_FALSE(*result);
  manager->handleLinkEvent({offered(pg, "Postgres", 5432)}, {}, std::nullopt, studio.deviceID);
  queue->advance(0.5);
  EXPECT_EQ(*result, std::optional(LinkAction::copy("localhost:5432")));

  // It does not come back in time: away after at most six seconds.
  manager->handleLinkLost(studio.deviceID);
  result = start("corvane://copy/Postgres");
  queue->advance(5.5);
  EXPECT_FALSE(*result);
  queue->advance(1.0);
  EXPECT_EQ(*result, std::optional(LinkAction::showPanel()));
  EXPECT_EQ(manager->notice.get(), "Studio isn't nearby right now.");

  // Gone from the network: judged at once.
  manager->setNotice(std::nullopt);
  devices.clear();
  manager->relayDiscoveryChange(devices);
  ASSERT_FALSE(manager->isStillConnecting(studio.deviceID));
  result = start("corvane://copy/Postgres");
  queue->runUntilIdle();
  EXPECT_EQ(*result, std::optional(LinkAction::showPanel()));
  EXPECT_EQ(manager->notice.get(), "Studio isn't nearby right now.");
}

TEST_F(LinkTest, RightAfterStartANameIsJudgedOnceThePairedMacsHaveLinked) {
  manager->shutdown();
  queue->runUntilIdle();
  make(); // started just now, for the link
  const auto studio = pair("Studio");
  auto result = start("corvane://copy/Postgres");
  queue->advance(1.0);
  EXPECT_FALSE(*result) << "judged before any paired Mac could link";
  devices.push_back(nearbyDevice(studio));
  manager->relayDiscoveryChange(devices);
  manager->handleLinkEvent({offered(pg, "Postgres", 5432)}, {}, std::nullopt, studio.deviceID);
  queue->advance(0.5);
  EXPECT_EQ(*result, std::optional(LinkAction::copy("localhost:5432")));

  // A name that no Mac shares is still answered, within the same bound.
  result = start("corvane://copy/Nothing");
  queue->advance(6.5);
  EXPECT_EQ(*result, std::optional(LinkAction::showPanel()));
  EXPECT_EQ(manager->notice.get(), "No paired Mac shares a port called \u201CNothing\u201D.");
}

TEST_F(LinkTest, PauseAllAndEnvironments) {
  ExposedService orders;
  orders.id = pg;
  orders.name = "Orders";
  orders.port = 5432;
  orders.enabled = true;
  manager->preferences.modify([&](Preferences &p) {
    p.services.push_back(orders);
    p.environments = std::vector<ShareEnvironment>{{web, "Work", {pg}}};
  });

  EXPECT_EQ(follow("corvane://environment/%20wORK%09/PAUSE"), nothingLeft);
  EXPECT_FALSE(manager->preferences->services[0].enabled);
  EXPECT_EQ(follow("corvane://environment/Play/pause"), std::optional(LinkAction::showPanel()));
  EXPECT_EQ(manager->notice.get(), "There's no environment called \u201CPlay\u201D.");

  EXPECT_EQ(setShare(*manager, "0A000000-0000-4000-8000-0000000000FF", true).error(),
            IntentFailure::unknownShare());
  ASSERT_TRUE(setShare(*manager, pg, true));
  EXPECT_TRUE(manager->preferences->services[0].enabled);
  EXPECT_EQ(shareStatusDialog(*manager, "Orders"), "Orders is shared.");

  EXPECT_EQ(follow("corvane://pause-all"), nothingLeft);
  EXPECT_EQ(manager->preferences->sharingPaused, std::optional(true));
  EXPECT_EQ(ServiceManager::loadPreferences(*defaults).sharingPaused, std::optional(true));
  EXPECT_EQ(manager->sharingState.get(), SharingState::pausedByYou());
  EXPECT_TRUE(shareStatusDialog(*manager, "Orders").starts_with("Orders is on, but "));
}

TEST_F(LinkTest, APausedPreviewManagerSavesNothing) {
  manager->shutdown();
  queue->runUntilIdle();
  make(/*preview=*/true);
  EXPECT_EQ(follow("corvane://pause-all"), nothingLeft);
  EXPECT_EQ(manager->preferences->sharingPaused, std::optional(true));
  EXPECT_FALSE(defaults->string("corvane.preferences.v2"));
  EXPECT_FALSE(defaults->data("corvane.preferences.v2"));
}

} // namespace
} // namespace corvane::testing

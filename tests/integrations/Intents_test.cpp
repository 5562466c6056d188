// Entities, queries, intents, shortcuts and the refresh of the port search, against a manager on
// a manual main queue with virtual time.
#include "brimvale/integrations/CorvaneShortcuts.h"
#include "brimvale/integrations/Intents.h"
#include "brimvale/integrations/ShortcutRefresh.h"
#include "tests/manager/ManagerFixture.h"

namespace corvane::testing {
namespace {

const std::string pg = "0A000000-0000-4000-8000-000000000001";
const std::string redis = "0A000000-0000-4000-8000-000000000002";
const std::string shareA = "0B000000-0000-4000-8000-000000000001";
const std::string shareB = "0B000000-0000-4000-8000-000000000002";
const std::string envID = "0C000000-0000-4000-8000-000000000001";

IncomingService port(const std::string &id, IncomingService::State state,
                     std::optional<int> local = std::nullopt,
                     std::optional<int> latency = std::nullopt) {
  IncomingService row;
  row.key = {"abcdef0123456789", id};
  row.name = "Postgres";
  row.peerName = "Studio";
  row.state = std::move(state);
  row.localPort = local;
  row.latencyMs = latency;
  return row;
}

TEST(IntentEntities, PortDetailSaysHowThePortCanBeReached) {
  using State = IncomingService::State;
  EXPECT_EQ(portEntity(port(pg, State::connected(), 15432, 3)).detail, "localhost:15432");
  EXPECT_EQ(portEntity(port(pg, State::connected(), std::nullopt, 3)).detail, "3 ms");
  EXPECT_EQ(portEntity(port(pg, State::connected())).detail, "ready");
  EXPECT_EQ(portEntity(port(pg, State::asleep())).detail, "asleep");
  EXPECT_EQ(portEntity(port(pg, State::notRunning())).detail, "not running");
  EXPECT_EQ(portEntity(port(pg, State::off())).detail, "off");
  EXPECT_EQ(portEntity(port(pg, State::failed("No free port on this Mac"))).detail,
            "No free port on this Mac");
  const auto entity = portEntity(port(pg, State::off()));
  EXPECT_EQ(entity.id, "abcdef0123456789/" + pg);
  EXPECT_EQ(entity.title(), "Postgres on Studio");
  EXPECT_EQ(entity.keywords(), (std::vector<std::string>{"Postgres", "Studio", "port", "Corvane"}));

  EXPECT_EQ((ShareEntity{shareA, "Web", 8080, false}).subtitle(), "Port 8080, paused");
  EXPECT_EQ((ShareEntity{shareA, "Web", 8080, true}).subtitle(), "Port 8080");
  EXPECT_EQ((EnvironmentEntity{envID, "Dev", 1}).subtitle(), "1 port");
  EXPECT_EQ((EnvironmentEntity{envID, "Dev", 0}).subtitle(), "0 ports");
  EXPECT_EQ(countText<ShareEntity>(2), "2 shared ports");
  EXPECT_EQ(switchFromRaw("on"), Switch::on);
  EXPECT_EQ(switchFromRaw("off"), Switch::off);
  EXPECT_EQ(switchFromRaw("On"), std::nullopt);
  EXPECT_EQ(title(Switch::off), "Off");
}

TEST(CorvaneShortcutsList, FiveShortcutsEachNamingTheApplicationOncePerPhrase) {
  const auto shortcuts = CorvaneShortcuts::appShortcuts();
  ASSERT_EQ(shortcuts.size(), 5u);
  for (const auto &shortcut : shortcuts) {
    ASSERT_EQ(shortcut.phrases.size(), 2u);
    for (const auto &phrase : shortcut.phrases)
      EXPECT_EQ(
          std::count(phrase.begin(), phrase.end(), AppShortcut::Piece(AppShortcut::Token{"app"})),
          1);
  }
  EXPECT_EQ(shortcuts[3].intent, AppShortcut::Intent::setSharingPaused);
  EXPECT_EQ(CorvaneShortcuts::render(shortcuts[3].phrases[0]), "Pause sharing in Corvane");
  EXPECT_EQ(SetSharingPausedIntent{}.state, Switch::off);
  EXPECT_EQ(CorvaneShortcuts::render(shortcuts[4].phrases[1]), "Pause {environment} in Corvane");
}

class IntentsTest : public ManagerTest {
protected:
  void SetUp() override {
    make();
    queue->advance(11); // past the settle window
    manager->preferences.modify([](Preferences &p) {
      ExposedService a;
      a.id = shareA;
      a.name = "Web";
      a.port = 543;
      a.enabled = true;
      ExposedService b = a;
      b.id = shareB;
      b.name = "Postgres";
      b.port = 5432;
      b.enabled = false;
      p.services = {a, b};
    });
  }

  IntentDependencies dependencies() {
    return {manager, pasteboard, opener, [this] { ++panelOpened; }};
  }

  // Runs an intent to its end on the manual queue.
  template <typename Intent> std::optional<IntentOutcome> perform(const Intent &intent) {
    std::optional<IntentOutcome> outcome;
    intent.perform(dependencies(), [&](IntentOutcome result) { outcome = std::move(result); });
    queue->runUntilIdle();
    return outcome;
  }

  std::shared_ptr<MemoryPasteboard> pasteboard = std::make_shared<MemoryPasteboard>();
  std::shared_ptr<FakeUrlOpener> opener = std::make_shared<FakeUrlOpener>();
  int panelOpened = 0;
};

TEST(IntentFailureText, TheCallersTextIsRepeatedOnlyCleaned) {
  const std::string hostile = "\x1b[31mRed\r\nfake line\x7f\u202Eevil";
  for (const auto &failure :
       {IntentFailure::noPortNamed(hostile), IntentFailure::ambiguousPort(hostile),
        IntentFailure::unknownEnvironment(hostile)}) {
    const auto sentence = failure.errorDescription();
    for (const char *raw : {"\x1b", "\r", "\n", "\x7f", "\u202E"})
      EXPECT_EQ(sentence.find(raw), std::string::npos) << sentence;
    EXPECT_NE(sentence.find("[31mRedfake line"), std::string::npos) << sentence;
  }
  EXPECT_LT(IntentFailure::noPortNamed(std::string(5000, 'x')).errorDescription().size(), 300u);
}

TEST_F(IntentsTest, QueriesReadTheStoredSharesAndEnvironments) {
  ShareQuery shares{manager};
  EXPECT_EQ(shares.entitiesMatching("").size(), 2u) << "switched-off shares are offered too";
  const auto byPort = shares.entitiesMatching("543");
  ASSERT_EQ(byPort.size(), 1u);
  EXPECT_EQ(byPort[0].id, shareA);
  EXPECT_EQ(shares.entitiesMatching("gres").at(0).id, shareB);
  EXPECT_EQ(shares.entitiesFor({shareB, "nothing", shareA}).size(), 2u);

  EnvironmentQuery environments{manager};
  EXPECT_TRUE(environments.suggestedEntities().empty());
  manager->preferences.modify([](Preferences &p) {
    p.environments = std::vector<ShareEnvironment>{{envID, "Dev", {shareA, "gone"}}};
  });
  const auto found = environments.entitiesMatching("dE");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].count, 2);

  PortQuery ports{manager};
  EXPECT_TRUE(ports.suggestedEntities().empty());
  manager->incoming.set({port(pg, IncomingService::State::connected(), 15432),
                         port(redis, IncomingService::State::off())});
  const auto listed = ports.entitiesFor(
      {"abcdef0123456789/" + redis, "abcdef0123456789/" + pg, "abcdef0123456789/" + redis, "x/y"});
  ASSERT_EQ(listed.size(), 2u) << "each port once, in the list's order";
  EXPECT_EQ(listed[0].id, "abcdef0123456789/" + pg);
}

TEST_F(IntentsTest, SwitchingIntentsAnswerWithTheirDialogs) {
  auto off = perform(SetShareIntent{{shareA, "Web", 543, true}, Switch::off});
  ASSERT_TRUE(off && *off);
  EXPECT_EQ((*off)->dialog, "Web is paused.");
  EXPECT_FALSE(manager->preferences->services[0].enabled);

  ASSERT_TRUE(perform(SetSharingPausedIntent{Switch::off}));
  auto on = perform(SetShareIntent{{shareA, "Web", 543, false}, Switch::on});
  ASSERT_TRUE(on && *on);
  EXPECT_EQ((*on)->dialog.value().rfind("Web is on, but ", 0), 0u);
  EXPECT_NE((*on)->dialog.value().substr(15, 1), "S") << "the sentence starts with a small letter";

  auto resumed = perform(SetSharingPausedIntent{Switch::on});
  ASSERT_TRUE(resumed && *resumed);
  EXPECT_EQ((*resumed)->dialog, "Sharing is on.");
  EXPECT_EQ(perform(SetShareIntent{{shareA, "Web", 543, false}, Switch::on}).value()->dialog,
            "Web is shared.");

  auto vanished =
      perform(SetShareIntent{{"0B000000-0000-4000-8000-00000000FFFF", "Old", 1, true}, Switch::on});
  ASSERT_TRUE(vanished && !*vanished);
  EXPECT_EQ(vanished->error(), IntentFailure::unknownShare());
  auto noEnvironment = perform(SetEnvironmentIntent{{envID, "Dev", 0}, Switch::off});
  ASSERT_TRUE(noEnvironment && !*noEnvironment);
  EXPECT_EQ(noEnvironment->error(), IntentFailure::unknownEnvironment("Dev"));
}

TEST_F(IntentsTest, PortIntentsCopyOnlyWhenAsked) {
  manager->incoming.set({port(pg, IncomingService::State::connected(), 15432)});
  const PortEntity postgres = portEntity(manager->incoming->front());

  auto copied = perform(CopyPortAddressIntent{postgres});
  ASSERT_TRUE(copied && *copied);
  EXPECT_EQ(**copied, (IntentResult{"localhost:15432", "Copied localhost:15432."}));
  EXPECT_EQ(pasteboard->string(), "localhost:15432");

  pasteboard->setString("before");
  auto text = perform(GetConnectionStringIntent{postgres, false});
  ASSERT_TRUE(text && *text);
  EXPECT_EQ((*text)->dialog, std::nullopt);
  EXPECT_NE((*text)->value.value_or("").find("15432"), std::string::npos);
  EXPECT_EQ(pasteboard->string(), "before") << "Copy It off leaves the clipboard alone";
  perform(GetConnectionStringIntent{postgres, true});
  EXPECT_EQ(pasteboard->string(), (*text)->value);

  // Show answers a port that does not exist as copying does; nothing is copied or opened.
  pasteboard->setString("before");
  auto shown = perform(ShowPortIntent{{"abcdef0123456789/" + redis, "Redis", "Studio", "off"}});
  ASSERT_TRUE(shown && !*shown);
  EXPECT_EQ(shown->error(), IntentFailure::unknownPort());
  EXPECT_EQ(pasteboard->string(), "before");
  EXPECT_EQ(panelOpened, 0);
  // One that exists but cannot be used becomes the notice, and the panel opens.
  manager->incoming.set({port(pg, IncomingService::State::failed("No free port on this Mac."))});
  shown = perform(ShowPortIntent{postgres});
  ASSERT_TRUE(shown && *shown);
  EXPECT_EQ(manager->notice.get(), "Postgres can't be used right now: No free port on this Mac.");
  EXPECT_EQ(panelOpened, 1);

  auto failed = perform(CopyPortAddressIntent{postgres});
  ASSERT_TRUE(failed && !*failed);
  EXPECT_EQ(failed->error().errorDescription(),
            "Postgres can't be used right now: No free port on this Mac.");
}

TEST_F(IntentsTest, SerialRunnerRunsOnlyTheNewestOfWaitingWork) {
  SerialRunner runner(queue);
  std::vector<std::string> ran;
  std::function<void()> finishFirst;
  runner.run([&](auto, std::function<void()> finished) {
    ran.push_back("first");
    finishFirst = std::move(finished);
  });
  queue->runUntilIdle();
  runner.run([&](auto, std::function<void()> finished) {
    ran.push_back("second");
    finished();
  });
  runner.run([&](auto cancelled, std::function<void()> finished) {
    ran.push_back(cancelled() ? "third cancelled" : "third");
    finished();
  });
  queue->runUntilIdle();
  EXPECT_EQ(ran, std::vector<std::string>{"first"}) << "nothing overlaps the running work";
  finishFirst();
  queue->runUntilIdle();
  EXPECT_EQ(ran, (std::vector<std::string>{"first", "third"}));
}

TEST_F(IntentsTest, ThePortPipelineWaitsForQuietAndSkipsUnchangedTexts) {
  auto index = std::make_shared<SearchIndex>();
  auto runner = std::make_shared<SerialRunner>(queue);
  int updates = 0;
  auto spotlight = syncShortcutParameters(*manager, index, runner, [&] { ++updates; });
  auto siriNames = syncEnvironmentNames(*manager, [&] { ++updates; });
  queue->advance(3);
  EXPECT_EQ(index->passes(), 1) << "the first list, even an empty one";
  EXPECT_EQ(updates, 2);

  // Five changes within 2 s: one pass with the last list.
  for (int i = 0; i < 5; ++i) {
    manager->incoming.set({port(pg, IncomingService::State::connected(), 15000 + i)});
    queue->advance(0.3);
  }
  queue->advance(2.1);
  EXPECT_EQ(index->passes(), 2);
  ASSERT_EQ(index->items().size(), 1u);
  EXPECT_EQ(index->items()[0].entity.detail, "localhost:15004");
  EXPECT_EQ(index->search({"studio", "POSTGRES"}),
            std::vector<std::string>{index->items()[0].entity.id});
  EXPECT_TRUE(index->search({"redis"}).empty());

  // A new latency of a port with a local port changes none of its texts.
  manager->incoming.set({port(pg, IncomingService::State::connected(), 15004, 7)});
  queue->advance(3);
  EXPECT_EQ(index->passes(), 2);
  // Without a local port the latency is its detail.
  manager->incoming.set({port(pg, IncomingService::State::connected(), std::nullopt, 7)});
  queue->advance(3);
  EXPECT_EQ(index->passes(), 3);
  EXPECT_EQ(index->items()[0].entity.detail, "7 ms");

  // The last port goes: the items go, the parameters are still refreshed.
  const int before = updates;
  manager->incoming.set({});
  queue->advance(3);
  EXPECT_TRUE(index->items().empty());
  EXPECT_EQ(updates, before + 1);

  // Renaming an environment refreshes the parameters at once; a share's change does not.
  manager->preferences.modify([](Preferences &p) {
    p.environments = std::vector<ShareEnvironment>{{envID, "Dev", {}}};
  });
  queue->runUntilIdle();
  EXPECT_EQ(updates, before + 2);
  manager->preferences.modify([](Preferences &p) { p.services[0].port = 544; });
  queue->runUntilIdle();
  EXPECT_EQ(updates, before + 2);
  EXPECT_EQ(index->passes(), 4);

  // Ended subscriptions refresh nothing more.
  spotlight.reset();
  manager->incoming.set({port(redis, IncomingService::State::off())});
  queue->advance(3);
  EXPECT_EQ(index->passes(), 4);
}

} // namespace
} // namespace corvane::testing

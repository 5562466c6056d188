// The probe pass over this Mac's shares, share expiry and the loopback port test, on virtual
// time with fake probes.
#include "tests/manager/ManagerFixture.h"

#include <limits>
#include <stdexcept>

namespace corvane::testing {
namespace {

const std::string db = "0C000000-0000-4000-8000-000000000001";
const std::string api = "0C000000-0000-4000-8000-000000000002";
const std::string cache = "0C000000-0000-4000-8000-000000000003";

ExposedService share(const std::string &id, const std::string &name, int port,
                     ServiceCategory category = ServiceCategory::database) {
  ExposedService service;
  service.id = id;
  service.name = name;
  service.port = port;
  service.category = category;
  return service;
}

class ProbesTest : public ManagerTest {
protected:
  void start(std::vector<ExposedService> services) {
    Preferences p;
    p.services = std::move(services);
    savePreferences(p, *defaults);
    make();
  }

  std::vector<int> probedPorts() const {
    std::vector<int> ports;
    for (const auto &probe : recorder.probes)
      ports.push_back(probe.port);
    return ports;
  }

  const OutgoingService &outgoingRow(const std::string &id) const {
    for (const auto &row : manager->outgoing.get())
      if (row.service.id == id)
        return row;
    throw std::runtime_error("no outgoing row " + id);
  }
};

const Endpoint::Host v4 = Endpoint::Host::loopbackIPv4();
const Endpoint::Host v6 = Endpoint::Host::loopbackIPv6();

TEST_F(ProbesTest, APassRunsAtStartThenEveryEightSecondsTryingIPv4BeforeIPv6) {
  recorder.probesTakeTimeout = true;
  start({share(db, "Postgres", 5432), share(api, "API", 8080, ServiceCategory::api)});
  // Nothing answers: one host at a time, each given its full 1.5 s.
  queue->advance(6);
  ASSERT_EQ(recorder.probes.size(), 4u);
  const std::vector<std::pair<Endpoint::Host, double>> expected = {
      {v4, 0}, {v6, 1.5}, {v4, 3}, {v6, 4.5}};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_TRUE(recorder.probes[i].host == expected[i].first) << i;
    EXPECT_DOUBLE_EQ(recorder.probes[i].at, expected[i].second) << i;
    EXPECT_DOUBLE_EQ(recorder.probes[i].timeout, 1.5);
  }
  EXPECT_EQ(probedPorts(), (std::vector<int>{5432, 5432, 8080, 8080}));
  EXPECT_TRUE(manager->running().empty());

  queue->advance(1.5);
  EXPECT_EQ(recorder.probes.size(), 4u) << "the next pass came early";
  queue->advance(0.5);
  ASSERT_EQ(recorder.probes.size(), 5u);
  EXPECT_DOUBLE_EQ(recorder.probes[4].at, 8);
  // Let the pass end: its pending time-outs hold the manager.
  queue->advance(6);
}

TEST_F(ProbesTest, TheFirstHostThatAcceptsIsRememberedAndSharedPortsAreCheckedOnce) {
  recorder.answering.emplace(5432, v6); // listens on ::1 only
  recorder.answeringBoth.insert(6379);  // listens on both
  start({share(db, "Postgres", 5432), share(cache, "Redis", 6379), share(api, "Redis copy", 6379)});
  EXPECT_EQ(probedPorts(), (std::vector<int>{5432, 5432, 6379}));
  ASSERT_EQ(manager->running().size(), 2u);
  EXPECT_TRUE(manager->running().at(5432) == v6);
  EXPECT_TRUE(manager->running().at(6379) == v4);
  EXPECT_TRUE(outgoingRow(cache).running);
  EXPECT_TRUE(outgoingRow(api).running) << "the same port shows the same state";

  // A service that stops is gone after the next pass.
  recorder.answeringBoth.clear();
  queue->advance(8);
  EXPECT_FALSE(manager->running().contains(6379));
  EXPECT_FALSE(outgoingRow(cache).running);
  EXPECT_FALSE(recorder.gateway.back().services[1].running);
}

TEST_F(ProbesTest, PortsOutsideTheRangeAreNeverProbed) {
  recorder.answeringBoth = {0, 65535, 65536};
  start({share(db, "Zero", 0), share(api, "Negative", -80), share(cache, "Too high", 65536),
         share("0C000000-0000-4000-8000-000000000004", "Far too high", 70000),
         share("0C000000-0000-4000-8000-000000000005", "Top", 65535)});
  EXPECT_EQ(probedPorts(), (std::vector<int>{65535}));
  EXPECT_EQ(manager->running().size(), 1u);
  EXPECT_FALSE(outgoingRow(cache).running) << "65536 must not pass for a port that answers";
}

TEST_F(ProbesTest, WithNoSharesAPassStillRefreshesTheNetworkAndAnnouncesAnEmptyList) {
  start({});
  const auto announcements = recorder.gateway.size();
  const auto checks = recorder.healthChecks.size();
  wifi->name = "Office";
  queue->advance(8);
  EXPECT_EQ(manager->wifiName.get(), std::optional<std::string>("Office"));
  ASSERT_GT(recorder.gateway.size(), announcements);
  EXPECT_TRUE(recorder.gateway.back().services.empty());
  EXPECT_EQ(recorder.healthChecks.size(), checks);
  EXPECT_TRUE(recorder.probes.empty());
}

// Passes are not serialised: one that waits on a slow port may end after the next one.
TEST_F(ProbesTest, AnOlderPassEndingLastDoesNotOverwriteANewerResult) {
  std::vector<std::function<void(bool)>> held;
  recorder.acceptsHook = [&](const Endpoint::Host &, int, std::function<void(bool)> done) {
    held.push_back(std::move(done));
  };
  start({share(db, "Postgres", 5432)});
  ASSERT_EQ(held.size(), 1u); // the start-up pass waits on 127.0.0.1
  queue->advance(8);
  ASSERT_EQ(held.size(), 2u); // the timer's pass waits too

  auto newer = std::move(held[1]);
  newer(true);
  queue->runUntilIdle();
  ASSERT_TRUE(manager->running().contains(5432));
  const auto announcements = recorder.gateway.size();

  // The old pass now hears that nothing answers, on either host.
  auto older = std::move(held[0]);
  older(false);
  queue->runUntilIdle();
  ASSERT_EQ(held.size(), 3u);
  auto olderIPv6 = std::move(held[2]);
  olderIPv6(false);
  queue->runUntilIdle();
  EXPECT_TRUE(manager->running().contains(5432)) << "a stale pass put back an old view";
  EXPECT_EQ(recorder.gateway.size(), announcements);
  EXPECT_TRUE(outgoingRow(db).running);

  // In order, each pass applies its own result.
  recorder.acceptsHook = nullptr;
  queue->advance(8);
  EXPECT_FALSE(manager->running().contains(5432));
}

TEST_F(ProbesTest, ExpiredSharesAreSwitchedOffOnceWithOneAnnouncement) {
  const Date startDate = 1000; // the fixture's date at virtual time 0
  auto first = share(db, "Postgres", 5432);
  first.expires = startDate + 5;
  auto second = share(api, "API", 8080);
  second.expires = startDate + 5;
  auto third = share(cache, "Later", 6379);
  third.expires = startDate + 100;
  auto stale = share("0C000000-0000-4000-8000-000000000004", "Off", 9000);
  stale.enabled = false;
  stale.expires = startDate - 1;
  start({first, second, third, stale});
  // The start-up pass ran during the settle window; the sweep ignores it.
  EXPECT_FALSE(manager->preferences->services[3].expires) << "a passed time stays behind";

  manager->recordHealth(db, true);
  // At exactly its time a share is off; two in one sweep cause one announcement.
  const auto announcements = recorder.gateway.size();
  manager->expireShares(startDate + 5);
  EXPECT_EQ(recorder.gateway.size(), announcements + 1);
  const auto &services = manager->preferences->services;
  EXPECT_FALSE(services[0].enabled);
  EXPECT_FALSE(services[0].expires);
  EXPECT_FALSE(services[1].enabled);
  EXPECT_TRUE(services[2].enabled);
  EXPECT_EQ(services[2].expires, std::optional<Date>(startDate + 100));
  EXPECT_FALSE(manager->shareResponding().contains(db)) << "switched on again, it starts afresh";
  EXPECT_FALSE(manager->healthTracking().contains(db));
  EXPECT_EQ(ServiceManager::loadPreferences(*defaults), manager->preferences.get());
  ASSERT_EQ(recorder.gateway.back().services.size(), 1u);
  EXPECT_EQ(recorder.gateway.back().services[0].id, cache);

  // Nothing expired: nothing saved, nothing announced.
  const auto saved = defaults->data(Preferences::defaultsKey);
  manager->expireShares(startDate + 50);
  EXPECT_EQ(recorder.gateway.size(), announcements + 1);
  EXPECT_EQ(defaults->data(Preferences::defaultsKey), saved);

  // The probe pass runs the sweep with the current date.
  queue->advance(104);
  EXPECT_FALSE(manager->preferences->services[2].enabled);
}

TEST_F(ProbesTest, AnExpiryThatIsNotANumberCountsAsPassed) {
  auto odd = share(db, "Postgres", 5432);
  start({odd});
  manager->preferences.modify(
      [](Preferences &p) { p.services[0].expires = std::numeric_limits<double>::quiet_NaN(); });
  manager->expireShares(2000);
  EXPECT_FALSE(manager->preferences->services[0].enabled);
  EXPECT_FALSE(manager->preferences->services[0].expires);
}

TEST_F(ProbesTest, LoopbackPortFreedomFollowsBothFamilies) {
  make();
  const auto tests = recorder.bindTests;
  EXPECT_FALSE(manager->isLoopbackPortFree(0));
  EXPECT_FALSE(manager->isLoopbackPortFree(65536));
  EXPECT_FALSE(manager->isLoopbackPortFree(-1));
  EXPECT_EQ(recorder.bindTests, tests) << "a port out of range was tried";

  EXPECT_TRUE(manager->isLoopbackPortFree(5000));
  // Bound by someone, listening or not yet, on either address: taken.
  recorder.bind4[5001] = BindResult::inUse;
  EXPECT_FALSE(manager->isLoopbackPortFree(5001));
  recorder.bind4[5002] = BindResult::otherError;
  EXPECT_FALSE(manager->isLoopbackPortFree(5002));
  recorder.bind6[5003] = BindResult::inUse;
  EXPECT_FALSE(manager->isLoopbackPortFree(5003));
  recorder.bind6[5004] = BindResult::otherError;
  EXPECT_TRUE(manager->isLoopbackPortFree(5004)) << "no IPv6 loopback leaves IPv4 alone";
}

class VersionsTest : public ProbesTest {};

TEST_F(VersionsTest, AVersionIsReadOncePerRunOfTheService) {
  recorder.answeringBoth = {5432, 6379};
  recorder.versionAnswers[5432] = "16.2";
  auto disabled = share(cache, "Redis", 6379);
  disabled.enabled = false;
  recorder.versionAnswers[6379] = "7.0";
  start({share(db, "Postgres", 5432), disabled, share(api, "Nothing", 8080)});
  EXPECT_EQ(recorder.versionReads, (std::vector<int>{5432, 6379}));
  EXPECT_EQ(manager->shareVersions().at(db), "16.2");
  EXPECT_EQ(manager->shareVersions().at(cache), "7.0") << "a switched-off share is read too";
  ASSERT_EQ(recorder.gateway.back().services.size(), 2u) << "but announced only when on";
  EXPECT_EQ(recorder.gateway.back().services[0].version, std::optional<std::string>("16.2"));
  EXPECT_FALSE(recorder.gateway.back().services[1].version);

  // The service restarts on a newer version while no pass sees it stopped: not read again.
  recorder.versionAnswers[5432] = "17.0";
  queue->advance(16);
  EXPECT_EQ(recorder.versionReads.size(), 2u);
  // A pass sees it closed: the version goes; the next pass that sees it running reads it.
  recorder.answeringBoth.erase(5432);
  queue->advance(8);
  EXPECT_FALSE(manager->shareVersions().contains(db));
  EXPECT_FALSE(recorder.gateway.back().services[0].version);
  recorder.answeringBoth.insert(5432);
  queue->advance(8);
  EXPECT_EQ(manager->shareVersions().at(db), "17.0");
}

TEST_F(VersionsTest, AReadThatYieldsNothingWaitsForTheNextRunAndRemovedSharesAreDropped) {
  recorder.answeringBoth = {5432};
  start({share(db, "Postgres", 5432)});
  EXPECT_EQ(recorder.versionReads.size(), 1u);
  recorder.versionAnswers[5432] = "16.2";
  queue->advance(24);
  EXPECT_EQ(recorder.versionReads.size(), 1u) << "retried while the port kept running";

  recorder.answeringBoth.erase(5432);
  queue->advance(8);
  recorder.answeringBoth.insert(5432);
  queue->advance(8);
  EXPECT_EQ(manager->shareVersions().at(db), "16.2");

  manager->preferences.modify([](Preferences &p) { p.services.clear(); });
  queue->advance(8);
  EXPECT_TRUE(manager->shareVersions().empty());
}

TEST_F(VersionsTest, AnAnswerThatArrivesAfterThePortClosedIsDropped) {
  recorder.answeringBoth = {5432};
  std::function<void(std::optional<std::string>)> held;
  recorder.versionHook = [&](int, auto done) { held = std::move(done); };
  start({share(db, "Postgres", 5432)});
  ASSERT_TRUE(held);
  // Meanwhile the next pass finds the port closed.
  recorder.answeringBoth.clear();
  queue->advance(8);
  auto answer = std::move(held);
  answer("16.2");
  queue->runUntilIdle();
  EXPECT_FALSE(manager->shareVersions().contains(db));
}

class HealthTest : public ProbesTest {
protected:
  std::optional<std::string> announcedHealth() const {
    for (const auto &info : recorder.gateway.back().services)
      if (info.id == db)
        return info.health;
    ADD_FAILURE() << "not announced";
    return std::nullopt;
  }
};

TEST_F(HealthTest, NotRespondingOnlyAfterAnAnswerAndTwoMissesInARow) {
  recorder.answeringBoth = {5432};
  start({share(db, "Postgres", 5432)});
  ASSERT_EQ(recorder.healthChecks.size(), 1u) << "the first pass checks at once";
  EXPECT_EQ(manager->shareResponding().at(db), true);

  recorder.unhealthy = {5432};
  queue->advance(32);
  ASSERT_EQ(recorder.healthChecks.size(), 2u);
  EXPECT_FALSE(announcedHealth()) << "one miss is forgiven";
  EXPECT_TRUE(outgoingRow(db).responding == std::optional<bool>(true));
  queue->advance(32);
  EXPECT_EQ(announcedHealth(), std::optional<std::string>("not responding"));
  EXPECT_TRUE(outgoingRow(db).responding == std::optional<bool>(false));

  recorder.unhealthy.clear();
  queue->advance(32);
  EXPECT_FALSE(announcedHealth()) << "one answer clears it";
}

TEST_F(HealthTest, AServiceThatNeverAnsweredLikeItsKindIsNeverDeclaredUnhealthy) {
  recorder.answeringBoth = {5432};
  recorder.unhealthy = {5432};
  start({share(db, "Postgres", 5432)});
  queue->advance(200);
  EXPECT_GE(recorder.healthChecks.size(), 6u);
  EXPECT_FALSE(announcedHealth());
  EXPECT_FALSE(manager->shareResponding().contains(db));
}

TEST_F(HealthTest, ChecksRunAtMostOncePerThirtySecondsAndNeverTwiceAtOnce) {
  recorder.answeringBoth = {5432};
  start({share(db, "Postgres", 5432)});
  queue->advance(100);
  std::vector<double> at;
  for (const auto &[port, time] : recorder.healthChecks)
    at.push_back(time);
  EXPECT_EQ(at, (std::vector<double>{0, 32, 64, 96}));

  // A check that hangs past the interval holds the next one back.
  std::vector<std::function<void(bool)>> held;
  recorder.healthHook = [&](int, std::function<void(bool)> done) {
    held.push_back(std::move(done));
  };
  queue->advance(32); // 128: a check starts and hangs
  ASSERT_EQ(held.size(), 1u);
  queue->advance(64);
  EXPECT_EQ(held.size(), 1u) << "a second check ran beside the first";
  auto answer = std::move(held[0]);
  answer(true);
  queue->runUntilIdle();
  queue->advance(8);
  EXPECT_EQ(held.size(), 2u) << "the check after the hung one never came";
}

TEST_F(HealthTest, TrackersGoWhenTheShareStopsIsSwitchedOffOrCannotBeChecked) {
  recorder.answeringBoth = {5432, 4444};
  start({share(db, "Postgres", 5432), share(api, "Thing", 4444, ServiceCategory::custom)});
  EXPECT_EQ(recorder.healthChecks.size(), 1u) << "an unknown custom share has no check";
  EXPECT_TRUE(manager->healthTracking().contains(db));
  EXPECT_FALSE(manager->healthTracking().contains(api));

  // Answered, then two misses: unhealthy. The port stops: the verdict and tracker go.
  recorder.unhealthy = {5432};
  queue->advance(64);
  ASSERT_EQ(announcedHealth(), std::optional<std::string>("not responding"));
  recorder.answeringBoth.erase(5432);
  queue->advance(32);
  EXPECT_FALSE(manager->healthTracking().contains(db));
  EXPECT_FALSE(announcedHealth());

  // Back, it must answer again before it can be unhealthy.
  recorder.answeringBoth.insert(5432);
  queue->advance(96);
  EXPECT_FALSE(announcedHealth());

  // A check that ends after its share was removed leaves nothing behind.
  std::function<void(bool)> held;
  recorder.healthHook = [&](int, std::function<void(bool)> done) { held = std::move(done); };
  queue->advance(32);
  ASSERT_TRUE(held);
  manager->preferences.modify([](Preferences &p) { p.services.erase(p.services.begin()); });
  auto answer = std::move(held);
  answer(true);
  queue->runUntilIdle();
  EXPECT_TRUE(manager->healthTracking().empty());
  EXPECT_TRUE(manager->shareResponding().empty());
}

} // namespace
} // namespace corvane::testing

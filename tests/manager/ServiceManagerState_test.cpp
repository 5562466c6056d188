// Start-up, settings, the control's request, the notice and the settle window, on virtual time.
#include "brimvale/platform/Json.h"
#include "brimvale/platform/QueueContract.h"
#include "tests/manager/ManagerFixture.h"

#include <cstdlib>
#include <filesystem>
#include <thread>

namespace corvane::testing {
namespace {

TEST_F(ManagerTest, StartUpMigratesTheLegacySettingsOnceAndKeepsTheLegacyValue) {
  const Bytes legacy = bytesOf(R"({"exposedServices":[{"name":"Web","port":8080}]})");
  defaults->setData(Preferences::legacyDefaultsKey, legacy);
  make();
  ASSERT_EQ(manager->preferences->services.size(), 1u);
  EXPECT_EQ(manager->preferences->services[0].name, "Web");
  const auto saved = defaults->data(Preferences::defaultsKey);
  ASSERT_TRUE(saved);
  EXPECT_EQ(Preferences::decodePreferences(*saved), manager->preferences.get());
  EXPECT_EQ(defaults->data(Preferences::legacyDefaultsKey), legacy);
}

TEST_F(ManagerTest, StartUpPrefersTheCurrentKeyAndWritesNothingWithoutEither) {
  make();
  EXPECT_EQ(manager->preferences.get(), Preferences::defaultPreferences());
  EXPECT_FALSE(defaults->data(Preferences::defaultsKey));
  manager.reset();

  Preferences current;
  current.trustedNetworks = std::vector<std::string>{"Home"};
  savePreferences(current, *defaults);
  defaults->setData(Preferences::legacyDefaultsKey,
                    bytesOf(R"({"exposedServices":[{"name":"Web","port":8080}]})"));
  make();
  EXPECT_EQ(manager->preferences.get(), current);
}

TEST_F(ManagerTest, ASettingsRecordWithAnUnreadableShareKeepsTheOthersThroughTheFirstSave) {
  Preferences user;
  for (const auto &[name, port] : {std::pair{"Postgres", 5432}, {"Admin", 8080}, {"Queue", 5672}}) {
    ExposedService share;
    share.id = makeUUID();
    share.name = name;
    share.port = port;
    user.services.push_back(share);
  }
  user.nicknames = std::map<std::string, std::string>{{"aaaa000000000001", "Desk"}};
  Json document = user.toJson();
  document["services"][0]["port"] = "5432";
  const Bytes stored = bytesOf(dumpJson(document));
  defaults->setData(Preferences::defaultsKey, stored);

  make();
  ASSERT_EQ(manager->preferences->services.size(), 2u);
  manager->setShareEnabled(user.services[1].id, false);
  const Preferences saved = ServiceManager::loadPreferences(*defaults);
  ASSERT_EQ(saved.services.size(), 2u);
  EXPECT_EQ(saved.services[0].name, "Admin");
  EXPECT_FALSE(saved.services[0].enabled);
  EXPECT_EQ(saved.services[1], user.services[2]);
  EXPECT_EQ(saved.nicknames, user.nicknames);
  EXPECT_EQ(defaults->data("corvane.preferences.v2.damaged"), stored);
}

TEST_F(ManagerTest, AShareOfALaterCategoryAndANullPartKeepAllFourSharesThroughASave) {
  Preferences user;
  for (const auto &[name, port] :
       {std::pair{"Postgres", 5432}, {"Admin", 8080}, {"Queue", 5672}, {"Cache", 6379}}) {
    ExposedService share;
    share.id = makeUUID();
    share.name = name;
    share.port = port;
    user.services.push_back(share);
  }
  Json document = user.toJson();
  document["services"][2]["category"] = "Cache Server";
  document["knownServices"] = nullptr;
  defaults->setData(Preferences::defaultsKey, bytesOf(dumpJson(document)));

  make();
  EXPECT_EQ(manager->preferences->services.size(), 3u) << "a later category is not offered";
  manager->setShareEnabled(user.services[1].id, false);
  const Json saved = parseJson(*defaults->data(Preferences::defaultsKey)).value();
  ASSERT_EQ(saved["services"].size(), 4u) << saved;
  EXPECT_EQ(saved["services"][1]["enabled"], false);
  EXPECT_EQ(saved["services"][2], document["services"][2]);
  EXPECT_EQ(saved["services"][3]["name"], "Cache");
}

TEST_F(ManagerTest, StoredDeviceNameWinsOverTheHostName) {
  make();
  EXPECT_EQ(manager->deviceName.get(), "studio");
  manager.reset();
  defaults->setString("deviceName", "Build box");
  make();
  EXPECT_EQ(manager->deviceName.get(), "Build box");
}

TEST_F(ManagerTest, ThePauseRequestFiledBeforeLaunchIsTakenBeforeTheFirstPublishAndSaved) {
  controlDefaults->setBool("requestPaused", true);
  controlDefaults->setDouble("requestAt", 2000);
  make();
  EXPECT_EQ(manager->preferences->sharingPaused, std::optional(true));
  EXPECT_EQ(manager->sharingState.get(), SharingState::pausedByYou());
  EXPECT_EQ(ServiceManager::loadPreferences(*defaults).sharingPaused, std::optional(true));
  // The publish that follows wrote the state back and kept the request's stamp.
  EXPECT_EQ(controlDefaults->boolean("paused"), std::optional(true));
  EXPECT_EQ(controlDefaults->boolean("running"), std::optional(true));
  EXPECT_EQ(controlDefaults->doubleValue("appliedAt"), std::optional(2000.0));
  // Paired Macs were offered nothing.
  ASSERT_FALSE(recorder.gateway.empty());
  EXPECT_TRUE(recorder.gateway.back().services.empty());
}

TEST_F(ManagerTest, AResumeRequestLeavesThePauseAbsentAndARunningRequestArrivesByNotification) {
  Preferences paused;
  paused.sharingPaused = true;
  savePreferences(paused, *defaults);
  controlDefaults->setBool("requestPaused", false);
  controlDefaults->setDouble("requestAt", 500);
  make();
  EXPECT_EQ(manager->preferences->sharingPaused, std::nullopt);
  const auto stored = defaults->data(Preferences::defaultsKey);
  ASSERT_TRUE(stored);
  EXPECT_FALSE(parseJson(*stored)->contains("sharingPaused"));

  // While running: the control files a pause and posts its notification.
  controlDefaults->setBool("requestPaused", true);
  controlDefaults->setDouble("requestAt", 5000);
  ASSERT_TRUE(recorder.controlPosted);
  const int reloads = recorder.reloads;
  recorder.controlPosted();
  queue->runUntilIdle();
  EXPECT_EQ(manager->sharingState.get(), SharingState::pausedByYou());
  EXPECT_GT(recorder.reloads, reloads);

  // A repeated notification only writes the state back.
  recorder.controlPosted();
  queue->runUntilIdle();
  EXPECT_EQ(manager->preferences->sharingPaused, std::optional(true));
}

TEST_F(ManagerTest, QuittingMarksSharingAsNotRunningForTheControl) {
  make();
  EXPECT_EQ(controlDefaults->boolean("running"), std::optional(true));
  manager->shutdown();
  EXPECT_EQ(controlDefaults->boolean("running"), std::optional(false));
}

// Settings files in a folder of the test's own, whose locks the test can block as a full disk
// would fail the saves.
class FileSettingsTest : public ManagerTest {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/corvane-saves-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root = pattern;
    ::setenv("XDG_CONFIG_HOME", root.c_str(), 1);
    defaults = std::make_shared<UserDefaults>(UserDefaults::standardDomain);
    controlDefaults = std::make_shared<UserDefaults>(UserDefaults::appGroupDomain);
  }
  void TearDown() override {
    ManagerTest::TearDown();
    std::filesystem::remove_all(root);
  }
  void blockSaves(bool blocked) {
    for (const auto *domain : {UserDefaults::standardDomain, UserDefaults::appGroupDomain}) {
      const auto lock = root / "corvane" / (std::string(domain) + ".json.lock");
      std::filesystem::remove_all(lock);
      if (blocked)
        std::filesystem::create_directory(lock); // cannot be opened for writing
    }
  }
  // What a later start would read.
  Preferences stored() const {
    UserDefaults fresh(UserDefaults::standardDomain);
    return ServiceManager::loadPreferences(fresh);
  }
  bool controlShowsPaused() const {
    return UserDefaults(UserDefaults::appGroupDomain).boolean("paused").value_or(false);
  }

  std::filesystem::path root;
};

TEST_F(FileSettingsTest, ChangesMadeWhileSavesFailAreSavedOnceTheyCanBeAndAtShutdown) {
  make();
  ASSERT_FALSE(manager->addShare("Alpha", 5432, ServiceCategory::database));
  const auto alpha = manager->preferences->services.front().id;
  blockSaves(true);
  manager->setShareEnabled(alpha, false);
  manager->setSharingPaused(true);
  queue->advance(30);
  EXPECT_TRUE(stored().services.front().enabled);
  EXPECT_FALSE(controlShowsPaused());

  // Space returns: the retries, never more than the cap apart, save both and publish the pause.
  blockSaves(false);
  queue->advance(ServiceManager::saveRetryCap);
  EXPECT_FALSE(stored().services.front().enabled);
  EXPECT_EQ(stored().sharingPaused, std::optional(true));
  EXPECT_TRUE(controlShowsPaused());

  // Failing until the stop: saved by the stop itself.
  blockSaves(true);
  manager->setSharingPaused(false);
  blockSaves(false);
  manager->shutdown();
  EXPECT_EQ(stored().sharingPaused, std::nullopt);
}

TEST_F(FileSettingsTest, WhatCannotBeSavedAtShutdownIsLoggedAsLost) {
  make();
  blockSaves(true);
  manager->setSharingPaused(true);
  ::testing::internal::CaptureStderr();
  manager->shutdown();
  const auto log = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("Could not save the settings before stopping"), std::string::npos) << log;
  EXPECT_NE(log.find("lost: corvane.preferences.v2"), std::string::npos) << log;
  blockSaves(false);
  EXPECT_EQ(stored().sharingPaused, std::nullopt);
}

TEST_F(ManagerTest, NoticeStaysWhileThePanelIsHiddenAndLivesEightSecondsOnceShown) {
  make();
  manager->setNotice("First");
  queue->advance(60);
  EXPECT_EQ(manager->notice.get(), std::optional<std::string>("First"));

  manager->setPanelVisible(true);
  queue->advance(7.9);
  EXPECT_EQ(manager->notice.get(), std::optional<std::string>("First"));
  queue->advance(0.2);
  EXPECT_EQ(manager->notice.get(), std::nullopt);
}

TEST_F(ManagerTest, ANewerNoticeIsNeverClearedByTheOlderOnesTask) {
  make();
  manager->setPanelVisible(true);
  manager->setNotice("Older");
  queue->advance(5);
  manager->setNotice("Newer");
  queue->advance(3.5); // the older notice's eight seconds are over
  EXPECT_EQ(manager->notice.get(), std::optional<std::string>("Newer"));
  queue->advance(5);
  EXPECT_EQ(manager->notice.get(), std::nullopt);

  // Hiding the panel stops the clock; a notice set meanwhile waits for the panel.
  manager->setNotice("While hidden");
  manager->setPanelVisible(false);
  queue->advance(30);
  EXPECT_EQ(manager->notice.get(), std::optional<std::string>("While hidden"));
}

TEST_F(ManagerTest, EveryPeerIsStillConnectingDuringTheSettleWindowOnly) {
  make();
  const auto peer = pair("Studio");
  EXPECT_TRUE(manager->isStillConnecting(peer.deviceID));
  EXPECT_TRUE(manager->isStillConnecting("unknown"));
  queue->advance(10.5);
  EXPECT_FALSE(manager->isStillConnecting(peer.deviceID)) << "not discovered";

  // Discovered but not yet reporting: still connecting; once live: not.
  bringOnline({peer});
  EXPECT_TRUE(manager->isStillConnecting(peer.deviceID));
  manager->handleLinkEvent({}, {}, std::nullopt, peer.deviceID);
  EXPECT_FALSE(manager->isStillConnecting(peer.deviceID));
}

TEST_F(ManagerTest, PreviewKeepsSettingsInMemoryAndStartsNothing) {
  Preferences stored;
  stored.trustedNetworks = std::vector<std::string>{"Home"};
  savePreferences(stored, *defaults);
  defaults->setString("deviceName", "Stored");
  make(/*preview=*/true);
  EXPECT_EQ(manager->preferences.get(), Preferences::defaultPreferences());
  EXPECT_EQ(manager->deviceName.get(), "studio");
  EXPECT_EQ(recorder.gatewayStarts, 0);
  EXPECT_TRUE(recorder.proxy.empty());

  manager->trustNetwork("Office");
  manager->setSharingPaused(true);
  EXPECT_EQ(ServiceManager::loadPreferences(*defaults), stored) << "a preview saved settings";
  EXPECT_EQ(manager->sharingState.get(), SharingState::pausedByYou());
}

TEST_F(ManagerTest, OperationsOffTheMainQueueStopTheProgram) {
  if (!queueContractsChecked())
    GTEST_SKIP() << "queue contracts are checked in the sanitizer build";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  make();
  auto offMain = [this](auto operation) { std::thread([&] { operation(*manager); }).join(); };
  EXPECT_DEATH(offMain([](ServiceManager &m) { m.setSharingPaused(true); }),
               "ServiceManager: every operation on the main queue");
  EXPECT_DEATH(offMain([](ServiceManager &m) { m.relayNetworkChange(); }), "ServiceManager: ");
  EXPECT_DEATH(offMain([](ServiceManager &m) { m.shutdown(); }), "ServiceManager: ");
  // On the main queue nothing stops.
  manager->setSharingPaused(true);
  EXPECT_EQ(manager->sharingState.get(), SharingState::pausedByYou());
}

TEST(ServiceManagerFactory, UnderTheTestHarnessSecretsAndSettingsStayInMemory) {
  const auto home =
      std::filesystem::temp_directory_path() / ("corvane-preview-" + std::to_string(::getpid()));
  std::filesystem::create_directories(home);
  ::setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
  ::setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
  ::setenv("XCTestConfigurationFilePath", "/dev/null", 1);
  {
    auto queue = std::make_shared<ManualMainQueue>();
    auto manager = ServiceManager::makeSharedServiceManager(queue);
    queue->runUntilIdle();
    EXPECT_TRUE(manager->preview());
    manager->trustNetwork("Home");
    manager->shutdown();
    queue->runUntilIdle();
  }
  ::unsetenv("XCTestConfigurationFilePath");
  EXPECT_FALSE(std::filesystem::exists(home / "config")) << "settings were written";
  EXPECT_FALSE(std::filesystem::exists(home / "data")) << "secrets were written";
  std::filesystem::remove_all(home);
}

} // namespace
} // namespace corvane::testing

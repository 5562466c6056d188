#include "brimvale/integrations/UpdateChecker.h"
#include "brimvale/manager/ServiceManager.h"
#include "brimvale/platform/ManualMainQueue.h"
#include "brimvale/platform/MemorySecretStore.h"
#include "brimvale/platform/RegistryDnsSd.h"
#include "brimvale/shell/AppDelegate.h"
#include "brimvale/shell/GlobalHotkey.h"

#include <cstdlib>
#include <gtest/gtest.h>

namespace corvane {
namespace {

// A manager in preview (no network), links carried out on a manual queue.
class AppDelegateTest : public ::testing::Test {
protected:
  void SetUp() override {
    ::unsetenv(AppDelegate::testVariable);
    ServiceManager::Setup setup;
    setup.mainQueue = queue;
    setup.store = std::make_shared<MemorySecretStore>();
    setup.isPreview = true;
    setup.defaults = defaults;
    setup.dnsSd = RegistryDnsSd::create(DnsSdRegistry::create());
    setup.hostName = "studio";
    manager = ServiceManager::create(setup);
    checker =
        UpdateChecker::create(*queue, *defaults, opener, {},
                              [this](HttpRequest, std::function<void(HttpResult)>) { ++fetches; });
  }
  void TearDown() override {
    delegate.reset();
    queue->runUntilIdle();
    ::unsetenv(AppDelegate::testVariable);
  }

  AppDelegate &make() {
    delegate = std::make_unique<AppDelegate>(AppDelegate::Services{
        manager, nullptr, checker.get(), std::make_shared<FakeUrlOpener>(),
        [this](const std::string &text) { copied.push_back(text); },
        [this] {
          // Records whether the pause ran before: the links' order.
          panelOpenings.push_back(manager->preferences->sharingPaused.value_or(false));
        }});
    return *delegate;
  }

  std::shared_ptr<ManualMainQueue> queue = std::make_shared<ManualMainQueue>();
  std::shared_ptr<UserDefaults> defaults{UserDefaults::inMemory()};
  FakeUrlOpener opener;
  std::shared_ptr<ServiceManager> manager;
  std::shared_ptr<UpdateChecker> checker;
  std::unique_ptr<AppDelegate> delegate;
  int fetches = 0;
  std::vector<std::string> copied;
  std::vector<bool> panelOpenings;
};

TEST_F(AppDelegateTest, LinksBeforeLaunchRunOnceAfterItInArrivalOrder) {
  auto &app = make();
  app.open({"corvane://pause-all"});
  app.open({"corvane://show"});
  queue->runUntilIdle();
  EXPECT_EQ(app.pendingLinks().size(), 2u);
  EXPECT_TRUE(panelOpenings.empty());
  EXPECT_FALSE(manager->preferences->sharingPaused.value_or(false));

  app.applicationDidFinishLaunching();
  queue->runUntilIdle();
  EXPECT_TRUE(app.launched());
  EXPECT_TRUE(app.pendingLinks().empty());
  EXPECT_EQ(panelOpenings, std::vector<bool>{true}) << "the pause ran first, the panel once";

  // The update checks were started at launch: the first one 5 s later.
  queue->advance(UpdateChecker::firstCheckDelay + 1);
  EXPECT_EQ(fetches, 1);

  // After launch a link runs at once; an open panel is not opened again.
  app.open({"corvane://show"});
  queue->runUntilIdle();
  EXPECT_EQ(panelOpenings.size(), 2u);
  manager->setPanelVisible(true);
  app.open({"corvane://show"});
  queue->runUntilIdle();
  EXPECT_EQ(panelOpenings.size(), 2u);
  manager->setPanelVisible(false);
}

TEST_F(AppDelegateTest, UnderTheTestHarnessLinksAreDroppedAndNothingStarts) {
  ::setenv(AppDelegate::testVariable, "1", 1);
  auto &app = make();
  app.open({"corvane://show"});
  app.applicationDidFinishLaunching();
  queue->advance(UpdateChecker::firstCheckDelay + 1);
  EXPECT_TRUE(app.pendingLinks().empty());
  EXPECT_FALSE(app.launched());
  EXPECT_TRUE(panelOpenings.empty());
  EXPECT_EQ(fetches, 0);
}

} // namespace
} // namespace corvane

#include "brimvale/shell/EnvironmentMenu.h"
#include "brimvale/shell/ShareMenu.h"
#include "tests/panels/PanelFixture.h"
#include "tests/shell/Appearance.h"
#include "tests/shell/MenuItems.h"
#include "tests/shell/Screens.h"

#include <QDateTime>
#include <QMenu>
#include <gtest/gtest.h>

namespace corvane::testing {
namespace {

const QString ellipsis = QStringLiteral("\u2026");

// The share and environment menus over a real manager holding the panels' shares: Postgres
// (used by Studio), API (paused) and Docs (only for Studio) in the environment "Dev", Cache.
class ShareMenuTest : public PanelTest {
protected:
  void SetUp() override {
    makeWithShares();
    // Again with the gateway's disconnect recorded.
    manager->shutdown();
    queue->runUntilIdle();
    auto s = setup();
    s.effects.disconnectAtGateway = [this](const std::string &peer, const std::string &share) {
      disconnected.emplace_back(peer, share);
    };
    manager = ServiceManager::create(s);
    queue->advance(11);
  }

  const OutgoingService &outgoing(const std::string &id) const {
    for (const auto &row : manager->outgoing.get())
      if (row.service.id == id)
        return row;
    throw std::runtime_error("no share " + id);
  }
  const ExposedService *stored(const std::string &id) const {
    for (const auto &service : manager->preferences->services)
      if (service.id == id)
        return &service;
    return nullptr;
  }

  std::unique_ptr<QMenu> shareMenu(const std::string &id, bool explanation = false) {
    auto menu = std::make_unique<QMenu>();
    ManualMainQueue *clock = queue.get();
    ShareMenu(
        outgoing(id), *manager, explanation, [this](const QString &window) { opened << window; },
        [clock, this] { return nowOverride ? *nowOverride : 1000 + clock->now(); })
        .addTo(*menu);
    return menu;
  }
  QStringList titles(const std::string &id, bool explanation = false) {
    return itemTitles(*shareMenu(id, explanation));
  }
  bool checked(const std::string &id, const QString &title) {
    auto menu = shareMenu(id);
    QAction *action = item(*menu, title);
    EXPECT_TRUE(action && action->isCheckable()) << title.toStdString();
    return action && action->isChecked();
  }
  void choose(const std::string &id, const QString &title) {
    auto menu = shareMenu(id);
    QAction *action = item(*menu, title);
    ASSERT_TRUE(action) << title.toStdString();
    action->trigger();
    queue->runUntilIdle();
  }

  void chooseInEnvironmentMenu(bool allOn, const QString &title) {
    QMenu menu;
    EnvironmentMenu(*manager->findEnvironment(apiShare), allOn, *manager).addTo(menu);
    QAction *action = item(menu, title);
    ASSERT_TRUE(action) << title.toStdString();
    action->trigger();
    queue->runUntilIdle();
  }

  std::vector<std::pair<std::string, std::string>> disconnected;
  std::optional<Date> nowOverride;
};

TEST_F(ShareMenuTest, ItemsFollowTheShareAndTheManagersState) {
  // No paired Mac, nobody connected: no "Connected now", no "Who can use it".
  EXPECT_EQ(titles(cacheShare),
            (QStringList{"--- Share", "For 1 hour", "Until midnight", "Until I pause it",
                         "Environment", "  Dev", "  None", "  ---", "  New environment" + ellipsis,
                         "Add hints for connecting" + ellipsis, "---", "Pause sharing",
                         "Stop sharing and remove"}));

  pairMacs(3);
  EXPECT_EQ(titles(dbShare), (QStringList{"--- Connected now",
                                          "Disconnect Studio",
                                          "--- Who can use it",
                                          "Every paired Mac",
                                          "Studio",
                                          "Laptop of Ana",
                                          "Build box",
                                          "--- Share",
                                          "For 1 hour",
                                          "Until midnight",
                                          "Until I pause it",
                                          "Environment",
                                          "  Dev",
                                          "  None",
                                          "  ---",
                                          "  New environment" + ellipsis,
                                          "Add hints for connecting" + ellipsis,
                                          "---",
                                          "Pause sharing",
                                          "Stop sharing and remove"}));
  EXPECT_TRUE(
      item(*shareMenu(dbShare), "Stop sharing and remove")->property("destructive").toBool());

  // The paused share in "Dev" offers resuming, with its environment ticked.
  const QStringList api = titles(apiShare);
  EXPECT_FALSE(api.contains("--- Connected now"));
  EXPECT_TRUE(api.contains("Resume sharing"));
  EXPECT_FALSE(api.contains("Pause sharing"));
  EXPECT_TRUE(checked(apiShare, "Dev"));
  EXPECT_FALSE(checked(apiShare, "None"));
  EXPECT_TRUE(checked(dbShare, "None"));

  // Without environments the submenu only offers a new one.
  manager->ungroupEnvironment(devEnvironment);
  const QStringList plain = titles(dbShare);
  const auto at = plain.indexOf("Environment");
  EXPECT_EQ(plain.mid(at, 3), (QStringList{"Environment", "  New environment" + ellipsis,
                                           "Add hints for connecting" + ellipsis}));
}

TEST_F(ShareMenuTest, ExplainOnlyWithTheModelAndAProblem) {
  // Cache is on but nothing listens on its port.
  const QStringList cache = titles(cacheShare, true);
  ASSERT_GE(cache.size(), 2);
  EXPECT_EQ(cache.mid(0, 2), (QStringList{"Explain this problem", "---"}));
  EXPECT_FALSE(titles(cacheShare, false).contains("Explain this problem"));
  EXPECT_FALSE(titles(dbShare, true).contains("Explain this problem")) << "it answers";
  EXPECT_FALSE(titles(apiShare, true).contains("Explain this problem")) << "it is off";

  auto menu = shareMenu(cacheShare, true);
  item(*menu, "Explain this problem")->trigger();
  ASSERT_TRUE(manager->explaining.get());
  EXPECT_EQ(manager->explaining.get()->service, "Cache");
  EXPECT_TRUE(manager->explaining.get()->sharedFromHere);
  EXPECT_EQ(opened, QStringList{"explain"});
}

TEST_F(ShareMenuTest, DisconnectCutsOffOneMacAtTheGateway) {
  const auto peers = pairMacs(2);
  choose(dbShare, "Disconnect Studio");
  ASSERT_EQ(disconnected.size(), 1u);
  EXPECT_EQ(disconnected[0], std::make_pair(peers[0].deviceID, dbShare));
  EXPECT_EQ(stored(dbShare)->allowed, std::nullopt) << "it keeps its right to the share";
  // The gateway knows shares by their upper-case id.
  manager->disconnectShareUser(peers[1].deviceID, "0d000000-0000-4000-8000-00000000000a");
  EXPECT_EQ(disconnected.back(),
            std::make_pair(peers[1].deviceID, std::string("0D000000-0000-4000-8000-00000000000A")));
}

TEST_F(ShareMenuTest, WhoCanUseIt) {
  const auto peers = pairMacs(3);
  for (const char *title : {"Every paired Mac", "Studio", "Laptop of Ana", "Build box"})
    EXPECT_TRUE(checked(dbShare, title)) << title;

  // Off: every Mac paired now keeps its access, and stays ticked.
  choose(dbShare, "Every paired Mac");
  EXPECT_EQ(stored(dbShare)->allowed,
            (std::set<std::string>{peers[0].deviceID, peers[1].deviceID, peers[2].deviceID}));
  EXPECT_FALSE(checked(dbShare, "Every paired Mac"));
  for (const char *title : {"Studio", "Laptop of Ana", "Build box"})
    EXPECT_TRUE(checked(dbShare, title)) << title;

  choose(dbShare, "Laptop of Ana");
  EXPECT_EQ(stored(dbShare)->allowed,
            (std::set<std::string>{peers[0].deviceID, peers[2].deviceID}));
  EXPECT_FALSE(checked(dbShare, "Laptop of Ana"));
  choose(dbShare, "Laptop of Ana");
  EXPECT_TRUE(checked(dbShare, "Laptop of Ana"));

  choose(dbShare, "Every paired Mac");
  EXPECT_EQ(stored(dbShare)->allowed, std::nullopt);

  // Docs is only for Studio.
  EXPECT_FALSE(checked(docsShare, "Every paired Mac"));
  EXPECT_TRUE(checked(docsShare, "Studio"));
  EXPECT_FALSE(checked(docsShare, "Laptop of Ana"));
}

TEST_F(ShareMenuTest, DurationsSetTheEndAndTurnThePausedShareOn) {
  nowOverride = 800000000;
  choose(apiShare, "For 1 hour");
  EXPECT_TRUE(stored(apiShare)->enabled);
  EXPECT_EQ(stored(apiShare)->expires, 800003600);

  // A minute before midnight: it ends at the coming midnight, local time.
  const QDateTime lateEvening(QDate(2026, 3, 28), QTime(23, 59));
  nowOverride = dateFromUnix(static_cast<double>(lateEvening.toSecsSinceEpoch()));
  manager->setShareEnabled(apiShare, false);
  choose(apiShare, "Until midnight");
  EXPECT_TRUE(stored(apiShare)->enabled);
  ASSERT_TRUE(stored(apiShare)->expires);
  EXPECT_EQ(
      QDateTime::fromSecsSinceEpoch(static_cast<qint64>(unixFromDate(*stored(apiShare)->expires))),
      QDateTime(QDate(2026, 3, 29), QTime(0, 0)));

  choose(apiShare, "Until I pause it");
  EXPECT_EQ(stored(apiShare)->expires, std::nullopt);
  EXPECT_TRUE(stored(apiShare)->enabled);
}

TEST_F(ShareMenuTest, EnvironmentHintsPauseAndRemove) {
  choose(dbShare, "Dev");
  ASSERT_TRUE(manager->findEnvironment(dbShare));
  EXPECT_EQ(manager->findEnvironment(dbShare)->id, devEnvironment);
  EXPECT_TRUE(checked(dbShare, "Dev"));
  EXPECT_FALSE(checked(dbShare, "None"));
  choose(dbShare, "Dev"); // ticked off: in no environment
  EXPECT_EQ(manager->findEnvironment(dbShare), std::nullopt);
  choose(dbShare, "None"); // already none: stays so
  EXPECT_EQ(manager->findEnvironment(dbShare), std::nullopt);

  choose(dbShare, "New environment" + ellipsis);
  EXPECT_EQ(manager->environmentPrompt.get(),
            (EnvironmentPrompt{EnvironmentPrompt::Kind::create, dbShare, std::nullopt}));

  choose(dbShare, "Add hints for connecting" + ellipsis);
  ASSERT_TRUE(manager->hintsPrompt.get());
  EXPECT_EQ(manager->hintsPrompt.get()->id, dbShare);
  manager->setHints(dbShare, ShareHints{"shop", std::nullopt, std::nullopt});
  EXPECT_TRUE(titles(dbShare).contains("Edit hints for connecting" + ellipsis));

  choose(dbShare, "Pause sharing");
  EXPECT_FALSE(stored(dbShare)->enabled);
  choose(dbShare, "Resume sharing");
  EXPECT_TRUE(stored(dbShare)->enabled);

  choose(docsShare, "Stop sharing and remove");
  EXPECT_EQ(stored(docsShare), nullptr);
  EXPECT_EQ(manager->findEnvironment(docsShare), std::nullopt);
  EXPECT_EQ(manager->findEnvironment(apiShare)->serviceIDs, std::vector<std::string>{apiShare});
}

TEST_F(ShareMenuTest, EnvironmentMenu) {
  QMenu on;
  EnvironmentMenu(*manager->findEnvironment(apiShare), true, *manager).addTo(on);
  EXPECT_EQ(itemTitles(on), (QStringList{"Pause Dev", "Rename" + ellipsis, "Ungroup"}));
  QMenu off;
  EnvironmentMenu(*manager->findEnvironment(apiShare), false, *manager).addTo(off);
  EXPECT_EQ(itemTitles(off).first(), "Resume Dev");

  // Resuming turns every share on, those already on included; pausing turns them all off.
  chooseInEnvironmentMenu(false, "Resume Dev");
  EXPECT_TRUE(stored(apiShare)->enabled);
  EXPECT_TRUE(stored(docsShare)->enabled);
  chooseInEnvironmentMenu(true, "Pause Dev");
  EXPECT_FALSE(stored(apiShare)->enabled);
  EXPECT_FALSE(stored(docsShare)->enabled);
  EXPECT_TRUE(stored(dbShare)->enabled) << "not in the environment";

  chooseInEnvironmentMenu(true, "Rename" + ellipsis);
  ASSERT_TRUE(manager->environmentPrompt.get());
  EXPECT_EQ(manager->environmentPrompt.get()->kind, EnvironmentPrompt::Kind::rename);
  EXPECT_EQ(manager->environmentPrompt.get()->environment, manager->findEnvironment(apiShare));

  // Ungrouping keeps every share as it was.
  chooseInEnvironmentMenu(true, "Ungroup");
  EXPECT_EQ(manager->preferences->environments, std::nullopt);
  ASSERT_TRUE(stored(apiShare) && stored(docsShare));
  EXPECT_FALSE(stored(apiShare)->enabled);
  EXPECT_FALSE(stored(docsShare)->enabled);
}

TEST_F(ShareMenuTest, ScreensInLightAndDark) {
  pairMacs(3);
  for (auto appearance : {Theme::Appearance::light, Theme::Appearance::dark}) {
    ScopedAppearance scoped(appearance);
    auto menu = shareMenu(dbShare);
    const QImage image = saveScreen(*menu, "share-menu", appearance);
    EXPECT_GT(image.height(), 300);
    EXPECT_GT(drawnPixels(image, Theme::background.in(appearance)), 1000);

    QMenu *environments = item(*menu, "Environment")->menu();
    saveScreen(*environments, "share-menu-environment", appearance);

    QMenu environment;
    EnvironmentMenu(*manager->findEnvironment(apiShare), false, *manager).addTo(environment);
    const QImage small = saveScreen(environment, "environment-menu", appearance);
    EXPECT_GT(drawnPixels(small, Theme::background.in(appearance)), 200);
  }
}

} // namespace
} // namespace corvane::testing

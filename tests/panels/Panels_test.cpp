// Both panels over a real service manager: what they show for paired Macs, ports and shares
// in every state, and what their controls ask of the manager.
#include "brimvale/panels/ClassicPanel.h"
#include "brimvale/panels/MacMap.h"
#include "brimvale/panels/MapPanel.h"
#include "brimvale/panels/PanelStyle.h"
#include "brimvale/panels/PortRow.h"
#include "brimvale/panels/ShareChip.h"
#include "brimvale/panels/StateWatch.h"
#include "brimvale/shell/ElidingLabel.h"
#include "brimvale/shell/PanelFrame.h"
#include "tests/panels/PanelFixture.h"
#include "tests/shell/Appearance.h"
#include "tests/shell/MenuItems.h"

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QPointer>
#include <QTest>
#include <limits>
#include <memory>

namespace corvane::testing {
namespace {

constexpr qreal tall = 2000;

class PanelsTest : public PanelTest {
protected:
  void SetUp() override { makeWithShares(); }

  PanelActions actions() {
    return {[this] { ++pairs; }, [this] { ++settings; }, [this] { ++quits; }};
  }

  std::unique_ptr<MapPanel> mapPanel(qreal maxHeight = tall) {
    auto panel = std::make_unique<MapPanel>(context(), actions(), maxHeight);
    panel->show();
    settle();
    return panel;
  }

  std::unique_ptr<ClassicPanel> classicPanel() {
    auto panel = std::make_unique<ClassicPanel>(context(), actions(), tall);
    panel->show();
    settle();
    return panel;
  }

  template <typename T> static T *one(QWidget &root, const QString &name) {
    auto found = visible<T>(root, name);
    EXPECT_EQ(found.size(), 1u) << name.toStdString();
    return found.empty() ? nullptr : found.front();
  }

  static QString text(QWidget &root, const QString &name) {
    for (QLabel *label : visible<QLabel>(root, name))
      return label->text();
    for (ElidingLabel *label : visible<ElidingLabel>(root, name))
      return label->text();
    return {};
  }

  ShareChip *chip(QWidget &root, const std::string &name) {
    for (ShareChip *each : visible<ShareChip>(root, "shareChip"))
      if (each->row().service.name == name)
        return each;
    ADD_FAILURE() << "no chip " << name;
    return nullptr;
  }

  bool enabled(const std::string &id) {
    for (const auto &row : manager->outgoing.get())
      if (row.service.id == id)
        return row.service.enabled;
    return false;
  }

  int pairs = 0, settings = 0, quits = 0;
};

TEST_F(PanelsTest, TheMapShowsNearbyMacsFirstAndTheSelectedMacsPorts) {
  const auto peers = pairMacs(4);
  auto panel = mapPanel();
  const auto shown = panel->shownMacs();
  ASSERT_EQ(shown.size(), 4u);
  EXPECT_EQ(shown[0].name, "Studio");
  EXPECT_EQ(shown[1].name, "Laptop of Ana");
  EXPECT_EQ(shown[2].name, "Build box") << "away Macs follow, oldest paired first";
  EXPECT_EQ(text(*panel, "panelSubtitle"), QString::fromUtf8("On this network · 2 Macs nearby"));
  EXPECT_EQ(text(*panel, "cardName"), "Studio");
  EXPECT_EQ(text(*panel, "cardSubtitle"), QString::fromUtf8("12 ms · 4 ports"));
  EXPECT_EQ(visible<PortRow>(*panel, "portRow").size(), 4u);
  EXPECT_EQ(text(*panel, "mapHint"), "Tap a Mac for its ports");

  // A click on a row's address copies it.
  for (PortRow *row : visible<PortRow>(*panel, "portRow"))
    if (row->row().name == "PostgreSQL") {
      QTest::mouseClick(row->findChild<QAbstractButton *>("copyButton"), Qt::LeftButton);
      EXPECT_EQ(QApplication::clipboard()->text(),
                "localhost:" + QString::number(*row->row().localPort));
    }

  // Selecting another Mac on the map shows its card; its ports are grouped by environment.
  auto discs = visible<QAbstractButton>(*panel, "macDisc");
  ASSERT_EQ(discs.size(), 4u);
  QTest::mouseClick(discs[1], Qt::LeftButton, {}, discs[1]->rect().center());
  settle();
  EXPECT_EQ(text(*panel, "cardName"), "Laptop of Ana");
  EXPECT_EQ(text(*panel, "cardSubtitle"), "2 ports");
  discs = visible<QAbstractButton>(*panel, "macDisc");
  QTest::mouseClick(discs[2], Qt::LeftButton, {}, discs[2]->rect().center());
  settle();
  EXPECT_EQ(text(*panel, "cardSubtitle"), QString::fromUtf8("away · 1 port"));
  auto *wake = one<QAbstractButton>(*panel, "wakeButton");
  ASSERT_NE(wake, nullptr);
  QTest::mouseClick(wake, Qt::LeftButton);
  EXPECT_EQ(woken, std::vector<std::string>{peers[2].deviceID});

  // The selected Mac is unpaired: the first shown Mac takes its place.
  manager->unpair(peers[2].deviceID);
  settle();
  EXPECT_EQ(panel->selectedMac()->name, "Studio");
  EXPECT_EQ(text(*panel, "cardName"), "Studio");
}

TEST_F(PanelsTest, SixPairedMacsShowFourAndCountTheRest) {
  pairMacs(6);
  auto panel = mapPanel();
  EXPECT_EQ(panel->shownMacs().size(), 4u);
  EXPECT_EQ(visible<QAbstractButton>(*panel, "macDisc").size(), 4u);
  EXPECT_EQ(text(*panel, "mapHint"), "2 more in Settings");
}

TEST_F(PanelsTest, OnlineCountsCountOnlyMacsStillPaired) {
  const auto peers = pairMacs(1);
  manager->onlinePeerIDs.modify([](auto &ids) { ids.insert("0123456789abcdef-gone"); });
  auto panel = mapPanel();
  PanelContext context;
  context.manager = &*manager;
  EXPECT_EQ(context.onlinePairedIDs(), std::set<std::string>{peers[0].deviceID});
  EXPECT_EQ(text(*panel, "panelSubtitle"), QString::fromUtf8("On this network · 1 Mac nearby"));
  auto classic = classicPanel();
  EXPECT_EQ(text(*classic, "pairedSummary"), "1 Mac paired, encrypted");

  manager->onlinePeerIDs.set({"0123456789abcdef-gone"});
  settle();
  EXPECT_EQ(text(*panel, "emptyTitle"), "No paired Macs nearby")
      << "a Mac no longer paired does not count as nearby";
  EXPECT_EQ(text(*classic, "pairedSummary"), "1 Mac paired, not nearby");
}

TEST_F(PanelsTest, EmptyStatesOfferPairingAndHelp) {
  auto panel = mapPanel();
  EXPECT_EQ(text(*panel, "emptyTitle"), "No Macs paired yet");
  EXPECT_TRUE(visible<MacMap>(*panel).empty());
  QTest::mouseClick(one<QAbstractButton>(*panel, "pairButton"), Qt::LeftButton);
  EXPECT_EQ(pairs, 1);
  auto *help = one<QAbstractButton>(*panel, "helpButton");
  EXPECT_EQ(help->text(), "Why can't I see someone?");
  QTest::mouseClick(help, Qt::LeftButton);
  settle();
  EXPECT_EQ(one<QAbstractButton>(*panel, "helpButton")->text(), "Hide");
  EXPECT_EQ(visible<QWidget>(*panel, "helpBox").size(), 1u);

  pairAt("Studio", 1);
  settle();
  EXPECT_EQ(text(*panel, "emptyTitle"), "No paired Macs nearby");
}

TEST_F(PanelsTest, BoxesFollowTheAppearanceBeforeThePanelIsBuiltAgain) {
  manager->setSharingPaused(true);
  auto panel = mapPanel();
  panel->show();
  settle();
  auto *banner = one<QWidget>(*panel, "pausedBanner");
  ASSERT_NE(banner, nullptr);
  ScopedAppearance dark(Theme::Appearance::dark);
  // Painted at once, before the rebuild the change schedules.
  const QImage image = banner->grab().toImage();
  EXPECT_EQ(image.pixelColor(image.width() / 2, 2).rgb(),
            Theme::surface.in(Theme::Appearance::dark).rgb());
}

TEST_F(PanelsTest, ChipsPauseAndResumeSharesAndEnvironmentsTogether) {
  pairMacs(2);
  auto panel = mapPanel();
  ASSERT_EQ(visible<ShareChip>(*panel, "shareChip").size(), 4u);
  EXPECT_EQ(chip(*panel, "Postgres")->shownStatus(), "1 using");
  EXPECT_EQ(chip(*panel, "Docs")->shownStatus(), QString::fromUtf8("20 min left · only Studio"));
  QTest::mouseClick(chip(*panel, "Postgres"), Qt::LeftButton);
  settle();
  EXPECT_FALSE(enabled(dbShare));
  EXPECT_EQ(chip(*panel, "Postgres")->shownStatus(), "paused");
  QTest::mouseClick(chip(*panel, "Postgres"), Qt::LeftButton);
  settle();
  EXPECT_TRUE(enabled(dbShare));

  // "Dev" holds a paused share: its button resumes the whole environment.
  auto *toggle = one<QAbstractButton>(*panel, "environmentToggle");
  EXPECT_EQ(toggle->text(), "Resume");
  QTest::mouseClick(toggle, Qt::LeftButton);
  settle();
  EXPECT_TRUE(enabled(apiShare));
  EXPECT_EQ(one<QAbstractButton>(*panel, "environmentToggle")->text(), "Pause");

  // Edit mode: the hint changes, "Pause all" and the add entry go, a tap opens the menu.
  QTest::mouseClick(one<QAbstractButton>(*panel, "editButton"), Qt::LeftButton);
  settle();
  EXPECT_TRUE(panel->editingShares());
  EXPECT_EQ(one<QAbstractButton>(*panel, "editButton")->text(), "Done");
  EXPECT_TRUE(visible<QAbstractButton>(*panel, "pauseAllButton").empty());
  EXPECT_TRUE(visible<QAbstractButton>(*panel, "shareAPortButton").empty());
  QTest::mouseClick(chip(*panel, "Cache"), Qt::LeftButton);
  EXPECT_EQ(menusAsked, std::vector<std::string>{cacheShare});
  if (QWidget *popup = QApplication::activePopupWidget())
    popup->close();
  settle();
  EXPECT_TRUE(enabled(cacheShare));
}

TEST_F(PanelsTest, PauseAllTheBannerAndTheFooter) {
  auto panel = mapPanel();
  EXPECT_EQ(visible<QWidget>(*panel, "shortcutHint").size(), 1u);
  QTest::mouseClick(one<QAbstractButton>(*panel, "pauseAllButton"), Qt::LeftButton);
  settle();
  EXPECT_EQ(manager->sharingState->which, SharingState::Case::pausedByYou);
  ASSERT_EQ(visible<QWidget>(*panel, "pausedBanner").size(), 1u);
  QTest::mouseClick(one<QAbstractButton>(*panel, "resumeButton"), Qt::LeftButton);
  settle();
  EXPECT_EQ(manager->sharingState->which, SharingState::Case::on);
  EXPECT_TRUE(visible<QWidget>(*panel, "pausedBanner").empty());

  manager->setNotice("Port 5432 is in use.");
  settle();
  EXPECT_TRUE(visible<QWidget>(*panel, "shortcutHint").empty()) << "the notice comes first";
  QTest::mouseClick(one<QAbstractButton>(*panel, "noticeButton"), Qt::LeftButton);
  settle();
  EXPECT_FALSE(manager->notice.get());
  shortcutRegistered = false; // a Wayland session, or another application holds the key
  panel->rebuild();
  settle();
  EXPECT_TRUE(visible<QWidget>(*panel, "shortcutHint").empty()) << "a shortcut that does nothing";
  shortcutRegistered = true;
  defaults->setBool("globalShortcut", false);
  panel->rebuild();
  settle();
  EXPECT_TRUE(visible<QWidget>(*panel, "shortcutHint").empty());
  QTest::mouseClick(one<QAbstractButton>(*panel, "settingsButton"), Qt::LeftButton);
  QTest::mouseClick(one<QAbstractButton>(*panel, "quitButton"), Qt::LeftButton);
  EXPECT_EQ(settings, 1);
  EXPECT_EQ(quits, 1);

  manager->sharingTip.set("Paired Macs see new shares at once.");
  settle();
  QTest::mouseClick(one<QAbstractButton>(*panel, "gotItButton"), Qt::LeftButton);
  settle();
  EXPECT_FALSE(manager->sharingTip.get());
}

TEST_F(PanelsTest, TheShareEditorReplacesTheMacsAndStopsTheScrolling) {
  pairMacs(1);
  std::function<void()> finish;
  PanelContext ctx = context();
  ctx.hooks.shareEditor = [&](std::function<void()> done) {
    finish = std::move(done);
    auto *editor = new QLabel("editor");
    editor->setObjectName("editor");
    return editor;
  };
  MapPanel panel(ctx, actions(), 600);
  panel.show();
  settle();
  EXPECT_TRUE(panel.findChild<PanelFrame *>()->scrolls());
  QTest::mouseClick(one<QAbstractButton>(panel, "shareAPortButton"), Qt::LeftButton);
  settle();
  EXPECT_TRUE(visible<MacMap>(panel).empty());
  EXPECT_EQ(visible<QLabel>(panel, "editor").size(), 1u);
  EXPECT_TRUE(visible<ShareChip>(panel).empty());
  EXPECT_FALSE(visible<PanelFrame>(panel).front()->scrolls());
  finish();
  settle();
  EXPECT_EQ(visible<MacMap>(panel).size(), 1u);
  EXPECT_TRUE(visible<PanelFrame>(panel).front()->scrolls());
}

TEST_F(PanelsTest, AMenuOpenHoldsTheRebuildBackUntilItCloses) {
  pairMacs(1);
  auto panel = mapPanel();
  auto *menu = new QMenu(panel.get());
  menu->addAction("Item");
  menu->popup(QPoint(0, 0));
  manager->setNotice("Something changed.");
  settle();
  EXPECT_TRUE(visible<QAbstractButton>(*panel, "noticeButton").empty())
      << "the panel under an open menu stays as it was";
  menu->close();
  QTest::qWait(3 * StateWatch::menuRetryMs);
  settle();
  EXPECT_EQ(visible<QAbstractButton>(*panel, "noticeButton").size(), 1u);
}

TEST_F(PanelsTest, TheClassicPanelCopiesSwitchesAndPauses) {
  const auto peers = pairMacs(3);
  auto panel = classicPanel();
  EXPECT_EQ(text(*panel, "pairedSummary"), "2 of 3 Macs nearby, encrypted");
  const auto groups = visible<QWidget>(*panel, "macGroup");
  ASSERT_EQ(groups.size(), 3u);
  std::vector<QString> reach;
  for (QLabel *label : visible<QLabel>(*panel, "macReach"))
    reach.push_back(label->text());
  EXPECT_EQ(reach, (std::vector<QString>{"12 ms", "Nearby", "Not nearby"}));
  // Half points stay half points rather than rounding to whole pixels.
  EXPECT_DOUBLE_EQ(visible<QLabel>(*panel, "macReach").front()->font().pointSizeF(),
                   Theme::system(10.5).pointSizeF());

  auto rows = visible<ClassicIncomingRow>(*panel, "classicIncomingRow");
  ClassicIncomingRow *pg = nullptr;
  for (auto *row : rows)
    if (row->row().name == "PostgreSQL")
      pg = row;
  ASSERT_NE(pg, nullptr);
  QTest::mouseClick(pg, Qt::LeftButton);
  EXPECT_EQ(QApplication::clipboard()->text(),
            "localhost:" + QString::number(*pg->row().localPort));
  EXPECT_EQ(pg->findChild<QLabel *>("copyMark")->text(), "Copied");
  // Owned by the row, which the rebuild after the change deletes with it.
  QMenu *menu = pg->buildContextMenu();
  EXPECT_EQ(itemTitles(*menu).last(), "Turn off");
  item(*menu, "Turn off")->trigger();
  settle();
  for (const auto &row : manager->incoming.get())
    if (row.key == RouteKey{peers[0].deviceID, pgService}) {
      EXPECT_EQ(row.state, IncomingService::State::off());
    }

  // Switches and the environment's button.
  for (auto *toggle : visible<QAbstractButton>(*panel, "shareSwitch"))
    if (toggle->accessibleName() == "Share Postgres") {
      QTest::mouseClick(toggle, Qt::LeftButton);
      break;
    }
  settle();
  EXPECT_FALSE(enabled(dbShare));
  QTest::mouseClick(one<QAbstractButton>(*panel, "classicEnvironmentToggle"), Qt::LeftButton);
  settle();
  EXPECT_TRUE(enabled(apiShare));

  QTest::mouseClick(one<QAbstractButton>(*panel, "classicPauseAll"), Qt::LeftButton);
  settle();
  EXPECT_TRUE(visible<QAbstractButton>(*panel, "classicPauseAll").empty())
      << "no \"Pause all\" while paused";
  QTest::mouseClick(one<QAbstractButton>(*panel, "classicResume"), Qt::LeftButton);
  settle();
  EXPECT_EQ(manager->sharingState->which, SharingState::Case::on);
  QTest::mouseClick(one<QAbstractButton>(*panel, "classicPair"), Qt::LeftButton);
  EXPECT_EQ(pairs, 1);
}

TEST_F(PanelsTest, AClassicRowWithoutALocalPortCopiesNothing) {
  IncomingService row;
  row.key = {"peer-a", pgService};
  row.peerName = "Studio";
  row.name = "PostgreSQL";
  row.remotePort = 5432;
  row.state = IncomingService::State::failed(ServiceManager::noFreePortText);
  PanelContext ctx = context();
  CopyFeedback feedback{*queue};
  QApplication::clipboard()->setText("untouched");
  ClassicIncomingRow shown(ctx, row, feedback);
  shown.show();
  QTest::mouseClick(&shown, Qt::LeftButton);
  EXPECT_EQ(QApplication::clipboard()->text(), "untouched");
  EXPECT_FALSE(feedback.copiedID());
}

TEST_F(PanelsTest, ThePanelStyleDefaultPicksThePanel) {
  EXPECT_EQ(panelStyle(*defaults), PanelStyle::map);
  std::unique_ptr<QWidget> chosen(makePanel(panelStyle(*defaults), context(), actions(), tall));
  EXPECT_NE(dynamic_cast<MapPanel *>(chosen.get()), nullptr);
  defaults->setString(panelStyleKey, "classic");
  EXPECT_EQ(panelStyle(*defaults), PanelStyle::classic);
  chosen.reset(makePanel(panelStyle(*defaults), context(), actions(), tall));
  EXPECT_NE(dynamic_cast<ClassicPanel *>(chosen.get()), nullptr);
  defaults->setString(panelStyleKey, "tiles");
  EXPECT_EQ(panelStyle(*defaults), PanelStyle::map);
  EXPECT_EQ(chosen->width(), PanelFrame::panelWidth);
}

TEST_F(PanelsTest, APanelsViewsAndTimersGoWithIt) {
  pairMacs(2);
  reduceMotion = false;
  auto panel = mapPanel();
  std::vector<QPointer<QTimer>> timers;
  for (QTimer *timer : panel->findChildren<QTimer *>())
    timers.emplace_back(timer);
  EXPECT_FALSE(timers.empty());
  MacMap *map = visible<MacMap>(*panel).front();
  EXPECT_TRUE(map->isAnimating()) << "a port is in use";
  panel.reset();
  for (const auto &timer : timers)
    EXPECT_TRUE(timer.isNull());
  // The manager goes on publishing; nothing is left to hear it.
  manager->setNotice("After the panel.");
  settle();
}

} // namespace
} // namespace corvane::testing

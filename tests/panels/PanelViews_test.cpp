// The panels' parts on their own: the map, the well, the nearby map, a port row and a chip.
#include "brimvale/panels/FrameTimer.h"
#include "brimvale/panels/MacMap.h"
#include "brimvale/panels/NearbyMapView.h"
#include "brimvale/panels/PortRow.h"
#include "brimvale/panels/ReduceMotion.h"
#include "brimvale/panels/SearchingWell.h"
#include "brimvale/panels/ShareChip.h"
#include "brimvale/shell/CopyFeedback.h"
#include "tests/panels/PanelFixture.h"
#include "tests/shell/MenuItems.h"
#include "tests/shell/Screens.h"

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QFontMetricsF>
#include <QLabel>
#include <QLayout>
#include <QPointer>
#include <QTest>
#include <algorithm>
#include <cmath>
#include <memory>

namespace corvane::testing {
namespace {

using State = IncomingService::State;

TEST(ReduceMotionTest, OnlyAnAnswerOfFalseTurnsAnimationsOff) {
  EXPECT_TRUE(ReduceMotion::fromSetting("false\n"));
  EXPECT_FALSE(ReduceMotion::fromSetting("true\n"));
  EXPECT_FALSE(ReduceMotion::fromSetting(std::nullopt));
  EXPECT_FALSE(ReduceMotion::fromSetting("No such schema"));
}

TEST(SearchingWellTest, RingsGrowAndFadeHalfAPeriodApartAndStandStillWithReduceMotion) {
  const auto first = SearchingWell::ring(0, 1.2, false);
  const auto second = SearchingWell::ring(1, 1.2, false);
  EXPECT_DOUBLE_EQ(first.progress, 0.5);
  EXPECT_NEAR(second.progress, 0.0, 1e-12);
  EXPECT_NEAR(first.opacity, 0.45, 1e-12);
  EXPECT_NEAR(SearchingWell::ring(0, 2.4 * 1000 + 0.6, false).scale, 0.45 + 0.55 * 0.25, 1e-9);
  const auto still = SearchingWell::ring(0, 7, true);
  EXPECT_NEAR(still.scale, 0.78, 1e-12);
  EXPECT_DOUBLE_EQ(still.opacity, 0.5);
  EXPECT_DOUBLE_EQ(SearchingWell::ring(1, 7, true).scale, 1.0);

  SearchingWell moving(false, [] { return 5.0; });
  moving.show();
  EXPECT_TRUE(moving.isAnimating());
  moving.hide();
  EXPECT_FALSE(moving.isAnimating()) << "a hidden well does not draw";
  SearchingWell stillWell(true, [] { return 5.0; });
  stillWell.show();
  EXPECT_FALSE(stillWell.isAnimating());
  EXPECT_EQ(stillWell.accessibleName(), "Looking for paired Macs");
  EXPECT_LE(1000.0 / FrameTimer::intervalMs, 30.0);
}

TEST(NearbyMapTest, NodesSitOnAStretchedEllipseClockwiseFromUpperRight) {
  EXPECT_TRUE(layoutMapNodes(200, 100, 72, 400, 0).empty());
  const auto one = layoutMapNodes(200, 100, 72, 400, 1);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_NEAR(one[0].x(), 200 + 1.9 * 72, 1e-9);
  EXPECT_NEAR(one[0].y(), 100, 1e-9);
  const auto four = layoutMapNodes(200, 100, 72, 400, 4);
  const double angle = -54 * std::numbers::pi / 180;
  EXPECT_NEAR(four[0].x(), 200 + 1.9 * 72 * std::cos(angle), 1e-9);
  EXPECT_NEAR(four[0].y(), 100 + 72 * std::sin(angle), 1e-9);
  EXPECT_GT(four[1].y(), four[0].y()) << "clockwise on screen";
  const auto zero = layoutMapNodes(0, 0, 0, 0, 2);
  EXPECT_TRUE(std::isfinite(zero[0].x())) << "a zero-sized area divides by 1, not 0";

  EXPECT_EQ(mapNodeInitials("lab-mac 2"), "LM");
  EXPECT_EQ(mapNodeInitials("2019 mini"), "2M");
  EXPECT_EQ(mapNodeInitials("studio"), "S");
  EXPECT_EQ(mapNodeInitials("--- !"), "");
  EXPECT_EQ(mapNodeInitials(QString::fromUtf8("\xF0\x9D\x90\x80x y")),
            QString::fromUtf8("\xF0\x9D\x90\x80Y"))
      << "a letter outside the basic plane stays whole";
}

TEST(NearbyMapTest, OnlyCandidatesAreButtonsAndOnlyTheyBreathe) {
  std::vector<MapNode> chosen;
  std::vector<MapNode> nodes = {{"a", "Studio", MapNode::Kind::paired(true), 0},
                                {"b", "Attic", MapNode::Kind::paired(false), -1},
                                {"c", "New mini", MapNode::Kind::candidate(), 5}};
  NearbyMapView view(
      nodes, "c", [&](const MapNode &node) { chosen.push_back(node); }, false);
  view.resize(400, 260);
  view.show();
  EXPECT_TRUE(view.isAnimating());
  auto *candidate = view.findChild<QAbstractButton *>("candidateNode");
  ASSERT_NE(candidate, nullptr);
  EXPECT_EQ(candidate->accessibleName(), "Pair with New mini");
  QTest::mouseClick(candidate, Qt::LeftButton);
  ASSERT_EQ(chosen.size(), 1u);
  EXPECT_EQ(chosen[0].id, "c");
  for (auto *paired : view.findChildren<QAbstractButton *>("pairedNode")) {
    EXPECT_TRUE(paired->testAttribute(Qt::WA_TransparentForMouseEvents));
    EXPECT_TRUE(paired->accessibleName().contains("paired"));
  }
  EXPECT_GE(view.candidateOpacity(), 0.12);
  EXPECT_LE(view.candidateOpacity(), 0.28);

  view.setNodes({nodes[0], nodes[1]}, std::nullopt);
  EXPECT_FALSE(view.isAnimating()) << "nothing breathes without candidates";
  NearbyMapView still(nodes, std::nullopt, {}, true);
  still.show();
  EXPECT_FALSE(still.isAnimating());
  EXPECT_DOUBLE_EQ(still.candidateOpacity(), 0.12);
}

class MacMapTest : public PanelTest {
protected:
  void SetUp() override {
    make();
    queue->advance(11);
  }
};

TEST_F(MacMapTest, MoreThanFourMacsNeverReachPastTheSlotTable) {
  std::vector<PairedPeer> peers;
  for (int i = 0; i < 6; ++i)
    peers.push_back(pairAt("Mac " + std::to_string(i), i));
  online(peers);
  for (const auto &peer : peers)
    manager->handleLinkEvent({offered(pgService, "PostgreSQL", 5432)}, {}, std::nullopt,
                             peer.deviceID);
  MacMap map(*manager, true, peers, peers[5].deviceID, {}, {}, [] { return 0.0; });
  map.show();
  EXPECT_EQ(map.shownPeers().size(), 4u);
  EXPECT_EQ(map.findChildren<QAbstractButton *>("macDisc").size(), 4u);
  EXPECT_TRUE(map.portLabels(5).empty());
  EXPECT_TRUE(map.portLabels(4).empty());
  EXPECT_FALSE(map.portLabels(3).empty());
  const QImage picture = map.grab().toImage();
  EXPECT_EQ(picture.size(), QSize(340, 224));
}

TEST_F(MacMapTest, DiscsLabelsAndLinksFollowEachMacsPorts) {
  const auto a = pairAt("Studio Pro", 1);
  const auto b = pairAt("Attic", 2);
  online({b});
  manager->handleLinkEvent({offered(pgService, "PostgreSQL", 5432),
                            offered(redisService, "Redis", 6379),
                            offered(webService, "Quokka Ledger", 3000, false)},
                           {}, std::nullopt, b.deviceID);
  // b sits in slot 0 (nearby first) and keeps colour index 1; a is away in slot 1.
  MacMap map(*manager, false, {b, a}, b.deviceID, {}, {}, [] { return 0.55; });
  map.show();
  EXPECT_FALSE(map.isAnimating()) << "nothing in use: the links stand still";
  auto discs = map.findChildren<QAbstractButton *>("macDisc");
  ASSERT_EQ(discs.size(), 2u);
  EXPECT_EQ(discs[0]->accessibleName(), "Attic, nearby, 3 ports");
  EXPECT_TRUE(discs[0]->isChecked());
  EXPECT_EQ(discs[1]->accessibleName(), "Studio Pro, not nearby, 0 ports");
  const auto labels = map.portLabels(0);
  ASSERT_EQ(labels.size(), 2u);
  EXPECT_TRUE(labels[0].active);
  EXPECT_EQ(labels[1].text, "+2 more");
  EXPECT_NEAR(labels[0].centre.x(), 170 + (72 - 170) * 0.42, 1e-9);
  EXPECT_TRUE(map.portLabels(1).empty());
  EXPECT_EQ(MacMap::shortName("Laptop-of-Anastasia Pro"), "Laptop-of");

  manager->applyLatency(b.deviceID, 0.012);
  manager->relayRouteActivity(RouteKey{b.deviceID, pgService}, 1);
  MacMap moving(*manager, false, {b}, std::nullopt, {}, {}, [] { return 0.55; });
  moving.show();
  EXPECT_TRUE(moving.isAnimating());
  EXPECT_EQ(moving.findChild<QAbstractButton *>("macDisc")->accessibleName(),
            "Attic, 12 milliseconds, 3 ports");
  EXPECT_NEAR(MacMap::phase(0.55), 11, 1e-9);
  MacMap still(*manager, true, {b}, std::nullopt, {}, {}, [] { return 0.55; });
  still.show();
  EXPECT_FALSE(still.isAnimating()) << "Reduce Motion freezes the dashes";

  std::vector<std::string> selected;
  int pairs = 0;
  MacMap clickable(
      *manager, true, {b}, std::nullopt, [&](const std::string &id) { selected.push_back(id); },
      [&] { ++pairs; }, [] { return 0.0; });
  clickable.show();
  QTest::mouseClick(clickable.findChild<QAbstractButton *>("macDisc"), Qt::LeftButton);
  QTest::mouseClick(clickable.findChild<QAbstractButton *>("pairTile"), Qt::LeftButton);
  EXPECT_EQ(selected, std::vector<std::string>{b.deviceID});
  EXPECT_EQ(pairs, 1);
}

// Four Macs with long labels, the last two not running: each label stays inside the map, off
// every disc with its ring and port count, this Mac and the tile; with room enough, off the
// other labels too.
TEST_F(MacMapTest, LabelsLieWhereNoNodeIs) {
  std::vector<PairedPeer> peers;
  for (const char *name : {"Studio", "Laptop of Ana", "Build box", "Mini"})
    peers.push_back(pairAt(name, static_cast<Date>(peers.size())));
  online(peers);
  // A pill has corners of radius 6: a circle reaches it when it comes nearer than its radius
  // plus 6 to the pill's rectangle drawn in by 6.
  const auto reaches = [](const QRectF &pill, QPointF centre, qreal radius) {
    const QRectF inner = pill.adjusted(6, 6, -6, -6);
    return std::hypot(centre.x() - std::clamp(centre.x(), inner.left(), inner.right()),
                      centre.y() - std::clamp(centre.y(), inner.top(), inner.bottom())) <
           radius + 6;
  };
  const QFontMetricsF metrics(Theme::mono(11, QFont::Medium));
  const char *names[] = {"Ledger", "Reports", "Billing", "Grafana"};
  for (const std::size_t laptopPorts : {2u, 1u}) {
    for (std::size_t at = 0; at < peers.size(); ++at) {
      std::vector<SharedServiceInfo> ports;
      for (std::size_t n = 0; n < (at == 0 ? 3u : at == 1 ? laptopPorts : 1u); ++n)
        ports.push_back(offered(pgService.substr(0, 35) + std::to_string(n), names[(at + n) % 4],
                                static_cast<int>(7000 + n), at < 2));
      manager->handleLinkEvent(ports, {}, std::nullopt, peers[at].deviceID);
    }
    queue->runUntilIdle();
    MacMap map(*manager, true, peers, peers[0].deviceID, {}, {}, [] { return 0.0; });
    map.show();
    saveScreen(map, QString("mac-map-4-busy-%1").arg(laptopPorts), Theme::Appearance::light);
    const QRectF tile = map.findChild<QAbstractButton *>("pairTile")->geometry();
    std::vector<QRectF> pills;
    for (std::size_t slot = 0; slot < peers.size(); ++slot)
      for (const auto &label : map.portLabels(slot)) {
        const qreal width = std::ceil(metrics.horizontalAdvance(label.text)) + 14;
        const QRectF pill(label.centre - QPointF(width / 2, 10), QSizeF(width, 20));
        const std::string what = (label.text + " of slot " + QString::number(slot)).toStdString();
        EXPECT_TRUE(QRectF(map.rect()).contains(pill)) << what;
        EXPECT_FALSE(reaches(pill, MacMap::middle, 32)) << what << " over this Mac";
        EXPECT_FALSE(tile.intersects(pill)) << what << " over the tile";
        for (std::size_t at = 0; at < peers.size(); ++at) {
          const auto &place = MacMap::places[at];
          EXPECT_FALSE(reaches(pill, {place.x, place.y}, place.diameter / 2 + (at ? 0 : 5.5)))
              << what << " over the disc of slot " << at;
          EXPECT_FALSE(reaches(
              pill, {place.x + place.diameter / 2 - 8, place.y - place.diameter / 2 + 10}, 11))
              << what << " over the port count of slot " << at;
        }
        for (const auto &other : pills)
          EXPECT_TRUE(laptopPorts == 2 || !other.intersects(pill)) << what << " over a label";
        pills.push_back(pill);
      }
    EXPECT_EQ(pills.size(), 4 + laptopPorts);
  }
}

class PortRowTest : public PanelTest {
protected:
  void SetUp() override {
    make();
    queue->advance(11);
    ctx = context();
  }

  static IncomingService port(State state) {
    IncomingService row;
    row.key = {"peer-a", pgService};
    row.peerName = "Studio";
    row.name = "PostgreSQL";
    row.remotePort = 5432;
    row.localPort = 25432;
    row.state = std::move(state);
    return row;
  }

  PanelContext ctx;
  CopyFeedback feedback{*queue};
};

TEST_F(PortRowTest, EachStateHasItsActionAndTheMenuItsItems) {
  PortRow connected(ctx, port(State::connected()), feedback);
  auto *copy = connected.findChild<QAbstractButton *>("copyButton");
  ASSERT_NE(copy, nullptr);
  QTest::mouseClick(copy, Qt::LeftButton);
  EXPECT_EQ(QApplication::clipboard()->text(), "localhost:25432");
  EXPECT_EQ(copy->accessibleName(), "Copied localhost:25432");
  EXPECT_NE(connected.findChild<QLabel *>("movedNotice"), nullptr);
  std::unique_ptr<QMenu> menu(connected.buildMoreMenu());
  EXPECT_EQ(itemTitles(*menu), (QStringList{"Copy localhost:25432", "Change local port\u2026",
                                            "Copy connection string", "Copy .env line", "---",
                                            "Turn off on this Mac"}));
  item(*menu, "Turn off on this Mac")->trigger();

  IncomingService noLocal = port(State::connected());
  noLocal.localPort.reset();
  PortRow withoutPort(ctx, noLocal, feedback);
  EXPECT_EQ(withoutPort.findChild<QAbstractButton *>("copyButton"), nullptr);
  EXPECT_NE(withoutPort.findChild<QAbstractButton *>("moreButton"), nullptr);
  std::unique_ptr<QMenu> noCopy(withoutPort.buildMoreMenu());
  EXPECT_FALSE(itemTitles(*noCopy).join(",").contains("Copy localhost"));

  PortRow off(ctx, port(State::off()), feedback);
  EXPECT_EQ(off.findChild<QAbstractButton *>("moreButton"), nullptr);
  EXPECT_EQ(off.buildMoreMenu(), nullptr);
  EXPECT_EQ(off.layout()->contentsMargins().right(), 14);
  EXPECT_NE(off.findChild<QAbstractButton *>("turnOnButton"), nullptr);

  PortRow asleep(ctx, port(State::asleep()), feedback);
  EXPECT_EQ(asleep.findChild<QAbstractButton *>("wakeButton"), nullptr)
      << "no hardware address: no wake button";
  manager->preferences.modify([](Preferences &p) {
    p.hardware = std::map<std::string, std::vector<std::string>>{{"peer-a", {"aa:bb:cc:dd:ee:ff"}}};
  });
  PortRow wakeable(ctx, port(State::asleep()), feedback);
  auto *wake = wakeable.findChild<QAbstractButton *>("wakeButton");
  ASSERT_NE(wake, nullptr);
  EXPECT_EQ(wake->text(), "Wake Studio");
  QTest::mouseClick(wake, Qt::LeftButton);
  EXPECT_EQ(woken, std::vector<std::string>{"peer-a"});
  manager->wakingPeerIDs.set({"peer-a"});
  PortRow waking(ctx, port(State::asleep()), feedback);
  auto *busy = waking.findChild<QAbstractButton *>("wakeButton");
  EXPECT_EQ(busy->text(), "Waking Studio\u2026");
  EXPECT_FALSE(busy->isEnabled());
}

TEST_F(PortRowTest, DotsAndTextsTellProblemsApart) {
  IncomingService row = port(State::connected());
  EXPECT_EQ(PortRow::dot(row), PortRow::Dot::filledFaint);
  row.inUse = true;
  EXPECT_EQ(PortRow::dot(row), PortRow::Dot::filledOk);
  row.problem = "not running";
  EXPECT_EQ(PortRow::dot(row), PortRow::Dot::ringAccent);
  EXPECT_EQ(PortRow::dot(port(State::asleep())), PortRow::Dot::ringFaint);
  EXPECT_EQ(PortRow::dot(port(State::failed("Port 5432 is in use."))), PortRow::Dot::ringAccent);

  row.hints = ShareHints{std::nullopt, std::nullopt, "ask me"};
  PortRow shown(ctx, row, feedback);
  EXPECT_EQ(shown.findChild<QLabel *>("portState")->text(), "Nothing is listening on Studio");
  EXPECT_EQ(shown.findChild<QLabel *>("portNote")->text(), "ask me");
  row.hints = ShareHints{"shop", std::nullopt, std::nullopt};
  PortRow noNote(ctx, row, feedback);
  EXPECT_EQ(noNote.findChild<QLabel *>("portNote"), nullptr);
}

class ShareChipTest : public PanelTest {
protected:
  void SetUp() override {
    makeWithShares();
    ctx = context();
  }

  OutgoingService rowOf(const std::string &id) {
    for (const auto &row : manager->outgoing.get())
      if (row.service.id == id)
        return row;
    ADD_FAILURE() << "no share " << id;
    return {};
  }

  PanelContext ctx;
};

TEST_F(ShareChipTest, StatusLinesTapsAndEditMode) {
  OutgoingService running = rowOf(dbShare);
  running.responding.reset();
  running.connections = 0;
  EXPECT_EQ(ShareChip(ctx, running, false).shownStatus(), "");
  running.connections = 2;
  EXPECT_EQ(ShareChip(ctx, running, false).shownStatus(), "2 using");
  running.responding = false;
  EXPECT_EQ(ShareChip(ctx, running, false).shownStatus(), "not responding");

  ShareChip paused(ctx, rowOf(apiShare), false);
  EXPECT_EQ(paused.shownStatus(), "paused");
  EXPECT_EQ(paused.accessibleDescription(), "Resumes sharing");
  QTest::mouseClick(&paused, Qt::LeftButton);
  EXPECT_TRUE(rowOf(apiShare).service.enabled) << "a tap resumes it";

  ShareChip notRunning(ctx, rowOf(cacheShare), false);
  EXPECT_EQ(notRunning.toolTip(), "Nothing is listening on port 6379 on this Mac right now");
  QTest::mouseClick(&notRunning, Qt::LeftButton);
  EXPECT_FALSE(rowOf(cacheShare).service.enabled) << "a tap pauses it";

  ShareChip editing(ctx, rowOf(dbShare), true);
  EXPECT_EQ(editing.shownStatus(), "");
  EXPECT_FALSE(editing.isRefreshing());
  EXPECT_EQ(editing.accessibleDescription(), "Shows options, including remove");
  QTest::mouseClick(&editing, Qt::LeftButton);
  EXPECT_TRUE(rowOf(dbShare).service.enabled) << "in edit mode a tap opens the menu instead";
  EXPECT_EQ(menusAsked, std::vector<std::string>{dbShare});
  if (QWidget *popup = QApplication::activePopupWidget())
    popup->close();
}

TEST_F(ShareChipTest, TheTimeLeftCountsDownEachMinute) {
  manager->preferences.modify([&](Preferences &p) {
    for (auto &service : p.services)
      if (service.id == docsShare)
        service.expires = 1000 + queue->now() + 150;
  });
  manager->recomputeOutgoing();
  ShareChip chip(ctx, rowOf(docsShare), false);
  EXPECT_EQ(chip.shownStatus(), "3 min left");
  EXPECT_TRUE(chip.isRefreshing());
  queue->advance(60);
  EXPECT_EQ(chip.statusLine(ctx.date()), "2 min left");
}

TEST_F(ShareChipTest, TimersEndWithTheirViews) {
  auto chip = std::make_unique<ShareChip>(ctx, rowOf(dbShare), false);
  QPointer<QTimer> timer = chip->findChild<QTimer *>();
  auto well = std::make_unique<SearchingWell>(false, [] { return 0.0; });
  well->show();
  QPointer<FrameTimer> frames = well->findChild<FrameTimer *>();
  ASSERT_TRUE(frames);
  EXPECT_TRUE(frames->isRunning());
  chip.reset();
  well.reset();
  EXPECT_TRUE(timer.isNull());
  EXPECT_TRUE(frames.isNull());
}

} // namespace
} // namespace corvane::testing

// The panels as a user scrolls and reads them while the manager republishes: what stays in
// place, what is cut, and what each row says of its port.
#include "brimvale/panels/ClassicPanel.h"
#include "brimvale/panels/MapPanel.h"
#include "brimvale/panels/PortRow.h"
#include "brimvale/panels/ShareChip.h"
#include "brimvale/panels/ViewKit.h"
#include "brimvale/shell/InkButtonStyle.h"
#include "brimvale/shell/PanelFrame.h"
#include "tests/panels/PanelFixture.h"

#include <QAbstractButton>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <functional>
#include <gtest/gtest.h>
#include <memory>

namespace corvane::testing {
namespace {

using Case = IncomingService::State::Case;

class PanelUpdatesTest : public PanelTest {
protected:
  void SetUp() override { makeWithShares(); }

  template <typename Panel> std::unique_ptr<Panel> shown(qreal maxHeight) {
    auto panel = std::make_unique<Panel>(context(), PanelActions{}, maxHeight);
    panel->show();
    settle();
    panel->resize(PanelFrame::panelWidth, panel->sizeHint().height());
    settle();
    return panel;
  }

  static QRect inPanel(QWidget *widget, QWidget &panel) {
    return {widget->mapTo(&panel, QPoint()), widget->size()};
  }
};

TEST_F(PanelUpdatesTest, ARepublishKeepsTheScrollPositionAndTheRowsThemselves) {
  const auto peers = pairMacs(1);
  auto panel = shown<MapPanel>(500);
  QScrollArea *area = panel->frame()->scrollArea();
  ASSERT_NE(area, nullptr);
  QScrollBar *bar = area->verticalScrollBar();
  ASSERT_TRUE(bar->isVisible()) << "content past the limit has a visible scroll bar";
  EXPECT_EQ(panel->height(), 500);
  // Nothing of the middle lies under the bar.
  const QRect barArea = inPanel(bar, *panel);
  for (auto *row : visible<PortRow>(*panel))
    EXPECT_LE(inPanel(row, *panel).right(), barArea.left());
  EXPECT_TRUE(visible<QScrollArea>(*panel).size() == 1u) << "one scroll area only";

  bar->setValue(bar->maximum() / 2);
  const int kept = bar->value();
  QPointer<PortRow> row = visible<PortRow>(*panel).front();
  manager->applyLatency(peers[0].deviceID, 0.031);
  manager->relayRouteActivity(RouteKey{peers[0].deviceID, webService}, 1);
  manager->setSharingPaused(true);
  settle();
  EXPECT_EQ(bar->value(), kept);
  EXPECT_FALSE(row.isNull()) << "a row that stays is updated in place";
}

TEST_F(PanelUpdatesTest, AShareJustAddedIsScrolledIntoView) {
  pairMacs(1);
  auto panel = shown<MapPanel>(500);
  QScrollBar *bar = panel->frame()->scrollArea()->verticalScrollBar();
  bar->setValue(0);
  manager->preferences.modify([&](Preferences &p) {
    p.services.push_back(share("0D000000-0000-4000-8000-000000000009", "Newest", 9999));
  });
  manager->recomputeOutgoing();
  settle();
  settle();
  ShareChip *added = nullptr;
  for (auto *chip : visible<ShareChip>(*panel))
    if (chip->text() == "Newest")
      added = chip;
  ASSERT_NE(added, nullptr);
  const QWidget *viewport = panel->frame()->scrollArea()->viewport();
  const QRect inView(added->mapTo(viewport, QPoint()), added->size());
  EXPECT_TRUE(viewport->rect().contains(inView)) << "at " << inView.y();
}

// Closing the share editor reveals only what it added; a reveal lasts until the next rebuild
// of the list, so a user who scrolled away is not pulled back to it.
TEST_F(PanelUpdatesTest, TheEditorClosingRevealsOnlyWhatWasAddedAndOnce) {
  pairMacs(1);
  std::function<void()> finish;
  PanelContext ctx = context();
  ctx.hooks.shareEditor = [&](std::function<void()> done) {
    finish = std::move(done);
    return new QLabel("editor");
  };
  MapPanel panel(ctx, PanelActions{}, 500);
  panel.show();
  settle();
  ASSERT_GT(panel.frame()->scrollArea()->verticalScrollBar()->maximum(), 0);
  const auto closedAfter = [&](const std::function<void()> &change) {
    panel.setSharing(true);
    settle();
    change();
    settle();
    finish();
    settle();
    settle();
    return panel.frame()->scrollArea()->verticalScrollBar();
  };
  EXPECT_EQ(closedAfter([&] { manager->relayGatewaySessions({}); })->value(), 0)
      << "nothing was added, so nothing is revealed";

  QScrollBar *bar = closedAfter([&] {
    manager->preferences.modify([&](Preferences &p) {
      p.services.push_back(share("0D000000-0000-4000-8000-000000000009", "Newest", 9999));
    });
    manager->recomputeOutgoing();
  });
  const QWidget *viewport = panel.frame()->scrollArea()->viewport();
  for (auto *chip : visible<ShareChip>(panel))
    if (chip->text() == "Newest") {
      EXPECT_TRUE(viewport->rect().contains(QRect(chip->mapTo(viewport, QPoint()), chip->size())))
          << "the share the editor added is revealed";
    }
  ASSERT_GT(bar->value(), 0);

  bar->setValue(0);
  manager->setSharingPaused(true);
  settle();
  settle();
  EXPECT_EQ(bar->value(), 0) << "a later rebuild leaves the user where they are";
}

TEST_F(PanelUpdatesTest, PanelsAreAsTallAsTheirContentAndTheNoticeShowsWhole) {
  pairMacs(1);
  manager->setNotice("Port 5432 is already used on this Mac, so it's on 25432 here.");
  for (auto *panel : std::initializer_list<QWidget *>{shown<ClassicPanel>(1400).release(),
                                                      shown<MapPanel>(1400).release()}) {
    std::unique_ptr<QWidget> owned(panel);
    auto *frame = panel->findChild<PanelFrame *>();
    EXPECT_EQ(panel->height(), frame->naturalHeight(PanelFrame::panelWidth));
    EXPECT_EQ(frame->scrollArea()->verticalScrollBar()->maximum(), 0);
    for (auto *label : visible<panelkit::LinesLabel>(*panel))
      EXPECT_GE(label->height(), label->heightForWidth(label->width()))
          << label->text().toStdString();
  }
}

TEST_F(PanelUpdatesTest, LongTextsStopAtTheirLinesWithTheWholeTextAsTip) {
  panelkit::LinesLabel note(QString("a word ").repeated(60), 2);
  note.resize(200, note.heightForWidth(200));
  note.show();
  const QStringList lines = note.shownLines(200);
  ASSERT_EQ(lines.size(), 2);
  EXPECT_TRUE(lines.last().endsWith(QChar(0x2026)));
  EXPECT_EQ(note.toolTip(), note.text());

  // Rich text is laid out as a label lays it out; its markup is never counted or drawn as text.
  const QString rich =
      "<div style=\"line-height: 18px;\">" + QString("a word ").repeated(20) + "</div>";
  panelkit::LinesLabel body({}, 4);
  body.setTextFormat(Qt::RichText);
  body.setText(rich);
  QLabel reference(rich);
  reference.setTextFormat(Qt::RichText);
  reference.setWordWrap(true);
  EXPECT_EQ(body.heightForWidth(300), reference.heightForWidth(300));
}

TEST_F(PanelUpdatesTest, AChipsNameComesBeforeItsStatus) {
  pairMacs(1);
  OutgoingService row = manager->outgoing->front();
  row.service.name = "analytics-warehouse";
  row.connections = 12;
  row.service.expires = 1000 + queue->now() + 3 * 3600;
  ShareChip chip(context(), row, false);
  chip.resize(260, 44);
  EXPECT_EQ(chip.shown().name, "analytics-warehouse");
}

TEST_F(PanelUpdatesTest, TheClassicRowSaysThePortsRealState) {
  const auto peers = pairMacs(1);
  auto panel = shown<ClassicPanel>(1400);
  for (auto *row : visible<ClassicIncomingRow>(*panel)) {
    const bool connected = row->row().state.which() == Case::connected;
    EXPECT_EQ(row->address().has_value(), connected && row->row().localPort.has_value())
        << row->row().name;
    if (!connected) {
      EXPECT_NE(ClassicIncomingRow::dotColor(row->row()), QColor(0x2E, 0xA0, 0x43))
          << row->row().name;
    }
  }
}

// A busy share's row stays the same widget as its users come and go, so a press on its
// switch is not lost with it, and what the row shows follows the share.
TEST_F(PanelUpdatesTest, AClassicShareRowFollowsItsShareInPlace) {
  const auto peers = pairMacs(1);
  auto panel = shown<ClassicPanel>(1400);
  QPointer<QAbstractButton> toggle;
  for (auto *each : visible<QAbstractButton>(*panel, "shareSwitch"))
    if (each->accessibleName() == "Share Postgres")
      toggle = each;
  ASSERT_TRUE(toggle);
  const auto statusShown = [&](const QString &text) {
    for (auto *each : visible<QLabel>(*toggle->parentWidget()))
      if (each->text() == text)
        return true;
    return false;
  };
  EXPECT_TRUE(statusShown("1 using"));

  QTest::mousePress(toggle, Qt::LeftButton);
  manager->relayGatewaySessions({{peers[0].deviceID, dbShare, 1},
                                 {peers[0].deviceID, dbShare, 2},
                                 {peers[0].deviceID, dbShare, 3}});
  settle();
  ASSERT_FALSE(toggle.isNull()) << "the row was made again";
  EXPECT_TRUE(statusShown("3 using"));
  QTest::mouseRelease(toggle, Qt::LeftButton);
  settle();
  EXPECT_FALSE(manager->preferences->services[0].enabled) << "the press went through";
  EXPECT_FALSE(toggle->isChecked());
  EXPECT_TRUE(statusShown("off"));

  // Turned on elsewhere: the switch follows without turning the share off again.
  manager->setShareEnabled(dbShare, true);
  settle();
  ASSERT_FALSE(toggle.isNull());
  EXPECT_TRUE(toggle->isChecked());
  EXPECT_TRUE(manager->preferences->services[0].enabled);
}

TEST_F(PanelUpdatesTest, TheRowMenuFollowsTheExplainersAvailability) {
  const auto peers = pairMacs(2);
  bool available = false;
  auto made = context();
  made.explanationAvailable = [&available] { return available; };
  MapPanel panel(made, {}, 1400);
  panel.select(peers[1].deviceID);
  panel.show();
  settle();
  PortRow *failing = nullptr;
  for (auto *row : visible<PortRow>(panel))
    if (row->row().name == "Search")
      failing = row;
  ASSERT_NE(failing, nullptr);
  available = true;
  std::unique_ptr<QMenu> menu(failing->buildMoreMenu());
  QStringList titles;
  for (QAction *action : menu->actions())
    titles << action->text();
  EXPECT_TRUE(titles.contains("Explain this problem")) << titles.join(", ").toStdString();
}

TEST_F(PanelUpdatesTest, PairButtonsCarryThePlusSymbol) {
  auto panel = shown<MapPanel>(1400);
  auto *pair = panel->findChild<QPushButton *>("pairButton");
  ASSERT_NE(pair, nullptr);
  auto *style = qobject_cast<InkButtonStyle *>(pair->style());
  ASSERT_NE(style, nullptr);
  EXPECT_EQ(style->symbol(), "plus");
}

} // namespace
} // namespace corvane::testing

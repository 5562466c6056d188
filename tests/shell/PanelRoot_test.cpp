#include "brimvale/panels/ClassicPanel.h"
#include "brimvale/panels/MapPanel.h"
#include "brimvale/shell/PanelFrame.h"
#include "brimvale/shell/PanelPlacement.h"
#include "brimvale/shell/PanelRoot.h"
#include "tests/panels/PanelFixture.h"
#include "tests/support/Wait.h"

#include <QLineEdit>
#include <QTest>
#include <QVBoxLayout>
#include <gtest/gtest.h>

namespace corvane::testing {
namespace {

// A work area of the offscreen screen, and tray icons at its bottom and top edges.
const QRect area(0, 0, 800, 600);
const QRect bottomIcon(700, 574, 24, 24);
const QRect topIcon(700, 2, 24, 24);

TEST(PanelPlacementTest, HoldsTheEdgeItWasPlacedAgainstAtEveryHeight) {
  const PanelPlacement above(area, bottomIcon, {});
  EXPECT_EQ(above.anchor(), PanelPlacement::Anchor::bottom);
  EXPECT_EQ(above.room(), bottomIcon.top() - PanelPlacement::gap);
  for (const int height : {150, 400, above.room()}) {
    const QRect placed = above.geometry({380, height});
    EXPECT_EQ(placed.bottom(), bottomIcon.top() - PanelPlacement::gap - 1) << height;
    EXPECT_TRUE(area.contains(placed)) << height;
  }
  const PanelPlacement below(area, topIcon, {});
  EXPECT_EQ(below.anchor(), PanelPlacement::Anchor::top);
  for (const int height : {150, 400, below.room()}) {
    const QRect placed = below.geometry({380, height});
    EXPECT_EQ(placed.top(), topIcon.bottom() + PanelPlacement::gap) << height;
    EXPECT_TRUE(area.contains(placed)) << height;
  }
}

TEST(PanelPlacementTest, StaysInsideTheWorkAreaWithoutAnIconOrRoomBesideIt) {
  // The pointer near the bottom corner: the panel goes up and left into the work area.
  const PanelPlacement pointer(area, QRect(), QPoint(790, 590));
  EXPECT_EQ(pointer.room(), area.height());
  for (const int height : {150, 400, 600})
    EXPECT_TRUE(area.contains(pointer.geometry({380, height}))) << height;
  // A tray along the right side of a low screen: too little room above the icon to limit the
  // panel to; the work area bounds it.
  const QRect low(0, 0, 800, 400);
  const PanelPlacement side(low, QRect(776, 190, 24, 24), {});
  EXPECT_EQ(side.room(), low.height());
  EXPECT_TRUE(low.contains(side.geometry({380, 380})));
  // A tray the work area leaves out, with a margin: the panel stops at the work area's edge.
  const QRect above(0, 0, 800, 548);
  EXPECT_EQ(PanelPlacement(above, bottomIcon, {}).geometry({380, 300}).bottom(), above.bottom());
}

// A panel whose content's height the test sets.
class Grower : public QWidget {
public:
  explicit Grower(QWidget *parent) : QWidget(parent), content_(new QWidget) {
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(content_);
    setFixedWidth(PanelFrame::panelWidth);
    setHeight(200);
  }
  void setHeight(int height) { content_->setFixedHeight(height); }
  QSize sizeHint() const override { return {PanelFrame::panelWidth, QWidget::sizeHint().height()}; }

private:
  QWidget *content_;
};

class PanelRootTest : public PanelTest {
protected:
  // Lets the window take its panel's height.
  static bool waitForHeight(PanelRoot &root, int height) {
    return QTest::qWaitFor([&] { return root.height() == height; },
                           static_cast<int>(std::chrono::milliseconds(eventually).count()));
  }

  PanelActions actions() {
    return {[] {}, [] {}, [] {}};
  }

  // Shows the window as the application does against a bottom tray.
  static void showAboveBottomTray(PanelRoot &root, const PanelPlacement &placement) {
    root.setWindowFlags(Qt::Tool | Qt::FramelessWindowHint);
    root.update(placement.room());
    root.place(placement);
    root.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&root));
  }
};

TEST_F(PanelRootTest, AboveABottomTrayTheWindowGrowsUpAndShrinksDown) {
  make();
  Grower *grower = nullptr;
  PanelRoot root(
      *manager,
      [&](const std::string &, PanelActions, qreal, QWidget *parent) {
        return grower = new Grower(parent);
      },
      actions());
  const PanelPlacement placement(area, bottomIcon, {});
  ASSERT_NO_FATAL_FAILURE(showAboveBottomTray(root, placement));
  const int line = bottomIcon.top() - PanelPlacement::gap - 1;
  EXPECT_EQ(root.geometry().bottom(), line);
  for (const int height : {520, 120, 900}) {
    grower->setHeight(height);
    ASSERT_TRUE(waitForHeight(root, height)) << height;
    const QRect shown = root.geometry();
    if (height <= placement.room()) {
      EXPECT_EQ(shown.bottom(), line) << height;
      EXPECT_TRUE(area.contains(shown)) << height;
    } else {
      EXPECT_EQ(shown.top(), area.top()) << "taller than the room: from the area's top";
    }
  }
}

TEST_F(PanelRootTest, TheMapPanelOpensWholeAboveABottomTray) {
  makeWithShares();
  pairMacs(2);
  PanelRoot root(
      *manager,
      [this](const std::string &, PanelActions made, qreal limit, QWidget *parent) {
        return new MapPanel(context(), std::move(made), limit, parent);
      },
      actions());
  const PanelPlacement placement(area, bottomIcon, {});
  ASSERT_NO_FATAL_FAILURE(showAboveBottomTray(root, placement));
  settle();
  ASSERT_TRUE(waitForHeight(root, root.panel()->heightForWidth(PanelFrame::panelWidth)));
  EXPECT_GT(root.height(), 300);
  EXPECT_EQ(root.geometry().bottom(), bottomIcon.top() - PanelPlacement::gap - 1);
  EXPECT_TRUE(area.contains(root.geometry())) << root.geometry().y();
}

// A screen of another height gives the panel another limit; what the user was doing stays.
TEST_F(PanelRootTest, AnotherLimitKeepsTheSelectedMacTheEditModeAndTheShareEditor) {
  makeWithShares();
  const auto peers = pairMacs(2);
  QPointer<QLineEdit> editor;
  PanelContext made = context();
  made.hooks.shareEditor = [&](std::function<void()>) { return editor = new QLineEdit; };
  PanelRoot root(
      *manager,
      [&](const std::string &style, PanelActions actions, qreal limit,
          QWidget *parent) -> QWidget * {
        if (style == "classic")
          return new ClassicPanel(made, std::move(actions), limit, parent);
        return new MapPanel(made, std::move(actions), limit, parent);
      },
      actions());
  root.update(500);
  auto *map = qobject_cast<MapPanel *>(root.panel());
  ASSERT_TRUE(map);
  map->select(peers[1].deviceID);
  map->setEditingShares(true);
  map->setSharing(true);
  settle();
  ASSERT_TRUE(editor);
  editor->setText("Typed so far");
  root.update(560);
  settle();
  ASSERT_EQ(root.panel(), map) << "the panel was built anew";
  EXPECT_EQ(map->selectedMac()->deviceID, peers[1].deviceID);
  EXPECT_TRUE(map->editingShares());
  EXPECT_TRUE(map->sharing());
  ASSERT_TRUE(editor);
  EXPECT_EQ(editor->text(), "Typed so far");
  map->setSharing(false);
  settle();
  EXPECT_EQ(map->frame()->maxHeight(), 560) << "the new limit holds once the frame scrolls";

  defaults->setString(PanelRoot::panelStyleKey, "classic");
  root.update(560);
  auto *classic = qobject_cast<ClassicPanel *>(root.panel());
  ASSERT_TRUE(classic);
  classic->setSharing(true);
  settle();
  ASSERT_TRUE(editor);
  editor->setText("Typed in the classic panel");
  root.update(640);
  settle();
  ASSERT_EQ(root.panel(), classic);
  ASSERT_TRUE(editor);
  EXPECT_EQ(editor->text(), "Typed in the classic panel");
}

} // namespace
} // namespace corvane::testing

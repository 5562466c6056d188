// Both panels in light and dark with zero, one and four paired Macs, written to
// <build>/screens for a reviewer; the picture is checked for its width and for content.
#include "brimvale/panels/ClassicPanel.h"
#include "brimvale/panels/MapPanel.h"
#include "brimvale/panels/NearbyMapView.h"
#include "brimvale/shell/PanelFrame.h"
#include "tests/panels/PanelFixture.h"
#include "tests/shell/Appearance.h"
#include "tests/shell/Screens.h"

#include <gtest/gtest.h>

namespace corvane::testing {
namespace {

using Appearance = Theme::Appearance;

struct Case {
  Appearance appearance;
  int paired;
};

class PanelScreensTest : public PanelTest, public ::testing::WithParamInterface<Case> {
protected:
  void SetUp() override { makeWithShares(); }

  QString suffix() const { return QString::number(GetParam().paired) + "-paired"; }
  Appearance appearance() const { return GetParam().appearance; }

  void render(QWidget &panel, const QString &name) {
    panel.show();
    settle();
    // A window's adjustSize stops at part of the screen; the panel is as tall as its content.
    panel.resize(PanelFrame::panelWidth, panel.sizeHint().height());
    settle();
    const QImage image = saveScreen(panel, name + "-" + suffix(), appearance());
    EXPECT_EQ(image.width(), PanelFrame::panelWidth);
    EXPECT_GT(image.height(), 300);
    EXPECT_GT(drawnPixels(image, Theme::background.in(appearance())), 8000);
  }
};

TEST_P(PanelScreensTest, MapPanel) {
  ScopedAppearance scoped(appearance());
  pairMacs(GetParam().paired);
  if (GetParam().paired == 1)
    manager->setNotice("Port 5432 is already used on this Mac, so it's on 25432 here.");
  MapPanel panel(context(), {}, 1400);
  render(panel, "map-panel");
}

TEST_P(PanelScreensTest, ClassicPanel) {
  ScopedAppearance scoped(appearance());
  pairMacs(GetParam().paired);
  if (GetParam().paired == 0)
    manager->setSharingPaused(true);
  ClassicPanel panel(context(), {}, 1400);
  render(panel, "classic-panel");
}

TEST_P(PanelScreensTest, NearbyMap) {
  if (GetParam().paired != 4)
    GTEST_SKIP() << "one picture per appearance";
  ScopedAppearance scoped(appearance());
  NearbyMapView view({{"a", "Studio", MapNode::Kind::paired(true), 0},
                      {"b", "Attic mini", MapNode::Kind::paired(false), 1},
                      {"c", "lab-mac 2", MapNode::Kind::candidate(), 2},
                      {"d", "Build box", MapNode::Kind::candidate(), 3}},
                     "c", {}, true);
  view.resize(460, 300);
  view.show();
  const QImage image = saveScreen(view, "nearby-map", appearance());
  EXPECT_GT(drawnPixels(image, Theme::background.in(appearance())), 3000);
}

INSTANTIATE_TEST_SUITE_P(AppearancesAndMacs, PanelScreensTest,
                         ::testing::Values(Case{Appearance::light, 0}, Case{Appearance::light, 1},
                                           Case{Appearance::light, 4}, Case{Appearance::dark, 0},
                                           Case{Appearance::dark, 1}, Case{Appearance::dark, 4}),
                         [](const auto &info) {
                           return std::string(appearanceName(info.param.appearance)) + "_" +
                                  std::to_string(info.param.paired);
                         });

} // namespace
} // namespace corvane::testing

#include "brimvale/shell/StatusIcon.h"
#include "tests/shell/Screens.h"

#include <QIcon>
#include <QImage>
#include <QPainter>
#include <cstdlib>
#include <gtest/gtest.h>

namespace corvane {
namespace {

// Drawn 10× larger so that points are easy to sample: (x, y) in the emblem's own coordinates,
// y upwards from the lower-left corner.
constexpr int scale = 10;

int alphaAt(const QImage &image, double x, double y) {
  return qAlpha(image.pixel(int(x * scale), int((18 - y) * scale)));
}

TEST(StatusIconTest, NodesAreFilledWhileOnlineAndRingsWithoutLinesInsideOtherwise) {
  const QImage online = statusIconImage(true, false, 18 * scale, Qt::black);
  const QImage offline = statusIconImage(false, false, 18 * scale, Qt::black);
  // The central node is solid either way.
  EXPECT_EQ(alphaAt(online, 8.2, 6.4), 255);
  EXPECT_EQ(alphaAt(offline, 8.2, 6.4), 255);
  // Outer nodes: solid, or hollow in the middle, even where the line ran into them.
  for (const auto &[x, y] : {std::pair{4.2, 13.4}, std::pair{14.2, 12.0}}) {
    EXPECT_EQ(alphaAt(online, x, y), 255);
    EXPECT_EQ(alphaAt(offline, x, y), 0) << x << "," << y;
  }
  EXPECT_EQ(alphaAt(offline, 5.0, 12.0), 0) << "the line's end is erased inside node A";
  // The ring itself: 1.4 wide, inset 0.7, so its stroke runs at radius 2.5 of node A.
  EXPECT_GT(alphaAt(offline, 4.2 + 2.5, 13.4), 200);
  // The line between the nodes shows.
  EXPECT_GT(alphaAt(offline, 6.2, 9.9), 200);
}

TEST(StatusIconTest, FailureDotAppearsWhateverTheNodes) {
  for (const bool online : {true, false}) {
    EXPECT_EQ(alphaAt(statusIconImage(online, false, 18 * scale, Qt::black), 15.4, 3.0), 0);
    EXPECT_EQ(alphaAt(statusIconImage(online, true, 18 * scale, Qt::black), 15.4, 3.0), 255);
  }
}

TEST(StatusIconTest, TakesTheInkAndEveryTraySize) {
  const QImage image = statusIconImage(true, true, 22, QColor(200, 10, 10));
  EXPECT_EQ(image.size(), QSize(22, 22));
  const QColor centre = image.pixelColor(int(8.2 / 18 * 22), int((18 - 6.4) / 18 * 22));
  EXPECT_EQ(centre.red(), 200);
  EXPECT_EQ(centre.green(), 10);
  EXPECT_FALSE(statusIcon(false, false, Qt::white).availableSizes().isEmpty());

  // Every state, large, for a reviewer.
  for (const bool online : {true, false})
    for (const bool failure : {true, false}) {
      const QString name = QStringLiteral("status-icon-%1%2")
                               .arg(online ? "online" : "offline")
                               .arg(failure ? "-failure" : "");
      QImage shown(18 * scale, 18 * scale, QImage::Format_ARGB32_Premultiplied);
      shown.fill(Qt::white);
      QPainter painter(&shown);
      painter.drawImage(0, 0, statusIconImage(online, failure, 18 * scale, Qt::black));
      painter.end();
      EXPECT_TRUE(
          shown.save(testing::screensFolder() + QLatin1Char('/') + name + QStringLiteral(".png")));
    }
}

// How far a colour's lightness lies from another's, 0 to 255.
int lightnessGap(const QColor &a, const QColor &b) {
  return std::abs(a.lightness() - b.lightness());
}

TEST(StatusIconTest, TheTrayIconShowsOnLightAndDarkTraysWhateverItsInk) {
  // The guessed ink may be wrong either way: light on a light tray, dark on a dark one.
  for (const QColor &ink : {QColor(0xf2, 0xf2, 0xf2), QColor(0x17, 0x17, 0x1c), trayInk()})
    for (const QColor &tray : {QColor(Qt::white), QColor(0xd0, 0xd0, 0xd0),
                               QColor(0x24, 0x24, 0x24), QColor(Qt::black)}) {
      const QIcon icon = statusIcon(false, false, ink);
      QImage shown(22, 22, QImage::Format_ARGB32_Premultiplied);
      shown.fill(tray);
      QPainter painter(&shown);
      icon.paint(&painter, shown.rect());
      painter.end();
      int clear = 0;
      for (int y = 0; y < shown.height(); ++y)
        for (int x = 0; x < shown.width(); ++x)
          clear += lightnessGap(shown.pixelColor(x, y), tray) > 100;
      EXPECT_GT(clear, 40) << "ink " << ink.name().toStdString() << " on "
                           << tray.name().toStdString();
    }
}

} // namespace
} // namespace corvane

#include "brimvale/shell/Theme.h"
#include "tests/shell/Appearance.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QImage>
#include <QWidget>
#include <climits>
#include <cmath>
#include <gtest/gtest.h>

namespace corvane {
namespace {

using Appearance = Theme::Appearance;

TEST(ThemeTest, TheAppearanceFollowsThePalettesWindowLightness) {
  QPalette palette;
  palette.setColor(QPalette::Window, QColor(0x17161B));
  EXPECT_EQ(Theme::appearanceOf(palette), Appearance::dark);
  palette.setColor(QPalette::Window, QColor(0xFCF4D9));
  EXPECT_EQ(Theme::appearanceOf(palette), Appearance::light);
  palette.setColor(QPalette::Window, QColor(0x808080));
  EXPECT_EQ(Theme::appearanceOf(palette), Appearance::light) << "undecided reads as light";

  // Read again at each call: a change of the application's palette is followed at once.
  {
    testing::ScopedAppearance dark(Appearance::dark);
    EXPECT_EQ(Theme::text.resolved(), QColor(0xF3EEDD));
  }
  {
    testing::ScopedAppearance light(Appearance::light);
    EXPECT_EQ(Theme::text.resolved(), QColor(0x17171C));
  }
}

TEST(ThemeTest, NamedColoursHaveTheirDarkAndLightValues) {
  struct Case {
    const Theme::DynamicColor &color;
    QRgb dark, light;
  };
  const Case cases[] = {
      {Theme::background, 0x17161B, 0xFCF4D9}, {Theme::tile, 0x2C2B33, 0xF4EEDC},
      {Theme::accent, 0xF2B34C, 0xA9630A},     {Theme::danger, 0xD93A2B, 0xB42318},
      {Theme::ink, 0xFCF4D9, 0x17171C},        {Theme::mapPairNode, 0x1F1E25, 0xFCF4D9},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(c.color.in(Appearance::dark), QColor(c.dark));
    EXPECT_EQ(c.color.in(Appearance::light), QColor(c.light));
    EXPECT_EQ(c.color.in(Appearance::dark).alpha(), 255);
  }
  // The small dots are the status colours with the appearances swapped.
  EXPECT_EQ(Theme::okDot.in(Appearance::dark), Theme::ok.in(Appearance::light));
  EXPECT_EQ(Theme::accentDot.in(Appearance::light), Theme::accent.in(Appearance::dark));
  EXPECT_EQ(Theme::onInk.in(Appearance::dark), Theme::background.in(Appearance::dark));
}

TEST(ThemeTest, PalettesWrapAnyIndexIntoFiveEntries) {
  EXPECT_EQ(Theme::macColor(7).fill, QColor(0x1F9D6B));
  EXPECT_EQ(Theme::macColor(7).on, QColor(Qt::white));
  EXPECT_EQ(Theme::macColor(-1).fill, QColor(0x7A4FD6));
  EXPECT_EQ(Theme::macColor(0).on, QColor(0x17171C));
  EXPECT_EQ(Theme::macColor(5).fill, Theme::macColor(0).fill);
  EXPECT_EQ(Theme::paletteIndex(INT_MIN, 5), 2);
  EXPECT_EQ(Theme::paletteIndex(INT_MAX, 5), 2);
  EXPECT_EQ(Theme::accentColor(-4).in(Appearance::dark), QColor(0x6B8CFF)); // macBlue
  EXPECT_EQ(Theme::accentColor(3).in(Appearance::light), QColor(0xD98A1F));
}

TEST(ThemeTest, BothFacesFallBackTogetherWhenEitherIsMissing) {
  const bool mono = QFontDatabase::families().contains("JetBrains Mono");
  const bool display = QFontDatabase::families().contains("Space Grotesk");
  EXPECT_EQ(Theme::familyAvailable(Theme::Face::mono), mono);
  EXPECT_EQ(Theme::fontsAvailable(), mono && display);

  const QFont code = Theme::mono(12, QFont::Bold);
  EXPECT_EQ(code.weight(), QFont::Bold);
  const QFont title = Theme::display(20, QFont::DemiBold);
  if (mono && display) {
    EXPECT_EQ(QFontInfo(code).family(), "JetBrains Mono");
    EXPECT_EQ(QFontInfo(title).family(), "Space Grotesk");
  } else {
    // Only one face installed (the packaged monospaced one, typically) still means the system's.
    EXPECT_EQ(code.family(), QFontDatabase::systemFont(QFontDatabase::FixedFont).family());
    // Monospaced by its glyphs: the toolkit calls some monospaced faces not fixed-pitch.
    const QFontMetricsF glyphs(code);
    EXPECT_EQ(glyphs.horizontalAdvance('i'), glyphs.horizontalAdvance('M'));
    EXPECT_EQ(title.family(), QFontDatabase::systemFont(QFontDatabase::GeneralFont).family());
  }
  EXPECT_EQ(QFontInfo(title).pixelSize(), 20) << "a point of the views is a pixel";
}

TEST(ThemeTest, HalfPointSizesAreKeptWhereADeviceCanShowThem) {
  // At 192 dots to the inch a half point is a whole dot: 12.5 lies between 12 and 13 there.
  // (At 96 the toolkit draws whole pixels only; the request still keeps the half.)
  QImage device(1, 1, QImage::Format_ARGB32);
  const int dotsPerMeter = static_cast<int>(std::lround(192 / 0.0254));
  device.setDotsPerMeterX(dotsPerMeter);
  device.setDotsPerMeterY(dotsPerMeter);
  const QString sample = QStringLiteral("Written by the local model server");
  for (const qreal size : {10.5, 11.5, 12.5}) {
    const auto width = [&](qreal each) {
      return QFontMetricsF(Theme::system(each), &device).horizontalAdvance(sample);
    };
    EXPECT_GT(width(size), width(size - 0.5)) << size;
    EXPECT_LT(width(size), width(size + 0.5)) << size;
  }
}

// Stands for a view that bakes colours in: it counts the palette changes it hears of.
class Baking : public QWidget {
public:
  using QWidget::QWidget;
  int heard = 0;

protected:
  void changeEvent(QEvent *event) override {
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ApplicationPaletteChange)
      ++heard;
    QWidget::changeEvent(event);
  }
};

TEST(ThemeTest, AnAppearanceSwitchReachesTheViewsOfOpenWindows) {
  Theme::relayAppearanceChanges();
  QWidget window;
  auto *inner = new Baking(&window);
  QPalette own = inner->palette();
  own.setColor(QPalette::WindowText, Qt::red); // its own colour, as a baking view sets
  inner->setPalette(own);
  Baking topLevel;
  window.show();
  topLevel.show();
  QCoreApplication::processEvents();
  inner->heard = topLevel.heard = 0;
  {
    testing::ScopedAppearance dark(Theme::appearance() == Theme::Appearance::dark
                                       ? Theme::Appearance::light
                                       : Theme::Appearance::dark);
    EXPECT_GT(inner->heard, 0);
    EXPECT_GT(topLevel.heard, 0);
  }
}

} // namespace
} // namespace corvane

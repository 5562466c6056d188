// Renders each shared view in light and dark into <build>/screens for a reviewer, and
// checks what a picture can tell: its size, and that something was drawn.
#include "brimvale/catalogue/KnownServices.h"
#include "brimvale/shell/ElidingLabel.h"
#include "brimvale/shell/FlowLayout.h"
#include "brimvale/shell/InkButtonStyle.h"
#include "brimvale/shell/PanelFrame.h"
#include "brimvale/shell/ServiceIcon.h"
#include "brimvale/shell/Theme.h"
#include "tests/shell/Appearance.h"
#include "tests/shell/Screens.h"

#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <gtest/gtest.h>
#include <limits>

namespace corvane {
namespace {

using Appearance = Theme::Appearance;

class ScreensTest : public ::testing::TestWithParam<Appearance> {
protected:
  Appearance appearance() const { return GetParam(); }
  QColor background() const { return Theme::background.in(appearance()); }
  testing::ScopedAppearance scoped_{GetParam()};
};

QLabel *label(const QString &text, qreal size, QFont::Weight weight, const QColor &color) {
  auto *made = new QLabel(text);
  made->setFont(Theme::system(size, weight));
  QPalette palette = made->palette();
  palette.setColor(QPalette::WindowText, color);
  made->setPalette(palette);
  return made;
}

TEST_P(ScreensTest, ServiceIcons) {
  QWidget sheet;
  auto *grid = new QGridLayout(&sheet);
  grid->setSpacing(8);
  int cell = 0;
  std::vector<std::string> names;
  for (const auto &known : KnownService::catalogue())
    names.push_back(known.name);
  names.push_back("Quokka Ledger");
  for (const auto &name : names) {
    const auto known = KnownService::lookup(name, 0);
    auto *icon = new ServiceIcon(known, known ? QString::fromStdString(known->tag) : "QUO", 40);
    QPalette palette = icon->palette();
    palette.setColor(QPalette::WindowText, Theme::text.in(appearance()));
    icon->setPalette(palette);
    grid->addWidget(icon, cell / 8, cell % 8);
    ++cell;
  }
  const QImage image = testing::saveScreen(sheet, "service-icons", appearance());
  EXPECT_GE(image.width(), 8 * 40);
  EXPECT_GT(testing::drawnPixels(image, background()), static_cast<int>(names.size()) * 40)
      << "every tile has its mark";
}

TEST_P(ScreensTest, StylesInkButtonChipsAndEliding) {
  QWidget sheet;
  sheet.setFixedWidth(PanelFrame::panelWidth);
  auto *stack = new QVBoxLayout(&sheet);
  stack->setContentsMargins(20, 20, 20, 20);
  stack->setSpacing(14);
  auto *button = new QPushButton("Share a port");
  InkButtonStyle::apply(button, 44);
  stack->addWidget(button, 0, Qt::AlignLeft);
  auto *chips = new QWidget;
  auto *flow = new FlowLayout(6, chips);
  for (const char *chip : {"postgres :5432", "redis :6379", "web :3000", "api :8080",
                           "rabbitmq :5672", "minio :9000", "vite :5173"}) {
    auto *item = label(chip, 12, QFont::Medium, Theme::text.in(appearance()));
    item->setFont(Theme::mono(12, QFont::Medium));
    item->setContentsMargins(10, 6, 10, 6);
    item->setAutoFillBackground(true);
    QPalette palette = item->palette();
    palette.setColor(QPalette::Window, Theme::control.in(appearance()));
    item->setPalette(palette);
    flow->addWidget(item);
  }
  stack->addWidget(chips);
  auto *eliding = new ElidingLabel(QString::fromUtf8(
      "Port 5432 is already used on this Mac, so it's on 25432 here — and more words"));
  eliding->setFont(Theme::system(13));
  stack->addWidget(eliding);
  sheet.adjustSize();
  const QImage image = testing::saveScreen(sheet, "styles", appearance());
  EXPECT_EQ(image.width(), PanelFrame::panelWidth);
  EXPECT_GT(chips->height(), 30) << "the chips wrap into more than one row";
  EXPECT_TRUE(eliding->shownText().endsWith(QString::fromUtf8("…")));
  EXPECT_GT(testing::drawnPixels(image, background()), 2000);
}

TEST_P(ScreensTest, PanelFrameWithAScrollingMiddle) {
  auto *header = new QWidget;
  auto *headerLayout = new QVBoxLayout(header);
  headerLayout->setContentsMargins(0, 0, 0, 0);
  headerLayout->addWidget(label("Corvane", 20, QFont::Bold, Theme::text.in(appearance())));
  headerLayout->addWidget(label(QString::fromUtf8("On this network · 2 Macs nearby"), 12,
                                QFont::Normal, Theme::textMuted.in(appearance())));
  auto *middle = new QWidget;
  auto *rows = new QVBoxLayout(middle);
  rows->setContentsMargins(0, 0, 0, 0);
  for (int i = 0; i < 14; ++i)
    rows->addWidget(label(QString("localhost:%1   Row %2").arg(5432 + i).arg(i + 1), 13,
                          QFont::Normal, Theme::text.in(appearance())));
  auto *footer = new QPushButton("Pair a Mac");
  InkButtonStyle::apply(footer, 44);
  PanelFrame frame(360, true, 14, 20, header, middle, footer);
  frame.setFixedWidth(PanelFrame::panelWidth);
  frame.adjustSize();
  const QImage image = testing::saveScreen(frame, "panel-frame", appearance());
  EXPECT_EQ(image.size(), QSize(PanelFrame::panelWidth, 360));
  EXPECT_GT(testing::drawnPixels(image, background()), 3000);
}

INSTANTIATE_TEST_SUITE_P(Appearances, ScreensTest,
                         ::testing::Values(Appearance::light, Appearance::dark),
                         [](const auto &info) {
                           return std::string(testing::appearanceName(info.param));
                         });

} // namespace
} // namespace corvane

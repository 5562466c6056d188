#include "brimvale/platform/ManualMainQueue.h"
#include "brimvale/platform/Unicode.h"
#include "brimvale/shell/CopyFeedback.h"
#include "brimvale/shell/ElidingLabel.h"
#include "brimvale/shell/FlowLayout.h"
#include "brimvale/shell/InkButtonStyle.h"
#include "brimvale/shell/Theme.h"
#include "tests/shell/Appearance.h"

#include <QApplication>
#include <QClipboard>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>

namespace corvane {
namespace {

TEST(CopyFeedbackTest, EachCopyClearsItsOwnMarkAfterItsOwnTime) {
  ManualMainQueue queue;
  CopyFeedback feedback(queue);
  QSignalSpy changes(&feedback, &CopyFeedback::copiedIDChanged);
  feedback.copyWithFeedback("a", "x");
  EXPECT_EQ(QApplication::clipboard()->text(), "a");
  EXPECT_EQ(feedback.copiedID(), QString("x"));
  queue.advance(1.0);
  feedback.copyWithFeedback("b", "y");
  EXPECT_EQ(QApplication::clipboard()->text(), "b");
  queue.advance(0.5); // the first copy's 1.4 s are over
  EXPECT_EQ(feedback.copiedID(), QString("y"));
  queue.advance(0.89);
  EXPECT_EQ(feedback.copiedID(), QString("y"));
  queue.advance(0.02);
  EXPECT_EQ(feedback.copiedID(), std::nullopt);
  EXPECT_EQ(changes.count(), 3);

  // The same item copied again: its mark lasts the full time after the last copy, whatever
  // the first copy's clearing finds.
  feedback.copyWithFeedback("c", "x");
  queue.advance(1.0);
  feedback.copyWithFeedback("c", "x");
  queue.advance(0.5);
  EXPECT_EQ(feedback.copiedID(), QString("x"));
  queue.advance(0.89);
  EXPECT_EQ(feedback.copiedID(), QString("x"));
  queue.advance(0.02);
  EXPECT_EQ(feedback.copiedID(), std::nullopt);
  feedback.copyWithFeedback("d", "z");
  queue.advance(1.0);
  feedback.copyWithFeedback("e", "x");
  feedback.copyWithFeedback("d", "z");
  queue.advance(0.5); // the first copy of "z" is due, but "z" was copied since
  EXPECT_EQ(feedback.copiedID(), QString("z"));
}

TEST(CopyFeedbackTest, AClearingDueAfterTheFeedbackIsGoneDoesNothing) {
  ManualMainQueue queue;
  {
    CopyFeedback feedback(queue);
    feedback.copyWithFeedback("a", "x");
  }
  queue.advance(2);
  EXPECT_EQ(queue.pendingCount(), 0u);
}

std::vector<FlowLayout::Row> rowsOf(std::vector<QSizeF> sizes, qreal width, qreal spacing,
                                    std::vector<std::optional<qreal>> *asked = nullptr) {
  return FlowLayout::flowRows(
      static_cast<int>(sizes.size()),
      [&](int index, std::optional<qreal> proposed) {
        if (asked)
          asked->push_back(proposed);
        return proposed ? QSizeF(*proposed, sizes[index].height() * 2) : sizes[index];
      },
      width, spacing);
}

TEST(FlowLayoutTest, BreaksRowsAtTheWidthAndKeepsOrder) {
  using Row = FlowLayout::Row;
  EXPECT_EQ(rowsOf({{40, 20}, {40, 24}, {40, 20}}, 100, 6),
            (std::vector<Row>{{{0, 1}, 0, 24, 86}, {{2}, 30, 20, 40}}));
  // An item wider than the layout is measured again at its width and stands alone.
  std::vector<std::optional<qreal>> asked;
  EXPECT_EQ(rowsOf({{30, 10}, {150, 10}, {30, 10}}, 100, 6, &asked),
            (std::vector<Row>{{{0}, 0, 10, 30}, {{1}, 16, 20, 100}, {{2}, 42, 10, 30}}));
  EXPECT_EQ(asked,
            (std::vector<std::optional<qreal>>{std::nullopt, std::nullopt, 100.0, std::nullopt}));
  // Without a width every item joins one row, and the size is that row's.
  const auto unlimited =
      rowsOf({{40, 20}, {40, 20}, {40, 20}}, std::numeric_limits<qreal>::infinity(), 6);
  ASSERT_EQ(unlimited.size(), 1u);
  EXPECT_EQ(FlowLayout::sizeThatFits(unlimited, std::nullopt), QSizeF(132, 20));
  EXPECT_EQ(FlowLayout::sizeThatFits({}, std::nullopt), QSizeF(0, 0));
  EXPECT_TRUE(rowsOf({}, 100, 6).empty());
}

TEST(FlowLayoutTest, PlacesChipsRowByRowInAWidget) {
  QWidget host;
  auto *layout = new FlowLayout(6, &host);
  for (int i = 0; i < 3; ++i) {
    auto *chip = new QWidget;
    chip->setFixedSize(40, 20);
    layout->addWidget(chip);
  }
  EXPECT_EQ(layout->heightForWidth(100), 46);
  host.resize(100, layout->heightForWidth(100));
  layout->activate();
  EXPECT_EQ(layout->itemAt(1)->geometry(), QRect(46, 0, 40, 20));
  EXPECT_EQ(layout->itemAt(2)->geometry(), QRect(0, 26, 40, 20));
  EXPECT_EQ(layout->sizeHint(), QSize(132, 20));
}

TEST(ElidingLabelTest, CutsBetweenWholeCharactersAndKeepsOneLine) {
  // Family emoji (joined by U+200D), flags and combining accents: each is one character.
  const QString text = QString::fromUtf8(
      "\U0001F468\u200D\U0001F469\u200D\U0001F467 e\u0301t\u00E9 \U0001F1EB\U0001F1F7 "
      "\U0001F468\u200D\U0001F469\u200D\U0001F467\U0001F468\u200D\U0001F469\u200D\U0001F467 "
      "a long tail of words\nsecond line");
  ElidingLabel label(text);
  label.show();
  const std::string whole = text.toStdString();
  const auto clusters = graphemeClusters(whole);
  for (int width = 10; width < 400; width += 7) {
    label.resize(width, 20);
    QString shown = label.shownText();
    ASSERT_FALSE(shown.contains('\n'));
    if (shown.endsWith(QString::fromUtf8("…"))) {
      EXPECT_EQ(label.toolTip(), text) << "the whole text, on hover";
      shown.chop(1);
    }
    // What is shown is whole clusters from the start, line break read as a space.
    std::string expected;
    const std::string shownUtf8 = shown.toStdString();
    for (const auto &cluster : clusters) {
      if (expected.size() >= shownUtf8.size())
        break;
      expected += cluster == "\n" ? " " : cluster;
    }
    EXPECT_EQ(shownUtf8, expected) << "width " << width;
  }
}

TEST(InkButtonStyleTest, FillsWithInkAndLightensWhilePressed) {
  for (auto appearance : {Theme::Appearance::light, Theme::Appearance::dark}) {
    testing::ScopedAppearance scoped(appearance);
    QPushButton button("Share a port");
    InkButtonStyle::apply(&button, 44);
    button.ensurePolished();
    EXPECT_EQ(button.height(), 44);
    const QFontMetricsF metrics(button.font());
    EXPECT_EQ(
        button.sizeHint(),
        QSize(static_cast<int>(std::ceil(metrics.horizontalAdvance("Share a port"))) + 28, 44));
    button.resize(button.sizeHint());
    const QColor ink = Theme::ink.in(appearance);
    EXPECT_EQ(button.grab().toImage().pixelColor(6, 22), ink);
    button.setDown(true);
    const QColor pressed = button.grab().toImage().pixelColor(6, 22);
    // Ink at 0.8 over the window behind the button.
    const QColor behind = Theme::background.in(appearance);
    EXPECT_NEAR(pressed.red(), 0.8 * ink.red() + 0.2 * behind.red(), 2);
    EXPECT_NEAR(pressed.blue(), 0.8 * ink.blue() + 0.2 * behind.blue(), 2);
  }
}

} // namespace
} // namespace corvane

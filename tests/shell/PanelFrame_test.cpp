#include "brimvale/shell/PanelFrame.h"

#include <QAccessible>
#include <QLabel>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QVBoxLayout>
#include <gtest/gtest.h>
#include <limits>

namespace corvane {
namespace {

constexpr qreal noLimit = std::numeric_limits<qreal>::infinity();

QWidget *block(int height, const char *name) {
  auto *widget = new QWidget;
  widget->setObjectName(name);
  widget->setFixedHeight(height);
  return widget;
}

// A middle of `rows` rows 30 high, as a panel's list would be.
QWidget *list(int rows) {
  auto *widget = new QWidget;
  widget->setObjectName("middle");
  auto *layout = new QVBoxLayout(widget);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  for (int i = 0; i < rows; ++i)
    layout->addWidget(block(30, "row"));
  return widget;
}

QRect inFrame(QWidget *widget, PanelFrame &frame) {
  return {widget->mapTo(&frame, QPoint()), widget->size()};
}

void show(PanelFrame &frame) {
  frame.setFixedWidth(PanelFrame::panelWidth);
  frame.adjustSize();
  frame.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&frame));
}

TEST(PanelFrameTest, IsAsTallAsItsContentWithoutALimit) {
  // Scrolling asked for, but there is no limit: the middle stands in the stack.
  PanelFrame frame(noLimit, true, 14, 20, block(40, "header"), list(20), block(44, "footer"));
  show(frame);
  EXPECT_EQ(frame.scrollArea(), nullptr);
  EXPECT_EQ(frame.height(), 20 + 40 + 14 + 600 + 14 + 44 + 20);
  EXPECT_EQ(inFrame(frame.findChild<QWidget *>("header"), frame), QRect(20, 20, 340, 40));
}

TEST(PanelFrameTest, ScrollsOnlyTheMiddleUnderTheLimit) {
  PanelFrame frame(400, true, 14, 20, block(40, "header"), list(20), block(44, "footer"));
  show(frame);
  ASSERT_NE(frame.scrollArea(), nullptr);
  EXPECT_EQ(frame.height(), 400);
  auto *header = frame.findChild<QWidget *>("header");
  auto *footer = frame.findChild<QWidget *>("footer");
  EXPECT_EQ(inFrame(header, frame).top(), 20);
  EXPECT_EQ(inFrame(footer, frame).bottom(), 400 - 20 - 1);
  QScrollBar *bar = frame.scrollArea()->verticalScrollBar();
  EXPECT_GT(bar->maximum(), 0);
  bar->setValue(bar->maximum());
  EXPECT_EQ(inFrame(header, frame).top(), 20);
  EXPECT_EQ(inFrame(footer, frame).bottom(), 400 - 20 - 1);
}

TEST(PanelFrameTest, AShortMiddleUnderALimitTakesItsOwnHeightAndDoesNotScroll) {
  PanelFrame frame(400, true, 14, 20, block(40, "header"), list(2), block(44, "footer"));
  show(frame);
  EXPECT_EQ(frame.height(), 20 + 40 + 14 + 60 + 14 + 44 + 20);
  EXPECT_EQ(frame.scrollArea()->verticalScrollBar()->maximum(), 0);
}

TEST(PanelFrameTest, WithoutScrollingTheLimitStillBoundsTheWhole) {
  PanelFrame frame(300, false, 12, 14, block(40, "header"), list(20), block(44, "footer"));
  show(frame);
  EXPECT_EQ(frame.scrollArea(), nullptr);
  EXPECT_LE(frame.height(), 300);
  EXPECT_FALSE(PanelFrame::isFinite(std::numeric_limits<qreal>::quiet_NaN()));
}

// A screen reader asks for a child by a count it took earlier; the count changes as the scroll
// bar shows and hides. An index past the children finds none instead of reading past them.
TEST(PanelFrameTest, TheScrollViewGivesNoAccessibleChildPastItsCount) {
  PanelFrame frame(200, true, 10, 10, block(40, "header"), list(20), block(40, "footer"));
  show(frame);
  QAccessibleInterface *view =
      QAccessible::queryAccessibleInterface(frame.findChild<QScrollArea *>("panelFrameScroll"));
  ASSERT_NE(view, nullptr);
  const int count = view->childCount();
  ASSERT_GT(count, 0);
  for (int index = 0; index < count; ++index)
    EXPECT_NE(view->child(index), nullptr);
  for (int index = count; index < count + 4; ++index)
    EXPECT_EQ(view->child(index), nullptr);
}

TEST(PanelFrameTest, TheScrollBarShowsBesideTheContentNeverOverIt) {
  PanelFrame frame(400, true, 14, 20, block(40, "header"), list(20), block(44, "footer"));
  show(frame);
  QScrollBar *bar = frame.scrollArea()->verticalScrollBar();
  ASSERT_TRUE(bar->isVisible());
  const QRect barArea(bar->mapTo(&frame, QPoint()), bar->size());
  auto *row = frame.findChild<QWidget *>("row");
  const QRect rowArea(row->mapTo(&frame, QPoint()), row->size());
  EXPECT_EQ(rowArea.width(), 340);
  EXPECT_LE(rowArea.right(), barArea.left());
  EXPECT_LE(barArea.right(), PanelFrame::panelWidth - 1);
}

TEST(PanelFrameTest, WrappedTextCountsAtTheFramesWidth) {
  auto *text =
      new QLabel(QString("A sentence long enough to wrap over several lines. ").repeated(6));
  text->setWordWrap(true);
  auto *middle = new QWidget;
  auto *layout = new QVBoxLayout(middle);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(text);
  PanelFrame frame(1400, true, 14, 20, block(40, "header"), middle, block(44, "footer"));
  show(frame);
  EXPECT_EQ(frame.height(), 20 + 40 + 14 + text->heightForWidth(340) + 14 + 44 + 20);
  EXPECT_EQ(frame.scrollArea()->verticalScrollBar()->maximum(), 0);
}

} // namespace
} // namespace corvane

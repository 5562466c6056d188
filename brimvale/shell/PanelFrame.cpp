#include "brimvale/shell/PanelFrame.h"

#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>
#include <cmath>

namespace corvane {

namespace {

// A scroll view that asks for its content's full height, so that the frame is as tall as its
// content and the view only shrinks when the height limit presses on it.
class MiddleScrollArea : public QScrollArea {
public:
  using QScrollArea::QScrollArea;

  QSize sizeHint() const override {
    const QWidget *content = widget();
    if (!content)
      return QScrollArea::sizeHint();
    const int width = viewport()->width() > 0 ? viewport()->width() : content->sizeHint().width();
    const int height = content->hasHeightForWidth() ? content->heightForWidth(width)
                                                    : content->sizeHint().height();
    return {content->sizeHint().width(), height};
  }
  QSize minimumSizeHint() const override { return {0, 0}; }
};

} // namespace

bool PanelFrame::isFinite(qreal height) {
  return std::isfinite(height);
}

PanelFrame::PanelFrame(qreal maxHeight, bool scrolls, qreal spacing, qreal padding, QWidget *header,
                       QWidget *middle, QWidget *footer, QWidget *parent)
    : QWidget(parent), maxHeight_(maxHeight) {
  const int inset = static_cast<int>(std::lround(padding));
  auto *stack = new QVBoxLayout(this);
  stack->setContentsMargins(inset, inset, inset, inset);
  stack->setSpacing(static_cast<int>(std::lround(spacing)));
  stack->addWidget(header);
  if (scrolls && isFinite(maxHeight)) {
    scrollArea_ = new MiddleScrollArea(this);
    scrollArea_->setObjectName(QStringLiteral("panelFrameScroll"));
    scrollArea_->setFrameShape(QFrame::NoFrame);
    scrollArea_->setWidgetResizable(true);
    scrollArea_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scrollArea_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    scrollArea_->setBackgroundRole(QPalette::Window);
    scrollArea_->setWidget(middle);
    stack->addWidget(scrollArea_, 1);
  } else {
    stack->addWidget(middle, 1);
  }
  stack->addWidget(footer);
  if (isFinite(maxHeight)) {
    setMaximumHeight(static_cast<int>(std::floor(maxHeight)));
    // The limit wins over the content's minimum: a middle that does not scroll is cut.
    stack->setSizeConstraint(QLayout::SetNoConstraint);
  }
}

} // namespace corvane

#include "brimvale/shell/PanelFrame.h"

#include <QAccessibleWidget>
#include <QProxyStyle>
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

// The accessible face of the middle scroll view. Qt 6.4's own one for scroll views counts the
// scroll bars among its children only while they show, and hands out a child by index without
// checking it: a screen reader asking for a child by a count taken before a bar hid (the panel
// closing, its content rebuilt, a transient bar fading) made it read past its list and crash.
// Here the children are the view's child widgets, and an index out of range finds none.
class ScrollViewAccessible : public QAccessibleWidget {
public:
  explicit ScrollViewAccessible(QWidget *view) : QAccessibleWidget(view, QAccessible::Client) {}

  static QAccessibleInterface *make(const QString &, QObject *object) {
    return dynamic_cast<MiddleScrollArea *>(object)
               ? new ScrollViewAccessible(static_cast<QWidget *>(object))
               : nullptr;
  }
};

// Scroll bars drawn over the content instead of beside it: the panels lay their content out
// for the full width, and a bar taking its own column would cut their right edge.
class OverlayScrollBars : public QProxyStyle {
public:
  using QProxyStyle::QProxyStyle;

  int styleHint(StyleHint hint, const QStyleOption *option, const QWidget *widget,
                QStyleHintReturn *answer) const override {
    if (hint == SH_ScrollBar_Transient)
      return 1;
    return QProxyStyle::styleHint(hint, option, widget, answer);
  }
};

} // namespace

void PanelFrame::overlayScrollBars(QAbstractScrollArea *area) {
  // Widgets do not own their style; this one goes with the scroll view.
  auto *overlay = new OverlayScrollBars;
  overlay->setParent(area);
  area->setStyle(overlay);
  area->verticalScrollBar()->setStyle(overlay);
}

PanelFrame *PanelFrame::swap(QWidget &host, PanelFrame *old, PanelFrame *fresh) {
  if (old) {
    old->hide();
    host.layout()->removeWidget(old);
    old->deleteLater();
  }
  host.layout()->addWidget(fresh);
  if (host.isVisible())
    fresh->show();
  return fresh;
}

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
    // Once for the process: asked before Qt's own, it answers only for these views.
    [[maybe_unused]] static const bool accessible =
        (QAccessible::installFactory(&ScrollViewAccessible::make), true);
    scrollArea_ = new MiddleScrollArea(this);
    scrollArea_->setObjectName(QStringLiteral("panelFrameScroll"));
    scrollArea_->setFrameShape(QFrame::NoFrame);
    scrollArea_->setWidgetResizable(true);
    scrollArea_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scrollArea_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    scrollArea_->setBackgroundRole(QPalette::Window);
    overlayScrollBars(scrollArea_);
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

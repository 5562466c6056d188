#include "brimvale/shell/PanelFrame.h"

#include "brimvale/shell/AccessibleScrollView.h"

#include <QEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyleOptionSlider>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

namespace corvane {

namespace {

int heightAt(const QWidget *widget, int width) {
  // Not yet shown counts; hidden on purpose does not.
  if (widget->isHidden() && widget->testAttribute(Qt::WA_WState_ExplicitShowHide))
    return 0;
  return widget->hasHeightForWidth() ? widget->heightForWidth(width) : widget->sizeHint().height();
}

// A slim bar that draws only its handle, in the text colour at low contrast, so that it reads
// as an indicator beside the content.
class IndicatorBar : public QScrollBar {
public:
  IndicatorBar() : QScrollBar(Qt::Vertical) { setObjectName(QStringLiteral("panelScrollBar")); }

  QSize sizeHint() const override {
    return {PanelFrame::scrollBarWidth, QScrollBar::sizeHint().height()};
  }

protected:
  void paintEvent(QPaintEvent *) override {
    QStyleOptionSlider option;
    initStyleOption(&option);
    const QRect handle =
        style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, this);
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor colour = palette().color(QPalette::WindowText);
    colour.setAlphaF(isSliderDown() ? 0.55f : 0.35f);
    const QRectF shape = QRectF(handle).adjusted(1.5, 1, -1.5, -1);
    QPainterPath path;
    path.addRoundedRect(shape, shape.width() / 2, shape.width() / 2);
    painter.fillPath(path, colour);
  }
};

// The middle inside the scroll view: keeps the frame's right inset for the content, less what
// the scroll bar's column already takes of it where the style gives the bar a column of its
// own, so the content keeps its width and the bar stands in the inset, beside the content.
class MiddleHolder : public QWidget {
public:
  MiddleHolder(QWidget *middle, int inset) : inset_(inset) {
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, inset, 0);
    layout->addWidget(middle);
  }

  // `area` reaches the frame's right edge; what it keeps right of its viewport is the bar's.
  void fit(const QWidget &area, const QWidget &viewport) {
    const int taken = area.width() - (viewport.x() + viewport.width());
    const int right = std::clamp(inset_ - taken, 0, inset_);
    if (layout()->contentsMargins().right() != right)
      layout()->setContentsMargins(0, 0, right, 0);
  }

private:
  int inset_;
};

// Follows the bar's showing and the scrolled content's changes of size: the scroll view is a
// layout of its own, so the frame learns of a taller or shorter middle only from here.
class MiddleWatch : public QObject {
public:
  MiddleWatch(QScrollArea *area, MiddleHolder *holder, QWidget *frame)
      : QObject(area), area_(area), holder_(holder), frame_(frame) {
    area->verticalScrollBar()->installEventFilter(this);
    area->viewport()->installEventFilter(this);
    holder->installEventFilter(this);
  }

protected:
  bool eventFilter(QObject *watched, QEvent *event) override {
    if (watched == holder_) {
      if (event->type() == QEvent::LayoutRequest)
        PanelFrame::grew(*frame_);
    } else if (event->type() == QEvent::Show || event->type() == QEvent::Hide ||
               event->type() == QEvent::Resize) {
      holder_->fit(*area_, *area_->viewport());
    }
    return false;
  }

private:
  QScrollArea *area_;
  MiddleHolder *holder_;
  QWidget *frame_;
};

// Lays a part out with the frame's inset on its right as well.
QWidget *inset(QWidget *part, int right) {
  auto *holder = new QWidget;
  auto *layout = new QVBoxLayout(holder);
  layout->setContentsMargins(0, 0, right, 0);
  layout->addWidget(part);
  return holder;
}

} // namespace

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

QWidget *PanelFrame::replace(QWidget *old, QWidget *fresh) {
  QWidget *parent = old->parentWidget();
  auto *layout = parent ? qobject_cast<QBoxLayout *>(parent->layout()) : nullptr;
  const int at = layout ? layout->indexOf(old) : -1;
  old->hide();
  if (layout && at >= 0) {
    layout->removeWidget(old);
    layout->insertWidget(at, fresh);
  }
  old->deleteLater();
  return fresh;
}

void PanelFrame::grew(QWidget &frame) {
  frame.updateGeometry();
  // A frame not shown yet does not pass its change on; its host's layout would keep the
  // height it had.
  if (QWidget *host = frame.parentWidget(); host && host->layout())
    host->layout()->invalidate();
}

void PanelFrame::useIndicatorBar(QAbstractScrollArea *area) {
  area->setVerticalScrollBar(new IndicatorBar);
}

bool PanelFrame::isFinite(qreal height) {
  return std::isfinite(height);
}

PanelFrame::PanelFrame(qreal maxHeight, bool scrolls, qreal spacing, qreal padding, QWidget *header,
                       QWidget *middle, QWidget *footer, QWidget *parent)
    : QWidget(parent), maxHeight_(maxHeight), inset_(static_cast<int>(std::lround(padding))),
      spacing_(static_cast<int>(std::lround(spacing))) {
  auto *stack = new QVBoxLayout(this);
  // No inset on the right of the stack: each part keeps its own, and the scroll bar stands
  // in the middle's.
  stack->setContentsMargins(inset_, inset_, 0, inset_);
  stack->setSpacing(spacing_);
  header_ = inset(header, inset_);
  footer_ = inset(footer, inset_);
  stack->addWidget(header_);
  if (scrolls && isFinite(maxHeight)) {
    auto *holder = new MiddleHolder(middle, inset_);
    installAccessibleScrollViews();
    scrollArea_ = new QScrollArea(this);
    scrollArea_->setObjectName(QStringLiteral("panelFrameScroll"));
    scrollArea_->setFrameShape(QFrame::NoFrame);
    scrollArea_->setWidgetResizable(true);
    scrollArea_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    useIndicatorBar(scrollArea_);
    scrollArea_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    scrollArea_->setBackgroundRole(QPalette::Window);
    scrollArea_->setMinimumHeight(0);
    new MiddleWatch(scrollArea_, holder, this);
    scrollArea_->setWidget(holder);
    middle_ = holder;
    stack->addWidget(scrollArea_, 1);
  } else {
    middle_ = inset(middle, inset_);
    stack->addWidget(middle_, 1);
  }
  stack->addWidget(footer_);
  if (isFinite(maxHeight)) {
    setMaximumHeight(static_cast<int>(std::floor(maxHeight)));
    // The limit wins over the content's minimum: a middle that does not scroll is cut.
    stack->setSizeConstraint(QLayout::SetNoConstraint);
  }
}

void PanelFrame::setMaxHeight(qreal maxHeight) {
  maxHeight_ = maxHeight;
  const bool limited = isFinite(maxHeight);
  setMaximumHeight(limited ? static_cast<int>(std::floor(maxHeight)) : QWIDGETSIZE_MAX);
  layout()->setSizeConstraint(limited ? QLayout::SetNoConstraint : QLayout::SetDefaultConstraint);
  grew(*this);
}

int PanelFrame::naturalHeight(int width) const {
  const int inner = width - inset_;
  return 2 * inset_ + heightAt(header_, inner) + spacing_ + heightAt(middle_, inner) + spacing_ +
         heightAt(footer_, inner);
}

int PanelFrame::heightForWidth(int width) const {
  const int natural = naturalHeight(width);
  return isFinite(maxHeight_) ? std::min(natural, static_cast<int>(std::floor(maxHeight_)))
                              : natural;
}

int PanelFrame::laidOutWidth() const {
  if (minimumWidth() == maximumWidth())
    return minimumWidth();
  if (const QWidget *parent = parentWidget();
      parent && parent->minimumWidth() == parent->maximumWidth())
    return parent->minimumWidth();
  return width() > 0 && testAttribute(Qt::WA_Resized) ? width() : panelWidth;
}

QSize PanelFrame::sizeHint() const {
  const int width = laidOutWidth();
  return {width, heightForWidth(width)};
}

void PanelFrame::scrollIntoView(QWidget *widget) {
  if (!scrollArea_ || !widget)
    return;
  // The content's layout may still be pending after a rebuild.
  if (QWidget *content = scrollArea_->widget(); content && content->layout())
    content->layout()->activate();
  scrollArea_->ensureWidgetVisible(widget, 0, 0);
}

} // namespace corvane

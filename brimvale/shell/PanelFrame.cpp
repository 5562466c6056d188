#include "brimvale/shell/PanelFrame.h"

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
  if (widget->isHidden())
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

// The middle inside the scroll view: keeps the frame's right inset for the content, less the
// bar's width while the bar shows, so the content keeps its width and the bar stands beside it.
class MiddleHolder : public QWidget {
public:
  MiddleHolder(QWidget *middle, int inset) : inset_(inset) {
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, inset, 0);
    layout->addWidget(middle);
  }

  void barShown(bool shown) {
    layout()->setContentsMargins(0, 0, std::max(0, inset_ - (shown ? bar() : 0)), 0);
  }
  static int bar() { return PanelFrame::scrollBarWidth; }

private:
  int inset_;
};

class BarWatch : public QObject {
public:
  BarWatch(QScrollBar *bar, MiddleHolder *holder) : QObject(bar), holder_(holder) {
    bar->installEventFilter(this);
  }

protected:
  bool eventFilter(QObject *, QEvent *event) override {
    if (event->type() == QEvent::Show)
      holder_->barShown(true);
    else if (event->type() == QEvent::Hide)
      holder_->barShown(false);
    return false;
  }

private:
  MiddleHolder *holder_;
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
    scrollArea_ = new QScrollArea(this);
    scrollArea_->setObjectName(QStringLiteral("panelFrameScroll"));
    scrollArea_->setFrameShape(QFrame::NoFrame);
    scrollArea_->setWidgetResizable(true);
    scrollArea_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto *bar = new IndicatorBar;
    scrollArea_->setVerticalScrollBar(bar);
    scrollArea_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    scrollArea_->setBackgroundRole(QPalette::Window);
    scrollArea_->setMinimumHeight(0);
    new BarWatch(bar, holder);
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

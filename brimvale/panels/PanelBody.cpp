#include "brimvale/panels/PanelBody.h"

#include "brimvale/shell/PanelFrame.h"

#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

namespace corvane {

namespace {

QWidget *host() {
  auto *made = new QWidget;
  auto *layout = new QVBoxLayout(made);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  return made;
}

} // namespace

PanelBody::PanelBody(QWidget &panel, qreal spacing, qreal padding, QString frameName)
    : panel_(panel), spacing_(spacing), padding_(padding), frameName_(std::move(frameName)) {}

void PanelBody::frame(qreal maxHeight, bool scrolls) {
  if (frame_ && frame_->scrolls() == (scrolls && PanelFrame::isFinite(maxHeight))) {
    if (frame_->maxHeight() != maxHeight)
      frame_->setMaxHeight(maxHeight);
    return;
  }
  for (auto &each : hosts_)
    each = host();
  auto *fresh = new PanelFrame(maxHeight, scrolls, spacing_, padding_, hosts_[header],
                               hosts_[middle], hosts_[footer]);
  fresh->setObjectName(frameName_);
  frame_ = PanelFrame::swap(panel_, frame_, fresh);
  kept_.reset();
  reveal_ = nullptr;
  if (QScrollArea *area = frame_->scrollArea()) {
    QScrollBar *bar = area->verticalScrollBar();
    QObject::connect(bar, &QScrollBar::rangeChanged, bar, [this] { settle(); });
    // The user's own scrolling wins over any place remembered for them.
    QObject::connect(bar, &QScrollBar::actionTriggered, bar, [this] {
      kept_.reset();
      reveal_ = nullptr;
    });
  }
  invalidate();
}

void PanelBody::invalidate() {
  built_ = {};
}

bool PanelBody::put(Part part, const QString &signature, const std::function<QWidget *()> &build) {
  if (built_[part] && signatures_[part] == signature)
    return false;
  QScrollBar *bar = frame_->scrollArea() ? frame_->scrollArea()->verticalScrollBar() : nullptr;
  const int kept = bar ? bar->value() : 0;
  QWidget *fresh = build();
  if (shown_[part]) {
    // Deleted later: a rebuild may run inside one of the old part's own handlers.
    shown_[part]->hide();
    hosts_[part]->layout()->removeWidget(shown_[part]);
    shown_[part]->deleteLater();
  }
  hosts_[part]->layout()->addWidget(fresh);
  shown_[part] = fresh;
  signatures_[part] = signature;
  built_[part] = true;
  // The panel's layout keeps the frame's last size until told.
  PanelFrame::grew(*frame_);
  if (bar && part == middle) {
    // A reveal is done once the list is built again: from then on the user's place counts.
    reveal_ = nullptr;
    kept_ = kept;
    settle();
    QTimer::singleShot(0, bar, [this] { settle(); });
  }
  return true;
}

QSize PanelBody::sizeHint() const {
  return frame_ ? frame_->sizeHint() : QSize(PanelFrame::panelWidth, 0);
}

int PanelBody::heightForWidth(int width) const {
  return frame_ ? frame_->heightForWidth(width) : 0;
}

void PanelBody::scrollIntoView(QWidget *widget) {
  if (!frame_ || !frame_->scrollArea())
    return;
  reveal_ = widget;
  QTimer::singleShot(0, frame_->scrollArea(), [this] { settle(); });
}

void PanelBody::settle() {
  QScrollArea *area = frame_ ? frame_->scrollArea() : nullptr;
  if (!area)
    return;
  if (reveal_) {
    frame_->scrollIntoView(reveal_);
    kept_ = area->verticalScrollBar()->value();
  } else if (kept_)
    area->verticalScrollBar()->setValue(*kept_);
}

} // namespace corvane

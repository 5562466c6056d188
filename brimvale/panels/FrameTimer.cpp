#include "brimvale/panels/FrameTimer.h"

#include <QEvent>
#include <QWidget>

namespace corvane {

FrameTimer::FrameTimer(QWidget *widget) : QObject(widget), widget_(widget) {
  timer_.setInterval(intervalMs);
  timer_.setTimerType(Qt::PreciseTimer);
  connect(&timer_, &QTimer::timeout, widget_, qOverload<>(&QWidget::update));
  widget_->installEventFilter(this);
}

void FrameTimer::setMoving(bool moving) {
  moving_ = moving;
  apply();
}

bool FrameTimer::eventFilter(QObject *watched, QEvent *event) {
  if (watched == widget_ && (event->type() == QEvent::Show || event->type() == QEvent::Hide))
    apply();
  return QObject::eventFilter(watched, event);
}

void FrameTimer::apply() {
  const bool run = moving_ && widget_->isVisible();
  if (run && !timer_.isActive())
    timer_.start();
  else if (!run && timer_.isActive())
    timer_.stop();
}

} // namespace corvane

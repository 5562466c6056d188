#include "brimvale/shell/QtMainQueue.h"

#include "brimvale/platform/Clock.h"

#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <climits>

namespace corvane {

namespace {

using Milliseconds = std::chrono::milliseconds;

// QTimer counts in int milliseconds; a longer delay is waited out in several stretches.
constexpr Milliseconds longestStretch{INT_MAX};

Milliseconds delayOf(double seconds) {
  return std::chrono::ceil<Milliseconds>(steadyDuration(seconds));
}

// Runs `work` after `remaining`, unless cancelled first. Called on the context's thread.
void arm(QObject *context, Milliseconds remaining, WorkItem item, std::function<void()> work) {
  const auto stretch = std::min(remaining, longestStretch);
  QTimer::singleShot(stretch, Qt::PreciseTimer, context,
                     [context, rest = remaining - stretch, item = std::move(item),
                      work = std::move(work)]() mutable {
                       if (item.isCancelled())
                         return;
                       if (rest > Milliseconds::zero())
                         arm(context, rest, std::move(item), std::move(work));
                       else
                         work();
                     });
}

} // namespace

QtMainQueue::QtMainQueue() : context_(std::make_unique<QObject>()) {}

QtMainQueue::~QtMainQueue() = default;

void QtMainQueue::post(std::function<void()> work) {
  QMetaObject::invokeMethod(context_.get(), std::move(work), Qt::QueuedConnection);
}

WorkItem QtMainQueue::postAfter(double seconds, std::function<void()> work) {
  WorkItem item = WorkItem::make();
  // Timers belong to the context's thread, so they are made there whoever asked.
  QObject *context = context_.get();
  QMetaObject::invokeMethod(
      context,
      [context, delay = delayOf(seconds), item, work = std::move(work)]() mutable {
        arm(context, delay, std::move(item), std::move(work));
      },
      Qt::QueuedConnection);
  return item;
}

WorkItem QtMainQueue::repeating(double interval, std::function<void()> work) {
  WorkItem item = WorkItem::make();
  // A period of zero would spin the loop.
  const auto period = std::clamp(delayOf(interval), Milliseconds(1), longestStretch);
  QObject *context = context_.get();
  QMetaObject::invokeMethod(
      context,
      [context, period, item, work = std::move(work)]() mutable {
        auto *timer = new QTimer(context);
        timer->setTimerType(Qt::PreciseTimer);
        timer->setInterval(period);
        QObject::connect(timer, &QTimer::timeout, context, [timer, item, work = std::move(work)] {
          if (!item.isCancelled())
            work();
          if (item.isCancelled()) {
            timer->stop();
            timer->deleteLater();
          }
        });
        timer->start();
      },
      Qt::QueuedConnection);
  return item;
}

bool QtMainQueue::isCurrent() const {
  return QThread::currentThread() == context_->thread();
}

} // namespace corvane

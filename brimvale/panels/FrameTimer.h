#pragma once

#include <QObject>
#include <QTimer>

class QWidget;

namespace corvane {

// Redraws a widget at most 30 times a second while something on it moves and it is shown;
// stopped otherwise. A child of the widget, so it ends with it. Main thread only.
class FrameTimer : public QObject {
  Q_OBJECT

public:
  static constexpr int maxFramesPerSecond = 30;
  // Rounded up, so the rate stays at or under the limit.
  static constexpr int intervalMs = (1000 + maxFramesPerSecond - 1) / maxFramesPerSecond;

  explicit FrameTimer(QWidget *widget);

  // Whether anything on the widget moves; the timer runs only while it does and the widget is
  // visible.
  void setMoving(bool moving);
  bool isMoving() const { return moving_; }
  bool isRunning() const { return timer_.isActive(); }

protected:
  bool eventFilter(QObject *watched, QEvent *event) override;

private:
  void apply();

  QWidget *widget_;
  QTimer timer_;
  bool moving_ = false;
};

} // namespace corvane

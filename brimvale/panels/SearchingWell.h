#pragma once

#include "brimvale/platform/Clock.h"

#include <QWidget>
#include <functional>

namespace corvane {

class FrameTimer;

// What the map panel shows while it looks for paired Macs: "You" in a well with two rings
// that grow out of it and fade. One element for screen readers. The rings move at most 30
// times a second while shown, and stand still with Reduce Motion. Main thread only.
class SearchingWell : public QWidget {
  Q_OBJECT

public:
  static constexpr int wellWidth = 340;
  static constexpr int wellHeight = 180;
  static constexpr double period = 2.4;

  struct Ring {
    double progress;
    double scale;
    double opacity;
  };

  SearchingWell(bool reduceMotion, std::function<Date()> now, QWidget *parent = nullptr);

  // The two rings at date `t`.
  static Ring ring(int index, Date t, bool reduceMotion);

  bool isAnimating() const;

  QSize sizeHint() const override { return {wellWidth, wellHeight}; }

protected:
  void paintEvent(QPaintEvent *event) override;

private:
  bool reduceMotion_;
  std::function<Date()> now_;
  FrameTimer *frames_;
};

} // namespace corvane

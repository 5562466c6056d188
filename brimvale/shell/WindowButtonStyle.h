#pragma once

#include "brimvale/shell/InkButtonStyle.h"

class QPushButton;

namespace corvane {

// A window's push button in the theme, beside its ink buttons: the default button (the one
// Return presses) in ink, any other as a plain one, a medium 13-point label in `text` on the
// `control` fill inside a hairline of `line`. Lighter while pressed, faded while disabled, a
// ring of `accent` while it has the keyboard focus. At least `height` points high. Set on a
// button with `apply`; the button owns its style. Main thread only.
class WindowButtonStyle : public InkButtonStyle {
  Q_OBJECT

public:
  static constexpr qreal plainRadius = 8;

  explicit WindowButtonStyle(qreal height);

  static void apply(QPushButton *button, qreal height = 32);

  void drawControl(ControlElement element, const QStyleOption *option, QPainter *painter,
                   const QWidget *widget) const override;
};

} // namespace corvane

#pragma once

#include "brimvale/shell/Theme.h"

#include <QApplication>
#include <QPalette>

namespace corvane::testing {

// Gives the application a palette of the theme's light or dark colours, as a desktop in that
// appearance would, and restores the previous one when it goes.
class ScopedAppearance {
public:
  explicit ScopedAppearance(Theme::Appearance appearance) : saved_(QApplication::palette()) {
    QPalette palette;
    palette.setColor(QPalette::Window, Theme::background.in(appearance));
    palette.setColor(QPalette::WindowText, Theme::text.in(appearance));
    palette.setColor(QPalette::Base, Theme::field.in(appearance));
    palette.setColor(QPalette::Text, Theme::text.in(appearance));
    palette.setColor(QPalette::Button, Theme::control.in(appearance));
    palette.setColor(QPalette::ButtonText, Theme::text.in(appearance));
    palette.setColor(QPalette::PlaceholderText, Theme::textFaint.in(appearance));
    QApplication::setPalette(palette);
  }
  ~ScopedAppearance() { QApplication::setPalette(saved_); }
  ScopedAppearance(const ScopedAppearance &) = delete;
  ScopedAppearance &operator=(const ScopedAppearance &) = delete;

private:
  QPalette saved_;
};

} // namespace corvane::testing

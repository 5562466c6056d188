#pragma once

#include "brimvale/shell/Theme.h"
#include "tests/shell/LayoutCheck.h"

#include <QDir>
#include <QImage>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <algorithm>
#include <cstdio>
#include <gtest/gtest.h>

namespace corvane::testing {

// Where screenshots go for a reviewer to open: <build>/screens.
inline QString screensFolder() {
  const QString folder = QStringLiteral(CORVANE_SCREENS_DIR);
  QDir().mkpath(folder);
  return folder;
}

inline const char *appearanceName(Theme::Appearance appearance) {
  return appearance == Theme::Appearance::dark ? "dark" : "light";
}

// Pixels that differ clearly from `background`: what was drawn on it.
inline int drawnPixels(const QImage &image, const QColor &background) {
  int drawn = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) {
      const QColor c = image.pixelColor(x, y);
      drawn += std::abs(c.red() - background.red()) + std::abs(c.green() - background.green()) +
                   std::abs(c.blue() - background.blue()) >
               60;
    }
  return drawn;
}

// Lays the widget out at its size, paints it on the theme's background and writes
// <name>-<appearance>.png; returns the picture. Fails when the layout check finds a fault
// that does not contain one of `knownFaults`; those it only prints.
inline QImage saveScreen(QWidget &widget, const QString &name, Theme::Appearance appearance,
                         const QStringList &knownFaults = {}) {
  widget.setAutoFillBackground(true);
  QPalette palette = widget.palette();
  palette.setColor(QPalette::Window, Theme::background.in(appearance));
  palette.setColor(QPalette::WindowText, Theme::text.in(appearance));
  widget.setPalette(palette);
  widget.ensurePolished();
  if (!widget.testAttribute(Qt::WA_Resized))
    widget.adjustSize();
  // A window does not apply its content's height for its width by itself (wrapped chips).
  if (widget.hasHeightForWidth())
    widget.resize(widget.width(), std::max(widget.height(), widget.heightForWidth(widget.width())));
  QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
  const QImage image = widget.grab().toImage();
  // After the picture: grabbing a hidden widget gives its children their pending sizes.
  const QStringList faults = layoutFaults(widget);
  const QString screen = name + QLatin1Char('-') + QLatin1String(appearanceName(appearance));
  const QString path = screensFolder() + QLatin1Char('/') + screen + QStringLiteral(".png");
  EXPECT_TRUE(image.save(path)) << path.toStdString();
  for (const QString &fault : faults) {
    const bool known = std::any_of(knownFaults.begin(), knownFaults.end(),
                                   [&](const QString &part) { return fault.contains(part); });
    if (known)
      std::printf("known layout fault in %s: %s\n", qPrintable(screen), qPrintable(fault));
    else
      ADD_FAILURE() << "layout of " << screen.toStdString() << ": " << fault.toStdString();
  }
  return image;
}

} // namespace corvane::testing

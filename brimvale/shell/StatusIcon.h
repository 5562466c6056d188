#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>

class QPainter;

namespace corvane {

// The tray's emblem: three nodes joined by two lines. The outer nodes are filled while some
// paired Mac is online and rings otherwise; a small dot at the lower right marks a failed
// incoming port. Main thread only.

// Draws the emblem in black into an 18 × 18 point square whose origin is its lower-left corner
// (y grows upwards) on a painter whose device has an alpha channel: the hollow nodes erase
// what lies under them. The painter's state is restored afterwards. Always true.
bool drawStatusIcon(QPainter &painter, bool peersOnline, bool hasFailure);

// The emblem as an image `pixels` wide and high, in `ink` on transparency.
QImage statusIconImage(bool peersOnline, bool hasFailure, int pixels, const QColor &ink);

// The emblem in `ink` with a thin outline in a colour of the opposite lightness, so that it
// shows on a light tray and on a dark one: the desktop does not say which colour its tray is.
QImage outlinedStatusIconImage(bool peersOnline, bool hasFailure, int pixels, const QColor &ink);

// The outlined emblem at the usual tray sizes, in `ink`.
QIcon statusIcon(bool peersOnline, bool hasFailure, const QColor &ink);

// The colour the tray's emblem is drawn in: light where the desktop's panel is likely dark
// (GNOME's top bar always is, and so are most panels in a dark appearance), else the
// desktop's text colour. Only a guess: the outline keeps it legible where it is wrong.
QColor trayInk();

} // namespace corvane

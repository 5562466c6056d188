#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>
#include <QString>
#include <QtGlobal>

namespace corvane {

// The colours and typefaces of the map-style views. Every named colour has a dark and a light
// value; which one applies follows the application's palette (a dark window colour means the
// dark appearance), read at each call, so a view that asks while painting follows a change of
// palette by itself. Views that bake colours into widgets rebuild on QEvent::PaletteChange.
// Main thread only (the fonts need the QGuiApplication).
class Theme {
public:
  enum class Appearance { light, dark };

  // A colour for both appearances, each a 24-bit sRGB value 0xRRGGBB.
  struct DynamicColor {
    QRgb dark;
    QRgb light;

    QColor in(Appearance appearance) const;
    QColor resolved() const { return in(Theme::appearance()); }
  };

  // The colours of one paired Mac's badge: its fill and what is drawn on it.
  struct MacColor {
    QColor fill;
    QColor on;
  };

  enum class Face { display, mono };

  Theme() = delete;

  // Dark when the palette's window colour is darker than middle grey.
  static Appearance appearanceOf(const QPalette &palette);
  static Appearance appearance();
  // Passes a change of the application's palette (the desktop switching between light and
  // dark) on to every widget as QEvent::ApplicationPaletteChange: Qt 6.4 tells the
  // application object only, so views that bake colours in would keep the old ones. Installs
  // once per process; call on the main thread once the QApplication exists.
  static void relayAppearanceChanges();

  static const DynamicColor background, surface, card, field, control, line, lineStrong, text,
      textMuted, textFaint, accent, ok, danger, ink, onInk, switchTrackOff, switchKnobOff, tile,
      wellStroke, mapZone, mapNodeFill, mapNodeBorder, mapPairNode, okDot, accentDot;

  // By a Mac's colour index; any index, negative too, wraps into the five entries.
  static MacColor macColor(int index);
  static DynamicColor accentColor(int index);
  static int paletteIndex(int index, int size);

  // True when both faces are installed (the application's own font files are registered
  // first). Computed on first use.
  static bool fontsAvailable();
  static bool familyAvailable(Face face);
  static QString familyName(Face face);
  // The face at `size` points (device-independent pixels, halves kept) and `weight`; the
  // system font of that size and weight when either face is missing (its fixed-pitch font for
  // mono), so that the two faces never mix with the system's.
  static QFont font(Face face, qreal size, QFont::Weight weight = QFont::Normal);
  static QFont display(qreal size, QFont::Weight weight = QFont::Normal) {
    return font(Face::display, size, weight);
  }
  static QFont mono(qreal size, QFont::Weight weight = QFont::Normal) {
    return font(Face::mono, size, weight);
  }
  // The system font at `size` points and `weight`.
  static QFont system(qreal size, QFont::Weight weight = QFont::Normal);
};

} // namespace corvane

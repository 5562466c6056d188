#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

namespace corvane {

// Where the panel's window stands on a screen: under a tray icon in the upper half of the work
// area, above one in the lower half, below the pointer when the tray tells no icon position.
// The edge it was placed against holds while the panel's height changes: above a bottom tray
// the panel's bottom stays at the tray and it grows upward; below a top tray its top stays.
// The window never leaves the work area. A plain value; any thread.
class PanelPlacement {
public:
  enum class Anchor { top, bottom };

  // The least room beside the tray icon worth limiting the panel to: a tray along a side of
  // the screen leaves little above or below its icon, and the work area bounds the panel then.
  static constexpr int minimumRoom = 240;
  // Between the icon (or the pointer) and the panel.
  static constexpr int gap = 4;

  // `area`: the screen's work area; `icon`: the tray icon's geometry, invalid or empty when the
  // tray tells none; `pointer`: where the pointer is, for that case.
  PanelPlacement(const QRect &area, const QRect &icon, const QPoint &pointer);

  Anchor anchor() const { return anchor_; }
  // The height the panel may take here: the room between the icon and the far edge of the
  // work area, or the whole work area's height when there is no icon or too little room.
  int room() const { return room_; }
  // The window's geometry for a panel of `size`.
  QRect geometry(const QSize &size) const;

private:
  QRect area_;
  Anchor anchor_ = Anchor::top;
  // The horizontal middle the panel centres on.
  int centre_ = 0;
  // The line the anchored edge stands on: the panel's top row, or its bottom row.
  int edge_ = 0;
  int room_ = 0;
};

} // namespace corvane

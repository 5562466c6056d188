#include "brimvale/shell/PanelPlacement.h"

#include <algorithm>

namespace corvane {

PanelPlacement::PanelPlacement(const QRect &area, const QRect &icon, const QPoint &pointer)
    : area_(area), room_(area.height()) {
  if (!icon.isValid() || icon.isEmpty()) {
    centre_ = pointer.x();
    edge_ = pointer.y() + gap;
    return;
  }
  centre_ = icon.center().x();
  int room;
  if (icon.center().y() < area.center().y()) {
    anchor_ = Anchor::top;
    edge_ = icon.bottom() + gap;
    room = area.bottom() - edge_ + 1;
  } else {
    anchor_ = Anchor::bottom;
    edge_ = icon.top() - gap - 1;
    room = edge_ - area.top() + 1;
  }
  // A tray the desktop does not count out of the work area (no window manager, or a host
  // without a strut): the panel stops short of the icon rather than covering it.
  if (room >= minimumRoom)
    room_ = std::min(room_, room);
}

QRect PanelPlacement::geometry(const QSize &size) const {
  int x = centre_ - size.width() / 2;
  int y = anchor_ == Anchor::top ? edge_ : edge_ - size.height() + 1;
  x = std::clamp(x, area_.left(), std::max(area_.left(), area_.right() - size.width() + 1));
  y = std::clamp(y, area_.top(), std::max(area_.top(), area_.bottom() - size.height() + 1));
  return {QPoint(x, y), size};
}

} // namespace corvane

#include "brimvale/panels/PanelStyle.h"

#include "brimvale/panels/ClassicPanel.h"
#include "brimvale/panels/MapPanel.h"
#include "brimvale/platform/UserDefaults.h"

namespace corvane {

PanelStyle panelStyle(const UserDefaults &defaults) {
  return defaults.string(panelStyleKey) == "classic" ? PanelStyle::classic : PanelStyle::map;
}

QWidget *makePanel(PanelStyle style, PanelContext context, PanelActions actions, qreal maxHeight,
                   QWidget *parent) {
  if (style == PanelStyle::classic)
    return new ClassicPanel(std::move(context), std::move(actions), maxHeight, parent);
  return new MapPanel(std::move(context), std::move(actions), maxHeight, parent);
}

} // namespace corvane

#pragma once

#include "brimvale/panels/PanelContext.h"
#include "brimvale/shell/PanelActions.h"

class QWidget;

namespace corvane {

class UserDefaults;

// Which panel the menu-bar window shows: the user default "panelStyle", "map" unless it says
// "classic".
enum class PanelStyle { map, classic };

inline constexpr const char *panelStyleKey = "panelStyle";

PanelStyle panelStyle(const UserDefaults &defaults);

// The panel of the chosen style, built with the panel root's actions and height limit.
QWidget *makePanel(PanelStyle style, PanelContext context, PanelActions actions, qreal maxHeight,
                   QWidget *parent = nullptr);

} // namespace corvane

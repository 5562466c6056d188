#pragma once

#include "brimvale/shell/PanelActions.h"

#include <functional>

class QMenu;
class QWidget;

namespace corvane {

// The menu a right click on the tray icon opens, as tray icons on this desktop offer: the
// panel, the settings and quitting. The caller owns the menu (or gives it a parent). Main
// thread only.
QMenu *makeTrayMenu(std::function<void()> showPanel, const PanelActions &actions,
                    QWidget *parent = nullptr);

} // namespace corvane

#pragma once

#include "brimvale/shell/PanelActions.h"
#include "brimvale/shell/PanelPlacement.h"

#include <QWidget>
#include <functional>
#include <optional>
#include <string>

class QScreen;

namespace corvane {

class ServiceManager;

// The panel's window: it shows the panel of the style the user chose ("panelStyle"; the
// classic panel for "classic", the map panel for anything else), with the footer's actions and
// a height limit taken from the screen, and tells the manager whether the panel is on screen.
// Main thread only; the manager must outlive it.
class PanelRoot : public QWidget {
  Q_OBJECT

public:
  static constexpr const char *panelStyleKey = "panelStyle";

  // Builds the panel of a style as a child of `parent`.
  using MakePanel = std::function<QWidget *(const std::string &panelStyle, PanelActions actions,
                                            qreal maxHeight, QWidget *parent)>;

  PanelRoot(ServiceManager &manager, MakePanel makePanel, PanelActions actions,
            QWidget *parent = nullptr);
  ~PanelRoot() override;

  // The screen's available height less 12 points; infinity without a screen.
  static qreal maxPanelHeight(const QScreen *screen);

  // Builds the panel again when the style changed since the last build. A new height limit
  // alone goes to a panel with a writable `maxHeight` property in place, keeping what the user
  // was doing in it; a panel without one is built again.
  void update(qreal maxHeight);
  // Stands the window where `placement` puts a panel of the height it shows, and keeps it
  // there, against the same edge, whenever that height changes.
  void place(const PanelPlacement &placement);
  QWidget *panel() const { return panel_; }
  const std::string &style() const { return style_; }

protected:
  void showEvent(QShowEvent *event) override;
  void hideEvent(QHideEvent *event) override;
  bool eventFilter(QObject *watched, QEvent *event) override;

private:
  // Takes the panel's height at its width. The panels answer for their size from their frames,
  // which a layout's own reckoning does not see, so the window is sized from the panel itself,
  // again whenever the panel's content asks to be laid out anew.
  void fit();

  ServiceManager &manager_;
  MakePanel makePanel_;
  PanelActions actions_;
  QWidget *panel_ = nullptr;
  std::string style_;
  qreal maxHeight_ = -1;
  std::optional<PanelPlacement> placement_;
};

} // namespace corvane

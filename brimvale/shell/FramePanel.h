#pragma once

#include "brimvale/shell/PanelActions.h"

#include <QWidget>
#include <memory>
#include <vector>

namespace corvane {

class ServiceManager;

// A plain panel on the shared panel frame: the paired Macs' ports (a click copies
// "localhost:<port>"), this Mac's shares, and the footer's actions. The application shows it
// where no panel of a chosen style is built in. Rebuilt when the manager's state changes; its
// observations end with it. Main thread only; the manager must outlive it.
class FramePanel : public QWidget {
  Q_OBJECT

public:
  FramePanel(ServiceManager &manager, PanelActions actions, qreal maxHeight,
             QWidget *parent = nullptr);
  ~FramePanel() override;

  void rebuild();

private:
  ServiceManager &manager_;
  PanelActions actions_;
  qreal maxHeight_;
  QWidget *frame_ = nullptr;
  std::vector<std::shared_ptr<void>> subscriptions_;
};

} // namespace corvane

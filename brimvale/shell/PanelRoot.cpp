#include "brimvale/shell/PanelRoot.h"

#include "brimvale/manager/ServiceManager.h"
#include "brimvale/platform/Logger.h"

#include <QScreen>
#include <QVBoxLayout>
#include <limits>

namespace corvane {

PanelRoot::PanelRoot(ServiceManager &manager, MakePanel makePanel, PanelActions actions,
                     QWidget *parent)
    : QWidget(parent), manager_(manager), makePanel_(std::move(makePanel)),
      actions_(std::move(actions)) {
  setObjectName(QStringLiteral("panelRoot"));
  auto *layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

PanelRoot::~PanelRoot() {
  // The panel's view is going: it is not on screen any more.
  manager_.setPanelVisible(false);
}

qreal PanelRoot::maxPanelHeight(const QScreen *screen) {
  if (!screen)
    return std::numeric_limits<qreal>::infinity();
  return screen->availableGeometry().height() - 12;
}

void PanelRoot::update(qreal maxHeight) {
  const std::string style = manager_.standardDefaults().string(panelStyleKey).value_or("map");
  if (panel_ && style == style_ && maxHeight == maxHeight_)
    return;
  style_ = style;
  maxHeight_ = maxHeight;
  delete panel_;
  panel_ = makePanel_ ? makePanel_(style_, actions_, maxHeight_, this) : nullptr;
  if (panel_)
    layout()->addWidget(panel_);
}

void PanelRoot::showEvent(QShowEvent *event) {
  QWidget::showEvent(event);
  Logger::app().info("Panel shown");
  manager_.setPanelVisible(true);
}

void PanelRoot::hideEvent(QHideEvent *event) {
  QWidget::hideEvent(event);
  Logger::app().info("Panel hidden");
  manager_.setPanelVisible(false);
}

} // namespace corvane

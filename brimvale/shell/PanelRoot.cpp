#include "brimvale/shell/PanelRoot.h"

#include "brimvale/manager/ServiceManager.h"
#include "brimvale/platform/Logger.h"

#include <QEvent>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>
#include <limits>

namespace corvane {

namespace {

// The panels' own height limit.
constexpr const char *limitProperty = "maxHeight";

} // namespace

PanelRoot::PanelRoot(ServiceManager &manager, MakePanel makePanel, PanelActions actions,
                     QWidget *parent)
    : QWidget(parent), manager_(manager), makePanel_(std::move(makePanel)),
      actions_(std::move(actions)) {
  setObjectName(QStringLiteral("panelRoot"));
  auto *layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
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
  if (panel_ && style == style_ && panel_->metaObject()->indexOfProperty(limitProperty) >= 0) {
    maxHeight_ = maxHeight;
    panel_->setProperty(limitProperty, maxHeight_);
    fit();
    return;
  }
  style_ = style;
  maxHeight_ = maxHeight;
  delete panel_;
  panel_ = makePanel_ ? makePanel_(style_, actions_, maxHeight_, this) : nullptr;
  if (panel_) {
    layout()->addWidget(panel_);
    panel_->installEventFilter(this);
  }
  fit();
}

void PanelRoot::place(const PanelPlacement &placement) {
  placement_ = placement;
  fit();
}

void PanelRoot::fit() {
  if (!panel_)
    return;
  const int width = panel_->sizeHint().width();
  const int height =
      panel_->hasHeightForWidth() ? panel_->heightForWidth(width) : panel_->sizeHint().height();
  if (width > 0 && height > 0 && size() != QSize(width, height))
    setFixedSize(width, height);
  // Against the edge it was placed on: a window resized alone keeps its top where it was.
  if (placement_ && isWindow()) {
    const QPoint at = placement_->geometry(size()).topLeft();
    if (pos() != at)
      move(at);
  }
}

bool PanelRoot::eventFilter(QObject *watched, QEvent *event) {
  // After the panel has laid its parts out.
  if (watched == panel_ && event->type() == QEvent::LayoutRequest)
    QTimer::singleShot(0, this, [this] { fit(); });
  return QWidget::eventFilter(watched, event);
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

#include "brimvale/panels/StateWatch.h"

#include "brimvale/integrations/UpdateChecker.h"
#include "brimvale/manager/ServiceManager.h"

#include <QApplication>

namespace corvane {

StateWatch::StateWatch(ServiceManager &manager, UpdateChecker *updates,
                       std::function<void()> rebuild, QObject *parent)
    : QObject(parent), rebuild_(std::move(rebuild)) {
  timer_.setSingleShot(true);
  connect(&timer_, &QTimer::timeout, this, [this] { fire(); });
  watch(manager.preferences);
  watch(manager.pairedPeers);
  watch(manager.onlinePeerIDs);
  watch(manager.incoming);
  watch(manager.outgoing);
  watch(manager.notice);
  watch(manager.sharingTip);
  watch(manager.wakingPeerIDs);
  watch(manager.networkName);
  watch(manager.sharingState);
  watch(manager.locationPermission);
  if (updates)
    watch(updates->available);
}

void StateWatch::schedule() {
  if (!timer_.isActive())
    timer_.start(0);
}

void StateWatch::fire() {
  if (QApplication::activePopupWidget()) {
    timer_.start(menuRetryMs);
    return;
  }
  rebuild_();
}

} // namespace corvane

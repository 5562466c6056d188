#include "brimvale/windows/SettingsWatch.h"

namespace corvane {

SettingsWatch::SettingsWatch(std::function<void()> rebuild, QObject *parent)
    : QObject(parent), rebuild_(std::move(rebuild)) {
  timer_.setSingleShot(true);
  connect(&timer_, &QTimer::timeout, this, [this] { rebuild_(); });
}

void SettingsWatch::schedule() {
  if (!timer_.isActive())
    timer_.start(0);
}

} // namespace corvane

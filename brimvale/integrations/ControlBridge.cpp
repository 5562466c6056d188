#include "brimvale/integrations/ControlBridge.h"

#include <algorithm>
#include <cmath>

namespace corvane {

namespace {
// Absent, not a number or not finite reads as 0.
double timeStamp(const UserDefaults &defaults, const char *key) {
  const auto value = defaults.doubleValue(key);
  return value && std::isfinite(*value) ? *value : 0.0;
}
} // namespace

ControlBridge::ControlBridge() : defaults_(std::make_shared<UserDefaults>(appgroup::suiteName)) {}

ControlBridge::ControlBridge(std::shared_ptr<UserDefaults> defaults)
    : defaults_(std::move(defaults)) {}

void ControlBridge::publishControlState(bool paused, Date now) {
  defaults_->synchronize();
  const double seenRequest = timeStamp(*defaults_, appgroup::requestAtKey);
  defaults_->setBool(appgroup::pausedKey, paused);
  defaults_->setBool(appgroup::runningKey, true);
  const double applied = timeStamp(*defaults_, appgroup::appliedAtKey);
  if (!(std::isfinite(now) && now > applied))
    return;
  defaults_->setDouble(appgroup::appliedAtKey, now);
  // A request the control stamped while this publish ran was never seen here: it stays pending
  // rather than being carried past. The control looks again after stamping, so one of the two
  // sides always notices the other.
  defaults_->synchronize();
  if (timeStamp(*defaults_, appgroup::requestAtKey) != seenRequest)
    defaults_->setDouble(appgroup::appliedAtKey, std::max(applied, seenRequest));
}

std::optional<bool> ControlBridge::takeControlRequest() {
  // The control writes from its own process.
  defaults_->synchronize();
  if (!defaults_->doubleValue(appgroup::requestAtKey))
    return std::nullopt;
  const double requestAt = timeStamp(*defaults_, appgroup::requestAtKey);
  const double appliedAt = timeStamp(*defaults_, appgroup::appliedAtKey);
  if (!(appliedAt < requestAt))
    return std::nullopt;
  defaults_->setDouble(appgroup::appliedAtKey, requestAt);
  return defaults_->boolean(appgroup::requestPausedKey).value_or(false);
}

void ControlBridge::publishStopped() {
  defaults_->setBool(appgroup::runningKey, false);
}

} // namespace corvane

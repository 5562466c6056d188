#include "brimvale/integrations/ControlBridge.h"

#include <algorithm>
#include <cmath>

namespace corvane {

namespace {
// Absent, not a number or not finite reads as 0.
double timeStamp(const nlohmann::json &values, const char *key) {
  const auto found = values.find(key);
  if (found == values.end() || !found->is_number())
    return 0.0;
  const double value = found->get<double>();
  return std::isfinite(value) ? value : 0.0;
}

// Takes a request newer than the last one applied: marks it applied and gives its state.
std::optional<bool> takeRequest(nlohmann::json &values) {
  const double requestAt = timeStamp(values, appgroup::requestAtKey);
  if (!(timeStamp(values, appgroup::appliedAtKey) < requestAt))
    return std::nullopt;
  values[appgroup::appliedAtKey] = requestAt;
  const auto paused = values.find(appgroup::requestPausedKey);
  return paused != values.end() && paused->is_boolean() && paused->get<bool>();
}
} // namespace

ControlBridge::ControlBridge() : defaults_(std::make_shared<UserDefaults>(appgroup::suiteName)) {}

ControlBridge::ControlBridge(std::shared_ptr<UserDefaults> defaults)
    : defaults_(std::move(defaults)) {}

std::optional<bool> ControlBridge::publishControlState(bool paused, Date now) {
  // One step under the group file's lock: a request the control files meanwhile is either seen
  // and taken here, or stamped after this publish and so still pending for the next look.
  std::optional<bool> pending;
  const auto saved = defaults_->transact([&](nlohmann::json &values) {
    values[appgroup::runningKey] = true;
    if ((pending = takeRequest(values)))
      return;
    values[appgroup::pausedKey] = paused;
    if (std::isfinite(now) && now > timeStamp(values, appgroup::appliedAtKey))
      values[appgroup::appliedAtKey] = now;
  });
  // A request not marked applied stays pending and is taken by a later look; applied now as
  // well, it would be applied twice, the second time over whatever was chosen in between.
  return saved ? pending : std::nullopt;
}

std::optional<bool> ControlBridge::takeControlRequest() {
  std::optional<bool> pending;
  const auto saved =
      defaults_->transact([&](nlohmann::json &values) { pending = takeRequest(values); });
  return saved ? pending : std::nullopt;
}

void ControlBridge::publishStopped() {
  defaults_->setBool(appgroup::runningKey, false);
}

} // namespace corvane

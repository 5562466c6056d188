#include "brimvale/integrations/ControlBridge.h"

#include <algorithm>
#include <cmath>

namespace corvane {

namespace {
// Takes a request newer than the last one applied: marks it applied and gives its state.
std::optional<bool> takeRequest(nlohmann::json &values) {
  const auto pending = appgroup::pendingRequest(values);
  if (pending)
    values[appgroup::appliedAtKey] = appgroup::timeStamp(values, appgroup::requestAtKey);
  return pending;
}
} // namespace

ControlBridge::ControlBridge() : defaults_(std::make_shared<UserDefaults>(appgroup::suiteName)) {}

ControlBridge::ControlBridge(std::shared_ptr<UserDefaults> defaults)
    : defaults_(std::move(defaults)) {}

std::expected<std::optional<bool>, std::string> ControlBridge::publishControlState(bool paused,
                                                                                   Date now) {
  // One step under the group file's lock: a request the control files meanwhile is either seen
  // and taken here, or stamped after this publish and so still pending for the next look.
  std::optional<bool> pending;
  const auto saved = defaults_->transact([&](nlohmann::json &values) {
    values[appgroup::runningKey] = true;
    if ((pending = takeRequest(values)))
      return;
    values[appgroup::pausedKey] = paused;
    if (std::isfinite(now) && now > appgroup::timeStamp(values, appgroup::appliedAtKey))
      values[appgroup::appliedAtKey] = now;
  });
  // A request not marked applied stays pending and is taken by a later look; applied now as
  // well, it would be applied twice, the second time over whatever was chosen in between.
  if (!saved)
    return std::unexpected(saved.error());
  return pending;
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

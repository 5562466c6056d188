#include "CorvaneControl/SharingValue.h"

#include "brimvale/platform/AppGroup.h"
#include "brimvale/platform/UserDefaults.h"

namespace corvane {

namespace {
bool running(const UserDefaults &defaults) {
  return !defaults.path().empty() && defaults.boolean(appgroup::runningKey).value_or(false);
}
} // namespace

bool SharingValue::currentValue() const {
  const UserDefaults defaults(appgroup::suiteName);
  return running(defaults) && !defaults.boolean(appgroup::pausedKey).value_or(false);
}

bool SharingValue::applicationRunning() const {
  return running(UserDefaults(appgroup::suiteName));
}

} // namespace corvane

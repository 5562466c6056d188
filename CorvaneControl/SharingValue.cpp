#include "CorvaneControl/SharingValue.h"

#include "brimvale/platform/AppGroup.h"
#include "brimvale/platform/UserDefaults.h"

namespace corvane {

bool SharingValue::currentValue() const {
  const UserDefaults defaults(appgroup::suiteName);
  if (defaults.path().empty()) {
    return false;
  }
  if (!defaults.boolean(appgroup::runningKey).value_or(false)) {
    return false;
  }
  return !defaults.boolean(appgroup::pausedKey).value_or(false);
}

} // namespace corvane

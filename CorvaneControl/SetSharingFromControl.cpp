#include "CorvaneControl/SetSharingFromControl.h"

#include "brimvale/platform/AppGroup.h"
#include "brimvale/platform/Clock.h"
#include "brimvale/platform/NamedNotification.h"
#include "brimvale/platform/UserDefaults.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace corvane {

namespace {
// Each publish that overtakes the request costs one; the application publishes once per request.
constexpr int maxRestamps = 8;
} // namespace

void SetSharingFromControl::perform() const {
  UserDefaults defaults(appgroup::suiteName);
  if (!defaults.path().empty()) {
    const bool paused = !value;
    // A request is known by its time stamp alone and counts only when it is later than the
    // previous request and than what the application last took into account; after the clock
    // was set back, the current time would not be, and the flip would be silently ignored.
    double requestAt = referenceDateNow();
    for (const char *key : {appgroup::requestAtKey, appgroup::appliedAtKey}) {
      const double stamp = defaults.doubleValue(key).value_or(0);
      const double later = std::nextafter(stamp, std::numeric_limits<double>::infinity());
      if (std::isfinite(later) && requestAt < later) {
        requestAt = later;
      }
    }
    // The request's time stamp last: once the application sees it, the state it stamps is there.
    defaults.setBool(appgroup::pausedKey, paused);
    defaults.setBool(appgroup::requestPausedKey, paused);
    defaults.setDouble(appgroup::requestAtKey, requestAt);
    // The application may have published between the reads above and that write, carrying its
    // stamp past this request: stamp it again past what it carried.
    for (int attempt = 0; attempt < maxRestamps; ++attempt) {
      defaults.synchronize();
      const double applied = defaults.doubleValue(appgroup::appliedAtKey).value_or(0);
      if (!std::isfinite(applied) || applied < requestAt)
        break;
      requestAt = std::nextafter(applied, std::numeric_limits<double>::infinity());
      defaults.setDouble(appgroup::requestAtKey, requestAt);
    }
  }
  postNamedNotification(appgroup::requestNotification);
}

} // namespace corvane

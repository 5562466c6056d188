#include "CorvaneControl/SetSharingFromControl.h"

#include "brimvale/platform/AppGroup.h"
#include "brimvale/platform/Clock.h"
#include "brimvale/platform/NamedNotification.h"
#include "brimvale/platform/UserDefaults.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace corvane {

void SetSharingFromControl::perform() const {
  UserDefaults defaults(appgroup::suiteName);
  if (!defaults.path().empty()) {
    const bool paused = !value;
    // One step under the group file's lock, so that the application's publish falls wholly
    // before this request (and the stamp below is past it) or wholly after (and takes it).
    defaults.transact([paused](nlohmann::json &values) {
      // A request is known by its time stamp alone and counts only when it is later than the
      // previous request and than what the application last took into account; after the clock
      // was set back, the current time would not be, and the flip would be silently ignored.
      double requestAt = referenceDateNow();
      for (const char *key : {appgroup::requestAtKey, appgroup::appliedAtKey}) {
        const auto found = values.find(key);
        if (found == values.end() || !found->is_number())
          continue;
        const double later =
            std::nextafter(found->get<double>(), std::numeric_limits<double>::infinity());
        if (std::isfinite(later) && requestAt < later)
          requestAt = later;
      }
      values[appgroup::pausedKey] = paused;
      values[appgroup::requestPausedKey] = paused;
      values[appgroup::requestAtKey] = requestAt;
    });
  }
  postNamedNotification(appgroup::requestNotification);
}

} // namespace corvane

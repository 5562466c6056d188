#include "CorvaneControl/SetSharingFromControl.h"

#include "brimvale/platform/AppGroup.h"
#include "brimvale/platform/Clock.h"
#include "brimvale/platform/NamedNotification.h"
#include "brimvale/platform/UserDefaults.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

namespace corvane {

namespace {

// Whether sharing will be paused once the application has taken every request filed so far:
// the latest request while it is not taken yet (as the application judges that), else what
// the application published, which reads as paused while it does not run.
bool pausedAfterEveryRequest(const nlohmann::json &values) {
  using namespace appgroup;
  return pendingRequest(values).value_or(!flag(values, runningKey) || flag(values, pausedKey));
}

// Files the request that `choose` makes of the stored values (true = share), as one step under
// the group file's lock, so that the application's publish falls wholly before this request
// (and the stamp below is past it) or wholly after (and takes it); then tells the application.
std::expected<void, std::string> file(const std::function<bool(const nlohmann::json &)> &choose) {
  UserDefaults defaults(appgroup::suiteName);
  std::expected<void, std::string> filed =
      std::unexpected(std::string("no settings folder is known (HOME and XDG_CONFIG_HOME)"));
  if (!defaults.path().empty()) {
    filed = defaults.transact([&](nlohmann::json &values) {
      const bool paused = !choose(values);
      // A request is known by its time stamp alone and counts only when it is later than the
      // previous request and than what the application last took into account; after the clock
      // was set back, the current time would not be, and the flip would be silently ignored.
      double requestAt = referenceDateNow();
      for (const char *key : {appgroup::requestAtKey, appgroup::appliedAtKey}) {
        const double later = std::nextafter(appgroup::timeStamp(values, key),
                                            std::numeric_limits<double>::infinity());
        if (std::isfinite(later) && requestAt < later)
          requestAt = later;
      }
      values[appgroup::pausedKey] = paused;
      values[appgroup::requestPausedKey] = paused;
      values[appgroup::requestAtKey] = requestAt;
    });
  }
  // Posted either way: the application then publishes its state again.
  postNamedNotification(appgroup::requestNotification);
  return filed;
}

} // namespace

std::expected<void, std::string> SetSharingFromControl::perform() const {
  return file([value = value](const nlohmann::json &) { return value; });
}

std::expected<void, std::string> SetSharingFromControl::toggle() {
  return file([](const nlohmann::json &values) { return pausedAfterEveryRequest(values); });
}

} // namespace corvane

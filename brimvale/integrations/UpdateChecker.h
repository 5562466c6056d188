#pragma once

#include "brimvale/integrations/AppVersion.h"
#include "brimvale/integrations/HttpClient.h"
#include "brimvale/platform/Clock.h"
#include "brimvale/platform/MainQueue.h"
#include "brimvale/platform/Published.h"
#include "brimvale/platform/SerialQueue.h"
#include "brimvale/platform/UrlOpener.h"
#include "brimvale/platform/UserDefaults.h"
#include "brimvale/platform/WorkItem.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// The latest published release, as the update server describes it.
struct AppRelease {
  std::string version; // for display
  std::int64_t build = 0;
  std::string url; // where to download it; checked when it is offered, not when decoded

  bool operator==(const AppRelease &) const = default;

  // Strict: a JSON object with "version" (text), "build" (integer) and "url" (text); other
  // members are ignored; a missing member, null or a wrong type is absent.
  static std::optional<AppRelease> decode(std::string_view json);
};

// Where and how the update checker asks; tests point it at a server of their own.
struct UpdateCheckerOptions {
  std::string address = "https://updates.corvane.app/latest.json";
  double timeoutSeconds = 15;
  std::size_t maxBodyBytes = 1 << 20;
  std::string caFile = {};             // empty: the system's certificate store
  std::int64_t build = runningBuild(); // the running build
  std::string version = appVersionString();
};

// The daily check for a newer release. Lives on the main queue: every member is used there,
// and the published fields change there. The request itself runs on a queue of the checker's
// own. The application owns the one instance for the whole run.
class UpdateChecker : public std::enable_shared_from_this<UpdateChecker> {
public:
  static constexpr const char *checkForUpdatesKey = "checkForUpdates";
  static constexpr double firstCheckDelay = 5;
  static constexpr double checkInterval = 86400;

  using Options = UpdateCheckerOptions;

  // Sends one request and calls back once on the main queue; tests replace it.
  using Fetch = std::function<void(HttpRequest, std::function<void(HttpResult)>)>;

  // `defaults` (the standard domain), `main` and `opener` must outlive the checker.
  static std::shared_ptr<UpdateChecker> create(MainQueue &main, UserDefaults &defaults,
                                               UrlOpener &opener, Options options = {},
                                               Fetch fetch = {});
  ~UpdateChecker();

  UpdateChecker(const UpdateChecker &) = delete;
  UpdateChecker &operator=(const UpdateChecker &) = delete;

  // The update address is an https URL with a host; when false nothing is ever requested.
  bool isEnabled() const { return isEnabled_; }
  // Published.
  Published<std::optional<AppRelease>> available; // the release on offer
  Published<std::optional<Date>> lastChecked;     // when the last check finished, either way
  Published<bool> failed;                         // the last check failed
  Published<bool> checking;                       // a check is under way

  // Once at launch: the first check 5 s from now, then one a day. A second call does nothing.
  void startUpdateChecks();
  // The settings switch: on checks at once; off withdraws the offer.
  void setEnabled(bool on);
  // One check now; `done` runs once on the main queue when it has finished, at once when a
  // check is already under way or checks are disabled.
  void check(std::function<void()> done = {});
  // Opens the offered release's address with the desktop, without a shell.
  void openDownload();

  // Whether a decoded release is offered to this build from this update address.
  static bool isOffered(const AppRelease &release, std::int64_t runningBuild,
                        std::string_view updateAddress);

private:
  UpdateChecker(MainQueue &main, UserDefaults &defaults, UrlOpener &opener, Options options,
                Fetch fetch);

  void scheduledRun();
  void finish(const HttpResult &result);

  MainQueue &main_;
  UserDefaults &defaults_;
  UrlOpener &opener_;
  Options options_;
  Fetch fetch_;
  std::shared_ptr<SerialQueue> queue_; // made on first use by the default fetch
  WorkItem inFlight_;

  bool isEnabled_ = false;
  WorkItem firstRun_;
  WorkItem timer_;
};

} // namespace corvane

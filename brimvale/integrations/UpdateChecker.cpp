#include "brimvale/integrations/UpdateChecker.h"

#include "brimvale/platform/Json.h"
#include "brimvale/platform/Logger.h"

#include <curl/curl.h>

namespace corvane {

namespace {

struct UrlParts {
  std::string scheme; // as written
  std::string host;
};

// An absolute URL split by libcurl; the scheme is taken as written, so that it can be compared
// exactly.
std::optional<UrlParts> splitURL(std::string_view text) {
  if (text.find('\0') != std::string_view::npos)
    return std::nullopt;
  CURLU *url = curl_url();
  if (!url)
    return std::nullopt;
  std::optional<UrlParts> parts;
  const std::string copy(text);
  if (curl_url_set(url, CURLUPART_URL, copy.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK) {
    char *host = nullptr;
    if (curl_url_get(url, CURLUPART_HOST, &host, 0) == CURLUE_OK && host && *host) {
      const auto colon = copy.find(':');
      if (colon != std::string::npos)
        parts = UrlParts{copy.substr(0, colon), host};
    }
    curl_free(host);
  }
  curl_url_cleanup(url);
  return parts;
}

} // namespace

std::optional<AppRelease> AppRelease::decode(std::string_view json) {
  const auto document = parseJson(json);
  if (!document || !document->is_object())
    return std::nullopt;
  auto version = requiredField<std::string>(*document, "version");
  auto build = requiredField<std::int64_t>(*document, "build");
  auto url = requiredField<std::string>(*document, "url");
  if (!version || !build || !url)
    return std::nullopt;
  return AppRelease{std::move(*version), *build, std::move(*url)};
}

bool UpdateChecker::isOffered(const AppRelease &release, std::int64_t runningBuild,
                              std::string_view updateAddress) {
  if (release.build <= runningBuild)
    return false;
  const auto server = splitURL(updateAddress);
  const auto offered = splitURL(release.url);
  return server && offered && offered->scheme == "https" && offered->host == server->host;
}

std::shared_ptr<UpdateChecker> UpdateChecker::create(MainQueue &main, UserDefaults &defaults,
                                                     UrlOpener &opener, Options options,
                                                     Fetch fetch) {
  return std::shared_ptr<UpdateChecker>(
      new UpdateChecker(main, defaults, opener, std::move(options), std::move(fetch)));
}

UpdateChecker::UpdateChecker(MainQueue &main, UserDefaults &defaults, UrlOpener &opener,
                             Options options, Fetch fetch)
    : main_(main), defaults_(defaults), opener_(opener), options_(std::move(options)),
      fetch_(std::move(fetch)) {
  const auto address = splitURL(options_.address);
  isEnabled_ = address && address->scheme == "https";
}

UpdateChecker::~UpdateChecker() {
  firstRun_.cancel();
  timer_.cancel();
  // Ends a request under way at once instead of letting the queue wait for its time-out.
  inFlight_.cancel();
}

void UpdateChecker::startUpdateChecks() {
  if (!isEnabled_ || timer_)
    return;
  std::weak_ptr<UpdateChecker> weak = weak_from_this();
  firstRun_ = main_.postAfter(firstCheckDelay, [weak] {
    if (auto self = weak.lock())
      self->scheduledRun();
  });
  timer_ = main_.repeating(checkInterval, [weak] {
    if (auto self = weak.lock())
      self->scheduledRun();
  });
}

void UpdateChecker::scheduledRun() {
  // Read at the moment of the run: the switch may have changed since the timer was set.
  if (defaults_.boolean(checkForUpdatesKey).value_or(true))
    check();
}

void UpdateChecker::setEnabled(bool on) {
  if (on) {
    check();
    return;
  }
  available.set(std::nullopt);
  failed.set(false);
}

void UpdateChecker::check(std::function<void()> done) {
  if (!isEnabled_ || checking.get()) {
    if (done)
      done();
    return;
  }
  checking.set(true);

  HttpRequest request;
  request.url = options_.address;
  request.headers = {{"User-Agent", "Corvane/" + options_.version}};
  request.scheme = HttpRequest::Scheme::https;
  request.timeoutSeconds = options_.timeoutSeconds;
  request.maxBodyBytes = options_.maxBodyBytes;
  request.caFile = options_.caFile;
  inFlight_ = WorkItem::make();
  request.cancellation = inFlight_;

  std::weak_ptr<UpdateChecker> weak = weak_from_this();
  auto completion = [weak, done = std::move(done)](HttpResult result) {
    if (auto self = weak.lock())
      self->finish(result);
    if (done)
      done();
  };
  if (fetch_) {
    fetch_(std::move(request), std::move(completion));
    return;
  }
  if (!queue_)
    queue_ = SerialQueue::create("corvane.update");
  fetchHttp(*queue_, main_, std::move(request), std::move(completion));
}

void UpdateChecker::finish(const HttpResult &result) {
  std::optional<std::string> failure;
  std::optional<AppRelease> release;
  if (!result) {
    failure = result.error().description;
  } else if (result->status != 200) {
    failure = "The server answered with status " + std::to_string(result->status) + ".";
  } else {
    release = AppRelease::decode(result->body);
    if (!release)
      failure = "The release description could not be read.";
  }

  if (failure) {
    Logger::app().info("Update check failed: " + *failure);
    failed.set(true);
  } else {
    available.set(isOffered(*release, options_.build, options_.address)
                      ? std::optional<AppRelease>(std::move(*release))
                      : std::nullopt);
    failed.set(false);
  }
  lastChecked.set(referenceDateNow());
  inFlight_ = {};
  checking.set(false);
}

void UpdateChecker::openDownload() {
  if (available.get())
    opener_.open(available.get()->url);
}

} // namespace corvane

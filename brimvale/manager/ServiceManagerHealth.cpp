// Whether this Mac's running shares answer like their kind: one check per share at most every
// 30 seconds, and a verdict of "not responding" only after an answer and two misses in a row.
#include "brimvale/catalogue/ServiceVersion.h"
#include "brimvale/manager/ServiceManager.h"
#include "brimvale/platform/OnExit.h"

#include <algorithm>

namespace corvane {

namespace {

const ExposedService *findShare(const std::vector<ExposedService> &services,
                                const std::string &id) {
  const auto found = std::find_if(services.begin(), services.end(),
                                  [&](const ExposedService &s) { return s.id == id; });
  return found == services.end() ? nullptr : &*found;
}

} // namespace

Task ServiceManager::checkShareHealth(std::function<void()> done) {
  const OnExit finish(std::move(done));
  if (stopped_ || healthCheckRunning)
    co_return;
  auto self = shared_from_this();
  healthCheckRunning = true;
  const OnExit ended([this] { healthCheckRunning = false; });

  std::vector<std::string> ids;
  for (const auto &service : preferences->services)
    ids.push_back(service.id);
  bool changed = false;
  for (const auto &id : ids) {
    // Read afresh: a share removed while an earlier one was checked is skipped.
    const ExposedService *share = findShare(preferences->services, id);
    if (!share)
      continue;
    const auto host = runningHosts.find(share->port);
    std::optional<ServiceVersion::Kind> kind;
    if (share->enabled && host != runningHosts.end())
      kind = ServiceVersion::kindFor(share->name, share->port, share->category);
    if (!kind) {
      // Not checkable now: a service that comes back must answer again before it can fail.
      healthTrackers.erase(id);
      changed = responding.erase(id) > 0 || changed;
      continue;
    }
    // A named awaiter: g++ 12 destroys lambda temporaries of a co_await expression twice.
    auto check = completion<bool>(mainQueue_, [check = effects_.checkAnswersLikeKind, kind = *kind,
                                               port = share->port,
                                               at = host->second](std::function<void(bool)> reply) {
      check(kind, port, at, std::move(reply));
    });
    const bool answered = co_await check;
    if (stopped_)
      co_return;
    // A share removed or switched off while it was checked keeps no tracker.
    share = findShare(preferences->services, id);
    if (share && share->enabled)
      recordHealth(id, answered);
  }

  std::set<std::string> current;
  for (const auto &service : preferences->services)
    current.insert(service.id);
  std::erase_if(healthTrackers, [&](const auto &entry) { return !current.contains(entry.first); });
  std::erase_if(responding, [&](const auto &entry) { return !current.contains(entry.first); });
  if (changed)
    pushShares();
}

void ServiceManager::recordHealth(const std::string &shareID, bool answered) {
  expectMainQueue();
  if (recordHealthCheck(healthTrackers, responding, shareID, answered))
    pushShares();
}

} // namespace corvane

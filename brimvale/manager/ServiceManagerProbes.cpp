// The periodic pass over this Mac's shares: which loopback host answers each share's port, the
// switching off of shares whose time has passed, the versions of what answers, and the test of
// whether a local port can be taken.
#include "brimvale/catalogue/ServiceVersion.h"
#include "brimvale/manager/ServiceManager.h"
#include "brimvale/platform/OnExit.h"

#include <algorithm>

namespace corvane {

namespace {

// The repeating part of the probe timer: waits on the continuous clock, so that a machine that
// slept does not see the next pass later than it should.
Task repeatProbes(std::weak_ptr<ServiceManager> weak, std::weak_ptr<MainQueue> queue,
                  double interval) {
  while (co_await sleep(queue, interval)) {
    auto self = weak.lock();
    if (!self)
      co_return;
    self->probeSharedPorts();
  }
}

// A share's time has passed at `now`; an expiry that is not a number never lies in the future,
// as the announcement already treats it.
bool hasExpired(const ExposedService &service, Date now) {
  return service.expires && !(*service.expires > now);
}

} // namespace

void ServiceManager::installProbeEffects() {
  auto &e = effects_;
  if (!e.accepts || !e.readVersion || !e.checkAnswersLikeKind)
    probePool = std::make_unique<ProbePool>();
  ProbePool *pool = probePool.get();
  if (!e.accepts)
    e.accepts = [pool](const Endpoint::Host &host, int port, double timeout,
                       std::function<void(bool)> done) {
      corvane::accepts(*pool, host, port, timeout, std::move(done));
    };
  if (!e.readVersion)
    e.readVersion = [pool](const std::string &name, int port, ServiceCategory category,
                           const Endpoint::Host &host,
                           std::function<void(std::optional<std::string>)> done) {
      ServiceVersion::readVersion(*pool, name, port, category, host, std::move(done));
    };
  if (!e.checkAnswersLikeKind)
    e.checkAnswersLikeKind = [pool](const ServiceVersion::Kind &kind, int port,
                                    const Endpoint::Host &host, std::function<void(bool)> done) {
      ServiceVersion::checkAnswersLikeKind(*pool, kind, host, port, std::move(done));
    };
}

void ServiceManager::startTimers() {
  expectMainQueue();
  probeSharedPorts();
  probeTimer.cancel();
  probeTimer = repeatProbes(weak_from_this(), mainQueue_, setup_.probeEvery);
}

Task ServiceManager::probeSharedPorts() {
  if (stopped_)
    co_return;
  // Holds the manager for the length of the pass.
  auto self = shared_from_this();
  const auto pass = ++probePasses;
  expireShares(date());
  refreshNetworkName();

  // The list as it was at the start; operations during the awaits change the next pass.
  const auto services = preferences->services;
  std::map<int, Endpoint::Host> result;
  for (const auto &service : services) {
    const int port = service.port;
    // A port outside 1...65535 is never tried: clamped, it would test somebody else's port.
    if (port < 1 || port > 65535 || result.contains(port))
      continue;
    // One connection at a time; ::1 only when 127.0.0.1 did not accept.
    for (const auto &host : loopbackHosts()) {
      // A named awaiter: g++ 12 destroys lambda temporaries of a co_await expression twice.
      auto attempt = completion<bool>(
          mainQueue_, [accepts = effects_.accepts, host, port](std::function<void(bool)> done) {
            accepts(host, port, probeTimeout, std::move(done));
          });
      const bool accepted = co_await attempt;
      if (stopped_)
        co_return;
      if (accepted) {
        result.emplace(port, host);
        break;
      }
    }
  }

  // A slow pass that ends after a newer one must not bring back an older view of the ports.
  if (pass < appliedProbePass)
    co_return;
  appliedProbePass = pass;
  runningHosts = std::move(result);
  pushShares();

  auto versionFollowUp = completion<bool>(mainQueue_, [self](std::function<void(bool)> done) {
    self->refreshShareVersions([done = std::move(done)] { done(true); });
  });
  co_await versionFollowUp;
  if (stopped_)
    co_return;

  const double current = now();
  if (current >= nextHealthCheck && !healthCheckRunning) {
    nextHealthCheck = current + setup_.healthCheckEvery;
    auto healthCheck = completion<bool>(mainQueue_, [self](std::function<void(bool)> done) {
      self->checkShareHealth([done = std::move(done)] { done(true); });
    });
    co_await healthCheck;
  }
}

void ServiceManager::expireShares(Date now) {
  expectMainQueue();
  const auto &services = preferences->services;
  if (std::none_of(services.begin(), services.end(),
                   [now](const ExposedService &s) { return hasExpired(s, now); }))
    return;
  for (const auto &service : services)
    if (hasExpired(service, now) && service.enabled) {
      // Switched on again later, it starts its health history afresh.
      healthTrackers.erase(service.id);
      responding.erase(service.id);
    }
  preferences.modify([now](Preferences &p) {
    for (auto &service : p.services)
      if (hasExpired(service, now)) {
        service.enabled = false;
        service.expires.reset();
      }
  });
  save();
  pushShares();
}

bool ServiceManager::isLoopbackPortFree(int port) const {
  if (port < 1 || port > 65535)
    return false;
  return isLoopbackCandidateUsable(port);
}

Task ServiceManager::refreshShareVersions(std::function<void()> done) {
  const OnExit finish(std::move(done));
  if (stopped_)
    co_return;
  auto self = shared_from_this();

  const auto services = preferences->services;
  std::set<std::string> ids;
  for (const auto &service : services)
    ids.insert(service.id);
  std::erase_if(versions, [&](const auto &entry) { return !ids.contains(entry.first); });
  std::erase_if(versionChecked, [&](const auto &id) { return !ids.contains(id); });

  bool changed = false;
  for (const auto &service : services) {
    const auto host = runningHosts.find(service.port);
    if (host == runningHosts.end()) {
      // Read again once it runs again: it may come back as another version.
      versionChecked.erase(service.id);
      changed = versions.erase(service.id) > 0 || changed;
      continue;
    }
    // Entered before the answer, so that overlapping passes read a port once.
    if (!versionChecked.insert(service.id).second)
      continue;
    auto reading = completion<std::optional<std::string>>(
        mainQueue_, [read = effects_.readVersion, service,
                     at = host->second](std::function<void(std::optional<std::string>)> reply) {
          read(service.name, service.port, service.category, at, std::move(reply));
        });
    auto text = co_await reading;
    if (stopped_)
      co_return;
    // A pass that saw the port closed meanwhile made this answer stale.
    if (text && versionChecked.contains(service.id)) {
      auto &stored = versions[service.id];
      changed = stored != *text || changed;
      stored = std::move(*text);
    }
  }
  if (changed)
    pushShares();
}

} // namespace corvane

#include "brimvale/integrations/IntentOperations.h"

#include "brimvale/manager/SharingState.h"
#include "brimvale/platform/Clock.h"

#include <algorithm>

namespace corvane {

Task waitUntilReady(std::weak_ptr<ServiceManager> manager, std::string id, double timeout,
                    std::function<void()> done) {
  std::weak_ptr<MainQueue> queue;
  if (auto strong = manager.lock())
    queue = strong->mainQueue();
  const double deadline = continuousNow() + timeout;
  // Also bounded by the time slept, so that a cancelled task, whose sleeps end at once, or a
  // queue with virtual time, cannot poll for longer than asked.
  double slept = 0;
  while (true) {
    auto strong = manager.lock();
    if (!strong)
      break;
    const IncomingService *row = findIncoming(strong->incoming.get(), id);
    if (!row || row->state.which() != IncomingService::State::Case::asleep ||
        !strong->isStillConnecting(row->key.peerID) || !(continuousNow() < deadline) ||
        slept >= timeout)
      break;
    strong.reset(); // not held while asleep
    co_await sleep(queue, portReadyPollInterval);
    slept += portReadyPollInterval;
  }
  if (done)
    done();
}

std::expected<IncomingService, IntentFailure> usablePort(const ServiceManager &manager,
                                                         std::string_view id) {
  return usablePort(manager.incoming.get(), id);
}

std::expected<std::string, IntentFailure> connectionText(const ServiceManager &manager,
                                                         std::string_view id) {
  return connectionText(manager.incoming.get(), id);
}

std::expected<std::string, IntentFailure> openableURL(const ServiceManager &manager,
                                                      std::string_view id, UrlOpener &opener) {
  return openableURL(manager.incoming.get(), id, opener);
}

std::optional<std::string> showPortAddress(ServiceManager &manager, std::string_view id) {
  const auto port = usablePort(manager, id);
  if (!port) {
    manager.setNotice(port.error().errorDescription());
    return std::nullopt;
  }
  std::string address = portAddress(*port);
  manager.setNotice("Copied " + address + ".");
  return address;
}

std::expected<void, IntentFailure> setShare(ServiceManager &manager, const std::string &id,
                                            bool on) {
  const auto &services = manager.preferences->services;
  if (std::none_of(services.begin(), services.end(),
                   [&](const ExposedService &service) { return service.id == id; }))
    return std::unexpected(IntentFailure::unknownShare());
  manager.setShareEnabled(id, on);
  return {};
}

std::expected<void, IntentFailure> setEnvironmentNamed(ServiceManager &manager,
                                                       std::string_view name, bool on) {
  const auto environments =
      manager.preferences->environments.value_or(std::vector<ShareEnvironment>{});
  const auto found = findEnvironmentNamed(name, environments);
  if (!found)
    return std::unexpected(found.error());
  manager.setEnvironmentEnabled(*found, on);
  return {};
}

std::string shareStatusDialog(const ServiceManager &manager, std::string_view name) {
  return shareStatusDialog(
      name, sharingStatusText(manager.sharingState.get(), manager.locationPermission.get()));
}

std::vector<IncomingService> searchPorts(const ServiceManager &manager, std::string_view text) {
  return searchPorts(text, manager.incoming.get());
}

} // namespace corvane

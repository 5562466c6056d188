// A headless application for the control's tests: one real service manager over the settings
// files, the app group's file and its named notifications of the environment's XDG folders, with
// an in-process service registry instead of the network's. Prints "paused true|false" at start
// and whenever the pause setting changes; a termination signal quits it as the application quits.
#include "brimvale/manager/ServiceManager.h"
#include "brimvale/platform/AsioMainQueue.h"
#include "brimvale/platform/MemorySecretStore.h"
#include "brimvale/platform/RegistryDnsSd.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <csignal>
#include <cstdio>

namespace {

struct NoWifi : corvane::WifiName {
  std::optional<std::string> currentName() const override { return std::nullopt; }
};

void printPaused(bool paused) {
  std::printf("paused %s\n", paused ? "true" : "false");
  std::fflush(stdout);
}

} // namespace

int main() {
  asio::io_context context;
  auto guard = asio::make_work_guard(context);
  auto mainQueue = std::make_shared<corvane::AsioMainQueue>(context);
  asio::signal_set signals(context, SIGTERM, SIGINT, SIGHUP);

  std::shared_ptr<corvane::ServiceManager> manager;
  bool paused = false;
  corvane::Published<corvane::Preferences>::Subscription subscription;
  mainQueue->post([&] {
    corvane::ServiceManager::Setup setup;
    setup.mainQueue = mainQueue;
    setup.store = std::make_shared<corvane::MemorySecretStore>();
    setup.dnsSd = corvane::RegistryDnsSd::create(corvane::DnsSdRegistry::create());
    setup.wifi = std::make_shared<NoWifi>();
    setup.hostName = "host";
    setup.gatewayPort = std::nullopt;
    setup.pairingPort = std::nullopt;
    manager = corvane::ServiceManager::create(std::move(setup));
    paused = manager->preferences->sharingPaused.value_or(false);
    printPaused(paused);
    subscription = manager->preferences.subscribe([&paused](const corvane::Preferences &p) {
      if (p.sharingPaused.value_or(false) != paused) {
        paused = !paused;
        printPaused(paused);
      }
    });
  });
  signals.async_wait([&](const std::error_code &, int) {
    subscription.reset();
    if (manager)
      manager->shutdown();
    manager.reset();
    std::printf("stopped\n");
    std::fflush(stdout);
    context.stop();
  });
  context.run();
  return 0;
}

// The application without its windows: one service manager on a headless main queue, until a
// signal asks it to stop.
#include "brimvale/integrations/IntentBus.h"
#include "brimvale/manager/ServiceManager.h"
#include "brimvale/platform/AsioMainQueue.h"
#include "brimvale/platform/Logger.h"
#include "brimvale/platform/ProcessLimits.h"

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <csignal>
#include <memory>

namespace {

// After the manager let go of everything, the main queue runs on until its last task (a probe
// pass that held it) has ended, but no longer than this.
constexpr auto drainLimit = std::chrono::seconds(5);

void waitForRelease(asio::io_context &context, std::weak_ptr<corvane::ServiceManager> manager,
                    std::chrono::steady_clock::time_point deadline) {
  if (manager.expired() || std::chrono::steady_clock::now() >= deadline) {
    context.stop();
    return;
  }
  auto timer = std::make_shared<asio::steady_timer>(context, std::chrono::milliseconds(20));
  timer->async_wait([&context, manager, deadline, timer](const std::error_code &) {
    waitForRelease(context, manager, deadline);
  });
}

} // namespace

int main() {
  using namespace corvane;
  // Before any thread opens a socket.
  raiseDescriptorLimit();
  std::signal(SIGPIPE, SIG_IGN);

  asio::io_context context;
  auto guard = asio::make_work_guard(context);
  auto queue = std::make_shared<AsioMainQueue>(context);
  std::shared_ptr<ServiceManager> manager;
  // Scripts and desktop search reach the manager through it, when there is a session bus.
  std::unique_ptr<IntentBus> intents;

  asio::signal_set signals(context, SIGINT, SIGTERM, SIGHUP);
  signals.async_wait([&](const std::error_code &error, int number) {
    if (error)
      return;
    Logger::app().notice("Stopping on signal " + std::to_string(number));
    std::weak_ptr<ServiceManager> weak = manager;
    intents.reset();
    if (manager)
      manager->shutdown();
    manager.reset();
    guard.reset();
    waitForRelease(context, weak, std::chrono::steady_clock::now() + drainLimit);
  });

  queue->post([&] {
    manager = ServiceManager::makeSharedServiceManager(queue);
    Logger::app().notice("Corvane started as \"" + manager->deviceName.get() + "\" (" +
                         manager->myDeviceID() + "), " +
                         std::to_string(manager->pairedPeers->size()) + " paired machine(s)");
    // Without windows there is no desktop clipboard to fill and no panel to open: scripts get
    // the values as answers.
    IntentDependencies dependencies;
    dependencies.pasteboard = std::make_shared<MemoryPasteboard>();
    dependencies.opener = std::make_shared<XdgUrlOpener>();
    intents = std::make_unique<IntentBus>(manager, std::move(dependencies), IntentBus::Options{});
  });
  context.run();
  Logger::app().notice("Corvane stopped");
  return 0;
}

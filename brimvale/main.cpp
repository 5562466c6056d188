// The application: the tray icon and its panel on the Qt event loop, or, with --headless (or
// CORVANE_HEADLESS=1, or where there is no display), the service manager alone on a headless
// main queue. Either way it runs until it is quit or a signal asks it to stop.
#include "brimvale/foundation/DisplayText.h"
#include "brimvale/integrations/ExplainerAvailability.h"
#include "brimvale/integrations/IntentBus.h"
#include "brimvale/integrations/LinkPerformer.h"
#include "brimvale/integrations/LinkScheme.h"
#include "brimvale/manager/ServiceManager.h"
#include "brimvale/panels/PanelStyle.h"
#include "brimvale/panels/ReduceMotion.h"
#include "brimvale/platform/AsioMainQueue.h"
#include "brimvale/platform/Logger.h"
#include "brimvale/platform/ProcessLimits.h"
#include "brimvale/platform/SingleInstance.h"
#include "brimvale/shell/AccessibleScrollView.h"
#include "brimvale/shell/AppDelegate.h"
#include "brimvale/shell/GlobalHotkey.h"
#include "brimvale/shell/QtMainQueue.h"
#include "brimvale/shell/brimvaleApp.h"
#include "brimvale/windows/AppWindows.h"

#include <QApplication>
#include <QSocketNotifier>
#include <algorithm>
#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace corvane;

// After the manager let go of everything, the main queue runs on until its last task (a probe
// pass that held it) has ended, but no longer than this.
constexpr auto drainLimit = std::chrono::seconds(5);

void waitForRelease(asio::io_context &context, std::weak_ptr<ServiceManager> manager,
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

bool isLink(const std::string &argument) {
  constexpr std::string_view scheme = "corvane:";
  return argument.size() >= scheme.size() &&
         std::equal(scheme.begin(), scheme.end(), argument.begin(), [](char a, char b) {
           return a == std::tolower(static_cast<unsigned char>(b));
         });
}

// A later start's links are taken whole or not at all: one that is no link of ours refuses
// them, and the later start says why.
std::optional<SingleInstance::Answer> refusal(const std::vector<std::string> &arguments) {
  for (const auto &argument : arguments) {
    if (!isLink(argument))
      continue;
    if (const auto request = readLink(argument); !request) {
      const auto why = "\u201C" + cleanDisplayText(argument, 200) + "\u201D: " + request.error();
      Logger::app().notice("Refused a link from a later start, " + why);
      return SingleInstance::Answer::refused(why);
    }
  }
  return std::nullopt;
}

// Without windows, what a link leaves to do is said in the log: there is no clipboard to fill
// and no panel to show.
void followHeadless(const std::shared_ptr<ServiceManager> &manager,
                    const std::shared_ptr<UrlOpener> &opener,
                    const std::vector<std::string> &arguments) {
  for (const auto &argument : arguments) {
    if (!isLink(argument))
      continue;
    std::weak_ptr<ServiceManager> weak = manager;
    performLink(manager, argument, opener, [weak, opener](std::optional<LinkAction> action) {
      const auto strong = weak.lock();
      if (!action || !strong)
        return;
      switch (action->kind) {
      case LinkAction::Kind::copy: Logger::app().notice("Link answered " + action->value); break;
      case LinkAction::Kind::open: opener->open(action->value); break;
      case LinkAction::Kind::showPanel:
        if (const auto &notice = strong->notice.get())
          Logger::app().notice("Link not followed: " + *notice);
        break;
      }
    });
  }
}

int runHeadless(SingleInstance &instance, const std::vector<std::string> &arguments) {
  asio::io_context context;
  auto guard = asio::make_work_guard(context);
  auto queue = std::make_shared<AsioMainQueue>(context);
  std::shared_ptr<ServiceManager> manager;
  // Scripts and desktop search reach the manager through it, when there is a session bus.
  std::unique_ptr<IntentBus> intents;

  asio::signal_set stopSignals(context, SIGINT, SIGTERM, SIGHUP);
  stopSignals.async_wait([&](const std::error_code &error, int number) {
    if (error)
      return;
    Logger::app().notice("Stopping on signal " + std::to_string(number));
    // Later starts from now on wait for this one to be gone, then run.
    instance.stopServing();
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
    auto opener = std::make_shared<XdgUrlOpener>();
    dependencies.opener = opener;
    intents = std::make_unique<IntentBus>(manager, std::move(dependencies), IntentBus::Options{});
    instance.serve(*queue, [&manager, opener](const std::vector<std::string> &received) {
      if (auto refused = refusal(received))
        return *refused;
      followHeadless(manager, opener, received);
      return SingleInstance::Answer::taken();
    });
    followHeadless(manager, opener, arguments);
  });
  context.run();
  instance.stopServing();
  Logger::app().notice("Corvane stopped");
  return 0;
}

bool wantsHeadless(const std::vector<std::string> &arguments) {
  for (const auto &argument : arguments)
    if (argument == "--headless")
      return true;
  if (const char *value = std::getenv("CORVANE_HEADLESS");
      value && *value && std::strcmp(value, "0") != 0)
    return true;
  // No display to show anything on, and no platform chosen (such as offscreen).
  const auto unset = [](const char *name) {
    const char *value = std::getenv(name);
    return !value || !*value;
  };
  if (unset("DISPLAY") && unset("WAYLAND_DISPLAY") && unset("QT_QPA_PLATFORM")) {
    Logger::app().notice("No display: running without the tray icon");
    return true;
  }
  return false;
}

// Signals end the event loop through a socket pair, outside the handler.
int signalPipe[2] = {-1, -1};

void onSignal(int number) {
  const char byte = static_cast<char>(number);
  [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

int runDesktop(int argc, char **argv, SingleInstance &instance,
               const std::vector<std::string> &arguments) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Corvane"));
  QApplication::setDesktopFileName(QStringLiteral("corvane"));
  QApplication::setQuitOnLastWindowClosed(false);
  installAccessibleScrollViews();

  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0) {
    Logger::app().fault(std::string("socketpair: ") + std::strerror(errno));
    return 1;
  }
  for (const int number : {SIGINT, SIGTERM, SIGHUP})
    std::signal(number, onSignal);

  auto queue = std::make_shared<QtMainQueue>();
  // The desktop's animation setting, read once at start.
  const bool reduceMotion = ReduceMotion::readFromDesktop();
  std::unique_ptr<brimvaleApp> app;
  // Filled once the application exists; the panels are made only after that.
  WindowContext windows;
  app = std::make_unique<brimvaleApp>(
      queue, [&app, &windows, reduceMotion](const std::string &style, PanelActions actions,
                                            qreal maxHeight, QWidget *parent) {
        PanelContext context;
        context.hooks = makePanelHooks(windows);
        context.explanationAvailable = windows.explanationAvailable;
        context.shortcutRegistered = [&app] { return app->hotkey().isRegistered(); };
        context.manager = &app->manager();
        context.opener = &app->opener();
        context.updates = &app->updates();
        context.openWindow = [&app](const QString &id) { app->openWindow(id); };
        context.reduceMotion = reduceMotion;
        const auto chosen = style == "classic" ? PanelStyle::classic : PanelStyle::map;
        return makePanel(chosen, std::move(context), std::move(actions), maxHeight, parent);
      });
  windows.manager = &app->manager();
  windows.opener = &app->opener();
  windows.updates = &app->updates();
  windows.hotkey = &app->hotkey();
  windows.openWindow = [&app](const QString &id) { app->openWindow(id); };
  windows.showPanel = [&app] { app->showPanel(); };
  windows.reduceMotion = reduceMotion;
  ExplainerAvailability explanation(*queue);
  explanation.available(); // the first check starts now, so the first menu knows
  windows.explanationAvailable = [&explanation] { return explanation.available(); };
  addAppWindows(app->windows(), windows);
  instance.serve(*queue, [&app](const std::vector<std::string> &received) {
    if (app->delegate().terminated())
      return SingleInstance::Answer::stopping();
    if (auto refused = refusal(received))
      return *refused;
    app->receive(received);
    return SingleInstance::Answer::taken();
  });

  QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
  QObject::connect(&notifier, &QSocketNotifier::activated, &application, [&app] {
    char byte = 0;
    while (::read(signalPipe[0], &byte, 1) == 1)
      Logger::app().notice("Stopping on signal " + std::to_string(static_cast<int>(byte)));
    app->quit();
  });

  Logger::app().notice("Corvane started as \"" + app->manager().deviceName.get() + "\" (" +
                       app->manager().myDeviceID() + "), " +
                       std::to_string(app->manager().pairedPeers->size()) + " paired machine(s)");
  app->start(brimvaleApp::linksIn(arguments));
  const int status = QApplication::exec();
  instance.stopServing();
  app->terminate();
  app.reset();
  Logger::app().notice("Corvane stopped");
  return status;
}

// One application per set of folders, whatever the mode: a later start hands its arguments to
// the running one and leaves before it binds, opens or writes anything. Absent when this start
// is the one to run, else its exit status.
std::optional<int> leaveForRunningInstance(SingleInstance &instance,
                                           const std::vector<std::string> &arguments) {
  const auto start = instance.start(arguments);
  const bool links = std::any_of(arguments.begin(), arguments.end(), isLink);
  switch (start.kind) {
  case SingleInstance::Start::Kind::run: return std::nullopt;
  case SingleInstance::Start::Kind::handedOver:
    Logger::app().notice(links ? "Corvane already runs for this user: handed the link over to it"
                               : "Corvane already runs for this user: it shows itself there");
    return 0;
  case SingleInstance::Start::Kind::refused:
    Logger::app().error(std::string("Corvane already runs for this user and refused ") +
                        (links ? "the link" : "what this start handed over") + ": " + start.reason);
    return 1;
  case SingleInstance::Start::Kind::failed: Logger::app().error(start.reason); return 1;
  }
  return 1;
}

} // namespace

int main(int argc, char **argv) {
  std::signal(SIGPIPE, SIG_IGN);
  corvane::raiseDescriptorLimit();
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const bool headless = wantsHeadless(arguments);
  SingleInstance instance;
  if (const auto status = leaveForRunningInstance(instance, arguments))
    return *status;
  if (headless)
    return runHeadless(instance, arguments);
  return runDesktop(argc, argv, instance, arguments);
}

#include "CorvaneControl/CorvaneControlBundle.h"

#include "CorvaneControl/SetSharingFromControl.h"
#include "brimvale/platform/AsioMainQueue.h"
#include "brimvale/platform/NamedNotification.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <csignal>
#include <cstdio>

namespace corvane {

namespace {

// False once nobody reads the output any more.
bool printLabel(bool value) {
  const auto label = SharingControl::valueLabel(value);
  std::fwrite(label.data(), 1, label.size(), stdout);
  std::fputc('\n', stdout);
  return std::fflush(stdout) == 0 && !std::ferror(stdout);
}

void watch(const SharingControl &control) {
  // A reader that went away ends the watch through a failed write, not through SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  asio::io_context context;
  auto guard = asio::make_work_guard(context);
  AsioMainQueue mainQueue(context);
  asio::signal_set signals(context, SIGTERM, SIGINT, SIGHUP);
  signals.async_wait([&context](const std::error_code &, int) { context.stop(); });

  // A reload that leaves the state as it was prints nothing: a reader sees changes only.
  bool shown = control.provider.currentValue();
  // Observed before the first read, so that no reload between the two is missed.
  auto observer = NamedNotificationObserver::make(SharingControl::kind, mainQueue, [&] {
    const bool value = control.provider.currentValue();
    if (value != shown && !printLabel(value)) {
      context.stop();
    }
    shown = value;
  });
  shown = control.provider.currentValue();
  if (!printLabel(shown) || !observer) {
    return;
  }
  context.run();
}

} // namespace

int CorvaneControlBundle::run(const std::vector<std::string> &arguments) const {
  const std::string argument = arguments.empty() ? std::string() : arguments.front();
  const bool known = arguments.empty() || argument == "on" || argument == "off" ||
                     argument == "toggle" || argument == "--preview" || argument == "--watch";
  if (arguments.size() > 1 || !known) {
    // Nothing is changed on a command line that is not understood.
    std::fputs("Usage: corvane-control [on | off | toggle | --preview | --watch]\n", stderr);
    return usageStatus;
  }
  if (argument == "--preview") {
    printLabel(control.provider.previewValue());
  } else if (argument == "--watch") {
    watch(control);
  } else {
    if (!argument.empty()) {
      const auto filed = argument == "toggle"
                             ? SetSharingFromControl::toggle()
                             : SetSharingFromControl{.value = argument == "on"}.perform();
      if (!filed) {
        std::fputs(("Could not file the request: " + filed.error() + "\n").c_str(), stderr);
        return notFiledStatus;
      }
      if (!control.provider.applicationRunning())
        std::fputs("Corvane is not running: the request applies when it next starts.\n", stderr);
    }
    printLabel(control.provider.currentValue());
  }
  return 0;
}

} // namespace corvane

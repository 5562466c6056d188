// Another process for the notification tests.
//   NamedNotificationPeer post <name> <count>   posts <count> times, prints "reached <n>" each time
//   NamedNotificationPeer observe <name>        prints "ready <socket>", then "notified" per call
#include "brimvale/platform/AsioMainQueue.h"
#include "brimvale/platform/NamedNotification.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char **argv) {
  if (argc == 4 && std::string(argv[1]) == "post") {
    const int count = std::atoi(argv[3]);
    for (int i = 0; i < count; ++i) {
      std::printf("reached %d\n", corvane::postNamedNotification(argv[2]));
      std::fflush(stdout);
    }
    return 0;
  }
  if (argc == 3 && std::string(argv[1]) == "observe") {
    asio::io_context context;
    auto guard = asio::make_work_guard(context);
    corvane::AsioMainQueue mainQueue(context);
    auto observer = corvane::NamedNotificationObserver::make(argv[2], mainQueue, [] {
      std::printf("notified\n");
      std::fflush(stdout);
    });
    if (!observer)
      return 1;
    std::printf("ready %s\n", observer->socketPath().c_str());
    std::fflush(stdout);
    context.run();
    return 0;
  }
  std::fprintf(stderr, "usage: %s post <name> <count> | observe <name>\n", argv[0]);
  return 2;
}

#include "brimvale/platform/ProcessLimits.h"

#include "brimvale/platform/Logger.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/resource.h>

namespace corvane {

namespace {

// The kernel's ceiling for any one process; an unlimited hard limit cannot be taken literally.
rlim_t kernelDescriptorCeiling() {
  std::ifstream file("/proc/sys/fs/nr_open");
  unsigned long long value = 0;
  if (file >> value && value > 0)
    return static_cast<rlim_t>(value);
  return 1048576; // the kernel's default for nr_open
}

} // namespace

std::uint64_t raiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    Logger::app().error(std::string("Cannot read the descriptor limit: ") + std::strerror(errno));
    return 0;
  }
  rlim_t target = limit.rlim_max;
  if (target == RLIM_INFINITY)
    target = kernelDescriptorCeiling();
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < target) {
    rlimit raised = limit;
    raised.rlim_cur = target;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) {
      limit.rlim_cur = target;
    } else {
      Logger::app().error("Cannot raise the descriptor limit from " +
                          std::to_string(limit.rlim_cur) + " to " + std::to_string(target) + ": " +
                          std::strerror(errno));
    }
  }
  const auto current = static_cast<std::uint64_t>(limit.rlim_cur);
  Logger::app().info("Descriptor limit: " + std::to_string(current));
  return current;
}

} // namespace corvane

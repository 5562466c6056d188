#include "brimvale/platform/Clock.h"

#include <time.h>

namespace corvane {

Date dateFromUnix(double unixSeconds) {
  return unixSeconds - referenceDateOffset;
}

double unixFromDate(Date date) {
  return date + referenceDateOffset;
}

Date referenceDateNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return dateFromUnix(static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9);
}

double continuousNow() {
  timespec ts{};
  clock_gettime(CLOCK_BOOTTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::chrono::steady_clock::duration steadyDuration(double seconds) {
  if (!(seconds > 0))
    return std::chrono::steady_clock::duration::zero();
  constexpr double longest = 100.0 * 365 * 24 * 3600;
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(seconds < longest ? seconds : longest));
}

} // namespace corvane

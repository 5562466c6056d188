#include "brimvale/platform/Logger.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace corvane {

namespace {

const char *levelName(Logger::Level level) {
  switch (level) {
  case Logger::Level::debug: return "debug";
  case Logger::Level::info: return "info";
  case Logger::Level::notice: return "notice";
  case Logger::Level::error: return "error";
  case Logger::Level::fault: return "fault";
  }
  return "info";
}

// Debug lines are noise in normal runs; CORVANE_DEBUG=1 turns them on.
bool debugEnabled() {
  static const bool enabled = [] {
    const char *value = std::getenv("CORVANE_DEBUG");
    return value != nullptr && value[0] != '\0' && value[0] != '0';
  }();
  return enabled;
}

} // namespace

Logger::Logger(std::string category) : category_(std::move(category)) {}

Logger Logger::app() { return Logger("app"); }
Logger Logger::net() { return Logger("net"); }
Logger Logger::pairing() { return Logger("pairing"); }

void Logger::log(Level level, std::string_view message) const {
  if (level == Level::debug && !debugEnabled()) {
    return;
  }
  // One write per line so lines from different queues do not interleave.
  static std::mutex writeLock;
  std::lock_guard guard(writeLock);
  std::fprintf(stderr, "corvane[%s] %s: %.*s\n", category_.c_str(), levelName(level),
               static_cast<int>(message.size()), message.data());
}

} // namespace corvane

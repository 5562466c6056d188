#include "brimvale/platform/Logger.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <unicode/utf8.h>

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

// Scalars that end a line or steer a terminal or the reading direction: C0, DEL, C1, the line
// and paragraph separators, and the bidirectional marks, embeddings, overrides and isolates.
bool needsEscape(UChar32 scalar) {
  return scalar < 0x20 || (scalar >= 0x7F && scalar <= 0x9F) || scalar == 0x061C ||
         scalar == 0x200E || scalar == 0x200F || (scalar >= 0x2028 && scalar <= 0x202E) ||
         (scalar >= 0x2066 && scalar <= 0x2069);
}

// Messages carry text from the network and from files, so whatever it holds, one message is one
// line, and it is read as written: controls and ill-formed bytes show as escapes.
std::string escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  char buffer[16];
  const auto length = static_cast<std::int32_t>(text.size());
  for (std::int32_t index = 0; index < length;) {
    const std::int32_t start = index;
    UChar32 scalar;
    U8_NEXT(text.data(), index, length, scalar);
    if (scalar < 0) {
      for (std::int32_t at = start; at < index; ++at) {
        std::snprintf(buffer, sizeof buffer, "\\x%02x", static_cast<unsigned char>(text[at]));
        out += buffer;
      }
    } else if (!needsEscape(scalar)) {
      out.append(text.substr(start, index - start));
    } else if (scalar == '\n') {
      out += "\\n";
    } else if (scalar == '\r') {
      out += "\\r";
    } else if (scalar == '\t') {
      out += "\\t";
    } else {
      std::snprintf(buffer, sizeof buffer, scalar < 0x80 ? "\\x%02x" : "\\u{%04X}",
                    static_cast<unsigned>(scalar));
      out += buffer;
    }
  }
  return out;
}

} // namespace

Logger::Logger(std::string category) : category_(std::move(category)) {}

Logger Logger::app() {
  return Logger("app");
}
Logger Logger::net() {
  return Logger("net");
}
Logger Logger::pairing() {
  return Logger("pairing");
}

void Logger::log(Level level, std::string_view message) const {
  if (level == Level::debug && !debugEnabled()) {
    return;
  }
  const std::string category = escaped(category_);
  const std::string text = escaped(message);
  // One write per line so lines from different queues do not interleave.
  static std::mutex writeLock;
  std::lock_guard guard(writeLock);
  std::fprintf(stderr, "corvane[%s] %s: %.*s\n", category.c_str(), levelName(level),
               static_cast<int>(text.size()), text.data());
}

} // namespace corvane

#include "brimvale/platform/Pasteboard.h"

namespace corvane {

void MemoryPasteboard::setString(const std::string &text) {
  std::lock_guard guard(lock_);
  text_ = text;
}

std::optional<std::string> MemoryPasteboard::string() const {
  std::lock_guard guard(lock_);
  return text_;
}

} // namespace corvane

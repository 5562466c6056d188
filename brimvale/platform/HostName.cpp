#include "brimvale/platform/HostName.h"

#include <array>
#include <unistd.h>

namespace corvane {

std::optional<std::string> localHostName() {
  std::array<char, 256> buffer{};
  if (gethostname(buffer.data(), buffer.size() - 1) != 0) {
    return std::nullopt;
  }
  std::string name(buffer.data());
  if (auto dot = name.find('.'); dot != std::string::npos) {
    name.resize(dot);
  }
  if (name.empty()) {
    return std::nullopt;
  }
  return name + ".local";
}

} // namespace corvane

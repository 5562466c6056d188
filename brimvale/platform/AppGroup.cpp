#include "brimvale/platform/AppGroup.h"

#include <cmath>

namespace corvane::appgroup {

double timeStamp(const nlohmann::json &values, const char *key) {
  const auto found = values.find(key);
  if (found == values.end() || !found->is_number())
    return 0.0;
  const double value = found->get<double>();
  return std::isfinite(value) ? value : 0.0;
}

bool flag(const nlohmann::json &values, const char *key) {
  const auto found = values.find(key);
  return found != values.end() && found->is_boolean() && found->get<bool>();
}

std::optional<bool> pendingRequest(const nlohmann::json &values) {
  if (!(timeStamp(values, appliedAtKey) < timeStamp(values, requestAtKey)))
    return std::nullopt;
  return flag(values, requestPausedKey);
}

} // namespace corvane::appgroup

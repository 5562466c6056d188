#include "brimvale/integrations/AppVersion.h"

#include <charconv>

#ifndef CORVANE_VERSION
#error "CORVANE_VERSION must be defined by the build"
#endif
#ifndef CORVANE_BUILD
#error "CORVANE_BUILD must be defined by the build"
#endif

namespace corvane {

std::string appVersionString() {
  const std::string version = CORVANE_VERSION;
  return version.empty() ? "0" : version;
}

std::string appBuildString() {
  return CORVANE_BUILD;
}

std::int64_t parseBuildNumber(const std::optional<std::string> &text) {
  if (!text)
    return 0;
  std::string_view digits = *text;
  bool negative = false;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty())
    return 0;
  for (char c : digits)
    if (c < '0' || c > '9')
      return 0;
  // Parsed with its sign so that the most negative value fits; out of range is 0.
  std::string signedDigits = negative ? "-" : "";
  signedDigits += digits;
  std::int64_t value = 0;
  const auto [end, error] =
      std::from_chars(signedDigits.data(), signedDigits.data() + signedDigits.size(), value);
  if (error != std::errc() || end != signedDigits.data() + signedDigits.size())
    return 0;
  return value;
}

std::int64_t runningBuild() {
  return parseBuildNumber(appBuildString());
}

} // namespace corvane

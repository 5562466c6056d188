#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// This program's version for display ("0.1.0"), from the project's own version at build time.
std::string appVersionString();

// This program's build number as text, from the same project version.
std::string appBuildString();

// A build text read as a decimal integer: an optional sign, then ASCII digits only. 0 when it
// is absent, empty, not a whole number, or does not fit in 64 bits.
std::int64_t parseBuildNumber(const std::optional<std::string> &text);

// The running build, compared with the build of an offered release.
std::int64_t runningBuild();

} // namespace corvane

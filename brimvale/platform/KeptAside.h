#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace corvane {

// How setting a damaged file, secret or stored value aside went: a value when its copy is kept
// (or there was nothing to keep), else why it could not be, for the log. A caller that gets an
// error must not write over what it tried to keep.
using KeptAside = std::expected<void, std::string>;

// The end of a log line about a stored value of `key` that does not decode: "the stored <what>
// is kept as <key>.damaged", or that it is not yet, why, and that it will be before the value
// is written over (UserDefaults::keepAside).
std::string keptAsideText(std::string_view what, std::string_view key, const KeptAside &kept);

} // namespace corvane

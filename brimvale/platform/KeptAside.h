#pragma once

#include <expected>
#include <string>

namespace corvane {

// How setting a damaged file, secret or stored value aside went: a value when its copy is kept
// (or there was nothing to keep), else why it could not be, for the log. A caller that gets an
// error must not write over what it tried to keep.
using KeptAside = std::expected<void, std::string>;

} // namespace corvane

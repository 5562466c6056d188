#pragma once

#include <optional>
#include <string>

namespace corvane {

// This machine's multicast-DNS name: the first label of the host name followed by ".local"
// ("studio.local"); absent when the host name cannot be read or is empty.
std::optional<std::string> localHostName();

} // namespace corvane

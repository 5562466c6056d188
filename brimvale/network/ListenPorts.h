#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace corvane {

// The ports a listener tries in order: the preferred port, that port plus 10, plus 20, then
// any port. An absent entry lets the system choose; so does a step that would pass 65535.
// Without a preferred port (or with 0, which already means "any") the list is just [any].
std::vector<std::optional<std::uint16_t>>
listenPortCandidates(std::optional<std::uint16_t> preferredPort);

} // namespace corvane

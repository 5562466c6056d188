#pragma once

#include "brimvale/foundation/ServiceRecords.h"

#include <optional>
#include <string>

namespace corvane {

// The one sentence that says what is wrong with a connected incoming port, from the refusal
// recorded for its route or else the health the sharing Mac announced; absent when nothing is.
std::optional<std::string> incomingProblemText(const IncomingService &service);

} // namespace corvane

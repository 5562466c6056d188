#pragma once

#include "brimvale/foundation/Preferences.h"
#include "brimvale/foundation/ServiceRecords.h"
#include "brimvale/foundation/ShareModel.h"

#include <optional>
#include <vector>

namespace corvane {

// One group of this Mac's shares as both panels list them: an environment with its shares, or
// (environment absent) the shares in no environment.
struct ShareGroup {
  std::optional<ShareEnvironment> environment;
  std::vector<OutgoingService> rows;

  bool operator==(const ShareGroup &) const = default;
};

// The environments in stored order, each with its shares in its own listed order (ids without
// a share are skipped, an environment left with none is not shown), then the shares in no
// environment in their own order. The last group is left out only when it would be empty and
// some environment is shown, so sharing nothing gives one empty group. A share listed in two
// environments shows in both.
std::vector<ShareGroup> groupSharesByEnvironment(const Preferences &preferences,
                                                 const std::vector<OutgoingService> &outgoing);

} // namespace corvane

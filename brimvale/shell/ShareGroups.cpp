#include "brimvale/shell/ShareGroups.h"

#include <algorithm>
#include <set>
#include <string>

namespace corvane {

std::vector<ShareGroup> groupSharesByEnvironment(const Preferences &preferences,
                                                 const std::vector<OutgoingService> &outgoing) {
  static const std::vector<ShareEnvironment> none;
  const auto &environments = preferences.environments ? *preferences.environments : none;
  std::vector<ShareGroup> groups;
  std::set<std::string> grouped;
  for (const auto &environment : environments) {
    ShareGroup group{environment, {}};
    for (const auto &id : environment.serviceIDs) {
      grouped.insert(id);
      const auto row = std::ranges::find_if(
          outgoing, [&](const OutgoingService &share) { return share.service.id == id; });
      if (row != outgoing.end())
        group.rows.push_back(*row);
    }
    if (!group.rows.empty())
      groups.push_back(std::move(group));
  }
  ShareGroup ungrouped;
  for (const auto &share : outgoing)
    if (!grouped.contains(share.service.id))
      ungrouped.rows.push_back(share);
  if (!ungrouped.rows.empty() || groups.empty())
    groups.push_back(std::move(ungrouped));
  return groups;
}

} // namespace corvane

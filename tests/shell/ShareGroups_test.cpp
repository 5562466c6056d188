#include "brimvale/shell/ShareGroups.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

OutgoingService share(const std::string &id) {
  OutgoingService row;
  row.service.id = id;
  row.service.name = "share " + id;
  return row;
}

std::vector<std::vector<std::string>> shape(const std::vector<ShareGroup> &groups) {
  std::vector<std::vector<std::string>> out;
  for (const auto &group : groups) {
    std::vector<std::string> line{group.environment ? group.environment->name : "-"};
    for (const auto &row : group.rows)
      line.push_back(row.service.id);
    out.push_back(line);
  }
  return out;
}

TEST(ShareGroupsTest, EnvironmentsInStoredOrderThenTheUngroupedShares) {
  const std::vector<OutgoingService> outgoing{share("A"), share("B"), share("C"), share("D")};
  struct Case {
    const char *what;
    std::optional<std::vector<ShareEnvironment>> environments;
    std::vector<OutgoingService> outgoing;
    std::vector<std::vector<std::string>> groups;
  };
  const Case cases[] = {
      {"no environments", std::nullopt, outgoing, {{"-", "A", "B", "C", "D"}}},
      {"nothing shared", std::nullopt, {}, {{"-"}}},
      {"an environment's own order",
       std::vector<ShareEnvironment>{{"e1", "Backend", {"B", "A"}}},
       outgoing,
       {{"Backend", "B", "A"}, {"-", "C", "D"}}},
      {"gone shares are skipped; an emptied environment is not shown",
       std::vector<ShareEnvironment>{{"e1", "Old", {"X", "Y"}}, {"e2", "Web", {"Z", "D"}}},
       outgoing,
       {{"Web", "D"}, {"-", "A", "B", "C"}}},
      {"listed twice: in both, and not ungrouped",
       std::vector<ShareEnvironment>{{"e1", "One", {"A", "B"}}, {"e2", "Two", {"B", "C", "D"}}},
       outgoing,
       {{"One", "A", "B"}, {"Two", "B", "C", "D"}}},
      {"only gone environments", std::vector<ShareEnvironment>{{"e1", "Old", {"X"}}}, {}, {{"-"}}},
  };
  for (const Case &c : cases) {
    Preferences preferences;
    preferences.environments = c.environments;
    EXPECT_EQ(shape(groupSharesByEnvironment(preferences, c.outgoing)), c.groups) << c.what;
  }
}

} // namespace
} // namespace corvane

#include "brimvale/catalogue/Problems.h"

#include <gtest/gtest.h>
#include <unordered_set>

namespace corvane {
namespace {

IncomingService incoming(IncomingService::State state) {
  IncomingService service;
  service.name = "Orders DB";
  service.peerName = "Studio";
  service.remotePort = 5432;
  service.localPort = 15432;
  service.state = std::move(state);
  return service;
}

OutgoingService share(bool enabled, bool running, std::optional<bool> responding) {
  OutgoingService out;
  out.service.name = "Orders DB";
  out.service.port = 5432;
  out.service.enabled = enabled;
  out.running = running;
  out.responding = responding;
  return out;
}

TEST(ProblemReport, IncomingPortsByState) {
  using State = IncomingService::State;
  EXPECT_EQ(ProblemReport::makeForIncoming(incoming(State::off())), std::nullopt);
  EXPECT_EQ(ProblemReport::makeForIncoming(incoming(State::asleep())), std::nullopt);
  EXPECT_EQ(ProblemReport::makeForIncoming(incoming(State::connected())), std::nullopt);

  auto failed = ProblemReport::makeForIncoming(incoming(State::failed("No free port on this Mac")));
  ASSERT_TRUE(failed);
  EXPECT_EQ(*failed,
            (ProblemReport{"Orders DB", "Studio", 5432, 15432, "No free port on this Mac", false}));
  auto notRunning = incoming(State::notRunning());
  notRunning.localPort.reset();
  auto report = ProblemReport::makeForIncoming(notRunning);
  ASSERT_TRUE(report);
  EXPECT_EQ(report->problem, "Not running on Studio");
  EXPECT_EQ(report->localPort, std::nullopt);

  auto refused = incoming(State::connected());
  refused.problem = "not shared";
  EXPECT_EQ(ProblemReport::makeForIncoming(refused)->problem, "Studio stopped sharing this");
}

TEST(ProblemReport, SharesOfThisMac) {
  EXPECT_EQ(ProblemReport::makeForShare(share(false, false, false), "Desk"), std::nullopt);
  EXPECT_EQ(ProblemReport::makeForShare(share(false, true, false), "Desk"), std::nullopt);
  EXPECT_EQ(ProblemReport::makeForShare(share(true, true, std::nullopt), "Desk"), std::nullopt);
  EXPECT_EQ(ProblemReport::makeForShare(share(true, true, true), "Desk"), std::nullopt);
  EXPECT_EQ(ProblemReport::makeForShare(share(true, true, false), "Desk")->problem,
            "Something is listening on port 5432 but not answering like Orders DB");
  auto down = ProblemReport::makeForShare(share(true, false, std::nullopt), "Desk");
  ASSERT_TRUE(down);
  EXPECT_EQ(*down, (ProblemReport{"Orders DB", "Desk", 5432, std::nullopt,
                                  "Nothing is listening on port 5432 on this Mac", true}));
}

TEST(ProblemReport, EqualityAndHashCoverLocalPort) {
  ProblemReport a{"s", "m", 1, std::nullopt, "p", false};
  ProblemReport b = a;
  b.localPort = 0;
  EXPECT_NE(a, b);
  EXPECT_NE(std::hash<ProblemReport>{}(a), std::hash<ProblemReport>{}(b));
  std::unordered_set<ProblemReport> set{a, b, a};
  EXPECT_EQ(set.size(), 2u);
}

TEST(HealthTracking, RespondingFlagNeedsTwoMissesAfterAnAnswer) {
  std::map<std::string, HealthTracker> trackers;
  std::map<std::string, bool> responding;
  auto check = [&](bool answered) {
    return recordHealthCheck(trackers, responding, "S", answered);
  };

  // Never answered: never marked, however many misses.
  for (int i = 0; i < 5; ++i)
    EXPECT_FALSE(check(false));
  EXPECT_FALSE(responding.contains("S"));

  EXPECT_TRUE(check(true));
  EXPECT_TRUE(responding.at("S"));
  EXPECT_FALSE(check(true)) << "no change, nothing to rebuild";
  EXPECT_FALSE(check(false));
  EXPECT_TRUE(responding.at("S"));
  EXPECT_TRUE(check(false));
  EXPECT_FALSE(responding.at("S"));
  EXPECT_FALSE(check(false));
  EXPECT_TRUE(check(true));
  EXPECT_TRUE(responding.at("S"));
  EXPECT_EQ(trackers.at("S"), (HealthTracker{0, true}));
}

} // namespace
} // namespace corvane

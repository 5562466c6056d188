#include "brimvale/catalogue/IncomingProblemText.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

IncomingService connected(std::optional<std::string> problem, std::optional<std::string> health) {
  IncomingService service;
  service.peerName = "Studio";
  service.state = IncomingService::State::connected();
  service.problem = std::move(problem);
  service.health = std::move(health);
  return service;
}

TEST(IncomingProblemText, SentencesForRefusalsAndHealth) {
  EXPECT_EQ(incomingProblemText(connected("not running", std::nullopt)),
            "Nothing is listening on Studio");
  EXPECT_EQ(incomingProblemText(connected("not shared", "not responding")),
            "Studio stopped sharing this");
  EXPECT_EQ(incomingProblemText(connected("too many connections", std::nullopt)),
            "Too many open connections (64)");
  EXPECT_EQ(incomingProblemText(connected("unreachable", std::nullopt)), "Couldn't reach Studio");
  EXPECT_EQ(incomingProblemText(connected("bad port", std::nullopt)),
            "Studio refused the connection");
  EXPECT_EQ(incomingProblemText(connected(std::nullopt, "not responding")),
            "Not responding on Studio");
  EXPECT_EQ(incomingProblemText(connected(std::nullopt, std::nullopt)), std::nullopt);
}

TEST(IncomingProblemText, OnlyConnectedPortsHaveOne) {
  using State = IncomingService::State;
  for (auto state : {State::off(), State::asleep(), State::notRunning(), State::failed("x")}) {
    auto service = connected("not running", "not responding");
    service.state = state;
    EXPECT_EQ(incomingProblemText(service), std::nullopt);
  }
}

} // namespace
} // namespace corvane

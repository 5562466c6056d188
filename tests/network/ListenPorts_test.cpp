#include "brimvale/network/ListenPorts.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

using Candidates = std::vector<std::optional<std::uint16_t>>;

TEST(ListenPorts, StepsOfTenThenAny) {
  EXPECT_EQ(listenPortCandidates(46310), (Candidates{46310, 46320, 46330, std::nullopt}));
  EXPECT_EQ(listenPortCandidates(46311), (Candidates{46311, 46321, 46331, std::nullopt}));
}

TEST(ListenPorts, StepsPastTheLastPortBecomeAny) {
  EXPECT_EQ(listenPortCandidates(65530),
            (Candidates{65530, std::nullopt, std::nullopt, std::nullopt}));
  EXPECT_EQ(listenPortCandidates(65520), (Candidates{65520, 65530, std::nullopt, std::nullopt}));
  EXPECT_EQ(listenPortCandidates(65515), (Candidates{65515, 65525, 65535, std::nullopt}));
  EXPECT_EQ(listenPortCandidates(65535),
            (Candidates{65535, std::nullopt, std::nullopt, std::nullopt}));
}

TEST(ListenPorts, NoPreferredPortIsAnyAlone) {
  EXPECT_EQ(listenPortCandidates(std::nullopt), (Candidates{std::nullopt}));
  EXPECT_EQ(listenPortCandidates(0), (Candidates{std::nullopt}));
}

} // namespace
} // namespace corvane

#include "brimvale/integrations/ControlBridge.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

class ControlBridgeTest : public ::testing::Test {
protected:
  std::shared_ptr<UserDefaults> defaults{UserDefaults::inMemory()};
  ControlBridge bridge{defaults};
};

TEST_F(ControlBridgeTest, ARequestCountsOnlyWhenStampedAndNewerThanTheLastApplied) {
  defaults->setBool("requestPaused", true);
  EXPECT_EQ(bridge.takeControlRequest(), std::nullopt) << "no time stamp, no request";

  defaults->setDouble("requestAt", 10);
  EXPECT_EQ(bridge.takeControlRequest(), std::optional(true));
  EXPECT_EQ(defaults->doubleValue("appliedAt"), std::optional(10.0));
  EXPECT_EQ(bridge.takeControlRequest(), std::nullopt) << "taken twice";

  defaults->setBool("requestPaused", false);
  defaults->setDouble("requestAt", 11);
  EXPECT_EQ(bridge.takeControlRequest(), std::optional(false));
}

TEST_F(ControlBridgeTest, PublishingCarriesAppliedForwardSoAnOlderRequestIsNeverTaken) {
  bridge.publishControlState(true, 100);
  EXPECT_EQ(defaults->boolean("paused"), std::optional(true));
  EXPECT_EQ(defaults->boolean("running"), std::optional(true));
  EXPECT_EQ(defaults->doubleValue("appliedAt"), std::optional(100.0));

  defaults->setBool("requestPaused", false);
  defaults->setDouble("requestAt", 99);
  EXPECT_EQ(bridge.takeControlRequest(), std::nullopt);

  // A clock set back leaves the stamp but still writes the state.
  bridge.publishControlState(false, 50);
  EXPECT_EQ(defaults->doubleValue("appliedAt"), std::optional(100.0));
  EXPECT_EQ(defaults->boolean("paused"), std::optional(false));

  bridge.publishStopped();
  EXPECT_EQ(defaults->boolean("running"), std::optional(false));
}

TEST_F(ControlBridgeTest, ANotFiniteClockNeverReachesTheStamp) {
  bridge.publishControlState(false, std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(defaults->doubleValue("appliedAt"), std::nullopt);
  EXPECT_EQ(defaults->boolean("running"), std::optional(true));
}

} // namespace
} // namespace corvane

#include "brimvale/platform/WifiName.h"
#include "tests/support/Wait.h"

#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>

namespace corvane {
namespace {

using corvane::testing::eventually;

TEST(WifiName, SsidBytesBecomeANameOnlyWhenWellFormed) {
  EXPECT_EQ(ssidText(bytesOf("Home")), "Home");
  EXPECT_EQ(ssidText(bytesOf("Caf\xc3\xa9 5G")), "Caf\xc3\xa9 5G");
  EXPECT_EQ(ssidText(bytesOf(std::string(32, 'x'))), std::string(32, 'x'));
  EXPECT_EQ(ssidText({}), std::nullopt);
  EXPECT_EQ(ssidText(bytesOf(std::string(33, 'x'))), std::nullopt);
  EXPECT_EQ(ssidText(Bytes{'a', 0xC3}), std::nullopt);
  EXPECT_EQ(ssidText(Bytes{0xFF, 0xFE}), std::nullopt);
}

TEST(WifiName, NoBusGivesNoNameAtOnce) {
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/corvane-test-bus", 1);
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(makeNetworkManagerWifiName(0.2)->currentName(), std::nullopt);
  // Far below the bus's call timeout (25 s), far above what a loaded machine needs.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
}

} // namespace
} // namespace corvane

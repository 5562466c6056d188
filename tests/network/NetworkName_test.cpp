#include "brimvale/network/NetworkName.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

struct FixedWifi : WifiName {
  std::optional<std::string> name;
  std::optional<std::string> currentName() const override { return name; }
};

TEST(NetworkName, SwitchGatesThePermissionNotTheName) {
  auto defaults = UserDefaults::inMemory();
  auto wifi = std::make_shared<FixedWifi>();
  wifi->name = "Home";
  NetworkName networkName(*defaults, wifi);
  int changes = 0;
  networkName.onChange = [&] { ++changes; };

  EXPECT_EQ(networkName.permission(), std::nullopt);
  EXPECT_EQ(networkName.currentName(), "Home");

  networkName.setShowNetworkName(true);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(defaults->boolean("showNetworkName"), true);
  EXPECT_EQ(networkName.permission(), NetworkName::Permission::allowed);

  networkName.setShowNetworkName(false);
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(networkName.permission(), std::nullopt);

  wifi->name = "";
  EXPECT_EQ(networkName.currentName(), std::nullopt);
  wifi->name.reset();
  EXPECT_EQ(networkName.currentName(), std::nullopt);
}

} // namespace
} // namespace corvane

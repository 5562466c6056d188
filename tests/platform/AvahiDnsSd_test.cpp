#include "brimvale/platform/AvahiDnsSd.h"
#include "brimvale/platform/SerialQueue.h"
#include "tests/support/Wait.h"

#include <chrono>
#include <cstdlib>
#include <future>
#include <gtest/gtest.h>

namespace corvane {
namespace {

using corvane::testing::eventually;

TEST(TxtStrings, KeysAreFoundByNameWhateverTheOrder) {
  std::map<std::string, std::string> expected{{"v", "2"}, {"id", "0123456789abcdef"}};
  EXPECT_EQ(parseTxtStrings({"v=2", "id=0123456789abcdef"}), expected);
  EXPECT_EQ(parseTxtStrings({"id=0123456789abcdef", "v=2"}), expected);
  // Handed over reversed: the last string is the record's first, and the first occurrence wins.
  EXPECT_EQ(parseTxtStrings({"v=1", "v=2"}).at("v"), "2");
  auto odd = parseTxtStrings({"flag", "=nokey", "eq=a=b", "empty="});
  EXPECT_EQ(odd, (std::map<std::string, std::string>{{"flag", ""}, {"eq", "a=b"}, {"empty", ""}}));
}

// No daemon can be reached through a bus address that does not exist; every operation must
// answer promptly rather than wait for one.
TEST(AvahiDnsSd, SurvivesAMissingDaemon) {
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/corvane-test-bus", 1);
  auto started = std::chrono::steady_clock::now();
  auto dnsSd = AvahiDnsSd::create();
  EXPECT_FALSE(dnsSd->isConnected());

  auto published = dnsSd->publish({"Studio", "_corvane._tcp", "", {{"v", "2"}}}, 46310);
  EXPECT_NE(published, nullptr);

  auto queue = SerialQueue::create("test.avahi");
  std::promise<std::size_t> found;
  auto browse = dnsSd->browse(
      "_corvane._tcp", queue, [&](auto results) { found.set_value(results.size()); },
      [&](NetworkError) { found.set_value(0); });
  auto future = found.get_future();
  ASSERT_EQ(future.wait_for(eventually), std::future_status::ready);
  EXPECT_EQ(future.get(), 0u);

  std::promise<bool> resolved;
  dnsSd->resolve({"Studio", "_corvane._tcp", "local", "", dnsSd},
                 [&](auto result) { resolved.set_value(result.has_value()); });
  auto outcome = resolved.get_future();
  ASSERT_EQ(outcome.wait_for(eventually), std::future_status::ready);
  EXPECT_FALSE(outcome.get());

  browse.reset();
  published.reset();
  dnsSd.reset();
  // Far below the bus's call timeout (25 s) that waiting for a daemon would run into, and
  // far above what a loaded machine needs.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
}

} // namespace
} // namespace corvane

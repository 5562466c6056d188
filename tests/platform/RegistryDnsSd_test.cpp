#include "brimvale/platform/RegistryDnsSd.h"
#include "brimvale/platform/SerialQueue.h"
#include "tests/support/Wait.h"

#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>

namespace corvane {
namespace {

using corvane::testing::eventually;

// Collects the result sets one browse delivers, so a test can wait for a given one.
struct ResultLog {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::vector<DnsSd::BrowseResult>> sets;

  std::function<void(std::vector<DnsSd::BrowseResult>)> callback() {
    return [this](std::vector<DnsSd::BrowseResult> results) {
      std::lock_guard guard(lock);
      sets.push_back(std::move(results));
      changed.notify_all();
    };
  }

  std::vector<DnsSd::BrowseResult> waitForCount(std::size_t count) {
    std::unique_lock guard(lock);
    changed.wait_for(guard, eventually, [&] { return sets.size() >= count; });
    return sets.size() >= count ? sets[count - 1] : std::vector<DnsSd::BrowseResult>{};
  }
};

std::vector<std::string> namesOf(const std::vector<DnsSd::BrowseResult> &results) {
  std::vector<std::string> names;
  for (const auto &result : results) {
    names.push_back(result.endpoint.asService()->name);
  }
  return names;
}

TEST(RegistryDnsSd, TwoInstancesSeeEachOtherAndResolveToLoopback) {
  auto registry = DnsSdRegistry::create();
  auto a = RegistryDnsSd::create(registry);
  auto b = RegistryDnsSd::create(registry);
  auto queue = SerialQueue::create("test.browse");
  ResultLog log;

  auto browse = b->browse("_corvane._tcp", queue, log.callback(), [](NetworkError) {});
  EXPECT_TRUE(log.waitForCount(1).empty());

  auto published =
      a->publish({"Studio", "_corvane._tcp", "", {{"v", "2"}, {"id", "0123456789abcdef"}}}, 46310);
  auto other = a->publish({"Pairing", "_corvane-pair._tcp", "", {}}, 46311);
  auto set = log.waitForCount(2);
  ASSERT_EQ(set.size(), 1u);
  EXPECT_EQ(set[0].txt.at("id"), "0123456789abcdef");
  const auto *service = set[0].endpoint.asService();
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(service->name, "Studio");
  ASSERT_EQ(service->resolver, b);

  std::optional<std::expected<std::vector<Endpoint::HostPort>, NetworkError>> resolved;
  service->resolver->resolve(*service, [&](auto result) { resolved = std::move(result); });
  ASSERT_TRUE(resolved && resolved->has_value());
  ASSERT_EQ((*resolved)->size(), 1u);
  EXPECT_EQ((*resolved)->front().port, 46310);
  EXPECT_EQ((*resolved)->front().host.kind, Endpoint::Host::Kind::ipv4);
  EXPECT_EQ((*resolved)->front().host.address[0], 127);
  EXPECT_EQ((*resolved)->front().host.address[3], 1);

  // Withdrawing reports the emptied set and makes the service unresolvable.
  published.reset();
  EXPECT_TRUE(log.waitForCount(3).empty());
  resolved.reset();
  b->resolve(*service, [&](auto result) { resolved = std::move(result); });
  ASSERT_TRUE(resolved);
  EXPECT_FALSE(resolved->has_value());
  EXPECT_EQ(resolved->error().domain, NetworkError::Domain::dns);
}

TEST(RegistryDnsSd, CollisionsPickAlternativeNamesAndEndedBrowsesHearNothing) {
  auto registry = DnsSdRegistry::create();
  auto a = RegistryDnsSd::create(registry);
  auto queue = SerialQueue::create("test.browse");
  ResultLog log;
  auto browse = a->browse("_corvane._tcp", queue, log.callback(), [](NetworkError) {});

  auto first = a->publish({"Studio", "_corvane._tcp", "", {}}, 1000);
  auto second = a->publish({"studio", "_corvane._tcp", "local.", {}}, 1001);
  auto third = a->publish({"Studio", "_corvane._tcp", "", {}}, 1002);
  EXPECT_EQ(namesOf(log.waitForCount(4)),
            (std::vector<std::string>{"Studio", "studio #2", "Studio #3"}));

  browse.reset();
  auto fourth = a->publish({"Studio", "_corvane._tcp", "", {}}, 1003);
  queue->sync([] {});
  std::lock_guard guard(log.lock);
  EXPECT_EQ(log.sets.size(), 4u);
}

TEST(ServiceNames, CutAtCharacterBoundaryAndNumberedAlternatives) {
  std::string long64(64, 'x');
  EXPECT_EQ(truncateServiceName(long64), std::string(63, 'x'));
  // "é" is two bytes; a cut at 63 would split the one that straddles it.
  std::string accented = std::string(62, 'a') + "\xc3\xa9";
  EXPECT_EQ(truncateServiceName(accented), std::string(62, 'a'));
  EXPECT_EQ(truncateServiceName("short"), "short");

  EXPECT_EQ(alternativeServiceName("Mac"), "Mac #2");
  EXPECT_EQ(alternativeServiceName("Mac #2"), "Mac #3");
  EXPECT_EQ(alternativeServiceName("Mac #09"), "Mac #09 #2");
  EXPECT_EQ(alternativeServiceName("Mac #"), "Mac # #2");
  auto renamed = alternativeServiceName(std::string(63, 'z'));
  EXPECT_EQ(renamed, std::string(60, 'z') + " #2");
}

} // namespace
} // namespace corvane

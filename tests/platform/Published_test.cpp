#include "brimvale/platform/Published.h"

#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

namespace corvane {
namespace {

TEST(PublishedTest, OnlyAChangeNotifiesAndModifyNotifiesOncePerChange) {
  Published<std::vector<int>> list;
  std::vector<std::vector<int>> seen;
  auto subscription = list.subscribe([&](const auto &value) { seen.push_back(value); });

  EXPECT_FALSE(list.set({}));
  EXPECT_TRUE(list.set({1}));
  EXPECT_FALSE(list.set({1}));
  // Three element changes in one modification are one notification.
  EXPECT_TRUE(list.modify([](auto &v) {
    v.push_back(2);
    v.push_back(3);
    v.push_back(4);
  }));
  EXPECT_FALSE(list.modify([](auto &v) { v[0] = 1; }));
  EXPECT_EQ(seen, (std::vector<std::vector<int>>{{1}, {1, 2, 3, 4}}));
}

TEST(PublishedTest, UnsubscribedObserversHearNothingEvenDuringANotification) {
  Published<int> value;
  int first = 0, second = 0;
  Published<int>::Subscription secondSubscription;
  auto firstSubscription = value.subscribe([&](int) {
    ++first;
    secondSubscription.reset(); // the second must not be told any more
  });
  secondSubscription = value.subscribe([&](int) { ++second; });
  value.set(1);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 0);
  firstSubscription.reset();
  value.set(2);
  EXPECT_EQ(first, 1);
}

TEST(PublishedTest, ASubscriptionMayOutliveItsValue) {
  Published<int>::Subscription subscription;
  {
    Published<int> value;
    subscription = value.subscribe([](int) {});
  }
  subscription.reset();
}

} // namespace
} // namespace corvane

#include "brimvale/platform/AsioMainQueue.h"
#include "brimvale/platform/Clock.h"
#include "brimvale/platform/ManualMainQueue.h"
#include "brimvale/platform/RelayQueues.h"
#include "brimvale/platform/SerialQueue.h"
#include "tests/support/Wait.h"

#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace corvane {
namespace {

using namespace std::chrono_literals;
using corvane::testing::eventually;

TEST(ManualMainQueueTest, RunsDueWorkInTimeThenPostingOrder) {
  ManualMainQueue queue;
  std::vector<std::string> order;
  queue.postAfter(2, [&] { order.push_back("2s"); });
  queue.postAfter(1, [&] {
    order.push_back("1s");
    // Falls due inside the same advance, before the 2 s item.
    queue.postAfter(0.5, [&] { order.push_back("1.5s"); });
  });
  queue.post([&] { order.push_back("now-a"); });
  queue.post([&] { order.push_back("now-b"); });
  queue.runUntilIdle();
  EXPECT_EQ(order, (std::vector<std::string>{"now-a", "now-b"}));
  queue.advance(0.99);
  EXPECT_EQ(order.size(), 2u);
  queue.advance(1.01);
  EXPECT_EQ(order, (std::vector<std::string>{"now-a", "now-b", "1s", "1.5s", "2s"}));
  EXPECT_DOUBLE_EQ(queue.now(), 2.0);
}

TEST(ManualMainQueueTest, CancelledWorkNeverRunsAndRepeatingStopsWhenCancelled) {
  ManualMainQueue queue;
  int once = 0, ticks = 0;
  auto item = queue.postAfter(1, [&] { ++once; });
  item.cancel();
  WorkItem repeating;
  repeating = queue.repeating(1, [&] {
    if (++ticks == 3)
      repeating.cancel();
  });
  queue.advance(10);
  EXPECT_EQ(once, 0);
  EXPECT_EQ(ticks, 3);
  EXPECT_EQ(queue.pendingCount(), 0u);
}

TEST(SerialQueueTest, RunsInOrderAndHonoursCancelledDelays) {
  auto queue = SerialQueue::create("test.serial");
  std::vector<int> order;
  std::promise<void> done;
  // Posted before the delays start, so a stalled test thread cannot let a delay expire first.
  for (int i = 0; i < 3; ++i)
    queue->post([&, i] {
      EXPECT_TRUE(queue->isCurrent());
      order.push_back(i);
    });
  auto cancelled = queue->postAfter(0.01, [&] { order.push_back(99); });
  cancelled.cancel();
  queue->postAfter(0.03, [&] {
    order.push_back(3);
    done.set_value();
  });
  ASSERT_EQ(done.get_future().wait_for(eventually), std::future_status::ready);
  queue->sync([] {});
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
  EXPECT_FALSE(queue->isCurrent());
}

// A deadline cancelled on its queue lets go of what its work holds at once, not an hour later;
// the queue knows itself as the current one there.
TEST(SerialQueueTest, DelayCancelledOnItsQueueReleasesItsWorkAtOnce) {
  auto queue = SerialQueue::create("test.deadline");
  auto held = std::make_shared<int>(0);
  std::weak_ptr<int> watch = held;
  queue->sync([&] {
    EXPECT_EQ(SerialQueue::current(), queue);
    auto item = queue->postAfter(3600, [held = std::move(held)] {});
    item.cancel();
  });
  EXPECT_TRUE(corvane::testing::waitUntil([&] {
    queue->sync([] {});
    return watch.expired();
  }));
  EXPECT_EQ(SerialQueue::current(), nullptr);
}

TEST(SerialQueueTest, QueueReleasedByItsOwnWorkShutsDownCleanly) {
  auto queue = SerialQueue::create("test.self");
  std::promise<void> ran;
  auto future = ran.get_future();
  queue->post([held = queue, &ran]() mutable {
    ran.set_value();
    held.reset();
  });
  queue.reset();
  ASSERT_EQ(future.wait_for(eventually), std::future_status::ready);
}

TEST(RelayQueuesTest, HandsOutItsQueuesInTurnAndNoneWhenItHasNone) {
  RelayQueues relays("test.relay", 3);
  std::vector<std::shared_ptr<SerialQueue>> given;
  for (int i = 0; i < 7; ++i)
    given.push_back(relays.next());
  EXPECT_NE(given[0], given[1]);
  EXPECT_NE(given[1], given[2]);
  EXPECT_NE(given[0], given[2]);
  EXPECT_EQ(given[3], given[0]);
  EXPECT_EQ(given[4], given[1]);
  EXPECT_EQ(given[6], given[0]);
  EXPECT_EQ(given[1]->label(), "test.relay.2");
  // Each is a queue of its own thread.
  std::promise<bool> ran;
  given[2]->post([&] { ran.set_value(given[2]->isCurrent() && !given[0]->isCurrent()); });
  auto future = ran.get_future();
  ASSERT_EQ(future.wait_for(eventually), std::future_status::ready);
  EXPECT_TRUE(future.get());

  RelayQueues none("test.none", 0);
  EXPECT_EQ(none.next(), nullptr);
  EXPECT_GE(RelayQueues::defaultCount(), 1u);
  EXPECT_LE(RelayQueues::defaultCount(), RelayQueues::maximumDefault);
}

TEST(AsioMainQueueTest, RepeatsUntilCancelled) {
  asio::io_context context;
  AsioMainQueue queue(context);
  int ticks = 0;
  WorkItem item;
  item = queue.repeating(0.001, [&] {
    EXPECT_TRUE(queue.isCurrent());
    if (++ticks == 3)
      item.cancel();
  });
  context.run_for(2s);
  EXPECT_EQ(ticks, 3);
}

TEST(ClockTest, DatesCountFrom2001) {
  EXPECT_DOUBLE_EQ(dateFromUnix(978307200.0), 0.0);
  EXPECT_DOUBLE_EQ(unixFromDate(dateFromUnix(1.7e9)), 1.7e9);
  EXPECT_GT(referenceDateNow(), 7e8); // after 2023
  double first = continuousNow();
  EXPECT_GE(continuousNow(), first);
}

} // namespace
} // namespace corvane

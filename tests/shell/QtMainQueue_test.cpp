#include "brimvale/shell/QtMainQueue.h"

#include <QCoreApplication>
#include <QTest>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace corvane {
namespace {

constexpr int generousMs = 20000;

TEST(QtMainQueueTest, PostedWorkRunsInOrderOnTheLoopFromAnyThread) {
  QtMainQueue queue;
  std::vector<std::string> order;
  bool fromThreadOnMain = false;
  queue.post([&] { order.push_back("a"); });
  queue.post([&] { order.push_back("b"); });
  EXPECT_TRUE(order.empty()) << "post never runs work inline";
  std::thread other([&] {
    EXPECT_FALSE(queue.isCurrent());
    queue.post([&] {
      fromThreadOnMain = queue.isCurrent();
      order.push_back("thread");
    });
  });
  other.join();
  ASSERT_TRUE(QTest::qWaitFor([&] { return order.size() == 3; }, generousMs));
  EXPECT_EQ(order, (std::vector<std::string>{"a", "b", "thread"}));
  EXPECT_TRUE(fromThreadOnMain);
  EXPECT_TRUE(queue.isCurrent());
}

TEST(QtMainQueueTest, DelayedWorkRunsByDelayAndCancelledWorkNever) {
  QtMainQueue queue;
  std::vector<std::string> order;
  queue.postAfter(0.2, [&] { order.push_back("later"); });
  auto cancelled = queue.postAfter(0.05, [&] { order.push_back("cancelled"); });
  queue.postAfter(0.01, [&] { order.push_back("sooner"); });
  queue.postAfter(-3, [&] { order.push_back("negative is now"); });
  cancelled.cancel();
  std::thread other([&] { queue.postAfter(0.1, [&] { order.push_back("thread"); }); });
  other.join();
  ASSERT_TRUE(QTest::qWaitFor([&] { return order.size() == 4; }, generousMs));
  EXPECT_EQ(order, (std::vector<std::string>{"negative is now", "sooner", "thread", "later"}));
}

TEST(QtMainQueueTest, RepeatingWorkRunsUntilCancelledFromInside) {
  QtMainQueue queue;
  int ticks = 0;
  bool markerRan = false;
  WorkItem repeating;
  repeating = queue.repeating(0.01, [&] {
    if (++ticks == 3) {
      repeating.cancel();
      // Runs after at least one more period: a fourth tick would have come first.
      queue.postAfter(0.1, [&] { markerRan = true; });
    }
  });
  ASSERT_TRUE(QTest::qWaitFor([&] { return markerRan; }, generousMs));
  EXPECT_EQ(ticks, 3);
}

TEST(QtMainQueueTest, RepeatingWorkCancelledBeforeItsFirstTickNeverRuns) {
  QtMainQueue queue;
  int ticks = 0;
  bool markerRan = false;
  auto item = queue.repeating(0, [&] { ++ticks; });
  item.cancel();
  queue.postAfter(0.05, [&] { markerRan = true; });
  ASSERT_TRUE(QTest::qWaitFor([&] { return markerRan; }, generousMs));
  EXPECT_EQ(ticks, 0);
}

TEST(QtMainQueueTest, WorkPendingWhenTheQueueGoesNeverRuns) {
  std::atomic<int> ran = 0;
  {
    QtMainQueue queue;
    queue.post([&] { ++ran; });
    queue.postAfter(0, [&] { ++ran; });
    queue.repeating(0.001, [&] { ++ran; });
  }
  QtMainQueue survivor;
  bool markerRan = false;
  survivor.postAfter(0.05, [&] { markerRan = true; });
  ASSERT_TRUE(QTest::qWaitFor([&] { return markerRan; }, generousMs));
  EXPECT_EQ(ran, 0);
}

} // namespace
} // namespace corvane

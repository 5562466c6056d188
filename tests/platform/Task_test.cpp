#include "brimvale/platform/AsioMainQueue.h"
#include "brimvale/platform/ManualMainQueue.h"
#include "brimvale/platform/Task.h"

#include <asio/io_context.hpp>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace corvane {
namespace {

Task sleepThenRecord(std::weak_ptr<MainQueue> queue, double seconds, std::vector<std::string> &log,
                     std::string name) {
  log.push_back(name + " started");
  const bool slept = co_await sleep(queue, seconds);
  log.push_back(name + (slept ? " woke" : " cancelled"));
  const bool again = co_await sleep(queue, seconds);
  log.push_back(name + (again ? " woke again" : " cancelled again"));
}

TEST(TaskTest, SleepsInVirtualTimeAndResumesOnTheQueue) {
  auto queue = std::make_shared<ManualMainQueue>();
  std::vector<std::string> log;
  auto task = sleepThenRecord(queue, 8, log, "a");
  EXPECT_EQ(log, (std::vector<std::string>{"a started"}));
  queue->advance(7.9);
  EXPECT_EQ(log.size(), 1u);
  queue->advance(0.2);
  EXPECT_EQ(log.back(), "a woke");
  EXPECT_FALSE(task.isDone());
  queue->advance(8);
  EXPECT_EQ(log.back(), "a woke again");
  EXPECT_TRUE(task.isDone());
}

TEST(TaskTest, CancelEndsAPendingSleepAtOnceAndEveryLaterOne) {
  auto queue = std::make_shared<ManualMainQueue>();
  std::vector<std::string> log;
  auto task = sleepThenRecord(queue, 8, log, "a");
  queue->advance(1);
  task.cancel();
  // Resumed from the queue, not from inside cancel().
  EXPECT_EQ(log.size(), 1u);
  queue->runUntilIdle();
  EXPECT_EQ(log, (std::vector<std::string>{"a started", "a cancelled", "a cancelled again"}));
  EXPECT_TRUE(task.isDone());
  queue->advance(20);
  EXPECT_EQ(log.size(), 3u);
}

TEST(TaskTest, ATaskWhoseQueueGoesAwayIsDestroyedWithoutRunning) {
  std::vector<std::string> log;
  auto owned = std::make_shared<int>(1);
  std::weak_ptr<int> weak = owned;
  {
    auto queue = std::make_shared<ManualMainQueue>();
    auto holder = [](std::weak_ptr<MainQueue> queue, std::shared_ptr<int> owned,
                     std::vector<std::string> &log) -> Task {
      co_await sleep(queue, 5);
      log.push_back("ran " + std::to_string(*owned));
    };
    holder(queue, std::move(owned), log);
  }
  EXPECT_TRUE(log.empty());
  EXPECT_TRUE(weak.expired()) << "the frame and its locals leaked";
}

TEST(TaskTest, CompletionResumesOnTheQueueWithTheValueFromAnotherThread) {
  asio::io_context context;
  auto guard = asio::make_work_guard(context);
  auto queue = std::make_shared<AsioMainQueue>(context);
  std::thread::id resumedOn;
  int got = 0;
  std::thread worker;
  auto work = [](std::weak_ptr<MainQueue> queue, int &got, std::thread::id &resumedOn,
                 std::thread &worker, asio::io_context &context) -> Task {
    got = co_await completion<int>(queue, [&worker](std::function<void(int)> done) {
      worker = std::thread([done] { done(42); });
    });
    resumedOn = std::this_thread::get_id();
    context.stop();
  };
  queue->post([&] { work(queue, got, resumedOn, worker, context); });
  context.run_for(std::chrono::seconds(10));
  worker.join();
  EXPECT_EQ(got, 42);
  EXPECT_EQ(resumedOn, std::this_thread::get_id());
}

TEST(TaskTest, ContinuousSleepOnTheAsioQueueWaitsAtLeastItsTime) {
  asio::io_context context;
  auto queue = std::make_shared<AsioMainQueue>(context);
  const auto started = std::chrono::steady_clock::now();
  bool woke = false;
  auto work = [](std::weak_ptr<MainQueue> queue, bool &woke) -> Task {
    woke = co_await sleep(queue, 0.05);
  };
  queue->post([&] { work(queue, woke); });
  context.run_for(std::chrono::seconds(10));
  EXPECT_TRUE(woke);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(50));
}

} // namespace
} // namespace corvane

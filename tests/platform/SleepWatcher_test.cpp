#include "brimvale/platform/AsioMainQueue.h"
#include "brimvale/platform/BusLoop.h"
#include "brimvale/platform/SleepWatcher.h"
#include "tests/support/FakeLogind.h"
#include "tests/support/Inbox.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/StderrTap.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <limits>
#include <systemd/sd-bus.h>
#include <thread>

namespace corvane {
namespace {

using namespace std::chrono_literals;
using testing::closedWithin;
using testing::count;
using testing::FakeLogind;
using testing::Inbox;
using testing::onLoop;
using testing::PrivateBus;
using testing::StderrTap;
using testing::stillOpen;

// Returns once `destination` has processed every message `from` sent it before: messages between
// two connections keep their order, and sd-bus answers a ping after what came earlier.
void pingFrom(BusLoop &from, const std::string &destination) {
  onLoop(from, [&] {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message *reply = nullptr;
    sd_bus_call_method(from.bus(), destination.c_str(), "/", "org.freedesktop.DBus.Peer", "Ping",
                       &error, &reply, "");
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
  });
}

class SleepWatcherTest : public ::testing::Test {
protected:
  void SetUp() override {
    mainThread_ = std::thread([this] { context_.run(); });
  }
  void TearDown() override {
    onMain([this] { watcher_.reset(); });
    guard_.reset();
    mainThread_.join();
  }

  template <typename Work> void onMain(Work work) {
    std::promise<void> done;
    main_.post([&] {
      work();
      done.set_value();
    });
    done.get_future().wait();
  }

  void startWatcher(std::optional<std::string> address, double releaseTimeout = 5.0) {
    onMain([&] {
      watcher_ =
          std::make_unique<SleepWatcher>(main_, SleepWatcher::Options{address, releaseTimeout});
      watcher_->onWillSleep = [this](SleepWatcher::Done done) { willSleep_.push(std::move(done)); };
      watcher_->onDidWake = [this] { didWake_.push(1); };
      watcher_->start();
    });
  }

  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_{context_.get_executor()};
  AsioMainQueue main_{context_};
  std::thread mainThread_;
  std::unique_ptr<SleepWatcher> watcher_;
  Inbox<SleepWatcher::Done> willSleep_;
  Inbox<int> didWake_;
};

TEST_F(SleepWatcherTest, HoldsTheMachineAwakeUntilTheOwnerHasLetGo) {
  PrivateBus bus(PrivateBus::Kind::system);
  ASSERT_FALSE(bus.address().empty());
  FakeLogind logind(bus.address());
  ASSERT_TRUE(logind.registered());
  startWatcher(bus.address());

  auto first = logind.inhibits.pop(20s);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->what, "sleep");
  EXPECT_EQ(first->who, "Corvane");
  EXPECT_FALSE(first->why.empty());
  EXPECT_EQ(first->mode, "delay");
  EXPECT_TRUE(stillOpen(first->readEnd));

  logind.emit("b", 1);
  auto done = willSleep_.pop(20s);
  ASSERT_TRUE(done);
  // The owner has not let go yet: the delay still holds.
  EXPECT_FALSE(closedWithin(first->readEnd, 300ms));
  (*done)();
  EXPECT_TRUE(closedWithin(first->readEnd, 20s));
  (*done)(); // a second call changes nothing
  close(first->readEnd);

  logind.emit("b", 0);
  EXPECT_TRUE(didWake_.pop(20s));
  auto second = logind.inhibits.pop(20s);
  ASSERT_TRUE(second);
  EXPECT_TRUE(stillOpen(second->readEnd));

  // The next sleep works the same way with the new delay.
  logind.emit("b", 1);
  done = willSleep_.pop(20s);
  ASSERT_TRUE(done);
  EXPECT_TRUE(stillOpen(second->readEnd));
  (*done)();
  EXPECT_TRUE(closedWithin(second->readEnd, 20s));
  close(second->readEnd);
}

TEST_F(SleepWatcherTest, AnOwnerThatNeverFinishesCannotKeepTheMachineAwake) {
  PrivateBus bus(PrivateBus::Kind::system);
  FakeLogind logind(bus.address());
  ASSERT_TRUE(logind.registered());
  startWatcher(bus.address(), 0.5);
  auto held = logind.inhibits.pop(20s);
  ASSERT_TRUE(held);

  logind.emit("b", 1);
  auto done = willSleep_.pop(20s);
  ASSERT_TRUE(done);
  EXPECT_TRUE(closedWithin(held->readEnd, 20s));
  close(held->readEnd);

  // A wake, then the late completion of the earlier sleep: the new delay stays held.
  logind.emit("b", 0);
  EXPECT_TRUE(didWake_.pop(20s));
  auto next = logind.inhibits.pop(20s);
  ASSERT_TRUE(next);
  (*done)();
  EXPECT_FALSE(closedWithin(next->readEnd, 300ms));
  close(next->readEnd);
}

TEST_F(SleepWatcherTest, SignalsOfTheWrongFormOrFromAnyoneElseAreIgnored) {
  PrivateBus bus(PrivateBus::Kind::system);
  FakeLogind logind(bus.address());
  ASSERT_TRUE(logind.registered());
  startWatcher(bus.address());
  auto held = logind.inhibits.pop(20s);
  ASSERT_TRUE(held);

  logind.emit("s", "true");
  logind.emit("bb", 1, 1);
  logind.emit("");
  pingFrom(logind.loop(), held->caller);
  // Another client of the bus, broadcasting and writing to the watcher directly.
  BusLoop rogue("fake.rogue", BusLoop::Kind::system, bus.address());
  onLoop(rogue, [&] {
    sd_bus_emit_signal(rogue.bus(), "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                       "PrepareForSleep", "b", 1);
    sd_bus_message *signal = nullptr;
    sd_bus_message_new_signal(rogue.bus(), &signal, "/org/freedesktop/login1",
                              "org.freedesktop.login1.Manager", "PrepareForSleep");
    sd_bus_message_set_destination(signal, held->caller.c_str());
    sd_bus_message_append(signal, "b", 1);
    sd_bus_send(rogue.bus(), signal, nullptr);
    sd_bus_message_unref(signal);
  });
  pingFrom(rogue, held->caller);
  onMain([] {});
  EXPECT_EQ(willSleep_.size(), 0u);
  EXPECT_TRUE(stillOpen(held->readEnd));

  logind.emit("b", 1);
  auto done = willSleep_.pop(20s);
  ASSERT_TRUE(done);
  EXPECT_EQ(willSleep_.size(), 0u);
  EXPECT_TRUE(stillOpen(held->readEnd));
  (*done)();
  EXPECT_TRUE(closedWithin(held->readEnd, 20s));
  close(held->readEnd);
}

TEST_F(SleepWatcherTest, NothingReachesTheOwnerAfterDestruction) {
  PrivateBus bus(PrivateBus::Kind::system);
  FakeLogind logind(bus.address());
  ASSERT_TRUE(logind.registered());
  startWatcher(bus.address());
  auto held = logind.inhibits.pop(20s);
  ASSERT_TRUE(held);
  logind.emit("b", 1);
  auto done = willSleep_.pop(20s);
  ASSERT_TRUE(done);

  onMain([this] { watcher_.reset(); });
  // Its delay went with it, and the completion it handed out is now harmless.
  EXPECT_TRUE(closedWithin(held->readEnd, 20s));
  close(held->readEnd);
  (*done)();
  logind.emit("b", 0);
  onMain([] {});
  EXPECT_EQ(didWake_.size(), 0u);
}

TEST_F(SleepWatcherTest, WithoutSystemBusOrLogindItSaysSoOnce) {
  {
    StderrTap tap;
    startWatcher("unix:path=/nonexistent/corvane-no-bus");
    EXPECT_EQ(count(tap.waitFor("not watched"), "Sleep and wake are not watched: no system bus"),
              1u);
    onMain([this] { watcher_.reset(); });
  }
  PrivateBus bus(PrivateBus::Kind::system);
  ASSERT_FALSE(bus.address().empty());
  {
    StderrTap tap;
    startWatcher(bus.address());
    EXPECT_EQ(count(tap.waitFor("not watched"), "not watched: logind is not running"), 1u);
    // logind starting later is asked for its delay and heard from.
    FakeLogind logind(bus.address());
    ASSERT_TRUE(logind.registered());
    auto held = logind.inhibits.pop(20s);
    ASSERT_TRUE(held);
    logind.emit("b", 1);
    auto done = willSleep_.pop(20s);
    ASSERT_TRUE(done);
    (*done)();
    EXPECT_TRUE(closedWithin(held->readEnd, 20s));
    close(held->readEnd);
    onMain([this] { watcher_.reset(); });
  }
  {
    // logind that refuses the delay: sleep and wake still reach the owner, the refusal is
    // logged once, and the refusal after waking is not logged again.
    FakeLogind logind(bus.address(), /*refuse=*/true);
    ASSERT_TRUE(logind.registered());
    StderrTap tap;
    startWatcher(bus.address());
    EXPECT_EQ(count(tap.waitFor("cannot wait"), "Sleep cannot wait"), 1u);
    logind.emit("b", 1);
    auto done = willSleep_.pop(20s);
    ASSERT_TRUE(done);
    (*done)();
    logind.emit("b", 0);
    EXPECT_TRUE(didWake_.pop(20s));
    onMain([this] { watcher_.reset(); });
    EXPECT_EQ(count(tap.waitFor("never", 0ms), "Sleep"), 1u);
  }
}

TEST(BusLoop, DelaysBecomeBoundedMicroseconds) {
  EXPECT_EQ(busMicroseconds(5.0), 5'000'000u);
  EXPECT_EQ(busMicroseconds(0.0015), 1'500u);
  EXPECT_EQ(busMicroseconds(-1), 0u);
  EXPECT_EQ(busMicroseconds(std::numeric_limits<double>::quiet_NaN()), 0u);
  const auto bound = busMicroseconds(1e300);
  EXPECT_EQ(busMicroseconds(std::numeric_limits<double>::infinity()), bound);
  EXPECT_GT(bound, busMicroseconds(3.0e9));
  EXPECT_LT(bound, std::numeric_limits<std::uint64_t>::max() / 2);
}

} // namespace
} // namespace corvane

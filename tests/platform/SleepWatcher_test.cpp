#include "brimvale/platform/BusLoop.h"
#include "brimvale/platform/SleepWatcher.h"
#include "tests/support/FakeLogind.h"
#include "tests/support/Inbox.h"
#include "tests/support/MainThread.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/StderrTap.h"

#include <chrono>
#include <gtest/gtest.h>
#include <limits>
#include <optional>
#include <systemd/sd-bus.h>

namespace corvane {
namespace {

using namespace std::chrono_literals;
using testing::closedWithin;
using testing::count;
using testing::eventually;
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
  void TearDown() override {
    onMain([this] { watcher_.reset(); });
  }

  template <typename Work> void onMain(Work work) { main_.sync(std::move(work)); }

  void startWatcher(std::optional<std::string> address, double releaseTimeout = 5.0) {
    onMain([&] {
      watcher_ = std::make_unique<SleepWatcher>(main_.queue(),
                                                SleepWatcher::Options{address, releaseTimeout});
      watcher_->onWillSleep = [this](SleepWatcher::Done done) { willSleep_.push(std::move(done)); };
      watcher_->onDidWake = [this] { didWake_.push(1); };
      watcher_->start();
    });
  }

  // logind on the private system bus and a watcher there; the delay it took, if any.
  std::optional<FakeLogind::Inhibit> watchWithLogind(double releaseTimeout = 5.0) {
    if (bus_.address().empty())
      return std::nullopt;
    logind_.emplace(bus_.address());
    if (!logind_->registered())
      return std::nullopt;
    startWatcher(bus_.address(), releaseTimeout);
    return logind_->inhibits.pop(eventually);
  }

  // The owner is told the machine will sleep; its completion.
  std::optional<SleepWatcher::Done> sleep() {
    logind_->emit("b", 1);
    return willSleep_.pop(eventually);
  }

  testing::MainThread main_;
  PrivateBus bus_{PrivateBus::Kind::system};
  std::optional<FakeLogind> logind_;
  std::unique_ptr<SleepWatcher> watcher_;
  Inbox<SleepWatcher::Done> willSleep_;
  Inbox<int> didWake_;
};

TEST_F(SleepWatcherTest, HoldsTheMachineAwakeUntilTheOwnerHasLetGo) {
  auto first = watchWithLogind();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->what, "sleep");
  EXPECT_EQ(first->who, "Corvane");
  EXPECT_FALSE(first->why.empty());
  EXPECT_EQ(first->mode, "delay");
  EXPECT_TRUE(stillOpen(first->readEnd));

  auto done = sleep();
  ASSERT_TRUE(done);
  // The owner has not let go yet: the delay still holds.
  EXPECT_FALSE(closedWithin(first->readEnd, 300ms));
  (*done)();
  EXPECT_TRUE(closedWithin(first->readEnd, eventually));
  (*done)(); // a second call changes nothing
  close(first->readEnd);

  logind_->emit("b", 0);
  EXPECT_TRUE(didWake_.pop(eventually));
  auto second = logind_->inhibits.pop(eventually);
  ASSERT_TRUE(second);
  EXPECT_TRUE(stillOpen(second->readEnd));

  // The next sleep works the same way with the new delay.
  done = sleep();
  ASSERT_TRUE(done);
  EXPECT_TRUE(stillOpen(second->readEnd));
  (*done)();
  EXPECT_TRUE(closedWithin(second->readEnd, eventually));
  close(second->readEnd);
}

TEST_F(SleepWatcherTest, AnOwnerThatNeverFinishesCannotKeepTheMachineAwake) {
  auto held = watchWithLogind(0.5);
  ASSERT_TRUE(held);
  auto done = sleep();
  ASSERT_TRUE(done);
  EXPECT_TRUE(closedWithin(held->readEnd, eventually));
  close(held->readEnd);

  // A wake, then the late completion of the earlier sleep: the new delay stays held.
  logind_->emit("b", 0);
  EXPECT_TRUE(didWake_.pop(eventually));
  auto next = logind_->inhibits.pop(eventually);
  ASSERT_TRUE(next);
  (*done)();
  EXPECT_FALSE(closedWithin(next->readEnd, 300ms));
  close(next->readEnd);
}

TEST_F(SleepWatcherTest, SignalsOfTheWrongFormOrFromAnyoneElseAreIgnored) {
  auto held = watchWithLogind();
  ASSERT_TRUE(held);

  logind_->emit("s", "true");
  logind_->emit("bb", 1, 1);
  logind_->emit("");
  pingFrom(logind_->loop(), held->caller);
  // Another client of the bus, broadcasting and writing to the watcher directly.
  BusLoop rogue("fake.rogue", BusLoop::Kind::system, bus_.address());
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

  auto done = sleep();
  ASSERT_TRUE(done);
  EXPECT_EQ(willSleep_.size(), 0u);
  EXPECT_TRUE(stillOpen(held->readEnd));
  (*done)();
  EXPECT_TRUE(closedWithin(held->readEnd, eventually));
  close(held->readEnd);
}

TEST_F(SleepWatcherTest, NothingReachesTheOwnerAfterDestruction) {
  auto held = watchWithLogind();
  ASSERT_TRUE(held);
  auto done = sleep();
  ASSERT_TRUE(done);

  onMain([this] { watcher_.reset(); });
  // Its delay went with it, and the completion it handed out is now harmless.
  EXPECT_TRUE(closedWithin(held->readEnd, eventually));
  close(held->readEnd);
  (*done)();
  logind_->emit("b", 0);
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
  ASSERT_FALSE(bus_.address().empty());
  {
    StderrTap tap;
    startWatcher(bus_.address());
    EXPECT_EQ(count(tap.waitFor("not watched"), "not watched: logind is not running"), 1u);
    // logind starting later is asked for its delay and heard from.
    logind_.emplace(bus_.address());
    ASSERT_TRUE(logind_->registered());
    auto held = logind_->inhibits.pop(eventually);
    ASSERT_TRUE(held);
    auto done = sleep();
    ASSERT_TRUE(done);
    (*done)();
    EXPECT_TRUE(closedWithin(held->readEnd, eventually));
    close(held->readEnd);
    onMain([this] { watcher_.reset(); });
    logind_.reset();
  }
  {
    // logind that refuses the delay: sleep and wake still reach the owner, the refusal is
    // logged once, and the refusal after waking is not logged again.
    logind_.emplace(bus_.address(), /*refuse=*/true);
    ASSERT_TRUE(logind_->registered());
    StderrTap tap;
    startWatcher(bus_.address());
    EXPECT_EQ(count(tap.waitFor("cannot wait"), "Sleep cannot wait"), 1u);
    auto done = sleep();
    ASSERT_TRUE(done);
    (*done)();
    logind_->emit("b", 0);
    EXPECT_TRUE(didWake_.pop(eventually));
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

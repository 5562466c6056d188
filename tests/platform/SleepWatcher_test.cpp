#include "brimvale/platform/AsioMainQueue.h"
#include "brimvale/platform/BusLoop.h"
#include "brimvale/platform/SleepWatcher.h"
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
using testing::count;
using testing::Inbox;
using testing::PrivateBus;
using testing::StderrTap;

// Runs `work` on `loop`'s thread and waits for it.
template <typename Work> auto onLoop(BusLoop &loop, Work work) {
  std::promise<decltype(work())> done;
  auto result = done.get_future();
  loop.post([&] {
    if constexpr (std::is_void_v<decltype(work())>) {
      work();
      done.set_value();
    } else {
      done.set_value(work());
    }
  });
  return result.get();
}

// True once `fd` reads end of file (every copy of its write end is closed).
bool closedWithin(int fd, std::chrono::milliseconds limit) {
  pollfd wait{fd, POLLIN, 0};
  if (poll(&wait, 1, static_cast<int>(limit.count())) <= 0)
    return false;
  char byte;
  return read(fd, &byte, 1) == 0;
}

bool stillOpen(int fd) {
  pollfd wait{fd, POLLIN, 0};
  return poll(&wait, 1, 0) == 0;
}

// logind as far as sleep goes: Inhibit hands out the write end of a pipe, whose read end the
// test watches, and PrepareForSleep is emitted on request.
class FakeLogind {
public:
  struct Inhibit {
    std::string what, who, why, mode, caller;
    int readEnd = -1;
  };

  FakeLogind(const std::string &address, bool refuse = false)
      : loop_("fake.logind", BusLoop::Kind::system, address), refuse_(refuse) {
    registered_ = onLoop(loop_, [this] {
      static const sd_bus_vtable vtable[] = {
          SD_BUS_VTABLE_START(0), SD_BUS_METHOD("Inhibit", "ssss", "h", &FakeLogind::inhibit, 0),
          SD_BUS_SIGNAL("PrepareForSleep", "b", 0), SD_BUS_VTABLE_END};
      return loop_.bus() != nullptr &&
             sd_bus_add_object_vtable(loop_.bus(), nullptr, "/org/freedesktop/login1",
                                      "org.freedesktop.login1.Manager", vtable, this) >= 0 &&
             sd_bus_request_name(loop_.bus(), "org.freedesktop.login1", 0) >= 0;
    });
  }

  ~FakeLogind() {
    while (auto call = inhibits.pop(0ms))
      close(call->readEnd);
  }

  bool registered() const { return registered_; }
  BusLoop &loop() { return loop_; }

  void emit(const char *signature, auto... values) {
    onLoop(loop_, [&] {
      sd_bus_emit_signal(loop_.bus(), "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                         "PrepareForSleep", signature, values...);
    });
  }

  Inbox<Inhibit> inhibits;

private:
  static int inhibit(sd_bus_message *call, void *userdata, sd_bus_error *error) {
    auto *self = static_cast<FakeLogind *>(userdata);
    const char *what, *who, *why, *mode;
    if (sd_bus_message_read(call, "ssss", &what, &who, &why, &mode) < 0)
      return -EINVAL;
    if (self->refuse_)
      return sd_bus_error_set(error, "org.freedesktop.DBus.Error.AccessDenied", "not today");
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
      return -errno;
    int result = sd_bus_reply_method_return(call, "h", ends[1]);
    close(ends[1]); // the reply carried its own copy
    self->inhibits.push({what, who, why, mode, sd_bus_message_get_sender(call), ends[0]});
    return result;
  }

  BusLoop loop_;
  bool refuse_;
  bool registered_ = false;
};

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

#include "brimvale/platform/BusLoop.h"

#include "brimvale/platform/Clock.h"
#include "brimvale/platform/Logger.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <pthread.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>
#include <unistd.h>

namespace corvane {

namespace {

struct Timer {
  std::function<void()> work;
  WorkItem item;
};

int timerFired(sd_event_source *source, std::uint64_t, void *userdata) {
  auto *timer = static_cast<Timer *>(userdata);
  if (!timer->item.isCancelled())
    timer->work();
  // One-shot: the loop's reference was the only one, and giving it back frees the source (the
  // destroy callback deletes the timer).
  sd_event_source_set_floating(source, 0);
  return 0;
}

void timerDestroyed(void *userdata) {
  delete static_cast<Timer *>(userdata);
}

int openBus(BusLoop::Kind kind, const std::optional<std::string> &address, sd_bus **bus) {
  if (!address)
    return kind == BusLoop::Kind::system ? sd_bus_open_system(bus) : sd_bus_open_user(bus);
  int result = sd_bus_new(bus);
  if (result < 0)
    return result;
  if ((result = sd_bus_set_address(*bus, address->c_str())) < 0 ||
      (result = sd_bus_set_bus_client(*bus, 1)) < 0 ||
      (result = sd_bus_negotiate_fds(*bus, 1)) < 0 || (result = sd_bus_start(*bus)) < 0) {
    *bus = sd_bus_unref(*bus);
    return result;
  }
  return 0;
}

} // namespace

std::uint64_t busMicroseconds(double seconds) {
  auto count = std::chrono::duration_cast<std::chrono::microseconds>(steadyDuration(seconds));
  return static_cast<std::uint64_t>(count.count());
}

BusLoop::BusLoop(std::string label, Kind kind, std::optional<std::string> address)
    : label_(std::move(label)), wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  thread_ = std::thread([this, kind, address = std::move(address)] { run(kind, address); });
}

BusLoop::~BusLoop() {
  {
    std::lock_guard guard(lock_);
    stopping_ = true;
  }
  std::uint64_t one = 1;
  if (wakeFd_ >= 0)
    (void)!write(wakeFd_, &one, sizeof one);
  if (thread_.joinable())
    thread_.join();
  if (wakeFd_ >= 0)
    close(wakeFd_);
}

void BusLoop::post(std::function<void()> work) {
  {
    std::lock_guard guard(lock_);
    if (stopping_)
      return;
    pending_.push_back(std::move(work));
  }
  std::uint64_t one = 1;
  (void)!write(wakeFd_, &one, sizeof one);
}

WorkItem BusLoop::postAfter(double seconds, std::function<void()> work) {
  WorkItem item = WorkItem::make();
  post([this, seconds, item, work = std::move(work)]() mutable {
    auto *timer = new Timer{std::move(work), item};
    sd_event_source *source = nullptr;
    if (sd_event_add_time_relative(event_, &source, CLOCK_MONOTONIC, busMicroseconds(seconds), 0,
                                   timerFired, timer) < 0) {
      delete timer;
      return;
    }
    sd_event_source_set_destroy_callback(source, timerDestroyed);
    // Owned by the loop until it fires or the loop ends.
    sd_event_source_set_floating(source, 1);
    sd_event_source_unref(source);
  });
  return item;
}

void BusLoop::drain() {
  std::uint64_t count = 0;
  (void)!read(wakeFd_, &count, sizeof count);
  for (;;) {
    std::function<void()> work;
    {
      std::lock_guard guard(lock_);
      if (stopping_) {
        sd_event_exit(event_, 0);
        return;
      }
      if (pending_.empty())
        return;
      work = std::move(pending_.front());
      pending_.pop_front();
    }
    work();
  }
}

void BusLoop::run(Kind kind, std::optional<std::string> address) {
  pthread_setname_np(pthread_self(), label_.substr(0, 15).c_str());
  auto woken = [](sd_event_source *, int, std::uint32_t, void *userdata) {
    static_cast<BusLoop *>(userdata)->drain();
    return 0;
  };
  if (wakeFd_ < 0 || sd_event_new(&event_) < 0 ||
      sd_event_add_io(event_, nullptr, wakeFd_, EPOLLIN, woken, this) < 0) {
    Logger::app().error(label_ + ": no event loop for the bus");
    event_ = sd_event_unref(event_);
    openError_ = -ENOMEM;
    return;
  }
  openError_ = openBus(kind, address, &bus_);
  if (openError_ == 0 && (openError_ = sd_bus_attach_event(bus_, event_, 0)) < 0)
    bus_ = sd_bus_close_unref(bus_);
  drain();
  sd_event_loop(event_);
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard guard(lock_);
    dropped.swap(pending_);
  }
  dropped.clear(); // outside the lock: what the work holds may post as it goes
  // Closed without flushing: a stuck peer must not hold up the owner's destruction.
  if (bus_ != nullptr) {
    sd_bus_detach_event(bus_);
    bus_ = sd_bus_close_unref(bus_);
  }
  event_ = sd_event_unref(event_);
}

} // namespace corvane

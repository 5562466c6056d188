#include "brimvale/platform/AsioMainQueue.h"

#include "brimvale/platform/Clock.h"

#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <memory>
#include <sys/timerfd.h>
#include <unistd.h>

namespace corvane {

namespace {

struct Repeater : std::enable_shared_from_this<Repeater> {
  Repeater(asio::io_context &context, std::chrono::steady_clock::duration interval,
           std::function<void()> work, WorkItem item)
      : timer(context), interval(interval), work(std::move(work)), item(std::move(item)) {}

  void arm() {
    // Measured from the previous deadline so that the period does not drift.
    timer.expires_at(timer.expiry() + interval);
    timer.async_wait([self = shared_from_this()](const std::error_code &error) {
      if (error || self->item.isCancelled())
        return;
      self->work();
      if (!self->item.isCancelled())
        self->arm();
    });
  }

  asio::steady_timer timer;
  std::chrono::steady_clock::duration interval;
  std::function<void()> work;
  WorkItem item;
};

} // namespace

void AsioMainQueue::post(std::function<void()> work) {
  asio::post(context_, [work = std::move(work)] { work(); });
}

WorkItem AsioMainQueue::postAfter(double seconds, std::function<void()> work) {
  WorkItem item = WorkItem::make();
  auto timer = std::make_shared<asio::steady_timer>(context_, steadyDuration(seconds));
  timer->async_wait([timer, item, work = std::move(work)](const std::error_code &error) {
    if (!error && !item.isCancelled())
      work();
  });
  return item;
}

WorkItem AsioMainQueue::repeating(double interval, std::function<void()> work) {
  WorkItem item = WorkItem::make();
  // A period of zero would spin the loop.
  auto period = std::max(steadyDuration(interval),
                         std::chrono::steady_clock::duration(std::chrono::milliseconds(1)));
  auto repeater = std::make_shared<Repeater>(context_, period, std::move(work), item);
  repeater->timer.expires_at(std::chrono::steady_clock::now());
  repeater->arm();
  return item;
}

WorkItem AsioMainQueue::postAfterContinuous(double seconds, std::function<void()> work) {
  const int fd = ::timerfd_create(CLOCK_BOOTTIME, TFD_NONBLOCK | TFD_CLOEXEC);
  if (fd < 0)
    return postAfter(seconds, std::move(work));
  // A zero expiry would disarm the timer; the shortest wait is one nanosecond.
  const auto delay = std::max(steadyDuration(seconds),
                              std::chrono::steady_clock::duration(std::chrono::nanoseconds(1)));
  const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(delay).count();
  itimerspec spec{};
  spec.it_value.tv_sec = static_cast<time_t>(nanoseconds / 1'000'000'000);
  spec.it_value.tv_nsec = static_cast<long>(nanoseconds % 1'000'000'000);
  if (::timerfd_settime(fd, 0, &spec, nullptr) != 0) {
    ::close(fd);
    return postAfter(seconds, std::move(work));
  }
  WorkItem item = WorkItem::make();
  auto descriptor = std::make_shared<asio::posix::stream_descriptor>(context_, fd);
  descriptor->async_wait(asio::posix::stream_descriptor::wait_read,
                         [descriptor, item, work = std::move(work)](const std::error_code &error) {
                           descriptor->close();
                           if (!error && !item.isCancelled())
                             work();
                         });
  return item;
}

bool AsioMainQueue::isCurrent() const {
  return context_.get_executor().running_in_this_thread();
}

} // namespace corvane

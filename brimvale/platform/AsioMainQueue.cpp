#include "brimvale/platform/AsioMainQueue.h"

#include "brimvale/platform/Clock.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <memory>

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

bool AsioMainQueue::isCurrent() const {
  return context_.get_executor().running_in_this_thread();
}

} // namespace corvane

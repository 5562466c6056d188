#include "brimvale/platform/SerialQueue.h"

#include "brimvale/platform/Clock.h"

#include <asio/error.hpp>
#include <asio/post.hpp>
#include <asio/ssl/error.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <mutex>
#include <openssl/crypto.h>
#include <pthread.h>
#include <vector>

namespace corvane {

namespace {

// A queue released by its own last handler detaches its thread, which may then still end after
// main returns. OpenSSL's exit-time clean-up would pull its per-thread state out from under such
// a thread, so the library is told to leave clean-up to each thread's own exit.
[[maybe_unused]] const bool openSslCleansUpPerThread =
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;

// Every queue thread of the process, so that none is still running handlers while the process
// runs its static destructors (error categories, OpenSSL, loggers): at exit every queue is
// stopped and its thread given a moment to leave. Deliberately never destroyed, because queues
// may be released during exit itself.
struct QueueThreads {
  std::mutex lock;
  std::condition_variable ended;
  int running = 0;
  std::vector<std::weak_ptr<asio::io_context>> contexts;

  static QueueThreads &shared() {
    static QueueThreads *threads = [] {
      auto *made = new QueueThreads;
      // The error categories are function-local statics, destroyed in the reverse order of
      // their making; made before the exit handler is registered, they outlive it.
      (void)std::system_category();
      (void)std::generic_category();
      (void)asio::error::get_netdb_category();
      (void)asio::error::get_addrinfo_category();
      (void)asio::error::get_misc_category();
      (void)asio::error::get_ssl_category();
      (void)asio::ssl::error::get_stream_category();
      std::atexit([] { shared().stopAll(); });
      return made;
    }();
    return *threads;
  }

  void started(const std::shared_ptr<asio::io_context> &context) {
    std::lock_guard guard(lock);
    ++running;
    std::erase_if(contexts, [](const auto &weak) { return weak.expired(); });
    contexts.push_back(context);
  }

  void finished() {
    {
      std::lock_guard guard(lock);
      --running;
    }
    ended.notify_all();
  }

  void stopAll() {
    std::unique_lock guard(lock);
    for (const auto &weak : contexts)
      if (auto context = weak.lock())
        context->stop();
    // Bounded: a handler that never returns must not keep the process from exiting.
    ended.wait_for(guard, std::chrono::seconds(3), [&] { return running == 0; });
  }
};

// The queue of this thread, set by the queue's first item.
thread_local std::weak_ptr<SerialQueue> currentQueue;

} // namespace

std::shared_ptr<SerialQueue> SerialQueue::create(std::string label) {
  auto queue = std::shared_ptr<SerialQueue>(new SerialQueue(std::move(label)));
  queue->post([weak = std::weak_ptr<SerialQueue>(queue)] { currentQueue = weak; });
  return queue;
}

std::shared_ptr<SerialQueue> SerialQueue::current() {
  return currentQueue.lock();
}

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), context_(std::make_shared<asio::io_context>(1)) {
  guard_ = std::make_unique<asio::executor_work_guard<asio::io_context::executor_type>>(
      context_->get_executor());
  QueueThreads::shared().started(context_);
  thread_ = std::thread([context = context_, name = label_.substr(0, 15)]() mutable {
    pthread_setname_np(pthread_self(), name.c_str());
    context->run();
    // When the queue was released by its own handler this is the last reference: drop the
    // connections still parked in it before this thread's OpenSSL state goes.
    context.reset();
    OPENSSL_thread_stop();
    QueueThreads::shared().finished();
  });
}

SerialQueue::~SerialQueue() {
  guard_.reset();
  context_->stop();
  if (thread_.get_id() == std::this_thread::get_id())
    thread_.detach(); // it ends on its own; the exit handler waits for it
  else if (thread_.joinable())
    thread_.join();
}

void SerialQueue::post(std::function<void()> work) {
  asio::post(*context_, [work = std::move(work)] { work(); });
}

WorkItem SerialQueue::postAfter(double seconds, std::function<void()> work) {
  auto timer = std::make_shared<asio::steady_timer>(*context_, steadyDuration(seconds));
  // Cancelled on this queue, the timer goes at once with what the work holds, instead of
  // waking the queue when it would have expired (a deadline per connection adds up). From
  // another thread the timer is not touched; it expires into nothing.
  WorkItem item = WorkItem::make([weakTimer = std::weak_ptr<asio::steady_timer>(timer),
                                  weakContext = std::weak_ptr<asio::io_context>(context_)] {
    auto context = weakContext.lock();
    if (!context || !context->get_executor().running_in_this_thread())
      return;
    if (auto timer = weakTimer.lock())
      timer->cancel();
  });
  timer->async_wait([timer, item, work = std::move(work)](const std::error_code &error) {
    if (!error && !item.isCancelled())
      work();
  });
  return item;
}

void SerialQueue::sync(const std::function<void()> &work) {
  // A queue stopped at exit runs nothing more; waiting for it would never end.
  if (isCurrent() || context_->stopped()) {
    work();
    return;
  }
  std::promise<void> done;
  auto finished = done.get_future();
  asio::post(*context_, [&] {
    work();
    done.set_value();
  });
  finished.wait();
}

bool SerialQueue::isCurrent() const {
  return context_->get_executor().running_in_this_thread();
}

} // namespace corvane

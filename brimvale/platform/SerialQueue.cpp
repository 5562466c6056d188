#include "brimvale/platform/SerialQueue.h"

#include "brimvale/platform/Clock.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
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

// Threads of queues that were released by their own last handler. They cannot join themselves,
// and left detached they could still be finishing while the process runs its static
// destructors (error categories, OpenSSL), so they are joined when the process exits. The list
// is deliberately never destroyed: a queue may be released during exit itself.
struct OrphanThreads {
  std::mutex lock;
  std::vector<std::thread> threads;
  bool exiting = false;

  static OrphanThreads &shared() {
    static OrphanThreads *orphans = [] {
      auto *made = new OrphanThreads;
      std::atexit([] { shared().joinAll(); });
      return made;
    }();
    return *orphans;
  }

  void adopt(std::thread thread) {
    std::lock_guard guard(lock);
    if (exiting) {
      thread.detach();
      return;
    }
    threads.push_back(std::move(thread));
  }

  void joinAll() {
    std::vector<std::thread> finishing;
    {
      std::lock_guard guard(lock);
      exiting = true;
      finishing.swap(threads);
    }
    for (auto &thread : finishing)
      if (thread.joinable() && thread.get_id() != std::this_thread::get_id())
        thread.join();
      else if (thread.joinable())
        thread.detach();
  }
};

} // namespace

std::shared_ptr<SerialQueue> SerialQueue::create(std::string label) {
  return std::shared_ptr<SerialQueue>(new SerialQueue(std::move(label)));
}

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), context_(std::make_shared<asio::io_context>(1)) {
  guard_ = std::make_unique<asio::executor_work_guard<asio::io_context::executor_type>>(
      context_->get_executor());
  thread_ = std::thread([context = context_, name = label_.substr(0, 15)]() mutable {
    pthread_setname_np(pthread_self(), name.c_str());
    context->run();
    // When the queue was released by its own handler this is the last reference: drop the
    // connections still parked in it before this thread's OpenSSL state goes.
    context.reset();
    OPENSSL_thread_stop();
  });
}

SerialQueue::~SerialQueue() {
  guard_.reset();
  context_->stop();
  if (thread_.get_id() == std::this_thread::get_id())
    OrphanThreads::shared().adopt(std::move(thread_));
  else if (thread_.joinable())
    thread_.join();
}

void SerialQueue::post(std::function<void()> work) {
  asio::post(*context_, [work = std::move(work)] { work(); });
}

WorkItem SerialQueue::postAfter(double seconds, std::function<void()> work) {
  WorkItem item = WorkItem::make();
  auto timer = std::make_shared<asio::steady_timer>(*context_, steadyDuration(seconds));
  timer->async_wait([timer, item, work = std::move(work)](const std::error_code &error) {
    if (!error && !item.isCancelled())
      work();
  });
  return item;
}

void SerialQueue::sync(const std::function<void()> &work) {
  if (isCurrent()) {
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

#pragma once

// The accepting half of the scripted far ends in the network tests.
#include "brimvale/platform/Connection.h"
#include "brimvale/platform/Listener.h"
#include "brimvale/platform/SerialQueue.h"
#include "tests/support/Wait.h"

#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace corvane::testing {

// A listener on 127.0.0.1 whose connections run on `queue`. Each connection is shown to
// `accepted` when it arrives and to `ready` once it is ready, each once and on the queue. The
// constructor returns once the listener listens. Going away cancels the listener and every
// connection and lets their last handlers run, so declare it after whatever those use.
class ScriptedListener {
public:
  using Handler = std::function<void(const std::shared_ptr<Connection> &)>;

  ScriptedListener(std::shared_ptr<SerialQueue> queue, Parameters parameters, Handler ready,
                   Handler accepted = {})
      : queue_(std::move(queue)) {
    parameters.requiredLocalEndpoint = Endpoint::hostPort(Endpoint::Host::loopbackIPv4(), 0);
    listener_ = Listener::create(parameters, std::nullopt).value();
    auto listening = std::make_shared<std::promise<void>>();
    auto listened = listening->get_future();
    listener_->setStateHandler([listening, done = false](const Listener::State &state) mutable {
      if (state.kind == Listener::State::Kind::ready && !done) {
        done = true;
        listening->set_value();
      }
    });
    listener_->setNewConnectionHandler(
        [this, ready = std::move(ready),
         accepted = std::move(accepted)](std::shared_ptr<Connection> connection) {
          accepted_.push_back(connection);
          if (accepted)
            accepted(connection);
          std::weak_ptr<Connection> weak = connection;
          connection->setStateHandler([weak, ready, started = false](auto &state) mutable {
            auto connection = weak.lock();
            if (!connection || state.kind != Connection::State::Kind::ready || started)
              return;
            started = true;
            ready(connection);
          });
          connection->start(queue_);
        });
    listener_->start(queue_);
    EXPECT_EQ(listened.wait_for(eventually), std::future_status::ready);
  }

  ~ScriptedListener() {
    queue_->sync([this] {
      listener_->cancel();
      for (auto &connection : accepted_)
        connection->cancel();
    });
    // Cancelling completes the pending reads on the queue; let them run while we exist.
    for (int i = 0; i < 3; ++i)
      queue_->sync([] {});
  }

  ScriptedListener(const ScriptedListener &) = delete;
  ScriptedListener &operator=(const ScriptedListener &) = delete;

  Endpoint endpoint() const {
    return Endpoint::hostPort(Endpoint::Host::loopbackIPv4(), listener_->port().value());
  }

  std::size_t acceptedCount() {
    std::size_t count = 0;
    queue_->sync([&] { count = accepted_.size(); });
    return count;
  }

private:
  std::shared_ptr<SerialQueue> queue_;
  std::shared_ptr<Listener> listener_;
  std::vector<std::shared_ptr<Connection>> accepted_; // on the queue
};

} // namespace corvane::testing

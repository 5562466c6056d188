#include "brimvale/foundation/SecureChannel.h"
#include "brimvale/platform/Connection.h"
#include "brimvale/platform/Listener.h"
#include "brimvale/platform/SerialQueue.h"
#include "tests/support/Wait.h"

#include <atomic>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

using namespace corvane;
using namespace std::chrono_literals;
using corvane::testing::eventually;
using corvane::testing::waitUntil;

namespace {

const std::string clientID = "0123456789abcdef";
const PairKeys pairKeys{Bytes(32, 0x11), Bytes(32, 0x22)};

// Connections keep their queue alive and finish closing on it; drop the queue only once they
// are gone, so its thread is joined rather than left running past the test.
void release(std::shared_ptr<SerialQueue> &queue) {
  EXPECT_TRUE(waitUntil([&] { return queue.use_count() == 1; }))
      << queue->label() << " still in use";
  queue.reset();
}

// A gateway written for each test: a TLS-PSK listener on 127.0.0.1 that runs `script` on
// the gateway queue once an accepted connection is ready.
class ScriptedGateway {
public:
  using Script = std::function<void(const std::shared_ptr<Connection> &)>;

  explicit ScriptedGateway(Script script, Bytes key = pairKeys.psk) {
    auto parameters =
        SecureChannel::secureParameters({{clientID, key}}, {SecureChannel::cipherSuites.begin(),
                                                            SecureChannel::cipherSuites.end()});
    parameters.requiredLocalEndpoint = Endpoint::hostPort(Endpoint::Host::loopbackIPv4(), 0);
    listener_ = Listener::create(parameters, std::nullopt).value();
    auto ready = std::make_shared<std::promise<void>>();
    auto readyFuture = ready->get_future();
    listener_->setStateHandler([ready](const Listener::State &state) {
      if (state.kind == Listener::State::Kind::ready)
        ready->set_value();
    });
    listener_->setNewConnectionHandler([this, script](std::shared_ptr<Connection> connection) {
      accepted_.push_back(connection);
      std::weak_ptr<Connection> weak = connection;
      connection->setStateHandler([this, weak, script, started = false](auto &state) mutable {
        auto connection = weak.lock();
        if (connection && state.kind == Connection::State::Kind::ready && !started) {
          started = true;
          script(connection);
        }
        if ((state.kind == Connection::State::Kind::failed ||
             state.kind == Connection::State::Kind::cancelled) &&
            onEnded)
          onEnded();
      });
      connection->start(queue_);
    });
    listener_->start(queue_);
    EXPECT_EQ(readyFuture.wait_for(eventually), std::future_status::ready);
  }

  ~ScriptedGateway() {
    queue_->sync([this] {
      listener_->cancel();
      for (auto &connection : accepted_)
        connection->cancel();
    });
    accepted_.clear();
    listener_.reset();
    release(queue_);
  }

  Endpoint endpoint() const {
    return Endpoint::hostPort(Endpoint::Host::loopbackIPv4(), listener_->port().value());
  }

  const std::shared_ptr<SerialQueue> &queue() const { return queue_; }

  // Called on the gateway queue when an accepted connection fails or is cancelled; set it
  // on that queue.
  std::function<void()> onEnded;

private:
  std::shared_ptr<SerialQueue> queue_ = SerialQueue::create("test.gateway");
  std::shared_ptr<Listener> listener_;
  std::vector<std::shared_ptr<Connection>> accepted_;
};

Frame challengeWith(std::size_t nonceLength) {
  Frame frame;
  frame.kind = Frame::Kind::challenge;
  frame.nonce = Bytes(nonceLength, 0x5a);
  return frame;
}

// The gateway's usual opening: a challenge, then the hello handed to `onHello`.
ScriptedGateway::Script challengeThen(
    std::function<void(const std::shared_ptr<Connection> &, std::expected<Frame, ChannelError>)>
        onHello) {
  return [onHello](const std::shared_ptr<Connection> &connection) {
    (void)sendFrame(connection, challengeWith(32));
    receiveFrame(connection, [connection, onHello](std::expected<Frame, ChannelError> hello) {
      onHello(connection, std::move(hello));
    });
  };
}

Frame resultFrame(std::optional<bool> ok, std::optional<std::string> error) {
  Frame frame;
  frame.kind = Frame::Kind::result;
  frame.ok = ok;
  frame.error = std::move(error);
  return frame;
}

using OpenResult = std::expected<std::shared_ptr<Connection>, ChannelError>;

class SecureChannelTest : public ::testing::Test {
protected:
  OpenResult open(const Endpoint &endpoint, Frame::Mode mode,
                  std::optional<std::string> serviceID = std::nullopt, double timeout = 5.0) {
    auto promise = std::make_shared<std::promise<OpenResult>>();
    auto future = promise->get_future();
    SecureChannel::openClient(
        endpoint, pairKeys, clientID, mode, serviceID, queue_,
        [this, promise](OpenResult result) {
          EXPECT_TRUE(queue_->isCurrent());
          promise->set_value(std::move(result));
        },
        timeout);
    if (future.wait_for(eventually) != std::future_status::ready) {
      ADD_FAILURE() << "handshake never completed";
      return std::unexpected(ChannelError{WireError::closed()});
    }
    auto result = future.get();
    if (result)
      opened_.push_back(*result);
    return result;
  }

  void TearDown() override {
    for (auto &connection : opened_)
      connection->cancel();
    opened_.clear();
    release(queue_);
  }

  static bool isWire(const OpenResult &result, const WireError &expected) {
    if (result)
      return false;
    const auto *wire = std::get_if<WireError>(&result.error());
    return wire && *wire == expected;
  }

  std::shared_ptr<SerialQueue> queue_ = SerialQueue::create("test.links");
  std::vector<std::shared_ptr<Connection>> opened_;
};

} // namespace

TEST(SecureParameters, OfferTheKeysAndSuitesInOrderOverTls12) {
  auto parameters =
      SecureChannel::secureParameters({{"a", Bytes(32, 1)}, {"b", Bytes(32, 2)}}, {0xCCAC, 0x00A9});
  ASSERT_TRUE(parameters.tls);
  ASSERT_EQ(parameters.tls->keys.size(), 2u);
  EXPECT_EQ(parameters.tls->keys[0].identity, "a");
  EXPECT_EQ(parameters.tls->keys[1].key, Bytes(32, 2));
  EXPECT_EQ(parameters.tls->cipherSuites, (std::vector<std::uint16_t>{0xCCAC, 0x00A9}));
  EXPECT_EQ(parameters.tls->minimumVersion, 0x0303);
  EXPECT_TRUE(parameters.keepAlive);
  EXPECT_EQ(parameters.keepAliveIdle, 30);
  EXPECT_TRUE(parameters.noDelay);
}

TEST_F(SecureChannelTest, GatewayWithoutChallengeTimesOutAndIsCancelled) {
  auto gatewaySawEnd = std::make_shared<std::promise<void>>();
  auto once = std::make_shared<std::once_flag>();
  auto sawEnd = [gatewaySawEnd, once] {
    std::call_once(*once, [&] { gatewaySawEnd->set_value(); });
  };
  ScriptedGateway gateway([sawEnd](const std::shared_ptr<Connection> &connection) {
    connection->receive(1, 1, [sawEnd](Bytes, bool, std::optional<NetworkError>) { sawEnd(); });
  });
  // On a loaded machine the time-out may strike during the TLS handshake, before the script
  // runs; the gateway then sees the end as its connection failing.
  gateway.queue()->sync([&] { gateway.onEnded = sawEnd; });
  auto result = open(gateway.endpoint(), Frame::Mode::control, std::nullopt, 0.2);
  EXPECT_TRUE(isWire(result, WireError::timeout()));
  EXPECT_EQ(gatewaySawEnd->get_future().wait_for(eventually), std::future_status::ready);
}

TEST_F(SecureChannelTest, ChallengeWithWrongNonceLengthIsUnexpected) {
  for (std::size_t length : {31u, 33u}) {
    ScriptedGateway gateway([length](const std::shared_ptr<Connection> &connection) {
      (void)sendFrame(connection, challengeWith(length));
    });
    EXPECT_TRUE(isWire(open(gateway.endpoint(), Frame::Mode::control), WireError::unexpected()))
        << length;
  }

  ScriptedGateway wrongKind([](const std::shared_ptr<Connection> &connection) {
    Frame frame = challengeWith(32);
    frame.kind = Frame::Kind::ping;
    (void)sendFrame(connection, frame);
  });
  EXPECT_TRUE(isWire(open(wrongKind.endpoint(), Frame::Mode::control), WireError::unexpected()));
}

TEST_F(SecureChannelTest, ControlModeSucceedsRightAfterAProvenHello) {
  auto hello = std::make_shared<std::promise<std::expected<Frame, ChannelError>>>();
  ScriptedGateway gateway(challengeThen([hello](auto &, auto frame) { hello->set_value(frame); }));

  auto result = open(gateway.endpoint(), Frame::Mode::control);
  ASSERT_TRUE(result) << describe(result.error());
  EXPECT_EQ((*result)->negotiatedCipherSuite(), SecureChannel::ecdhePskWithChaCha20Poly1305Sha256);

  auto frame = hello->get_future().get();
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->kind, Frame::Kind::hello);
  EXPECT_EQ(frame->deviceID, clientID);
  EXPECT_EQ(frame->mode, Frame::Mode::control);
  EXPECT_FALSE(frame->serviceID.has_value());
  ASSERT_TRUE(frame->mac);
  EXPECT_TRUE(verifyHello(*frame->mac, Bytes(32, 0x5a), clientID, pairKeys));
}

TEST_F(SecureChannelTest, OpenModeFollowsTheGatewaysVerdict) {
  struct Case {
    std::optional<bool> ok;
    std::optional<std::string> error;
    std::optional<WireError> expected;
  };
  const Case cases[] = {
      {false, std::nullopt, WireError::rejected("refused")},
      {std::nullopt, std::nullopt, WireError::rejected("refused")},
      {false, "not shared", WireError::rejected("not shared")},
      {true, std::nullopt, std::nullopt},
  };
  for (const auto &c : cases) {
    auto serviceID = std::make_shared<std::promise<std::optional<std::string>>>();
    ScriptedGateway gateway(challengeThen([c, serviceID](auto &connection, auto hello) {
      serviceID->set_value(hello ? hello->serviceID : std::nullopt);
      (void)sendFrame(connection, resultFrame(c.ok, c.error));
      if (c.ok == true)
        connection->send(bytesOf("raw"));
    }));
    auto result = open(gateway.endpoint(), Frame::Mode::open, "B2");
    EXPECT_EQ(serviceID->get_future().get(), "B2");
    if (c.expected) {
      EXPECT_TRUE(isWire(result, *c.expected)) << c.expected->description();
      continue;
    }
    ASSERT_TRUE(result) << describe(result.error());
    // The stream is handed over untouched: raw bytes follow the verdict.
    auto raw = std::make_shared<std::promise<Bytes>>();
    (*result)->receive(
        3, 3, [raw](Bytes data, bool, std::optional<NetworkError>) { raw->set_value(data); });
    auto future = raw->get_future();
    ASSERT_EQ(future.wait_for(eventually), std::future_status::ready);
    EXPECT_EQ(future.get(), bytesOf("raw"));
  }
}

TEST_F(SecureChannelTest, KeyMismatchFailsWithTheNetworkError) {
  ScriptedGateway gateway([](auto &) {}, Bytes(32, 0x99));
  auto result = open(gateway.endpoint(), Frame::Mode::control);
  ASSERT_FALSE(result);
  EXPECT_TRUE(std::holds_alternative<NetworkError>(result.error())) << describe(result.error());
}

TEST_F(SecureChannelTest, TimeoutRacingALateVerdictCompletesOnce) {
  constexpr double timeout = 0.1;
  for (double delay : {0.07, 0.09, 0.1, 0.11, 0.13}) {
    ScriptedGateway gateway(challengeThen([delay](auto &connection, auto) {
      connection->queue()->postAfter(
          delay, [connection] { (void)sendFrame(connection, resultFrame(true, std::nullopt)); });
    }));
    auto calls = std::make_shared<std::atomic<int>>(0);
    auto first = std::make_shared<std::promise<OpenResult>>();
    SecureChannel::openClient(
        gateway.endpoint(), pairKeys, clientID, Frame::Mode::open, "B2", queue_,
        [calls, first](OpenResult result) {
          if (calls->fetch_add(1) == 0)
            first->set_value(std::move(result));
        },
        timeout);
    auto future = first->get_future();
    ASSERT_EQ(future.wait_for(eventually), std::future_status::ready);
    auto result = future.get();
    EXPECT_TRUE(result || isWire(result, WireError::timeout()));
    if (result)
      opened_.push_back(*result);
    std::this_thread::sleep_for(200ms);
    queue_->sync([] {});
    EXPECT_EQ(calls->load(), 1) << delay;
  }
}

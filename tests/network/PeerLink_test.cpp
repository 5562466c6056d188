#include "brimvale/foundation/SecureChannel.h"
#include "brimvale/network/PeerLink.h"
#include "brimvale/platform/Connection.h"
#include "brimvale/platform/Listener.h"
#include "brimvale/platform/QueueContract.h"
#include "brimvale/platform/SerialQueue.h"
#include "tests/network/ScriptedListener.h"
#include "tests/support/Inbox.h"
#include "tests/support/StderrTap.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

namespace corvane {
namespace {

using namespace std::chrono_literals;
using corvane::testing::eventually;
using Clock = std::chrono::steady_clock;

const std::string myID = "0123456789abcdef";
const PairedPeer remotePeer{"fedcba9876543210", "Studio", Bytes(32, 0x07), 0};
const PairKeys pairKeys{Bytes(32, 0x11), Bytes(32, 0x22)};

using testing::Inbox;

Frame frameOf(Frame::Kind kind) {
  Frame frame;
  frame.kind = kind;
  return frame;
}

// The far side of a link: a TLS-PSK listener on 127.0.0.1 that sends the challenge, takes
// the hello, then hands the connection to the test and records every frame it reads. With
// `plain` it speaks bare TCP and closes at once, so every handshake fails.
class ScriptedGateway {
public:
  explicit ScriptedGateway(bool plain = false)
      : listener_(
            queue,
            plain ? Parameters::tcp()
                  : SecureChannel::secureParameters(
                        {{myID, pairKeys.psk}},
                        {SecureChannel::cipherSuites.begin(), SecureChannel::cipherSuites.end()}),
            [this, plain](const std::shared_ptr<Connection> &connection) {
              if (plain)
                connection->cancel();
              else if (holding_)
                held_ = connection;
              else
                sendChallenge(connection);
            },
            [this](const std::shared_ptr<Connection> &) { acceptTimes.push(Clock::now()); }) {}

  Endpoint endpoint() const { return listener_.endpoint(); }

  // Keeps the challenge back until releaseChallenge(), so the client's handshake hangs.
  void holdChallenge() {
    queue->sync([this] { holding_ = true; });
  }
  void releaseChallenge() {
    queue->sync([this] {
      holding_ = false;
      if (held_)
        sendChallenge(held_);
    });
  }

  void send(const std::shared_ptr<Connection> &connection, const Frame &frame) {
    queue->sync([&] { (void)sendFrame(connection, frame); });
  }

  std::size_t acceptedCount() { return listener_.acceptedCount(); }

  Inbox<Clock::time_point> acceptTimes;
  Inbox<std::shared_ptr<Connection>> connections; // after a valid hello
  Inbox<Frame> frames;                            // read after the hello
  Inbox<bool> ended;                              // a connection's read failed

private:
  void sendChallenge(const std::shared_ptr<Connection> &connection) {
    Frame challenge = frameOf(Frame::Kind::challenge);
    challenge.nonce = Bytes(32, 0x5a);
    (void)sendFrame(connection, challenge);
    receiveFrame(connection, [this, connection](std::expected<Frame, ChannelError> hello) {
      if (!hello || hello->kind != Frame::Kind::hello || hello->mode != Frame::Mode::control ||
          !verifyHello(hello->mac.value_or(Bytes{}), Bytes(32, 0x5a), myID, pairKeys)) {
        connection->cancel();
        return;
      }
      connections.push(connection);
      readAll(connection);
    });
  }

  void readAll(const std::shared_ptr<Connection> &connection) {
    receiveFrame(connection, [this, connection](std::expected<Frame, ChannelError> frame) {
      if (!frame) {
        ended.push(true);
        return;
      }
      frames.push(*frame);
      readAll(connection);
    });
  }

  bool holding_ = false;
  std::shared_ptr<Connection> held_;

public:
  // After what the handlers touch, so that its thread ends before that goes away.
  std::shared_ptr<SerialQueue> queue = SerialQueue::create("test.gateway");

private:
  // Last: it is made with the queue and goes first, cancelling what it accepted.
  testing::ScriptedListener listener_;
};

struct ServicesEvent {
  std::vector<SharedServiceInfo> services;
  std::vector<std::string> hardware;
  std::optional<std::string> name;
};

class PeerLinkTest : public ::testing::Test {
protected:
  std::shared_ptr<PeerLink> makeLink(const Endpoint &endpoint, PeerLink::Options options = fast(),
                                     bool keep = true) {
    auto link = PeerLink::create(remotePeer, endpoint, pairKeys, myID, queue_, options);
    if (keep)
      links_.push_back(link);
    link->setOnServices([this](auto services, auto hardware, auto name) {
      EXPECT_TRUE(queue_->isCurrent());
      services_.push({std::move(services), std::move(hardware), std::move(name)});
    });
    link->setOnLatency([this](double seconds) { latencies_.push(seconds); });
    link->setOnSecurity([this](bool forward) { security_.push(forward); });
    link->setOnDisconnect([this] { disconnects_.push(true); });
    link->setOnUnpaired([this] { unpaired_.push(true); });
    link->setOnSilence([this] {
      EXPECT_TRUE(queue_->isCurrent());
      silences_.push(Clock::now());
    });
    return link;
  }

  static PeerLink::Options fast() {
    PeerLink::Options options;
    options.pingInterval = 0.05;
    options.quietLimit = 1.0;
    options.reconnectStep = 0.05;
    options.reconnectCap = 0.2;
    options.handshakeTimeout = 5.0;
    return options;
  }

  void onQueue(const std::function<void()> &work) { queue_->sync(work); }

  // Stopped links call nothing more, so the inboxes may go after this.
  void TearDown() override {
    onQueue([&] {
      for (auto &link : links_)
        link->stop();
      links_.clear();
    });
  }

  std::vector<std::shared_ptr<PeerLink>> links_;
  Inbox<ServicesEvent> services_;
  Inbox<double> latencies_;
  Inbox<bool> security_;
  Inbox<bool> disconnects_;
  Inbox<bool> unpaired_;
  // When each silence was reported, on the link queue: a stalled test thread cannot make one
  // look late or early.
  Inbox<Clock::time_point> silences_;
  // Last, so that its thread ends before the inboxes go.
  std::shared_ptr<SerialQueue> queue_ = SerialQueue::create("corvane.links");
};

TEST(PeerLinkPause, GrowsByTwoSecondsAndStopsAtThirty) {
  PeerLink::Options options;
  std::vector<double> pauses;
  for (int attempt = 1; attempt <= 5; ++attempt)
    pauses.push_back(PeerLink::reconnectPause(attempt, options));
  EXPECT_EQ(pauses, (std::vector<double>{2, 4, 6, 8, 10}));
  EXPECT_EQ(PeerLink::reconnectPause(14, options), 28);
  EXPECT_EQ(PeerLink::reconnectPause(15, options), 30);
  EXPECT_EQ(PeerLink::reconnectPause(1000, options), 30);
}

TEST_F(PeerLinkTest, OperationsOffTheLinkQueueStopTheProgram) {
  if (!queueContractsChecked())
    GTEST_SKIP() << "queue contracts are checked in the sanitizer build";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ScriptedGateway gateway;
  auto link = makeLink(gateway.endpoint());
  EXPECT_DEATH(link->start(), "PeerLink: every operation on the link queue");
  EXPECT_DEATH(link->updateEndpoint(gateway.endpoint(), true), "on the link queue");
}

TEST_F(PeerLinkTest, PingsAtOnceMeasuresOnePongAndPassesServicesOn) {
  ScriptedGateway gateway;
  auto options = fast();
  options.pingInterval = 60; // one ping only
  auto link = makeLink(gateway.endpoint(), options);
  onQueue([&] { link->start(); });

  auto far = gateway.connections.pop();
  ASSERT_TRUE(far);
  // The first frame after the hello is a bare ping, before any services frame.
  EXPECT_EQ(gateway.frames.pop(), std::optional<Frame>(frameOf(Frame::Kind::ping)));
  EXPECT_EQ(security_.pop(), std::optional<bool>(true));

  // Only the first pong answers an outstanding ping.
  gateway.send(*far, frameOf(Frame::Kind::pong));
  gateway.send(*far, frameOf(Frame::Kind::pong));
  gateway.send(*far, frameOf(Frame::Kind::services));
  auto bare = services_.pop();
  ASSERT_TRUE(bare);
  EXPECT_TRUE(bare->services.empty());
  EXPECT_TRUE(bare->hardware.empty());
  EXPECT_FALSE(bare->name);
  ASSERT_EQ(latencies_.size(), 1u);
  auto latency = latencies_.pop();
  EXPECT_GE(*latency, 0.0);
  EXPECT_LT(*latency, 5.0);

  Frame full = frameOf(Frame::Kind::services);
  SharedServiceInfo info;
  info.id = "A1";
  info.name = "Postgres";
  info.port = 5432;
  info.running = true;
  info.category = "Database";
  full.services = std::vector{info};
  full.hardware = std::vector<std::string>{"aa:bb:cc:dd:ee:ff"};
  full.name = "Studio";
  gateway.send(*far, full);
  auto announced = services_.pop();
  ASSERT_TRUE(announced);
  EXPECT_EQ(announced->services, std::vector{info});
  EXPECT_EQ(announced->hardware, std::vector<std::string>{"aa:bb:cc:dd:ee:ff"});
  EXPECT_EQ(announced->name, std::optional<std::string>("Studio"));
  EXPECT_EQ(disconnects_.size(), 0u);
}

TEST_F(PeerLinkTest, FailedHandshakesWaitLongerEachTimeUpToTheCap) {
  ScriptedGateway gateway(/*plain=*/true);
  auto options = fast();
  options.reconnectStep = 0.1;
  options.reconnectCap = 0.3;
  auto link = makeLink(gateway.endpoint(), options);
  onQueue([&] { link->start(); });

  std::vector<Clock::time_point> times;
  for (int i = 0; i < 5; ++i) {
    auto time = gateway.acceptTimes.pop();
    ASSERT_TRUE(time);
    times.push_back(*time);
  }
  const double expected[] = {0.1, 0.2, 0.3, 0.3};
  for (int i = 0; i < 4; ++i) {
    double gap = std::chrono::duration<double>(times[i + 1] - times[i]).count();
    EXPECT_GE(gap, expected[i] - 0.01) << "pause " << i + 1;
    EXPECT_LT(gap, expected[i] + 2.0) << "pause " << i + 1;
  }
  // A handshake that never succeeded is no disconnect.
  EXPECT_EQ(disconnects_.size(), 0u);
}

TEST_F(PeerLinkTest, AListOverTheFrameLimitIsLoggedOnceAndItsReconnectsWaitLonger) {
  ScriptedGateway gateway;
  auto options = fast();
  options.reconnectStep = 0.1;
  testing::StderrTap log;
  auto link = makeLink(gateway.endpoint(), options);
  onQueue([&] { link->start(); });
  std::vector<Clock::time_point> accepted;
  for (int i = 0; i < 4; ++i) {
    auto far = gateway.connections.pop();
    ASSERT_TRUE(far);
    accepted.push_back(*gateway.acceptTimes.pop());
    // A good list first must not make the refused one after it a fresh start of the pauses;
    // for the log it is a recovery, so that refusal is logged again.
    if (i == 2)
      gateway.send(*far, frameOf(Frame::Kind::services));
    gateway.queue->sync([&] { (*far)->send({0x00, 0x08, 0x4c, 0xe0}); }); // 544 000 bytes
  }
  ASSERT_TRUE(gateway.connections.pop());
  EXPECT_GE(std::chrono::duration<double>(accepted[3] - accepted[2]).count(), 0.19);
  const std::string why = "Link to Studio: its share list is larger than 65536 bytes";
  EXPECT_EQ(testing::count(log.waitFor(why, 200ms, 3), why), 2u);
}

TEST_F(PeerLinkTest, AnEmptyFrameIsLoggedAsWhatItIs) {
  ScriptedGateway gateway;
  testing::StderrTap log;
  auto link = makeLink(gateway.endpoint());
  onQueue([&] { link->start(); });
  auto far = gateway.connections.pop();
  ASSERT_TRUE(far);
  gateway.queue->sync([&] { (*far)->send({0x00, 0x00, 0x00, 0x00}); });
  const std::string why = "Link to Studio: it sent an empty frame";
  const std::string seen = log.waitFor(why, testing::eventually);
  EXPECT_EQ(testing::count(seen, why), 1u) << seen;
  EXPECT_EQ(testing::count(seen, "larger than"), 0u) << seen;
}

TEST_F(PeerLinkTest, SameEndpointChangesNothingEvenWhenForced) {
  ScriptedGateway gateway;
  auto link = makeLink(gateway.endpoint());
  onQueue([&] { link->start(); });
  auto far = gateway.connections.pop();
  ASSERT_TRUE(far);
  gateway.send(*far, frameOf(Frame::Kind::services));
  ASSERT_TRUE(services_.pop());

  onQueue([&] {
    link->updateEndpoint(gateway.endpoint(), false);
    link->updateEndpoint(gateway.endpoint(), true);
  });
  gateway.send(*far, frameOf(Frame::Kind::services));
  ASSERT_TRUE(services_.pop());
  EXPECT_EQ(disconnects_.size(), 0u);
  EXPECT_EQ(gateway.acceptedCount(), 1u);
}

TEST_F(PeerLinkTest, NewEndpointKeepsAHealthyLinkUntilItGoesQuiet) {
  ScriptedGateway first;
  ScriptedGateway second;
  auto options = fast();
  options.quietLimit = 0.5;
  auto link = makeLink(first.endpoint(), options);
  onQueue([&] { link->start(); });
  auto far = first.connections.pop();
  ASSERT_TRUE(far);
  ASSERT_TRUE(first.frames.pop()); // the first ping
  first.send(*far, frameOf(Frame::Kind::pong));
  first.send(*far, frameOf(Frame::Kind::services));
  ASSERT_TRUE(services_.pop());

  auto moved = Clock::now();
  onQueue([&] { link->updateEndpoint(second.endpoint(), false); });
  // Later pings go unanswered; the first tick past the limit ends the kept connection.
  EXPECT_TRUE(disconnects_.pop());
  EXPECT_GE(std::chrono::duration<double>(Clock::now() - moved).count(), 0.4);
  EXPECT_TRUE(first.ended.pop());
  auto far2 = second.connections.pop();
  ASSERT_TRUE(far2);
  EXPECT_EQ(first.acceptedCount(), 1u);

  // Forced: a healthy connection is dropped at once.
  ASSERT_TRUE(second.frames.pop());
  second.send(*far2, frameOf(Frame::Kind::pong));
  second.send(*far2, frameOf(Frame::Kind::services));
  ASSERT_TRUE(services_.pop());
  onQueue([&] { link->updateEndpoint(first.endpoint(), true); });
  EXPECT_TRUE(disconnects_.pop());
  EXPECT_TRUE(first.connections.pop());
}

double secondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

TEST_F(PeerLinkTest, AMachineThatStopsAnsweringIsReportedOnceAfterTheLimitAndAnAnswerRearmsIt) {
  ScriptedGateway gateway;
  auto options = fast();
  options.silenceLimit = 0.5;
  auto link = makeLink(gateway.endpoint(), options);
  const auto started = Clock::now();
  onQueue([&] { link->start(); });
  auto far = gateway.connections.pop();
  ASSERT_TRUE(far);
  ASSERT_TRUE(gateway.frames.pop()); // the ping, never answered

  auto silent = silences_.pop();
  ASSERT_TRUE(silent);
  EXPECT_GE(secondsBetween(started, *silent), options.silenceLimit);
  // Once per silence, however long it lasts.
  EXPECT_FALSE(silences_.pop(3 * std::chrono::milliseconds(500)));

  const auto answered = Clock::now();
  gateway.send(*far, frameOf(Frame::Kind::pong));
  ASSERT_TRUE(latencies_.pop());
  silent = silences_.pop();
  ASSERT_TRUE(silent);
  EXPECT_GE(secondsBetween(answered, *silent), options.silenceLimit);
  // The unanswered pings cancel nothing on a connection that outlived no address change.
  EXPECT_EQ(disconnects_.size(), 0u);
  EXPECT_EQ(gateway.ended.size(), 0u);
  EXPECT_EQ(gateway.acceptedCount(), 1u);
}

TEST_F(PeerLinkTest, AMachineThatVanishesWhileTheLinkIsDownIsNoticedAndNothingAfterStop) {
  ScriptedGateway gateway;
  auto options = fast();
  // Long enough for the test's own steps between the machine's last answer and the stop.
  options.silenceLimit = 2.0;
  auto link = makeLink(gateway.endpoint(), options);
  onQueue([&] { link->start(); });
  auto far = gateway.connections.pop();
  ASSERT_TRUE(far);
  const auto answered = Clock::now();
  gateway.send(*far, frameOf(Frame::Kind::services));
  ASSERT_TRUE(services_.pop());

  // The connection ends and the next handshakes get no answer.
  gateway.holdChallenge();
  gateway.queue->sync([&] { (*far)->cancel(); });
  ASSERT_TRUE(disconnects_.pop());
  auto silent = silences_.pop();
  ASSERT_TRUE(silent);
  EXPECT_GE(secondsBetween(answered, *silent), options.silenceLimit);

  // The machine answers again, then the link stops before the limit is reached: its silence
  // comes due after the stop and is not reported.
  ASSERT_TRUE(security_.pop()); // the first handshake
  gateway.releaseChallenge();
  ASSERT_TRUE(gateway.connections.pop());
  ASSERT_TRUE(security_.pop());
  std::size_t reported = 0;
  onQueue([&] {
    reported = silences_.size();
    std::this_thread::sleep_for(std::chrono::duration<double>(2 * options.silenceLimit));
    link->stop();
  });
  // A silence check that came due while the queue was held runs before a timer due only now.
  std::promise<void> passed;
  queue_->postAfter(0, [&passed] { passed.set_value(); });
  passed.get_future().wait();
  EXPECT_EQ(silences_.size(), 0u);
  EXPECT_EQ(reported, 0u);
}

TEST_F(PeerLinkTest, UnexpectedFrameKindsDisconnectAndReconnect) {
  ScriptedGateway gateway;
  auto link = makeLink(gateway.endpoint());
  onQueue([&] { link->start(); });
  for (auto kind : {Frame::Kind::result, Frame::Kind::ping}) {
    auto far = gateway.connections.pop();
    ASSERT_TRUE(far);
    gateway.send(*far, frameOf(kind));
    EXPECT_TRUE(disconnects_.pop()) << rawValue(kind);
  }
  EXPECT_TRUE(gateway.connections.pop());
  EXPECT_EQ(unpaired_.size(), 0u);
}

TEST_F(PeerLinkTest, UnpairedStopsForGood) {
  ScriptedGateway gateway;
  auto link = makeLink(gateway.endpoint());
  onQueue([&] { link->start(); });
  auto far = gateway.connections.pop();
  ASSERT_TRUE(far);
  gateway.send(*far, frameOf(Frame::Kind::unpaired));
  EXPECT_TRUE(unpaired_.pop());
  EXPECT_TRUE(gateway.ended.pop());
  // Several reconnect pauses later nothing has come back.
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(gateway.acceptedCount(), 1u);
  EXPECT_EQ(disconnects_.size(), 0u);
}

TEST_F(PeerLinkTest, NoCallbacksAfterStopEvenWhenAHandshakeSucceedsLater) {
  ScriptedGateway gateway;
  gateway.holdChallenge();
  auto link = makeLink(gateway.endpoint());
  onQueue([&] { link->start(); });
  ASSERT_TRUE(gateway.acceptTimes.pop());
  onQueue([&] { link->stop(); });
  gateway.releaseChallenge();

  // The late handshake is closed by the link instead of being kept.
  auto far = gateway.connections.pop();
  ASSERT_TRUE(far);
  EXPECT_TRUE(gateway.ended.pop());
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(security_.size(), 0u);
  EXPECT_EQ(disconnects_.size(), 0u);
  EXPECT_EQ(gateway.acceptedCount(), 1u);
}

TEST_F(PeerLinkTest, StoppedOrReleasedLinkClosesItsConnection) {
  ScriptedGateway gateway;
  auto link = makeLink(gateway.endpoint());
  onQueue([&] { link->start(); });
  auto far = gateway.connections.pop();
  ASSERT_TRUE(far);
  onQueue([&] { link->stop(); });
  EXPECT_TRUE(gateway.ended.pop());
  gateway.send(*far, frameOf(Frame::Kind::services));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(services_.size(), 0u);

  auto released = makeLink(gateway.endpoint(), fast(), /*keep=*/false);
  onQueue([&] { released->start(); });
  ASSERT_TRUE(gateway.connections.pop());
  onQueue([&] { released.reset(); });
  EXPECT_TRUE(gateway.ended.pop());
}

} // namespace
} // namespace corvane

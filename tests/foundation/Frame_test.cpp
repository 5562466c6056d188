#include "brimvale/foundation/Frame.h"
#include "brimvale/platform/Connection.h"
#include "brimvale/platform/Json.h"
#include "brimvale/platform/Listener.h"
#include "brimvale/platform/SerialQueue.h"
#include "tests/support/Wait.h"

#include <cerrno>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <thread>

using namespace corvane;
using namespace std::chrono_literals;
using corvane::testing::eventually;
using corvane::testing::waitUntil;

namespace {

Bytes header(std::uint32_t length) {
  return {static_cast<std::uint8_t>(length >> 24), static_cast<std::uint8_t>(length >> 16),
          static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
}

std::expected<Frame, ChannelError> decodeText(std::string_view text) {
  return decodeFrame(bytesOf(text));
}

bool isWire(const std::expected<Frame, ChannelError> &result, WireError expected) {
  if (result)
    return false;
  const auto *wire = std::get_if<WireError>(&result.error());
  return wire && *wire == expected;
}

// A ping whose JSON body is exactly `length` bytes, padded through its error text.
Frame pingOfLength(std::size_t length) {
  Frame frame;
  frame.kind = Frame::Kind::ping;
  frame.error = "";
  std::size_t overhead = encodeFrame(frame)->size() - frameHeaderLength;
  frame.error = std::string(length - overhead, 'x');
  return frame;
}

Json bodyOf(const Bytes &encoded) {
  auto json = parseJson(Bytes(encoded.begin() + frameHeaderLength, encoded.end()));
  EXPECT_TRUE(json);
  return json.value_or(Json());
}

} // namespace

TEST(FrameEncoding, LengthLimitAllowsExactly65536Bytes) {
  auto atLimit = encodeFrame(pingOfLength(65536));
  ASSERT_TRUE(atLimit);
  ASSERT_EQ(atLimit->size(), 4u + 65536u);
  EXPECT_EQ(Bytes(atLimit->begin(), atLimit->begin() + 4), header(65536));

  auto over = encodeFrame(pingOfLength(65537));
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error(), WireError::frameTooLarge());
}

TEST(FrameEncoding, OptionalFieldsAreLeftOutAndBytesAreBase64) {
  Frame hello;
  hello.kind = Frame::Kind::hello;
  hello.deviceID = "0123456789abcdef";
  hello.mac = Bytes{0xfb, 0xff, 0x00};
  hello.mode = Frame::Mode::control;

  Json body = bodyOf(*encodeFrame(hello));
  EXPECT_EQ(body, Json::parse(R"({"kind":"hello","deviceID":"0123456789abcdef",
                                  "mac":"+/8A","mode":"control"})"));
  EXPECT_FALSE(body.contains("serviceID"));

  Frame ping;
  ping.kind = Frame::Kind::ping;
  EXPECT_EQ(textOf(*encodeFrame(ping)).substr(4), R"({"kind":"ping"})");
}

TEST(FrameEncoding, FullFrameRoundTrips) {
  SharedServiceInfo plain{"A1", "db", 5432, true, "Database", {}, {}, {}, {}};
  SharedServiceInfo detailed{
      "B2",      "web/ui",         8080,
      false,     "Web Service",    "1.25",
      "staging", "not responding", ShareHints{"app", std::nullopt, "read only"}};
  Frame frame;
  frame.kind = Frame::Kind::services;
  frame.nonce = Bytes(32, 7);
  frame.deviceID = "id";
  frame.mac = Bytes(32, 9);
  frame.mode = Frame::Mode::open;
  frame.serviceID = "B2";
  frame.services = std::vector{plain, detailed};
  frame.name = "Studio";
  frame.ok = false;
  frame.error = "not shared";
  frame.commit = Bytes{1, 2, 3};
  frame.publicKey = Bytes{};
  frame.hardware = std::vector<std::string>{"aa:bb:cc:dd:ee:ff"};

  auto encoded = encodeFrame(frame);
  ASSERT_TRUE(encoded);
  Json body = bodyOf(*encoded);
  EXPECT_FALSE(body["services"][0].contains("hints"));
  EXPECT_FALSE(body["services"][0].contains("version"));

  auto decoded = decodeFrame(Bytes(encoded->begin() + 4, encoded->end()));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded, frame);
}

TEST(FrameEncoding, InvalidUtf8IsReplacedNotDropped) {
  Frame frame;
  frame.kind = Frame::Kind::services;
  frame.name = std::string("Mac\xff", 4);
  auto encoded = encodeFrame(frame);
  ASSERT_TRUE(encoded);
  auto decoded = decodeFrame(Bytes(encoded->begin() + 4, encoded->end()));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->name, "Mac\xEF\xBF\xBD");
}

TEST(FrameLength, HeaderRule) {
  EXPECT_EQ(parseFrameLength(header(1)), 1u);
  EXPECT_EQ(parseFrameLength(header(65536)), 65536u);
  EXPECT_EQ(parseFrameLength(header(0)).error(), WireError::emptyFrame());
  EXPECT_EQ(parseFrameLength(header(65537)).error(), WireError::frameTooLarge());
  EXPECT_EQ(parseFrameLength(header(0xffffffff)).error(), WireError::frameTooLarge());
  EXPECT_EQ(parseFrameLength(Bytes{0, 1, 0}).error(), WireError::malformed());
  EXPECT_EQ(parseFrameLength(Bytes{0, 0, 0, 1, 0}).error(), WireError::malformed());
}

TEST(FrameDecoding, KindOnlyGivesEveryOtherFieldAbsent) {
  auto ping = decodeText(R"({"kind":"ping"})");
  ASSERT_TRUE(ping);
  Frame expected;
  expected.kind = Frame::Kind::ping;
  EXPECT_EQ(*ping, expected);

  auto result = decodeText(R"({"ok":null,"kind":"result","error":null,"extra":[1,{}]})");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->kind, Frame::Kind::result);
  EXPECT_FALSE(result->ok.has_value());
  EXPECT_FALSE(result->error.has_value());
}

TEST(FrameDecoding, AcceptsEscapedSlashesAndAnyKeyOrder) {
  auto frame = decodeText(R"({"error":"a\/b","kind":"result","ok":true})");
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->error, "a/b");
  EXPECT_EQ(frame->ok, true);
}

TEST(FrameDecoding, RefusesWhatIsNotAFrame) {
  const char *bodies[] = {
      R"({"kind":"shout"})",
      R"({"kind":"Ping"})",
      R"({"nonce":"AAAA"})",
      R"({"kind":null})",
      R"({"kind":5})",
      R"({"kind":"hello","mode":"stream"})",
      R"({"kind":"hello","mode":1})",
      R"({"kind":"challenge","nonce":"not base64!"})",
      R"({"kind":"challenge","nonce":"AAA"})",
      R"({"kind":"result","ok":"true"})",
      R"({"kind":"result","ok":1})",
      R"({"kind":"services","hardware":["aa",1]})",
      R"({"kind":"services","services":{}})",
      R"({"kind":"services","services":[{"id":"a","name":"n","port":1,"running":true}]})",
      R"({"kind":"services","services":[{"id":"a","name":"n","port":"1","running":true,"category":"Database"}]})",
      R"({"kind":"services","services":[{"id":"a","name":"n","port":1.5,"running":true,"category":"Database"}]})",
      R"({"kind":"services","services":[{"id":"a","name":"n","port":4294967296,"running":true,"category":"Database"}]})",
      R"({"kind":"services","services":[{"id":"a","name":"n","port":1e300,"running":true,"category":"Database"}]})",
      R"({"kind":"services","services":[{"id":"a","name":"n","port":1,"running":true,"category":"Database","hints":"x"}]})",
      R"(["kind","ping"])",
      R"("ping")",
      "null",
      R"({"kind":"ping")",
      "{\"kind\":\"ping\",\"name\":\"\xff\"}",
      "",
  };
  for (const char *body : bodies)
    EXPECT_TRUE(isWire(decodeText(body), WireError::malformed())) << body;
}

TEST(FrameDecoding, PortsAreKeptAsSentWhenTheyFitAnInt) {
  auto frame = decodeText(
      R"({"kind":"services","services":[
           {"id":"a","name":"n","port":70000,"running":true,"category":"Database","version":null},
           {"id":"b","name":"m","port":-1,"running":false,"category":"Tool","hints":{}}]})");
  ASSERT_TRUE(frame);
  ASSERT_EQ(frame->services->size(), 2u);
  EXPECT_EQ((*frame->services)[0].port, 70000);
  EXPECT_FALSE((*frame->services)[0].version.has_value());
  EXPECT_EQ((*frame->services)[1].port, -1);
  EXPECT_EQ((*frame->services)[1].hints, ShareHints{});
}

TEST(FrameDecoding, DeepNestingWithinTheLimitDoesNotCrash) {
  std::string body = R"({"kind":"ping","x":)";
  std::size_t depth = (maxFrameLength - body.size() - 1) / 2;
  body += std::string(depth, '[') + std::string(depth, ']') + "}";
  ASSERT_LE(body.size(), maxFrameLength);
  auto frame = decodeText(body);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->kind, Frame::Kind::ping);
}

TEST(FrameDecoding, FailedReadPassesThrough) {
  auto error = NetworkError::posix(ECONNRESET);
  auto result = decodeFrame(std::unexpected(ChannelError{error}));
  ASSERT_FALSE(result);
  EXPECT_EQ(std::get<NetworkError>(result.error()), error);
}

// --- reading from a real loopback connection ---

namespace {

// Connections keep their queue alive and finish closing on it; drop the queue only once they
// are gone, so its thread is joined rather than left running past the test.
void release(std::shared_ptr<SerialQueue> &queue) {
  EXPECT_TRUE(waitUntil([&] { return queue.use_count() == 1; }))
      << queue->label() << " still in use";
  queue.reset();
}

// A plain TCP peer on 127.0.0.1 that writes scripted bytes to the first connection it
// accepts and then closes it.
class ScriptedPeer {
public:
  explicit ScriptedPeer(Bytes script, bool closeAfter = true) {
    Parameters parameters = Parameters::tcp();
    parameters.requiredLocalEndpoint = Endpoint::hostPort(Endpoint::Host::loopbackIPv4(), 0);
    listener_ = Listener::create(parameters, std::nullopt).value();
    std::promise<void> ready;
    auto readyFuture = ready.get_future();
    listener_->setStateHandler([ready = std::make_shared<std::promise<void>>(std::move(ready))](
                                   const Listener::State &state) {
      if (state.kind == Listener::State::Kind::ready)
        ready->set_value();
    });
    listener_->setNewConnectionHandler(
        [this, script = std::move(script), closeAfter](std::shared_ptr<Connection> connection) {
          accepted_ = connection;
          connection->start(queue_);
          connection->send(script, [connection, closeAfter](std::optional<NetworkError>) {
            if (closeAfter)
              connection->cancel();
          });
        });
    listener_->start(queue_);
    EXPECT_EQ(readyFuture.wait_for(eventually), std::future_status::ready);
  }

  ~ScriptedPeer() {
    queue_->sync([this] {
      listener_->cancel();
      if (accepted_)
        accepted_->cancel();
    });
    accepted_.reset();
    listener_.reset();
    release(queue_);
  }

  Endpoint endpoint() const {
    return Endpoint::hostPort(Endpoint::Host::loopbackIPv4(), listener_->port().value());
  }

private:
  std::shared_ptr<SerialQueue> queue_ = SerialQueue::create("test.peer");
  std::shared_ptr<Listener> listener_;
  std::shared_ptr<Connection> accepted_;
};

class FrameReading : public ::testing::Test {
protected:
  std::shared_ptr<Connection> connect(const ScriptedPeer &peer) {
    auto connection = Connection::create(peer.endpoint(), Parameters::tcp());
    connection->start(queue_);
    connections_.push_back(connection);
    return connection;
  }

  std::expected<Frame, ChannelError> readFrame(const std::shared_ptr<Connection> &connection) {
    auto promise = std::make_shared<std::promise<std::expected<Frame, ChannelError>>>();
    auto future = promise->get_future();
    receiveFrame(connection, [promise](std::expected<Frame, ChannelError> result) {
      promise->set_value(std::move(result));
    });
    if (future.wait_for(eventually) != std::future_status::ready) {
      ADD_FAILURE() << "no frame";
      return std::unexpected(ChannelError{WireError::timeout()});
    }
    return future.get();
  }

  std::expected<Bytes, ChannelError> readExactly(const std::shared_ptr<Connection> &connection,
                                                 std::size_t count) {
    auto promise = std::make_shared<std::promise<std::expected<Bytes, ChannelError>>>();
    auto future = promise->get_future();
    receiveExactly(connection, count, [promise](std::expected<Bytes, ChannelError> result) {
      promise->set_value(std::move(result));
    });
    if (future.wait_for(eventually) != std::future_status::ready) {
      ADD_FAILURE() << "no bytes";
      return std::unexpected(ChannelError{WireError::timeout()});
    }
    return future.get();
  }

  void TearDown() override {
    for (auto &connection : connections_)
      connection->cancel();
    connections_.clear();
    release(queue_);
  }

  std::shared_ptr<SerialQueue> queue_ = SerialQueue::create("test.reader");
  std::vector<std::shared_ptr<Connection>> connections_;
};

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const auto &part : parts)
    all.insert(all.end(), part.begin(), part.end());
  return all;
}

Frame ping() {
  Frame frame;
  frame.kind = Frame::Kind::ping;
  return frame;
}

} // namespace

TEST_F(FrameReading, ReadsFramesOneAtATime) {
  Frame pong;
  pong.kind = Frame::Kind::pong;
  ScriptedPeer peer(concat({*encodeFrame(ping()), *encodeFrame(pong)}));
  auto connection = connect(peer);
  EXPECT_EQ(readFrame(connection), ping());
  EXPECT_EQ(readFrame(connection), pong);
  EXPECT_TRUE(isWire(readFrame(connection), WireError::closed()));
}

TEST_F(FrameReading, LargestBodyIsReadWhole) {
  ScriptedPeer peer(*encodeFrame(pingOfLength(65536)));
  auto frame = readFrame(connect(peer));
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->error->size(), pingOfLength(65536).error->size());
}

TEST_F(FrameReading, RefusedHeaderLeavesTheBodyUnread) {
  ScriptedPeer zero(concat({header(0), *encodeFrame(ping())}));
  auto first = connect(zero);
  EXPECT_TRUE(isWire(readFrame(first), WireError::emptyFrame()));
  EXPECT_EQ(readFrame(first), ping());

  ScriptedPeer huge(concat({header(0x00010001), bytesOf("ABCD")}));
  auto second = connect(huge);
  EXPECT_TRUE(isWire(readFrame(second), WireError::frameTooLarge()));
  EXPECT_EQ(readExactly(second, 4), bytesOf("ABCD"));
}

TEST_F(FrameReading, ShortReadsAreClosed) {
  ScriptedPeer twoHeaderBytes(Bytes{0, 0});
  EXPECT_TRUE(isWire(readFrame(connect(twoHeaderBytes)), WireError::closed()));

  ScriptedPeer shortBody(concat({header(10), bytesOf("{\"ki")}));
  EXPECT_TRUE(isWire(readFrame(connect(shortBody)), WireError::closed()));

  ScriptedPeer badBody(concat({header(4), bytesOf("{{{{")}));
  EXPECT_TRUE(isWire(readFrame(connect(badBody)), WireError::malformed()));
}

TEST_F(FrameReading, BegunFrameThatStallsIsClosedAtItsDeadline) {
  for (const Bytes &script : {Bytes{0, 0}, concat({header(10), bytesOf("{\"ki")})}) {
    ScriptedPeer stalled(script, /*closeAfter=*/false);
    auto connection = connect(stalled);
    auto promise = std::make_shared<std::promise<std::expected<Frame, ChannelError>>>();
    auto future = promise->get_future();
    receiveFrame(
        connection,
        [promise](std::expected<Frame, ChannelError> result) {
          promise->set_value(std::move(result));
        },
        /*completionDeadline=*/0.2);
    ASSERT_EQ(future.wait_for(eventually), std::future_status::ready);
    EXPECT_TRUE(isWire(future.get(), WireError::stalled()));
    EXPECT_TRUE(
        waitUntil([&] { return connection->state().kind == Connection::State::Kind::cancelled; }));
  }
}

TEST_F(FrameReading, NetworkFailureIsReportedAsItself) {
  ScriptedPeer silent(Bytes{0}, /*closeAfter=*/false);
  auto connection = connect(silent);
  auto promise = std::make_shared<std::promise<std::expected<Frame, ChannelError>>>();
  auto future = promise->get_future();
  receiveFrame(connection, [promise](std::expected<Frame, ChannelError> result) {
    promise->set_value(std::move(result));
  });
  connection->cancel();
  ASSERT_EQ(future.wait_for(eventually), std::future_status::ready);
  auto result = future.get();
  ASSERT_FALSE(result);
  EXPECT_TRUE(std::holds_alternative<NetworkError>(result.error()));
}

TEST_F(FrameReading, SendFrameWritesOneFrameAndReportsCompletion) {
  ScriptedPeer peer(Bytes{}, /*closeAfter=*/false);
  auto connection = connect(peer);
  auto promise = std::make_shared<std::promise<std::optional<ChannelError>>>();
  auto future = promise->get_future();
  auto started = sendFrame(connection, ping(), [promise](std::optional<ChannelError> error) {
    promise->set_value(std::move(error));
  });
  ASSERT_TRUE(started);
  ASSERT_EQ(future.wait_for(eventually), std::future_status::ready);
  EXPECT_FALSE(future.get().has_value());

  bool called = false;
  auto refused = sendFrame(connection, pingOfLength(65537),
                           [&called](std::optional<ChannelError>) { called = true; });
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), WireError::frameTooLarge());
  EXPECT_FALSE(called);
}

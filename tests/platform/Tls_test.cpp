#include "brimvale/platform/Connection.h"
#include "brimvale/platform/Listener.h"
#include "brimvale/platform/SerialQueue.h"
#include "tests/support/Wait.h"

#include <atomic>
#include <chrono>
#include <future>
#include <gtest/gtest.h>

namespace corvane {
namespace {

using namespace std::chrono_literals;
using corvane::testing::eventually;
using Kind = Connection::State::Kind;

template <typename T> T await(std::future<T> &future) {
  if (future.wait_for(eventually) != std::future_status::ready)
    throw std::runtime_error("timed out");
  return future.get();
}

Parameters tlsWith(std::vector<Parameters::PreSharedKey> keys,
                   std::vector<std::uint16_t> suites = {0xCCAC, 0x00A9}) {
  auto parameters = Parameters::tcp();
  parameters.tls = Parameters::Tls{std::move(keys), std::move(suites)};
  return parameters;
}

Bytes key(std::uint8_t fill) {
  return Bytes(32, fill);
}

// The first of ready, waiting, failed or cancelled.
std::future<Connection::State> settled(const std::shared_ptr<Connection> &connection) {
  auto promise = std::make_shared<std::promise<Connection::State>>();
  auto once = std::make_shared<std::atomic<bool>>(false);
  connection->setStateHandler([promise, once](const Connection::State &state) {
    if (state.kind != Kind::setup && state.kind != Kind::preparing && !once->exchange(true))
      promise->set_value(state);
  });
  return promise->get_future();
}

struct TlsPair {
  std::shared_ptr<SerialQueue> serverQueue = SerialQueue::create("test.server");
  std::shared_ptr<SerialQueue> clientQueue = SerialQueue::create("test.client");
  std::shared_ptr<Listener> listener;
  std::promise<std::shared_ptr<Connection>> acceptedPromise;
  std::future<Connection::State> serverSettled;
  std::promise<void> serverHooked;

  explicit TlsPair(Parameters serverParameters) {
    serverParameters.requiredLocalEndpoint = Endpoint::hostPort(Endpoint::Host::loopbackIPv4(), 0);
    listener = *Listener::create(serverParameters, std::nullopt);
    listener->setNewConnectionHandler([this](std::shared_ptr<Connection> connection) {
      serverSettled = settled(connection);
      connection->start(serverQueue);
      acceptedPromise.set_value(connection);
    });
    auto ready = std::make_shared<std::promise<void>>();
    auto once = std::make_shared<std::atomic<bool>>(false);
    listener->setStateHandler([ready, once](const Listener::State &) {
      if (!once->exchange(true))
        ready->set_value();
    });
    listener->start(serverQueue);
    auto future = ready->get_future();
    await(future);
  }
  ~TlsPair() { listener->cancel(); }

  std::shared_ptr<Connection> connect(Parameters parameters) {
    return Connection::create(Endpoint::hostPort(Endpoint::Host::loopbackIPv4(), *listener->port()),
                              std::move(parameters));
  }
};

TEST(TlsTest, MatchingKeyConnectsWithTheForwardSecretSuite) {
  TlsPair pair(tlsWith({{"other", key(9)}, {"mac-a", key(1)}}));
  auto client = pair.connect(tlsWith({{"mac-a", key(1)}}));
  auto clientState = settled(client);
  client->start(pair.clientQueue);
  ASSERT_EQ(await(clientState).kind, Kind::ready);
  EXPECT_EQ(client->negotiatedCipherSuite(), std::optional<std::uint16_t>(0xCCAC));

  auto acceptedFuture = pair.acceptedPromise.get_future();
  auto accepted = await(acceptedFuture);
  ASSERT_EQ(await(pair.serverSettled).kind, Kind::ready);
  EXPECT_EQ(accepted->negotiatedCipherSuite(), std::optional<std::uint16_t>(0xCCAC));

  // Bytes cross, and a cancel ends the stream cleanly for the peer (close_notify).
  client->send(bytesOf("ping"));
  std::promise<std::string> got;
  accepted->receive(4, 4, [&](Bytes data, bool, auto) { got.set_value(textOf(data)); });
  auto gotFuture = got.get_future();
  EXPECT_EQ(await(gotFuture), "ping");
  std::promise<std::pair<bool, bool>> ended;
  accepted->receive(1, 10, [&](Bytes data, bool complete, std::optional<NetworkError> error) {
    ended.set_value({data.empty() && complete, error.has_value()});
  });
  client->cancel();
  auto endedFuture = ended.get_future();
  EXPECT_EQ(await(endedFuture), std::make_pair(true, false));
  accepted->cancel();
}

TEST(TlsTest, SecondSuiteIsUsedWhenItIsTheOnlyOneOffered) {
  TlsPair pair(tlsWith({{"mac-a", key(1)}}));
  auto client = pair.connect(tlsWith({{"mac-a", key(1)}}, {0x00A9}));
  auto clientState = settled(client);
  client->start(pair.clientQueue);
  ASSERT_EQ(await(clientState).kind, Kind::ready);
  EXPECT_EQ(client->negotiatedCipherSuite(), std::optional<std::uint16_t>(0x00A9));
  client->cancel();
}

TEST(TlsTest, UnknownIdentityOrWrongKeyFailsBothSides) {
  struct Case {
    const char *name;
    Parameters::PreSharedKey offered;
  };
  for (const auto &c :
       {Case{"unknown identity", {"stranger", key(1)}}, Case{"wrong key", {"mac-a", key(2)}}}) {
    SCOPED_TRACE(c.name);
    TlsPair pair(tlsWith({{"mac-a", key(1)}}));
    auto client = pair.connect(tlsWith({c.offered}));
    auto clientState = settled(client);
    client->start(pair.clientQueue);
    auto state = await(clientState);
    EXPECT_EQ(state.kind, Kind::failed);
    ASSERT_TRUE(state.error);
    EXPECT_EQ(state.error->domain, NetworkError::Domain::tls);
    EXPECT_FALSE(client->negotiatedCipherSuite());

    auto acceptedFuture = pair.acceptedPromise.get_future();
    auto accepted = await(acceptedFuture);
    EXPECT_EQ(await(pair.serverSettled).kind, Kind::failed);
    client->cancel();
    accepted->cancel();
  }
}

} // namespace
} // namespace corvane

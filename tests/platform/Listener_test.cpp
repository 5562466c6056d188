#include "brimvale/platform/Connection.h"
#include "brimvale/platform/DnsSd.h"
#include "brimvale/platform/Listener.h"
#include "brimvale/platform/SerialQueue.h"
#include "tests/support/Wait.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace corvane {
namespace {

using namespace std::chrono_literals;
using corvane::testing::eventually;

template <typename T> T await(std::future<T> &future) {
  if (future.wait_for(eventually) != std::future_status::ready)
    throw std::runtime_error("timed out");
  return future.get();
}

// The first terminal or ready state the listener reports.
std::future<Listener::State> firstState(const std::shared_ptr<Listener> &listener) {
  auto promise = std::make_shared<std::promise<Listener::State>>();
  auto once = std::make_shared<std::atomic<bool>>(false);
  listener->setStateHandler([promise, once](const Listener::State &state) {
    if (!once->exchange(true))
      promise->set_value(state);
  });
  return promise->get_future();
}

// A client of `port` that has read the "hi" each test's server greets with.
std::shared_ptr<Connection> greetedClient(Endpoint::Host host, std::uint16_t port,
                                          const std::shared_ptr<SerialQueue> &queue) {
  auto client = Connection::create(Endpoint::hostPort(std::move(host), port), Parameters::tcp());
  client->start(queue);
  auto greeting = std::make_shared<std::promise<std::string>>();
  auto future = greeting->get_future();
  client->receive(2, 2, [greeting](Bytes data, bool, auto) { greeting->set_value(textOf(data)); });
  EXPECT_EQ(await(future), "hi");
  return client;
}

Parameters boundTo(Endpoint::Host host, std::uint16_t port) {
  auto parameters = Parameters::tcp();
  parameters.requiredLocalEndpoint = Endpoint::hostPort(std::move(host), port);
  return parameters;
}

TEST(ListenerTest, BusyPortIsReportedAsAddressInUse) {
  auto queue = SerialQueue::create("test.listener");
  auto first = *Listener::create(boundTo(Endpoint::Host::loopbackIPv4(), 0), std::nullopt);
  auto firstReady = firstState(first);
  first->start(queue);
  ASSERT_EQ(await(firstReady).kind, Listener::State::Kind::ready);
  auto port = *first->port();

  auto second = *Listener::create(boundTo(Endpoint::Host::loopbackIPv4(), port), std::nullopt);
  auto secondState = firstState(second);
  second->start(queue);
  auto state = await(secondState);
  EXPECT_EQ(state.kind, Listener::State::Kind::failed);
  ASSERT_TRUE(state.error);
  EXPECT_TRUE(state.error->isPosix(EADDRINUSE));
  EXPECT_EQ(state.error->localizedDescription(), "Address already in use");

  // The every-address listener collides with the loopback one as well.
  auto third = *Listener::create(Parameters::tcp(), port);
  auto thirdState = firstState(third);
  third->start(queue);
  auto anyState = await(thirdState);
  EXPECT_EQ(anyState.kind, Listener::State::Kind::failed);
  EXPECT_TRUE(anyState.error && anyState.error->isPosix(EADDRINUSE));
  first->cancel();
}

TEST(ListenerTest, RefusesParametersThatCannotWork) {
  auto parameters = Parameters::tcp();
  parameters.requiredLocalEndpoint = Endpoint::hostPort(Endpoint::Host::named("localhost"), 0);
  EXPECT_FALSE(Listener::create(parameters, std::nullopt));
  auto tls = Parameters::tcp();
  tls.tls = Parameters::Tls{};
  EXPECT_FALSE(Listener::create(tls, std::nullopt));
}

TEST(ListenerTest, EveryAddressListenerAcceptsIPv4AndIPv6OnOtherQueues) {
  auto listenerQueue = SerialQueue::create("test.listener");
  auto connectionQueue = SerialQueue::create("test.server");
  auto listener = *Listener::create(Parameters::tcp(), std::nullopt);
  std::mutex mutex;
  std::vector<std::shared_ptr<Connection>> accepted;
  auto two = std::make_shared<std::promise<void>>();
  listener->setNewConnectionHandler([&, two](std::shared_ptr<Connection> connection) {
    EXPECT_EQ(connection->state().kind, Connection::State::Kind::setup);
    connection->start(connectionQueue);
    connection->send(bytesOf("hi"));
    std::lock_guard lock(mutex);
    accepted.push_back(connection);
    if (accepted.size() == 2)
      two->set_value();
  });
  auto ready = firstState(listener);
  listener->start(listenerQueue);
  ASSERT_EQ(await(ready).kind, Listener::State::Kind::ready);

  auto clientQueue = SerialQueue::create("test.client");
  std::vector<std::shared_ptr<Connection>> clients;
  for (auto host : {Endpoint::Host::loopbackIPv4(), Endpoint::Host::loopbackIPv6()})
    clients.push_back(greetedClient(host, *listener->port(), clientQueue));
  auto both = two->get_future();
  await(both);
  std::lock_guard lock(mutex);
  bool sawIPv4 = false;
  for (auto &connection : accepted) {
    auto remote = connection->remoteEndpoint();
    ASSERT_TRUE(remote);
    // An IPv4 client of the dual-stack socket is seen as IPv4, not as a mapped IPv6 address.
    if (remote->asHostPort()->host == Endpoint::Host::loopbackIPv4())
      sawIPv4 = true;
    connection->cancel();
  }
  EXPECT_TRUE(sawIPv4);
  for (auto &client : clients)
    client->cancel();
  listener->cancel();
}

struct RecordingDnsSd : DnsSd {
  struct Publication : Handle {
    explicit Publication(std::atomic<int> &live) : live(live) { ++live; }
    ~Publication() override { --live; }
    std::atomic<int> &live;
  };
  std::unique_ptr<Handle> publish(const DnsSdService &service, std::uint16_t port) override {
    publishedName = service.name;
    publishedPort = port;
    return std::make_unique<Publication>(live);
  }
  std::unique_ptr<Handle> browse(const std::string &, std::shared_ptr<SerialQueue>,
                                 std::function<void(std::vector<BrowseResult>)>,
                                 std::function<void(NetworkError)>) override {
    return nullptr;
  }
  void resolve(const Endpoint::Service &,
               std::function<void(std::expected<std::vector<Endpoint::HostPort>, NetworkError>)>
                   completion) override {
    completion(std::unexpected(NetworkError::dns(0)));
  }
  std::atomic<int> live = 0;
  std::string publishedName;
  std::uint16_t publishedPort = 0;
};

TEST(ListenerTest, PublishesTheServiceWhileReadyAndWithdrawsItOnCancel) {
  auto queue = SerialQueue::create("test.listener");
  auto dnsSd = std::make_shared<RecordingDnsSd>();
  auto listener = *Listener::create(boundTo(Endpoint::Host::loopbackIPv4(), 0), std::nullopt);
  listener->setService(DnsSdService{"Desk", "_corvane._tcp", "", {{"v", "2"}}}, dnsSd);
  auto ready = firstState(listener);
  listener->start(queue);
  ASSERT_EQ(await(ready).kind, Listener::State::Kind::ready);
  queue->sync([] {});
  EXPECT_EQ(dnsSd->live, 1);
  EXPECT_EQ(dnsSd->publishedName, "Desk");
  EXPECT_EQ(dnsSd->publishedPort, *listener->port());

  std::atomic<int> cancelled = 0;
  listener->setStateHandler([&](const Listener::State &state) {
    if (state.kind == Listener::State::Kind::cancelled)
      ++cancelled;
  });
  listener->cancel();
  listener->cancel();
  queue->sync([] {});
  EXPECT_EQ(dnsSd->live, 0);
  EXPECT_EQ(cancelled, 1);
}

// An owner that cancels on the queue and lets go may be gone when the next handler would run:
// a connection accepted meanwhile must not reach it. The client connects while the queue is
// busy, so that its acceptance is queued when cancel() runs.
TEST(ListenerTest, CancelOnTheQueueTakesEffectBeforeItReturns) {
  auto queue = SerialQueue::create("test.listener");
  auto listener = *Listener::create(boundTo(Endpoint::Host::loopbackIPv4(), 0), std::nullopt);
  std::atomic<int> handed = 0;
  listener->setNewConnectionHandler([&handed](std::shared_ptr<Connection> connection) {
    ++handed;
    connection->cancel();
  });
  auto ready = firstState(listener);
  listener->start(queue);
  ASSERT_EQ(await(ready).kind, Listener::State::Kind::ready);

  std::promise<void> release;
  std::promise<void> busy;
  queue->post([&] {
    busy.set_value();
    release.get_future().wait();
  });
  busy.get_future().wait();
  const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(*listener->port());
  EXPECT_EQ(::connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  std::promise<void> cancelled;
  queue->post([&] {
    listener->cancel();
    EXPECT_EQ(listener->state().kind, Listener::State::Kind::cancelled);
    cancelled.set_value();
  });
  release.set_value();
  cancelled.get_future().wait();
  // Whatever was queued behind the cancel has run by now.
  queue->sync([] {});
  queue->sync([] {});
  EXPECT_EQ(handed, 0) << "a connection reached the handler after cancel() returned";
  ::close(client);
}

// Spread accepts: each connection reaches the handler on the queue that accepted it, the queues
// taking turns; once cancelled, the socket that moved between them is closed wherever it is.
TEST(ListenerTest, SpreadAcceptsHandEachConnectionOverOnTheQueueThatAcceptedIt) {
  auto listenerQueue = SerialQueue::create("test.listener");
  std::vector<std::shared_ptr<SerialQueue>> homes{SerialQueue::create("test.home.1"),
                                                  SerialQueue::create("test.home.2")};
  auto listener = *Listener::create(boundTo(Endpoint::Host::loopbackIPv4(), 0), std::nullopt);
  std::atomic<std::size_t> turn = 0;
  listener->setAcceptQueues([&] { return homes[turn++ % homes.size()]; });
  std::mutex mutex;
  std::vector<std::string> acceptedOn;
  std::vector<std::shared_ptr<Connection>> accepted;
  listener->setNewConnectionHandler([&](std::shared_ptr<Connection> connection) {
    auto current = SerialQueue::current();
    connection->start(current);
    connection->send(bytesOf("hi"));
    std::lock_guard lock(mutex);
    acceptedOn.push_back(current ? current->label() : "none");
    accepted.push_back(connection);
  });
  auto ready = firstState(listener);
  listener->start(listenerQueue);
  ASSERT_EQ(await(ready).kind, Listener::State::Kind::ready);

  auto clientQueue = SerialQueue::create("test.client");
  for (int i = 0; i < 4; ++i)
    greetedClient(Endpoint::Host::loopbackIPv4(), *listener->port(), clientQueue)->cancel();
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(acceptedOn, (std::vector<std::string>{"test.home.1", "test.home.2", "test.home.1",
                                                    "test.home.2"}));
    for (auto &connection : accepted)
      connection->cancel();
  }

  const auto port = *listener->port();
  listenerQueue->sync([&] { listener->cancel(); });
  EXPECT_TRUE(corvane::testing::waitUntil([&] {
    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool refused =
        ::connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 &&
        errno == ECONNREFUSED;
    ::close(client);
    return refused;
  })) << "the listening socket stayed open after cancel()";
}

} // namespace
} // namespace corvane

#include "brimvale/foundation/Bridge.h"
#include "brimvale/platform/Listener.h"
#include "brimvale/platform/SerialQueue.h"

#include <atomic>
#include <benchmark/benchmark.h>
#include <future>
#include <mutex>
#include <stdexcept>

namespace corvane {
namespace {

constexpr std::size_t readSize = 65536;
constexpr std::size_t bytesPerRound = 16 * 1024 * 1024;

Parameters parametersFor(bool tls) {
  auto parameters = Parameters::tcp();
  parameters.noDelay = true;
  if (tls) {
    parameters.tls.emplace();
    parameters.tls->keys = {{"bench", Bytes(32, 0x5a)}};
    parameters.tls->cipherSuites = {0xCCAC, 0x00A9};
  }
  return parameters;
}

struct Pair {
  std::shared_ptr<Connection> client;
  std::shared_ptr<Connection> server;
};

template <typename T> T await(std::future<T> future) {
  if (future.wait_for(std::chrono::seconds(30)) != std::future_status::ready)
    throw std::runtime_error("timed out");
  return future.get();
}

std::future<void> whenReady(const std::shared_ptr<Connection> &connection) {
  auto promise = std::make_shared<std::promise<void>>();
  auto once = std::make_shared<std::atomic<bool>>(false);
  connection->setStateHandler([promise, once](const Connection::State &state) {
    if (state.kind == Connection::State::Kind::setup ||
        state.kind == Connection::State::Kind::preparing || once->exchange(true))
      return;
    if (state.kind == Connection::State::Kind::ready)
      promise->set_value();
    else
      promise->set_exception(std::make_exception_ptr(std::runtime_error("not ready")));
  });
  return promise->get_future();
}

// One connected loopback pair, both ends ready on `queue`.
Pair connectPair(bool tls, const std::shared_ptr<SerialQueue> &queue) {
  auto serverParameters = parametersFor(tls);
  serverParameters.requiredLocalEndpoint = Endpoint::hostPort(Endpoint::Host::loopbackIPv4(), 0);
  auto listener = *Listener::create(serverParameters, std::nullopt);
  auto accepted = std::make_shared<std::promise<std::shared_ptr<Connection>>>();
  auto listening = std::make_shared<std::promise<void>>();
  auto once = std::make_shared<std::atomic<bool>>(false);
  listener->setNewConnectionHandler([accepted](std::shared_ptr<Connection> connection) {
    accepted->set_value(std::move(connection));
  });
  listener->setStateHandler([listening, once](const Listener::State &) {
    if (!once->exchange(true))
      listening->set_value();
  });
  listener->start(queue);
  await(listening->get_future());
  auto client = Connection::create(
      Endpoint::hostPort(Endpoint::Host::loopbackIPv4(), *listener->port()), parametersFor(tls));
  auto clientReady = whenReady(client);
  client->start(queue);
  auto server = await(accepted->get_future());
  auto serverReady = whenReady(server);
  server->start(queue);
  await(std::move(clientReady));
  await(std::move(serverReady));
  listener->cancel();
  return {client, server};
}

// Reads `total` bytes in pieces of at most 64 KiB.
void drain(std::shared_ptr<Connection> connection, std::size_t remaining,
           std::shared_ptr<std::promise<void>> done) {
  connection->receive(
      1, readSize, [connection, remaining, done](Bytes data, bool complete, auto error) {
        if (error || (complete && data.size() < remaining)) {
          done->set_exception(std::make_exception_ptr(std::runtime_error("stream ended")));
          return;
        }
        if (data.size() >= remaining)
          done->set_value();
        else
          drain(connection, remaining - data.size(), done);
      });
}

enum class Path { direct, plainRelay, tlsRelay };

void throughput(benchmark::State &state, Path path) {
  auto queue = SerialQueue::create("bench.relay");
  std::shared_ptr<Connection> source, sink;
  std::vector<std::shared_ptr<Connection>> ends;
  if (path == Path::direct) {
    auto pair = connectPair(false, queue);
    source = pair.client;
    sink = pair.server;
  } else {
    bool tls = path == Path::tlsRelay;
    auto front = connectPair(tls, queue);
    auto back = connectPair(tls, queue);
    Bridge::runBridge(front.server, back.client, [] {});
    source = front.client;
    sink = back.server;
    ends = {front.server, back.client};
  }
  Bytes chunk(readSize, 0xa5);
  for (auto _ : state) {
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    drain(sink, bytesPerRound, done);
    for (std::size_t sent = 0; sent < bytesPerRound; sent += chunk.size())
      source->send(chunk);
    await(std::move(finished));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytesPerRound));
  state.counters["MiB/s"] = benchmark::Counter(
      static_cast<double>(state.iterations() * bytesPerRound) / (1024.0 * 1024.0),
      benchmark::Counter::kIsRate);
  source->cancel();
  sink->cancel();
  for (auto &end : ends)
    end->cancel();
  queue->sync([] {});
}

void BM_DirectTcp(benchmark::State &state) {
  throughput(state, Path::direct);
}
void BM_RelayPlainTcp(benchmark::State &state) {
  throughput(state, Path::plainRelay);
}
void BM_RelayTlsPsk(benchmark::State &state) {
  throughput(state, Path::tlsRelay);
}

BENCHMARK(BM_DirectTcp)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RelayPlainTcp)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RelayTlsPsk)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace
} // namespace corvane

BENCHMARK_MAIN();

// How long the scan of this Mac's candidate ports and the version detection take, with
// nothing extra listening and with real servers running on loopback ports.
#include "brimvale/catalogue/PortChecks.h"
#include "brimvale/catalogue/ServiceVersion.h"
#include "tests/catalogue/ServerFixture.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <future>
#include <memory>
#include <vector>

namespace {

using corvane::ProbePool;
using corvane::testing::ServerFixture;

// The share editor's scan time-out.
constexpr double scanTimeout = 0.4;

struct Running {
  ServerFixture::Server server;
  std::string name;
  corvane::ExposedService::ServiceCategory category;
  std::unique_ptr<ServerFixture> fixture;
};

std::map<int, corvane::Endpoint::Host> scan(ProbePool &pool, std::vector<int> ports) {
  std::promise<std::map<int, corvane::Endpoint::Host>> promise;
  corvane::scanListeningPorts(pool, std::move(ports), scanTimeout,
                              [&](auto found) { promise.set_value(std::move(found)); });
  return promise.get_future().get();
}

void scanPorts(benchmark::State &state, std::vector<int> ports) {
  ProbePool pool(4);
  std::size_t found = 0;
  for (auto _ : state)
    found = scan(pool, ports).size();
  state.counters["ports"] = static_cast<double>(ports.size());
  state.counters["listening"] = static_cast<double>(found);
}

void detect(benchmark::State &state, int port) {
  ProbePool pool;
  std::optional<std::string> text;
  for (auto _ : state) {
    std::promise<std::optional<std::string>> promise;
    corvane::ServiceVersion::detectVersion(pool, corvane::Endpoint::Host::loopbackIPv4(), port,
                                           [&](auto found) { promise.set_value(found); });
    text = promise.get_future().get();
  }
  state.SetLabel(text.value_or("(nothing)"));
}

void readVersion(benchmark::State &state, const Running *running) {
  ProbePool pool;
  std::optional<std::string> text;
  for (auto _ : state) {
    std::promise<std::optional<std::string>> promise;
    corvane::ServiceVersion::readVersion(pool, running->name, running->fixture->port(),
                                         running->category, corvane::Endpoint::Host::loopbackIPv4(),
                                         [&](auto found) { promise.set_value(found); });
    text = promise.get_future().get();
  }
  state.SetLabel(text.value_or("(nothing)"));
}

} // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  using Server = ServerFixture::Server;
  using enum corvane::ExposedService::ServiceCategory;
  const auto &candidates = corvane::candidatePorts();

  benchmark::RegisterBenchmark("scan/candidates/idle", scanPorts, candidates)
      ->Unit(benchmark::kMillisecond)
      ->Iterations(3);

  std::vector<Running> servers;
  for (auto [server, name, category] :
       std::vector<std::tuple<Server, std::string, corvane::ExposedService::ServiceCategory>>{
           {Server::postgres, "PostgreSQL", database},
           {Server::redis, "Redis", database},
           {Server::mariadb, "MySQL", database},
           {Server::memcached, "Memcached", database},
           {Server::nats, "NATS", messaging},
           {Server::nginx, "storefront", web},
           {Server::rabbitmq, "RabbitMQ", messaging}}) {
    auto started = ServerFixture::start(server, 90);
    if (!started) {
      std::fprintf(stderr, "%s\n", started.error().c_str());
      continue;
    }
    servers.push_back({server, name, category, std::move(*started)});
  }

  std::vector<int> withServers = candidates;
  for (const auto &running : servers)
    withServers.push_back(running.fixture->port());
  benchmark::RegisterBenchmark("scan/candidates/servers running", scanPorts, withServers)
      ->Unit(benchmark::kMillisecond)
      ->Iterations(3);
  for (const auto &running : servers) {
    benchmark::RegisterBenchmark(("readVersion/" + running.name).c_str(), readVersion, &running)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(10);
    benchmark::RegisterBenchmark(("detectVersion/" + running.name).c_str(), detect,
                                 running.fixture->port())
        ->Unit(benchmark::kMillisecond)
        ->Iterations(3);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

// How long the scan of this Mac's candidate ports and the version detection take, with
// nothing extra listening and with real servers running on loopback ports.
#include "brimvale/catalogue/PortChecks.h"
#include "brimvale/catalogue/ServiceVersion.h"
#include "tests/catalogue/ServerFixture.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <vector>

namespace {

using corvane::ProbePool;
using corvane::testing::ServerFixture;

// The share editor's scan time-out.
constexpr double scanTimeout = 0.4;
// The shortest time-out of the version probes: a probe that found nothing and took at least
// this long ended by a time-out, not by an answer without a version.
constexpr double shortestProbeTimeout = 0.3;

// What a probe found, or why it found nothing.
std::string outcome(const std::optional<std::string> &text, double seconds) {
  if (text)
    return *text;
  char label[96];
  if (seconds >= shortestProbeTimeout)
    std::snprintf(label, sizeof label, "time-out (no version within %.2f s)", seconds);
  else
    std::snprintf(label, sizeof label, "no version in the answer (%.3f s)", seconds);
  return label;
}

// Runs one probe and waits for it; the probe's answer and how long it took.
template <typename Probe> std::pair<std::optional<std::string>, double> timed(Probe probe) {
  std::promise<std::optional<std::string>> promise;
  const auto start = std::chrono::steady_clock::now();
  probe([&](auto found) { promise.set_value(found); });
  auto text = promise.get_future().get();
  return {text, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()};
}

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
  std::string label;
  for (auto _ : state) {
    auto [text, seconds] = timed([&](auto done) {
      corvane::ServiceVersion::detectVersion(pool, corvane::Endpoint::Host::loopbackIPv4(), port,
                                             done);
    });
    label = outcome(text, seconds);
  }
  state.SetLabel(label);
}

void readVersion(benchmark::State &state, const Running *running) {
  ProbePool pool;
  std::string label;
  for (auto _ : state) {
    auto [text, seconds] = timed([&](auto done) {
      corvane::ServiceVersion::readVersion(pool, running->name, running->fixture->port(),
                                           running->category,
                                           corvane::Endpoint::Host::loopbackIPv4(), done);
    });
    label = outcome(text, seconds);
  }
  state.SetLabel(label);
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

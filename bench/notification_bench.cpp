#include "brimvale/integrations/NotificationRules.h"

#include <benchmark/benchmark.h>

namespace corvane {
namespace {

// 16 paired Macs offering 64 ports each, a quarter of them failing and all recently used: the
// rules' work after every rebuild of the incoming ports.
void evaluateIncomingPorts(benchmark::State &state) {
  std::vector<IncomingService> incoming;
  std::set<std::string> recent;
  for (int peer = 0; peer < 16; ++peer) {
    for (int port = 0; port < 64; ++port) {
      IncomingService service;
      service.key = {"peer-" + std::to_string(peer), "SERVICE-" + std::to_string(port)};
      service.peerName = "Mac " + std::to_string(peer);
      service.name = "Port " + std::to_string(port);
      service.state = port % 4 == 0 ? IncomingService::State::notRunning()
                                    : IncomingService::State::connected();
      recent.insert(service.key.identifier());
      incoming.push_back(std::move(service));
    }
  }
  NotificationRules rules;
  double now = 0;
  for (auto _ : state) {
    now += 1;
    benchmark::DoNotOptimize(rules.evaluate(incoming, recent, now));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(incoming.size()));
}
BENCHMARK(evaluateIncomingPorts)->Unit(benchmark::kMicrosecond);

} // namespace
} // namespace corvane

BENCHMARK_MAIN();

// The gateway under a flood of strangers. An engine runs in its own process (so the flood's
// sockets are not counted as its memory); silent TCP connections come from 127.0.0.2 (and, in
// the last round, from several addresses), and a paired machine uses a share from 127.0.0.1
// meanwhile. Prints the engine's resident memory and the paired machine's success and latency.
//
//   bench_flood_bench [seconds of each sustained flood, default 20]
#include "brimvale/network/Gateway.h"
#include "brimvale/platform/ProcessLimits.h"
#include "brimvale/platform/SerialQueue.h"
#include "tests/e2e/Flood.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace corvane;
using namespace corvane::e2e;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t floodSize = 2000;
constexpr double nodeWait = 60.0;
constexpr double settleWait = 120.0;
constexpr double reachWait = 10.0;
constexpr int quietSamples = 50;
constexpr auto attemptPause = std::chrono::milliseconds(50);

double mib(std::size_t kib) {
  return static_cast<double>(kib) / 1024.0;
}

struct Attempts {
  int tried = 0;
  int through = 0;
  std::vector<double> seconds;

  double percentile(double p) const {
    if (seconds.empty())
      return 0;
    auto sorted = seconds;
    std::sort(sorted.begin(), sorted.end());
    const auto at = static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(at, sorted.size() - 1)] * 1000.0;
  }
  void print(const char *label) const {
    std::printf("  %-44s %d of %d got through; ms p50 %.1f, p99 %.1f, max %.1f\n", label, through,
                tried, percentile(0.5), percentile(0.99), percentile(1.0));
  }
};

struct Peer {
  DeviceIdentity identity = DeviceIdentity::generate();
  std::shared_ptr<SerialQueue> queue = SerialQueue::create("bench.peer");
  std::optional<PairKeys> keys;

  std::optional<double> reach(const GatewayNode &node) const {
    return reachShare(node.port, *keys, identity.deviceID(), node.serviceID, queue, reachWait);
  }

  // Uses the share at a paired machine's brisk pace for `span`, or `count` times at least.
  Attempts keepReaching(const GatewayNode &node, Clock::duration span, int count) const {
    Attempts attempts;
    const auto started = Clock::now();
    while (attempts.tried < count || Clock::now() - started < span) {
      ++attempts.tried;
      if (auto took = reach(node)) {
        ++attempts.through;
        attempts.seconds.push_back(*took);
      }
      std::this_thread::sleep_for(attemptPause);
    }
    return attempts;
  }
};

// A fresh engine per round, so that one round's memory does not carry into the next.
std::unique_ptr<GatewayNode> startNode(Peer &peer) {
  auto node = std::make_unique<GatewayNode>(E2E_GATEWAY_NODE, peer.identity, nodeWait);
  if (!node->ready()) {
    std::fprintf(stderr, "the engine did not come up\n");
    std::exit(1);
  }
  auto keys = PairKeys::deriveKeys(peer.identity, node->publicKey);
  if (!keys) {
    std::fprintf(stderr, "no pair keys\n");
    std::exit(1);
  }
  peer.keys = *keys;
  return node;
}

void sustained(Peer &peer, const std::vector<std::string> &sources, std::size_t widthEach,
               Clock::duration span, const char *label) {
  auto node = startNode(peer);
  const Resident before = residentOf(node->pid);
  std::vector<std::unique_ptr<SustainedFlood>> floods;
  for (const auto &source : sources)
    floods.push_back(std::make_unique<SustainedFlood>(source, node->port, widthEach));
  const auto started = Clock::now();
  const Attempts attempts = peer.keepReaching(*node, span, 1);
  const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
  const Resident after = residentOf(node->pid);
  std::uint64_t opened = 0, refused = 0;
  for (const auto &flood : floods) {
    opened += flood->opened();
    refused += flood->closedByServer();
  }
  floods.clear();
  std::printf("%s\n", label);
  std::printf("  flood: %zu address(es) x %zu in flight, %.0f connections/s opened, %.0f/s "
              "closed by the gateway\n",
              sources.size(), widthEach, static_cast<double>(opened) / elapsed,
              static_cast<double>(refused) / elapsed);
  attempts.print("paired machine from 127.0.0.1:");
  std::printf("  engine resident: %.1f MiB before, peak %.1f MiB\n", mib(before.currentKiB),
              mib(after.peakKiB));
}

} // namespace

int main(int argc, char **argv) {
  const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  const auto span = std::chrono::seconds(seconds);
  const auto limit = raiseDescriptorLimit();
  std::printf("descriptor limit of the flood: %llu; caps: %zu unfinished handshakes in all, %zu "
              "per address\n\n",
              static_cast<unsigned long long>(limit), Gateway::handshakeLimit,
              Gateway::handshakeLimitPerSource);
  Peer peer;

  {
    auto node = startNode(peer);
    const Attempts quiet = peer.keepReaching(*node, Clock::duration::zero(), quietSamples);
    std::printf("no flood\n");
    quiet.print("paired machine from 127.0.0.1:");
    std::printf("  engine resident: %.1f MiB\n\n", mib(residentOf(node->pid).currentKiB));
  }

  {
    auto node = startNode(peer);
    const Resident before = residentOf(node->pid);
    const auto started = Clock::now();
    auto flood = openSilent("127.0.0.2", node->port, floodSize);
    const std::size_t kept = settle(flood, Gateway::handshakeLimitPerSource, settleWait);
    const double took = std::chrono::duration<double>(Clock::now() - started).count();
    const Resident during = residentOf(node->pid);
    const bool served = peer.reach(*node).has_value();
    std::printf("%zu silent connections from 127.0.0.2, held\n", flood.size());
    std::printf("  the gateway kept %zu and closed the rest within %.2f s\n", kept, took);
    std::printf("  engine resident: %.1f MiB before, %.1f MiB while held (peak %.1f MiB)\n",
                mib(before.currentKiB), mib(during.currentKiB), mib(during.peakKiB));
    std::printf("  paired machine served meanwhile: %s\n\n", served ? "yes" : "no");
    closeAll(flood);
  }

  sustained(peer, {"127.0.0.2"}, floodSize, span, "sustained flood from 127.0.0.2");
  std::printf("\n");
  // Enough addresses to fill the global cap: shows where the per-address cap stops helping.
  std::vector<std::string> many;
  for (int host = 2; host < 2 + 8; ++host)
    many.push_back("127.0.0." + std::to_string(host));
  sustained(peer, many, floodSize / 4, span, "sustained flood from 8 addresses (127.0.0.2-9)");
  return 0;
}

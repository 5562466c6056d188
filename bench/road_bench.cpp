// The whole road: a client on B's loopback port → B's proxy → TLS-PSK → A's gateway → a server
// on A, beside plain loopback TCP to the same server.
#include "brimvale/platform/MemorySecretStore.h"
#include "brimvale/platform/RegistryDnsSd.h"
#include "tests/e2e/Engine.h"
#include "tests/e2e/Sockets.h"

#include <arpa/inet.h>
#include <atomic>
#include <benchmark/benchmark.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace corvane;
using namespace corvane::e2e;

namespace {

constexpr std::size_t writeSize = 64 * 1024;
constexpr std::int64_t throughputBytes = std::int64_t{1} << 30;
constexpr double ioTimeout = 60.0;

// Reads an 8-byte count, swallows that many bytes and answers one byte, as often as asked;
// the answer tells the sender that everything arrived.
class SinkServer : public LoopbackServer {
public:
  SinkServer()
      : LoopbackServer([](int client) {
          std::vector<std::uint8_t> buffer(256 * 1024);
          for (;;) {
            std::uint64_t count = 0;
            if (!readExactly(client, &count, sizeof count))
              return;
            while (count > 0) {
              const auto chunk =
                  static_cast<std::size_t>(std::min<std::uint64_t>(count, buffer.size()));
              const ssize_t n = ::recv(client, buffer.data(), chunk, 0);
              if (n <= 0 && errno != EINTR)
                return;
              if (n > 0)
                count -= static_cast<std::uint64_t>(n);
            }
            const std::uint8_t done = 1;
            if (!writeAll(client, &done, 1))
              return;
          }
        }) {}
};

// Two engines paired directly (the pairing exchange is not what is measured), A sharing an
// echo server and a sink, B offering both at localhost.
struct Road {
  std::shared_ptr<DnsSdRegistry> registry = DnsSdRegistry::create();
  std::shared_ptr<Engine> a, b;
  EchoServer echo;
  SinkServer sink;
  std::uint16_t echoRoute = 0;
  std::uint16_t sinkRoute = 0;

  static std::shared_ptr<Engine> engine(const std::string &name,
                                        const std::shared_ptr<DnsSdRegistry> &registry) {
    Engine::Options options;
    options.name = name;
    options.dnsSd = RegistryDnsSd::create(registry);
    options.secrets = std::make_shared<MemorySecretStore>();
    auto made = Engine::create(std::move(options));
    made->start();
    return made;
  }

  static SharedServiceInfo service(std::string id, std::uint16_t port) {
    SharedServiceInfo info;
    info.id = std::move(id);
    info.name = "Bench";
    info.port = port;
    info.running = true;
    info.category = "Tool";
    return info;
  }

  bool setUp() {
    a = engine("Machine A", registry);
    b = engine("Machine B", registry);
    a->pairDirectly(b->deviceID(), b->name(), b->identity().publicKey());
    b->pairDirectly(a->deviceID(), a->name(), a->identity().publicKey());
    const auto echoService = service("B3AC0000-0000-4000-8000-000000000001", echo.port());
    const auto sinkService = service("B3AC0000-0000-4000-8000-000000000002", sink.port());
    a->share({echoService, sinkService});
    const RouteKey echoKey{a->deviceID(), echoService.id};
    const RouteKey sinkKey{a->deviceID(), sinkService.id};
    if (!b->waitUntil(
            [&](const auto &seen) {
              return seen.listeningPort(echoKey).has_value() &&
                     seen.listeningPort(sinkKey).has_value();
            },
            30.0))
      return false;
    const auto seen = b->snapshot();
    echoRoute = *seen.listeningPort(echoKey);
    sinkRoute = *seen.listeningPort(sinkKey);
    return true;
  }

  ~Road() {
    if (b)
      b->stop();
    if (a)
      a->stop();
  }
};

Road *road = nullptr;

std::uint16_t echoPort(bool throughRoad) {
  return throughRoad ? road->echoRoute : road->echo.port();
}
std::uint16_t sinkPort(bool throughRoad) {
  return throughRoad ? road->sinkRoute : road->sink.port();
}

// One connection, 64 KiB writes, 1 GiB per iteration, timed until the sink confirms receipt.
void Throughput(benchmark::State &state) {
  const bool throughRoad = state.range(0) != 0;
  Client client(sinkPort(throughRoad), ioTimeout);
  if (!client.connected()) {
    state.SkipWithError("cannot connect");
    return;
  }
  std::vector<std::uint8_t> chunk(writeSize, 0x5a);
  for (auto _ : state) {
    const auto count = static_cast<std::uint64_t>(throughputBytes);
    bool ok = client.sendAll(&count, sizeof count);
    for (std::int64_t sent = 0; ok && sent < throughputBytes;
         sent += static_cast<std::int64_t>(writeSize))
      ok = client.sendAll(chunk.data(), chunk.size());
    std::uint8_t done = 0;
    if (!ok || !client.receiveExactly(&done, 1)) {
      state.SkipWithError("transfer failed");
      return;
    }
  }
  state.SetBytesProcessed(state.iterations() * throughputBytes);
}

// From connect to the first echoed byte on a new connection.
void FirstByte(benchmark::State &state) {
  const bool throughRoad = state.range(0) != 0;
  for (auto _ : state) {
    Client client(echoPort(throughRoad), ioTimeout);
    const std::uint8_t byte = 7;
    std::uint8_t back = 0;
    if (!client.connected() || !client.sendAll(&byte, 1) || !client.receiveExactly(&back, 1)) {
      state.SkipWithError("no echo");
      return;
    }
  }
}

// New connections, each proven by one echoed byte and then closed, one after another.
void Connections(benchmark::State &state) {
  const bool throughRoad = state.range(0) != 0;
  for (auto _ : state) {
    Client client(echoPort(throughRoad), ioTimeout);
    const std::uint8_t byte = 7;
    std::uint8_t back = 0;
    if (!client.connected() || !client.sendAll(&byte, 1) || !client.receiveExactly(&back, 1)) {
      state.SkipWithError("connection failed");
      return;
    }
    client.shutdownWrite();
    client.waitForClose();
  }
  state.counters["connections/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// Argument 0: plain loopback TCP to the server; 1: the road through both engines.
BENCHMARK(Throughput)
    ->ArgName("road")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(FirstByte)->ArgName("road")->Arg(0)->Arg(1)->Iterations(200)->UseRealTime()->Unit(
    benchmark::kMicrosecond);
BENCHMARK(Connections)
    ->ArgName("road")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(500)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char **argv) {
  const auto home =
      std::filesystem::temp_directory_path() / ("corvane-road-bench-" + std::to_string(::getpid()));
  for (const char *sub : {"config", "data", "runtime"})
    std::filesystem::create_directories(home / sub);
  ::setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
  ::setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", (home / "runtime").c_str(), 1);

  benchmark::Initialize(&argc, argv);
  int status = 0;
  {
    Road setUp;
    if (setUp.setUp()) {
      road = &setUp;
      benchmark::RunSpecifiedBenchmarks();
      road = nullptr;
    } else {
      std::cerr << "road_bench: B's proxy never offered A's shares\n";
      status = 1;
    }
  }
  benchmark::Shutdown();
  std::error_code ignored;
  std::filesystem::remove_all(home, ignored);
  return status;
}

// How long one probe pass of the service manager takes over 64 shares: with nothing listening
// on their ports, and with every port listening (real servers and plain listeners), once the
// versions are known and no health check is due.
#include "brimvale/manager/ServiceManager.h"
#include "brimvale/platform/AsioMainQueue.h"
#include "brimvale/platform/MemorySecretStore.h"
#include "brimvale/platform/RegistryDnsSd.h"
#include "tests/catalogue/ServerFixture.h"
#include "tests/e2e/Sockets.h"

#include <asio.hpp>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <future>
#include <thread>

namespace {

using namespace corvane;
using testing::ServerFixture;

constexpr int shareCount = 64;

// One headless manager on a main queue of its own thread, sharing the given ports.
class Bench {
  template <typename Work> auto run(Work work) {
    std::packaged_task<decltype(work())()> task(std::move(work));
    auto result = task.get_future();
    queue_->post([&task] { task(); });
    return result.get();
  }

public:
  explicit Bench(const std::vector<std::pair<std::string, int>> &shares)
      : guard_(asio::make_work_guard(context_)), queue_(std::make_shared<AsioMainQueue>(context_)),
        thread_([this] { context_.run(); }) {
    ServiceManager::Setup setup;
    setup.mainQueue = queue_;
    setup.store = std::make_shared<MemorySecretStore>();
    setup.defaults = std::shared_ptr<UserDefaults>(UserDefaults::inMemory());
    setup.controlDefaults = std::shared_ptr<UserDefaults>(UserDefaults::inMemory());
    setup.dnsSd = RegistryDnsSd::create(DnsSdRegistry::create());
    setup.hostName = "Bench";
    setup.gatewayPort = std::nullopt;
    setup.pairingPort = std::nullopt;
    // Only the passes the benchmark starts, and no health check after the first.
    setup.probeEvery = 3600;
    setup.healthCheckEvery = 3600;
    setup.effects.reloadControls = [] {};
    setup.effects.observeControlRequests = [](auto) { return std::shared_ptr<void>(); };
    manager_ = run([&] {
      auto manager = ServiceManager::create(setup);
      manager->preferences.modify([&](Preferences &p) {
        int index = 0;
        for (const auto &[name, port] : shares) {
          ExposedService service;
          char id[40];
          std::snprintf(id, sizeof id, "BE4C0000-0000-4000-8000-%012d", index++);
          service.id = id;
          service.name = name;
          service.port = port;
          service.category = ServiceCategory::database;
          p.services.push_back(service);
        }
      });
      return manager;
    });
    pass(); // reads the versions and runs the one health check
  }

  ~Bench() {
    run([&] {
      manager_->shutdown();
      return 0;
    });
    manager_.reset();
    guard_.reset();
    context_.stop();
    thread_.join();
  }

  // One pass, from its start until it ended; answers how many ports were found running.
  std::size_t pass() {
    std::promise<std::size_t> ended;
    queue_->post([&] {
      auto task = manager_->probeSharedPorts();
      watch(task, ended);
    });
    return ended.get_future().get();
  }

private:
  void watch(Task task, std::promise<std::size_t> &ended) {
    if (task.isDone()) {
      ended.set_value(manager_->running().size());
      return;
    }
    queue_->post([this, task, &ended] { watch(task, ended); });
  }

  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
  std::shared_ptr<AsioMainQueue> queue_;
  std::thread thread_;
  std::shared_ptr<ServiceManager> manager_;
};

void runPasses(benchmark::State &state, Bench &bench) {
  std::size_t found = 0;
  for (auto _ : state)
    found = bench.pass();
  state.counters["shares"] = shareCount;
  state.counters["running"] = static_cast<double>(found);
}

void nothingListening(benchmark::State &state) {
  std::vector<std::pair<std::string, int>> shares;
  for (int i = 0; i < shareCount; ++i)
    shares.emplace_back("Share " + std::to_string(i), testing::freeLoopbackPort());
  Bench bench(shares);
  runPasses(state, bench);
}

void everyPortListening(benchmark::State &state) {
  std::vector<std::unique_ptr<ServerFixture>> servers;
  std::vector<std::pair<std::string, int>> shares;
  for (auto [server, name] : {std::pair{ServerFixture::Server::redis, "Redis"},
                              std::pair{ServerFixture::Server::postgres, "Postgres"}}) {
    auto started = ServerFixture::start(server, 90);
    if (!started) {
      std::fprintf(stderr, "%s\n", started.error().c_str());
      continue;
    }
    shares.emplace_back(name, (*started)->port());
    servers.push_back(std::move(*started));
  }
  std::vector<std::unique_ptr<e2e::IdleListener>> listeners;
  while (shares.size() < shareCount) {
    listeners.push_back(std::make_unique<e2e::IdleListener>(1024));
    shares.emplace_back("Listener " + std::to_string(shares.size()), listeners.back()->port());
  }
  Bench bench(shares);
  state.SetLabel(std::to_string(servers.size()) + " real servers");
  runPasses(state, bench);
}

} // namespace

// A fixed count keeps the never-accepting listeners' backlogs from filling up.
BENCHMARK(nothingListening)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);
BENCHMARK(everyPortListening)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);
BENCHMARK_MAIN();

// The service manager: how long a paired machine takes from discovery to a listening route, what
// one pass over incoming ports and one announcement cost with 16 machines × 64 shares, and the
// resident memory of the headless application with 16 routes listening.
#include "brimvale/manager/ServiceManager.h"
#include "brimvale/platform/AsioMainQueue.h"
#include "brimvale/platform/KeychainStore.h"
#include "brimvale/platform/ManualMainQueue.h"
#include "brimvale/platform/MemorySecretStore.h"
#include "brimvale/platform/RegistryDnsSd.h"
#include "tests/e2e/Sockets.h"

#include <asio.hpp>
#include <benchmark/benchmark.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace corvane;
using namespace corvane::e2e;
using namespace std::chrono_literals;

namespace {

constexpr int machines = 16;
constexpr int sharesPerMachine = 64;

std::string shareID(int machine, int share) {
  char text[37];
  std::snprintf(text, sizeof text, "0A000000-0000-4000-8000-%04X%08X", machine, share);
  return text;
}

// A manager on a manual queue whose components are fakes that do nothing.
struct QuietManager {
  std::shared_ptr<ManualMainQueue> queue = std::make_shared<ManualMainQueue>();
  std::shared_ptr<ServiceManager> manager;

  QuietManager() {
    ServiceManager::Setup setup;
    setup.mainQueue = queue;
    setup.store = std::make_shared<MemorySecretStore>();
    setup.defaults = std::shared_ptr<UserDefaults>(UserDefaults::inMemory());
    setup.controlDefaults = std::shared_ptr<UserDefaults>(UserDefaults::inMemory());
    setup.dnsSd = RegistryDnsSd::create(DnsSdRegistry::create());
    setup.hostName = "bench";
    auto &e = setup.effects;
    e.updateGateway = [](auto, auto) {};
    e.startGateway = e.restartGateway = e.startDiscovery = [] {};
    e.revokeAtGateway = e.stopProxyPeer = [](const std::string &) {};
    e.updateProxy = [](auto, auto) {};
    e.startLink = e.stopLink = [](const std::shared_ptr<PeerLink> &) {};
    e.updateLinkEndpoint = [](const std::shared_ptr<PeerLink> &, Endpoint, bool) {};
    e.accepts = [](const Endpoint::Host &, int, double, std::function<void(bool)> done) {
      done(true);
    };
    e.readVersion = [](const std::string &, int, ServiceCategory, const Endpoint::Host &,
                       std::function<void(std::optional<std::string>)> done) { done({}); };
    e.checkAnswersLikeKind = [](const ServiceVersion::Kind &, int, const Endpoint::Host &,
                                std::function<void(bool)> done) { done(true); };
    e.canBindLoopbackPort = [](AddressFamily, int) { return BindResult::free; };
    e.isPortListening = [](AddressFamily, int) { return false; };
    e.reloadControls = [] {};
    e.observeControlRequests = [](auto) { return std::shared_ptr<void>(); };
    manager = ServiceManager::create(setup);
    queue->runUntilIdle();
  }
  ~QuietManager() {
    manager->shutdown();
    queue->runUntilIdle();
  }
};

void BM_ReconcileIncoming(benchmark::State &state) {
  QuietManager quiet;
  auto &m = *quiet.manager;
  std::vector<NearbyDevice> devices;
  std::vector<std::string> ids;
  for (int i = 0; i < machines; ++i) {
    const auto identity = DeviceIdentity::generate();
    m.peers()->add(
        PairedPeer{identity.deviceID(), "Machine " + std::to_string(i), identity.publicKey(), 0});
    devices.push_back(NearbyDevice{identity.deviceID(), "Machine " + std::to_string(i),
                                   Endpoint::hostPort(Endpoint::Host::loopbackIPv4(), 46310)});
    ids.push_back(identity.deviceID());
  }
  quiet.queue->runUntilIdle();
  m.relayDiscoveryChange(devices);
  for (int i = 0; i < machines; ++i) {
    std::vector<SharedServiceInfo> offered;
    for (int s = 0; s < sharesPerMachine; ++s) {
      SharedServiceInfo info;
      info.id = shareID(i, s);
      info.name = "Service " + std::to_string(s);
      info.port = 10000 + i * 100 + s; // distinct, so every port gets its own route
      info.running = true;
      info.category = "Database";
      offered.push_back(info);
    }
    m.handleLinkEvent(offered, {}, std::nullopt, ids[static_cast<std::size_t>(i)]);
  }
  if (m.incoming->size() != machines * sharesPerMachine)
    state.SkipWithError("not every port was listed");
  for (auto _ : state)
    m.reconcileIncoming();
  state.counters["rows"] = static_cast<double>(m.incoming->size());
}
BENCHMARK(BM_ReconcileIncoming)->Unit(benchmark::kMicrosecond);

void BM_AnnounceShares(benchmark::State &state) {
  QuietManager quiet;
  auto &m = *quiet.manager;
  for (int i = 0; i < machines; ++i) {
    const auto identity = DeviceIdentity::generate();
    m.peers()->add(
        PairedPeer{identity.deviceID(), "Machine " + std::to_string(i), identity.publicKey(), 0});
  }
  m.preferences.modify([](Preferences &p) {
    for (int s = 0; s < sharesPerMachine; ++s) {
      ExposedService share;
      share.id = shareID(0, s);
      share.name = "Share " + std::to_string(s);
      share.port = 20000 + s;
      p.services.push_back(share);
    }
  });
  for (auto _ : state)
    benchmark::DoNotOptimize(m.announceShares());
}
BENCHMARK(BM_AnnounceShares)->Unit(benchmark::kMicrosecond);

// The main queue of the two-manager measurement, on a thread of its own.
class MainThread {
public:
  MainThread()
      : guard_(asio::make_work_guard(context_)), queue_(std::make_shared<AsioMainQueue>(context_)),
        thread_([this] { context_.run(); }) {}
  ~MainThread() {
    guard_.reset();
    context_.stop();
    thread_.join();
  }
  const std::shared_ptr<AsioMainQueue> &queue() const { return queue_; }
  template <typename Work> auto run(Work work) {
    std::packaged_task<decltype(work())()> task(std::move(work));
    auto result = task.get_future();
    queue_->post([&task] { task(); });
    return result.get();
  }

private:
  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
  std::shared_ptr<AsioMainQueue> queue_;
  std::thread thread_;
};

ServiceManager::Setup realSetup(MainThread &main, std::shared_ptr<DnsSd> dnsSd,
                                std::shared_ptr<SecretStore> store, const std::string &name) {
  ServiceManager::Setup setup;
  setup.mainQueue = main.queue();
  setup.store = std::move(store);
  setup.defaults = std::shared_ptr<UserDefaults>(UserDefaults::inMemory());
  setup.controlDefaults = std::shared_ptr<UserDefaults>(UserDefaults::inMemory());
  setup.dnsSd = std::move(dnsSd);
  setup.hostName = name;
  setup.gatewayPort = std::nullopt;
  setup.pairingPort = std::nullopt;
  setup.effects.reloadControls = [] {};
  setup.effects.observeControlRequests = [](auto) { return std::shared_ptr<void>(); };
  return setup;
}

// Both managers pre-paired; B starts once A is up, and the clock runs from the moment B's
// discovery reports A to the first byte echoed through B's route.
void discoveryToRoute() {
  MainThread main;
  auto registry = DnsSdRegistry::create();
  auto storeA = std::make_shared<MemorySecretStore>();
  auto storeB = std::make_shared<MemorySecretStore>();
  const auto a = DeviceIdentity::loadOrCreateIdentity(*storeA);
  const auto b = DeviceIdentity::loadOrCreateIdentity(*storeB);
  PairedPeerStore(storeA).add(PairedPeer{b.deviceID(), "B", b.publicKey(), 0});
  PairedPeerStore(storeB).add(PairedPeer{a.deviceID(), "A", a.publicKey(), 0});
  EchoServer echo;
  const std::string id = shareID(0, 1);

  auto managerA = main.run([&] {
    auto m = ServiceManager::create(realSetup(main, RegistryDnsSd::create(registry), storeA, "A"));
    m->preferences.modify([&](Preferences &p) {
      ExposedService share;
      share.id = id;
      share.name = "Echo";
      share.port = echo.port();
      p.services.push_back(share);
    });
    m->setShareEnabled(id, true);
    m->probeSharedPorts();
    return m;
  });
  std::this_thread::sleep_for(500ms); // A's gateway advertised and its first probe done

  auto found = std::make_shared<std::promise<std::chrono::steady_clock::time_point>>();
  std::shared_ptr<ServiceManager> managerB;
  Published<std::set<std::string>>::Subscription subscription;
  std::optional<int> port;
  main.run([&] {
    managerB =
        ServiceManager::create(realSetup(main, RegistryDnsSd::create(registry), storeB, "B"));
    subscription = managerB->onlinePeerIDs.subscribe(
        [found, once = std::make_shared<bool>(false)](const auto &online) {
          if (!online.empty() && !*once) {
            *once = true;
            found->set_value(std::chrono::steady_clock::now());
          }
        });
    return 0;
  });
  auto future = found->get_future();
  if (future.wait_for(30s) != std::future_status::ready) {
    std::cout << "discovery to route: B never found A" << std::endl;
    return;
  }
  const auto discoveredAt = future.get();
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (std::chrono::steady_clock::now() < deadline) {
    port = main.run([&]() -> std::optional<int> {
      for (const auto &row : managerB->incoming.get())
        if (row.state == IncomingService::State::connected())
          return row.localPort;
      return std::nullopt;
    });
    if (port) {
      Client client(static_cast<std::uint16_t>(*port), 5);
      const Bytes byte = bytesOf("x");
      if (client.connected() && echoThrough(client, byte) == byte)
        break;
    }
    std::this_thread::sleep_for(1ms);
  }
  const auto elapsed = std::chrono::steady_clock::now() - discoveredAt;
  std::cout << "discovery to route listening and answering: "
            << std::chrono::duration<double, std::milli>(elapsed).count() << " ms" << std::endl;
  main.run([&] {
    subscription.reset();
    managerB->shutdown();
    managerA->shutdown();
    managerB.reset();
    managerA.reset();
    return 0;
  });
}

long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0)
      return std::atol(line.c_str() + 6);
  return -1;
}

int quietly(const std::string &command) {
  return std::system((command + " >/dev/null 2>&1").c_str());
}

// A program in a process group of its own whose output is read in lines.
class Spawned {
public:
  Spawned(std::vector<std::string> args, std::vector<std::string> environment) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
      return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setpgid(0, 0);
      ::dup2(out[1], 1);
      for (auto &entry : environment)
        ::putenv(entry.data());
      std::vector<char *> argv;
      for (auto &arg : args)
        argv.push_back(arg.data());
      argv.push_back(nullptr);
      ::execvp(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    fd_ = out[0];
  }
  ~Spawned() {
    if (pid_ > 0) {
      ::kill(-pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
    if (fd_ >= 0)
      ::close(fd_);
  }

  // The next line, or nothing once the deadline passed or the output ended.
  std::optional<std::string> line(std::chrono::steady_clock::time_point deadline) {
    for (;;) {
      if (auto end = buffer_.find('\n'); end != std::string::npos) {
        auto text = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return text;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || fd_ < 0)
        return std::nullopt;
      pollfd entry{fd_, POLLIN, 0};
      if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0)
        continue;
      char chunk[4096];
      const ssize_t n = ::read(fd_, chunk, sizeof chunk);
      if (n <= 0)
        return std::nullopt;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

private:
  pid_t pid_ = -1;
  int fd_ = -1;
  std::string buffer_;
};

// Stores one machine's identity, its paired peer and its settings in its home.
void prepareHome(const std::filesystem::path &home, const DeviceIdentity &self,
                 const DeviceIdentity &other, const Preferences &preferences) {
  for (const char *sub : {"data", "config", "runtime"})
    std::filesystem::create_directories(home / sub);
  ::setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
  auto store = std::make_shared<KeychainStore>();
  store->write(DeviceIdentity::account, self.privateKey());
  PairedPeerStore(store).add(PairedPeer{other.deviceID(), "peer", other.publicKey(), 0});
  UserDefaults defaults(UserDefaults::standardDomain);
  savePreferences(preferences, defaults);
}

// Two applications in two network namespaces, each with avahi-daemon, the first sharing 16
// echo ports; the resident memory of the second once its 16 routes listen and it is idle.
void applicationMemory() {
  if (::geteuid() != 0) {
    std::cout << "headless corvane memory: skipped, needs root for network namespaces" << std::endl;
    return;
  }
  const std::string id = std::to_string(::getpid());
  const std::string nsA = "cvbench-" + id + "-a", nsB = "cvbench-" + id + "-b";
  const std::string ifA = "cvxa" + id, ifB = "cvxb" + id;
  const auto work = std::filesystem::temp_directory_path() / ("corvane-bench-" + id);
  std::filesystem::remove_all(work);
  const auto cleanUp = [&] {
    for (const auto &ns : {nsA, nsB}) {
      quietly("for p in $(ip netns pids " + ns + "); do kill -9 $p; done");
      quietly("ip netns del " + ns);
    }
    std::filesystem::remove_all(work);
  };
  const bool up = quietly("ip netns add " + nsA) == 0 && quietly("ip netns add " + nsB) == 0 &&
                  quietly("ip link add " + ifA + " netns " + nsA + " type veth peer name " + ifB +
                          " netns " + nsB) == 0 &&
                  quietly("ip -n " + nsA + " link set lo up") == 0 &&
                  quietly("ip -n " + nsB + " link set lo up") == 0 &&
                  quietly("ip -n " + nsA + " addr add 10.214.0.1/30 dev " + ifA) == 0 &&
                  quietly("ip -n " + nsB + " addr add 10.214.0.2/30 dev " + ifB) == 0 &&
                  quietly("ip -n " + nsA + " link set " + ifA + " multicast on up") == 0 &&
                  quietly("ip -n " + nsB + " link set " + ifB + " multicast on up") == 0;
  if (!up) {
    std::cout << "headless corvane memory: skipped, network namespaces unavailable" << std::endl;
    cleanUp();
    return;
  }

  const auto a = DeviceIdentity::generate();
  const auto b = DeviceIdentity::generate();
  Preferences sharing;
  std::string echoes;
  for (int s = 0; s < 16; ++s) {
    ExposedService share;
    share.id = shareID(1, s);
    share.name = "Echo " + std::to_string(s);
    share.port = 47000 + s;
    sharing.services.push_back(share);
    echoes += std::string(ECHO_TOOL) + " serve " + std::to_string(share.port) + " & ";
  }
  prepareHome(work / "a", a, b, sharing);
  prepareHome(work / "b", b, a, Preferences{});

  const auto start = [&](const std::string &ns, const std::string &iface, const std::string &host,
                         const std::filesystem::path &home, const std::string &command) {
    return std::make_unique<Spawned>(
        std::vector<std::string>{"ip", "netns", "exec", ns, "unshare", "--mount", "--propagation",
                                 "private", "sh", NODE_SCRIPT, iface, host, home.string(), "sh",
                                 "-c", command},
        std::vector<std::string>{"XDG_DATA_HOME=" + (home / "data").string(),
                                 "XDG_CONFIG_HOME=" + (home / "config").string(),
                                 "XDG_RUNTIME_DIR=" + (home / "runtime").string(),
                                 "HOME=" + home.string(),
                                 "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/run/dbus/system_bus_socket",
                                 "ASAN_OPTIONS=detect_leaks=0"});
  };
  const std::string app = CORVANE_APP;
  {
    auto nodeA = start(nsA, ifA, "corvane-bench-a", work / "a", echoes + "exec " + app + " 2>&1");
    auto nodeB =
        start(nsB, ifB, "corvane-bench-b", work / "b", "echo pid $$; exec " + app + " 2>&1");
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    pid_t pid = 0;
    int listening = 0;
    while (listening < 16) {
      const auto text = nodeB->line(deadline);
      if (!text)
        break;
      if (text->rfind("pid ", 0) == 0)
        pid = static_cast<pid_t>(std::atol(text->c_str() + 4));
      if (text->find("listening on localhost:") != std::string::npos)
        ++listening;
    }
    std::this_thread::sleep_for(3s); // idle
    std::cout << "headless corvane with " << listening << " routes listening: resident memory "
              << (pid > 0 ? residentKiB(pid) : -1) << " KiB" << std::endl;
  }
  cleanUp();
}

} // namespace

int main(int argc, char **argv) {
  std::signal(SIGPIPE, SIG_IGN);
  discoveryToRoute();
  applicationMemory();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

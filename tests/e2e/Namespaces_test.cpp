// Two machines in two network namespaces joined by a veth pair, each with its own system bus
// and avahi-daemon, find each other over real mDNS. Needs root; skips otherwise.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <optional>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto discoveryWait = 60s;
constexpr auto commandWait = 60s;

bool onPath(const std::string &program) {
  const char *path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "/usr/sbin:/usr/bin:/sbin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':'))
    if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0)
      return true;
  for (const char *fallback : {"/usr/sbin/", "/sbin/"})
    if (::access((std::string(fallback) + program).c_str(), X_OK) == 0)
      return true;
  return false;
}

std::vector<char *> argvOf(std::vector<std::string> &args) {
  std::vector<char *> argv;
  for (auto &arg : args)
    argv.push_back(arg.data());
  argv.push_back(nullptr);
  return argv;
}

// Runs a command to completion with its output discarded; the exit status, or -1.
int run(std::vector<std::string> args, std::string *output = nullptr) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0)
    return -1;
  const pid_t pid = ::fork();
  if (pid < 0)
    return -1;
  if (pid == 0) {
    const int devNull = ::open("/dev/null", O_RDWR);
    ::dup2(devNull, 0);
    ::dup2(output ? pipeFds[1] : devNull, 1);
    ::dup2(devNull, 2);
    auto argv = argvOf(args);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0)
    if (output)
      output->append(buffer, static_cast<std::size_t>(n));
  ::close(pipeFds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A child in a process group of its own, spoken to in lines. Destroying it ends the whole
// group (the node and the daemons its shell started) and reaps the child.
class Child {
public:
  Child(std::vector<std::string> args, std::vector<std::string> environment) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
      return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setpgid(0, 0);
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      for (auto &entry : environment)
        ::putenv(entry.data());
      auto argv = argvOf(args);
      ::execvp(argv[0], argv.data());
      ::_exit(127);
    }
    if (pid_ > 0)
      ::setpgid(pid_, pid_);
    ::close(in[0]);
    ::close(out[1]);
    toChild_ = in[1];
    fromChild_ = out[0];
  }

  ~Child() {
    if (toChild_ >= 0)
      ::close(toChild_);
    if (pid_ > 0) {
      ::kill(-pid_, SIGTERM);
      if (!reap(3s)) {
        ::kill(-pid_, SIGKILL);
        reap(5s);
      }
    }
    if (fromChild_ >= 0)
      ::close(fromChild_);
  }

  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;

  bool started() const { return pid_ > 0; }

  void send(const std::string &line) {
    const std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = ::write(toChild_, text.data() + done, text.size() - done);
      if (n <= 0)
        return;
      done += static_cast<std::size_t>(n);
    }
  }

  // The first line (from now on) that `accept` takes, or nothing once `limit` has passed.
  std::optional<std::string> waitFor(const std::function<bool(const std::string &)> &accept,
                                     Clock::duration limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
      while (auto line = takeLine()) {
        seen_.push_back(*line);
        if (accept(*line))
          return line;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0 || fromChild_ < 0)
        return std::nullopt;
      pollfd fd{fromChild_, POLLIN, 0};
      if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0)
        continue;
      char buffer[4096];
      const ssize_t n = ::read(fromChild_, buffer, sizeof buffer);
      if (n <= 0) {
        ::close(fromChild_);
        fromChild_ = -1;
        continue;
      }
      buffer_.append(buffer, static_cast<std::size_t>(n));
    }
  }

  std::optional<std::string> waitForPrefix(const std::string &prefix, Clock::duration limit) {
    return waitFor([&](const std::string &line) { return line.rfind(prefix, 0) == 0; }, limit);
  }

  std::string transcript() const {
    std::string text;
    for (const auto &line : seen_)
      text += "  " + line + "\n";
    return text;
  }

private:
  std::optional<std::string> takeLine() {
    const auto end = buffer_.find('\n');
    if (end == std::string::npos)
      return std::nullopt;
    std::string line = buffer_.substr(0, end);
    buffer_.erase(0, end + 1);
    return line;
  }

  bool reap(Clock::duration limit) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
      int status = 0;
      const pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_ || (done < 0 && errno == ECHILD)) {
        pid_ = -1;
        return true;
      }
      ::usleep(20'000);
    }
    return false;
  }

  pid_t pid_ = -1;
  int toChild_ = -1;
  int fromChild_ = -1;
  std::string buffer_;
  std::vector<std::string> seen_;
};

// Namespaces of earlier runs whose test process was killed before it could delete them.
void removeStaleNamespaces() {
  std::string listing;
  run({"ip", "netns", "list"}, &listing);
  std::istringstream lines(listing);
  std::string line;
  const std::string prefix = "cve2e-";
  while (std::getline(lines, line)) {
    const std::string name = line.substr(0, line.find(' '));
    if (name.rfind(prefix, 0) != 0)
      continue;
    const auto dash = name.find('-', prefix.size());
    if (dash == std::string::npos)
      continue;
    const pid_t owner =
        static_cast<pid_t>(std::atol(name.substr(prefix.size(), dash - prefix.size()).c_str()));
    if (owner > 0 && ::kill(owner, 0) != 0 && errno == ESRCH)
      run({"ip", "netns", "del", name});
  }
}

// Two namespaces joined by one veth pair; both ends and their addresses live only inside the
// namespaces, so nothing is routed to or multicast on the host's interfaces. Deleted again
// with whatever still runs in them.
class NamespacePair {
public:
  NamespacePair() {
    const auto id = std::to_string(::getpid());
    names_ = {"cve2e-" + id + "-a", "cve2e-" + id + "-b"};
    interfaces_ = {"cva" + id, "cvb" + id};
    work_ = std::filesystem::temp_directory_path() / ("corvane-e2e-" + id);
    std::filesystem::remove_all(work_);
    std::filesystem::create_directories(work_);
  }

  ~NamespacePair() {
    for (const auto &name : names_) {
      std::string pids;
      run({"ip", "netns", "pids", name}, &pids);
      std::istringstream lines(pids);
      pid_t pid;
      while (lines >> pid)
        ::kill(pid, SIGKILL);
      run({"ip", "netns", "del", name});
    }
    std::error_code ignored;
    std::filesystem::remove_all(work_, ignored);
  }

  NamespacePair(const NamespacePair &) = delete;
  NamespacePair &operator=(const NamespacePair &) = delete;

  // An empty text when everything is up, else what failed.
  std::string setUp() {
    for (const auto &name : names_)
      if (run({"ip", "netns", "add", name}) != 0)
        return "cannot create network namespace " + name;
    const std::vector<std::vector<std::string>> steps = {
        {"ip", "link", "add", interfaces_[0], "netns", names_[0], "type", "veth", "peer", "name",
         interfaces_[1], "netns", names_[1]},
        {"ip", "-n", names_[0], "link", "set", "lo", "up"},
        {"ip", "-n", names_[1], "link", "set", "lo", "up"},
        {"ip", "-n", names_[0], "addr", "add", "10.213.0.1/30", "dev", interfaces_[0]},
        {"ip", "-n", names_[1], "addr", "add", "10.213.0.2/30", "dev", interfaces_[1]},
        {"ip", "-n", names_[0], "link", "set", interfaces_[0], "multicast", "on", "up"},
        {"ip", "-n", names_[1], "link", "set", interfaces_[1], "multicast", "on", "up"},
    };
    for (const auto &step : steps)
      if (run(step) != 0) {
        std::string text = "failed:";
        for (const auto &word : step)
          text += " " + word;
        return text;
      }
    return {};
  }

  const std::string &name(int index) const { return names_[index]; }
  const std::string &interfaceName(int index) const { return interfaces_[index]; }
  std::filesystem::path work(int index) const {
    auto path = work_ / (index == 0 ? "a" : "b");
    std::filesystem::create_directories(path);
    return path;
  }

private:
  std::vector<std::string> names_;
  std::vector<std::string> interfaces_;
  std::filesystem::path work_;
};

std::unique_ptr<Child> startNode(const NamespacePair &pair, int index) {
  const auto work = pair.work(index);
  const std::string host = index == 0 ? "corvane-e2e-a" : "corvane-e2e-b";
  std::vector<std::string> environment = {
      "XDG_DATA_HOME=" + (work / "data").string(),
      "XDG_CONFIG_HOME=" + (work / "config").string(),
      "XDG_RUNTIME_DIR=" + (work / "runtime").string(),
      "HOME=" + work.string(),
      "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/run/dbus/system_bus_socket",
      "ASAN_OPTIONS=detect_leaks=0",
  };
  for (const char *sub : {"data", "config", "runtime"})
    std::filesystem::create_directories(work / sub);
  return std::make_unique<Child>(
      std::vector<std::string>{"ip", "netns", "exec", pair.name(index), "unshare", "--mount",
                               "--propagation", "private", "sh", E2E_NODE_SCRIPT,
                               pair.interfaceName(index), host, work.string(), E2E_ROAD_NODE},
      environment);
}

std::string skipReason() {
  if (::geteuid() != 0)
    return "needs root to create network namespaces";
  for (const char *tool : {"ip", "unshare", "avahi-daemon", "dbus-daemon"})
    if (!onPath(tool))
      return std::string("needs ") + tool;
  return {};
}

bool lineHasWord(const std::string &line, const std::string &word) {
  std::istringstream words(line);
  std::string each;
  while (words >> each)
    if (each == word)
      return true;
  return false;
}

class Namespaces : public ::testing::Test {
protected:
  void SetUp() override {
    if (const auto reason = skipReason(); !reason.empty())
      GTEST_SKIP() << reason;
    removeStaleNamespaces();
    pair_ = std::make_unique<NamespacePair>();
    if (const auto failure = pair_->setUp(); !failure.empty())
      GTEST_SKIP() << "network namespaces unavailable here: " << failure;
    for (int index : {0, 1}) {
      nodes_.push_back(startNode(*pair_, index));
      ASSERT_TRUE(nodes_.back()->started());
      ASSERT_TRUE(nodes_.back()->waitForPrefix("started", commandWait))
          << "node " << index << " did not start";
    }
  }

  void TearDown() override {
    for (auto &node : nodes_)
      node->send("quit");
    nodes_.clear();
    pair_.reset();
  }

  Child &node(int index) { return *nodes_[static_cast<std::size_t>(index)]; }

  std::unique_ptr<NamespacePair> pair_;
  std::vector<std::unique_ptr<Child>> nodes_;
};

TEST_F(Namespaces, AdvertsCrossTheLinkAndResolveToTheOtherSide) {
  const std::string idA = "a1a1a1a1a1a1a1a1", idB = "b2b2b2b2b2b2b2b2";
  node(0).send("advertise MachineA " + idA + " 40001");
  node(1).send("advertise MachineB " + idB + " 40002");
  node(0).send("browse");
  node(1).send("browse");

  const auto sees = [](const std::string &id) {
    return [id](const std::string &line) {
      return line.rfind("nearby", 0) == 0 && lineHasWord(line, id);
    };
  };
  ASSERT_TRUE(node(1).waitFor(sees(idA), discoveryWait)) << node(1).transcript();
  ASSERT_TRUE(node(0).waitFor(sees(idB), discoveryWait)) << node(0).transcript();

  node(1).send("resolve " + idA);
  const auto resolved = node(1).waitFor(
      [](const std::string &line) { return line.find("resolved") != std::string::npos; },
      commandWait);
  ASSERT_TRUE(resolved) << node(1).transcript();
  EXPECT_TRUE(lineHasWord(*resolved, "10.213.0.1:40001")) << *resolved;
}

} // namespace

namespace {

// "identity <id> <key>" → {id, key}.
std::pair<std::string, std::string> identityOf(const std::string &line) {
  std::istringstream words(line);
  std::string word, id, key;
  words >> word >> id >> key;
  return {id, key};
}

std::string secondWord(const std::string &line) {
  std::istringstream words(line);
  std::string first, second;
  words >> first >> second;
  return second;
}

TEST_F(Namespaces, SharedPortIsReachedFromTheOtherNamespaceOverTls) {
  node(0).send("engine corvane-a");
  node(1).send("engine corvane-b");
  const auto identityA = node(0).waitForPrefix("identity ", commandWait);
  const auto identityB = node(1).waitForPrefix("identity ", commandWait);
  ASSERT_TRUE(identityA && identityB) << node(0).transcript() << node(1).transcript();
  const auto [idA, keyA] = identityOf(*identityA);
  const auto [idB, keyB] = identityOf(*identityB);
  ASSERT_EQ(idA.size(), 16u);
  ASSERT_EQ(idB.size(), 16u);

  node(0).send("pair " + idB + " corvane-b " + keyB);
  node(1).send("pair " + idA + " corvane-a " + keyA);
  ASSERT_TRUE(node(0).waitForPrefix("paired ", commandWait)) << node(0).transcript();
  ASSERT_TRUE(node(1).waitForPrefix("paired ", commandWait)) << node(1).transcript();

  node(0).send("echo");
  const auto echo = node(0).waitForPrefix("echo ", commandWait);
  ASSERT_TRUE(echo) << node(0).transcript();
  const std::string service = "5E1D0C6A-0000-4000-8000-0000000000E2";
  node(0).send("share " + service + " " + secondWord(*echo));
  ASSERT_TRUE(node(0).waitForPrefix("shared ", commandWait)) << node(0).transcript();

  // Discovery over mDNS, the control link and B's proxy listening.
  node(1).send("route " + idA + " " + service);
  const auto route = node(1).waitFor(
      [](const std::string &line) { return line.rfind("route ", 0) == 0 || line == "noroute"; },
      discoveryWait + 10s);
  ASSERT_TRUE(route && *route != "noroute") << node(1).transcript();

  node(1).send("exchange " + secondWord(*route) + " 1048576");
  const auto exchanged = node(1).waitForPrefix("exchange", 2 * commandWait);
  ASSERT_TRUE(exchanged) << node(1).transcript();
  EXPECT_EQ(*exchanged, "exchanged 1048576 intact");
}

} // namespace

// The application itself: two `corvane` processes, one per namespace, each with its own home,
// paired beforehand by writing each other's peer record into the other's key store.
#include "brimvale/foundation/DeviceIdentity.h"
#include "brimvale/foundation/PairedPeerStore.h"
#include "brimvale/foundation/Preferences.h"
#include "brimvale/platform/Crypto.h"
#include "brimvale/platform/KeychainStore.h"
#include "brimvale/platform/UserDefaults.h"

namespace {

// Inside namespace A, where ports are the namespace's own.
constexpr int echoPort = 47000;
constexpr int replyPort = 47001; // a service that closes after its reply
constexpr int redisPort = 47002;
constexpr int cutPort = 47003;
constexpr int sendPort = 47004;
constexpr int gatewayPort = 46310;
constexpr std::size_t mebibyte = 1u << 20;
const std::string tool = E2E_ECHO_TOOL;

// A share of A's, its id made from its port.
corvane::ExposedService share(const std::string &name, int port) {
  corvane::ExposedService service;
  service.id = "5E1D0C6A-0000-4000-8000-0000000" + std::to_string(port);
  service.name = name;
  service.port = port;
  service.category = corvane::ServiceCategory::tool;
  return service;
}

bool anyLine(const std::string &) {
  return true;
}

bool endedWith(const std::optional<std::string> &line, const std::string &how) {
  return line && line->rfind(how + " after ", 0) == 0;
}

// What each case saw, for the record of a run that passes too.
void note(const std::string &what, const std::optional<std::string> &line) {
  std::cout << "  " << what << ": " << line.value_or("(no line)") << std::endl;
}

// Runs `work` with one environment variable set as the application will see it.
template <typename Work> void withVariable(const char *name, const std::string &value, Work work) {
  const char *old = std::getenv(name);
  const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
  ::setenv(name, value.c_str(), 1);
  work();
  if (saved)
    ::setenv(name, saved->c_str(), 1);
  else
    ::unsetenv(name);
}

class ApplicationNamespaces : public ::testing::Test {
protected:
  void SetUp() override {
    if (const auto reason = skipReason(); !reason.empty())
      GTEST_SKIP() << reason;
    removeStaleNamespaces();
    pair_ = std::make_unique<NamespacePair>();
    if (const auto failure = pair_->setUp(); !failure.empty())
      GTEST_SKIP() << "network namespaces unavailable here: " << failure;
  }

  void TearDown() override {
    nodes_.clear();
    pair_.reset();
  }

  std::filesystem::path home(int index) const { return pair_->work(index); }

  // Identity, peer record and settings of one machine, written where its program reads them.
  void prepareHome(int index, const corvane::DeviceIdentity &self,
                   const corvane::DeviceIdentity &other, const std::string &otherName,
                   const corvane::Preferences &preferences) {
    for (const char *sub : {"data", "config", "runtime"})
      std::filesystem::create_directories(home(index) / sub);
    withVariable("XDG_DATA_HOME", (home(index) / "data").string(), [&] {
      corvane::KeychainStore store;
      ASSERT_TRUE(store.write(corvane::DeviceIdentity::account, self.privateKey()));
      const auto peers = corvane::encodePairedPeers(
          {corvane::PairedPeer{other.deviceID(), otherName, other.publicKey(), 0}});
      ASSERT_TRUE(peers);
      ASSERT_TRUE(store.write(corvane::PairedPeerStore::account, *peers));
    });
    withVariable("XDG_CONFIG_HOME", (home(index) / "config").string(), [&] {
      corvane::UserDefaults defaults(corvane::UserDefaults::standardDomain);
      corvane::savePreferences(preferences, defaults);
      defaults.setString("deviceName", otherName == "corvane-a" ? "corvane-b" : "corvane-a");
    });
  }

  std::unique_ptr<Child> startApp(int index, const std::string &command) {
    const auto work = home(index);
    std::vector<std::string> environment = {
        "XDG_DATA_HOME=" + (work / "data").string(),
        "XDG_CONFIG_HOME=" + (work / "config").string(),
        "XDG_RUNTIME_DIR=" + (work / "runtime").string(),
        "HOME=" + work.string(),
        "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/run/dbus/system_bus_socket",
        "ASAN_OPTIONS=detect_leaks=0",
    };
    const std::string host = index == 0 ? "corvane-e2e-a" : "corvane-e2e-b";
    return std::make_unique<Child>(
        std::vector<std::string>{"ip", "netns", "exec", pair_->name(index), "unshare", "--mount",
                                 "--propagation", "private", "sh", E2E_NODE_SCRIPT,
                                 pair_->interfaceName(index), host, work.string(), "sh", "-c",
                                 command},
        environment);
  }

  // A program in machine `index`'s namespace but outside its application's shell, so that it
  // outlives the application.
  std::unique_ptr<Child> in(int index, std::vector<std::string> args) {
    args.insert(args.begin(), {"ip", "netns", "exec", pair_->name(index)});
    return std::make_unique<Child>(std::move(args), std::vector<std::string>{});
  }

  // A service in A once it has printed `ready`.
  std::unique_ptr<Child> service(std::vector<std::string> args, const std::string &ready) {
    auto child = in(0, std::move(args));
    if (!child->waitFor(
            [&](const std::string &line) { return line.find(ready) != std::string::npos; },
            commandWait))
      ADD_FAILURE() << "service did not start:\n" << child->transcript();
    return child;
  }

  // Pairs the machines, shares `shares` from A, starts both applications and waits until B
  // listens for every share: B's local port of each by name, or none.
  std::map<std::string, std::string>
  startRoutes(const std::vector<corvane::ExposedService> &shares) {
    corvane::Preferences sharing;
    sharing.services = shares;
    prepareHome(0, a_, b_, "corvane-b", sharing);
    prepareHome(1, b_, a_, "corvane-a", corvane::Preferences{});
    if (HasFatalFailure())
      return {};
    for (int index : {0, 1})
      nodes_.push_back(
          startApp(index, "exec " + std::string(E2E_APPLICATION) + " --headless 2>&1"));
    std::map<std::string, std::string> ports;
    const std::string route = "Route to \"";
    const auto all = nodes_[1]->waitFor(
        [&](const std::string &line) {
          const auto start = line.find(route);
          if (start != std::string::npos &&
              line.find("listening on localhost:") != std::string::npos) {
            const auto name = start + route.size();
            ports[line.substr(name, line.find('"', name) - name)] =
                line.substr(line.rfind(':') + 1);
          }
          return ports.size() == shares.size();
        },
        discoveryWait + 30s);
    if (!all) {
      ADD_FAILURE() << "no route to every share\n" << logs();
      return {};
    }
    quiet_ = connectionsIntoA();
    return ports;
  }

  // Both applications' lines so far, for a failure's message.
  std::string logs() {
    for (auto &node : nodes_)
      if (node)
        node->waitFor([](const std::string &) { return false; }, 300ms);
    return "B:\n" + nodes_[1]->transcript() + "A:\n" + nodes_[0]->transcript();
  }

  // Established connections to A's gateway: B's control link, and each stream while A holds it.
  int connectionsIntoA() const {
    std::string listing;
    run({"ip", "netns", "exec", pair_->name(0), "ss", "-Htn", "state", "established",
         "( sport = :" + std::to_string(gatewayPort) + " )"},
        &listing);
    return static_cast<int>(std::count(listing.begin(), listing.end(), '\n'));
  }

  // Until A has let go of the streams of the case before, which would count against the next.
  void waitQuiet() {
    const auto deadline = Clock::now() + commandWait;
    while (connectionsIntoA() > quiet_ && Clock::now() < deadline)
      ::usleep(100'000);
    EXPECT_LE(connectionsIntoA(), quiet_) << "streams of the case before still held";
  }

  // SIGKILLs machine `index`'s application, found among its namespace's processes; true once it
  // has gone, its sockets with it.
  bool killApp(int index) {
    const auto app = std::filesystem::canonical(E2E_APPLICATION);
    std::string pids;
    run({"ip", "netns", "pids", pair_->name(index)}, &pids);
    std::istringstream list(pids);
    for (pid_t pid; list >> pid;) {
      const std::filesystem::path exe = "/proc/" + std::to_string(pid) + "/exe";
      std::error_code error;
      if (std::filesystem::read_symlink(exe, error) != app)
        continue;
      ::kill(pid, SIGKILL);
      // A zombie has no executable any more, nor sockets.
      const auto deadline = Clock::now() + commandWait;
      while (std::filesystem::read_symlink(exe, error) == app)
        if (Clock::now() > deadline)
          return false;
        else
          ::usleep(20'000);
      return true;
    }
    return false;
  }

  // How the stream of a client in B ends when machine `index`'s application is killed 1 MiB
  // into a 16 MiB reply, more than the buffers of both machines hold.
  std::optional<std::string> killedMidReply(int index, const std::string &port) {
    const auto reader = in(1, {tool, "read", port, std::to_string(mebibyte), "60"});
    if (!reader->waitForPrefix("paused ", commandWait)) {
      ADD_FAILURE() << reader->transcript() << logs();
      return std::nullopt;
    }
    EXPECT_TRUE(killApp(index)) << "application " << index << " not found";
    reader->send("go");
    return reader->waitFor(anyLine, 2 * commandWait);
  }

  const corvane::DeviceIdentity a_ = corvane::DeviceIdentity::generate();
  const corvane::DeviceIdentity b_ = corvane::DeviceIdentity::generate();
  std::unique_ptr<NamespacePair> pair_;
  std::vector<std::unique_ptr<Child>> nodes_;
  int quiet_ = 0;
};

TEST_F(ApplicationNamespaces, PairedApplicationsRouteASharedPortAcrossTheLink) {
  const auto echo = service({tool, "serve", std::to_string(echoPort)}, "echo ");
  const auto reply = service({tool, "reply", std::to_string(replyPort)}, "reply ");
  auto routes = startRoutes({share("Echo", echoPort), share("Reply", replyPort)});
  ASSERT_FALSE(routes.empty());

  const auto client = in(1, {tool, "exchange", routes["Echo"], "1048576"});
  const auto exchanged = client->waitForPrefix("exchange", 2 * commandWait);
  ASSERT_TRUE(exchanged) << logs();
  EXPECT_EQ(*exchanged, "exchanged 1048576 intact") << logs();
  // A client that ends its sending after its request (`nc -N`, scripts) reads the reply, and
  // the end of a service that closes after it reaches that client at once, not after the
  // relay's wait for more.
  const auto asker = in(1, {tool, "ask", routes["Reply"]});
  const auto answered = asker->waitForPrefix("a", 2 * commandWait);
  ASSERT_TRUE(answered) << logs();
  ASSERT_EQ(answered->rfind("answered +PONG ", 0), 0u) << *answered;
  // Far below the relay's wait for a silent service, and generous for a busy machine.
  EXPECT_LT(std::stod(answered->substr(answered->rfind(' ') + 1)), 30.0);
  // Short connections one after another, each closed by its client as soon as it has its
  // answer, are never refused: each client's end frees its stream.
  const auto pinger = in(1, {tool, "pings", routes["Echo"], "300"});
  const auto pinged = pinger->waitForPrefix("pinged", 4 * commandWait);
  ASSERT_TRUE(pinged) << logs();
  EXPECT_EQ(*pinged, "pinged 300 of 300") << logs();

  // Both quit cleanly on SIGTERM.
  for (auto &node : nodes_)
    node.reset();
}

// Streams kept open at the limit, a service's reset, and the sharer's application killed last.
TEST_F(ApplicationNamespaces, StreamsAtTheLimitAndCutStreamsEndAsTheyShould) {
  const bool redis = onPath("redis-server");
  std::unique_ptr<Child> redisServer;
  std::vector<corvane::ExposedService> shares = {share("Reply", replyPort), share("Cut", cutPort),
                                                 share("Sender", sendPort)};
  if (redis) {
    redisServer = service({"redis-server", "--port", std::to_string(redisPort), "--bind",
                           "127.0.0.1", "--save", "", "--appendonly", "no"},
                          "Ready to accept connections");
    shares.push_back(share("Redis", redisPort));
  }
  const auto reply = service({tool, "reply", std::to_string(replyPort)}, "reply ");
  const auto cut =
      service({tool, "cut", std::to_string(cutPort), std::to_string(mebibyte)}, "cut ");
  const auto sender =
      service({tool, "send", std::to_string(sendPort), std::to_string(16 * mebibyte)}, "send ");
  auto routes = startRoutes(shares);
  ASSERT_FALSE(routes.empty());

  // A pool at the limit keeps every connection it has; one more is refused, as a reset.
  if (!redis) {
    std::cout << "  redis-server missing: no pool case" << std::endl;
  } else {
    const auto pool = in(1, {tool, "pool", routes["Redis"], "64"});
    const auto pooled = pool->waitForPrefix("pool ", 4 * commandWait);
    note("pool to Redis", pooled);
    EXPECT_EQ(pooled.value_or("no line"), "pool 64 answered; next ended reset; again 64 of 64")
        << logs();
  }
  waitQuiet();

  // Connections that have read their reply and its end but stay open, as pools keep them until
  // their next use, leave room for a new one.
  {
    const auto kept = in(1, {tool, "kept", routes["Reply"], "64"});
    const auto line = kept->waitForPrefix("kept ", 4 * commandWait);
    note("kept ends", line);
    EXPECT_EQ(line.value_or("no line"), "kept 64 of 64; next answered") << logs();
  }
  waitQuiet();

  // A service's reset reaches the client as one; straight across first, which shows that the
  // client tells a reset from a clean end.
  for (const auto &[index, port] :
       {std::pair{0, std::to_string(cutPort)}, std::pair{1, routes["Cut"]}}) {
    const auto reader = in(index, {tool, "read", port, "0", "30"});
    const auto line = reader->waitFor(anyLine, 2 * commandWait);
    note(index == 0 ? "service reset, straight across" : "service reset, through the route", line);
    EXPECT_TRUE(endedWith(line, "ended reset")) << line.value_or("no end") << "\n" << logs();
  }
  waitQuiet();

  // A machine that holds every stream it may have, never reading from nor ending them, is
  // refused one more rather than losing one of its own to it.
  {
    const auto holder = in(1, {E2E_HOLD_TOOL, "10.213.0.1", std::to_string(gatewayPort),
                               corvane::hexText(b_.privateKey()), corvane::hexText(a_.publicKey()),
                               share("Reply", replyPort).id, "64"});
    const auto line = holder->waitForPrefix("held ", 4 * commandWait);
    note("streams held on the wire", line);
    EXPECT_EQ(line.value_or("no line"), "held 64 of 64; next refused too many connections")
        << logs();
  }
  waitQuiet();

  const auto line = killedMidReply(0, routes["Sender"]);
  note("sharer killed", line);
  EXPECT_TRUE(endedWith(line, "ended reset")) << line.value_or("no end") << "\n" << logs();
  note("  its service", sender->waitForPrefix("1: ", commandWait));
}

TEST_F(ApplicationNamespaces, TheUsersApplicationKilledMidReplyResetsItsClient) {
  const auto sender =
      service({tool, "send", std::to_string(sendPort), std::to_string(16 * mebibyte)}, "send ");
  auto routes = startRoutes({share("Sender", sendPort)});
  ASSERT_FALSE(routes.empty());
  const auto line = killedMidReply(1, routes["Sender"]);
  note("user killed", line);
  EXPECT_TRUE(endedWith(line, "ended reset")) << line.value_or("no end") << "\n" << logs();
}

// A gap in the link that TCP bridges is no end; a link lost for good ends both sides' streams
// with a reset long before TCP's keep-alive would.
TEST_F(ApplicationNamespaces, AStreamOutlastsALinkGapAndALostLinkResetsBothEnds) {
  const auto sender =
      service({tool, "send", std::to_string(sendPort), std::to_string(16 * mebibyte)}, "send ");
  auto routes = startRoutes({share("Sender", sendPort)});
  ASSERT_FALSE(routes.empty());
  const auto link = [&](const char *state) {
    return run({"ip", "-n", pair_->name(0), "link", "set", pair_->interfaceName(0), state}) == 0;
  };
  const auto pausedReader = [&] {
    auto reader = in(1, {tool, "read", routes["Sender"], std::to_string(mebibyte), "150"});
    if (!reader->waitForPrefix("paused ", commandWait))
      ADD_FAILURE() << reader->transcript() << logs();
    return reader;
  };
  {
    const auto reader = pausedReader();
    ASSERT_TRUE(link("down"));
    // The gap itself, which the stream must outlast.
    std::this_thread::sleep_for(20s);
    ASSERT_TRUE(link("up"));
    reader->send("go");
    const auto line = reader->waitFor(anyLine, 3 * commandWait);
    note("after a 20 s gap", line);
    EXPECT_EQ(line.value_or("no end"), "ended clean after " + std::to_string(16 * mebibyte))
        << logs();
    note("  its service", sender->waitForPrefix("1: ", commandWait));
  }

  const auto reader = pausedReader();
  ASSERT_TRUE(link("down"));
  const auto down = Clock::now();
  const auto bound = down + 120s;
  reader->send("go");
  const auto line = reader->waitFor(anyLine, bound - Clock::now());
  const std::chrono::duration<double> took = Clock::now() - down;
  note("link lost, " + std::to_string(took.count()) + " s", line);
  EXPECT_TRUE(endedWith(line, "ended reset")) << line.value_or("no end") << "\n" << logs();
  EXPECT_LE(took, 90s);
  const auto served =
      sender->waitForPrefix("2: ", std::max<Clock::duration>(bound - Clock::now(), 1s));
  note("  its service", served);
  EXPECT_TRUE(served && served->ends_with(", reset")) << served.value_or("no end");
}

} // namespace

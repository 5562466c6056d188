// Two machines in two network namespaces joined by a veth pair, each with its own system bus
// and avahi-daemon, find each other over real mDNS. Needs root; skips otherwise.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
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
#include "brimvale/platform/KeychainStore.h"
#include "brimvale/platform/UserDefaults.h"

namespace {

// Inside namespace A, where ports are the namespace's own.
constexpr int echoPort = 47000;
const std::string echoShareID = "5E1D0C6A-0000-4000-8000-0000000000E3";
// A service that closes after its reply.
constexpr int replyPort = 47001;
const std::string replyShareID = "5E1D0C6A-0000-4000-8000-0000000000E4";

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

  std::unique_ptr<NamespacePair> pair_;
  std::vector<std::unique_ptr<Child>> nodes_;
};

TEST_F(ApplicationNamespaces, PairedApplicationsRouteASharedPortAcrossTheLink) {
  const auto a = corvane::DeviceIdentity::generate();
  const auto b = corvane::DeviceIdentity::generate();

  corvane::Preferences sharing;
  corvane::ExposedService echo;
  echo.id = echoShareID;
  echo.name = "Echo";
  echo.port = echoPort;
  echo.category = corvane::ServiceCategory::tool;
  sharing.services.push_back(echo);
  corvane::ExposedService reply = echo;
  reply.id = replyShareID;
  reply.name = "Reply";
  reply.port = replyPort;
  sharing.services.push_back(reply);
  prepareHome(0, a, b, "corvane-b", sharing);
  if (HasFatalFailure())
    return;
  prepareHome(1, b, a, "corvane-a", corvane::Preferences{});
  if (HasFatalFailure())
    return;

  const std::string app = E2E_APPLICATION;
  const std::string tool = E2E_ECHO_TOOL;
  nodes_.push_back(startApp(0, tool + " serve " + std::to_string(echoPort) + " & " + tool +
                                   " reply " + std::to_string(replyPort) + " & exec " + app +
                                   " --headless 2>&1"));
  nodes_.push_back(startApp(1, "exec " + app + " --headless 2>&1"));
  for (auto &node : nodes_)
    ASSERT_TRUE(node->started());

  // B finds A over mDNS, links, and listens for A's shares on local ports.
  std::string port, replyLocal;
  const auto routes = nodes_[1]->waitFor(
      [&](const std::string &line) {
        if (line.find("listening on localhost:") != std::string::npos)
          (line.find("\"Reply\"") != std::string::npos ? replyLocal : port) =
              line.substr(line.rfind(':') + 1);
        return !port.empty() && !replyLocal.empty();
      },
      discoveryWait + 30s);
  ASSERT_TRUE(routes) << "B:\n" << nodes_[1]->transcript() << "A:\n" << nodes_[0]->transcript();

  Child client({"ip", "netns", "exec", pair_->name(1), tool, "exchange", port, "1048576"}, {});
  const auto exchanged = client.waitForPrefix("exchange", 2 * commandWait);
  ASSERT_TRUE(exchanged) << nodes_[1]->transcript();
  EXPECT_EQ(*exchanged, "exchanged 1048576 intact") << "B:\n"
                                                    << nodes_[1]->transcript() << "A:\n"
                                                    << nodes_[0]->transcript();
  // A client that ends its sending after its request (`nc -N`, scripts) reads the reply, and
  // the end of a service that closes after it reaches that client at once, not after the
  // relay's wait for more.
  Child asker({"ip", "netns", "exec", pair_->name(1), tool, "ask", replyLocal}, {});
  const auto answered = asker.waitForPrefix("a", 2 * commandWait);
  ASSERT_TRUE(answered) << nodes_[1]->transcript();
  ASSERT_EQ(answered->rfind("answered +PONG ", 0), 0u) << *answered;
  // Far below the relay's wait for a silent service, and generous for a busy machine.
  EXPECT_LT(std::stod(answered->substr(answered->rfind(' ') + 1)), 30.0);
  // Short connections one after another, each closed by its client as soon as it has its
  // answer, are never refused: each client's end frees its stream.
  Child pinger({"ip", "netns", "exec", pair_->name(1), tool, "pings", port, "300"}, {});
  const auto pinged = pinger.waitForPrefix("pinged", 4 * commandWait);
  ASSERT_TRUE(pinged) << nodes_[1]->transcript();
  EXPECT_EQ(*pinged, "pinged 300 of 300") << "B:\n"
                                          << nodes_[1]->transcript() << "A:\n"
                                          << nodes_[0]->transcript();

  // Both quit cleanly on SIGTERM.
  for (auto &node : nodes_)
    node.reset();
}

} // namespace

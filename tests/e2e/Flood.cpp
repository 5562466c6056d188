#include "tests/e2e/Flood.h"

#include "brimvale/foundation/Frame.h"
#include "brimvale/foundation/SecureChannel.h"
#include "brimvale/platform/Connection.h"
#include "brimvale/platform/Crypto.h"
#include "brimvale/platform/Endpoint.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace corvane::e2e {

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::duration<double> seconds(double value) {
  return std::chrono::duration<double>(value);
}

// A socket bound to `source` and connecting to 127.0.0.1:`port`; -1 when that failed at once.
int connectFrom(const std::string &source, std::uint16_t port, bool blocking) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), 0);
  if (fd < 0)
    return -1;
  sockaddr_in from{};
  from.sin_family = AF_INET;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  if (::inet_pton(AF_INET, source.c_str(), &from.sin_addr) != 1 ||
      ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr) != 1 ||
      ::bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0) {
    ::close(fd);
    return -1;
  }
  if (::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0 && errno != EINPROGRESS) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Whether the server has closed (or reset) this socket; it never sends anything before TLS.
bool serverClosed(int fd) {
  char byte;
  const ssize_t n = ::recv(fd, &byte, 1, MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

std::optional<std::string> readLine(int fd, Clock::time_point deadline) {
  std::string line;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0)
      return std::nullopt;
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0)
      continue;
    char c;
    const ssize_t n = ::read(fd, &c, 1);
    if (n <= 0)
      return std::nullopt;
    if (c == '\n')
      return line;
    line.push_back(c);
  }
}

} // namespace

Resident residentOf(pid_t pid) {
  Resident resident;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    std::istringstream words(line);
    std::string key;
    std::size_t value = 0;
    words >> key >> value;
    if (key == "VmRSS:")
      resident.currentKiB = value;
    else if (key == "VmHWM:")
      resident.peakKiB = value;
  }
  return resident;
}

GatewayNode::GatewayNode(const std::string &program, const DeviceIdentity &peer, double readyWait) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0)
    return;
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return;
  }
  std::string id = peer.deviceID();
  std::string key = base64Encode(peer.publicKey());
  pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
#if defined(__SANITIZE_ADDRESS__)
    // Freed blocks are held back by the sanitizer up to 256 MiB by default, which would be
    // measured as the engine's; a small quarantine keeps the figure about the engine.
    const char *given = std::getenv("ASAN_OPTIONS");
    std::string options = std::string(given ? given : "") + ":quarantine_size_mb=8";
    ::setenv("ASAN_OPTIONS", options.c_str(), 1);
#endif
    std::string path = program;
    char *argv[] = {path.data(), id.data(), key.data(), nullptr};
    ::execv(argv[0], argv);
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  toNode_ = in[1];
  if (pid > 0) {
    const auto line = readLine(
        out[0], Clock::now() + std::chrono::duration_cast<Clock::duration>(seconds(readyWait)));
    std::istringstream words(line.value_or(""));
    std::string word, keyText;
    unsigned gatewayPort = 0;
    words >> word >> gatewayPort >> deviceID >> keyText >> serviceID;
    auto decoded = base64Decode(keyText);
    if (word == "ready" && gatewayPort > 0 && gatewayPort <= 65535 && decoded) {
      publicKey = *decoded;
      port = static_cast<std::uint16_t>(gatewayPort);
    }
  }
  ::close(out[0]);
}

GatewayNode::~GatewayNode() {
  if (toNode_ >= 0)
    ::close(toNode_);
  if (pid <= 0)
    return;
  // It ends on its own once its input is closed; a node that hangs is not waited for forever.
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::vector<int> openSilent(const std::string &source, std::uint16_t port, std::size_t count) {
  std::vector<int> fds;
  fds.reserve(count);
  for (std::size_t i = 0; i < count; ++i)
    if (const int fd = connectFrom(source, port, true); fd >= 0)
      fds.push_back(fd);
  return fds;
}

std::size_t settle(const std::vector<int> &fds, std::size_t keptAtMost, double limit) {
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(seconds(limit));
  std::vector<bool> closed(fds.size(), false);
  std::size_t open = fds.size();
  for (;;) {
    for (std::size_t i = 0; i < fds.size(); ++i)
      if (!closed[i] && serverClosed(fds[i])) {
        closed[i] = true;
        --open;
      }
    if (open <= keptAtMost || Clock::now() > deadline)
      return open;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void closeAll(std::vector<int> &fds) {
  for (int fd : fds)
    ::close(fd);
  fds.clear();
}

SustainedFlood::SustainedFlood(std::string source, std::uint16_t port, std::size_t width)
    : source_(std::move(source)), port_(port), width_(width), thread_([this] { run(); }) {}

SustainedFlood::~SustainedFlood() {
  stopping_ = true;
  thread_.join();
}

void SustainedFlood::run() {
  std::vector<int> fds;
  std::vector<pollfd> entries;
  while (!stopping_) {
    while (fds.size() < width_) {
      const int fd = connectFrom(source_, port_, false);
      if (fd < 0)
        break; // out of ports or descriptors for now; the next round tries again
      fds.push_back(fd);
      opened_.fetch_add(1);
    }
    entries.clear();
    for (int fd : fds)
      entries.push_back(pollfd{fd, POLLIN | POLLRDHUP, 0});
    if (::poll(entries.data(), entries.size(), 50) <= 0)
      continue;
    std::vector<int> kept;
    kept.reserve(fds.size());
    for (const auto &entry : entries) {
      if ((entry.revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)) && serverClosed(entry.fd)) {
        ::close(entry.fd);
        closed_.fetch_add(1);
      } else {
        kept.push_back(entry.fd);
      }
    }
    fds = std::move(kept);
  }
  closeAll(fds);
}

std::optional<double> reachShare(std::uint16_t port, const PairKeys &keys,
                                 const std::string &deviceID, const std::string &serviceID,
                                 const std::shared_ptr<SerialQueue> &queue, double timeout) {
  using Opened = std::expected<std::shared_ptr<Connection>, ChannelError>;
  const auto started = Clock::now();
  const auto deadline = started + std::chrono::duration_cast<Clock::duration>(seconds(timeout));

  // Shared with the completions, which may outlive this call when it gives up.
  auto opened = std::make_shared<std::promise<Opened>>();
  auto openedResult = opened->get_future();
  SecureChannel::openClient(
      Endpoint::hostPort(Endpoint::Host::loopbackIPv4(), port), keys, deviceID, Frame::Mode::open,
      serviceID, queue, [opened](Opened result) { opened->set_value(std::move(result)); }, timeout);
  if (openedResult.wait_until(deadline) != std::future_status::ready)
    return std::nullopt; // openClient ends itself at its own time-out
  auto connection = openedResult.get();
  if (!connection)
    return std::nullopt;

  const Bytes payload = randomBytes(4096);
  (*connection)->send(payload);
  Bytes echoed;
  while (echoed.size() < payload.size()) {
    auto received = std::make_shared<std::promise<std::pair<Bytes, bool>>>();
    auto result = received->get_future();
    (*connection)
        ->receive(1, payload.size() - echoed.size(),
                  [received](Bytes data, bool complete, std::optional<NetworkError> e) {
                    received->set_value({std::move(data), complete || e.has_value()});
                  });
    if (result.wait_until(deadline) != std::future_status::ready) {
      (*connection)->cancel();
      return std::nullopt;
    }
    auto [data, ended] = result.get();
    echoed.insert(echoed.end(), data.begin(), data.end());
    if (ended && echoed.size() < payload.size())
      break;
  }
  (*connection)->cancel();
  if (echoed != payload)
    return std::nullopt;
  return std::chrono::duration<double>(Clock::now() - started).count();
}

} // namespace corvane::e2e

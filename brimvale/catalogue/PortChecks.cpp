#include "brimvale/catalogue/PortChecks.h"

#include "brimvale/catalogue/KnownServices.h"

#include <algorithm>
#include <asio/connect.hpp>
#include <asio/post.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace corvane {

namespace {

// Bounds the sockets a scan holds open at once.
constexpr std::size_t maxScanAttemptsInFlight = 32;
constexpr int listeningPollMilliseconds = 250;

asio::ip::address addressOf(const Endpoint::Host &host) {
  if (host.kind == Endpoint::Host::Kind::ipv4) {
    return asio::ip::address_v4(asio::ip::address_v4::bytes_type{host.address[0], host.address[1],
                                                                 host.address[2], host.address[3]});
  }
  asio::ip::address_v6::bytes_type bytes;
  std::copy(host.address.begin(), host.address.end(), bytes.begin());
  return asio::ip::address_v6(bytes, host.scopeID);
}

std::chrono::steady_clock::duration secondsToDuration(double seconds) {
  if (!(seconds > 0))
    return std::chrono::steady_clock::duration::zero();
  // A day is far beyond any probe; it keeps the conversion from overflowing.
  seconds = std::min(seconds, 86400.0);
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(seconds));
}

struct LoopbackAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;
};

LoopbackAddress loopbackAddress(AddressFamily family, int port) {
  LoopbackAddress result;
  if (family == AddressFamily::ipv4) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::memcpy(&result.storage, &address, sizeof address);
    result.length = sizeof address;
  } else {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(static_cast<std::uint16_t>(port));
    address.sin6_addr = in6addr_loopback;
    std::memcpy(&result.storage, &address, sizeof address);
    result.length = sizeof address;
  }
  return result;
}

int socketFor(AddressFamily family) {
  return ::socket(family == AddressFamily::ipv4 ? AF_INET : AF_INET6, SOCK_STREAM | SOCK_CLOEXEC,
                  0);
}

std::vector<int> makeCandidatePorts() {
  std::set<int> ports;
  for (const auto &service : KnownService::catalogue())
    ports.insert(service.port);
  const std::pair<int, int> ranges[] = {{3000, 3010}, {4000, 4010}, {5000, 5010}, {5173, 5180},
                                        {8000, 8010}, {8080, 8090}, {9000, 9010}};
  for (auto [first, last] : ranges)
    for (int port = first; port <= last; ++port)
      ports.insert(port);
  for (int port : {1313, 4200, 4321, 6006, 8443, 8888, 19006})
    ports.insert(port);
  return {ports.begin(), ports.end()};
}

// The scan's bookkeeping lives on a strand of its own; children report back to it.
struct Scan : std::enable_shared_from_this<Scan> {
  Scan(ProbePool &pool, std::vector<int> ports, double timeout,
       std::function<void(std::map<int, Endpoint::Host>)> completion)
      : pool(pool), strand(pool.makeStrand()), ports(std::move(ports)), timeout(timeout),
        completion(std::move(completion)) {}

  void begin() {
    asio::post(strand, [self = shared_from_this()] {
      if (self->ports.empty()) {
        self->completion(std::move(self->found));
        return;
      }
      while (self->running < maxScanAttemptsInFlight && self->next < self->ports.size())
        self->launch();
    });
  }

  void launch() {
    int port = ports[next++];
    ++running;
    tryHost(port, 0);
  }

  void tryHost(int port, std::size_t hostIndex) {
    const auto &hosts = loopbackHosts();
    if (hostIndex >= hosts.size()) {
      childFinished(port, std::nullopt);
      return;
    }
    accepts(pool, hosts[hostIndex], port, timeout,
            [self = shared_from_this(), port, hostIndex](bool accepted) {
              asio::post(self->strand, [self, port, hostIndex, accepted] {
                if (accepted)
                  self->childFinished(port, loopbackHosts()[hostIndex]);
                else
                  self->tryHost(port, hostIndex + 1);
              });
            });
  }

  void childFinished(int port, std::optional<Endpoint::Host> host) {
    if (host)
      found.emplace(port, *host);
    --running;
    if (next < ports.size()) {
      launch();
    } else if (running == 0) {
      completion(std::move(found));
    }
  }

  ProbePool &pool;
  ProbePool::Strand strand;
  std::vector<int> ports;
  double timeout;
  std::function<void(std::map<int, Endpoint::Host>)> completion;
  std::map<int, Endpoint::Host> found;
  std::size_t next = 0;
  std::size_t running = 0;
};

} // namespace

ProbePool::ProbePool(std::size_t threads) : pool_(std::max<std::size_t>(threads, 1)) {}

ProbePool::~ProbePool() {
  pool_.join();
}

ProbePool::Strand ProbePool::makeStrand() {
  return asio::make_strand(pool_.get_executor());
}

ProbeAttempt::ProbeAttempt(ProbePool::Strand strand)
    : strand_(strand), socket_(strand_), resolver_(strand_), timer_(strand_) {}

std::shared_ptr<ProbeAttempt> ProbeAttempt::create(ProbePool &pool) {
  return std::make_shared<ProbeAttempt>(pool.makeStrand());
}

void ProbeAttempt::start(const Endpoint::Host &host, std::uint16_t port, double timeout,
                         Connected connected, Expired expired) {
  asio::post(strand_, [self = shared_from_this(), host, port, timeout,
                       connected = std::move(connected), expired = std::move(expired)]() mutable {
    self->timer_.expires_after(secondsToDuration(timeout));
    self->timer_.async_wait([self, expired = std::move(expired)](std::error_code error) {
      if (!error && !self->finished_)
        expired();
    });
    if (host.kind != Endpoint::Host::Kind::name) {
      self->connectTo({asio::ip::tcp::endpoint(addressOf(host), port)}, 0, std::move(connected));
      return;
    }
    self->resolver_.async_resolve(
        host.name, std::to_string(port), asio::ip::resolver_base::numeric_service,
        [self, connected = std::move(connected)](
            std::error_code error, asio::ip::tcp::resolver::results_type results) mutable {
          if (self->finished_)
            return;
          if (error) {
            connected(error);
            return;
          }
          std::vector<asio::ip::tcp::endpoint> endpoints;
          for (const auto &entry : results)
            endpoints.push_back(entry.endpoint());
          self->connectTo(std::move(endpoints), 0, std::move(connected));
        });
  });
}

void ProbeAttempt::connectTo(std::vector<asio::ip::tcp::endpoint> endpoints, std::size_t index,
                             Connected connected) {
  if (index >= endpoints.size()) {
    connected(asio::error::host_not_found);
    return;
  }
  std::error_code ignored;
  socket_.close(ignored);
  auto endpoint = endpoints[index];
  socket_.async_connect(endpoint,
                        [self = shared_from_this(), endpoints = std::move(endpoints), index,
                         connected = std::move(connected)](std::error_code error) mutable {
                          if (self->finished_)
                            return;
                          if (error && index + 1 < endpoints.size()) {
                            self->connectTo(std::move(endpoints), index + 1, std::move(connected));
                            return;
                          }
                          connected(error);
                        });
}

bool ProbeAttempt::finish() {
  if (finished_)
    return false;
  finished_ = true;
  std::error_code ignored;
  timer_.cancel();
  resolver_.cancel();
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
  return true;
}

std::string ListeningPort::displayTitle(int port, const std::optional<std::string> &label) {
  std::string title = "Port " + std::to_string(port);
  if (label)
    title += " \u00B7 " + *label;
  return title;
}

ShareCandidate ListeningPort::makeCandidate(int port, const std::optional<std::string> &label) {
  bool web = label && label->starts_with("HTTP");
  return ShareCandidate{"port " + std::to_string(port), port,
                        web ? ExposedService::ServiceCategory::web
                            : ExposedService::ServiceCategory::custom};
}

const std::vector<Endpoint::Host> &loopbackHosts() {
  static const std::vector<Endpoint::Host> hosts{Endpoint::Host::loopbackIPv4(),
                                                 Endpoint::Host::loopbackIPv6()};
  return hosts;
}

const std::vector<int> &candidatePorts() {
  static const std::vector<int> ports = makeCandidatePorts();
  return ports;
}

void probeConnection(ProbePool &pool, const Endpoint::Host &host, std::uint16_t port,
                     double timeout, std::function<void(bool)> completion) {
  auto attempt = ProbeAttempt::create(pool);
  auto shared = std::make_shared<std::function<void(bool)>>(std::move(completion));
  std::weak_ptr<ProbeAttempt> weak = attempt;
  attempt->start(
      host, port, timeout,
      [weak, shared](std::error_code error) {
        if (auto self = weak.lock(); self && self->finish())
          (*shared)(!error);
      },
      [weak, shared] {
        if (auto self = weak.lock(); self && self->finish())
          (*shared)(false);
      });
}

void accepts(ProbePool &pool, const Endpoint::Host &host, int port, double timeout,
             std::function<void(bool)> completion) {
  // Clamping a port above 65535 would probe a different service; such a port answers nothing.
  if (port <= 0 || port > 65535) {
    asio::post(pool.makeStrand(), [completion = std::move(completion)] { completion(false); });
    return;
  }
  probeConnection(pool, host, static_cast<std::uint16_t>(port), timeout, std::move(completion));
}

void checkPortAccepts(ProbePool &pool, int port, double timeout,
                      std::function<void(bool)> completion) {
  accepts(pool, Endpoint::Host::loopbackIPv4(), port, timeout,
          [&pool, port, timeout, completion = std::move(completion)](bool accepted) mutable {
            if (accepted) {
              completion(true);
              return;
            }
            accepts(pool, Endpoint::Host::loopbackIPv6(), port, timeout, std::move(completion));
          });
}

void scanListeningPorts(ProbePool &pool, std::vector<int> ports, double timeout,
                        std::function<void(std::map<int, Endpoint::Host>)> completion) {
  std::make_shared<Scan>(pool, std::move(ports), timeout, std::move(completion))->begin();
}

BindResult canBindLoopbackPort(AddressFamily family, int port) {
  if (port < 0 || port > 65535)
    return BindResult::otherError;
  int fd = socketFor(family);
  if (fd < 0)
    return BindResult::otherError;
  // Bound as the route's listeners bind: connections that linger after closing then keep
  // nothing out, while any socket that holds the address, listening or not, does.
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  auto address = loopbackAddress(family, port);
  int result = ::bind(fd, reinterpret_cast<const sockaddr *>(&address.storage), address.length);
  int error = errno;
  ::close(fd);
  if (result == 0)
    return BindResult::free;
  return error == EADDRINUSE ? BindResult::inUse : BindResult::otherError;
}

bool isPortListening(AddressFamily family, int port) {
  if (port <= 0 || port > 65535)
    return false;
  int fd = socketFor(family);
  if (fd < 0)
    return false;
  bool listening = false;
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0) {
    auto address = loopbackAddress(family, port);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address.storage), address.length) == 0) {
      listening = true;
    } else if (errno == EINPROGRESS) {
      pollfd entry{fd, POLLOUT, 0};
      auto deadline =
          std::chrono::steady_clock::now() + std::chrono::milliseconds(listeningPollMilliseconds);
      int ready = -1;
      for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        ready = ::poll(&entry, 1, static_cast<int>(std::max<long long>(left, 0)));
        if (ready >= 0 || errno != EINTR)
          break;
      }
      if (ready == 1) {
        int pending = 0;
        socklen_t length = sizeof pending;
        listening = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) == 0 && pending == 0;
      }
    }
  }
  ::close(fd);
  return listening;
}

std::optional<PortChoiceProblem> checkPortChoice(int port, const PortChoiceKey &key,
                                                 const std::map<PortChoiceKey, int> &assigned,
                                                 const std::set<int> &reserved,
                                                 const std::function<bool(int)> &isFree) {
  if (port < 1024 || port > 65535)
    return PortChoiceProblem::outOfRange();
  if (auto own = assigned.find(key); own != assigned.end() && own->second == port)
    return std::nullopt;
  if (reserved.contains(port))
    return PortChoiceProblem::usedHere(port);
  for (const auto &[other, otherPort] : assigned)
    if (otherPort == port && other != key)
      return PortChoiceProblem::usedHere(port);
  if (!isFree || !isFree(port))
    return PortChoiceProblem::usedElsewhere(port);
  return std::nullopt;
}

std::string portProblemText(int port, const PortChoiceProblem &problem) {
  switch (problem.which) {
  case PortChoiceProblem::Case::usedHere:
    return "Corvane already uses port " + std::to_string(port) + ".";
  case PortChoiceProblem::Case::usedElsewhere:
    return "Another app is using port " + std::to_string(port) + " on this Mac.";
  case PortChoiceProblem::Case::outOfRange: break;
  }
  return "Pick a port from 1024 to 65535.";
}

} // namespace corvane

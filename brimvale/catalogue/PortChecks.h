#pragma once

#include "brimvale/foundation/ShareModel.h"
#include "brimvale/platform/Endpoint.h"

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/thread_pool.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <vector>

namespace corvane {

// The threads on which probes run. Every probe gets a short-lived strand of its own, so all
// callbacks of one probe are serialised without a lock. Owned by the caller; it must outlive
// the probes started on it and must not be destroyed from one of its own threads.
class ProbePool {
public:
  using Strand = asio::strand<asio::thread_pool::executor_type>;

  explicit ProbePool(std::size_t threads = 2);
  // Waits for the probes in flight, each bounded by its time-out.
  ~ProbePool();
  ProbePool(const ProbePool &) = delete;
  ProbePool &operator=(const ProbePool &) = delete;

  Strand makeStrand();

private:
  asio::thread_pool pool_;
};

// One plain TCP connection attempt with one time-out, on its own strand. The first of
// finish() and the time-out wins; later events find it finished.
class ProbeAttempt : public std::enable_shared_from_this<ProbeAttempt> {
public:
  using Connected = std::function<void(std::error_code)>;
  using Expired = std::function<void()>;

  static std::shared_ptr<ProbeAttempt> create(ProbePool &pool);

  // `connected` and `expired` run on the strand; `expired` only when nothing finished first.
  void start(const Endpoint::Host &host, std::uint16_t port, double timeout, Connected connected,
             Expired expired);
  // True the first time: closes the socket and stops the timer. Call on the strand.
  bool finish();
  bool finished() const { return finished_; }

  asio::ip::tcp::socket &socket() { return socket_; }
  ProbePool::Strand &strand() { return strand_; }

  explicit ProbeAttempt(ProbePool::Strand strand);

private:
  void connectTo(std::vector<asio::ip::tcp::endpoint> endpoints, std::size_t index,
                 Connected connected);

  ProbePool::Strand strand_;
  asio::ip::tcp::socket socket_;
  asio::ip::tcp::resolver resolver_;
  asio::steady_timer timer_;
  bool finished_ = false;
};

// A port found listening on this Mac, as the share editor lists it.
struct ListeningPort {
  int port = 0;
  std::optional<std::string> label; // what answered, filled in after the scan

  bool operator==(const ListeningPort &) const = default;

  static std::string displayTitle(int port, const std::optional<std::string> &label);
  static ShareCandidate makeCandidate(int port, const std::optional<std::string> &label);
};

// 127.0.0.1, then ::1: the order in which this Mac's own ports are tried.
const std::vector<Endpoint::Host> &loopbackHosts();

enum class AddressFamily { ipv4, ipv6 };

enum class BindResult { free, inUse, otherError };

// Why a chosen local port cannot be used; `port` is set for usedHere and usedElsewhere.
struct PortChoiceProblem {
  enum class Case { usedHere, usedElsewhere, outOfRange };

  static PortChoiceProblem usedHere(int port) { return {Case::usedHere, port}; }
  static PortChoiceProblem usedElsewhere(int port) { return {Case::usedElsewhere, port}; }
  static PortChoiceProblem outOfRange() { return {Case::outOfRange, 0}; }

  Case which = Case::outOfRange;
  int port = 0;

  bool operator==(const PortChoiceProblem &) const = default;
};

// The service a local port is given to: the paired Mac's device identifier and the name.
struct PortChoiceKey {
  std::string deviceID;
  std::string serviceName;

  auto operator<=>(const PortChoiceKey &) const = default;
};

// The ports the scan of this Mac tries, ascending, without duplicates.
const std::vector<int> &candidatePorts();

// Calls `completion` exactly once, on the probe's strand: true when a TCP connection was
// established before the time-out.
void probeConnection(ProbePool &pool, const Endpoint::Host &host, std::uint16_t port,
                     double timeout, std::function<void(bool)> completion);

// A port outside 1...65535 answers false without connecting.
void accepts(ProbePool &pool, const Endpoint::Host &host, int port, double timeout,
             std::function<void(bool)> completion);

// 127.0.0.1 first; ::1 only when IPv4 did not accept.
void checkPortAccepts(ProbePool &pool, int port, double timeout,
                      std::function<void(bool)> completion);

// Each port that accepted, with the first loopback host that accepted it. At most 32
// connection attempts are in flight at once.
void scanListeningPorts(ProbePool &pool, std::vector<int> ports, double timeout,
                        std::function<void(std::map<int, Endpoint::Host>)> completion);

// Blocking checks of at most 250 ms, for the service manager's choice of a local port.
// canBindLoopbackPort binds with address reuse, as the proxy's listeners do: `inUse` means a
// socket holds the address (listening or not), not a closed connection lingering there.
BindResult canBindLoopbackPort(AddressFamily family, int port);
bool isPortListening(AddressFamily family, int port);

std::optional<PortChoiceProblem> checkPortChoice(int port, const PortChoiceKey &key,
                                                 const std::map<PortChoiceKey, int> &assigned,
                                                 const std::set<int> &reserved,
                                                 const std::function<bool(int)> &isFree);

std::string portProblemText(int port, const PortChoiceProblem &problem);

} // namespace corvane

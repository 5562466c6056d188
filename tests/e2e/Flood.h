#pragma once

#include "brimvale/foundation/DeviceIdentity.h"
#include "brimvale/foundation/PairKeys.h"
#include "brimvale/platform/Bytes.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace corvane {

class SerialQueue;

namespace e2e {

// A process's resident memory (VmRSS) and its peak so far (VmHWM), in KiB; zero when the
// process cannot be read.
struct Resident {
  std::size_t currentKiB = 0;
  std::size_t peakKiB = 0;
};
Resident residentOf(pid_t pid);

// An engine in a process of its own (tests/e2e/gateway_node) that trusts `peer` and shares an
// echo server with it. Destroying it closes the node's input, which ends it.
class GatewayNode {
public:
  GatewayNode(const std::string &program, const DeviceIdentity &peer, double readyWait);
  ~GatewayNode();

  GatewayNode(const GatewayNode &) = delete;
  GatewayNode &operator=(const GatewayNode &) = delete;

  // Whether the node came up and reported its gateway.
  bool ready() const { return port != 0; }

  pid_t pid = -1;
  std::uint16_t port = 0;
  std::string deviceID;
  Bytes publicKey;
  std::string serviceID;

private:
  int toNode_ = -1;
};

// Plain TCP connections from `source` (a loopback address) to 127.0.0.1:`port` that never
// send a byte, as strangers flooding the gateway would. Connections that could not be made are
// left out.
std::vector<int> openSilent(const std::string &source, std::uint16_t port, std::size_t count);
// Waits until at most `keptAtMost` of `fds` are still open (the server closed the others), or
// `seconds` passed; how many are open then.
std::size_t settle(const std::vector<int> &fds, std::size_t keptAtMost, double seconds);
void closeAll(std::vector<int> &fds);

// A flood that lasts until destroyed: `width` silent connections from `source` are kept in
// flight, and each one the server closes is replaced at once.
class SustainedFlood {
public:
  SustainedFlood(std::string source, std::uint16_t port, std::size_t width);
  ~SustainedFlood();

  SustainedFlood(const SustainedFlood &) = delete;
  SustainedFlood &operator=(const SustainedFlood &) = delete;

  std::uint64_t opened() const { return opened_.load(); }
  std::uint64_t closedByServer() const { return closed_.load(); }

private:
  void run();

  std::string source_;
  std::uint16_t port_;
  std::size_t width_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> opened_{0};
  std::atomic<std::uint64_t> closed_{0};
  std::thread thread_;
};

// What a paired machine does to use a share: TLS with its pair key from 127.0.0.1, the hello in
// open mode for `serviceID`, and a payload echoed back intact. The seconds it took, or nothing
// when any step failed or `timeout` passed.
std::optional<double> reachShare(std::uint16_t port, const PairKeys &keys,
                                 const std::string &deviceID, const std::string &serviceID,
                                 const std::shared_ptr<SerialQueue> &queue, double timeout);

} // namespace e2e
} // namespace corvane

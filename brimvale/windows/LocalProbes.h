#pragma once

#include "brimvale/catalogue/PortChecks.h"
#include "brimvale/platform/Endpoint.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

// How the windows look at this Mac's own ports: whether a port accepts, which of many ports
// accept (and on which loopback host), and what answers on a port. Each call answers exactly
// once, on any thread; a probe that fails or times out answers false or nothing.
struct LocalProbes {
  using Accepts = std::function<void(int port, double timeout, std::function<void(bool)> done)>;
  using Scan = std::function<void(std::vector<int> ports, double timeout,
                                  std::function<void(std::map<int, Endpoint::Host>)> done)>;
  using Version = std::function<void(const Endpoint::Host &host, int port,
                                     std::function<void(std::optional<std::string>)> done)>;

  Accepts accepts;
  Scan scan;
  Version detectVersion;

  // The real probes on `pool`. The copies of the result keep the pool; drop the last of them on
  // the main thread (the pool then waits for the probes in flight, each bounded by its time-out).
  static LocalProbes on(std::shared_ptr<ProbePool> pool);
};

} // namespace corvane

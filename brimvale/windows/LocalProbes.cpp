#include "brimvale/windows/LocalProbes.h"

#include "brimvale/catalogue/ServiceVersion.h"

namespace corvane {

LocalProbes LocalProbes::on(std::shared_ptr<ProbePool> pool) {
  LocalProbes probes;
  probes.accepts = [pool](int port, double timeout, std::function<void(bool)> done) {
    checkPortAccepts(*pool, port, timeout, std::move(done));
  };
  probes.scan = [pool](std::vector<int> ports, double timeout,
                       std::function<void(std::map<int, Endpoint::Host>)> done) {
    scanListeningPorts(*pool, std::move(ports), timeout, std::move(done));
  };
  probes.detectVersion = [pool](const Endpoint::Host &host, int port,
                                std::function<void(std::optional<std::string>)> done) {
    ServiceVersion::detectVersion(*pool, host, port, std::move(done));
  };
  return probes;
}

} // namespace corvane

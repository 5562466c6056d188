#pragma once

#include "brimvale/platform/Endpoint.h"
#include "brimvale/platform/NetworkError.h"

#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace corvane {

class SerialQueue;

// A DNS-SD service as advertised: name, type ("_corvane._tcp"), domain ("" = local) and TXT.
struct DnsSdService {
  std::string name;
  std::string type;
  std::string domain;
  std::map<std::string, std::string> txt;
};

// DNS-SD publishing, browsing and resolving. Backends: Avahi (the system's daemon) and an
// in-process registry for tests; the callers cannot tell them apart.
class DnsSd {
public:
  virtual ~DnsSd() = default;

  // Ends a publication or a browse when destroyed.
  class Handle {
  public:
    virtual ~Handle() = default;
  };

  struct BrowseResult {
    Endpoint endpoint; // an Endpoint::Service whose resolver is this backend
    std::map<std::string, std::string> txt;
  };

  // The name may change on a collision; a missing daemon is logged, not thrown.
  virtual std::unique_ptr<Handle> publish(const DnsSdService &service, std::uint16_t port) = 0;

  // `onResults` receives the complete current set every time it changes; `onFailure` reports
  // that browsing stopped. Both run on `queue`.
  virtual std::unique_ptr<Handle>
  browse(const std::string &type, std::shared_ptr<SerialQueue> queue,
         std::function<void(std::vector<BrowseResult>)> onResults,
         std::function<void(NetworkError)> onFailure) = 0;

  // Host and port candidates of a service, in the order to try them. May complete on any thread.
  virtual void
  resolve(const Endpoint::Service &service,
          std::function<void(std::expected<std::vector<Endpoint::HostPort>, NetworkError>)>
              completion) = 0;
};

} // namespace corvane

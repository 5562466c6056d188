#pragma once

#include "brimvale/platform/DnsSd.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace corvane {

// The shared "network" of RegistryDnsSd instances: what one instance publishes, every instance
// on the same registry browses and resolves. Safe from any thread.
class DnsSdRegistry : public std::enable_shared_from_this<DnsSdRegistry> {
public:
  static std::shared_ptr<DnsSdRegistry> create();

  struct Publication {
    std::uint64_t id = 0;
    DnsSdService service; // with the name as finally registered
    std::uint16_t port = 0;
  };

  // The publications currently visible, in the order they were made.
  std::vector<Publication> publications() const;

  struct Impl;

private:
  DnsSdRegistry();
  friend class RegistryDnsSd;
  std::shared_ptr<Impl> impl_;
};

// DNS-SD inside one process, for tests: several engines in one process see each other, and a
// resolved service answers at 127.0.0.1 on its published port.
class RegistryDnsSd : public DnsSd, public std::enable_shared_from_this<RegistryDnsSd> {
public:
  static std::shared_ptr<RegistryDnsSd> create(std::shared_ptr<DnsSdRegistry> registry);

  std::unique_ptr<Handle> publish(const DnsSdService &service, std::uint16_t port) override;
  std::unique_ptr<Handle> browse(const std::string &type, std::shared_ptr<SerialQueue> queue,
                                 std::function<void(std::vector<BrowseResult>)> onResults,
                                 std::function<void(NetworkError)> onFailure) override;
  void resolve(const Endpoint::Service &service,
               std::function<void(std::expected<std::vector<Endpoint::HostPort>, NetworkError>)>
                   completion) override;

private:
  explicit RegistryDnsSd(std::shared_ptr<DnsSdRegistry> registry);
  std::shared_ptr<DnsSdRegistry> registry_;
};

// DNS-SD instance names are one DNS label: at most 63 bytes, never cut inside a UTF-8 sequence.
std::string truncateServiceName(std::string_view name, std::size_t maxBytes = 63);

// The name to try after `name` collided: "name #2", then "name #3", … within 63 bytes.
std::string alternativeServiceName(std::string_view name);

} // namespace corvane

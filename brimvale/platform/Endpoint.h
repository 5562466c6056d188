#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace corvane {

class DnsSd;

// Defined outside Endpoint so that their member initialisers are complete before the variant
// of Endpoint needs them; used as Endpoint::Host and Endpoint::HostPort.
struct EndpointHost {
  enum class Kind { name, ipv4, ipv6 };
  Kind kind = Kind::name;
  std::string name;                       // for Kind::name
  std::array<std::uint8_t, 16> address{}; // first 4 bytes for ipv4
  std::uint32_t scopeID = 0;              // ipv6 zone

  static EndpointHost named(std::string name);
  static EndpointHost ipv4(std::array<std::uint8_t, 4> bytes);
  static EndpointHost ipv6(std::array<std::uint8_t, 16> bytes, std::uint32_t scopeID = 0);
  // An IPv4 or IPv6 literal (an IPv6 literal may carry "%zone"); absent otherwise.
  static std::optional<EndpointHost> parseAddress(const std::string &text);
  static EndpointHost loopbackIPv4();
  static EndpointHost loopbackIPv6();

  // The name as given, or the canonical text of the address.
  std::string text() const;
  bool operator==(const EndpointHost &) const;
};

struct EndpointHostPort {
  EndpointHost host;
  std::uint16_t port = 0; // 0 asks the system for any port
  bool operator==(const EndpointHostPort &) const = default;
};

// Where a connection goes: a host and port, or a DNS-SD service that is resolved when a
// connection is made to it.
struct Endpoint {
  using Host = EndpointHost;
  using HostPort = EndpointHostPort;

  struct Service {
    std::string name;
    std::string type;
    std::string domain;
    std::string interfaceName;
    // Resolves the service when a connection is made; not part of equality.
    std::shared_ptr<DnsSd> resolver;
    bool operator==(const Service &other) const {
      return name == other.name && type == other.type && domain == other.domain &&
             interfaceName == other.interfaceName;
    }
  };

  std::variant<HostPort, Service> value;

  static Endpoint hostPort(Host host, std::uint16_t port);
  static Endpoint service(Service service);

  const HostPort *asHostPort() const { return std::get_if<HostPort>(&value); }
  const Service *asService() const { return std::get_if<Service>(&value); }

  // For logs: "127.0.0.1:46310", "[::1]:46310", "name._corvane._tcp.local".
  std::string description() const;
  bool operator==(const Endpoint &) const = default;
};

} // namespace corvane

#include "brimvale/platform/Endpoint.h"

#include <arpa/inet.h>
#include <cstring>
#include <net/if.h>

namespace corvane {

Endpoint::Host Endpoint::Host::named(std::string name) {
  EndpointHost host;
  host.kind = Kind::name;
  host.name = std::move(name);
  return host;
}

Endpoint::Host Endpoint::Host::ipv4(std::array<std::uint8_t, 4> bytes) {
  EndpointHost host;
  host.kind = Kind::ipv4;
  std::copy(bytes.begin(), bytes.end(), host.address.begin());
  return host;
}

Endpoint::Host Endpoint::Host::ipv6(std::array<std::uint8_t, 16> bytes, std::uint32_t scopeID) {
  EndpointHost host;
  host.kind = Kind::ipv6;
  host.address = bytes;
  host.scopeID = scopeID;
  return host;
}

std::optional<Endpoint::Host> Endpoint::Host::parseAddress(const std::string &text) {
  if (text.empty() || text.find('\0') != std::string::npos)
    return std::nullopt;
  std::array<std::uint8_t, 4> v4{};
  if (inet_pton(AF_INET, text.c_str(), v4.data()) == 1)
    return ipv4(v4);
  std::string address = text;
  std::uint32_t scope = 0;
  if (auto percent = text.find('%'); percent != std::string::npos) {
    address = text.substr(0, percent);
    std::string zone = text.substr(percent + 1);
    if (zone.empty() || zone.size() >= IF_NAMESIZE)
      return std::nullopt;
    if (zone.find_first_not_of("0123456789") == std::string::npos) {
      if (zone.size() > 9)
        return std::nullopt;
      scope = static_cast<std::uint32_t>(std::stoul(zone));
    } else {
      scope = if_nametoindex(zone.c_str());
      if (scope == 0)
        return std::nullopt;
    }
  }
  std::array<std::uint8_t, 16> v6{};
  if (inet_pton(AF_INET6, address.c_str(), v6.data()) == 1)
    return ipv6(v6, scope);
  return std::nullopt;
}

Endpoint::Host Endpoint::Host::loopbackIPv4() {
  return ipv4({127, 0, 0, 1});
}

Endpoint::Host Endpoint::Host::loopbackIPv6() {
  std::array<std::uint8_t, 16> bytes{};
  bytes[15] = 1;
  return ipv6(bytes);
}

std::string Endpoint::Host::text() const {
  char buffer[INET6_ADDRSTRLEN] = {};
  switch (kind) {
  case Kind::name: return name;
  case Kind::ipv4: inet_ntop(AF_INET, address.data(), buffer, sizeof buffer); return buffer;
  case Kind::ipv6: {
    inet_ntop(AF_INET6, address.data(), buffer, sizeof buffer);
    std::string result = buffer;
    if (scopeID != 0) {
      char zone[IF_NAMESIZE] = {};
      result += '%';
      result += if_indextoname(scopeID, zone) ? std::string(zone) : std::to_string(scopeID);
    }
    return result;
  }
  }
  return {};
}

bool Endpoint::Host::operator==(const EndpointHost &other) const {
  if (kind != other.kind)
    return false;
  switch (kind) {
  case Kind::name: return name == other.name;
  case Kind::ipv4: return std::memcmp(address.data(), other.address.data(), 4) == 0;
  case Kind::ipv6: return address == other.address && scopeID == other.scopeID;
  }
  return false;
}

Endpoint Endpoint::hostPort(Host host, std::uint16_t port) {
  return Endpoint{HostPort{std::move(host), port}};
}

Endpoint Endpoint::service(Service service) {
  return Endpoint{std::move(service)};
}

std::string Endpoint::description() const {
  if (const auto *hp = asHostPort()) {
    std::string host = hp->host.text();
    if (hp->host.kind == Host::Kind::ipv6)
      host = "[" + host + "]";
    return host + ":" + std::to_string(hp->port);
  }
  const auto &s = std::get<Service>(value);
  std::string domain = s.domain.empty() ? "local" : s.domain;
  if (!domain.empty() && domain.back() == '.')
    domain.pop_back();
  return s.name + "." + s.type + "." + domain;
}

} // namespace corvane

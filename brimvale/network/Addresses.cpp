#include "brimvale/network/Addresses.h"

#include "brimvale/platform/HostName.h"
#include "brimvale/platform/Unicode.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <bit>
#include <net/if.h>

namespace corvane {

namespace {

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  while (true) {
    auto end = text.find(separator, start);
    if (end == std::string_view::npos) {
      pieces.push_back(text.substr(start));
      return pieces;
    }
    pieces.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

bool allDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string asciiLower(std::string_view text) {
  std::string lower(text);
  for (char &c : lower) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c + 32);
    }
  }
  return lower;
}

// Rule A: four dotted decimal pieces the system parser also accepts.
std::optional<std::array<std::uint8_t, 4>> ipv4Literal(std::string_view text) {
  auto pieces = split(text, '.');
  if (pieces.size() != 4) {
    return std::nullopt;
  }
  for (auto piece : pieces) {
    if (piece.size() > 3 || !allDigits(piece) || std::stoi(std::string(piece)) > 255) {
      return std::nullopt;
    }
  }
  std::array<std::uint8_t, 4> bytes{};
  if (inet_pton(AF_INET, std::string(text).c_str(), bytes.data()) != 1) {
    return std::nullopt;
  }
  return bytes;
}

struct IPv6Literal {
  std::array<std::uint8_t, 16> bytes{};
  std::uint32_t scopeID = 0;
};

// Rule B: a zone must name an interface that exists here.
std::optional<IPv6Literal> ipv6Literal(std::string_view text) {
  if (text.find(':') == std::string_view::npos) {
    return std::nullopt;
  }
  IPv6Literal literal;
  std::string address(text);
  if (auto percent = text.find('%'); percent != std::string_view::npos) {
    std::string zone(text.substr(percent + 1));
    address.resize(percent);
    if (zone.empty() || zone.size() >= IF_NAMESIZE) {
      return std::nullopt;
    }
    if (allDigits(zone)) {
      char name[IF_NAMESIZE] = {};
      unsigned long index = zone.size() <= 9 ? std::stoul(zone) : 0;
      if (index == 0 || if_indextoname(static_cast<unsigned>(index), name) == nullptr) {
        return std::nullopt;
      }
      literal.scopeID = static_cast<std::uint32_t>(index);
    } else {
      literal.scopeID = if_nametoindex(zone.c_str());
      if (literal.scopeID == 0) {
        return std::nullopt;
      }
    }
  }
  if (inet_pton(AF_INET6, address.c_str(), literal.bytes.data()) != 1) {
    return std::nullopt;
  }
  return literal;
}

// Rule N; gives the normalised name.
std::optional<std::string> hostName(std::string_view text) {
  std::string name = asciiLower(text);
  if (!name.empty() && name.back() == '.') {
    name.pop_back();
  }
  if (name.empty() || name.size() > 253) {
    return std::nullopt;
  }
  auto labels = split(name, '.');
  for (auto label : labels) {
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') {
      return std::nullopt;
    }
    for (char c : label) {
      bool allowed = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
      if (!allowed) {
        return std::nullopt;
      }
    }
  }
  if (allDigits(labels.back())) {
    return std::nullopt;
  }
  // The resolver's lenient parser would read names like "0x7f000001" as an address.
  in_addr ignored{};
  if (inet_aton(name.c_str(), &ignored) != 0) {
    return std::nullopt;
  }
  return name;
}

bool isPrivateIPv4(const std::uint8_t *b) {
  return b[0] == 10 || (b[0] == 100 && b[1] >= 64 && b[1] <= 127) || (b[0] == 169 && b[1] == 254) ||
         (b[0] == 172 && b[1] >= 16 && b[1] <= 31) || (b[0] == 192 && b[1] == 168);
}

bool isIPv4Mapped(const std::array<std::uint8_t, 16> &b) {
  return std::all_of(b.begin(), b.begin() + 10, [](auto x) { return x == 0; }) && b[10] == 0xFF &&
         b[11] == 0xFF;
}

bool isPrivateIPv6(const std::array<std::uint8_t, 16> &b) {
  if (isIPv4Mapped(b)) {
    return isPrivateIPv4(b.data() + 12);
  }
  return (b[0] & 0xFE) == 0xFC || (b[0] == 0xFE && b[1] >= 0x80 && b[1] <= 0xBF);
}

Endpoint::Host ipv4Host(const std::array<std::uint8_t, 4> &bytes) {
  Endpoint::Host host;
  host.kind = Endpoint::Host::Kind::ipv4;
  std::copy(bytes.begin(), bytes.end(), host.address.begin());
  return host;
}

Endpoint::Host ipv6Host(const IPv6Literal &literal) {
  Endpoint::Host host;
  host.kind = Endpoint::Host::Kind::ipv6;
  host.address = literal.bytes;
  host.scopeID = literal.scopeID;
  return host;
}

bool insideSubnet(const std::uint8_t *address, std::size_t length,
                  const std::vector<LocalAddresses::Subnet> &subnets) {
  for (const auto &subnet : subnets) {
    if (subnet.address.size() != length || subnet.mask.size() != length) {
      continue;
    }
    int prefix = 0;
    for (auto byte : subnet.mask) {
      prefix += std::popcount(byte);
    }
    // Wide subnets would let far-away hosts count as neighbours.
    if (prefix < (length == 4 ? 16 : 32)) {
      continue;
    }
    bool inside = true;
    for (std::size_t i = 0; i < length; ++i) {
      inside = inside && ((address[i] ^ subnet.address[i]) & subnet.mask[i]) == 0;
    }
    if (inside) {
      return true;
    }
  }
  return false;
}

} // namespace

namespace ManualAddress {

std::expected<Parsed, Problem> parseManualAddress(std::string_view input) {
  std::string text = trimmingWhitespaceAndNewlines(input);
  if (text.empty()) {
    return std::unexpected(Problem::unreadable);
  }
  for (unsigned char c : text) {
    if (c < 33 || c > 126) {
      return std::unexpected(Problem::unreadable);
    }
  }

  std::string_view host;
  std::optional<std::string_view> portText;
  std::string_view view = text;
  bool bracketed = view.front() == '[';
  if (bracketed) {
    auto close = view.find(']');
    if (close == std::string_view::npos) {
      return std::unexpected(Problem::unreadable);
    }
    host = view.substr(1, close - 1);
    auto rest = view.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') {
        return std::unexpected(Problem::unreadable);
      }
      portText = rest.substr(1);
    }
  } else if (std::count(view.begin(), view.end(), ':') == 1) {
    auto colon = view.find(':');
    host = view.substr(0, colon);
    portText = view.substr(colon + 1);
  } else {
    host = view;
  }

  std::optional<std::uint16_t> port;
  if (portText) {
    if (portText->size() > 5 || !allDigits(*portText)) {
      return std::unexpected(Problem::unreadable);
    }
    int value = std::stoi(std::string(*portText));
    if (value < 1 || value > 65535) {
      return std::unexpected(Problem::unreadable);
    }
    port = static_cast<std::uint16_t>(value);
  }

  if (bracketed) {
    if (!ipv6Literal(host)) {
      return std::unexpected(Problem::unreadable);
    }
  } else if (auto v4 = ipv4Literal(host)) {
    if (!isPrivateIPv4(v4->data())) {
      return std::unexpected(Problem::notLocal);
    }
    return Parsed{ipv4Host(*v4).text(), port};
  }
  if (auto v6 = ipv6Literal(host)) {
    if (!isPrivateIPv6(v6->bytes)) {
      return std::unexpected(Problem::notLocal);
    }
    return Parsed{ipv6Host(*v6).text(), port};
  }
  if (auto name = hostName(host)) {
    if (!isLocalName(*name)) {
      return std::unexpected(Problem::notLocal);
    }
    return Parsed{*name, port};
  }
  return std::unexpected(Problem::unreadable);
}

std::string displayText(const std::string &host, std::optional<std::uint16_t> port) {
  if (!port) {
    return host;
  }
  std::string text = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  return text + ":" + std::to_string(*port);
}

Endpoint endpoint(const std::string &host, std::optional<std::uint16_t> port,
                  std::uint16_t defaultPort) {
  Endpoint::HostPort target;
  target.port = port.value_or(defaultPort);
  if (auto v4 = ipv4Literal(host)) {
    target.host = ipv4Host(*v4);
  } else if (auto v6 = ipv6Literal(host)) {
    target.host = ipv6Host(*v6);
  } else {
    target.host.kind = Endpoint::Host::Kind::name;
    target.host.name = host;
  }
  return Endpoint{target};
}

} // namespace ManualAddress

bool isLocalName(std::string_view input) {
  std::string name = asciiLower(input);
  if (name == "localhost") {
    return false;
  }
  if (name.find('.') == std::string::npos) {
    return true;
  }
  for (std::string_view suffix : {".local", ".lan", ".home.arpa", ".internal"}) {
    if (name.ends_with(suffix)) {
      return true;
    }
  }
  return false;
}

namespace LocalAddresses {

std::vector<Subnet> localSubnets(const std::vector<InterfaceAddress> &interfaces) {
  std::vector<Subnet> subnets;
  for (const auto &entry : interfaces) {
    bool ip = entry.family == InterfaceAddress::Family::ipv4 ||
              entry.family == InterfaceAddress::Family::ipv6;
    if ((entry.flags & IFF_UP) == 0 || !ip || entry.address.empty() ||
        entry.netmask.size() != entry.address.size()) {
      continue;
    }
    subnets.push_back({entry.address, entry.netmask});
  }
  return subnets;
}

std::vector<Subnet> localSubnets() {
  auto interfaces = readInterfaces();
  return interfaces ? localSubnets(*interfaces) : std::vector<Subnet>{};
}

bool isLocalHost(const Endpoint::Host &host, const std::vector<Subnet> &subnets) {
  auto ipv4Local = [&](const std::uint8_t *bytes) {
    return bytes[0] == 127 || isPrivateIPv4(bytes) || insideSubnet(bytes, 4, subnets);
  };
  switch (host.kind) {
  case Endpoint::Host::Kind::ipv4: return ipv4Local(host.address.data());
  case Endpoint::Host::Kind::ipv6: {
    if (isIPv4Mapped(host.address)) {
      return ipv4Local(host.address.data() + 12);
    }
    static constexpr std::array<std::uint8_t, 16> loopback{0, 0, 0, 0, 0, 0, 0, 0,
                                                           0, 0, 0, 0, 0, 0, 0, 1};
    return host.address == loopback || isPrivateIPv6(host.address) ||
           insideSubnet(host.address.data(), 16, subnets);
  }
  case Endpoint::Host::Kind::name: return false;
  }
  return false;
}

std::vector<std::string>
thisMacAddresses(const std::optional<std::vector<InterfaceAddress>> &interfaces,
                 const std::optional<std::string> &localHostName) {
  std::vector<std::string> candidates;
  if (interfaces) {
    for (const auto &entry : *interfaces) {
      if ((entry.flags & IFF_UP) == 0 || (entry.flags & IFF_LOOPBACK) != 0 ||
          entry.family != InterfaceAddress::Family::ipv4 || entry.address.size() != 4) {
        continue;
      }
      std::array<std::uint8_t, 4> bytes{};
      std::copy(entry.address.begin(), entry.address.end(), bytes.begin());
      candidates.push_back(ipv4Host(bytes).text());
    }
  }
  if (localHostName) {
    std::string name = asciiLower(*localHostName);
    // The host name source already carries the suffix; add it only where it is missing.
    candidates.push_back(name.ends_with(".local") ? name : name + ".local");
  }
  std::vector<std::string> result;
  for (const auto &text : candidates) {
    if (std::find(result.begin(), result.end(), text) != result.end()) {
      continue;
    }
    if (ManualAddress::parseManualAddress(text)) {
      result.push_back(text);
    }
  }
  return result;
}

std::vector<std::string> thisMacAddresses() {
  return thisMacAddresses(readInterfaces(), localHostName());
}

} // namespace LocalAddresses

} // namespace corvane

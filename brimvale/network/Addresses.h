#pragma once

#include "brimvale/platform/Endpoint.h"
#include "brimvale/platform/Interfaces.h"

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// Addresses that people type for a paired machine; only local-network hosts are accepted.
namespace ManualAddress {

enum class Problem { unreadable, notLocal };

struct Parsed {
  std::string host; // canonical address text, or the lower-cased name without trailing dot
  std::optional<std::uint16_t> port;
  bool operator==(const Parsed &) const = default;
};

std::expected<Parsed, Problem> parseManualAddress(std::string_view text);

// "host", "host:port" or "[v6]:port": the text stored for a typed address.
std::string displayText(const std::string &host, std::optional<std::uint16_t> port);

Endpoint endpoint(const std::string &host, std::optional<std::uint16_t> port,
                  std::uint16_t defaultPort);

} // namespace ManualAddress

// Single-label names and the local-only suffixes; never "localhost".
bool isLocalName(std::string_view name);

// This machine's interface subnets, the locality check of remote hosts, and the addresses by
// which other machines can reach this one.
namespace LocalAddresses {

struct Subnet {
  std::vector<std::uint8_t> address; // 4 or 16 bytes, network order
  std::vector<std::uint8_t> mask;
  bool operator==(const Subnet &) const = default;
};

std::vector<Subnet> localSubnets();
std::vector<Subnet> localSubnets(const std::vector<InterfaceAddress> &interfaces);

bool isLocalHost(const Endpoint::Host &host, const std::vector<Subnet> &subnets);

std::vector<std::string> thisMacAddresses();
std::vector<std::string>
thisMacAddresses(const std::optional<std::vector<InterfaceAddress>> &interfaces,
                 const std::optional<std::string> &localHostName);

} // namespace LocalAddresses

} // namespace corvane

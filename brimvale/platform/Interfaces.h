#pragma once

#include "brimvale/platform/Bytes.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

// One entry of the system's interface list; an interface appears once per address it has.
struct InterfaceAddress {
  enum class Family { none, ipv4, ipv6, link, other };

  std::string name;
  unsigned int flags = 0; // IFF_UP, IFF_RUNNING, IFF_BROADCAST, IFF_LOOPBACK, …
  Family family = Family::none;
  Bytes address;   // 4 or 16 bytes in network order, or the hardware address for `link`
  Bytes netmask;   // same family as `address`, empty when absent
  Bytes broadcast; // IPv4 broadcast address, empty when absent
  std::uint32_t scopeID = 0;

  bool operator==(const InterfaceAddress &) const = default;
};

// The interface list in the system's order; absent when it cannot be read.
std::optional<std::vector<InterfaceAddress>> readInterfaces();

} // namespace corvane

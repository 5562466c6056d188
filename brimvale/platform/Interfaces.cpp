#include "brimvale/platform/Interfaces.h"

#include <algorithm>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <memory>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace corvane {

namespace {

InterfaceAddress::Family familyOf(const sockaddr *address) {
  if (address == nullptr) {
    return InterfaceAddress::Family::none;
  }
  switch (address->sa_family) {
  case AF_INET: return InterfaceAddress::Family::ipv4;
  case AF_INET6: return InterfaceAddress::Family::ipv6;
  case AF_PACKET: return InterfaceAddress::Family::link;
  default: return InterfaceAddress::Family::other;
  }
}

Bytes bytesOfAddress(const sockaddr *address, int family) {
  if (address == nullptr || address->sa_family != family) {
    return {};
  }
  if (family == AF_INET) {
    const auto *in = reinterpret_cast<const sockaddr_in *>(address);
    const auto *raw = reinterpret_cast<const std::uint8_t *>(&in->sin_addr);
    return Bytes(raw, raw + 4);
  }
  if (family == AF_INET6) {
    const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(address);
    const auto *raw = reinterpret_cast<const std::uint8_t *>(&in6->sin6_addr);
    return Bytes(raw, raw + 16);
  }
  if (family == AF_PACKET) {
    const auto *link = reinterpret_cast<const sockaddr_ll *>(address);
    auto length = std::min<std::size_t>(link->sll_halen, sizeof(link->sll_addr));
    return Bytes(link->sll_addr, link->sll_addr + length);
  }
  return {};
}

} // namespace

std::optional<std::vector<InterfaceAddress>> readInterfaces() {
  ifaddrs *raw = nullptr;
  if (getifaddrs(&raw) != 0) {
    return std::nullopt;
  }
  std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> list(raw, &freeifaddrs);
  std::vector<InterfaceAddress> result;
  for (const ifaddrs *entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
    InterfaceAddress item;
    item.name = entry->ifa_name != nullptr ? entry->ifa_name : "";
    item.flags = entry->ifa_flags;
    item.family = familyOf(entry->ifa_addr);
    if (entry->ifa_addr != nullptr) {
      int family = entry->ifa_addr->sa_family;
      item.address = bytesOfAddress(entry->ifa_addr, family);
      item.netmask = bytesOfAddress(entry->ifa_netmask, family);
      if (family == AF_INET6) {
        item.scopeID = reinterpret_cast<const sockaddr_in6 *>(entry->ifa_addr)->sin6_scope_id;
      }
      // On Linux the broadcast address shares a field with the point-to-point destination.
      if (family == AF_INET && (entry->ifa_flags & IFF_BROADCAST) != 0) {
        item.broadcast = bytesOfAddress(entry->ifa_broadaddr, AF_INET);
      }
    }
    result.push_back(std::move(item));
  }
  return result;
}

} // namespace corvane

#pragma once

#include "brimvale/platform/BroadcastSender.h"
#include "brimvale/platform/Bytes.h"
#include "brimvale/platform/Interfaces.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

using HardwareAddress = std::array<std::uint8_t, 6>;

// Paired machines are told at most this many addresses of ours.
inline constexpr std::size_t maxHardwareAddresses = 4;
inline constexpr std::uint16_t wakePort = 9;
inline constexpr std::size_t magicPacketSize = 102;

// "aa:bb:cc:dd:ee:ff".
std::string hardwareAddressText(const HardwareAddress &address);

// Exactly six ":"-separated parts of two hexadecimal digits each; absent otherwise.
std::optional<HardwareAddress> parseHardwareAddress(std::string_view text);

// The distinct addresses of the Ethernet and Wi-Fi interfaces that are up and running, at
// most four, in interface-list order.
std::vector<std::string> hardwareAddresses();
std::vector<std::string> hardwareAddresses(const std::vector<InterfaceAddress> &interfaces);

// 255.255.255.255 first, then each broadcast-capable network's broadcast address once; IPv4
// values in network byte order. Never empty.
std::vector<std::uint32_t> broadcastAddresses();
std::vector<std::uint32_t>
broadcastAddresses(const std::optional<std::vector<InterfaceAddress>> &interfaces);

// Six 0xFF bytes, then the address sixteen times.
Bytes magicPacket(const HardwareAddress &address);

// Sends one magic packet per readable address to port 9 of every broadcast address; returns
// how many datagrams went out whole. Blocks until they are handed to the system.
int sendWake(const std::vector<std::string> &addresses, BroadcastSender &sender);
int sendWake(const std::vector<std::string> &addresses, BroadcastSender &sender,
             const std::vector<std::uint32_t> &broadcasts);

} // namespace corvane

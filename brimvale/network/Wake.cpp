#include "brimvale/network/Wake.h"

#include "brimvale/platform/Logger.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <net/if.h>

namespace corvane {

namespace {

std::optional<std::uint8_t> hexValue(char c) {
  if (c >= '0' && c <= '9') {
    return static_cast<std::uint8_t>(c - '0');
  }
  if (c >= 'a' && c <= 'f') {
    return static_cast<std::uint8_t>(c - 'a' + 10);
  }
  if (c >= 'A' && c <= 'F') {
    return static_cast<std::uint8_t>(c - 'A' + 10);
  }
  return std::nullopt;
}

// Wired and wireless interfaces under the kernel's and systemd's naming schemes; bridges,
// tunnels and virtual links cannot carry a wake packet to the machine itself.
bool isWakeableInterface(std::string_view name) {
  return name.starts_with("en") || name.starts_with("eth") || name.starts_with("wl");
}

} // namespace

std::string hardwareAddressText(const HardwareAddress &address) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < address.size(); ++i) {
    if (i > 0) {
      text.push_back(':');
    }
    text.push_back(digits[address[i] >> 4]);
    text.push_back(digits[address[i] & 0x0F]);
  }
  return text;
}

std::optional<HardwareAddress> parseHardwareAddress(std::string_view text) {
  HardwareAddress result{};
  std::size_t part = 0;
  std::size_t start = 0;
  while (true) {
    auto end = text.find(':', start);
    auto piece =
        text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (part >= result.size() || piece.size() != 2) {
      return std::nullopt;
    }
    auto high = hexValue(piece[0]);
    auto low = hexValue(piece[1]);
    if (!high || !low) {
      return std::nullopt;
    }
    result[part++] = static_cast<std::uint8_t>(*high << 4 | *low);
    if (end == std::string_view::npos) {
      break;
    }
    start = end + 1;
  }
  if (part != result.size()) {
    return std::nullopt;
  }
  return result;
}

std::vector<std::string> hardwareAddresses(const std::vector<InterfaceAddress> &interfaces) {
  std::vector<std::string> result;
  for (const auto &entry : interfaces) {
    const unsigned required = IFF_UP | IFF_RUNNING;
    if (entry.family != InterfaceAddress::Family::link || !isWakeableInterface(entry.name) ||
        (entry.flags & required) != required || entry.address.size() != 6 ||
        std::all_of(entry.address.begin(), entry.address.end(), [](auto b) { return b == 0; })) {
      continue;
    }
    HardwareAddress address{};
    std::copy(entry.address.begin(), entry.address.end(), address.begin());
    auto text = hardwareAddressText(address);
    if (std::find(result.begin(), result.end(), text) == result.end()) {
      result.push_back(std::move(text));
    }
  }
  if (result.size() > maxHardwareAddresses) {
    result.resize(maxHardwareAddresses);
  }
  return result;
}

std::vector<std::string> hardwareAddresses() {
  auto interfaces = readInterfaces();
  return interfaces ? hardwareAddresses(*interfaces) : std::vector<std::string>{};
}

std::vector<std::uint32_t>
broadcastAddresses(const std::optional<std::vector<InterfaceAddress>> &interfaces) {
  std::vector<std::uint32_t> result{0xFFFFFFFFu};
  if (!interfaces) {
    return result;
  }
  for (const auto &entry : *interfaces) {
    const unsigned required = IFF_UP | IFF_BROADCAST;
    if ((entry.flags & required) != required || entry.family != InterfaceAddress::Family::ipv4 ||
        entry.broadcast.size() != 4) {
      continue;
    }
    std::uint32_t value = 0;
    std::memcpy(&value, entry.broadcast.data(), 4);
    if (std::find(result.begin(), result.end(), value) == result.end()) {
      result.push_back(value);
    }
  }
  return result;
}

std::vector<std::uint32_t> broadcastAddresses() {
  return broadcastAddresses(readInterfaces());
}

Bytes magicPacket(const HardwareAddress &address) {
  Bytes packet(6, 0xFF);
  packet.reserve(magicPacketSize);
  for (int i = 0; i < 16; ++i) {
    packet.insert(packet.end(), address.begin(), address.end());
  }
  return packet;
}

namespace {

int sendWakeOn(const std::vector<std::string> &addresses, BroadcastSender::Socket &socket,
               const std::vector<std::uint32_t> &broadcasts) {
  std::vector<Bytes> packets;
  for (const auto &text : addresses) {
    if (auto address = parseHardwareAddress(text)) {
      packets.push_back(magicPacket(*address));
    }
  }
  int count = 0;
  int lastError = packets.empty() ? EINVAL : 0;
  for (const auto &packet : packets) {
    for (auto broadcast : broadcasts) {
      auto sent = socket.send(broadcast, wakePort, packet);
      if (sent && *sent == packet.size()) {
        ++count;
      } else if (!sent) {
        lastError = sent.error();
      } else {
        lastError = EMSGSIZE;
      }
    }
  }
  if (count == 0) {
    Logger::net().info(std::string("Wake packet could not be sent: ") + std::strerror(lastError));
  }
  return count;
}

} // namespace

int sendWake(const std::vector<std::string> &addresses, BroadcastSender &sender,
             const std::vector<std::uint32_t> &broadcasts) {
  auto socket = sender.open();
  if (!socket) {
    return 0;
  }
  return sendWakeOn(addresses, **socket, broadcasts);
}

int sendWake(const std::vector<std::string> &addresses, BroadcastSender &sender) {
  auto socket = sender.open();
  if (!socket) {
    return 0;
  }
  return sendWakeOn(addresses, **socket, broadcastAddresses());
}

} // namespace corvane

#pragma once

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <netinet/in.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

namespace corvane::testing {

// Where Linux starts its default range for outgoing connections, which is also where it puts
// listeners on port 0. A port picked above it may be taken by some other program before the
// test binds it, or between two binds of the test.
inline constexpr int outgoingPortsStart = 32768;

// Whether a listener could take the port on both 127.0.0.1 and ::1 now, as a route needs it
// (on 127.0.0.1 alone where this machine has no IPv6 loopback).
inline bool freeOnLoopback(std::uint16_t port) {
  const auto bindable = [port](bool ipv6) {
    const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
      return ipv6;
    int result;
    if (ipv6) {
      sockaddr_in6 address{};
      address.sin6_family = AF_INET6;
      address.sin6_port = htons(port);
      address.sin6_addr = in6addr_loopback;
      result = ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    } else {
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(port);
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      result = ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    }
    const int error = errno;
    ::close(fd);
    return result == 0 || (ipv6 && error != EADDRINUSE);
  };
  return bindable(false) && bindable(true);
}

// A port in [low, high) that fits, tried from a random start so that tests running at the same
// time pick apart; 0 when none does.
inline std::uint16_t pickPort(int low, int high, const std::function<bool(std::uint16_t)> &fits) {
  std::random_device device;
  const int start = static_cast<int>(device() % static_cast<unsigned>(high - low));
  for (int i = 0; i < high - low; ++i) {
    const auto port = static_cast<std::uint16_t>(low + (start + i) % (high - low));
    if (fits(port))
      return port;
  }
  return 0;
}

// A loopback port free on both addresses, below the outgoing range, and not `besides`. Above
// the range the network tests take theirs from.
inline std::uint16_t quietLoopbackPort(std::uint16_t besides = 0) {
  return pickPort(20000, outgoingPortsStart, [besides](std::uint16_t port) {
    return port != besides && freeOnLoopback(port);
  });
}

} // namespace corvane::testing

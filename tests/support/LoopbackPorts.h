#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <cstdint>
#include <functional>
#include <random>

namespace corvane::testing {

// Where Linux starts the range it hands to outgoing connections and to listeners on port 0: a
// port above may be taken by any other program between two binds of a test.
inline constexpr int outgoingPortsStart = 32768;
// Below it, tests running at once keep apart: servers a manager's routes scan from sit below
// 12568 (their routes land 20000 above, from 21024 on), the proxy's own tests take
// [12568, 16384) and everything else [16384, 21024).
inline constexpr int proxyTestPorts[] = {12568, 16384};
inline constexpr int quietPorts[] = {16384, 21024};

// Whether a listener could take the port on both 127.0.0.1 and ::1 now, as a route needs it
// (on 127.0.0.1 alone where this machine has no IPv6 loopback).
inline bool freeOnLoopback(std::uint16_t port) {
  asio::io_context context;
  for (const asio::ip::address &address : {asio::ip::address(asio::ip::address_v4::loopback()),
                                           asio::ip::address(asio::ip::address_v6::loopback())}) {
    asio::ip::tcp::acceptor probe(context);
    std::error_code error;
    probe.open(asio::ip::tcp::endpoint(address, port).protocol(), error);
    if (!error)
      probe.bind({address, port}, error);
    if (error == asio::error::address_in_use || (error && address.is_v4()))
      return false;
  }
  return true;
}

// A port in [low, high) that fits, tried from a random start so that tests running at the same
// time pick apart; 0 when none does.
inline std::uint16_t pickPort(int low, int high, const std::function<bool(std::uint16_t)> &fits) {
  const int start = static_cast<int>(std::random_device{}() % static_cast<unsigned>(high - low));
  for (int i = 0; i < high - low; ++i)
    if (const auto port = static_cast<std::uint16_t>(low + (start + i) % (high - low)); fits(port))
      return port;
  return 0;
}

// A port free on both loopback addresses, from the quiet range, and not `besides`.
inline std::uint16_t quietLoopbackPort(std::uint16_t besides = 0) {
  return pickPort(quietPorts[0], quietPorts[1], [besides](std::uint16_t port) {
    return port != besides && freeOnLoopback(port);
  });
}

} // namespace corvane::testing

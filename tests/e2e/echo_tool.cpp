// The loopback ends of the namespace test of the application, run inside a namespace:
//
//   echo_tool serve <port>              an echo server on 127.0.0.1:<port> until killed;
//                                       prints "echo <port>" once it listens
//   echo_tool exchange <port> <bytes>   sends random bytes through 127.0.0.1:<port> and reads
//                                       them back, retrying the connection for a while; prints
//                                       "exchanged <bytes> intact" or "exchange failed"
//   echo_tool reply <port>              a ReplyServer on 127.0.0.1:<port>; prints "reply <port>"
//   echo_tool ask <port>                sends "PING\r\n", ends its sending and reads to the end;
//                                       prints "answered +PONG <seconds from it to the end>" or
//                                       "ask failed"
//   echo_tool pings <port> <count>      <count> short connections to an echo server one after
//                                       another, as a client loop does: each sends "PING\r\n",
//                                       reads it back and closes first; prints
//                                       "pinged <answered> of <count>"
#include "brimvale/platform/Crypto.h"
#include "tests/e2e/Sockets.h"

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <unistd.h>

using namespace corvane;
using namespace corvane::e2e;

namespace {
constexpr double exchangeWait = 30.0;
constexpr std::size_t exchangeLimit = 64u << 20;
} // namespace

int main(int argc, char **argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  const long port = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 0;
  if (port <= 0 || port > 65535) {
    std::cerr << "usage: echo_tool serve|reply|ask <port> | exchange <port> <bytes>\n";
    return 2;
  }
  if (command == "serve") {
    EchoServer server(static_cast<std::uint16_t>(port));
    if (!server.listening()) {
      std::cout << "echo failed" << std::endl;
      return 1;
    }
    std::cout << "echo " << server.port() << std::endl;
    for (;;)
      ::pause();
  }
  if (command == "reply") {
    ReplyServer server(static_cast<std::uint16_t>(port));
    std::cout << (server.listening() ? "reply " + std::to_string(server.port())
                                     : std::string("reply failed"))
              << std::endl;
    for (;;)
      ::pause();
  }
  if (command == "ask") {
    Client client(static_cast<std::uint16_t>(port), exchangeWait);
    char answer[7] = {};
    bool answered = client.sendAll("PING\r\n");
    client.shutdownWrite();
    answered = answered && client.receiveExactly(answer, sizeof answer) &&
               std::string(answer, sizeof answer) == "+PONG\r\n";
    // From the answer on, so that the handshake across the link does not count.
    const auto start = std::chrono::steady_clock::now();
    answered = answered && client.waitForClose();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::cout << (answered ? "answered +PONG " + std::to_string(took.count())
                           : std::string("ask failed"))
              << std::endl;
    return answered ? 0 : 1;
  }
  if (command == "pings" && argc > 3) {
    const long count = std::strtol(argv[3], nullptr, 10);
    if (count <= 0 || count > 100000)
      return 2;
    long answered = 0;
    for (long i = 0; i < count; ++i) {
      Client client(static_cast<std::uint16_t>(port), exchangeWait);
      char echoed[6] = {};
      if (client.sendAll("PING\r\n") && client.receiveExactly(echoed, sizeof echoed) &&
          std::string(echoed, sizeof echoed) == "PING\r\n")
        ++answered;
    }
    std::cout << "pinged " << answered << " of " << count << std::endl;
    return answered == count ? 0 : 1;
  }
  if (command == "exchange" && argc > 3) {
    const auto size = static_cast<std::size_t>(std::strtoull(argv[3], nullptr, 10));
    if (size == 0 || size > exchangeLimit)
      return 2;
    const Bytes payload = randomBytes(size);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      Client client(static_cast<std::uint16_t>(port), exchangeWait);
      if (client.connected()) {
        const bool intact = echoThrough(client, payload) == payload;
        std::cout << (intact ? "exchanged " + std::to_string(size) + " intact"
                             : std::string("exchange failed"))
                  << std::endl;
        return intact ? 0 : 1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::cout << "exchange failed" << std::endl;
    return 1;
  }
  return 2;
}

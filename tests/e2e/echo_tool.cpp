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
//   echo_tool cut <port> <bytes>        a server that sends <bytes> on each connection and then
//                                       resets it; prints "cut <port>"
//   echo_tool send <port> <bytes>       a server that answers a request of five bytes with
//                                       <bytes>, ends its sending and waits for the client's
//                                       end; prints "send <port>", then for the n-th request
//                                       "<n>: sent <bytes sent>, done|reset|<error>"
//   echo_tool read <port> <pause> <s>   sends "GET\r\n" and reads to the end, stopping after
//                                       <pause> bytes (if not 0) with "paused after <bytes>"
//                                       until a line on its stdin; prints "ended clean|reset
//                                       after <bytes>", or "timed out after <bytes>" once
//                                       nothing came for <s> seconds
//   echo_tool pool <port> <count>       <count> connections kept open that each ping a server
//                                       answering "+PONG\r\n", then a ping on one more, then
//                                       on each of them again; prints "pool <answered>
//                                       answered; next <how>; again <answered> of <count>", where
//                                       <how> is "answered", "ended clean|reset" or "timed out"
//   echo_tool kept <port> <count>       <count> connections to a ReplyServer that each ping, read
//                                       the answer and its end and stay open, then a ping on one
//                                       more; prints "kept <ended> of <count>; next <how>"
#include "brimvale/platform/Crypto.h"
#include "tests/e2e/Sockets.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace corvane;
using namespace corvane::e2e;

namespace {
constexpr double exchangeWait = 30.0;
constexpr std::size_t exchangeLimit = 64u << 20;

using Clock = std::chrono::steady_clock;

Clock::time_point after(double seconds) {
  return Clock::now() +
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// One line in one write, so that the lines of a server's threads never mix.
void say(const std::string &line) {
  const std::string text = line + "\n";
  [[maybe_unused]] const auto written = ::write(1, text.data(), text.size());
}

std::string endOf(int error) {
  return error == ECONNRESET || error == EPIPE ? "reset" : std::strerror(error);
}

// Reads until `want` bytes are in (kept in `data` when given): "" then, else how the stream
// stopped first: "ended clean", "ended reset", "ended <error>" or "timed out".
std::string readUpTo(int fd, std::size_t want, std::size_t &count, Clock::time_point deadline,
                     std::string *data = nullptr) {
  char buffer[64 * 1024];
  for (std::size_t got = 0; got < want;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd ready{fd, POLLIN, 0};
    const int polled = ::poll(&ready, 1, static_cast<int>(std::max<long>(left.count(), 0)));
    if (polled == 0)
      return "timed out";
    const ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, want - got), MSG_DONTWAIT);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
      count += static_cast<std::size_t>(n);
      if (data)
        data->append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      return "ended clean";
    } else if (errno != EINTR && errno != EAGAIN) {
      return "ended " + endOf(errno);
    }
  }
  return {};
}

// "answered", or how the stream ended instead. A reset that the send meets first is noted there,
// as the reads after it would see only the end.
std::string ping(Client &client, Clock::time_point deadline) {
  if (!client.connected())
    return "not connected";
  if (!client.sendAll("PING\r\n") && errno == ECONNRESET)
    return "ended reset";
  std::string answer;
  std::size_t count = 0;
  const auto end = readUpTo(client.fd(), 7, count, deadline, &answer);
  return !end.empty() ? end : answer == "+PONG\r\n" ? "answered" : "answered " + answer;
}

} // namespace

int main(int argc, char **argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  const long port = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 0;
  if (port <= 0 || port > 65535) {
    std::cerr << "usage: echo_tool <mode> <port> [<bytes or count> [<seconds>]]\n";
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
  const long size = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 0;
  if (command == "cut" && size > 0) {
    LoopbackServer server(
        [size](int fd) {
          const std::string bytes(static_cast<std::size_t>(size), 'c');
          writeAll(fd, bytes.data(), bytes.size());
          const linger abort{1, 0};
          ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
          // Closed under its number, which stays the server's to close at its own end.
          const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
          ::dup2(devNull, fd);
          ::close(devNull);
        },
        static_cast<std::uint16_t>(port));
    say(server.listening() ? "cut " + std::to_string(server.port()) : "cut failed");
    for (;;)
      ::pause();
  }
  if (command == "send" && size > 0) {
    std::atomic<int> connections{0};
    LoopbackServer server(
        [size, &connections](int fd) {
          // A probe of the port asks for nothing and is not counted.
          char request[5];
          if (!readExactly(fd, request, sizeof request))
            return;
          const int number = ++connections;
          const std::string chunk(64 * 1024, 's');
          std::size_t sent = 0;
          std::string end;
          while (end.empty() && sent < static_cast<std::size_t>(size)) {
            const ssize_t n =
                ::send(fd, chunk.data(),
                       std::min(chunk.size(), static_cast<std::size_t>(size) - sent), MSG_NOSIGNAL);
            if (n > 0)
              sent += static_cast<std::size_t>(n);
            else if (errno != EINTR)
              end = endOf(errno);
          }
          if (end.empty()) {
            ::shutdown(fd, SHUT_WR);
            std::size_t ignored = 0;
            end = readUpTo(fd, SIZE_MAX, ignored, after(24 * 3600.0));
            end = end == "ended clean" ? "done" : end.substr(end.rfind("ended ", 0) == 0 ? 6 : 0);
          }
          say(std::to_string(number) + ": sent " + std::to_string(sent) + ", " + end);
        },
        static_cast<std::uint16_t>(port));
    say(server.listening() ? "send " + std::to_string(server.port()) : "send failed");
    for (;;)
      ::pause();
  }
  if (command == "read" && argc > 4) {
    const double idle = std::strtod(argv[4], nullptr);
    Client client(static_cast<std::uint16_t>(port), idle);
    client.sendAll("GET\r\n");
    std::size_t count = 0;
    std::string end = readUpTo(client.fd(), static_cast<std::size_t>(size), count, after(idle));
    if (end.empty() && size > 0) {
      say("paused after " + std::to_string(count));
      std::string line;
      std::getline(std::cin, line);
    }
    while (end.empty())
      end = readUpTo(client.fd(), 1u << 20, count, after(idle));
    say(end + " after " + std::to_string(count));
    return 0;
  }
  if ((command == "pool" || command == "kept") && size > 0) {
    std::vector<std::unique_ptr<Client>> pool;
    long answered = 0;
    for (long i = 0; i < size; ++i) {
      pool.push_back(std::make_unique<Client>(static_cast<std::uint16_t>(port), exchangeWait));
      std::size_t ignored = 0;
      if (ping(*pool.back(), after(exchangeWait)) == "answered" &&
          (command == "pool" ||
           readUpTo(pool.back()->fd(), 1, ignored, after(exchangeWait)) == "ended clean"))
        ++answered;
    }
    Client next(static_cast<std::uint16_t>(port), exchangeWait);
    const std::string how = ping(next, after(exchangeWait));
    if (command == "kept") {
      say("kept " + std::to_string(answered) + " of " + std::to_string(size) + "; next " + how);
      return 0;
    }
    long again = 0;
    const auto deadline = after(exchangeWait);
    for (auto &client : pool)
      again += ping(*client, deadline) == "answered" ? 1 : 0;
    say("pool " + std::to_string(answered) + " answered; next " + how + "; again " +
        std::to_string(again) + " of " + std::to_string(size));
    return 0;
  }
  return 2;
}

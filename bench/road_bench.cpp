// The whole road: a client on B's loopback port → B's proxy → TLS-PSK → A's gateway → a server
// on A, each engine in a process of its own, measured in one interleaved run beside plain
// loopback TCP, one raw TLS-PSK connection and an stunnel PSK chain (client → server) to the
// same server. Every byte sent is checked on arrival. New connections are opened by 1, 4 and 16
// clients at once; for the road, the steps the engines report show where one connection's time
// goes.
//
//   bench_road_bench [--mib N] [--reps N] [--connections N] [--held N] [--relay-queues N]
//
// --relay-queues sets how many relay queues each engine spreads its connections over (0: every
// connection on the gateway's or the proxy's own queue); without it the engines' default.
//
// The same binary runs an engine when started with --engine (driven over stdin/stdout).
#include "brimvale/foundation/PairKeys.h"
#include "brimvale/foundation/SecureChannel.h"
#include "brimvale/foundation/ServiceRecords.h"
#include "brimvale/network/ListenPorts.h"
#include "brimvale/network/RoadSteps.h"
#include "brimvale/platform/Connection.h"
#include "brimvale/platform/Crypto.h"
#include "brimvale/platform/MemorySecretStore.h"
#include "brimvale/platform/RegistryDnsSd.h"
#include "brimvale/platform/RelayQueues.h"
#include "brimvale/platform/SerialQueue.h"
#include "brimvale/platform/TlsContext.h"
#include "tests/e2e/Engine.h"
#include "tests/e2e/Sockets.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace corvane;
using namespace corvane::e2e;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t writeSize = 64 * 1024;
constexpr double ioTimeout = 60.0;
constexpr const char *serviceType = "_corvane._tcp";
constexpr const char *benchServiceID = "B3AC0000-0000-4000-8000-000000000001";
constexpr std::uint16_t chachaSuite = 0xCCAC;
// The key of the raw TLS and stunnel baselines (stunnel wants printable keys of 16+ bytes).
constexpr const char *baselineIdentity = "bench";
constexpr const char *baselineKey = "0123456789abcdef0123456789abcdef";

// --- the payload: a random pattern of a length that is no multiple of any write size

class Pattern {
public:
  Pattern() : bytes_((1u << 20) + 4099) {
    std::mt19937_64 random(std::random_device{}());
    for (auto &byte : bytes_)
      byte = static_cast<std::uint8_t>(random());
  }
  // The stream's bytes from `offset` on, at most `size` of them without wrapping.
  const std::uint8_t *at(std::uint64_t offset, std::size_t &size) const {
    const auto start = static_cast<std::size_t>(offset % bytes_.size());
    size = std::min(size, bytes_.size() - start);
    return bytes_.data() + start;
  }
  bool matches(std::uint64_t offset, const std::uint8_t *data, std::size_t size) const {
    while (size > 0) {
      std::size_t piece = size;
      const std::uint8_t *expected = at(offset, piece);
      if (std::memcmp(expected, data, piece) != 0)
        return false;
      data += piece;
      size -= piece;
      offset += piece;
    }
    return true;
  }

private:
  std::vector<std::uint8_t> bytes_;
};

const Pattern &pattern() {
  static const Pattern shared;
  return shared;
}

// Receives `count` pattern bytes through `read` and checks them; true when all were intact.
template <typename Read> bool receivePattern(std::uint64_t count, Read read) {
  std::vector<std::uint8_t> buffer(256 * 1024);
  std::uint64_t offset = 0;
  bool intact = true;
  while (offset < count) {
    const auto want =
        static_cast<std::size_t>(std::min<std::uint64_t>(count - offset, buffer.size()));
    const long n = read(buffer.data(), want);
    if (n <= 0)
      return false;
    intact = intact && pattern().matches(offset, buffer.data(), static_cast<std::size_t>(n));
    offset += static_cast<std::uint64_t>(n);
  }
  return intact;
}

template <typename Write> bool sendPattern(std::uint64_t count, Write write) {
  for (std::uint64_t offset = 0; offset < count;) {
    std::size_t piece =
        static_cast<std::size_t>(std::min<std::uint64_t>(count - offset, writeSize));
    const std::uint8_t *data = pattern().at(offset, piece);
    if (!write(data, piece))
      return false;
    offset += piece;
  }
  return true;
}

// The server at the end of every path. The first byte picks the session: 'E' echoes,
// 'S' takes an 8-byte count, checks that many pattern bytes and answers 1 (intact) or 0.
class BenchServer : public LoopbackServer {
public:
  BenchServer()
      : LoopbackServer([](int client) {
          serve(client);
          ::shutdown(client, SHUT_WR);
        }) {}

private:
  static void serve(int client) {
    std::uint8_t mode = 0;
    if (!readExactly(client, &mode, 1))
      return;
    if (mode == 'E') {
      std::vector<std::uint8_t> buffer(64 * 1024);
      for (;;) {
        const ssize_t n = ::recv(client, buffer.data(), buffer.size(), 0);
        if (n <= 0 || !writeAll(client, buffer.data(), static_cast<std::size_t>(n)))
          return;
      }
    }
    for (;;) {
      std::uint64_t count = 0;
      if (!readExactly(client, &count, sizeof count))
        return;
      const bool intact = receivePattern(count, [client](std::uint8_t *data, std::size_t size) {
        for (;;) {
          const ssize_t n = ::recv(client, data, size, 0);
          if (n < 0 && errno == EINTR)
            continue;
          return static_cast<long>(n);
        }
      });
      const std::uint8_t verdict = intact ? 1 : 0;
      if (!writeAll(client, &verdict, 1))
        return;
    }
  }
};

// --- measurements through a TCP port

double seconds(Clock::duration duration) {
  return std::chrono::duration<double>(duration).count();
}

// MiB/s of one stream of `bytes` through `port`, or nothing when the bytes did not all arrive
// intact.
std::optional<double> streamThrough(std::uint16_t port, std::uint64_t bytes) {
  Client client(port, ioTimeout);
  const std::uint8_t mode = 'S';
  if (!client.connected() || !client.sendAll(&mode, 1))
    return std::nullopt;
  const auto start = Clock::now();
  if (!client.sendAll(&bytes, sizeof bytes) ||
      !sendPattern(bytes, [&](const std::uint8_t *data, std::size_t size) {
        return client.sendAll(data, size);
      }))
    return std::nullopt;
  std::uint8_t verdict = 0;
  if (!client.receiveExactly(&verdict, 1) || verdict != 1)
    return std::nullopt;
  return static_cast<double>(bytes) / (1024.0 * 1024.0) / seconds(Clock::now() - start);
}

// Aggregate MiB/s of `streams` concurrent streams of `bytes` each.
std::optional<double> streamsThrough(std::uint16_t port, std::uint64_t bytes, int streams) {
  std::vector<std::future<std::optional<double>>> running;
  const auto start = Clock::now();
  for (int i = 0; i < streams; ++i)
    running.push_back(std::async(std::launch::async, [=] { return streamThrough(port, bytes); }));
  bool ok = true;
  for (auto &stream : running)
    ok = stream.get().has_value() && ok;
  if (!ok)
    return std::nullopt;
  return static_cast<double>(bytes) * streams / (1024.0 * 1024.0) / seconds(Clock::now() - start);
}

struct ConnectionRun {
  double perSecond = 0;
  std::vector<double> firstByte; // seconds from connect to the first echoed byte
  // When each connection was opened, in the order of opening (one client only).
  std::vector<Clock::time_point> opened;
};

// `count` new connections from `clients` clients at once, each client opening its share one
// after another; each connection is proven by one echoed byte and then closed.
std::optional<ConnectionRun> connectionsThrough(std::uint16_t port, int count, int clients = 1) {
  auto one = [port](ConnectionRun &run) {
    const auto opened = Clock::now();
    Client client(port, ioTimeout);
    const std::uint8_t message[2] = {'E', 7};
    std::uint8_t back = 0;
    if (!client.connected() || !client.sendAll(message, 2) || !client.receiveExactly(&back, 1) ||
        back != 7)
      return false;
    run.firstByte.push_back(seconds(Clock::now() - opened));
    run.opened.push_back(opened);
    client.shutdownWrite();
    client.waitForClose();
    return true;
  };
  const int each = std::max(1, count / clients);
  std::vector<ConnectionRun> runs(static_cast<std::size_t>(clients));
  std::vector<std::future<bool>> running;
  const auto start = Clock::now();
  for (auto &run : runs)
    running.push_back(std::async(std::launch::async, [&run, each, one] {
      for (int i = 0; i < each; ++i)
        if (!one(run))
          return false;
      return true;
    }));
  bool ok = true;
  for (auto &client : running)
    ok = client.get() && ok;
  if (!ok)
    return std::nullopt;
  ConnectionRun all;
  all.perSecond = each * clients / seconds(Clock::now() - start);
  for (auto &run : runs)
    all.firstByte.insert(all.firstByte.end(), run.firstByte.begin(), run.firstByte.end());
  if (clients == 1)
    all.opened = std::move(runs[0].opened);
  return all;
}

// --- one raw TLS-PSK connection between two threads of this process

int listenLoopback(std::uint16_t &port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
      ::listen(fd, 4) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
    if (fd >= 0)
      ::close(fd);
    return -1;
  }
  port = ntohs(address.sin_port);
  return fd;
}

Parameters::Tls baselineTls() {
  Parameters::Tls tls;
  tls.keys = {{baselineIdentity, Bytes(baselineKey, baselineKey + std::strlen(baselineKey))}};
  tls.cipherSuites = {chachaSuite};
  return tls;
}

struct RawTlsResult {
  double mibPerSecond = 0;
  std::uint16_t suite = 0;
};

std::optional<RawTlsResult> rawTlsStream(std::uint64_t bytes) {
  auto server = TlsContext::make(baselineTls(), TlsContext::Role::server);
  auto client = TlsContext::make(baselineTls(), TlsContext::Role::client);
  std::uint16_t port = 0;
  int listening = listenLoopback(port);
  if (!server || !client || listening < 0)
    return std::nullopt;
  auto receiving = std::async(std::launch::async, [&, listening] {
    int fd = ::accept(listening, nullptr, nullptr);
    if (fd < 0)
      return false;
    SSL *ssl = SSL_new((*server)->context().native_handle());
    SSL_set_fd(ssl, fd);
    bool intact =
        SSL_accept(ssl) == 1 && receivePattern(bytes, [ssl](std::uint8_t *data, std::size_t size) {
          return static_cast<long>(SSL_read(ssl, data, static_cast<int>(size)));
        });
    const std::uint8_t verdict = intact ? 1 : 0;
    SSL_write(ssl, &verdict, 1);
    SSL_free(ssl);
    ::close(fd);
    return intact;
  });
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::optional<RawTlsResult> result;
  if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
    SSL *ssl = SSL_new((*client)->context().native_handle());
    SSL_set_fd(ssl, fd);
    if (SSL_connect(ssl) == 1) {
      RawTlsResult measured;
      if (const SSL_CIPHER *cipher = SSL_get_current_cipher(ssl))
        measured.suite = static_cast<std::uint16_t>(SSL_CIPHER_get_protocol_id(cipher));
      const auto start = Clock::now();
      std::uint8_t verdict = 0;
      if (sendPattern(bytes,
                      [ssl](const std::uint8_t *data, std::size_t size) {
                        return SSL_write(ssl, data, static_cast<int>(size)) ==
                               static_cast<int>(size);
                      }) &&
          SSL_read(ssl, &verdict, 1) == 1 && verdict == 1) {
        measured.mibPerSecond =
            static_cast<double>(bytes) / (1024.0 * 1024.0) / seconds(Clock::now() - start);
        result = measured;
      }
    }
    SSL_free(ssl);
  }
  ::close(fd);
  const bool intact = receiving.get();
  ::close(listening);
  if (!intact)
    return std::nullopt;
  return result;
}

// --- child processes

// User and system CPU seconds a process has used so far.
double cpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // Fields after the command name, which ends with the last ')': state is field 3,
  // utime 14, stime 15.
  const auto end = text.rfind(')');
  if (end == std::string::npos)
    return 0;
  std::istringstream fields(text.substr(end + 2));
  std::string field;
  double ticks = 0;
  for (int index = 3; index <= 15 && fields >> field; ++index)
    if (index >= 14)
      ticks += std::atof(field.c_str());
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0)
      return std::atol(line.c_str() + 6);
  return -1;
}

class Child {
public:
  // Starts `argv` with its stdin and stdout on pipes and its stderr dropped.
  Child(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env) {
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0)
      return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      int null = ::open("/dev/null", O_WRONLY);
      if (null >= 0 && std::getenv("ROAD_BENCH_LOGS") == nullptr)
        ::dup2(null, 2);
      for (int fd : {in[0], in[1], out[0], out[1]})
        ::close(fd);
      for (const auto &[key, value] : env)
        ::setenv(key.c_str(), value.c_str(), 1);
      std::vector<char *> args;
      for (const auto &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    to_ = ::fdopen(in[1], "w");
    from_ = ::fdopen(out[0], "r");
  }
  ~Child() {
    if (to_)
      std::fclose(to_);
    if (from_)
      std::fclose(from_);
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;

  pid_t pid() const { return pid_; }

  // Sends one command line and returns the answer's words (empty when the child is gone).
  std::vector<std::string> ask(const std::string &command) {
    std::fprintf(to_, "%s\n", command.c_str());
    std::fflush(to_);
    // An answer may be longer than any buffer (the steps of every connection).
    std::string line;
    char piece[4096];
    while (std::fgets(piece, sizeof piece, from_)) {
      line += piece;
      if (!line.empty() && line.back() == '\n')
        break;
    }
    std::istringstream words(line);
    std::vector<std::string> answer;
    for (std::string word; words >> word;)
      answer.push_back(word);
    return answer;
  }

private:
  pid_t pid_ = -1;
  FILE *to_ = nullptr;
  FILE *from_ = nullptr;
};

// --- the engine side (--engine)

int engineMain() {
  auto registry = DnsSdRegistry::create();
  auto dnsSd = RegistryDnsSd::create(registry);
  std::shared_ptr<Engine> engine;
  std::vector<std::unique_ptr<DnsSd::Handle>> mirrors;
  auto say = [](const std::string &line) { std::cout << line << std::endl; };
  // The steps of the road's connections as this engine's gateway ('g') and proxy ('p') see
  // them: " <side><step>:<steady clock ns>" each.
  struct StepLog {
    std::mutex lock;
    std::string text;
  };
  auto steps = std::make_shared<StepLog>();
  auto observer = [steps](char side) {
    return [steps, side](RoadStep step) {
      const auto now =
          std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch());
      std::lock_guard guard(steps->lock);
      steps->text += ' ';
      steps->text += side;
      steps->text += std::to_string(static_cast<int>(step)) + ":" + std::to_string(now.count());
    };
  };
  for (std::string line; std::getline(std::cin, line);) {
    std::istringstream words(line);
    std::string command;
    words >> command;
    if (command == "start") {
      std::string name;
      long relayQueues = -1;
      words >> name >> relayQueues;
      Engine::Options options;
      options.name = name;
      if (relayQueues >= 0) {
        options.gateway.relayQueues = static_cast<std::size_t>(relayQueues);
        options.proxy.relayQueues = static_cast<std::size_t>(relayQueues);
      }
      options.gateway.onStep = observer('g');
      options.proxy.onStep = observer('p');
      options.dnsSd = dnsSd;
      options.secrets = std::make_shared<MemorySecretStore>();
      // A fixed port: pairing restarts the gateway, and the other side's copy of the
      // announcement must still lead to it.
      options.gateway.preferredPort = freeLoopbackPort();
      engine = Engine::create(std::move(options));
      engine->start();
      if (!engine->waitUntil([](const auto &seen) { return seen.gatewayPort.has_value(); }, 30.0)) {
        say("error no gateway");
        continue;
      }
      say("engine " + engine->deviceID() + " " + base64Encode(engine->identity().publicKey()) +
          " " + std::to_string(*engine->snapshot().gatewayPort));
    } else if (command == "pair") {
      std::string id, name, key;
      words >> id >> name >> key;
      auto publicKey = base64Decode(key);
      if (!engine || !publicKey) {
        say("error cannot pair");
        continue;
      }
      engine->pairDirectly(id, name, *publicKey);
      say("paired");
    } else if (command == "mirror") {
      // The other engine's announcement, as this machine's browser would find it.
      std::string name, key;
      unsigned port = 0;
      words >> name >> key >> port;
      auto publicKey = base64Decode(key);
      if (!publicKey) {
        say("error bad key");
        continue;
      }
      mirrors.push_back(dnsSd->publish(advertisedService(name, serviceType, *publicKey),
                                       static_cast<std::uint16_t>(port)));
      say("mirrored");
    } else if (command == "share") {
      unsigned port = 0;
      words >> port;
      SharedServiceInfo service;
      service.id = benchServiceID;
      service.name = "Bench";
      service.port = static_cast<int>(port);
      service.running = true;
      service.category = "Tool";
      engine->share({service});
      say("shared");
    } else if (command == "route") {
      std::string peer;
      words >> peer;
      const RouteKey key{peer, benchServiceID};
      if (engine &&
          engine->waitUntil([&](const auto &seen) { return seen.listeningPort(key).has_value(); },
                            30.0))
        say("route " + std::to_string(*engine->snapshot().listeningPort(key)));
      else
        say("error no route");
    } else if (command == "cipher") {
      // The suite this engine's client and the peer's gateway agree on.
      std::string peer, key;
      unsigned port = 0;
      words >> peer >> key >> port;
      auto publicKey = base64Decode(key);
      std::optional<PairKeys> keys;
      if (publicKey)
        if (auto derived = PairKeys::deriveKeys(engine->identity(), *publicKey))
          keys = *derived;
      if (!keys) {
        say("error no keys");
        continue;
      }
      auto queue = SerialQueue::create("bench.cipher");
      std::promise<std::string> answer;
      auto answered = answer.get_future();
      SecureChannel::openClient(
          Endpoint::hostPort(Endpoint::Host::loopbackIPv4(), static_cast<std::uint16_t>(port)),
          *keys, engine->deviceID(), Frame::Mode::control, std::nullopt, queue,
          [&answer](SecureChannel::OpenCompletion::argument_type result) {
            if (!result) {
              answer.set_value("error " + describe(result.error()));
              return;
            }
            auto suite = (*result)->negotiatedCipherSuite();
            char text[16];
            std::snprintf(text, sizeof text, "0x%04X", suite.value_or(0));
            (*result)->cancel();
            answer.set_value(std::string("cipher ") + text);
          });
      say(answered.get());
      queue->sync([] {});
    } else if (command == "steps") {
      std::string text;
      {
        std::lock_guard guard(steps->lock);
        text = std::exchange(steps->text, {});
      }
      say("steps" + text);
    } else if (command == "quit") {
      break;
    } else {
      say("error unknown command");
    }
  }
  if (engine)
    engine->stop();
  return 0;
}

// --- stunnel

struct Stunnel {
  std::filesystem::path folder;
  std::unique_ptr<Child> client, server;
  std::uint16_t port = 0; // where clients connect

  bool start(const std::filesystem::path &home, std::uint16_t target) {
    folder = home / "stunnel";
    std::filesystem::create_directories(folder);
    const auto secrets = folder / "psk.txt";
    {
      std::ofstream out(secrets);
      out << baselineIdentity << ":" << baselineKey << "\n";
    }
    std::filesystem::permissions(secrets, std::filesystem::perms::owner_read |
                                              std::filesystem::perms::owner_write);
    port = freeLoopbackPort();
    const std::uint16_t middle = freeLoopbackPort();
    auto config = [&](const std::string &name, bool isClient, std::uint16_t accept,
                      std::uint16_t connect) {
      const auto path = folder / (name + ".conf");
      std::ofstream out(path);
      out << "foreground = yes\npid =\nsyslog = no\ndebug = 3\n"
          << "[" << name << "]\n"
          << "client = " << (isClient ? "yes" : "no") << "\n"
          << "accept = 127.0.0.1:" << accept << "\nconnect = 127.0.0.1:" << connect << "\n"
          << "PSKsecrets = " << secrets.string() << "\n"
          << "ciphers = ECDHE-PSK-CHACHA20-POLY1305\n"
          << "sslVersionMin = TLSv1.2\nsslVersionMax = TLSv1.2\n"
          << "socket = l:TCP_NODELAY=1\nsocket = r:TCP_NODELAY=1\n";
      return path.string();
    };
    server = std::make_unique<Child>(
        std::vector<std::string>{"/usr/bin/stunnel4", config("server", false, middle, target)},
        std::map<std::string, std::string>{});
    client = std::make_unique<Child>(
        std::vector<std::string>{"/usr/bin/stunnel4", config("client", true, port, middle)},
        std::map<std::string, std::string>{});
    // Ready once an echo goes through the whole chain.
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < deadline) {
      if (connectionsThrough(port, 1))
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
};

// --- statistics and report

double median(std::vector<double> values) {
  if (values.empty())
    return 0;
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double percentile(std::vector<double> values, double p) {
  if (values.empty())
    return 0;
  std::sort(values.begin(), values.end());
  const auto index =
      static_cast<std::size_t>(p / 100.0 * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

std::string spread(const std::vector<double> &values) {
  if (values.empty())
    return "failed";
  char text[128];
  std::snprintf(text, sizeof text, "%8.1f  (%.1f–%.1f, n=%zu)", median(values),
                *std::min_element(values.begin(), values.end()),
                *std::max_element(values.begin(), values.end()), values.size());
  return text;
}

// Where the time of one road connection goes: each step the engines report, as time from the
// client's connect, matched to the connection that was open when it happened (the connections
// of one client follow one another).
class StepTimes {
public:
  void add(const ConnectionRun &run, const std::vector<std::string> &gatewaySide,
           const std::vector<std::string> &proxySide) {
    for (std::size_t i = 0; i < run.opened.size() && i < run.firstByte.size(); ++i)
      since_["first echoed byte"].push_back(run.firstByte[i]);
    for (const auto *answer : {&gatewaySide, &proxySide})
      for (std::size_t i = 1; i < answer->size(); ++i) {
        const auto &word = (*answer)[i];
        const auto colon = word.find(':');
        if (word.size() < 3 || colon != 2)
          continue;
        long long nanoseconds = 0;
        const char *digits = word.data() + 3;
        if (std::from_chars(digits, word.data() + word.size(), nanoseconds).ec != std::errc())
          continue;
        const auto at = Clock::time_point(std::chrono::nanoseconds(nanoseconds));
        // The last connection opened at or before the step.
        auto after = std::upper_bound(run.opened.begin(), run.opened.end(), at);
        if (after == run.opened.begin())
          continue;
        const auto opened = *std::prev(after);
        since_[name(word[0], word[1])].push_back(seconds(at - opened));
      }
  }

  void print() const {
    if (since_.empty())
      return;
    std::printf("where one road connection's time goes, ms from the client's connect: p50 / p99\n");
    for (const char *step :
         {"proxy accepted", "gateway accepted", "gateway TLS done", "gateway hello verified",
          "gateway verdict", "proxy verdict", "first echoed byte"}) {
      auto found = since_.find(step);
      if (found == since_.end())
        continue;
      std::printf("  %-24s %.3f / %.3f\n", step, percentile(found->second, 50) * 1e3,
                  percentile(found->second, 99) * 1e3);
    }
  }

private:
  static std::string name(char side, char step) {
    static const char *const steps[] = {"accepted", "TLS done", "hello verified", "verdict"};
    const int index = step - '0';
    if (index < 0 || index > 3)
      return "unknown";
    return std::string(side == 'g' ? "gateway " : "proxy ") + steps[index];
  }

  std::map<std::string, std::vector<double>> since_;
};

struct Options {
  std::uint64_t mib = 1024;
  int reps = 5;
  int connections = 300;
  // Below the gateway's limit of 64 connections per paired machine.
  int held = 60;
  // Relay queues per engine; -1 leaves the engines' default.
  int relayQueues = -1;
};

// RSS per connection of each process while `count` connections through `port` are open, each
// having carried 64 KiB both ways: once just after (active) and once after `settle` seconds
// without traffic (idle).
struct Memory {
  std::vector<double> active, idle;
};

Memory residentPerConnection(std::uint16_t port, int count, const std::vector<pid_t> &processes,
                             double settle) {
  std::vector<long> before;
  for (pid_t pid : processes)
    before.push_back(residentKiB(pid));
  std::vector<std::unique_ptr<Client>> held;
  std::vector<std::uint8_t> payload(64 * 1024);
  std::size_t size = payload.size();
  std::memcpy(payload.data(), pattern().at(0, size), size);
  for (int i = 0; i < count; ++i) {
    auto client = std::make_unique<Client>(port, ioTimeout);
    const std::uint8_t mode = 'E';
    if (!client->connected() || !client->sendAll(&mode, 1) ||
        echoThrough(*client, payload) != payload)
      return {};
    held.push_back(std::move(client));
  }
  auto sample = [&] {
    std::vector<double> perConnection;
    for (std::size_t i = 0; i < processes.size(); ++i)
      perConnection.push_back(static_cast<double>(residentKiB(processes[i]) - before[i]) / count);
    return perConnection;
  };
  Memory memory;
  memory.active = sample();
  std::this_thread::sleep_for(std::chrono::duration<double>(settle));
  memory.idle = sample();
  return memory;
}

int driverMain(const Options &options) {
  const auto home =
      std::filesystem::temp_directory_path() / ("corvane-road-bench-" + std::to_string(::getpid()));
  auto environment = [&](const std::string &name) {
    std::map<std::string, std::string> env;
    for (const char *sub : {"config", "data", "runtime"}) {
      const auto path = home / name / sub;
      std::filesystem::create_directories(path);
      env[std::string("XDG_") + (std::string(sub) == "config" ? "CONFIG_HOME"
                                 : std::string(sub) == "data" ? "DATA_HOME"
                                                              : "RUNTIME_DIR")] = path.string();
    }
    return env;
  };
  auto cleanUp = [&] {
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
  };

  BenchServer server;
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  Child a({self, "--engine"}, environment("a"));
  Child b({self, "--engine"}, environment("b"));
  const std::string relaySetting =
      options.relayQueues >= 0 ? " " + std::to_string(options.relayQueues) : std::string();
  auto aInfo = a.ask("start MachineA" + relaySetting);
  auto bInfo = b.ask("start MachineB" + relaySetting);
  if (aInfo.size() != 4 || bInfo.size() != 4 || aInfo[0] != "engine" || bInfo[0] != "engine") {
    std::cerr << "road_bench: an engine did not start\n";
    cleanUp();
    return 1;
  }
  const std::string &aID = aInfo[1], &aKey = aInfo[2], &aPort = aInfo[3];
  const std::string &bID = bInfo[1], &bKey = bInfo[2];
  a.ask("pair " + bID + " MachineB " + bKey);
  b.ask("pair " + aID + " MachineA " + aKey);
  b.ask("mirror MachineA " + aKey + " " + aPort);
  a.ask("share " + std::to_string(server.port()));
  auto route = b.ask("route " + aID);
  if (route.size() != 2 || route[0] != "route") {
    std::cerr << "road_bench: B's proxy never offered A's share\n";
    cleanUp();
    return 1;
  }
  const auto roadPort = static_cast<std::uint16_t>(std::stoi(route[1]));
  auto cipher = b.ask("cipher " + aID + " " + aKey + " " + aPort);

  Stunnel stunnel;
  const bool haveStunnel = stunnel.start(home, server.port());
  if (!haveStunnel)
    std::cerr << "road_bench: stunnel did not start; its column stays empty\n";

  const std::uint64_t bytes = options.mib << 20;
  std::printf("road bench: %llu MiB per stream, %d interleaved repetitions, each byte checked\n",
              static_cast<unsigned long long>(options.mib), options.reps);
  if (options.relayQueues >= 0)
    std::printf("relay queues per engine: %d\n", options.relayQueues);
  else
    std::printf("relay queues per engine: the default (%zu here)\n", RelayQueues::defaultCount());
  std::printf("cipher: road %s, raw TLS and stunnel ECDHE-PSK-CHACHA20-POLY1305 (TLS 1.2)\n",
              cipher.size() == 2 ? cipher[1].c_str() : "unknown");

  // Warm-up: every path once, small.
  (void)streamThrough(server.port(), 16 << 20);
  (void)rawTlsStream(16 << 20);
  (void)streamThrough(roadPort, 16 << 20);
  if (haveStunnel)
    (void)streamThrough(stunnel.port, 16 << 20);

  std::map<std::string, std::vector<double>> stream, eight, cpu, connectionCpu;
  std::map<std::string, std::vector<double>> latency;
  // Per path, per number of clients at once.
  std::map<std::string, std::map<int, std::vector<double>>> rate;
  const std::vector<int> concurrency{1, 4, 16};
  StepTimes steps;
  std::optional<std::uint16_t> rawSuite;
  for (int rep = 0; rep < options.reps; ++rep) {
    if (auto v = streamThrough(server.port(), bytes))
      stream["plain TCP"].push_back(*v);
    if (auto v = rawTlsStream(bytes)) {
      stream["raw TLS"].push_back(v->mibPerSecond);
      rawSuite = v->suite;
    }
    // CPU per GiB of the relaying processes tells more than wall time on a busy machine.
    auto measured = [&](const std::string &name, std::uint16_t port, pid_t first, pid_t second) {
      const double before = cpuSeconds(first) + cpuSeconds(second);
      if (auto v = streamThrough(port, bytes)) {
        stream[name].push_back(*v);
        cpu[name].push_back((cpuSeconds(first) + cpuSeconds(second) - before) /
                            (static_cast<double>(bytes) / (1u << 30)));
      }
    };
    if (haveStunnel)
      measured("stunnel", stunnel.port, stunnel.client->pid(), stunnel.server->pid());
    measured("road", roadPort, a.pid(), b.pid());

    if (haveStunnel)
      if (auto v = streamsThrough(stunnel.port, bytes / 8, 8))
        eight["stunnel"].push_back(*v);
    if (auto v = streamsThrough(roadPort, bytes / 8, 8))
      eight["road"].push_back(*v);

    struct Path {
      std::string name;
      std::uint16_t port;
      std::vector<pid_t> relays;
    };
    std::vector<Path> paths{{"plain TCP", server.port(), {}},
                            {"road", roadPort, {a.pid(), b.pid()}}};
    if (haveStunnel)
      paths.push_back({"stunnel", stunnel.port, {stunnel.client->pid(), stunnel.server->pid()}});
    const int count = options.connections / options.reps + 1;
    for (int clients : concurrency) {
      for (const auto &path : paths) {
        const bool road = path.name == "road";
        if (road && clients == 1) {
          (void)a.ask("steps");
          (void)b.ask("steps");
        }
        double before = 0;
        for (pid_t pid : path.relays)
          before += cpuSeconds(pid);
        // More connections with more clients, so that each client makes several.
        auto run = connectionsThrough(path.port, count * (clients == 1 ? 1 : 2), clients);
        if (!run)
          continue;
        rate[path.name][clients].push_back(run->perSecond);
        if (clients != 1)
          continue;
        latency[path.name].insert(latency[path.name].end(), run->firstByte.begin(),
                                  run->firstByte.end());
        double after = 0;
        for (pid_t pid : path.relays)
          after += cpuSeconds(pid);
        connectionCpu[path.name].push_back((after - before) / count * 1e3);
        if (road)
          steps.add(*run, a.ask("steps"), b.ask("steps"));
      }
    }
  }
  if (rawSuite && *rawSuite != chachaSuite)
    std::printf("warning: raw TLS negotiated 0x%04X\n", *rawSuite);

  std::printf("\none stream, MiB/s (median (min–max))\n");
  for (const char *name : {"plain TCP", "raw TLS", "stunnel", "road"})
    std::printf("  %-10s %s\n", name, spread(stream[name]).c_str());
  std::printf("CPU seconds per GiB relayed, both relaying processes together\n");
  for (const char *name : {"stunnel", "road"})
    std::printf("  %-10s %.3f\n", name, median(cpu[name]));
  std::printf("8 concurrent streams, aggregate MiB/s\n");
  for (const char *name : {"stunnel", "road"})
    std::printf("  %-10s %s\n", name, spread(eight[name]).c_str());
  for (int clients : concurrency) {
    std::printf("new connections per second, %d client%s at once (each proven by one echoed "
                "byte)\n",
                clients, clients == 1 ? "" : "s");
    for (const char *name : {"plain TCP", "stunnel", "road"})
      std::printf("  %-10s %s\n", name, spread(rate[name][clients]).c_str());
  }
  std::printf("CPU ms per new connection, both relaying processes together\n");
  for (const char *name : {"stunnel", "road"})
    std::printf("  %-10s %.3f\n", name, median(connectionCpu[name]));
  std::printf("connect to first echoed byte, ms: p50 / p90 / p99\n");
  for (const char *name : {"plain TCP", "stunnel", "road"}) {
    const auto &values = latency[name];
    std::printf("  %-10s %.3f / %.3f / %.3f\n", name, percentile(values, 50) * 1e3,
                percentile(values, 90) * 1e3, percentile(values, 99) * 1e3);
  }
  steps.print();

  // The engines give TLS buffers back after a second without traffic.
  constexpr double settle = 3.0;
  auto roadMemory = residentPerConnection(roadPort, options.held, {a.pid(), b.pid()}, settle);
  Memory stunnelMemory;
  if (haveStunnel)
    stunnelMemory = residentPerConnection(stunnel.port, options.held,
                                          {stunnel.server->pid(), stunnel.client->pid()}, settle);
  std::printf("resident KiB per open relayed connection (%d held, 64 KiB each way), "
              "just after / after %.0f s idle\n",
              options.held, settle);
  if (roadMemory.active.size() == 2)
    std::printf("  road       gateway (A) %.1f / %.1f, proxy (B) %.1f / %.1f\n",
                roadMemory.active[0], roadMemory.idle[0], roadMemory.active[1], roadMemory.idle[1]);
  if (stunnelMemory.active.size() == 2)
    std::printf("  stunnel    server %.1f / %.1f, client %.1f / %.1f\n", stunnelMemory.active[0],
                stunnelMemory.idle[0], stunnelMemory.active[1], stunnelMemory.idle[1]);

  auto ratio = [](const std::vector<double> &x, const std::vector<double> &y) {
    return x.empty() || y.empty() ? 0.0 : median(x) / median(y);
  };
  std::printf("\nratios (medians)\n");
  std::printf("  road / stunnel, one stream        %.2f   (target ≥ 1.5)\n",
              ratio(stream["road"], stream["stunnel"]));
  std::printf("  road / raw TLS, one stream        %.2f   (target ≥ 0.75)\n",
              ratio(stream["road"], stream["raw TLS"]));
  std::printf("  road / plain TCP, one stream      %.2f   (reference)\n",
              ratio(stream["road"], stream["plain TCP"]));
  for (int clients : concurrency)
    std::printf("  road / stunnel, connections/s, %2d client%s %.2f   (target ≥ 1.5)\n", clients,
                clients == 1 ? " " : "s", ratio(rate["road"][clients], rate["stunnel"][clients]));
  std::printf("  road / stunnel, first echoed byte p50 %.2f (target ≤ 0.8)\n",
              latency["road"].empty() || latency["stunnel"].empty()
                  ? 0.0
                  : percentile(latency["road"], 50) / percentile(latency["stunnel"], 50));
  std::printf("  road / stunnel, 8 streams         %.2f   (target ≥ 1.5)\n",
              ratio(eight["road"], eight["stunnel"]));
  std::printf("  road 8 streams / 1 stream         %.2f\n", ratio(eight["road"], stream["road"]));
  std::printf("  stunnel 8 streams / 1 stream      %.2f\n",
              ratio(eight["stunnel"], stream["stunnel"]));
  std::printf("  road / stunnel, CPU per GiB       %.2f\n", ratio(cpu["road"], cpu["stunnel"]));
  std::printf("  road / stunnel, CPU per connection %.2f  (target ≤ 1.0)\n",
              ratio(connectionCpu["road"], connectionCpu["stunnel"]));
  if (roadMemory.active.size() == 2 && stunnelMemory.active.size() == 2)
    std::printf("  road / stunnel, resident per held connection %.2f (target ≤ 0.9)\n",
                (roadMemory.active[0] + roadMemory.active[1]) /
                    (stunnelMemory.active[0] + stunnelMemory.active[1]));

  a.ask("quit");
  b.ask("quit");
  cleanUp();
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  std::signal(SIGPIPE, SIG_IGN);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // Every held connection is a descriptor here and a session thread in the server.
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--engine")
      return engineMain();
    auto next = [&]() -> long { return i + 1 < argc ? std::atol(argv[++i]) : 0; };
    if (arg == "--mib")
      options.mib = static_cast<std::uint64_t>(std::max(1L, next()));
    else if (arg == "--reps")
      options.reps = static_cast<int>(std::max(1L, next()));
    else if (arg == "--connections")
      options.connections = static_cast<int>(std::max(1L, next()));
    else if (arg == "--held")
      options.held = static_cast<int>(std::max(1L, next()));
    else if (arg == "--relay-queues")
      options.relayQueues = static_cast<int>(std::clamp(next(), 0L, 64L));
    else {
      std::cerr << "usage: " << argv[0]
                << " [--mib N] [--reps N] [--connections N] [--held N] [--relay-queues N]\n";
      return 2;
    }
  }
  return driverMain(options);
}

// One machine of the namespace test: an engine over the system's avahi-daemon, driven by the
// test through lines on stdin; answers and events go to stdout, one line each.
//
//   advertise <name> <id16> <port>   publish "_corvane._tcp" with TXT v=2 and id
//   browse                           report "nearby <id>..." whenever the list changes
//   resolve <id>                     report "resolved <id> <host:port>..." or "unresolved <id>"
//   engine <name>                    start the engine; reports "identity <id> <public key>"
//   pair <id> <name> <public key>    trust that machine without pairing
//   echo                             start an echo server; reports "echo <port>"
//   share <service id> <port>        share that loopback port with every paired machine
//   route <peer id> <service id>     wait for the proxy; reports "route <port>" or "noroute"
//   exchange <port> <bytes>          echo random bytes through a local port; reports
//                                    "exchanged <bytes> intact" or "exchange failed"
//   quit
#include "brimvale/network/Discovery.h"
#include "brimvale/platform/AvahiDnsSd.h"
#include "brimvale/platform/Crypto.h"
#include "brimvale/platform/KeychainStore.h"
#include "brimvale/platform/SerialQueue.h"
#include "tests/e2e/Engine.h"
#include "tests/e2e/Sockets.h"

#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

using namespace corvane;
using namespace corvane::e2e;

namespace {

constexpr double routeWait = 60.0;
constexpr double exchangeWait = 30.0;
// Far above what the test sends; a typo must not allocate the machine away.
constexpr std::size_t exchangeLimit = 64u << 20;

// Callbacks answer from several queues; one lock keeps their lines whole.
class Output {
public:
  void line(const std::string &text) {
    std::lock_guard lock(mutex_);
    std::cout << text << std::endl;
  }

private:
  std::mutex mutex_;
};

struct Node {
  Output out;
  std::shared_ptr<AvahiDnsSd> dnsSd = AvahiDnsSd::create();
  std::vector<std::unique_ptr<DnsSd::Handle>> publications;
  std::shared_ptr<Discovery> discovery;
  std::mutex nearbyMutex;
  std::map<std::string, NearbyDevice> nearby;
  std::shared_ptr<Engine> engine;
  std::vector<std::unique_ptr<EchoServer>> echoServers;

  void startEngine(const std::string &name) {
    if (engine) {
      out.line("error engine already running");
      return;
    }
    Engine::Options options;
    options.name = name;
    options.dnsSd = dnsSd;
    options.secrets = std::make_shared<KeychainStore>();
    engine = Engine::create(std::move(options));
    engine->start();
    out.line("identity " + engine->deviceID() + " " + base64Encode(engine->identity().publicKey()));
  }

  void pair(const std::string &id, const std::string &name, const std::string &key) {
    auto publicKey = base64Decode(key);
    if (!engine || !publicKey) {
      out.line("error cannot pair");
      return;
    }
    engine->pairDirectly(id, name, *publicKey);
    out.line("paired " + id);
  }

  void echo() {
    auto server = std::make_unique<EchoServer>();
    if (!server->listening()) {
      out.line("error echo server");
      return;
    }
    out.line("echo " + std::to_string(server->port()));
    echoServers.push_back(std::move(server));
  }

  void share(const std::string &serviceID, unsigned port) {
    if (!engine || port == 0 || port > 65535) {
      out.line("error cannot share");
      return;
    }
    SharedServiceInfo service;
    service.id = serviceID;
    service.name = "Echo";
    service.port = static_cast<int>(port);
    service.running = true;
    service.category = "Tool";
    engine->share({service});
    out.line("shared " + serviceID);
  }

  void route(const std::string &peerID, const std::string &serviceID) {
    const RouteKey key{peerID, serviceID};
    if (engine &&
        engine->waitUntil([&](const auto &seen) { return seen.listeningPort(key).has_value(); },
                          routeWait)) {
      out.line("route " + std::to_string(*engine->snapshot().listeningPort(key)));
      return;
    }
    out.line("noroute");
  }

  void exchange(unsigned port, std::size_t size) {
    if (port == 0 || port > 65535 || size == 0 || size > exchangeLimit) {
      out.line("exchange failed");
      return;
    }
    Client client(static_cast<std::uint16_t>(port), exchangeWait);
    const Bytes payload = randomBytes(size);
    const bool intact = client.connected() && echoThrough(client, payload) == payload;
    out.line(intact ? "exchanged " + std::to_string(size) + " intact" : "exchange failed");
  }

  void advertise(const std::string &name, const std::string &id, std::uint16_t port) {
    DnsSdService service{name, "_corvane._tcp", "", {{"v", "2"}, {"id", id}}};
    publications.push_back(dnsSd->publish(service, port));
    out.line("advertised " + name);
  }

  void browse() {
    discovery = Discovery::create("_corvane._tcp", dnsSd);
    discovery->onChange = [this](std::vector<NearbyDevice> devices) {
      std::string text = "nearby";
      {
        std::lock_guard lock(nearbyMutex);
        nearby.clear();
        for (auto &device : devices) {
          text += " " + device.deviceID;
          nearby[device.deviceID] = device;
        }
      }
      out.line(text);
    };
    discovery->start();
  }

  void resolve(const std::string &id) {
    std::optional<NearbyDevice> device;
    {
      std::lock_guard lock(nearbyMutex);
      if (auto it = nearby.find(id); it != nearby.end())
        device = it->second;
    }
    const auto *service = device ? device->endpoint.asService() : nullptr;
    if (!service || !service->resolver) {
      out.line("unresolved " + id);
      return;
    }
    service->resolver->resolve(*service, [this, id](auto result) {
      if (!result || result->empty()) {
        out.line("unresolved " + id);
        return;
      }
      std::string text = "resolved " + id;
      // Appended rather than " " + …: GCC 12 misreads that insert as overlapping at -O3.
      for (const auto &candidate : *result)
        text.append(" ")
            .append(candidate.host.text())
            .append(":")
            .append(std::to_string(candidate.port));
      out.line(text);
    });
  }
};

} // namespace

int main() {
  Node node;
  node.out.line("started");
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream words(line);
    std::string command;
    words >> command;
    if (command == "advertise") {
      std::string name, id;
      unsigned port = 0;
      words >> name >> id >> port;
      node.advertise(name, id, static_cast<std::uint16_t>(port));
    } else if (command == "browse") {
      node.browse();
    } else if (command == "resolve") {
      std::string id;
      words >> id;
      node.resolve(id);
    } else if (command == "engine") {
      std::string name;
      words >> name;
      node.startEngine(name);
    } else if (command == "pair") {
      std::string id, name, key;
      words >> id >> name >> key;
      node.pair(id, name, key);
    } else if (command == "echo") {
      node.echo();
    } else if (command == "share") {
      std::string serviceID;
      unsigned port = 0;
      words >> serviceID >> port;
      node.share(serviceID, port);
    } else if (command == "route") {
      std::string peerID, serviceID;
      words >> peerID >> serviceID;
      node.route(peerID, serviceID);
    } else if (command == "exchange") {
      unsigned port = 0;
      std::size_t size = 0;
      words >> port >> size;
      node.exchange(port, size);
    } else if (command == "quit") {
      break;
    } else {
      node.out.line("error unknown command");
    }
  }
  if (node.engine)
    node.engine->stop();
  if (node.discovery) {
    node.discovery->stop();
    node.discovery->queue()->sync([] {});
  }
  node.publications.clear();
  return 0;
}

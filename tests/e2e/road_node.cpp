// One machine of the namespace test: an engine over the system's avahi-daemon, driven by the
// test through lines on stdin; answers and events go to stdout, one line each.
//
//   advertise <name> <id16> <port>   publish "_corvane._tcp" with TXT v=2 and id
//   browse                           report "nearby <id>..." whenever the list changes
//   resolve <id>                     report "resolved <id> <host:port>..." or "unresolved <id>"
//   quit
#include "brimvale/network/Discovery.h"
#include "brimvale/platform/AvahiDnsSd.h"
#include "brimvale/platform/SerialQueue.h"

#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

using namespace corvane;

namespace {

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
      for (const auto &candidate : *result)
        text += " " + candidate.host.text() + ":" + std::to_string(candidate.port);
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
    } else if (command == "quit") {
      break;
    } else {
      node.out.line("error unknown command");
    }
  }
  if (node.discovery)
    node.discovery->stop();
  node.publications.clear();
  return 0;
}

#pragma once

#include "brimvale/manager/ServiceManager.h"
#include "brimvale/platform/ManualMainQueue.h"
#include "brimvale/platform/MemorySecretStore.h"
#include "brimvale/platform/RegistryDnsSd.h"

#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace corvane::testing {

class FakeWifi : public WifiName {
public:
  std::optional<std::string> name;
  std::optional<std::string> currentName() const override { return name; }
};

// What the manager asked of its components, and the answers of the fake loopback tests.
struct Recorder {
  std::vector<ServiceManager::Announcement> gateway;
  int gatewayStarts = 0;
  int gatewayRestarts = 0;
  std::vector<std::string> revoked;
  std::vector<std::vector<ProxyManager::Route>> proxy;
  std::vector<std::string> stoppedPeers;
  std::vector<std::string> resetPeers;
  std::vector<std::string> linksStarted;
  std::vector<std::string> linksStopped;
  std::vector<std::pair<std::string, bool>> endpointUpdates;
  std::map<int, BindResult> bind4;
  std::map<int, BindResult> bind6;
  std::set<int> listening4;
  std::set<int> listening6;
  int bindTests = 0;
  // Probes of this Mac's shares: the port accepts on that host only, or on both. A probe that
  // is refused answers at once, or after its whole time-out when probesTakeTimeout is set.
  std::map<int, Endpoint::Host> answering;
  std::set<int> answeringBoth;
  bool probesTakeTimeout = false;
  struct Probe {
    Endpoint::Host host;
    int port = 0;
    double timeout = 0;
    double at = 0;
  };
  std::vector<Probe> probes;
  // Replaces the answers above when set.
  std::function<void(const Endpoint::Host &, int, std::function<void(bool)>)> acceptsHook;
  // Versions by port (none: the read yields nothing), and the reads made.
  std::map<int, std::string> versionAnswers;
  std::vector<int> versionReads;
  std::function<void(int, std::function<void(std::optional<std::string>)>)> versionHook;
  // Health checks: a port in `unhealthy` does not answer like its kind.
  std::set<int> unhealthy;
  std::vector<std::pair<int, double>> healthChecks;
  std::function<void(int, std::function<void(bool)>)> healthHook;
  int reloads = 0;
  std::function<void()> controlPosted;
  // Notes shown, wake sendings (each answered with wakeSent), and the sleep watcher's calls.
  std::vector<NotificationRules::Note> notes;
  std::vector<std::vector<std::string>> wakeSends;
  int wakeSent = 1;
  std::function<void(std::function<void()>)> willSleep;
  std::function<void()> didWake;
};

// A manager on a manual main queue with virtual time and fake components.
class ManagerTest : public ::testing::Test {
protected:
  void TearDown() override {
    if (manager)
      manager->shutdown();
    queue->runUntilIdle();
    manager.reset();
  }

  ServiceManager::Setup setup(bool preview = false) {
    ServiceManager::Setup s;
    s.mainQueue = queue;
    s.store = store;
    s.isPreview = preview;
    s.defaults = defaults;
    s.controlDefaults = controlDefaults;
    s.dnsSd = RegistryDnsSd::create(DnsSdRegistry::create());
    s.wifi = wifi;
    s.hostName = "studio";
    ManualMainQueue *clock = queue.get();
    s.continuousClock = [clock] { return clock->now(); };
    s.dateClock = [clock] { return 1000 + clock->now(); };
    Recorder *r = &recorder;
    auto &e = s.effects;
    e.updateGateway = [r](std::vector<SharedServiceInfo> services, Gateway::Access access) {
      r->gateway.push_back({std::move(services), std::move(access)});
    };
    e.startGateway = [r] { ++r->gatewayStarts; };
    e.restartGateway = [r] { ++r->gatewayRestarts; };
    e.revokeAtGateway = [r](const std::string &id) { r->revoked.push_back(id); };
    e.startDiscovery = [] {};
    e.updateProxy = [r](std::vector<ProxyManager::Route> routes, auto) {
      r->proxy.push_back(std::move(routes));
    };
    e.stopProxyPeer = [r](const std::string &id) { r->stoppedPeers.push_back(id); };
    e.resetProxyPeer = [r](const std::string &id) { r->resetPeers.push_back(id); };
    e.startLink = [r](const std::shared_ptr<PeerLink> &link) {
      r->linksStarted.push_back(link->peer().deviceID);
    };
    e.stopLink = [r](const std::shared_ptr<PeerLink> &link) {
      r->linksStopped.push_back(link->peer().deviceID);
    };
    e.updateLinkEndpoint = [r](const std::shared_ptr<PeerLink> &link, Endpoint, bool force) {
      r->endpointUpdates.emplace_back(link->peer().deviceID, force);
    };
    e.accepts = [r, clock](const Endpoint::Host &host, int port, double timeout,
                           std::function<void(bool)> done) {
      r->probes.push_back({host, port, timeout, clock->now()});
      if (r->acceptsHook) {
        r->acceptsHook(host, port, std::move(done));
        return;
      }
      const auto found = r->answering.find(port);
      const bool ok =
          r->answeringBoth.contains(port) || (found != r->answering.end() && found->second == host);
      if (!ok && r->probesTakeTimeout)
        clock->postAfter(timeout, [done] { done(false); });
      else
        done(ok);
    };
    e.readVersion = [r](const std::string &, int port, ServiceCategory, const Endpoint::Host &,
                        std::function<void(std::optional<std::string>)> done) {
      r->versionReads.push_back(port);
      if (r->versionHook) {
        r->versionHook(port, std::move(done));
        return;
      }
      const auto found = r->versionAnswers.find(port);
      done(found == r->versionAnswers.end() ? std::nullopt : std::optional(found->second));
    };
    e.checkAnswersLikeKind = [r, clock](const ServiceVersion::Kind &, int port,
                                        const Endpoint::Host &, std::function<void(bool)> done) {
      r->healthChecks.emplace_back(port, clock->now());
      if (r->healthHook) {
        r->healthHook(port, std::move(done));
        return;
      }
      done(!r->unhealthy.contains(port));
    };
    e.canBindLoopbackPort = [r](AddressFamily family, int port) {
      ++r->bindTests;
      auto &table = family == AddressFamily::ipv4 ? r->bind4 : r->bind6;
      auto found = table.find(port);
      return found == table.end() ? BindResult::free : found->second;
    };
    e.isPortListening = [r](AddressFamily family, int port) {
      return (family == AddressFamily::ipv4 ? r->listening4 : r->listening6).contains(port);
    };
    e.reloadControls = [r] { ++r->reloads; };
    e.observeControlRequests = [r](std::function<void()> posted) -> std::shared_ptr<void> {
      r->controlPosted = std::move(posted);
      return std::make_shared<int>(0);
    };
    e.postNote = [r](const NotificationRules::Note &note) { r->notes.push_back(note); };
    e.sendWake = [r](const std::vector<std::string> &hardware) {
      r->wakeSends.push_back(hardware);
      return r->wakeSent;
    };
    e.watchSleep = [r](std::function<void(std::function<void()>)> willSleep,
                       std::function<void()> didWake) -> std::shared_ptr<void> {
      r->willSleep = std::move(willSleep);
      r->didWake = std::move(didWake);
      return std::make_shared<int>(0);
    };
    return s;
  }

  std::shared_ptr<ServiceManager> make(bool preview = false) {
    manager = ServiceManager::create(setup(preview));
    queue->runUntilIdle();
    return manager;
  }

  // A paired Mac with a usable key, added to the manager's store.
  PairedPeer pair(const std::string &name) {
    const auto identity = DeviceIdentity::generate();
    PairedPeer peer{identity.deviceID(), name, identity.publicKey(), 0};
    manager->peers()->add(peer);
    queue->runUntilIdle();
    return peer;
  }

  static NearbyDevice nearbyDevice(const PairedPeer &peer, std::uint16_t port = 46310) {
    return NearbyDevice{peer.deviceID, peer.name,
                        Endpoint::hostPort(Endpoint::Host::loopbackIPv4(), port)};
  }

  static SharedServiceInfo offered(const std::string &id, const std::string &name, int port,
                                   bool running = true) {
    SharedServiceInfo info;
    info.id = id;
    info.name = name;
    info.port = port;
    info.running = running;
    info.category = "Database";
    return info;
  }

  // Discovered, linked and reporting these shares.
  void bringOnline(const std::vector<PairedPeer> &peers) {
    std::vector<NearbyDevice> devices;
    for (const auto &peer : peers)
      devices.push_back(nearbyDevice(peer));
    manager->relayDiscoveryChange(devices);
  }

  // A paired Mac, discovered and reporting one running share.
  PairedPeer onlineSharing(const std::string &name, const SharedServiceInfo &share) {
    const auto mac = pair(name);
    bringOnline({mac});
    manager->handleLinkEvent({share}, {}, std::nullopt, mac.deviceID);
    return mac;
  }

  const IncomingService *row(const std::string &peerID, const std::string &serviceID) const {
    for (const auto &each : manager->incoming.get())
      if (each.key == RouteKey{peerID, serviceID})
        return &each;
    return nullptr;
  }

  std::shared_ptr<ManualMainQueue> queue = std::make_shared<ManualMainQueue>();
  std::shared_ptr<MemorySecretStore> store = std::make_shared<MemorySecretStore>();
  std::shared_ptr<UserDefaults> defaults{UserDefaults::inMemory()};
  std::shared_ptr<UserDefaults> controlDefaults{UserDefaults::inMemory()};
  std::shared_ptr<FakeWifi> wifi = std::make_shared<FakeWifi>();
  Recorder recorder;
  std::shared_ptr<ServiceManager> manager;
};

} // namespace corvane::testing

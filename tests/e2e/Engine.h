#pragma once

#include "brimvale/foundation/DeviceIdentity.h"
#include "brimvale/foundation/Frame.h"
#include "brimvale/foundation/PairedPeerStore.h"
#include "brimvale/foundation/ServiceRecords.h"
#include "brimvale/network/Discovery.h"
#include "brimvale/network/Gateway.h"
#include "brimvale/network/PairingCoordinator.h"
#include "brimvale/network/PeerLink.h"
#include "brimvale/network/ProxyManager.h"
#include "brimvale/platform/DnsSd.h"
#include "brimvale/platform/SecretStore.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace corvane {

class MainQueue;
class SerialQueue;

namespace e2e {

// The engine objects of one machine wired together the way the service manager will: a
// gateway, discovery of "_corvane._tcp", one peer link per nearby paired machine, a proxy
// that offers every share the links report on a free loopback port, and pairing.
class Engine : public std::enable_shared_from_this<Engine> {
public:
  struct Options {
    std::string name;
    std::shared_ptr<DnsSd> dnsSd;
    std::shared_ptr<SecretStore> secrets;
    // Pairing runs on it; without one the engine has no pairing coordinator.
    std::shared_ptr<MainQueue> mainQueue;
    Gateway::Options gateway;
    PeerLink::Options link;
    ProxyManager::Options proxy;
    PairingCoordinator::Options pairing = [] {
      PairingCoordinator::Options options;
      options.preferredPort = std::nullopt;
      return options;
    }();
  };

  // What the engine has seen so far; read through snapshot() or waitUntil().
  struct Observed {
    std::optional<std::uint16_t> gatewayPort;
    std::map<std::string, std::vector<SharedServiceInfo>> services; // per peer, last frame
    std::map<std::string, int> servicesFrames;
    std::set<std::string> unpaired;
    std::unordered_map<RouteKey, int> localPorts;
    std::unordered_map<RouteKey, ProxyManager::Status> status;
    std::unordered_map<RouteKey, std::optional<std::string>> refusals;
    std::unordered_map<RouteKey, int> active;
    std::vector<Gateway::Session> sessions;

    // The local port of a route once its IPv4 listener is up.
    std::optional<std::uint16_t> listeningPort(const RouteKey &key) const;
  };

  static std::shared_ptr<Engine> create(Options options);
  ~Engine();

  Engine(const Engine &) = delete;
  Engine &operator=(const Engine &) = delete;

  void start();
  // Ends links, routes, discovery and the gateway; waits until their queues have let go.
  void stop();

  const std::string &name() const { return name_; }
  const DeviceIdentity &identity() const { return identity_; }
  std::string deviceID() const { return identity_.deviceID(); }
  const std::shared_ptr<PairedPeerStore> &peerStore() const { return peerStore_; }
  const std::shared_ptr<Gateway> &gateway() const { return gateway_; }
  const std::shared_ptr<ProxyManager> &proxy() const { return proxy_; }
  // Absent without a main queue; to be used on the main queue only.
  const std::shared_ptr<PairingCoordinator> &pairing() const { return pairing_; }

  // Trusts the other machine without running pairing.
  void pairDirectly(const std::string &deviceID, const std::string &name, const Bytes &publicKey);
  // Shares these services with every paired machine (or those `access` names per service).
  void share(std::vector<SharedServiceInfo> services, Gateway::Access access = {});

  // Routes these services of a paired machine as if its link had offered them, for a machine
  // whose link cannot get them.
  void assumeOffered(const std::string &peerID, std::vector<SharedServiceInfo> services);

  Observed snapshot() const;
  // True once `condition` holds, false when `seconds` passed first.
  bool waitUntil(const std::function<bool(const Observed &)> &condition, double seconds) const;

private:
  explicit Engine(Options options);

  // On the links queue.
  void nearbyChanged(std::vector<NearbyDevice> devices);
  void peersChanged(const std::vector<PairedPeer> &peers);
  void reconcileLinks();
  void servicesReceived(const std::string &peerID, std::vector<SharedServiceInfo> services);
  void updateRoutes();

  template <typename Change> void record(Change &&change) {
    {
      std::lock_guard lock(mutex_);
      change(observed_);
    }
    changed_.notify_all();
  }

  std::string name_;
  Options options_;
  DeviceIdentity identity_;
  std::shared_ptr<PairedPeerStore> peerStore_;
  std::shared_ptr<Gateway> gateway_;
  std::shared_ptr<Discovery> discovery_;
  std::shared_ptr<SerialQueue> linksQueue_;
  std::shared_ptr<ProxyManager> proxy_;
  std::shared_ptr<PairingCoordinator> pairing_;

  // Confined to the links queue.
  std::vector<NearbyDevice> nearby_;
  std::set<std::string> knownPeers_;
  std::map<std::string, std::shared_ptr<PeerLink>> links_;
  std::map<std::string, std::vector<SharedServiceInfo>> offered_;
  std::unordered_map<RouteKey, int> chosenPorts_;
  bool stopped_ = false;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  Observed observed_;
};

// A loopback port that nothing listens on at the moment of asking.
std::uint16_t freeLoopbackPort();

} // namespace e2e
} // namespace corvane

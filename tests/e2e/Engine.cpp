#include "tests/e2e/Engine.h"

#include "brimvale/foundation/PairKeys.h"
#include "brimvale/network/PairingCoordinator.h"
#include "brimvale/platform/Clock.h"
#include "brimvale/platform/SerialQueue.h"
#include "tests/support/LoopbackPorts.h"

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace corvane::e2e {

std::uint16_t freeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  std::uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  ::close(fd);
  return port;
}

std::optional<std::uint16_t> Engine::Observed::listeningPort(const RouteKey &key) const {
  const auto state = status.find(key);
  const auto port = localPorts.find(key);
  if (state == status.end() || port == localPorts.end() ||
      state->second.which() != ProxyManager::Status::Case::listening)
    return std::nullopt;
  return static_cast<std::uint16_t>(port->second);
}

std::shared_ptr<Engine> Engine::create(Options options) {
  return std::shared_ptr<Engine>(new Engine(std::move(options)));
}

Engine::Engine(Options options)
    : name_(options.name), options_(std::move(options)),
      identity_(DeviceIdentity::loadOrCreateIdentity(*options_.secrets)),
      peerStore_(std::make_shared<PairedPeerStore>(options_.secrets)),
      linksQueue_(SerialQueue::create("corvane.links")) {
  gateway_ = Gateway::create(identity_, peerStore_, name_, options_.dnsSd, options_.gateway);
  discovery_ = Discovery::create("_corvane._tcp", options_.dnsSd);
  proxy_ = ProxyManager::create(identity_.deviceID(), options_.proxy);
  if (options_.mainQueue)
    pairing_ = PairingCoordinator::create(identity_, peerStore_, name_, options_.dnsSd,
                                          options_.mainQueue, options_.pairing);
  for (const auto &peer : peerStore_->peers())
    knownPeers_.insert(peer.deviceID);
}

Engine::~Engine() {
  stop();
}

void Engine::start() {
  std::weak_ptr<Engine> weak = weak_from_this();
  gateway_->setOnReady([weak](std::uint16_t port) {
    if (auto self = weak.lock())
      self->record([&](Observed &seen) { seen.gatewayPort = port; });
  });
  gateway_->setOnSessions([weak](std::vector<Gateway::Session> sessions) {
    if (auto self = weak.lock())
      self->record([&](Observed &seen) { seen.sessions = std::move(sessions); });
  });
  proxy_->setOnStatus([weak](const RouteKey &key, const ProxyManager::Status &status) {
    if (auto self = weak.lock())
      self->record([&](Observed &seen) { seen.status.insert_or_assign(key, status); });
  });
  proxy_->setOnActivity([weak](const RouteKey &key, int active) {
    if (auto self = weak.lock())
      self->record([&](Observed &seen) { seen.active.insert_or_assign(key, active); });
  });
  proxy_->setOnRefusal([weak](const RouteKey &key, const std::optional<std::string> &text) {
    if (auto self = weak.lock())
      self->record([&](Observed &seen) { seen.refusals.insert_or_assign(key, text); });
  });
  // The store calls back on whichever thread changed it; the links queue owns the reaction.
  peerStore_->setOnChange([weak](const std::vector<PairedPeer> &peers) {
    if (auto self = weak.lock())
      self->linksQueue_->post([weak, peers] {
        if (auto self = weak.lock())
          self->peersChanged(peers);
      });
  });
  discovery_->onChange = [weak](std::vector<NearbyDevice> devices) {
    if (auto self = weak.lock())
      self->linksQueue_->post([weak, devices = std::move(devices)]() mutable {
        if (auto self = weak.lock())
          self->nearbyChanged(std::move(devices));
      });
  };
  gateway_->start();
  discovery_->start();
}

void Engine::stop() {
  linksQueue_->sync([this] {
    if (stopped_)
      return;
    stopped_ = true;
    for (auto &[peerID, link] : links_)
      link->stop();
    links_.clear();
  });
  discovery_->stop();
  proxy_->stopAll();
  // Let every queue finish what is already posted before the objects go.
  discovery_->queue()->sync([] {});
  proxy_->queue()->sync([] {});
  gateway_->queue()->sync([] {});
  linksQueue_->sync([] {});
}

void Engine::pairDirectly(const std::string &deviceID, const std::string &name,
                          const Bytes &publicKey) {
  peerStore_->add(PairedPeer{deviceID, name, publicKey, referenceDateNow()});
}

void Engine::share(std::vector<SharedServiceInfo> services, Gateway::Access access) {
  gateway_->updateServices(std::move(services), std::move(access));
}

void Engine::assumeOffered(const std::string &peerID, std::vector<SharedServiceInfo> services) {
  linksQueue_->post([weak = weak_from_this(), peerID, services = std::move(services)]() mutable {
    if (auto self = weak.lock()) {
      self->offered_.insert_or_assign(peerID, std::move(services));
      self->updateRoutes();
    }
  });
}

Engine::Observed Engine::snapshot() const {
  std::lock_guard lock(mutex_);
  return observed_;
}

bool Engine::waitUntil(const std::function<bool(const Observed &)> &condition,
                       double seconds) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                           [&] { return condition(observed_); });
}

void Engine::nearbyChanged(std::vector<NearbyDevice> devices) {
  nearby_ = std::move(devices);
  reconcileLinks();
}

void Engine::peersChanged(const std::vector<PairedPeer> &peers) {
  std::set<std::string> now;
  for (const auto &peer : peers)
    now.insert(peer.deviceID);
  bool added = false;
  for (const auto &id : now)
    added = added || !knownPeers_.contains(id);
  for (const auto &id : knownPeers_)
    if (!now.contains(id))
      gateway_->revoke(id);
  knownPeers_ = std::move(now);
  // The listener takes its keys when it starts; a new peer needs a fresh one.
  if (added)
    gateway_->restart();
  reconcileLinks();
}

void Engine::reconcileLinks() {
  if (stopped_)
    return;
  std::map<std::string, const NearbyDevice *> wanted;
  for (const auto &device : nearby_)
    if (device.deviceID != deviceID() && peerStore_->findPeer(device.deviceID))
      wanted.emplace(device.deviceID, &device);

  for (auto it = links_.begin(); it != links_.end();) {
    if (wanted.contains(it->first)) {
      ++it;
      continue;
    }
    it->second->stop();
    offered_.erase(it->first);
    it = links_.erase(it);
  }

  std::weak_ptr<Engine> weak = weak_from_this();
  for (const auto &[id, device] : wanted) {
    if (auto link = links_.find(id); link != links_.end()) {
      link->second->updateEndpoint(device->endpoint, false);
      continue;
    }
    const auto peer = peerStore_->findPeer(id);
    auto keys = PairKeys::deriveKeys(identity_, peer->publicKey);
    if (!keys)
      continue;
    auto link =
        PeerLink::create(*peer, device->endpoint, *keys, deviceID(), linksQueue_, options_.link);
    link->setOnServices([weak, id](std::vector<SharedServiceInfo> services,
                                   std::vector<std::string>, std::optional<std::string>) {
      if (auto self = weak.lock())
        self->servicesReceived(id, std::move(services));
    });
    link->setOnUnpaired([weak, id] {
      if (auto self = weak.lock())
        self->record([&](Observed &seen) { seen.unpaired.insert(id); });
    });
    links_.emplace(id, link);
    link->start();
  }
  updateRoutes();
}

void Engine::servicesReceived(const std::string &peerID, std::vector<SharedServiceInfo> services) {
  offered_.insert_or_assign(peerID, services);
  record([&](Observed &seen) {
    seen.services.insert_or_assign(peerID, std::move(services));
    ++seen.servicesFrames[peerID];
  });
  updateRoutes();
}

void Engine::updateRoutes() {
  std::vector<ProxyManager::Route> routes;
  std::unordered_map<std::string, PairKeys> keys;
  for (const auto &[peerID, services] : offered_) {
    const auto link = links_.find(peerID);
    if (link == links_.end())
      continue;
    if (auto derived = PairKeys::deriveKeys(identity_, link->second->peer().publicKey))
      keys.emplace(peerID, std::move(*derived));
    for (const auto &service : services) {
      RouteKey key{peerID, service.id};
      auto port = chosenPorts_.find(key);
      if (port == chosenPorts_.end())
        port = chosenPorts_.emplace(key, testing::quietLoopbackPort()).first;
      routes.push_back(ProxyManager::Route{key, port->second, link->second->endpoint()});
    }
  }
  record([&](Observed &seen) {
    for (const auto &route : routes)
      seen.localPorts.insert_or_assign(route.key, route.localPort);
  });
  proxy_->update(std::move(routes), std::move(keys));
}

} // namespace corvane::e2e

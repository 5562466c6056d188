#include "brimvale/network/ProxyManager.h"

#include "brimvale/foundation/Bridge.h"
#include "brimvale/network/ListenPorts.h"
#include "brimvale/platform/Parameters.h"
#include "brimvale/platform/QueueContract.h"
#include "brimvale/platform/SerialQueue.h"
#include "brimvale/platform/TlsContext.h"
#include "brimvale/platform/Unicode.h"

#include <algorithm>
#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>
#include <cerrno>
#include <cmath>
#include <mutex>
#include <utility>

namespace corvane {

// One active route. Handlers hold it weakly; only `entries_` owns it, so a stopped or
// replaced entry is recognised by identity and its late events are dropped.
struct ProxyManager::Entry {
  Route route;
  PairKeys keys;
  // Made when the route starts and shared by its connections.
  std::shared_ptr<TlsContext> tls;
  // Guards `opening` and `connections`, which the queues that accept clients use too.
  std::mutex lock;
  // What a client accepted now is opened with: the route's current endpoint and keys; null
  // once the route stopped.
  std::shared_ptr<const Opening> opening;
  // A client of the route and, once it runs, its relay.
  struct Client {
    std::shared_ptr<Connection> connection;
    std::weak_ptr<Bridge::State> relay;

    // This machine's own cut: reset through the relay when it runs, so that its secure side is
    // reset too, also when it is still handing the client what came before a cut.
    void cut() const {
      if (auto running = relay.lock())
        running->tearDown();
      else
        connection->abort();
    }
  };
  // Every client of the route until its relay ends, so that stopping the route closes them.
  std::unordered_map<const Connection *, Client> connections;
  std::vector<std::shared_ptr<Listener>> listeners;
  // What the two listeners last said. `listening` is reported once 127.0.0.1 is up and ::1 is
  // up too or cannot be had at all (no IPv6 loopback).
  enum class Side { unknown, up, unavailable };
  bool ipv4Up = false;
  Side ipv6 = Side::unknown;
  bool saidListening = false;
  // ::1 is held by another program, which gets the clients that try ::1 first: the route has
  // given its port up and listens no more.
  bool portTaken = false;
  // Tries in a row that found ::1 of the port in use.
  int ipv6Busy = 0;
  // Counts the times 127.0.0.1 went down and took ::1 with it: a ::1 retry planned before then
  // would listen beside the one started once 127.0.0.1 is back.
  int round = 0;
  int active = 0;
  bool refused = false;
};

namespace {

constexpr int lowestPort = 1;
constexpr int highestPort = 65535;

// Resets a local client that was never started, on the queue that accepted it: closed before
// it starts, its socket would end cleanly.
void resetUnstarted(const std::shared_ptr<Connection> &connection,
                    std::shared_ptr<SerialQueue> fallback) {
  auto home = SerialQueue::current();
  connection->start(home ? std::move(home) : std::move(fallback));
  connection->abort();
}

// Whether another socket holds `port` on ::1: bound as the route's listener binds, never listened
// on, so that no client is taken in.
bool heldOnIPv6Loopback(SerialQueue &queue, std::uint16_t port) {
  asio::ip::tcp::acceptor probe(queue.context());
  std::error_code error;
  probe.open(asio::ip::tcp::v6(), error);
  probe.set_option(asio::ip::v6_only(true), error);
  probe.set_option(asio::socket_base::reuse_address(true), error);
  probe.bind({asio::ip::address_v6::loopback(), port}, error);
  return error == asio::error::address_in_use;
}

std::string refusalText(const ChannelError &error) {
  if (const auto *wire = std::get_if<WireError>(&error);
      wire && wire->kind == WireError::Kind::rejected)
    return characterPrefix(wire->text, ProxyManager::refusalTextLimit);
  return "unreachable";
}

} // namespace

std::shared_ptr<ProxyManager> ProxyManager::create(std::string myDeviceID) {
  return create(std::move(myDeviceID), Options{});
}

std::shared_ptr<ProxyManager> ProxyManager::create(std::string myDeviceID, Options options) {
  return std::shared_ptr<ProxyManager>(new ProxyManager(std::move(myDeviceID), std::move(options)));
}

ProxyManager::ProxyManager(std::string myDeviceID, Options options)
    : queue_(SerialQueue::create(options.queueLabel)), myDeviceID_(std::move(myDeviceID)),
      options_(std::move(options)), relays_("corvane.proxy.relay", options_.relayQueues) {}

ProxyManager::~ProxyManager() {
  // No handler can run any more (they all hold the proxy weakly), so nothing is reported;
  // the sockets are reset rather than left to whoever still holds them, so that no client cut
  // off mid-stream takes what it got for the whole.
  for (auto &[key, entry] : entries_) {
    for (auto &listener : entry->listeners)
      listener->cancel();
    decltype(entry->connections) connections;
    {
      std::lock_guard guard(entry->lock);
      connections = std::exchange(entry->connections, {});
    }
    for (auto &[identity, client] : connections)
      client.cut();
  }
}

double ProxyManager::listenRetryPause(int attempt, const Options &options) {
  // Past the cap the exponent no longer matters; bounding it keeps the power finite.
  int exponent = std::clamp(attempt, 0, 30);
  return std::min(options.listenRetryBase * std::ldexp(1.0, exponent), options.listenRetryCap);
}

void ProxyManager::update(std::vector<Route> routes,
                          std::unordered_map<std::string, PairKeys> keys) {
  std::weak_ptr<ProxyManager> weak = weak_from_this();
  queue_->post([weak, routes = std::move(routes), keys = std::move(keys)] {
    if (auto self = weak.lock())
      self->updateRoutes(routes, keys);
  });
}

void ProxyManager::stopAll() {
  std::weak_ptr<ProxyManager> weak = weak_from_this();
  queue_->post([weak] {
    auto self = weak.lock();
    if (!self)
      return;
    auto entries = std::move(self->entries_);
    self->entries_.clear();
    for (auto &[key, entry] : entries)
      self->stopEntry(entry);
  });
}

namespace {

// Runs `done` behind what each of `queues` holds now, one queue after the other.
void passThrough(std::vector<std::shared_ptr<SerialQueue>> queues, std::function<void()> done) {
  if (queues.empty()) {
    done();
    return;
  }
  auto next = queues.back();
  queues.pop_back();
  next->post([queues = std::move(queues), done = std::move(done)]() mutable {
    passThrough(std::move(queues), std::move(done));
  });
}

} // namespace

void ProxyManager::afterClosing(std::function<void()> done) {
  queue_->post([weak = weak_from_this(), done = std::move(done)]() mutable {
    auto self = weak.lock();
    passThrough(self ? self->relays_.made() : std::vector<std::shared_ptr<SerialQueue>>{},
                std::move(done));
  });
}

void ProxyManager::stopPeer(const std::string &peerID) {
  expectOnQueue(*queue_, "ProxyManager::stopPeer on the proxy queue");
  std::vector<std::shared_ptr<Entry>> stopped;
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (it->first.peerID == peerID) {
      stopped.push_back(it->second);
      it = entries_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto &entry : stopped)
    stopEntry(entry);
}

void ProxyManager::resetPeer(const std::string &peerID) {
  expectOnQueue(*queue_, "ProxyManager::resetPeer on the proxy queue");
  for (auto &[key, entry] : entries_) {
    if (key.peerID != peerID)
      continue;
    std::vector<Entry::Client> clients;
    {
      std::lock_guard guard(entry->lock);
      for (auto &[identity, client] : entry->connections)
        clients.push_back(client);
    }
    // Left in the bookkeeping: the end of each relay (or of its handshake) takes the client off
    // as it does for any other end.
    for (auto &client : clients)
      client.cut();
  }
}

void ProxyManager::updateRoutes(const std::vector<Route> &routes,
                                const std::unordered_map<std::string, PairKeys> &keys) {
  std::unordered_map<RouteKey, const Route *> byKey;
  for (const auto &route : routes)
    byKey.emplace(route.key, &route);

  std::vector<std::shared_ptr<Entry>> stopped;
  for (auto it = entries_.begin(); it != entries_.end();) {
    auto found = byKey.find(it->first);
    if (found != byKey.end() && found->second->localPort == it->second->route.localPort) {
      ++it;
    } else {
      stopped.push_back(it->second);
      it = entries_.erase(it);
    }
  }
  for (auto &entry : stopped)
    stopEntry(entry);

  for (const auto &route : routes) {
    if (auto it = entries_.find(route.key); it != entries_.end()) {
      // Listeners and running relays stay; later connections use the new endpoint.
      auto &entry = *it->second;
      if (entry.route.endpoint != route.endpoint) {
        entry.route.endpoint = route.endpoint;
        publishOpening(entry);
      }
      continue;
    }
    auto peerKeys = keys.find(route.key.peerID);
    if (peerKeys == keys.end())
      continue;
    auto entry = std::make_shared<Entry>();
    entry->route = route;
    entry->keys = peerKeys->second;
    entries_[route.key] = entry;
    startEntry(entry);
  }
}

bool ProxyManager::isCurrent(const std::shared_ptr<Entry> &entry) const {
  auto it = entries_.find(entry->route.key);
  return it != entries_.end() && it->second == entry;
}

void ProxyManager::publishOpening(Entry &entry) {
  auto opening = std::make_shared<const Opening>(
      Opening{entry.route.endpoint, entry.keys, entry.route.key.serviceID, entry.tls});
  std::lock_guard guard(entry.lock);
  entry.opening = std::move(opening);
}

void ProxyManager::startEntry(const std::shared_ptr<Entry> &entry) {
  // A port the system cannot bind is refused outright; clamping it would listen elsewhere.
  if (entry->route.localPort < lowestPort || entry->route.localPort > highestPort) {
    if (onStatus_)
      onStatus_(entry->route.key, Status::failed("bad port"));
    return;
  }
  // Without a context openClient makes one per connection and reports its failure.
  if (auto made = SecureChannel::clientContext(entry->keys, myDeviceID_))
    entry->tls = *made;
  publishOpening(*entry);
  // ::1 follows once 127.0.0.1 is up.
  listen(entry, Endpoint::Host::loopbackIPv4(), 0);
}

void ProxyManager::stopEntry(const std::shared_ptr<Entry> &entry) {
  decltype(entry->connections) connections;
  {
    std::lock_guard guard(entry->lock);
    entry->opening.reset();
    connections = std::exchange(entry->connections, {});
  }
  auto listeners = std::move(entry->listeners);
  entry->listeners.clear();
  for (auto &listener : listeners)
    listener->cancel();
  // Reset, so that a client cut off mid-reply cannot take it for the whole.
  for (auto &[identity, client] : connections)
    client.cut();
  entry->active = 0;
  if (onActivity_)
    onActivity_(entry->route.key, 0);
}

void ProxyManager::listen(const std::shared_ptr<Entry> &entry, const Endpoint::Host &host,
                          int attempt) {
  if (!isCurrent(entry) || entry->portTaken)
    return;
  auto port = static_cast<std::uint16_t>(entry->route.localPort);

  Parameters parameters = Parameters::tcp();
  parameters.requiredLocalEndpoint = Endpoint::hostPort(host, port);
  parameters.allowLocalEndpointReuse = true;
  parameters.acceptLocalOnly = true;

  auto created = Listener::create(parameters, std::nullopt);
  if (!created) {
    if (host == Endpoint::Host::loopbackIPv4()) {
      loseIPv4(*entry, "could not listen on " + std::to_string(entry->route.localPort));
      entry->ipv6Busy = 0;
    } else {
      entry->ipv6 = Entry::Side::unavailable;
      sayListening(*entry);
    }
    listenAfter(entry, host, attempt + 1, listenRetryPause(attempt, options_));
    return;
  }
  auto listener = *created;

  std::weak_ptr<ProxyManager> weakSelf = weak_from_this();
  std::weak_ptr<Entry> weakEntry = entry;
  std::weak_ptr<Listener> weakListener = listener;
  listener->setNewConnectionHandler(
      [weakSelf, weakEntry, queue = queue_](std::shared_ptr<Connection> connection) {
        auto self = weakSelf.lock();
        auto entry = weakEntry.lock();
        if (self && entry)
          self->acceptLocal(connection, entry);
        else
          resetUnstarted(connection, queue);
      });
  // Each client is accepted on the relay queue that becomes its home.
  listener->setAcceptQueues([weakSelf] {
    auto self = weakSelf.lock();
    return self ? self->relays_.next() : nullptr;
  });
  listener->setStateHandler(
      [weakSelf, weakEntry, weakListener, host, attempt](const Listener::State &state) {
        auto self = weakSelf.lock();
        auto entry = weakEntry.lock();
        auto listener = weakListener.lock();
        if (self && entry && listener)
          self->handleListenerState(entry, listener, host, attempt, state);
      });
  entry->listeners.push_back(listener);
  listener->start(queue_);
}

void ProxyManager::listenAfter(const std::shared_ptr<Entry> &entry, const Endpoint::Host &host,
                               int attempt, double delay) {
  std::weak_ptr<ProxyManager> weakSelf = weak_from_this();
  std::weak_ptr<Entry> weakEntry = entry;
  queue_->postAfter(delay, [weakSelf, weakEntry, host, attempt, round = entry->round] {
    auto self = weakSelf.lock();
    auto entry = weakEntry.lock();
    if (self && entry && entry->round == round)
      self->listen(entry, host, attempt);
  });
}

void ProxyManager::handleListenerState(const std::shared_ptr<Entry> &entry,
                                       const std::shared_ptr<Listener> &listener,
                                       const Endpoint::Host &host, int attempt,
                                       const Listener::State &state) {
  auto found = std::find(entry->listeners.begin(), entry->listeners.end(), listener);
  if (found == entry->listeners.end())
    return;
  const bool ipv4 = host == Endpoint::Host::loopbackIPv4();
  switch (state.kind) {
  case Listener::State::Kind::ready:
    if (ipv4) {
      entry->ipv4Up = true;
      // ::1 gets its own tries: one of this route's listeners may still be closing there.
      entry->ipv6Busy = 0;
      listen(entry, Endpoint::Host::loopbackIPv6(), 0);
    } else {
      entry->ipv6 = Entry::Side::up;
      entry->ipv6Busy = 0;
    }
    sayListening(*entry);
    return;
  case Listener::State::Kind::failed: {
    auto error = state.error.value_or(NetworkError::posix(EINVAL));
    const bool busy = error.isPosix(EADDRINUSE);
    std::string text = busy ? "Port " + std::to_string(entry->route.localPort) +
                                  " is busy on this Mac. Trying again…"
                            : error.localizedDescription();
    entry->listeners.erase(found);
    listener->cancel();
    if (!ipv4 && busy) {
      // A listener of this very route that is still closing (a route stopped and started again
      // on its port) holds it for a moment; only a port still taken after a few tries is
      // someone else's.
      if (++entry->ipv6Busy < listenBusyAttempts) {
        listenAfter(entry, host, attempt, options_.busyRetryDelay);
        return;
      }
      givePortUp(*entry);
      return;
    }
    if (ipv4) {
      loseIPv4(*entry, text);
      // A server on localhost holds both sides: the port is someone else's, given up as when ::1
      // alone is found taken, although ::1 is not listened on while 127.0.0.1 is busy.
      entry->ipv6Busy =
          busy && heldOnIPv6Loopback(*queue_, static_cast<std::uint16_t>(entry->route.localPort))
              ? entry->ipv6Busy + 1
              : 0;
      if (entry->ipv6Busy >= listenBusyAttempts) {
        givePortUp(*entry);
        return;
      }
    } else {
      // No IPv6 loopback on this machine (or no ::1 listener to be had): 127.0.0.1 serves alone.
      entry->ipv6 = Entry::Side::unavailable;
      entry->ipv6Busy = 0;
      sayListening(*entry);
    }
    listenAfter(entry, host, attempt + 1, listenRetryPause(attempt, options_));
    return;
  }
  default: return;
  }
}

void ProxyManager::loseIPv4(Entry &entry, const std::string &text) {
  // What is left is the ::1 side: serving it alone would split the clients of localhost between
  // the route and whoever holds 127.0.0.1. Clients already accepted stay.
  auto listeners = std::move(entry.listeners);
  entry.listeners.clear();
  for (auto &listener : listeners)
    listener->cancel();
  entry.ipv4Up = false;
  entry.ipv6 = Entry::Side::unknown;
  entry.round += 1;
  entry.saidListening = false;
  if (onStatus_)
    onStatus_(entry.route.key, Status::failed(text));
}

void ProxyManager::givePortUp(Entry &entry) {
  // Retrying would go on serving 127.0.0.1 alone meanwhile, and ::1 clients would reach the
  // other program; the manager moves the route to another port instead.
  entry.portTaken = true;
  auto listeners = std::move(entry.listeners);
  entry.listeners.clear();
  for (auto &listener : listeners)
    listener->cancel();
  entry.ipv4Up = false;
  entry.saidListening = false;
  if (onStatus_)
    onStatus_(entry.route.key, Status::taken(entry.route.localPort));
}

void ProxyManager::sayListening(Entry &entry) {
  if (entry.portTaken || entry.saidListening || !entry.ipv4Up || entry.ipv6 == Entry::Side::unknown)
    return;
  entry.saidListening = true;
  if (onStatus_)
    onStatus_(entry.route.key, Status::listening());
}

void ProxyManager::acceptLocal(const std::shared_ptr<Connection> &connection,
                               const std::shared_ptr<Entry> &entry) {
  std::shared_ptr<const Opening> opening;
  {
    std::lock_guard guard(entry->lock);
    opening = entry->opening;
    if (opening)
      entry->connections[connection.get()] = {connection, {}};
  }
  // The route stopped.
  if (!opening) {
    resetUnstarted(connection, queue_);
    return;
  }
  if (options_.onStep)
    options_.onStep(RoadStep::accepted);
  std::weak_ptr<Entry> weakEntry = entry;
  // Accepted on its home (a relay queue, or the proxy's): its secure connection and the relay
  // run there too, with no hand-over in between.
  auto home = SerialQueue::current();
  if (!home)
    home = queue_;
  std::weak_ptr<ProxyManager> weakSelf = weak_from_this();
  std::weak_ptr<Connection> weakLocal = connection;
  connection->setStateHandler(
      [weakSelf, weakEntry, weakLocal, opening](const Connection::State &state) {
        auto local = weakLocal.lock();
        if (!local)
          return;
        auto self = weakSelf.lock();
        if (!self || weakEntry.expired()) {
          local->abort();
          return;
        }
        self->handleLocalState(weakEntry, local, opening, state);
      });
  // Until its relay runs too, a client whose process here dies must not read a clean end.
  connection->resetUnlessClosed();
  connection->start(home);
}

void ProxyManager::handleLocalState(const std::weak_ptr<Entry> &weakEntry,
                                    const std::shared_ptr<Connection> &local,
                                    const std::shared_ptr<const Opening> &opening,
                                    const Connection::State &state) {
  switch (state.kind) {
  case Connection::State::Kind::failed:
  case Connection::State::Kind::cancelled:
    if (auto entry = weakEntry.lock()) {
      std::lock_guard guard(entry->lock);
      entry->connections.erase(local.get());
    }
    return;
  case Connection::State::Kind::ready: {
    // From here on the relay watches the local side.
    local->setStateHandler(nullptr);
    std::weak_ptr<ProxyManager> weakSelf = weak_from_this();
    SecureChannel::openClient(
        opening->endpoint, opening->keys, myDeviceID_, Frame::Mode::open, opening->serviceID,
        local->queue(),
        [weakSelf, weakEntry, local](Result result) {
          if (auto self = weakSelf.lock()) {
            self->handleOpenResult(weakEntry, local, std::move(result));
            return;
          }
          // Nobody is left to relay or report: reset both sides.
          local->abort();
          if (result)
            (*result)->abort();
        },
        options_.handshakeTimeout, opening->tls);
    return;
  }
  default: return;
  }
}

void ProxyManager::handleOpenResult(const std::weak_ptr<Entry> &weakEntry,
                                    const std::shared_ptr<Connection> &local, Result result) {
  if (!result) {
    // A reset, as a port with nothing behind it refuses the connect: a clean end would read as
    // a service that answered nothing.
    local->abort();
    onProxyQueue(weakEntry,
                 [local, text = refusalText(result.error())](ProxyManager &self, Entry &entry) {
                   {
                     std::lock_guard guard(entry.lock);
                     entry.connections.erase(local.get());
                   }
                   entry.refused = true;
                   if (self.onRefusal_)
                     self.onRefusal_(entry.route.key, text);
                 });
    return;
  }
  auto remote = std::move(*result);
  if (weakEntry.expired()) {
    // The route was stopped during the handshake: neither side may be left open.
    local->abort();
    remote->abort();
    return;
  }
  if (options_.onStep)
    options_.onStep(RoadStep::verdict);
  // Counted on the proxy queue before the relay can report its end there.
  onProxyQueue(
      weakEntry,
      [local, remote](ProxyManager &self, Entry &entry) {
        self.relayStarted(entry, local, remote);
      },
      [local, remote] {
        // The route was stopped or replaced during the handshake; its reports belong to the
        // replacement now.
        local->abort();
        remote->abort();
      });
  std::weak_ptr<ProxyManager> weakSelf = weak_from_this();
  // Both sides already live on this queue: each hands its bytes to the other at once, and each
  // side's end to the other, so a local client that ends its sending still reads the reply.
  // The client is held until it is taken off, so that a newer one cannot meanwhile take its
  // address and be taken off in its place.
  auto relay = Bridge::runBridge(local, remote, [weakSelf, weakEntry, local] {
    if (auto self = weakSelf.lock())
      self->onProxyQueue(weakEntry, [local](ProxyManager &self, Entry &entry) {
        self.connectionClosed(entry, local.get());
      });
  });
  if (auto entry = weakEntry.lock()) {
    std::lock_guard guard(entry->lock);
    if (auto client = entry->connections.find(local.get()); client != entry->connections.end())
      client->second.relay = relay;
  }
}

void ProxyManager::relayStarted(Entry &entry, const std::shared_ptr<Connection> &local,
                                const std::shared_ptr<Connection> &remote) {
  const RouteKey key = entry.route.key;
  if (entry.refused) {
    entry.refused = false;
    if (onRefusal_)
      onRefusal_(key, std::nullopt);
  }
  // A callback may have stopped the route meanwhile.
  bool kept = false;
  if (auto current = entries_.find(key);
      current != entries_.end() && current->second.get() == &entry) {
    std::lock_guard guard(entry.lock);
    kept = entry.connections.contains(local.get());
  }
  if (!kept) {
    local->abort();
    remote->abort();
    return;
  }
  entry.active += 1;
  if (onActivity_)
    onActivity_(key, entry.active);
}

void ProxyManager::connectionClosed(Entry &entry, const Connection *local) {
  // Only a relay that was counted is taken off the count.
  {
    std::lock_guard guard(entry.lock);
    if (entry.connections.erase(local) == 0)
      return;
  }
  entry.active = std::max(0, entry.active - 1);
  if (onActivity_)
    onActivity_(entry.route.key, entry.active);
}

void ProxyManager::onProxyQueue(const std::weak_ptr<Entry> &weakEntry,
                                std::function<void(ProxyManager &, Entry &)> work,
                                std::function<void()> otherwise) {
  queue_->post([weakSelf = weak_from_this(), weakEntry, work = std::move(work),
                otherwise = std::move(otherwise)] {
    auto self = weakSelf.lock();
    auto entry = weakEntry.lock();
    if (self && entry && self->isCurrent(entry))
      work(*self, *entry);
    else if (otherwise)
      otherwise();
  });
}

} // namespace corvane

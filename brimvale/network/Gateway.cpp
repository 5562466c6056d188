#include "brimvale/network/Gateway.h"

#include "brimvale/foundation/Bridge.h"
#include "brimvale/foundation/PairedPeerStore.h"
#include "brimvale/foundation/SecureChannel.h"
#include "brimvale/network/ListenPorts.h"
#include "brimvale/network/Wake.h"
#include "brimvale/platform/Crypto.h"
#include "brimvale/platform/DnsSd.h"
#include "brimvale/platform/Logger.h"

#include <algorithm>
#include <cerrno>
#include <utility>

namespace corvane {

namespace {

Frame resultFrame(bool ok, std::optional<std::string> error = std::nullopt) {
  Frame frame;
  frame.kind = Frame::Kind::result;
  frame.ok = ok;
  frame.error = std::move(error);
  return frame;
}

// An accepted connection's events arrive on the queue it was started on, its home.
constexpr const char *connectionQueueContract = "Gateway: connection events on its own queue";

// A stream ended by this machine's own decision is reset, through its relay when it runs, so
// that the other machine passes on a cut instead of taking it for its client's end. One that
// already ended and only waits for the other machine to acknowledge the rest is let go, or with
// `evenFinished` (a machine gone or unpaired, which will never take it) reset as well.
struct Ending {
  std::shared_ptr<Connection> connection;
  std::weak_ptr<Bridge::State> relay;
  bool evenFinished = false;

  void operator()() const {
    if (auto running = relay.lock())
      evenFinished ? running->cut() : running->tearDown();
    else
      connection->abort();
  }
};

Frame bareFrame(Frame::Kind kind) {
  Frame frame;
  frame.kind = kind;
  return frame;
}

} // namespace

std::shared_ptr<Gateway> Gateway::create(DeviceIdentity identity,
                                         std::shared_ptr<PairedPeerStore> peerStore,
                                         std::string deviceName, std::shared_ptr<DnsSd> dnsSd,
                                         Options options) {
  return std::shared_ptr<Gateway>(new Gateway(std::move(identity), std::move(peerStore),
                                              std::move(deviceName), std::move(dnsSd),
                                              std::move(options)));
}

std::shared_ptr<Gateway> Gateway::create(DeviceIdentity identity,
                                         std::shared_ptr<PairedPeerStore> peerStore,
                                         std::string deviceName, std::shared_ptr<DnsSd> dnsSd) {
  return create(std::move(identity), std::move(peerStore), std::move(deviceName), std::move(dnsSd),
                Options{});
}

Gateway::Gateway(DeviceIdentity identity, std::shared_ptr<PairedPeerStore> peerStore,
                 std::string deviceName, std::shared_ptr<DnsSd> dnsSd, Options options)
    : queue_(options.queue ? options.queue : SerialQueue::create(options.queueLabel)),
      identity_(std::move(identity)), peerStore_(std::move(peerStore)), dnsSd_(std::move(dnsSd)),
      options_(std::move(options)), relays_("corvane.gateway.relay", options_.relayQueues),
      deviceName_(std::move(deviceName)) {
  if (!options_.hardwareAddresses)
    options_.hardwareAddresses = [] { return hardwareAddresses(); };
}

Gateway::~Gateway() {
  // Handlers hold the gateway weakly, so nothing of ours runs after this; the sockets go with
  // their last owner.
  if (listener_)
    listener_->cancel();
  for (auto &[connection, pending] : pending_)
    pending.connection->cancel();
  for (auto &[peer, table] : connections_)
    for (auto &[identity, connection] : table)
      if (controls_.contains(identity))
        connection->cancel();
      else
        Ending{connection, relayOf(identity)}();
}

// --- operations ---

void Gateway::setOnSessions(std::function<void(std::vector<Session>)> callback) {
  queue_->post([weak = weak_from_this(), callback = std::move(callback)]() mutable {
    if (auto self = weak.lock())
      self->onSessions_ = std::move(callback);
  });
}

void Gateway::setOnAccepted(std::function<void(std::string, std::string)> callback) {
  queue_->post([weak = weak_from_this(), callback = std::move(callback)]() mutable {
    if (auto self = weak.lock())
      self->onAccepted_ = std::move(callback);
  });
}

void Gateway::setOnReady(std::function<void(std::uint16_t)> callback) {
  queue_->post([weak = weak_from_this(), callback = std::move(callback)]() mutable {
    if (auto self = weak.lock())
      self->onReady_ = std::move(callback);
  });
}

void Gateway::start() {
  queue_->post([weak = weak_from_this()] {
    if (auto self = weak.lock()) {
      const bool first = !std::exchange(self->running_, true);
      self->startGateway({});
      if (first)
        self->queue_->postAfter(self->options_.silenceCheckInterval, [weak] {
          if (auto self = weak.lock())
            self->checkSilence();
        });
    }
  });
}

void Gateway::checkSilence() {
  const auto now = std::chrono::steady_clock::now();
  const auto limit = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(options_.silenceLimit));
  std::vector<Ending> ending;
  std::vector<std::string> lines;
  {
    std::lock_guard guard(lock_);
    std::erase_if(lastHeard_, [&](const auto &entry) {
      auto held = connections_.find(entry.first);
      return held == connections_.end() || held->second.empty();
    });
    // Only machines that have held a control link are judged, from its last word on; one that
    // closed its link and vanished before linking again is judged from then as well.
    for (const auto &[peerID, heard] : lastHeard_) {
      if (now - heard < limit)
        continue;
      std::size_t count = 0;
      for (const auto &[serviceID, table] : streams_)
        for (const auto &[identity, stream] : table)
          if (stream.peerID == peerID) {
            ending.push_back({stream.connection, stream.relay, true});
            ++count;
          }
      if (count > 0)
        lines.push_back("Gateway: " + peerID + " has answered nothing for " +
                        std::to_string(static_cast<long long>(options_.silenceLimit)) + " s; its " +
                        std::to_string(count) + " stream(s) were reset");
    }
  }
  for (const auto &line : lines)
    Logger::net().notice(line);
  for (auto &end : ending)
    end();
  queue_->postAfter(options_.silenceCheckInterval, [weak = weak_from_this()] {
    if (auto self = weak.lock())
      self->checkSilence();
  });
}

void Gateway::restart() {
  queue_->post([weak = weak_from_this()] {
    if (auto self = weak.lock(); self && self->running_)
      self->startGateway({});
  });
}

void Gateway::revoke(std::string peerID) {
  queue_->post([weak = weak_from_this(), peerID = std::move(peerID)] {
    auto self = weak.lock();
    if (!self)
      return;
    std::vector<std::shared_ptr<Connection>> controls;
    std::vector<Ending> others;
    {
      // A hello verified on another queue registers under this lock, so it either is in the
      // table taken here or finds the key revoked.
      std::lock_guard guard(self->lock_);
      if (auto keys = self->pairKeys_.find(peerID); keys != self->pairKeys_.end()) {
        self->revokedKeys_.insert_or_assign(peerID, keys->second);
        self->pairKeys_.erase(keys);
      }
      auto entry = self->connections_.find(peerID);
      if (entry == self->connections_.end())
        return;
      for (auto &[identity, connection] : entry->second)
        if (self->controls_.contains(identity))
          controls.push_back(connection);
        else
          others.push_back({connection, self->relayOf(identity), true});
      self->connections_.erase(entry);
    }
    for (auto &connection : controls)
      self->sendAndClose(connection, bareFrame(Frame::Kind::unpaired));
    for (auto &end : others)
      end();
  });
}

void Gateway::disconnect(std::string peerID, std::string serviceID) {
  queue_->post(
      [weak = weak_from_this(), peerID = std::move(peerID), serviceID = std::move(serviceID)] {
        auto self = weak.lock();
        if (!self)
          return;
        std::vector<Ending> ending;
        {
          std::lock_guard guard(self->lock_);
          auto table = self->streams_.find(serviceID);
          if (table == self->streams_.end())
            return;
          for (auto &[identity, stream] : table->second)
            if (stream.peerID == peerID)
              ending.push_back({stream.connection, stream.relay});
        }
        // Ending may report back into the tables at once, so not under the lock.
        for (auto &end : ending)
          end();
      });
}

void Gateway::rename(std::string deviceName) {
  queue_->post([weak = weak_from_this(), deviceName = std::move(deviceName)]() mutable {
    auto self = weak.lock();
    if (!self)
      return;
    {
      std::lock_guard guard(self->lock_);
      if (deviceName == self->deviceName_)
        return;
      self->deviceName_ = std::move(deviceName);
    }
    if (self->running_)
      self->startGateway({});
  });
}

void Gateway::updateServices(std::vector<SharedServiceInfo> services, Access access) {
  queue_->post([weak = weak_from_this(), services = std::move(services),
                access = std::move(access)]() mutable {
    auto self = weak.lock();
    if (!self)
      return;
    std::vector<Ending> ending;
    std::vector<std::shared_ptr<Connection>> controls;
    {
      std::lock_guard guard(self->lock_);
      if (services == self->services_ && access == self->access_)
        return;
      self->services_ = std::move(services);
      self->access_ = std::move(access);
      for (auto &[serviceID, table] : self->streams_)
        for (auto &[identity, stream] : table)
          if (!self->isAllowed(serviceID, stream.peerID))
            ending.push_back({stream.connection, stream.relay});
      for (auto &[identity, control] : self->controls_)
        controls.push_back(control.connection);
    }
    for (auto &end : ending)
      end();
    // A control greeted on its own queue may not have sent its first list yet; a resend made
    // there goes after it, so the peer is not left holding the older list.
    for (auto &connection : controls)
      if (auto home = connection->queue())
        home->post([weak, connection] {
          if (auto self = weak.lock())
            self->resendServices(connection);
        });
  });
}

void Gateway::resendServices(const std::shared_ptr<Connection> &connection) {
  expectOnQueue(*connection->queue(), connectionQueueContract);
  Frame frame;
  {
    std::lock_guard guard(lock_);
    auto control = controls_.find(connection.get());
    if (control == controls_.end())
      return;
    frame = servicesFrame(control->second.peerID);
  }
  sendServices(connection, std::move(frame));
}

std::vector<Gateway::Session> Gateway::sessionsFromStreams(const StreamTable &streams,
                                                           const std::string &serviceID) {
  std::vector<Session> sessions;
  sessions.reserve(streams.size());
  for (const auto &[identity, stream] : streams)
    sessions.push_back(Session{stream.peerID, serviceID, stream.since});
  return sessions;
}

// --- listener ---

void Gateway::stopGateway() {
  if (listener_) {
    auto old = std::move(listener_);
    listener_.reset();
    old->setStateHandler(nullptr);
    old->setNewConnectionHandler(nullptr);
    old->cancel();
  }
  readyPort_.reset();
  std::unordered_map<const Connection *, Pending> pending;
  std::unordered_map<std::string,
                     std::unordered_map<const Connection *, std::shared_ptr<Connection>>>
      connections;
  std::vector<Ending> relays;
  std::vector<std::shared_ptr<Connection>> controls;
  {
    std::lock_guard guard(lock_);
    for (auto &[serviceID, table] : streams_)
      for (auto &[identity, stream] : table)
        relays.push_back({stream.connection, stream.relay});
    pending = std::exchange(pending_, {});
    connections = std::exchange(connections_, {});
    for (auto &[identity, control] : controls_)
      controls.push_back(control.connection);
    pendingPerSource_.clear();
    controls_.clear();
    connecting_.clear();
    streams_.clear();
    lastHeard_.clear();
  }
  for (auto &[identity, entry] : pending)
    entry.connection->cancel();
  for (auto &end : relays)
    end();
  for (auto &connection : controls)
    connection->cancel();
  // Streams still being opened: a cut, like those relayed.
  for (auto &[peer, table] : connections)
    for (auto &[identity, connection] : table)
      connection->abort();
  publishSessions();
}

void Gateway::startGateway(ListenTry attempt) {
  stopGateway();
  std::vector<SecureChannel::PSK> keys;
  std::unordered_map<std::string, PairKeys> pairKeys;
  for (const auto &peer : peerStore_->peers()) {
    auto derived = PairKeys::deriveKeys(identity_, peer.publicKey);
    if (!derived)
      continue;
    keys.push_back(SecureChannel::PSK{peer.deviceID, derived->psk});
    pairKeys.insert_or_assign(peer.deviceID, std::move(*derived));
  }
  std::string deviceName;
  {
    std::lock_guard guard(lock_);
    pairKeys_ = std::move(pairKeys);
    revokedKeys_.clear();
    deviceName = deviceName_;
  }
  // The listener needs some key to start while no peer can connect.
  if (keys.empty())
    keys.push_back(SecureChannel::PSK{"none", randomBytes(32)});

  auto parameters = SecureChannel::secureParameters(
      keys, std::vector<std::uint16_t>(SecureChannel::cipherSuites.begin(),
                                       SecureChannel::cipherSuites.end()));

  auto created =
      Listener::create(std::move(parameters), listenPort(options_.preferredPort, attempt));
  if (!created) {
    Logger::net().error("Gateway could not start: " + created.error().localizedDescription());
    queue_->postAfter(options_.failureRetryDelay, [weak = weak_from_this()] {
      if (auto self = weak.lock(); self && self->running_ && !self->listener_)
        self->startGateway({});
    });
    return;
  }
  auto listener = std::move(*created);

  if (options_.advertise && dnsSd_)
    listener->setService(advertisedService(deviceName, gatewayServiceType, identity_.publicKey()),
                         dnsSd_);

  std::weak_ptr<Gateway> weak = weak_from_this();
  listener->setNewConnectionHandler([weak](std::shared_ptr<Connection> connection) {
    if (auto self = weak.lock())
      self->acceptConnection(connection);
    else
      connection->cancel();
  });
  // Each connection is accepted on the relay queue that becomes its home.
  listener->setAcceptQueues([weak] {
    auto self = weak.lock();
    return self ? self->relays_.next() : nullptr;
  });
  // Held weakly: an address can be reused by a later listener, a weak reference cannot.
  std::weak_ptr<Listener> identity = listener;
  listener->setStateHandler([weak, identity, attempt](const Listener::State &s) {
    if (auto self = weak.lock())
      self->listenerStateChanged(s, identity, attempt);
  });

  listener_ = listener;
  listener->start(queue_);
}

void Gateway::listenerStateChanged(const Listener::State &state,
                                   const std::weak_ptr<Listener> &listener, ListenTry attempt) {
  // A late report of a listener that has been replaced.
  if (!isCurrent(listener))
    return;
  switch (state.kind) {
  case Listener::State::Kind::ready:
    readyPort_ = listener_->port();
    if (readyPort_ && onReady_)
      onReady_(*readyPort_);
    return;
  case Listener::State::Kind::failed: {
    const NetworkError error = state.error.value_or(NetworkError{});
    if (auto retry = listenRetry(options_.preferredPort, attempt, error, options_.busyRetryDelay)) {
      listener_->cancel();
      if (retry->delay > 0) {
        queue_->postAfter(retry->delay, [weak = weak_from_this(), listener, next = retry->next] {
          if (auto self = weak.lock(); self && self->running_ && self->isCurrent(listener))
            self->startGateway(next);
        });
      } else {
        Logger::net().info("Gateway port " +
                           std::to_string(listenPort(options_.preferredPort, attempt).value_or(0)) +
                           " is taken; trying the next");
        if (running_)
          startGateway(retry->next);
      }
      return;
    }
    Logger::net().error("Gateway listener failed: " + error.localizedDescription());
    queue_->postAfter(options_.failureRetryDelay, [weak = weak_from_this(), listener] {
      if (auto self = weak.lock(); self && self->running_ && self->isCurrent(listener))
        self->startGateway({});
    });
    return;
  }
  default: return;
  }
}

bool Gateway::isCurrent(const std::weak_ptr<Listener> &listener) const {
  auto alive = listener.lock();
  return alive && alive == listener_;
}

// --- accepted connections ---

bool Gateway::admits(const std::string &source, std::shared_ptr<Connection> &evicted) {
  auto held = pendingPerSource_.find(source);
  const std::size_t mine = held == pendingPerSource_.end() ? 0 : held->second.size();
  if (mine >= options_.handshakeLimitPerSource)
    return false;
  if (pending_.size() < options_.handshakeLimit)
    return true;
  // Full: the address holding most gives up its oldest, if it holds more than this one. Among
  // equals, the one whose oldest is oldest.
  auto heaviest = pendingPerSource_.end();
  for (auto it = pendingPerSource_.begin(); it != pendingPerSource_.end(); ++it)
    if (heaviest == pendingPerSource_.end() || it->second.size() > heaviest->second.size() ||
        (it->second.size() == heaviest->second.size() &&
         it->second.begin()->first < heaviest->second.begin()->first))
      heaviest = it;
  if (heaviest == pendingPerSource_.end() || heaviest->second.size() <= mine)
    return false;
  const Connection *oldest = heaviest->second.begin()->second;
  evicted = pending_.at(oldest).connection;
  // Released now, so that the count is right at once; its cancellation finds nothing left.
  releaseHandshake(oldest);
  ++refusedSinceLog_;
  return true;
}

void Gateway::releaseHandshake(const Connection *connection) {
  auto entry = pending_.find(connection);
  if (entry == pending_.end())
    return;
  if (auto held = pendingPerSource_.find(entry->second.source); held != pendingPerSource_.end()) {
    held->second.erase(entry->second.order);
    if (held->second.empty())
      pendingPerSource_.erase(held);
  }
  pending_.erase(entry);
}

void Gateway::makeControlRoom(const std::string &peerID, std::shared_ptr<Connection> &displaced) {
  auto found = connections_.find(peerID);
  if (found == connections_.end())
    return;
  std::size_t controls = 0;
  const Control *oldest = nullptr;
  for (const auto &[identity, connection] : found->second)
    if (auto entry = controls_.find(identity); entry != controls_.end()) {
      ++controls;
      if (!oldest || entry->second.order < oldest->order)
        oldest = &entry->second;
    }
  if (controls < controlLimit || !oldest)
    return;
  displaced = oldest->connection;
  forgetConnection(displaced.get());
}

std::size_t Gateway::streamCount(const std::string &peerID, const Connection *except,
                                 bool answeredOnly) const {
  auto found = connections_.find(peerID);
  if (found == connections_.end())
    return 0;
  return static_cast<std::size_t>(
      std::count_if(found->second.begin(), found->second.end(), [&](const auto &entry) {
        return entry.first != except && !controls_.contains(entry.first) &&
               !(answeredOnly && connecting_.contains(entry.first));
      }));
}

std::vector<Gateway::Ended> Gateway::endedStreams(const std::string &peerID) const {
  using Clock = Bridge::State::Clock;
  std::vector<std::pair<Clock::time_point, Ended>> found;
  for (const auto &[serviceID, table] : streams_)
    for (const auto &[identity, stream] : table) {
      if (stream.peerID != peerID)
        continue;
      auto running = stream.relay.lock();
      if (!running || !running->isOpen())
        continue;
      // The relay's first side is the other machine, its second the service.
      const auto ended = running->endedSince(false);
      if (ended && running->receivingSince(true))
        found.push_back({*ended, Ended{identity, running}});
    }
  std::stable_sort(found.begin(), found.end(),
                   [](const auto &x, const auto &y) { return x.first < y.first; });
  std::vector<Ended> ordered;
  for (auto &[since, ended] : found)
    ordered.push_back(std::move(ended));
  return ordered;
}

void Gateway::makeRoom(std::string peerID, std::shared_ptr<Connection> peer,
                       std::vector<Ended> candidates, std::function<void(bool)> done) {
  bool below = false;
  {
    std::lock_guard guard(lock_);
    below = streamCount(peerID, peer.get(), true) < connectionLimit;
  }
  std::shared_ptr<Bridge::State> relay;
  while (!below && !relay && !candidates.empty()) {
    relay = candidates.front().relay.lock();
    if (!relay)
      candidates.erase(candidates.begin());
  }
  if (below || !relay) {
    done(below);
    return;
  }
  const Ended candidate = candidates.front();
  candidates.erase(candidates.begin());
  // Asked on the candidate's own queue, where its sockets are; answered back on this one.
  relay->whenTaken(false, [weak = weak_from_this(), home = peer->queue(), peerID, peer, candidate,
                           relay, candidates = std::move(candidates),
                           done = std::move(done)](bool taken) mutable {
    home->post([weak, peerID = std::move(peerID), peer = std::move(peer), candidate, relay, taken,
                candidates = std::move(candidates), done = std::move(done)]() mutable {
      auto self = weak.lock();
      if (!self) {
        done(false);
        return;
      }
      bool displaced = false;
      if (taken) {
        std::lock_guard guard(self->lock_);
        // Still that stream, and still needed.
        if (self->relayOf(candidate.identity).lock() == relay &&
            self->streamCount(peerID, peer.get(), true) >= connectionLimit) {
          self->forgetConnection(candidate.identity);
          displaced = true;
        }
      }
      if (displaced) {
        relay->tearDown();
        self->publishSessions();
      }
      self->makeRoom(std::move(peerID), std::move(peer), std::move(candidates), std::move(done));
    });
  });
}

std::weak_ptr<Bridge::State> Gateway::relayOf(const Connection *connection) const {
  for (const auto &[serviceID, table] : streams_)
    if (auto stream = table.find(connection); stream != table.end())
      return stream->second.relay;
  return {};
}

std::optional<std::string> Gateway::noteRefusedStream(const std::string &peerID) {
  auto &refusals = streamRefusals_[peerID];
  ++refusals.count;
  const auto now = std::chrono::steady_clock::now();
  if (!refusals.lastLog || now - *refusals.lastLog >= refusalLogInterval)
    return refusalLine(peerID, refusals);
  if (!std::exchange(refusals.due, true))
    queue_->postAfter(
        std::chrono::duration<double>(*refusals.lastLog + refusalLogInterval - now).count(),
        [weak = weak_from_this(), peerID] {
          auto self = weak.lock();
          if (!self)
            return;
          std::optional<std::string> line;
          {
            std::lock_guard guard(self->lock_);
            auto found = self->streamRefusals_.find(peerID);
            if (found != self->streamRefusals_.end() && found->second.due)
              line = self->refusalLine(peerID, found->second);
          }
          if (line)
            Logger::net().notice(*line);
        });
  return std::nullopt;
}

std::string Gateway::refusalLine(const std::string &peerID, Refusals &refusals) {
  std::string line = "Gateway refused " + std::to_string(refusals.count) + " stream(s) from " +
                     peerID + ": too many connections (" + std::to_string(connectionLimit) +
                     " open)";
  refusals = {0, std::chrono::steady_clock::now(), false};
  return line;
}

void Gateway::acceptConnection(const std::shared_ptr<Connection> &connection) {
  const auto remote = connection->remoteEndpoint();
  const auto *hostPort = remote ? remote->asHostPort() : nullptr;
  std::string source = hostPort ? hostPort->host.text() : std::string();
  std::shared_ptr<Connection> evicted;
  std::optional<std::string> refusal;
  bool admitted = false;
  {
    std::lock_guard guard(lock_);
    admitted = admits(source, evicted);
    if (admitted) {
      const std::uint64_t order = ++acceptedCount_;
      pendingPerSource_[source].emplace(order, connection.get());
      pending_.insert_or_assign(connection.get(), Pending{connection, source, order});
    } else {
      ++refusedSinceLog_;
      const auto now = std::chrono::steady_clock::now();
      if (!lastRefusalLog_ || now - *lastRefusalLog_ >= refusalLogInterval) {
        refusal = "Gateway closed " + std::to_string(refusedSinceLog_) +
                  " connection(s) for too many unfinished handshakes (" +
                  std::to_string(pending_.size()) + " in all; the latest from " +
                  (source.empty() ? std::string("an unknown address") : source) + ")";
        refusedSinceLog_ = 0;
        lastRefusalLog_ = now;
      }
    }
  }
  if (evicted)
    evicted->cancel();
  if (refusal)
    Logger::net().notice(*refusal);
  if (!admitted) {
    // Never started, so it holds nothing but its socket, which closes as the last reference
    // goes at the end of this call.
    return;
  }
  if (options_.onStep)
    options_.onStep(RoadStep::accepted);

  // Accepted on its home, where it stays from here to its close.
  auto home = SerialQueue::current();
  if (!home)
    home = queue_;
  auto handshake = std::make_shared<Handshake>();
  std::weak_ptr<Gateway> weak = weak_from_this();
  std::weak_ptr<Connection> weakConnection = connection;
  // Covers the TLS handshake, the challenge and the hello.
  handshake->deadline = home->postAfter(options_.helloDeadline, [weakConnection, handshake] {
    if (handshake->done)
      return;
    if (auto connection = weakConnection.lock())
      connection->cancel();
  });
  connection->setStateHandler([weak, weakConnection, handshake](const Connection::State &state) {
    auto self = weak.lock();
    auto connection = weakConnection.lock();
    if (self && connection)
      self->connectionStateChanged(state, connection, handshake);
  });
  connection->start(home);
}

void Gateway::connectionStateChanged(const Connection::State &state,
                                     const std::shared_ptr<Connection> &connection,
                                     const std::shared_ptr<Handshake> &handshake) {
  expectOnQueue(*connection->queue(), connectionQueueContract);
  switch (state.kind) {
  case Connection::State::Kind::ready: {
    if (options_.onStep)
      options_.onStep(RoadStep::secured);
    Bytes nonce = randomBytes(SecureChannel::challengeNonceLength);
    Frame challenge;
    challenge.kind = Frame::Kind::challenge;
    challenge.nonce = nonce;
    // A challenge cannot fail to encode; if it ever did, the deadline closes the connection.
    (void)sendFrame(connection, challenge);
    std::weak_ptr<Gateway> weak = weak_from_this();
    receiveFrame(
        connection,
        [weak, connection, nonce = std::move(nonce),
         handshake](std::expected<Frame, ChannelError> result) {
          if (auto self = weak.lock())
            self->handleHello(result, connection, nonce, handshake);
        },
        options_.frameDeadline);
    return;
  }
  case Connection::State::Kind::failed:
  case Connection::State::Kind::cancelled: {
    handshake->deadline.cancel();
    connectionEnded(connection.get());
    return;
  }
  default: return;
  }
}

void Gateway::handleHello(const std::expected<Frame, ChannelError> &result,
                          const std::shared_ptr<Connection> &connection, const Bytes &nonce,
                          const std::shared_ptr<Handshake> &handshake) {
  expectOnQueue(*connection->queue(), connectionQueueContract);
  if (!result || result->kind != Frame::Kind::hello || !result->deviceID || !result->mac) {
    connection->cancel();
    return;
  }
  const Frame &hello = *result;
  const std::string &peerID = *hello.deviceID;
  // What the hello earns, decided under the lock and carried out after it.
  enum class Verdict { close, unpaired, refuse, open, control };
  Verdict verdict = Verdict::close;
  std::string refusal;
  std::optional<SharedServiceInfo> service;
  Frame services;
  std::shared_ptr<Connection> displacedControl;
  bool needsRoom = false;
  std::optional<std::string> refusalLine;
  {
    std::lock_guard guard(lock_);
    // The connection was dropped by a restart while its hello was in flight.
    if (!pending_.contains(connection.get())) {
      verdict = Verdict::close;
    } else if (auto keys = pairKeys_.find(peerID);
               keys != pairKeys_.end() && verifyHello(*hello.mac, nonce, peerID, keys->second)) {
      releaseHandshake(connection.get());
      // Only a hello that would be granted may take another's place.
      const bool control = hello.mode == Frame::Mode::control;
      // A machine is heard from on its control links; a stream's hello is word from it too
      // once it has one.
      if (control || lastHeard_.contains(peerID))
        lastHeard_.insert_or_assign(peerID, std::chrono::steady_clock::now());
      const std::size_t held = control ? 0 : streamCount(peerID, nullptr);
      if (!hello.mode) {
        verdict = Verdict::refuse;
        refusal = "bad request";
      } else if (!control && (!hello.serviceID || !isAllowed(*hello.serviceID, peerID))) {
        verdict = Verdict::refuse;
        refusal = "not shared";
      } else if (!control && held >= connectionLimit &&
                 held >= connectionLimit + endedStreams(peerID).size()) {
        // Past the limit only as many may wait for room as there are streams that may give it.
        verdict = Verdict::refuse;
        refusal = "too many connections";
        refusalLine = noteRefusedStream(peerID);
      } else if (control) {
        makeControlRoom(peerID, displacedControl);
        verdict = Verdict::control;
        controls_.insert_or_assign(connection.get(), Control{connection, peerID, ++controlCount_});
        services = servicesFrame(peerID);
      } else {
        verdict = Verdict::open;
        needsRoom = held >= connectionLimit;
        if (needsRoom)
          connecting_.insert(connection.get());
        service = *std::find_if(services_.begin(), services_.end(),
                                [&](const auto &s) { return s.id == *hello.serviceID; });
      }
      // Held until it closes, so that a revoke or restart finds it; one refused for the limit
      // takes no place.
      if (refusal != "too many connections")
        connections_[peerID].insert_or_assign(connection.get(), connection);
    } else if (auto revoked = revokedKeys_.find(peerID);
               revoked != revokedKeys_.end() &&
               verifyHello(*hello.mac, nonce, peerID, revoked->second)) {
      releaseHandshake(connection.get());
      verdict = Verdict::unpaired;
    }
  }
  // Ended outside the lock, as its end reports back into the tables. Reset: what it still had
  // to send was for a link its machine has given up, and would be left to the system.
  if (displacedControl)
    displacedControl->abort();
  if (refusalLine)
    Logger::net().notice(*refusalLine);
  if (verdict == Verdict::close) {
    connection->cancel();
    return;
  }
  handshake->done = true;
  handshake->deadline.cancel();
  if (options_.onStep)
    options_.onStep(RoadStep::hello);
  switch (verdict) {
  case Verdict::close: return;
  case Verdict::unpaired: replyUnpaired(connection, hello); return;
  case Verdict::refuse: sendErrorAndClose(connection, refusal); return;
  case Verdict::open: openLocalStream(*service, connection, peerID, needsRoom); return;
  case Verdict::control:
    sendServices(connection, std::move(services));
    readControlFrame(connection);
    return;
  }
}

void Gateway::replyUnpaired(const std::shared_ptr<Connection> &connection, const Frame &hello) {
  if (hello.mode == Frame::Mode::control)
    sendAndClose(connection, bareFrame(Frame::Kind::unpaired));
  else
    sendErrorAndClose(connection, "unpaired");
}

Frame Gateway::servicesFrame(const std::string &peerID) const {
  Frame frame;
  frame.kind = Frame::Kind::services;
  frame.services.emplace();
  for (const auto &service : services_)
    if (isAllowed(service.id, peerID))
      frame.services->push_back(service);
  frame.name = deviceName_;
  return frame;
}

void Gateway::sendServices(const std::shared_ptr<Connection> &connection, Frame frame) {
  frame.hardware = options_.hardwareAddresses();
  if (auto sent = sendFrame(connection, frame); !sent)
    Logger::net().error("Services frame not sent: " + sent.error().description());
}

void Gateway::readControlFrame(const std::shared_ptr<Connection> &connection) {
  receiveFrame(
      connection,
      [weak = weak_from_this(), connection](std::expected<Frame, ChannelError> result) {
        if (auto self = weak.lock())
          self->controlFrameReceived(result, connection);
      },
      options_.frameDeadline);
}

void Gateway::controlFrameReceived(const std::expected<Frame, ChannelError> &result,
                                   const std::shared_ptr<Connection> &connection) {
  expectOnQueue(*connection->queue(), connectionQueueContract);
  if (!result || result->kind != Frame::Kind::ping) {
    connection->cancel();
    return;
  }
  {
    std::lock_guard guard(lock_);
    if (auto control = controls_.find(connection.get()); control != controls_.end())
      lastHeard_.insert_or_assign(control->second.peerID, std::chrono::steady_clock::now());
  }
  // The next frame is read once the pong is handed over, so a peer that pings without reading
  // cannot pile up unsent pongs here.
  auto sent = sendFrame(connection, bareFrame(Frame::Kind::pong),
                        [weak = weak_from_this(), connection](std::optional<ChannelError> error) {
                          auto self = weak.lock();
                          if (!self)
                            return;
                          if (error)
                            connection->cancel();
                          else
                            self->readControlFrame(connection);
                        });
  if (!sent)
    connection->cancel();
}

void Gateway::openLocalStream(const SharedServiceInfo &service,
                              const std::shared_ptr<Connection> &connection,
                              const std::string &peerID, bool needsRoom) {
  // Never clamped: a port out of range must not turn into some other port nobody shared.
  if (service.port < 1 || service.port > 65535) {
    sendErrorAndClose(connection, "bad port");
    return;
  }
  const auto port = static_cast<std::uint16_t>(service.port);
  std::weak_ptr<Gateway> weak = weak_from_this();
  connectLoopback(
      port, {Endpoint::Host::loopbackIPv4(), Endpoint::Host::loopbackIPv6()}, connection->queue(),
      [weak, connection, service, peerID, needsRoom](std::shared_ptr<Connection> local) {
        auto self = weak.lock();
        if (!self) {
          if (local)
            local->cancel();
          return;
        }
        self->streamConnected(local, connection, service, peerID, needsRoom);
      });
}

void Gateway::connectLoopback(std::uint16_t port, std::vector<Endpoint::Host> hosts,
                              std::shared_ptr<SerialQueue> home,
                              std::function<void(std::shared_ptr<Connection>)> completion) {
  if (hosts.empty() || !home) {
    completion(nullptr);
    return;
  }
  auto host = hosts.front();
  hosts.erase(hosts.begin());
  auto connection = Connection::create(Endpoint::hostPort(host, port), Parameters::tcp());
  auto done = std::make_shared<bool>(false);
  // The handler owns the connection until it settles; clearing the handler then breaks the
  // cycle.
  connection->setStateHandler([weak = weak_from_this(), connection, done, port, home,
                               hosts = std::move(hosts),
                               completion = std::move(completion)](const Connection::State &state) {
    if (*done)
      return;
    const bool ready = state.kind == Connection::State::Kind::ready;
    const bool failed = state.kind == Connection::State::Kind::waiting ||
                        state.kind == Connection::State::Kind::failed ||
                        state.kind == Connection::State::Kind::cancelled;
    if (!ready && !failed)
      return;
    *done = true;
    // Clearing the handler destroys this closure, so what it holds is moved out first.
    auto settled = connection;
    auto self = weak.lock();
    auto remaining = std::move(hosts);
    auto finish = std::move(completion);
    auto queue = home;
    const std::uint16_t settledPort = port;
    settled->setStateHandler(nullptr);
    if (ready) {
      finish(settled);
      return;
    }
    // Waiting counts as failed: the next host is tried at once.
    settled->cancel();
    if (self)
      self->connectLoopback(settledPort, std::move(remaining), std::move(queue), std::move(finish));
    else
      finish(nullptr);
  });
  // On the peer connection's queue, so that the relay needs no hand-over.
  connection->start(home);
}

void Gateway::streamConnected(const std::shared_ptr<Connection> &local,
                              const std::shared_ptr<Connection> &peer,
                              const SharedServiceInfo &service, const std::string &peerID,
                              bool needsRoom) {
  {
    std::lock_guard guard(lock_);
    connecting_.erase(peer.get());
  }
  if (!local) {
    sendErrorAndClose(peer, "not running");
    return;
  }
  if (!needsRoom) {
    grantStream(local, peer, service, peerID);
    return;
  }
  // Only now, with the service answering, may a finished stream give up its place: a stream
  // refused "not running" costs nobody theirs.
  std::vector<Ended> candidates;
  {
    std::lock_guard guard(lock_);
    candidates = endedStreams(peerID);
  }
  makeRoom(peerID, peer, std::move(candidates),
           [weak = weak_from_this(), local, peer, service, peerID](bool room) {
             auto self = weak.lock();
             if (self && room) {
               self->grantStream(local, peer, service, peerID);
               return;
             }
             std::optional<std::string> refusalLine;
             if (self) {
               std::lock_guard guard(self->lock_);
               self->forgetConnection(peer.get());
               refusalLine = self->noteRefusedStream(peerID);
             }
             if (refusalLine)
               Logger::net().notice(*refusalLine);
             local->cancel();
             if (self)
               self->sendErrorAndClose(peer, "too many connections");
             else
               peer->cancel();
           });
}

void Gateway::grantStream(const std::shared_ptr<Connection> &local,
                          const std::shared_ptr<Connection> &peer, const SharedServiceInfo &service,
                          const std::string &peerID) {
  // The pending finish keeps the gateway alive until it has run; it runs on the connections'
  // own queue, where the send completes.
  auto self = shared_from_this();
  auto sent = sendFrame(peer, resultFrame(true),
                        [self, service, peerID, local, peer](std::optional<ChannelError> error) {
                          self->finishStream(error.has_value(), service, peerID, local, peer);
                        });
  if (!sent)
    finishStream(true, service, peerID, local, peer);
}

void Gateway::finishStream(bool failed, const SharedServiceInfo &service, const std::string &peerID,
                           const std::shared_ptr<Connection> &local,
                           const std::shared_ptr<Connection> &peer) {
  bool granted = false;
  {
    std::lock_guard guard(lock_);
    // A restart or revoke while the result was in flight leaves the peer unregistered.
    auto registered = connections_.find(peerID);
    const bool stillRegistered =
        registered != connections_.end() && registered->second.contains(peer.get());
    granted = !failed && stillRegistered && isAllowed(service.id, peerID);
    if (granted)
      streams_[service.id].insert_or_assign(peer.get(),
                                            Stream{peer, peerID, referenceDateNow(), {}});
  }
  // The other machine has been told yes: ending it now is a cut.
  if (!granted) {
    peer->abort();
    local->abort();
    return;
  }
  publishSessions();
  queue_->post([weak = weak_from_this(), peerID, serviceID = service.id] {
    if (auto self = weak.lock(); self && self->onAccepted_)
      self->onAccepted_(peerID, serviceID);
  });
  if (options_.onStep)
    options_.onStep(RoadStep::verdict);
  // From here on the relay alone watches both sides, on their common queue: its end is
  // reported back by the closure below.
  peer->setStateHandler(nullptr);
  // The closure keeps the peer connection alive until it is forgotten, so its address cannot
  // meanwhile be reused by a newer connection.
  auto relay = Bridge::runBridge(peer, local, [weak = weak_from_this(), peer] {
    if (auto self = weak.lock())
      self->connectionEnded(peer.get());
  });
  std::lock_guard guard(lock_);
  if (auto table = streams_.find(service.id); table != streams_.end())
    if (auto stream = table->second.find(peer.get()); stream != table->second.end())
      stream->second.relay = relay;
}

void Gateway::connectionEnded(const Connection *connection) {
  bool removedStream = false;
  {
    std::lock_guard guard(lock_);
    releaseHandshake(connection);
    removedStream = forgetConnection(connection);
  }
  if (removedStream)
    publishSessions();
}

void Gateway::sendErrorAndClose(const std::shared_ptr<Connection> &connection,
                                const std::string &text) {
  sendAndClose(connection, resultFrame(false, text));
}

void Gateway::sendAndClose(const std::shared_ptr<Connection> &connection, const Frame &frame) {
  auto sent = sendFrame(connection, frame,
                        [connection](std::optional<ChannelError>) { connection->cancel(); });
  if (!sent)
    connection->cancel();
}

bool Gateway::forgetConnection(const Connection *connection) {
  controls_.erase(connection);
  connecting_.erase(connection);
  for (auto &[peer, table] : connections_)
    table.erase(connection);
  bool removedStream = false;
  for (auto it = streams_.begin(); it != streams_.end();) {
    removedStream = it->second.erase(connection) > 0 || removedStream;
    if (it->second.empty())
      it = streams_.erase(it);
    else
      ++it;
  }
  return removedStream;
}

bool Gateway::isAllowed(const std::string &serviceID, const std::string &peerID) const {
  const bool shared = std::any_of(services_.begin(), services_.end(),
                                  [&](const auto &service) { return service.id == serviceID; });
  if (!shared)
    return false;
  auto entry = access_.find(serviceID);
  return entry == access_.end() || entry->second.contains(peerID);
}

void Gateway::publishSessions() {
  {
    std::lock_guard guard(lock_);
    if (std::exchange(sessionsPending_, true))
      return;
  }
  queue_->post([weak = weak_from_this()] {
    if (auto self = weak.lock())
      self->deliverSessions();
  });
}

void Gateway::deliverSessions() {
  std::vector<Session> sessions;
  {
    std::lock_guard guard(lock_);
    sessionsPending_ = false;
    for (const auto &[serviceID, table] : streams_) {
      auto part = sessionsFromStreams(table, serviceID);
      sessions.insert(sessions.end(), part.begin(), part.end());
    }
  }
  std::stable_sort(sessions.begin(), sessions.end(),
                   [](const Session &a, const Session &b) { return a.since < b.since; });
  if (onSessions_)
    onSessions_(std::move(sessions));
}

} // namespace corvane

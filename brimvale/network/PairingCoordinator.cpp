#include "brimvale/network/PairingCoordinator.h"

#include "brimvale/foundation/DisplayText.h"
#include "brimvale/network/Addresses.h"
#include "brimvale/network/ListenPorts.h"
#include "brimvale/network/PairingProtocol.h"
#include "brimvale/platform/Clock.h"
#include "brimvale/platform/Crypto.h"
#include "brimvale/platform/DnsSd.h"
#include "brimvale/platform/Logger.h"
#include "brimvale/platform/QueueContract.h"
#include "brimvale/platform/SerialQueue.h"
#include "brimvale/platform/Unicode.h"

#include <algorithm>
#include <cerrno>
#include <set>
#include <utility>

namespace corvane {

namespace {

constexpr const char *mainQueueContract = "PairingCoordinator: every operation on the main queue";

// A longer name would make every reveal of ours invalid to the other side.
std::string revealableName(std::string name) {
  return characterCount(name) > PairingProtocol::maxNameLength
             ? characterPrefix(name, PairingProtocol::maxNameLength)
             : std::move(name);
}

// As discovery cuts advertised names.
constexpr int candidateNameLength = 64;

bool isOpenForCalls(const PairingCoordinator::State &state) {
  using Kind = PairingCoordinator::State::Kind;
  return state.kind == Kind::failed || state.kind == Kind::idle || state.kind == Kind::searching;
}

// The IPv4 address an IPv4-mapped IPv6 one stands for.
std::optional<Endpoint::Host> mappedIPv4(const Endpoint::Host &host) {
  const auto &bytes = host.address;
  if (host.kind != Endpoint::Host::Kind::ipv6 ||
      !std::all_of(bytes.begin(), bytes.begin() + 10, [](std::uint8_t b) { return b == 0; }) ||
      bytes[10] != 0xFF || bytes[11] != 0xFF)
    return std::nullopt;
  return Endpoint::Host::ipv4({bytes[12], bytes[13], bytes[14], bytes[15]});
}

} // namespace

std::string PairingCoordinator::couldNotReachText(const std::string &name) {
  return "Could not reach " + name + ". Make sure its pairing window is open.";
}

std::shared_ptr<PairingCoordinator>
PairingCoordinator::create(DeviceIdentity identity, std::shared_ptr<PairedPeerStore> peerStore,
                           std::string deviceName, std::shared_ptr<DnsSd> dnsSd,
                           std::shared_ptr<MainQueue> mainQueue) {
  return create(std::move(identity), std::move(peerStore), std::move(deviceName), std::move(dnsSd),
                std::move(mainQueue), Options{});
}

std::shared_ptr<PairingCoordinator>
PairingCoordinator::create(DeviceIdentity identity, std::shared_ptr<PairedPeerStore> peerStore,
                           std::string deviceName, std::shared_ptr<DnsSd> dnsSd,
                           std::shared_ptr<MainQueue> mainQueue, Options options) {
  auto coordinator = std::shared_ptr<PairingCoordinator>(
      new PairingCoordinator(std::move(identity), std::move(peerStore), std::move(deviceName),
                             std::move(dnsSd), mainQueue, std::move(options)));
  // Installed once, before discovery ever starts, so that its queue never sees it change.
  coordinator->discovery_->onChange = [weak = coordinator->weak_from_this(),
                                       mainQueue](std::vector<NearbyDevice> devices) {
    mainQueue->post([weak, devices = std::move(devices)]() mutable {
      if (auto self = weak.lock())
        self->updateCandidates(std::move(devices));
    });
  };
  return coordinator;
}

PairingCoordinator::PairingCoordinator(DeviceIdentity identity,
                                       std::shared_ptr<PairedPeerStore> peerStore,
                                       std::string deviceName, std::shared_ptr<DnsSd> dnsSd,
                                       std::shared_ptr<MainQueue> mainQueue, Options options)
    : identity_(std::move(identity)), peerStore_(std::move(peerStore)), dnsSd_(std::move(dnsSd)),
      mainQueue_(std::move(mainQueue)), options_(std::move(options)),
      queue_(options_.queue ? options_.queue : SerialQueue::create("corvane.pairing")),
      discovery_(Discovery::create(serviceType, dnsSd_)) {
  deviceName_ = revealableName(std::move(deviceName));
  if (!options_.isLocalCaller)
    options_.isLocalCaller = [](const Endpoint::Host &host) {
      return LocalAddresses::isLocalHost(host, LocalAddresses::localSubnets());
    };
}

PairingCoordinator::~PairingCoordinator() {
  expiry_.cancel();
  callerDeadline_.cancel();
  dropCallers();
  if (listener_) {
    listener_->setStateHandler(nullptr);
    listener_->setNewConnectionHandler(nullptr);
    listener_->cancel();
  }
  if (connection_) {
    connection_->setStateHandler(nullptr);
    connection_->cancel();
  }
  // Once these return no socket or discovery event of ours is still on its way to the main
  // queue, which the owner may take down right after us.
  discovery_->queue()->sync([discovery = discovery_] {
    discovery->onChange = nullptr;
    discovery->stop();
  });
  queue_->sync([] {});
}

// --- published state ---

void PairingCoordinator::publish() {
  if (onChange)
    onChange();
}

void PairingCoordinator::setState(State state) {
  state_ = std::move(state);
  publish();
}

void PairingCoordinator::setDeviceName(std::string name) {
  expectOnQueue(*mainQueue_, mainQueueContract);
  deviceName_ = revealableName(std::move(name));
}

void PairingCoordinator::updateCandidates(std::vector<NearbyDevice> devices) {
  std::set<std::string> paired;
  for (const auto &peer : peerStore_->peers())
    paired.insert(peer.deviceID);
  const std::string self = fingerprint(identity_.publicKey());
  std::vector<NearbyDevice> kept;
  for (auto &device : devices) {
    if (device.deviceID == self || paired.contains(device.deviceID))
      continue;
    // Advertised names come from other machines; the endpoint keeps the raw one to resolve.
    device.name = cleanDisplayText(device.name, candidateNameLength);
    kept.push_back(std::move(device));
  }
  candidates_ = std::move(kept);
  publish();
}

// --- pairing run ---

void PairingCoordinator::startPairing() {
  expectOnQueue(*mainQueue_, mainQueueContract);
  stopPairing();
  attempts_ = 0;
  setState(State::searching());
  discovery_->start();
  startListener({});
  expiry_ = mainQueue_->postAfter(options_.expiryDelay, [weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self || self->state_.kind == State::Kind::success)
      return;
    self->stopPairing();
    self->setState(State::failed(timedOutText));
  });
}

void PairingCoordinator::stopPairing() {
  expectOnQueue(*mainQueue_, mainQueueContract);
  expiry_.cancel();
  expiry_ = WorkItem();
  if (listener_) {
    auto old = std::move(listener_);
    listener_.reset();
    old->setStateHandler(nullptr);
    old->setNewConnectionHandler(nullptr);
    old->cancel();
  }
  port_.reset();
  discovery_->stop();
  candidates_.clear();
  dropCallers();
  endAttempt();
  if (state_.kind != State::Kind::success)
    state_ = State::idle();
  publish();
}

void PairingCoordinator::endAttempt() {
  if (connection_) {
    auto old = std::move(connection_);
    connection_.reset();
    old->setStateHandler(nullptr);
    old->cancel();
  }
  callerDeadline_.cancel();
  callerDeadline_ = WorkItem();
  pendingPeer_.reset();
  pendingHost_.reset();
  localConfirmed_ = false;
  remoteConfirmed_ = false;
  nonce_.clear();
}

void PairingCoordinator::connectionLost() {
  if (state_.kind == State::Kind::success)
    return;
  failAttempt(connectionLostText);
}

void PairingCoordinator::failAttempt(const std::string &text) {
  endAttempt();
  setState(State::failed(text));
}

bool PairingCoordinator::isCurrent(const std::weak_ptr<Connection> &connection) const {
  auto alive = connection.lock();
  return alive && alive == connection_;
}

bool PairingCoordinator::isCurrent(const std::weak_ptr<Listener> &listener) const {
  auto alive = listener.lock();
  return alive && alive == listener_;
}

bool PairingCoordinator::countAttempt() {
  attempts_ += 1;
  if (attempts_ <= attemptLimit)
    return true;
  stopPairing();
  setState(State::failed(tooManyAttemptsText));
  return false;
}

// --- listener ---

void PairingCoordinator::startListener(ListenTry attempt) {
  Parameters parameters = Parameters::tcp();
  parameters.includePeerToPeer = true;
  auto created = Listener::create(parameters, listenPort(options_.preferredPort, attempt));
  if (!created) {
    setState(State::failed(couldNotStartText));
    return;
  }
  auto listener = std::move(*created);

  if (dnsSd_)
    listener->setService(advertisedService(deviceName_, serviceType, identity_.publicKey()),
                         dnsSd_);

  std::weak_ptr<PairingCoordinator> weak = weak_from_this();
  auto mainQueue = mainQueue_;
  std::weak_ptr<Listener> identity = listener;
  listener->setNewConnectionHandler(
      [weak, mainQueue, identity](std::shared_ptr<Connection> connection) {
        mainQueue->post([weak, identity, connection] {
          auto self = weak.lock();
          if (!self || !self->isCurrent(identity)) {
            connection->cancel();
            return;
          }
          self->handleIncomingCall(connection);
        });
      });
  listener->setStateHandler([weak, mainQueue, identity, attempt](const Listener::State &state) {
    mainQueue->post([weak, identity, attempt, state] {
      if (auto self = weak.lock())
        self->listenerStateChanged(state, identity, attempt);
    });
  });

  // Replacing a listener that waits for a busy-port retry.
  if (listener_) {
    listener_->setStateHandler(nullptr);
    listener_->setNewConnectionHandler(nullptr);
    listener_->cancel();
  }
  listener_ = listener;
  listener->start(queue_);
}

void PairingCoordinator::listenerStateChanged(const Listener::State &state,
                                              const std::weak_ptr<Listener> &listener,
                                              ListenTry attempt) {
  if (!isCurrent(listener))
    return;
  switch (state.kind) {
  case Listener::State::Kind::ready:
    port_ = listener_->port();
    publish();
    return;
  case Listener::State::Kind::failed: {
    auto retry = listenRetry(options_.preferredPort, attempt, state.error.value_or(NetworkError{}),
                             options_.busyRetryDelay);
    if (!retry) {
      port_.reset();
      publish();
      return;
    }
    listener_->cancel();
    if (retry->delay > 0) {
      mainQueue_->postAfter(retry->delay, [weak = weak_from_this(), listener, next = retry->next] {
        if (auto self = weak.lock(); self && self->isCurrent(listener))
          self->startListener(next);
      });
    } else {
      startListener(retry->next);
    }
    return;
  }
  default: return;
  }
}

// --- calls ---

std::optional<std::string> PairingCoordinator::peerAddressText(const Endpoint &endpoint) {
  if (const auto *hostPort = endpoint.asHostPort())
    return hostPort->host.text();
  return std::nullopt;
}

std::string PairingCoordinator::callerSource(const Endpoint::Host &host) {
  if (auto ipv4 = mappedIPv4(host))
    return ipv4->text();
  return host.text();
}

std::string PairingCoordinator::callerNetwork(const Endpoint::Host &host) {
  if (host.kind != Endpoint::Host::Kind::ipv6 || mappedIPv4(host))
    return callerSource(host);
  // The zone keeps the link-local prefixes of two links apart.
  std::array<std::uint8_t, 16> prefix{};
  std::copy(host.address.begin(), host.address.begin() + 8, prefix.begin());
  return Endpoint::Host::ipv6(prefix, host.scopeID).text() + "/64";
}

void PairingCoordinator::handleIncomingCall(const std::shared_ptr<Connection> &connection) {
  const auto remote = connection->remoteEndpoint();
  const auto *hostPort = remote ? remote->asHostPort() : nullptr;
  if (!hostPort || !options_.isLocalCaller(hostPort->host)) {
    Logger::pairing().info("Refused a pairing call from outside the local network");
    connection->cancel();
    return;
  }
  if (!listener_) {
    connection->cancel();
    return;
  }
  // Served beside the others until its commit arrives; nothing the user sees changes before.
  const std::string address = callerSource(hostPort->host);
  const std::string network = callerNetwork(hostPort->host);
  makeRoomForCaller(address);
  const std::uint64_t caller = ++callersAccepted_;
  std::weak_ptr<PairingCoordinator> weak = weak_from_this();
  auto mainQueue = mainQueue_;
  auto deadline = mainQueue_->postAfter(options_.callerDeadline, [weak, caller] {
    if (auto self = weak.lock())
      self->dropCaller(caller, "no commit in time");
  });
  callers_.emplace(caller, Caller{connection, deadline, address, network});
  connection->setStateHandler([weak, mainQueue, caller](const Connection::State &state) {
    mainQueue->post([weak, caller, kind = state.kind] {
      if (auto self = weak.lock())
        self->callerStateChanged(caller, kind);
    });
  });
  connection->start(queue_);
}

void PairingCoordinator::callerStateChanged(std::uint64_t caller, Connection::State::Kind kind) {
  auto entry = callers_.find(caller);
  if (entry == callers_.end())
    return;
  if (kind == Connection::State::Kind::failed || kind == Connection::State::Kind::cancelled) {
    dropCaller(caller, "connection lost");
    return;
  }
  if (kind != Connection::State::Kind::ready)
    return;
  receiveFrame(entry->second.connection, [weak = weak_from_this(), mainQueue = mainQueue_,
                                          caller](std::expected<Frame, ChannelError> result) {
    mainQueue->post([weak, caller, result = std::move(result)] {
      if (auto self = weak.lock())
        self->callerCommitArrived(caller, result);
    });
  });
}

void PairingCoordinator::callerCommitArrived(std::uint64_t caller,
                                             const std::expected<Frame, ChannelError> &result) {
  auto entry = callers_.find(caller);
  if (entry == callers_.end())
    return;
  auto commit = PairingProtocol::responderReadsCommit(result);
  if (!commit) {
    dropCaller(caller, "nothing valid sent");
    return;
  }
  // Another attempt is under way: closed unseen.
  if (!isOpenForCalls(state_) || !listener_) {
    dropCaller(caller, "another attempt under way");
    return;
  }
  auto connection = std::move(entry->second.connection);
  entry->second.deadline.cancel();
  callers_.erase(entry);
  // A valid commit: an attempt at the code. Past the limit the run ends here, before our
  // reveal gives anything away.
  if (!countAttempt()) {
    connection->setStateHandler(nullptr);
    connection->cancel();
    return;
  }

  connection_ = connection;
  const auto remote = connection->remoteEndpoint();
  pendingHost_ = remote ? peerAddressText(*remote) : std::nullopt;
  nonce_ = randomBytes(PairingProtocol::nonceLength);
  std::weak_ptr<PairingCoordinator> weak = weak_from_this();
  auto mainQueue = mainQueue_;
  std::weak_ptr<Connection> identity = connection;
  connection->setStateHandler([weak, mainQueue, identity](const Connection::State &state) {
    if (state.kind != Connection::State::Kind::failed)
      return;
    mainQueue->post([weak, identity] {
      if (auto self = weak.lock(); self && self->isCurrent(identity))
        self->connectionLost();
    });
  });
  // A caller that stalls before its reveal is ended as if its reveal had failed to arrive.
  callerDeadline_ = mainQueue_->postAfter(options_.callerDeadline, [weak, identity] {
    auto self = weak.lock();
    if (self && self->isCurrent(identity) && !self->pendingPeer_)
      self->failAttempt(PairingProtocol::unverifiedText);
  });
  setState(State::connecting(PairingProtocol::unknownPeerName));
  runResponder(connection, *commit);
}

void PairingCoordinator::makeRoomForCaller(const std::string &address) {
  // Callers are kept by order of arrival: the first of an address is its oldest.
  struct Waiting {
    std::size_t count = 0;
    std::uint64_t oldest = 0;
  };
  std::map<std::string, Waiting> byAddress, byNetwork;
  std::map<std::string, std::string> networkOf;
  for (const auto &[caller, entry] : callers_) {
    networkOf[entry.address] = entry.network;
    for (auto *waiting : {&byAddress[entry.address], &byNetwork[entry.network]})
      if (waiting->count++ == 0)
        waiting->oldest = caller;
  }
  if (auto own = byAddress.find(address);
      own != byAddress.end() && own->second.count >= callersPerAddress) {
    dropCaller(own->second.oldest, "too many callers from one address");
    return;
  }
  if (callers_.size() < callerLimit)
    return;
  // The busiest address of the busiest network; among equals the one waiting longest.
  const auto lessBusy = [](const auto &a, const auto &b) {
    return a.second.count != b.second.count ? a.second.count < b.second.count
                                            : a.second.oldest > b.second.oldest;
  };
  const auto network = std::max_element(byNetwork.begin(), byNetwork.end(), lessBusy)->first;
  std::erase_if(byAddress, [&](const auto &entry) { return networkOf[entry.first] != network; });
  dropCaller(std::max_element(byAddress.begin(), byAddress.end(), lessBusy)->second.oldest,
             "too many callers at once");
}

void PairingCoordinator::dropCaller(std::uint64_t caller, const char *reason) {
  auto entry = callers_.find(caller);
  if (entry == callers_.end())
    return;
  auto connection = std::move(entry->second.connection);
  entry->second.deadline.cancel();
  callers_.erase(entry);
  Logger::pairing().info(std::string("Closed a pairing call: ") + reason);
  connection->setStateHandler(nullptr);
  connection->cancel();
}

void PairingCoordinator::dropCallers() {
  auto callers = std::move(callers_);
  callers_.clear();
  for (auto &[caller, entry] : callers) {
    entry.deadline.cancel();
    entry.connection->setStateHandler(nullptr);
    entry.connection->cancel();
  }
}

void PairingCoordinator::pairWith(Endpoint endpoint, std::string name,
                                  std::optional<std::string> host) {
  expectOnQueue(*mainQueue_, mainQueueContract);
  if (!isOpenForCalls(state_) || !listener_)
    return;
  setState(State::connecting(name));

  Parameters parameters = Parameters::tcp();
  parameters.connectionTimeout = connectionTimeout;
  parameters.includePeerToPeer = true;
  auto connection = Connection::create(std::move(endpoint), parameters);
  connection_ = connection;
  pendingHost_ = std::move(host);
  nonce_ = randomBytes(PairingProtocol::nonceLength);

  std::weak_ptr<PairingCoordinator> weak = weak_from_this();
  auto mainQueue = mainQueue_;
  std::weak_ptr<Connection> identity = connection;
  connection->setStateHandler(
      [weak, mainQueue, identity, name = std::move(name)](const Connection::State &state) {
        mainQueue->post([weak, mainQueue, identity, name, kind = state.kind] {
          auto self = weak.lock();
          if (!self || !self->isCurrent(identity))
            return;
          if (kind == Connection::State::Kind::waiting || kind == Connection::State::Kind::failed) {
            self->failAttempt(couldNotReachText(name));
          } else if (kind == Connection::State::Kind::ready) {
            // Our commit goes out now: this is an attempt at the code.
            if (!self->countAttempt())
              return;
            // From now on only a failure matters: the peer is reached.
            self->connection_->setStateHandler(
                [weak, mainQueue, identity](const Connection::State &later) {
                  if (later.kind != Connection::State::Kind::failed)
                    return;
                  mainQueue->post([weak, identity] {
                    if (auto self = weak.lock(); self && self->isCurrent(identity))
                      self->connectionLost();
                  });
                });
            self->runInitiator(self->connection_);
          }
        });
      });
  connection->start(queue_);
}

// --- the exchange ---

void PairingCoordinator::receive(const std::shared_ptr<Connection> &connection,
                                 std::function<void(std::expected<Frame, ChannelError>)> next) {
  receiveFrame(connection, [weak = weak_from_this(), mainQueue = mainQueue_,
                            identity = std::weak_ptr<Connection>(connection),
                            next = std::move(next)](std::expected<Frame, ChannelError> result) {
    mainQueue->post([weak, identity, next, result = std::move(result)] {
      auto self = weak.lock();
      if (self && self->isCurrent(identity))
        next(result);
    });
  });
}

void PairingCoordinator::runInitiator(const std::shared_ptr<Connection> &connection) {
  const Bytes ownKey = identity_.publicKey();
  const Bytes nonce = nonce_;
  // The name committed to is ours now, not the one we found the other side under.
  (void)sendFrame(connection, PairingProtocol::commitFrame(
                                  PairingProtocol::commitDigest(ownKey, nonce, deviceName_)));
  receive(connection, [this, connection, ownKey, nonce](auto result) {
    auto reveal = PairingProtocol::initiatorReadsReveal(result, ownKey);
    if (!reveal) {
      failAttempt(reveal.error());
      return;
    }
    (void)sendFrame(connection, PairingProtocol::revealFrame({ownKey, nonce, deviceName_}));
    auto code = PairingProtocol::shortAuthCode(ownKey, reveal->publicKey, nonce, reveal->nonce);
    enterCompare(connection, code, PairingProtocol::pendingPeer(*reveal, referenceDateNow()));
  });
}

void PairingCoordinator::runResponder(const std::shared_ptr<Connection> &connection,
                                      const Bytes &commit) {
  const Bytes ownKey = identity_.publicKey();
  const Bytes nonce = nonce_;
  (void)sendFrame(connection, PairingProtocol::revealFrame({ownKey, nonce, deviceName_}));
  receive(connection, [this, connection, ownKey, nonce, commit](auto result) {
    auto reveal = PairingProtocol::responderReadsReveal(result, commit, ownKey);
    if (!reveal) {
      failAttempt(reveal.error());
      return;
    }
    auto code = PairingProtocol::shortAuthCode(reveal->publicKey, ownKey, reveal->nonce, nonce);
    enterCompare(connection, code, PairingProtocol::pendingPeer(*reveal, referenceDateNow()));
  });
}

void PairingCoordinator::enterCompare(const std::shared_ptr<Connection> &connection,
                                      const std::string &code, const PairedPeer &peer) {
  // What is left is the users' to do; the 120 s of the run bound it.
  callerDeadline_.cancel();
  pendingPeer_ = peer;
  // The last frame of the exchange; nothing is read after it.
  receive(connection, [this](auto result) {
    if (PairingProtocol::confirmationReceived(result)) {
      remoteConfirmed_ = true;
      finishIfConfirmed();
    } else if (state_.kind != State::Kind::success) {
      failAttempt(PairingProtocol::cancelledText);
    }
  });
  setState(State::compare(code, peer.name));
}

void PairingCoordinator::confirm() {
  expectOnQueue(*mainQueue_, mainQueueContract);
  if (state_.kind != State::Kind::compare || !connection_)
    return;
  localConfirmed_ = true;
  (void)sendFrame(connection_, PairingProtocol::confirmFrame(true));
  setState(State::waitingForPeer(state_.code, state_.name));
  finishIfConfirmed();
}

void PairingCoordinator::cancel() {
  expectOnQueue(*mainQueue_, mainQueueContract);
  if (auto connection = std::move(connection_)) {
    connection_.reset();
    connection->setStateHandler(nullptr);
    // Closed once the refusal is out, so that the other side reads it rather than a reset;
    // and in any case soon.
    auto sent = sendFrame(connection, PairingProtocol::confirmFrame(false),
                          [connection](auto) { connection->cancel(); });
    if (!sent)
      connection->cancel();
    mainQueue_->postAfter(closeDelay, [connection] { connection->cancel(); });
  }
  endAttempt();
  setState(listener_ ? State::searching() : State::idle());
}

void PairingCoordinator::finishIfConfirmed() {
  if (!localConfirmed_ || !remoteConfirmed_ || !pendingPeer_)
    return;
  PairedPeer peer = *pendingPeer_;
  peerStore_->add(peer);
  Logger::pairing().info("Paired with " + peer.deviceID);

  if (auto connection = std::move(connection_)) {
    connection_.reset();
    connection->setStateHandler(nullptr);
    mainQueue_->postAfter(closeDelay, [connection] { connection->cancel(); });
  }
  auto host = std::move(pendingHost_);
  pendingPeer_.reset();
  pendingHost_.reset();
  localConfirmed_ = false;
  remoteConfirmed_ = false;
  nonce_.clear();
  setState(State::success(peer.name));
  if (onPaired)
    onPaired(peer.deviceID, host);
}

} // namespace corvane

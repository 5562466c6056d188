#include "brimvale/network/PeerLink.h"

#include "brimvale/platform/Clock.h"
#include "brimvale/platform/Connection.h"
#include "brimvale/platform/Logger.h"
#include "brimvale/platform/QueueContract.h"
#include "brimvale/platform/SerialQueue.h"

#include <algorithm>
#include <utility>

namespace corvane {

namespace {

constexpr const char *linkQueueContract = "PeerLink: every operation on the link queue";

// Why a failed read means the peer sent what this machine refuses; nothing for other failures.
std::optional<std::string> refusalOf(const ChannelError &error) {
  const auto *wire = std::get_if<WireError>(&error);
  if (wire && *wire == WireError::emptyFrame())
    return "it sent an empty frame";
  if (wire && wire->kind == WireError::Kind::frameTooLarge)
    return "its share list is larger than " + std::to_string(maxFrameLength) + " bytes";
  if (wire && wire->kind == WireError::Kind::malformed)
    return "it sent a frame this machine cannot read";
  return std::nullopt;
}

} // namespace

std::shared_ptr<PeerLink> PeerLink::create(PairedPeer peer, Endpoint endpoint, PairKeys keys,
                                           std::string myDeviceID,
                                           std::shared_ptr<SerialQueue> queue) {
  return create(std::move(peer), std::move(endpoint), std::move(keys), std::move(myDeviceID),
                std::move(queue), Options{});
}

std::shared_ptr<PeerLink> PeerLink::create(PairedPeer peer, Endpoint endpoint, PairKeys keys,
                                           std::string myDeviceID,
                                           std::shared_ptr<SerialQueue> queue, Options options) {
  return std::shared_ptr<PeerLink>(new PeerLink(std::move(peer), std::move(endpoint),
                                                std::move(keys), std::move(myDeviceID),
                                                std::move(queue), options));
}

PeerLink::PeerLink(PairedPeer peer, Endpoint endpoint, PairKeys keys, std::string myDeviceID,
                   std::shared_ptr<SerialQueue> queue, Options options)
    : peer_(std::move(peer)), endpoint_(std::move(endpoint)), keys_(std::move(keys)),
      myDeviceID_(std::move(myDeviceID)), queue_(std::move(queue)), options_(options) {}

PeerLink::~PeerLink() {
  // A released link must not leave its socket open: nothing would ever read or close it.
  pingTimer_.cancel();
  reconnectTimer_.cancel();
  silenceTimer_.cancel();
  if (connection_)
    connection_->cancel();
}

double PeerLink::reconnectPause(int attempt, const Options &options) {
  return std::min(options.reconnectStep * std::max(attempt, 1), options.reconnectCap);
}

void PeerLink::start() {
  expectOnQueue(*queue_, linkQueueContract);
  connect();
}

void PeerLink::stop() {
  expectOnQueue(*queue_, linkQueueContract);
  stopped_ = true;
  pingTimer_.cancel();
  reconnectTimer_.cancel();
  silenceTimer_.cancel();
  if (connection_)
    connection_->cancel();
  connection_.reset();
}

void PeerLink::updateEndpoint(Endpoint endpoint, bool force) {
  expectOnQueue(*queue_, linkQueueContract);
  if (endpoint == endpoint_)
    return;
  endpoint_ = std::move(endpoint);
  if (isHealthy() && !force) {
    outlivedChange_ = true;
    return;
  }
  // The pending read fails and reports the disconnect; the reconnect uses the new endpoint.
  if (connection_)
    connection_->cancel();
}

void PeerLink::connect() {
  if (stopped_)
    return;
  std::weak_ptr<PeerLink> weak = weak_from_this();
  SecureChannel::openClient(
      endpoint_, keys_, myDeviceID_, Frame::Mode::control, std::nullopt, queue_,
      [weak](Result result) {
        if (auto self = weak.lock())
          self->handleHandshakeResult(std::move(result));
        else if (result)
          (*result)->cancel();
      },
      options_.handshakeTimeout);
}

void PeerLink::handleHandshakeResult(Result result) {
  if (!result) {
    Logger::net().info("Link to " + peer_.deviceID + " failed: " + describe(result.error()));
    scheduleReconnect();
    return;
  }
  auto connection = std::move(*result);
  if (stopped_) {
    connection->cancel();
    return;
  }

  connection_ = connection;
  noteAnswer();
  live_ = false;
  outlivedChange_ = !(connection->endpoint() == endpoint_);
  pingSent_.reset();
  if (onSecurity_) {
    auto suite = connection->negotiatedCipherSuite();
    onSecurity_(suite == SecureChannel::ecdhePskWithChaCha20Poly1305Sha256);
  }
  readFrame(connection);
  sendPing(connection);
}

void PeerLink::readFrame(const std::shared_ptr<Connection> &connection) {
  // A callback may have stopped the link or replaced the connection meanwhile.
  if (stopped_ || connection_ != connection)
    return;
  std::weak_ptr<PeerLink> weak = weak_from_this();
  std::weak_ptr<Connection> weakConnection = connection;
  receiveFrame(
      connection,
      [weak, weakConnection](std::expected<Frame, ChannelError> result) {
        auto self = weak.lock();
        auto connection = weakConnection.lock();
        if (self && connection)
          self->handleFrame(connection, std::move(result));
      },
      options_.frameDeadline);
}

void PeerLink::handleFrame(const std::shared_ptr<Connection> &connection,
                           std::expected<Frame, ChannelError> result) {
  if (!connection_ || connection_ != connection)
    return;
  if (!result) {
    dropConnection(connection, refusalOf(result.error()));
    return;
  }
  noteAnswer();
  auto &frame = *result;
  switch (frame.kind) {
  case Frame::Kind::unpaired:
    stopped_ = true;
    pingTimer_.cancel();
    reconnectTimer_.cancel();
    silenceTimer_.cancel();
    connection->cancel();
    connection_.reset();
    if (onUnpaired_)
      onUnpaired_();
    return;
  case Frame::Kind::pong:
    if (pingSent_) {
      double sent = *pingSent_;
      pingSent_.reset();
      if (onLatency_)
        onLatency_(std::max(0.0, continuousNow() - sent));
    }
    readFrame(connection);
    return;
  case Frame::Kind::services:
    live_ = true;
    // The peer recovered; should it send a refused list again, that is news.
    refusalLogged_ = false;
    if (onServices_)
      onServices_(frame.services.value_or(std::vector<SharedServiceInfo>{}),
                  frame.hardware.value_or(std::vector<std::string>{}), frame.name);
    readFrame(connection);
    return;
  default:
    dropConnection(connection,
                   "it sent a " + std::string(rawValue(frame.kind)) + " frame on the control link");
    return;
  }
}

void PeerLink::dropConnection(const std::shared_ptr<Connection> &connection,
                              std::optional<std::string> refusal) {
  if (refusal) {
    // Once: the peer sends the same at every reconnect.
    if (!std::exchange(refusalLogged_, true))
      Logger::net().notice("Link to " + peer_.name + ": " + *refusal +
                           "; reconnecting at a growing pause");
  } else if (live_) {
    // Only a connection that delivered a list and ended for another reason starts the pauses
    // afresh; a peer that sends a good list and then a refused one must not reconnect quickly.
    attempt_ = 0;
  }
  connection->cancel();
  connection_.reset();
  pingTimer_.cancel();
  if (onDisconnect_)
    onDisconnect_();
  scheduleReconnect();
}

void PeerLink::sendPing(const std::shared_ptr<Connection> &connection) {
  if (stopped_ || !connection_ || connection_ != connection)
    return;
  double now = continuousNow();
  if (pingSent_ && now - *pingSent_ >= options_.quietLimit && outlivedChange_) {
    // The pending read then fails and reports the disconnect.
    connection->cancel();
    return;
  }
  if (!pingSent_) {
    pingSent_ = now;
    Frame ping;
    ping.kind = Frame::Kind::ping;
    // A failed send is noticed by the pending read.
    (void)sendFrame(connection, ping);
  }
  std::weak_ptr<PeerLink> weak = weak_from_this();
  std::weak_ptr<Connection> weakConnection = connection;
  pingTimer_ = queue_->postAfter(options_.pingInterval, [weak, weakConnection] {
    auto self = weak.lock();
    auto connection = weakConnection.lock();
    if (self && connection)
      self->sendPing(connection);
  });
}

bool PeerLink::isHealthy() const {
  if (!connection_ || !live_)
    return false;
  return !pingSent_ || continuousNow() - *pingSent_ < options_.quietLimit;
}

void PeerLink::noteAnswer() {
  lastAnswer_ = continuousNow();
  silenceReported_ = false;
  // A timer already set looks again from the new answer when it fires.
  if (!silenceWatched_)
    watchSilence();
}

void PeerLink::watchSilence() {
  silenceWatched_ = false;
  if (stopped_ || !lastAnswer_ || silenceReported_)
    return;
  const double left = *lastAnswer_ + options_.silenceLimit - continuousNow();
  if (left <= 0) {
    silenceReported_ = true;
    if (onSilence_)
      onSilence_();
    return;
  }
  silenceWatched_ = true;
  std::weak_ptr<PeerLink> weak = weak_from_this();
  silenceTimer_ = queue_->postAfter(left, [weak] {
    if (auto self = weak.lock())
      self->watchSilence();
  });
}

void PeerLink::scheduleReconnect() {
  if (stopped_)
    return;
  ++attempt_;
  std::weak_ptr<PeerLink> weak = weak_from_this();
  reconnectTimer_ = queue_->postAfter(reconnectPause(attempt_, options_), [weak] {
    auto self = weak.lock();
    if (self && !self->stopped_ && !self->connection_)
      self->connect();
  });
}

} // namespace corvane

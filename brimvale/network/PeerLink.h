#pragma once

#include "brimvale/foundation/Frame.h"
#include "brimvale/foundation/PairKeys.h"
#include "brimvale/foundation/PairedPeerStore.h"
#include "brimvale/foundation/SecureChannel.h"
#include "brimvale/platform/Endpoint.h"
#include "brimvale/platform/WorkItem.h"

#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

class Connection;
class SerialQueue;

// The control connection to one nearby paired machine: reads the shares it offers, pings it
// to measure latency, reconnects with a growing pause when the connection ends, and says when
// the machine has answered nothing for so long that it counts as gone.
//
// Every operation must be called on the link queue, and every callback runs there.
class PeerLink final : public std::enable_shared_from_this<PeerLink> {
public:
  static constexpr double pingInterval = 5.0;
  // A ping unanswered this long makes the link unhealthy, and ends a connection that was kept
  // across an address change.
  static constexpr double quietLimit = 10.0;
  static constexpr double reconnectStep = 2.0;
  static constexpr double reconnectCap = 30.0;

  // Tests shorten these; the defaults are the protocol's.
  struct Options {
    double pingInterval = PeerLink::pingInterval;
    double quietLimit = PeerLink::quietLimit;
    double reconnectStep = PeerLink::reconnectStep;
    double reconnectCap = PeerLink::reconnectCap;
    double handshakeTimeout = SecureChannel::handshakeTimeout;
    double frameDeadline = frameCompletionDeadline;
    double silenceLimit = SecureChannel::silenceLimit;
  };

  using ServicesHandler =
      std::function<void(std::vector<SharedServiceInfo> services, std::vector<std::string> hardware,
                         std::optional<std::string> name)>;
  using LatencyHandler = std::function<void(double seconds)>;
  using SecurityHandler = std::function<void(bool forwardSecret)>;
  using EventHandler = std::function<void()>;

  static std::shared_ptr<PeerLink> create(PairedPeer peer, Endpoint endpoint, PairKeys keys,
                                          std::string myDeviceID,
                                          std::shared_ptr<SerialQueue> queue);
  static std::shared_ptr<PeerLink> create(PairedPeer peer, Endpoint endpoint, PairKeys keys,
                                          std::string myDeviceID,
                                          std::shared_ptr<SerialQueue> queue, Options options);
  ~PeerLink();

  PeerLink(const PeerLink &) = delete;
  PeerLink &operator=(const PeerLink &) = delete;

  // Set before start().
  void setOnServices(ServicesHandler handler) { onServices_ = std::move(handler); }
  void setOnLatency(LatencyHandler handler) { onLatency_ = std::move(handler); }
  void setOnSecurity(SecurityHandler handler) { onSecurity_ = std::move(handler); }
  void setOnDisconnect(EventHandler handler) { onDisconnect_ = std::move(handler); }
  void setOnUnpaired(EventHandler handler) { onUnpaired_ = std::move(handler); }
  // Once the machine has answered nothing for silenceLimit seconds since it last did, connected
  // or not; once per silence, and never before its first answer.
  void setOnSilence(EventHandler handler) { onSilence_ = std::move(handler); }

  void start();
  // `force` drops the current connection even when it is healthy.
  void updateEndpoint(Endpoint endpoint, bool force);
  // Ends the link for good; no callback runs afterwards.
  void stop();

  const PairedPeer &peer() const { return peer_; }
  const Endpoint &endpoint() const { return endpoint_; }

  // The pause before reconnect number `attempt` (1, 2, …).
  static double reconnectPause(int attempt, const Options &options);

private:
  PeerLink(PairedPeer peer, Endpoint endpoint, PairKeys keys, std::string myDeviceID,
           std::shared_ptr<SerialQueue> queue, Options options);

  using Result = std::expected<std::shared_ptr<Connection>, ChannelError>;

  void connect();
  void handleHandshakeResult(Result result);
  void readFrame(const std::shared_ptr<Connection> &connection);
  void handleFrame(const std::shared_ptr<Connection> &connection,
                   std::expected<Frame, ChannelError> result);
  void sendPing(const std::shared_ptr<Connection> &connection);
  bool isHealthy() const;
  // `refusal` says why the peer's last frame was refused, when it was.
  void dropConnection(const std::shared_ptr<Connection> &connection,
                      std::optional<std::string> refusal = std::nullopt);
  void scheduleReconnect();
  // The machine answered: the handshake completed or a frame came.
  void noteAnswer();
  // Reports the silence once it has lasted silenceLimit, else looks again when it could have.
  void watchSilence();

  PairedPeer peer_;
  Endpoint endpoint_;
  PairKeys keys_;
  std::string myDeviceID_;
  std::shared_ptr<SerialQueue> queue_;
  Options options_;

  std::shared_ptr<Connection> connection_;
  bool live_ = false;
  bool outlivedChange_ = false;
  bool stopped_ = false;
  // Connections in a row that failed: the handshake did, or the peer sent a refused frame.
  int attempt_ = 0;
  // A refusal is logged once, until the peer sends a good list again.
  bool refusalLogged_ = false;
  // On the continuous clock, so that a change of the wall clock cannot fake a latency.
  std::optional<double> pingSent_;
  WorkItem pingTimer_;
  WorkItem reconnectTimer_;
  // On the continuous clock, so that time asleep counts; absent until the first answer. Judged
  // by its own timer, connected or not, so that a machine that vanished while the link was down
  // is noticed too.
  std::optional<double> lastAnswer_;
  bool silenceReported_ = false;
  bool silenceWatched_ = false;
  WorkItem silenceTimer_;

  ServicesHandler onServices_;
  LatencyHandler onLatency_;
  SecurityHandler onSecurity_;
  EventHandler onDisconnect_;
  EventHandler onUnpaired_;
  EventHandler onSilence_;
};

} // namespace corvane

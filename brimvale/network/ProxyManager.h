#pragma once

#include "brimvale/foundation/Bridge.h"
#include "brimvale/foundation/Frame.h"
#include "brimvale/foundation/PairKeys.h"
#include "brimvale/foundation/SecureChannel.h"
#include "brimvale/foundation/ServiceRecords.h"
#include "brimvale/network/ListenPorts.h"
#include "brimvale/network/RoadSteps.h"
#include "brimvale/platform/Connection.h"
#include "brimvale/platform/Endpoint.h"
#include "brimvale/platform/Listener.h"
#include "brimvale/platform/RelayQueues.h"

#include <cstddef>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace corvane {

class SerialQueue;
class TlsContext;

// Makes the ports that paired machines share reachable here at localhost: per route it
// listens on 127.0.0.1 and ::1, and joins every local client to a new open-mode secure
// connection to the sharing machine's gateway.
//
// The routes, their listeners, their bookkeeping and the callbacks live on the proxy's own
// queue. Each local client has one home from its accept to its close, one of the relay queues:
// its secure connection to the other machine is opened there and the relay runs there, with no
// hand-over in between; what it changes in a route's bookkeeping is posted to the proxy queue.
class ProxyManager final : public std::enable_shared_from_this<ProxyManager> {
public:
  struct Route {
    RouteKey key;
    int localPort = 0;
    Endpoint endpoint; // the sharing machine's gateway

    bool operator==(const Route &) const = default;
  };

  // Whether a route listens on 127.0.0.1 and ::1 (on 127.0.0.1 alone where this machine has no
  // IPv6 loopback), or the text for the user when it does not. `failed`: 127.0.0.1 cannot be had
  // for now; the route tries again, and listens on ::1 only once 127.0.0.1 is up. `taken`:
  // another program holds the port on ::1, and the route has given it up for good, listening on
  // neither side.
  class Status {
  public:
    enum class Case { failed, listening, taken };

    static Status failed(std::string text) { return Status(Case::failed, std::move(text)); }
    static Status listening() { return Status(Case::listening, {}); }
    static Status taken(int port) {
      return Status(Case::taken,
                    "Port " + std::to_string(port) + " is taken on this Mac by another program.",
                    port);
    }

    Case which() const noexcept { return case_; }
    const std::string &text() const noexcept { return text_; }
    // The port given up, for `taken`; 0 otherwise.
    int port() const noexcept { return port_; }

    bool operator==(const Status &) const = default;

  private:
    Status(Case which, std::string text, int port = 0)
        : case_(which), text_(std::move(text)), port_(port) {}

    Case case_;
    std::string text_;
    int port_;
  };

  static constexpr double listenRetryBase = 1.0;
  static constexpr double listenRetryCap = 8.0;
  // Refusal texts come from the other machine; only this much of one is passed on.
  static constexpr std::size_t refusalTextLimit = 64;

  // Tests shorten these; the defaults are the protocol's.
  struct Options {
    std::string queueLabel = "corvane.proxy";
    double listenRetryBase = ProxyManager::listenRetryBase;
    double listenRetryCap = ProxyManager::listenRetryCap;
    double handshakeTimeout = SecureChannel::handshakeTimeout;
    // How far apart a port found in use on ::1 is tried again before the route gives it up.
    double busyRetryDelay = listenBusyRetryDelay;
    // Local clients live on this many queues of their own, from the handshake to the end of
    // the relay, so that they use several cores; 0 keeps them on the proxy's queue.
    std::size_t relayQueues = RelayQueues::defaultCount();
    // Sees each local client's steps: accepted, and the verdict when its stream is granted
    // (benchmarks).
    RoadStepObserver onStep;
  };

  using StatusHandler = std::function<void(const RouteKey &key, const Status &status)>;
  using ActivityHandler = std::function<void(const RouteKey &key, int active)>;
  using RefusalHandler =
      std::function<void(const RouteKey &key, const std::optional<std::string> &text)>;

  static std::shared_ptr<ProxyManager> create(std::string myDeviceID);
  static std::shared_ptr<ProxyManager> create(std::string myDeviceID, Options options);
  ~ProxyManager();

  ProxyManager(const ProxyManager &) = delete;
  ProxyManager &operator=(const ProxyManager &) = delete;

  // Set right after construction, before the first update.
  void setOnStatus(StatusHandler handler) { onStatus_ = std::move(handler); }
  void setOnActivity(ActivityHandler handler) { onActivity_ = std::move(handler); }
  void setOnRefusal(RefusalHandler handler) { onRefusal_ = std::move(handler); }

  // The complete list of routes (distinct keys) and the keys of their machines. Returns at
  // once; the work runs on the queue.
  void update(std::vector<Route> routes, std::unordered_map<std::string, PairKeys> keys);
  // Returns at once; every route stops and is forgotten on the queue.
  void stopAll();
  // Returns at once; `done` runs, on one of the proxy's queues, once what was stopped before
  // this call has closed its sockets: listeners and clients close on the relay queues they
  // live on, after the queue has stopped them.
  void afterClosing(std::function<void()> done);
  // To be called on the queue.
  void stopPeer(const std::string &peerID);
  // To be called on the queue. Resets every local client of the machine's routes, and so its
  // relay; the routes keep listening and take new clients.
  void resetPeer(const std::string &peerID);

  const std::shared_ptr<SerialQueue> &queue() const { return queue_; }

  // The pause before listen retry number `attempt` + 1 (attempt 0, 1, …).
  static double listenRetryPause(int attempt, const Options &options);

private:
  struct Entry;
  // What a client's secure connection is opened with, taken from its route at the accept.
  struct Opening {
    Endpoint endpoint;
    PairKeys keys;
    std::string serviceID;
    std::shared_ptr<TlsContext> tls;
  };
  using Result = std::expected<std::shared_ptr<Connection>, ChannelError>;

  ProxyManager(std::string myDeviceID, Options options);

  void updateRoutes(const std::vector<Route> &routes,
                    const std::unordered_map<std::string, PairKeys> &keys);
  bool isCurrent(const std::shared_ptr<Entry> &entry) const;
  void startEntry(const std::shared_ptr<Entry> &entry);
  void stopEntry(const std::shared_ptr<Entry> &entry);
  void listen(const std::shared_ptr<Entry> &entry, const Endpoint::Host &host, int attempt);
  // Dropped when 127.0.0.1 goes down meanwhile.
  void listenAfter(const std::shared_ptr<Entry> &entry, const Endpoint::Host &host, int attempt,
                   double delay);
  void handleListenerState(const std::shared_ptr<Entry> &entry,
                           const std::shared_ptr<Listener> &listener, const Endpoint::Host &host,
                           int attempt, const Listener::State &state);
  // Reports `listening` once, when both listeners allow it.
  void sayListening(Entry &entry);
  // 127.0.0.1 could not be had, its listener already gone: ::1 goes too, and `failed` is
  // reported.
  void loseIPv4(Entry &entry, const std::string &text);
  // Another program holds ::1 of the port: both listeners go, with no retry, and `taken` is
  // reported.
  void givePortUp(Entry &entry);
  // On the proxy queue: what the entry's clients are opened with from now on.
  void publishOpening(Entry &entry);
  // On the queue that accepted the client.
  void acceptLocal(const std::shared_ptr<Connection> &connection,
                   const std::shared_ptr<Entry> &entry);
  // On the client's own queue.
  void handleLocalState(const std::weak_ptr<Entry> &entry, const std::shared_ptr<Connection> &local,
                        const std::shared_ptr<const Opening> &opening,
                        const Connection::State &state);
  void handleOpenResult(const std::weak_ptr<Entry> &entry, const std::shared_ptr<Connection> &local,
                        Result result);
  // On the proxy queue, for a route that is current.
  void relayStarted(Entry &entry, const std::shared_ptr<Connection> &local,
                    const std::shared_ptr<Connection> &remote);
  void connectionClosed(Entry &entry, const Connection *local);
  // From any queue: runs `work` on the proxy queue while `entry` is a current route, and
  // `otherwise` (when given) when it is not.
  void onProxyQueue(const std::weak_ptr<Entry> &entry,
                    std::function<void(ProxyManager &, Entry &)> work,
                    std::function<void()> otherwise = nullptr);

  std::shared_ptr<SerialQueue> queue_;
  std::string myDeviceID_;
  Options options_;
  RelayQueues relays_;
  std::unordered_map<RouteKey, std::shared_ptr<Entry>> entries_;

  StatusHandler onStatus_;
  ActivityHandler onActivity_;
  RefusalHandler onRefusal_;
};

} // namespace corvane

#pragma once

#include "brimvale/foundation/Bridge.h"
#include "brimvale/foundation/DeviceIdentity.h"
#include "brimvale/foundation/Frame.h"
#include "brimvale/foundation/PairKeys.h"
#include "brimvale/network/ListenPorts.h"
#include "brimvale/network/RoadSteps.h"
#include "brimvale/platform/Clock.h"
#include "brimvale/platform/Connection.h"
#include "brimvale/platform/Listener.h"
#include "brimvale/platform/QueueContract.h"
#include "brimvale/platform/RelayQueues.h"
#include "brimvale/platform/SerialQueue.h"

#include <chrono>
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

class DnsSd;
class PairedPeerStore;

// The listening side of this machine: one TLS-PSK listener with a key per paired peer,
// advertised over DNS-SD, serving control connections (the list of shares, ping) and
// open-mode connections that become byte streams to one shared loopback port.
//
// The listener's state, the public operations (which hop onto `queue` and return at once) and
// the callbacks run on `queue`. Each connection is accepted on one of the relay queues, which is
// its home until it closes: its TLS handshake, challenge, hello, verdict, local connect and relay
// all run there, with no hand-over in between. The tables both sides use (keys, shares, caps,
// registries) are guarded by one lock, never held while a connection is called.
class Gateway : public std::enable_shared_from_this<Gateway> {
public:
  struct Session {
    std::string peerID;
    std::string serviceID;
    Date since = 0;
    bool operator==(const Session &) const = default;
  };

  struct Stream {
    std::shared_ptr<Connection> connection; // the connection from the peer
    std::string peerID;
    Date since = 0;
    // Its relay once running: held weakly, as the relay's own completions keep it.
    std::weak_ptr<Bridge::State> relay;
  };

  // Connection identity is the object's address; tables never compare connections by value.
  using StreamTable = std::unordered_map<const Connection *, Stream>;
  using Access = std::map<std::string, std::set<std::string>>;
  using HardwareAddresses = std::function<std::vector<std::string>()>;

  static constexpr double helloDeadline = 10.0;
  static constexpr double busyRetryDelay = listenBusyRetryDelay;
  static constexpr double failureRetryDelay = 3.0;
  static constexpr int busyAttempts = listenBusyAttempts;
  // Streams a paired machine may have open at once. At the limit, a stream whose client has
  // ended its sending (mostly one that has gone), or else one idle both ways, makes room for a
  // new one; only when every stream is moving bytes, the new one is refused with "too many
  // connections".
  static constexpr std::size_t connectionLimit = 64;
  // Control links a paired machine may hold at once; it keeps one, so more are left over from
  // links it has given up, and the oldest makes room for a new one: a machine that reconnects
  // is never refused.
  static constexpr std::size_t controlLimit = 4;
  // Connections that have not passed the hello may come from anyone on the network, and each
  // holds a descriptor and a TLS session, so they are capped. The global cap bounds what
  // strangers can make this machine hold (sockets, TLS sessions) and stays below the
  // usual soft limit of 1,024 descriptors in case that could not be raised. When it is reached, a
  // connection from an address that holds fewer than the address holding most takes the place of
  // that address's oldest, so that flooding from several addresses cannot lock out a paired
  // machine, whose handshake lasts milliseconds; otherwise it is closed at once.
  static constexpr std::size_t handshakeLimit = 512;
  // A paired machine opens at most its control link and `connectionLimit` streams at once, and
  // each counts here until its hello is verified; this leaves it twice that. Past it, a new
  // connection from that address is closed at once. Counted per remote address, not per IPv6
  // /64: on a local network every machine of the link shares one /64, so a cap per prefix would
  // let one machine's flood lock out all the others; a machine that takes many addresses meets
  // the global cap and its fair sharing.
  static constexpr std::size_t handshakeLimitPerSource = 128;
  static constexpr std::chrono::seconds refusalLogInterval{60};

  struct Options {
    std::string queueLabel = "corvane.gateway";
    // The queue to run on; made from `queueLabel` when absent.
    std::shared_ptr<SerialQueue> queue;
    bool advertise = true;
    std::optional<std::uint16_t> preferredPort;
    // Tests shorten these; the defaults are the protocol's.
    double helloDeadline = Gateway::helloDeadline;
    double frameDeadline = frameCompletionDeadline;
    double busyRetryDelay = Gateway::busyRetryDelay;
    double failureRetryDelay = Gateway::failureRetryDelay;
    std::size_t handshakeLimit = Gateway::handshakeLimit;
    std::size_t handshakeLimitPerSource = Gateway::handshakeLimitPerSource;
    // This machine's hardware addresses for the services frame; empty gives the system's.
    HardwareAddresses hardwareAddresses;
    // Accepted connections live on this many queues of their own, from the handshake to the
    // end of the relay, so that they use several cores; 0 keeps them on the gateway's queue.
    std::size_t relayQueues = RelayQueues::defaultCount();
    // Sees each accepted connection's steps (benchmarks).
    RoadStepObserver onStep;
  };

  static std::shared_ptr<Gateway> create(DeviceIdentity identity,
                                         std::shared_ptr<PairedPeerStore> peerStore,
                                         std::string deviceName, std::shared_ptr<DnsSd> dnsSd,
                                         Options options);
  static std::shared_ptr<Gateway> create(DeviceIdentity identity,
                                         std::shared_ptr<PairedPeerStore> peerStore,
                                         std::string deviceName, std::shared_ptr<DnsSd> dnsSd);
  ~Gateway();

  Gateway(const Gateway &) = delete;
  Gateway &operator=(const Gateway &) = delete;

  // Callbacks run on `queue`. Set them before start().
  void setOnSessions(std::function<void(std::vector<Session>)> callback);
  void setOnAccepted(std::function<void(std::string peerID, std::string serviceID)> callback);
  void setOnReady(std::function<void(std::uint16_t port)> callback);

  void start();
  void restart();
  // The peer was removed from the paired list: its connections end, and until the next
  // restart a hello from it is answered "unpaired".
  void revoke(std::string peerID);
  void disconnect(std::string peerID, std::string serviceID);
  void rename(std::string deviceName);
  void updateServices(std::vector<SharedServiceInfo> services, Access access);

  const std::shared_ptr<SerialQueue> &queue() const { return queue_; }
  // Read on `queue` only.
  std::optional<std::uint16_t> readyPort() const {
    expectOnQueue(*queue_, "Gateway::readyPort on the gateway queue");
    return readyPort_;
  }

  // One session per stream of one service, in the table's order.
  static std::vector<Session> sessionsFromStreams(const StreamTable &streams,
                                                  const std::string &serviceID);

private:
  struct Control {
    std::shared_ptr<Connection> connection;
    std::string peerID;
    std::uint64_t order = 0;
  };
  // Streams refused for the limit since the last line about them, per paired machine.
  struct Refusals {
    std::size_t count = 0;
    std::optional<std::chrono::steady_clock::time_point> lastLog;
    // A line for what the interval held back is due at its end.
    bool due = false;
  };
  // Per accepted connection until its hello is verified; used on the connection's queue.
  struct Handshake {
    bool done = false;
    WorkItem deadline;
  };
  // An accepted connection whose hello is outstanding, the address it counts against, and
  // its place in the order of acceptance.
  struct Pending {
    std::shared_ptr<Connection> connection;
    std::string source;
    std::uint64_t order = 0;
  };

  Gateway(DeviceIdentity identity, std::shared_ptr<PairedPeerStore> peerStore,
          std::string deviceName, std::shared_ptr<DnsSd> dnsSd, Options options);

  void startGateway(ListenTry attempt);
  void stopGateway();
  bool isCurrent(const std::weak_ptr<Listener> &listener) const;
  void listenerStateChanged(const Listener::State &state, const std::weak_ptr<Listener> &listener,
                            ListenTry attempt);

  void acceptConnection(const std::shared_ptr<Connection> &connection);
  // Under the lock. Whether another connection from `source` fits under the handshake caps; at
  // the global cap this may give up the oldest connection of the address holding most, to make
  // room: `evicted`, which the caller closes once the lock is released.
  bool admits(const std::string &source, std::shared_ptr<Connection> &evicted);
  // Under the lock. The connection no longer waits for its hello: its place under the caps is
  // free.
  void releaseHandshake(const Connection *connection);
  // Under the lock. Whether `peerID` may open one more control link (`control`) or stream; at
  // a limit this gives up its oldest control, or a relay whose client has ended or that is
  // idle, to make room: `displacedControl` or `displacedRelay`, which the caller ends once the
  // lock is released.
  bool makesRoom(const std::string &peerID, bool control,
                 std::shared_ptr<Connection> &displacedControl,
                 std::shared_ptr<Bridge::State> &displacedRelay);
  // Under the lock: the relay of a stream's peer connection, if it runs.
  std::weak_ptr<Bridge::State> relayOf(const Connection *connection) const;
  // Under the lock: the line to log for a stream of `peerID` refused at the limit, at most one
  // a minute per machine.
  std::optional<std::string> noteRefusedStream(const std::string &peerID);
  // Under the lock: the line for `peerID`'s refusals so far; the interval starts again.
  std::string refusalLine(const std::string &peerID, Refusals &refusals);
  void connectionStateChanged(const Connection::State &state,
                              const std::shared_ptr<Connection> &connection,
                              const std::shared_ptr<Handshake> &handshake);
  void handleHello(const std::expected<Frame, ChannelError> &result,
                   const std::shared_ptr<Connection> &connection, const Bytes &nonce,
                   const std::shared_ptr<Handshake> &handshake);
  void replyUnpaired(const std::shared_ptr<Connection> &connection, const Frame &hello);
  void sendErrorAndClose(const std::shared_ptr<Connection> &connection, const std::string &text);
  void readControlFrame(const std::shared_ptr<Connection> &connection);
  void controlFrameReceived(const std::expected<Frame, ChannelError> &result,
                            const std::shared_ptr<Connection> &connection);
  void openLocalStream(const SharedServiceInfo &service,
                       const std::shared_ptr<Connection> &connection, const std::string &peerID);
  // Connects to the first of `hosts` that answers on `port`, on `home` (the peer connection's
  // queue); null when none does.
  void connectLoopback(std::uint16_t port, std::vector<Endpoint::Host> hosts,
                       std::shared_ptr<SerialQueue> home,
                       std::function<void(std::shared_ptr<Connection>)> completion);
  void streamConnected(const std::shared_ptr<Connection> &local,
                       const std::shared_ptr<Connection> &peer, const SharedServiceInfo &service,
                       const std::string &peerID);
  void finishStream(bool failed, const SharedServiceInfo &service, const std::string &peerID,
                    const std::shared_ptr<Connection> &local,
                    const std::shared_ptr<Connection> &peer);

  // Under the lock; true when a stream went with it.
  bool forgetConnection(const Connection *connection);
  // From the connection's queue, once it has ended: its places in the tables are freed.
  void connectionEnded(const Connection *connection);
  // Under the lock: the services frame `peerID` may see.
  Frame servicesFrame(const std::string &peerID) const;
  void sendServices(const std::shared_ptr<Connection> &connection, Frame frame);
  // On the control connection's queue: sends the list it may see now, if it is still a control.
  void resendServices(const std::shared_ptr<Connection> &connection);
  // Under the lock.
  bool isAllowed(const std::string &serviceID, const std::string &peerID) const;
  // From any queue: the session list reaches onSessions on the gateway queue, once for a burst
  // of changes.
  void publishSessions();
  // On the gateway queue.
  void deliverSessions();
  // Sends `frame`, then cancels the connection whatever the send's outcome.
  void sendAndClose(const std::shared_ptr<Connection> &connection, const Frame &frame);

  std::shared_ptr<SerialQueue> queue_;
  DeviceIdentity identity_;
  std::shared_ptr<PairedPeerStore> peerStore_;
  std::shared_ptr<DnsSd> dnsSd_;
  Options options_;
  RelayQueues relays_;

  // On `queue` only.
  std::shared_ptr<Listener> listener_;
  std::optional<std::uint16_t> readyPort_;
  bool running_ = false;
  std::function<void(std::vector<Session>)> onSessions_;
  std::function<void(std::string, std::string)> onAccepted_;
  std::function<void(std::uint16_t)> onReady_;

  // Everything below is guarded by `lock_`.
  mutable std::mutex lock_;
  std::string deviceName_;
  std::unordered_map<std::string, PairKeys> pairKeys_;
  std::unordered_map<std::string, PairKeys> revokedKeys_;
  std::vector<SharedServiceInfo> services_;
  Access access_;
  // Accepted connections whose hello is still outstanding; held here so they live that long.
  std::unordered_map<const Connection *, Pending> pending_;
  // The connections of `pending_` that each remote address holds, oldest first; an address
  // holding none has no entry.
  std::unordered_map<std::string, std::map<std::uint64_t, const Connection *>> pendingPerSource_;
  std::uint64_t acceptedCount_ = 0;
  // Refusals for the caps are logged with their count at most once a minute, so that a flood
  // does not flood the log as well.
  std::size_t refusedSinceLog_ = 0;
  std::optional<std::chrono::steady_clock::time_point> lastRefusalLog_;
  std::unordered_map<std::string,
                     std::unordered_map<const Connection *, std::shared_ptr<Connection>>>
      connections_;
  std::unordered_map<const Connection *, Control> controls_;
  std::uint64_t controlCount_ = 0;
  std::unordered_map<std::string, Refusals> streamRefusals_;
  std::map<std::string, StreamTable> streams_;
  // A session list is on its way to the gateway queue.
  bool sessionsPending_ = false;
};

} // namespace corvane

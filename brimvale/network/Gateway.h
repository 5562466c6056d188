#pragma once

#include "brimvale/foundation/Bridge.h"
#include "brimvale/foundation/DeviceIdentity.h"
#include "brimvale/foundation/Frame.h"
#include "brimvale/foundation/PairKeys.h"
#include "brimvale/foundation/SecureChannel.h"
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
#include <unordered_set>
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
  // Streams a paired machine may have open at once, those still being opened included. At the
  // limit a new one is refused with "too many connections", unless a stream is finished on this
  // side: its service has ended, the other machine has taken all of it, and its client sends
  // nothing (a pool keeps such connections until their next use). The one finished longest
  // then makes room, once the new stream's service has answered. Nothing live is ever given up,
  // idle or not: a pool's idle connections, a request in flight and a client waiting for its
  // reply all keep their streams. A stream that has ended keeps its place until the other
  // machine has acknowledged all of it, so that one that reads nothing holds only its own.
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
  // How often the paired machines' silence is looked at (SecureChannel::silenceLimit).
  static constexpr double silenceCheckInterval = 5.0;

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
    // A paired machine whose control links bring nothing for this long has gone without a word
    // (its Wi-Fi off, its lid closed): its streams are reset. Judged by the control links, which
    // ping every few seconds, because a stream's own silence cannot tell a vanished machine
    // from a reader that merely pauses.
    double silenceLimit = SecureChannel::silenceLimit;
    double silenceCheckInterval = Gateway::silenceCheckInterval;
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
  // Under the lock. At the limit of control links, `peerID`'s oldest makes room for a new one:
  // `displaced`, which the caller ends once the lock is released.
  void makeControlRoom(const std::string &peerID, std::shared_ptr<Connection> &displaced);
  // Under the lock. The streams `peerID` holds, `except` left out: those being opened included,
  // or with `answeredOnly` just those whose service has answered.
  std::size_t streamCount(const std::string &peerID, const Connection *except,
                          bool answeredOnly = false) const;
  // A stream that may be finished on this side: its service has ended, and its client sends
  // nothing.
  struct Ended {
    const Connection *identity = nullptr;
    std::weak_ptr<Bridge::State> relay;
  };
  // Under the lock. `peerID`'s streams that may be finished, the one whose service ended first
  // first.
  std::vector<Ended> endedStreams(const std::string &peerID) const;
  // On the new stream's queue, once its service has answered. While `peerID` is at the limit,
  // the first of `candidates` whose every byte the other machine has taken makes room for
  // `peer`; `done` says whether there is room.
  void makeRoom(std::string peerID, std::shared_ptr<Connection> peer, std::vector<Ended> candidates,
                std::function<void(bool room)> done);
  // On `queue`: resets the streams of every paired machine whose control links have been silent
  // for silenceLimit, then looks again after silenceCheckInterval.
  void checkSilence();
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
  // `needsRoom`: the stream was let in at the limit, and takes a finished one's place once its
  // service answers, or is refused then.
  void openLocalStream(const SharedServiceInfo &service,
                       const std::shared_ptr<Connection> &connection, const std::string &peerID,
                       bool needsRoom);
  // Connects to the first of `hosts` that answers on `port`, on `home` (the peer connection's
  // queue); null when none does.
  void connectLoopback(std::uint16_t port, std::vector<Endpoint::Host> hosts,
                       std::shared_ptr<SerialQueue> home,
                       std::function<void(std::shared_ptr<Connection>)> completion);
  void streamConnected(const std::shared_ptr<Connection> &local,
                       const std::shared_ptr<Connection> &peer, const SharedServiceInfo &service,
                       const std::string &peerID, bool needsRoom);
  void grantStream(const std::shared_ptr<Connection> &local,
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
  // Streams let in at the limit whose service has not answered yet: they need room only once
  // it has. One let in below the limit holds its place from its hello on.
  std::unordered_set<const Connection *> connecting_;
  std::uint64_t controlCount_ = 0;
  std::unordered_map<std::string, Refusals> streamRefusals_;
  // When each paired machine holding connections was last heard from: a verified hello, a
  // frame on a control link.
  std::unordered_map<std::string, std::chrono::steady_clock::time_point> lastHeard_;
  std::map<std::string, StreamTable> streams_;
  // A session list is on its way to the gateway queue.
  bool sessionsPending_ = false;
};

} // namespace corvane

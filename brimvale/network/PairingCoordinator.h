#pragma once

#include "brimvale/foundation/DeviceIdentity.h"
#include "brimvale/foundation/Frame.h"
#include "brimvale/foundation/PairedPeerStore.h"
#include "brimvale/network/Discovery.h"
#include "brimvale/network/ListenPorts.h"
#include "brimvale/platform/Connection.h"
#include "brimvale/platform/Endpoint.h"
#include "brimvale/platform/Listener.h"
#include "brimvale/platform/MainQueue.h"
#include "brimvale/platform/WorkItem.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

class DnsSd;
class SerialQueue;

// Runs pairing while the pairing window is open: advertises a plain-TCP pairing listener, lists
// the machines nearby that could be paired, calls one (or a typed address) or accepts a call,
// runs the commit-and-reveal exchange, and stores the new peer once both users confirm.
//
// Lives on the main queue: every operation and every field is for the main queue only. Its
// sockets run on a serial queue of their own, and each of their events hops to the main queue
// before it touches anything.
class PairingCoordinator : public std::enable_shared_from_this<PairingCoordinator> {
public:
  struct State {
    enum class Kind { connecting, compare, waitingForPeer, success, failed, idle, searching };

    Kind kind = Kind::idle;
    std::string code;    // compare, waitingForPeer
    std::string name;    // connecting, success; the peer's name in compare, waitingForPeer
    std::string message; // failed

    static State connecting(std::string name) {
      return {Kind::connecting, {}, std::move(name), {}};
    }
    static State compare(std::string code, std::string peerName) {
      return {Kind::compare, std::move(code), std::move(peerName), {}};
    }
    static State waitingForPeer(std::string code, std::string peerName) {
      return {Kind::waitingForPeer, std::move(code), std::move(peerName), {}};
    }
    static State success(std::string name) { return {Kind::success, {}, std::move(name), {}}; }
    static State failed(std::string message) { return {Kind::failed, {}, {}, std::move(message)}; }
    static State idle() { return {}; }
    static State searching() { return {Kind::searching, {}, {}, {}}; }

    bool operator==(const State &) const = default;
  };

  static constexpr const char *serviceType = pairingServiceType;
  static constexpr std::uint16_t defaultPreferredPort = pairingPreferredPort;
  // A pairing run ends this long after it started unless it succeeded; never extended.
  static constexpr double expiryDelay = 120.0;
  // A taken port is tried this many times, this far apart, before the next candidate.
  static constexpr int busyAttempts = listenBusyAttempts;
  static constexpr double busyRetryDelay = listenBusyRetryDelay;
  // Attempts in one run; one more ends the run, against guessing at the code. Only attempts
  // that exchanged a valid commit count (an incoming call once its commit arrived, an outgoing
  // one once it reached the other side and sent ours), so callers that send nothing valid
  // cannot use up the user's attempts.
  static constexpr int attemptLimit = 5;
  // An accepted caller has this long to send a valid commit, and then as long for its reveal:
  // a few round trips for a real machine.
  static constexpr double callerDeadline = 10.0;
  // Callers whose commit has not arrived are served side by side and are no attempt yet, so
  // that one that stalls or breaks holds neither the user's run nor a genuine caller. At most
  // this many wait from one address, and this many in all: a caller past a limit closes the
  // oldest of its own address, or else of the busiest address in the network with the most
  // waiting, so that a machine opening calls faster than a commit's round trip crowds out
  // only its own, even from many addresses of its /64.
  static constexpr std::size_t callersPerAddress = 4;
  static constexpr std::size_t callerLimit = 16;
  // What the limit per address counts a caller by: its address, an IPv4-mapped one as IPv4.
  // Not its /64, which every machine on a link (fe80::/64) or a network shares.
  static std::string callerSource(const Endpoint::Host &host);
  // Which callers the limit in all weighs together: an IPv6 caller's /64 (and link), as one
  // machine may hold any number of addresses there; an IPv4 caller's address.
  static std::string callerNetwork(const Endpoint::Host &host);
  // Lets the last confirmation reach the other side before the connection closes.
  static constexpr double closeDelay = 0.5;
  static constexpr double connectionTimeout = 10.0;

  static constexpr const char *couldNotStartText =
      "Could not start pairing. Corvane couldn't open a port to listen on.";
  static constexpr const char *timedOutText =
      "Pairing timed out. Start again when both Macs are ready.";
  static constexpr const char *tooManyAttemptsText =
      "Too many pairing attempts. Close this window and start again.";
  static constexpr const char *connectionLostText = "The connection to the other Mac was lost.";
  static std::string couldNotReachText(const std::string &name);

  struct Options {
    std::optional<std::uint16_t> preferredPort = defaultPreferredPort;
    double expiryDelay = PairingCoordinator::expiryDelay;
    double busyRetryDelay = PairingCoordinator::busyRetryDelay;
    double callerDeadline = PairingCoordinator::callerDeadline;
    // Whether a caller's host is on the local network; by default this machine's subnets
    // decide, read at each call.
    std::function<bool(const Endpoint::Host &)> isLocalCaller;
    // The sockets' queue; one labelled "corvane.pairing" is made when absent.
    std::shared_ptr<SerialQueue> queue;
  };

  static std::shared_ptr<PairingCoordinator> create(DeviceIdentity identity,
                                                    std::shared_ptr<PairedPeerStore> peerStore,
                                                    std::string deviceName,
                                                    std::shared_ptr<DnsSd> dnsSd,
                                                    std::shared_ptr<MainQueue> mainQueue);
  static std::shared_ptr<PairingCoordinator>
  create(DeviceIdentity identity, std::shared_ptr<PairedPeerStore> peerStore,
         std::string deviceName, std::shared_ptr<DnsSd> dnsSd, std::shared_ptr<MainQueue> mainQueue,
         Options options);
  ~PairingCoordinator();

  PairingCoordinator(const PairingCoordinator &) = delete;
  PairingCoordinator &operator=(const PairingCoordinator &) = delete;

  // Published for the window.
  const State &state() const { return state_; }
  // Machines advertising pairing, without this one and without those already paired.
  const std::vector<NearbyDevice> &candidates() const { return candidates_; }
  // The pairing listener's port while it is ready.
  std::optional<std::uint16_t> port() const { return port_; }

  // Called after every change of state, candidates or port.
  std::function<void()> onChange;
  // Once per successful pairing: the new peer's device identifier and the host to remember.
  std::function<void(std::string deviceID, std::optional<std::string> host)> onPaired;

  // The name advertised and revealed; at most 64 characters are kept.
  void setDeviceName(std::string name);
  const std::string &deviceName() const { return deviceName_; }

  void startPairing();
  void stopPairing();
  // A chosen candidate (its endpoint and name, no host) or a typed address.
  void pairWith(Endpoint endpoint, std::string name, std::optional<std::string> host);
  void confirm();
  void cancel();

  // The host name as given, or the address text; absent for a DNS-SD service.
  static std::optional<std::string> peerAddressText(const Endpoint &endpoint);

private:
  PairingCoordinator(DeviceIdentity identity, std::shared_ptr<PairedPeerStore> peerStore,
                     std::string deviceName, std::shared_ptr<DnsSd> dnsSd,
                     std::shared_ptr<MainQueue> mainQueue, Options options);

  void setState(State state);
  void publish();
  void updateCandidates(std::vector<NearbyDevice> devices);
  void endAttempt();
  void connectionLost();
  void failAttempt(const std::string &text);
  // Told apart by weak references: an address can be reused by a later object.
  bool isCurrent(const std::weak_ptr<Connection> &connection) const;
  bool isCurrent(const std::weak_ptr<Listener> &listener) const;

  void startListener(ListenTry attempt);
  void listenerStateChanged(const Listener::State &state, const std::weak_ptr<Listener> &listener,
                            ListenTry attempt);
  void handleIncomingCall(const std::shared_ptr<Connection> &connection);
  void callerStateChanged(std::uint64_t caller, Connection::State::Kind kind);
  void callerCommitArrived(std::uint64_t caller, const std::expected<Frame, ChannelError> &result);
  // Closes a waiting caller if one more from `address` would pass a limit.
  void makeRoomForCaller(const std::string &address);
  void dropCaller(std::uint64_t caller, const char *reason);
  void dropCallers();
  bool countAttempt();

  // Reads one frame; the result arrives on the main queue, only while the connection is current.
  void receive(const std::shared_ptr<Connection> &connection,
               std::function<void(std::expected<Frame, ChannelError>)> next);
  void runInitiator(const std::shared_ptr<Connection> &connection);
  // Once its commit has arrived and it became the attempt.
  void runResponder(const std::shared_ptr<Connection> &connection, const Bytes &commit);
  void enterCompare(const std::shared_ptr<Connection> &connection, const std::string &code,
                    const PairedPeer &peer);
  void finishIfConfirmed();

  DeviceIdentity identity_;
  std::shared_ptr<PairedPeerStore> peerStore_;
  std::string deviceName_;
  std::shared_ptr<DnsSd> dnsSd_;
  std::shared_ptr<MainQueue> mainQueue_;
  Options options_;
  std::shared_ptr<SerialQueue> queue_;
  std::shared_ptr<Discovery> discovery_;

  State state_;
  std::vector<NearbyDevice> candidates_;
  std::optional<std::uint16_t> port_;

  std::shared_ptr<Listener> listener_;
  std::shared_ptr<Connection> connection_;
  // Incoming callers whose commit is outstanding, by order of arrival.
  struct Caller {
    std::shared_ptr<Connection> connection;
    WorkItem deadline;
    std::string address;
    std::string network;
  };
  std::map<std::uint64_t, Caller> callers_;
  std::uint64_t callersAccepted_ = 0;
  int attempts_ = 0;
  WorkItem expiry_;
  // Of an incoming call that became the attempt, until both reveals are in.
  WorkItem callerDeadline_;
  std::optional<PairedPeer> pendingPeer_;
  std::optional<std::string> pendingHost_;
  bool localConfirmed_ = false;
  bool remoteConfirmed_ = false;
  // Of the current attempt: made fresh for every connection.
  Bytes nonce_;
};

} // namespace corvane

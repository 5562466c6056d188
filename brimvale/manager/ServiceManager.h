#pragma once

#include "brimvale/catalogue/PortChecks.h"
#include "brimvale/catalogue/ProbeKind.h"
#include "brimvale/catalogue/Problems.h"
#include "brimvale/foundation/AccessLog.h"
#include "brimvale/foundation/DeviceIdentity.h"
#include "brimvale/foundation/Frame.h"
#include "brimvale/foundation/PairKeys.h"
#include "brimvale/foundation/PairedPeerStore.h"
#include "brimvale/foundation/Preferences.h"
#include "brimvale/foundation/ServiceRecords.h"
#include "brimvale/integrations/ControlBridge.h"
#include "brimvale/integrations/NotificationRules.h"
#include "brimvale/manager/SharingState.h"
#include "brimvale/network/Addresses.h"
#include "brimvale/network/Discovery.h"
#include "brimvale/network/Gateway.h"
#include "brimvale/network/ListenPorts.h"
#include "brimvale/network/NetworkName.h"
#include "brimvale/network/PairingCoordinator.h"
#include "brimvale/network/PeerLink.h"
#include "brimvale/network/ProxyManager.h"
#include "brimvale/platform/Clock.h"
#include "brimvale/platform/MainQueue.h"
#include "brimvale/platform/Published.h"
#include "brimvale/platform/SecretStore.h"
#include "brimvale/platform/Task.h"
#include "brimvale/platform/UserDefaults.h"
#include "brimvale/platform/WifiName.h"

#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace corvane {

class DnsSd;
class SerialQueue;
class SystemNotifier;

// A request to show the environment name prompt: create one for a share, or rename one.
struct EnvironmentPrompt {
  enum class Kind { create, rename };

  Kind kind = Kind::create;
  std::string serviceID;                       // create
  std::optional<ShareEnvironment> environment; // rename

  bool operator==(const EnvironmentPrompt &) const = default;
};

// The one long-lived object that owns every engine component, publishes the state the views
// show, carries out the user's operations and saves the settings after each change.
//
// Lives on the main queue: every member is to be used there only, and its operations check so
// in the checked build. Components report on their own queues; each report hops to the main
// queue, holding the manager weakly, before it touches state. Its parts are defined by concern
// in ServiceManager*.cpp.
class ServiceManager : public std::enable_shared_from_this<ServiceManager> {
public:
  static constexpr const char *serviceType = gatewayServiceType;
  static constexpr const char *deviceNameKey = "deviceName";
  static constexpr std::uint16_t gatewayPreferredPort = corvane::gatewayPreferredPort;
  static constexpr std::uint16_t pairingPreferredPort = corvane::pairingPreferredPort;
  static constexpr double defaultNoticeLifetime = 8;
  // Paired Macs count as still connecting this long after start-up and after a wake.
  static constexpr double settleWindow = 10;
  static constexpr double probeInterval = 8;
  static constexpr double probeTimeout = 1.5;
  // Health checks of the shares run from the probe pass, at most once in this many seconds.
  static constexpr double healthCheckInterval = 30;
  static constexpr const char *noFreePortText = "No free port on this Mac";
  // Local-port scan: candidates examined at most, and its offsets from the remote port.
  static constexpr int portCandidateLimit = 200;
  static constexpr int portScanOffset = 20000;
  static constexpr int portScanWrapBase = 40000;
  static constexpr int firstUserPort = 1024;
  // What a paired Mac may send in one services list, and how much of each text is kept.
  static constexpr std::size_t receivedServicesLimit = 64;
  static constexpr std::size_t receivedTextLimit = 64;
  static constexpr int peerNameLimit = 40;
  // Local ports remembered for the routes of one paired Mac at most; past it, those whose
  // share has been gone longest (within one run) are forgotten first.
  static constexpr std::size_t routePortsPerPeer = 2 * receivedServicesLimit;
  // Lines logged for one route within one window; a share that keeps changing would otherwise
  // fill the log. Failures are always logged.
  static constexpr int routeLogBurst = 16;
  static constexpr double routeLogWindow = 60;
  // Streams a route could not open are logged with their count at most this often per route,
  // so that a flood of refusals does not flood the log as well.
  static constexpr double refusalLogInterval = 60;
  static constexpr std::size_t hardwareAddressLimit = 4;
  static constexpr const char *unknownMacName = "Unknown Mac";
  static constexpr const char *previewVariable = "XCTestConfigurationFilePath";

  // The calls the manager makes into the components and the system. Each empty one does the
  // real thing; tests put fakes in where the real one would need a network or a socket.
  struct Effects {
    std::function<void(std::vector<SharedServiceInfo>, Gateway::Access)> updateGateway;
    std::function<void()> startGateway;
    std::function<void()> restartGateway;
    std::function<void(const std::string &peerID)> revokeAtGateway;
    // Drops the relayed connections of one paired Mac to one share (share id in upper case).
    std::function<void(const std::string &peerID, const std::string &serviceID)>
        disconnectAtGateway;
    std::function<void()> startDiscovery;
    std::function<void(std::vector<ProxyManager::Route>, std::unordered_map<std::string, PairKeys>)>
        updateProxy;
    std::function<void(const std::string &peerID)> stopProxyPeer;
    // Resets the proxy's streams to one paired Mac; its routes stay.
    std::function<void(const std::string &peerID)> resetProxyPeer;
    std::function<void(const std::shared_ptr<PeerLink> &)> startLink;
    std::function<void(const std::shared_ptr<PeerLink> &)> stopLink;
    std::function<void(const std::shared_ptr<PeerLink> &, Endpoint, bool force)> updateLinkEndpoint;
    // Probing this Mac's shares. Each calls back exactly once, from any thread: whether the
    // host accepted a TCP connection on the port within the time-out; the version of what
    // answers there; whether it answers like the kind.
    std::function<void(const Endpoint::Host &, int port, double timeout, std::function<void(bool)>)>
        accepts;
    std::function<void(const std::string &name, int port, ServiceCategory, const Endpoint::Host &,
                       std::function<void(std::optional<std::string>)>)>
        readVersion;
    std::function<void(const ServiceVersion::Kind &, int port, const Endpoint::Host &,
                       std::function<void(bool)>)>
        checkAnswersLikeKind;
    std::function<BindResult(AddressFamily, int)> canBindLoopbackPort;
    std::function<bool(AddressFamily, int)> isPortListening;
    // Asks the sharing control to show the new state.
    std::function<void()> reloadControls;
    // Starts observing the control's request notification; the observation ends when the
    // returned object goes. Without it no request arrives while running.
    std::function<std::shared_ptr<void>(std::function<void()> posted)> observeControlRequests;
    // Notifications, sleep and wake. Shows one note to the user.
    std::function<void(const NotificationRules::Note &)> postNote;
    // Sends the wake packets for these hardware addresses; how many went out.
    std::function<int(const std::vector<std::string> &hardware)> sendWake;
    // Starts watching this machine's sleep and wake; the watching ends when the returned object
    // goes. `willSleep` gets a completion to call once links and listeners are let go.
    std::function<std::shared_ptr<void>(std::function<void(std::function<void()> done)> willSleep,
                                        std::function<void()> didWake)>
        watchSleep;
  };

  // What the manager runs on; the application's choices where a field is left empty.
  struct Setup {
    std::shared_ptr<MainQueue> mainQueue; // required
    std::shared_ptr<SecretStore> store;   // required
    bool isPreview = false;
    double noticeLifetime = defaultNoticeLifetime;
    // The standard domain; in memory for a preview instance.
    std::shared_ptr<UserDefaults> defaults;
    // The app group's defaults; none in preview.
    std::shared_ptr<UserDefaults> controlDefaults;
    std::shared_ptr<DnsSd> dnsSd;         // avahi-daemon
    std::shared_ptr<const WifiName> wifi; // NetworkManager
    std::optional<std::string> hostName;  // this machine's name
    std::optional<std::uint16_t> gatewayPort = gatewayPreferredPort;
    std::optional<std::uint16_t> pairingPort = pairingPreferredPort;
    Gateway::Options gateway;
    PeerLink::Options link;
    ProxyManager::Options proxy;
    double discoveryRestartDelay = Discovery::defaultRestartDelay;
    // Seconds on a clock that keeps counting through sleep, and dates.
    std::function<double()> continuousClock;
    std::function<Date()> dateClock;
    // Pacing of the probes of this Mac's shares; the tests of the whole road shorten them.
    double probeEvery = probeInterval;
    double healthCheckEvery = healthCheckInterval;
    Effects effects;
  };

  // The application's manager: secrets and settings in memory under the test harness
  // (preview), else the key store and the settings files.
  static std::shared_ptr<ServiceManager> makeSharedServiceManager(std::shared_ptr<MainQueue> queue);
  // Creates the components and, unless in preview, starts them. Call on the main queue.
  static std::shared_ptr<ServiceManager> create(Setup setup);
  ~ServiceManager();

  ServiceManager(const ServiceManager &) = delete;
  ServiceManager &operator=(const ServiceManager &) = delete;

  // Stops links, routes, discovery and timers, marks sharing as not running for the control,
  // and waits until every queue has let go. The manager does nothing afterwards.
  void shutdown();

  // Published state. Write the notice through setNotice.
  Published<Preferences> preferences;
  Published<std::vector<PairedPeer>> pairedPeers;
  Published<std::set<std::string>> onlinePeerIDs;
  Published<std::optional<std::uint16_t>> gatewayPort;
  Published<std::vector<IncomingService>> incoming;
  Published<std::vector<OutgoingService>> outgoing;
  Published<std::optional<std::string>> notice;
  Published<std::optional<std::string>> sharingTip;
  Published<std::optional<EnvironmentPrompt>> environmentPrompt;
  Published<std::optional<ExposedService>> hintsPrompt;
  Published<std::optional<IncomingService>> portPrompt;
  Published<std::optional<ProblemReport>> explaining;
  Published<std::set<std::string>> wakingPeerIDs;
  Published<std::optional<std::string>> networkName;
  Published<std::optional<std::string>> wifiName;
  Published<SharingState> sharingState;
  Published<NetworkName::Permission> locationPermission{NetworkName::Permission::allowed};
  Published<std::string> deviceName;
  Published<AccessLog> accessLog;
  Published<std::map<std::string, bool>> forwardSecret;

  // The notice and its clearing: it clears itself noticeLifetime seconds after it is shown
  // while the panel is visible.
  void setNotice(std::optional<std::string> text);
  void setPanelVisible(bool visible);
  bool isPanelVisible() const { return panelVisible; }
  void scheduleNoticeClear();

  // Settings.
  static Preferences loadPreferences(UserDefaults &defaults);
  static void savePreferences(const Preferences &preferences, UserDefaults &defaults);
  // A save that failed (the settings, the access log, the control's state) is tried again on
  // its own, the pause doubling from the first up to the cap, and once more at shutdown.
  static constexpr double saveRetryFirst = 1;
  static constexpr double saveRetryCap = 15;
  // Tries every save that failed again; true when nothing is left unsaved.
  bool retryFailedSaves();

  // Relays of the components' reports, after the hop to the main queue.
  void relayPeerStoreChange();
  void relayDiscoveryChange(std::vector<NearbyDevice> devices);
  void relayGatewayReady(std::uint16_t port);
  void relayPeerAddress(const std::string &deviceID, const std::optional<std::string> &host);
  void relayConnectionAccepted(const std::string &peerID, const std::string &serviceID);
  void relayGatewaySessions(std::vector<Gateway::Session> list);
  void relayRouteStatus(const RouteKey &key, const ProxyManager::Status &status);
  void relayRouteRefusal(const RouteKey &key, const std::optional<std::string> &text);
  void relayRouteActivity(const RouteKey &key, int count);
  void relayNetworkChange();
  void refreshPairedPeers();
  void publishSharingToControl();

  // This Mac's shares.
  void recomputeOutgoing();
  static std::vector<ShareUser> shareUsers(const std::string &serviceID,
                                           const std::vector<Gateway::Session> &sessions,
                                           const std::map<std::string, std::string> &names);
  struct Announcement {
    std::vector<SharedServiceInfo> services;
    Gateway::Access access;
  };
  Announcement announceShares() const;
  static std::vector<SharedServiceInfo>
  sanitizeReceivedServices(const std::vector<SharedServiceInfo> &list);

  // Sharing state.
  void refreshNetworkName();
  void updateSharingState();
  void applyControlRequest();
  void rebuildPairKeys();

  // Links to paired Macs.
  std::string peerDisplayName(const std::string &deviceID) const;
  void ensurePeerLinks(const std::optional<std::string> &forceFor = std::nullopt);
  static std::map<std::string, NearbyDevice>
  buildNearby(const std::map<std::string, NearbyDevice> &discovered,
              const std::optional<std::map<std::string, std::string>> &addresses,
              const std::vector<PairedPeer> &pairedPeers);
  void refreshOnlinePeers();
  void handleLinkEvent(std::vector<SharedServiceInfo> services, std::vector<std::string> hardware,
                       std::optional<std::string> name, const std::string &deviceID);
  void applyLatency(const std::string &deviceID, double sample);
  void applySecurity(const std::string &deviceID, bool ok);
  void handlePeerUnpaired(const std::string &deviceID);
  void handleLinkLost(const std::string &deviceID);
  // The Mac has answered nothing on its link for the silence limit: it has gone without a word.
  void handleLinkSilence(const std::string &deviceID);

  // Incoming ports and routes.
  void reconcileIncoming();
  static std::string routeTextKey(const RouteKey &key);
  struct IncomingGroup {
    std::optional<std::string> environment;
    std::vector<IncomingService> rows;
    bool operator==(const IncomingGroup &) const = default;
  };
  static std::vector<IncomingGroup>
  groupIncomingByEnvironment(const std::vector<IncomingService> &rows);

  // Sharing switches.
  void setSharingPaused(bool paused);
  void setShareEnabled(const std::string &serviceID, bool on);
  void setEnvironmentEnabled(const std::string &environmentID, bool on);
  bool isStillConnecting(const std::string &peerID) const;
  void trustNetwork(const std::string &name);
  void stopTrustingNetwork(const std::string &name);
  void requestLocationPermission();
  void setIncomingEnabled(const std::string &peerID, const std::string &serviceID, bool on);

  // Forgetting a paired Mac: its keys, its settings and its log entries.
  void unpair(const std::string &deviceID);

  // Adding shares, and importing a compose file's ports as one environment.
  ShareBatchResult addShares(const std::vector<ShareCandidate> &candidates);
  std::optional<ExposedService::ValidationError> addShare(const std::string &name, int port,
                                                          ExposedService::ServiceCategory category);
  struct EnvironmentImport {
    std::optional<std::string> environmentID; // absent: nothing was shared
    std::vector<ShareBatchResult::Failure> failed;
    bool operator==(const EnvironmentImport &) const = default;
  };
  EnvironmentImport shareAsEnvironment(const std::string &name,
                                       const std::vector<ShareCandidate> &candidates);
  std::optional<ShareEnvironment> findEnvironment(const std::string &serviceID) const;
  std::optional<ExposedService::ValidationError>
  checkEnvironmentName(const std::string &name) const;
  std::optional<ShareEnvironment> environmentNamed(const std::string &name) const;
  std::expected<std::string, ExposedService::ValidationError>
  validateEnvironmentName(const std::string &name,
                          const std::optional<std::string> &skipID = std::nullopt) const;

  // Editing one share or environment. Unknown ids change nothing.
  void setHints(const std::string &serviceID, const std::optional<ShareHints> &hints);
  void setAllowedPeers(const std::string &serviceID,
                       const std::optional<std::set<std::string>> &allowed);
  void setPeerAllowed(const std::string &serviceID, const std::string &deviceID, bool on);
  void setExpiry(const std::string &serviceID, std::optional<Date> end);
  void assignEnvironment(const std::string &serviceID,
                         const std::optional<std::string> &environmentID);
  void removeShare(const std::string &serviceID);
  // Cuts off a Mac connected to a share now; it keeps its right to the share and may connect
  // again.
  void disconnectShareUser(const std::string &peerID, const std::string &serviceID);
  void ungroupEnvironment(const std::string &environmentID);
  std::optional<ExposedService::ValidationError>
  createEnvironment(const std::string &name, const std::vector<std::string> &serviceIDs);
  std::optional<ExposedService::ValidationError> renameEnvironment(const std::string &environmentID,
                                                                   const std::string &name);
  // Takes the share out of every environment and drops environments left empty; does not save.
  void detachFromEnvironments(const std::string &serviceID);

  // A paired Mac's nickname, typed address, last-seen phrase and version notice; this Mac's name.
  void setNickname(const std::string &deviceID, const std::optional<std::string> &text);
  std::optional<ManualAddress::Problem> setManualAddress(const std::string &deviceID,
                                                         const std::optional<std::string> &text);
  std::optional<std::string> manualAddress(const std::string &deviceID) const;
  std::string lastSeenText(const std::string &deviceID) const;
  std::optional<std::string> olderVersionNotice(const std::string &deviceID) const;
  bool canWake(const std::string &deviceID) const;
  // Sends wake packets to a paired Mac with known hardware addresses and judges whether it woke;
  // a Mac already being woken is left alone.
  void wakePeer(const std::string &deviceID);
  void setDeviceName(const std::string &text);
  // The name this machine goes by when the user chose none.
  static std::string systemDeviceName(const std::optional<std::string> &hostName);

  // The local port of an incoming port, the access log and the notification switches.
  std::optional<PortChoiceProblem>
  setLocalPort(const std::string &deviceID, const std::string &serviceID, int port, bool automatic);
  void clearAccessLog();
  void setNotifyFirstUse(bool on);
  void setNotifyServiceDown(bool on);
  void setNotifyMacBack(bool on);

  // Probing this Mac's shares: one pass at once, then every probeInterval seconds. A pass
  // sweeps expired shares, finds which loopback host answers each share's port, announces,
  // reads the versions and, when due, checks the shares' health.
  void startTimers();
  Task probeSharedPorts();
  // Shares whose time is at or before `now` are switched off; saves and announces on change.
  void expireShares(Date now);
  // Whether a local port can be taken on both loopback addresses; never outside 1...65535.
  bool isLoopbackPortFree(int port) const;
  // The version follow-up and the health check of a pass; `done` is called when they end.
  Task refreshShareVersions(std::function<void()> done = {});
  Task checkShareHealth(std::function<void()> done = {});
  void recordHealth(const std::string &shareID, bool answered);
  const std::map<int, Endpoint::Host> &running() const { return runningHosts; }
  const std::map<std::string, std::string> &shareVersions() const { return versions; }
  const std::map<std::string, bool> &shareResponding() const { return responding; }
  const std::map<std::string, HealthTracker> &healthTracking() const { return healthTrackers; }

  // The access log is saved shortly after its first unsaved change.
  void scheduleAccessLogSave();

  // Notices and notifications, sleep and wake, and waking a paired Mac.
  // Ports count as recently used this long after their last use; uses are forgotten after a day.
  static constexpr double recentUseWindow = 3600;
  static constexpr double usageMemory = 86400;
  // A Mac that comes back is announced after at least this long away.
  static constexpr double backAbsence = 600;
  // No back note when this Mac went to sleep later than this before the Mac was last seen.
  static constexpr double sleptBeforeSeen = 60;
  static constexpr int wakeSendings = 3;
  static constexpr double wakeSendPause = 1;
  static constexpr double wakeJudgement = 25;
  static constexpr double justWokeFor = 60;
  static constexpr const char *wakeUnsentText = "Couldn't send the wake signal on this network.";
  static constexpr const char *didNotWakeText =
      " didn't wake. It may be off, away, or have Wake for network access turned off.";
  // Called with the incoming rows every time they are rebuilt.
  void evaluateNotifications(const std::vector<IncomingService> &rows);
  // A paired Mac sent its first services after having none; `woke`: this Mac had woken it.
  void announceMacBack(const std::string &peerID, bool woke);
  // Shows a note, unless in preview.
  void postNote(const NotificationRules::Note &note);
  // Runs `action` on the main queue whenever the user clicks a note shown on the desktop.
  void setNoteClickAction(std::function<void()> action);
  // Writes what is still waiting to be saved: the access log and the last-seen times.
  void flushPendingSaves();
  void systemWillSleep();
  void systemDidWake();
  // Starts the wake packets for a Mac the user asked to wake (already in wakingPeerIDs) and the
  // judgement whether it woke; `name` is its display name when the user asked.
  void waitForWake(std::vector<std::string> hardware, std::string deviceID, std::string name);
  // Starts the follow-up that ends a woken Mac's just-woken mark.
  void expireWokeAt(std::string deviceID);
  // The end of that follow-up: the Mac's ports lose the just-woken mark.
  void forgetWoken(const std::string &deviceID);
  bool isStopped() const { return stopped_; }
  const NotificationRules &rules() const { return notificationRules; }
  const std::unordered_map<RouteKey, Date> &usage() const { return lastUsed; }
  const std::map<std::string, Date> &woken() const { return wokeAt; }
  std::optional<double> settleEnd() const { return settlingUntil; }

  // For the views and tests.
  bool preview() const { return isPreview; }
  const std::string &myDeviceID() const { return deviceID_; }
  const std::shared_ptr<PairingCoordinator> &pairingCoordinator() const { return pairing; }
  const std::shared_ptr<PairedPeerStore> &peers() const { return peerStore; }
  const std::shared_ptr<MainQueue> &mainQueue() const { return mainQueue_; }
  UserDefaults &standardDefaults() { return *defaults_; }
  // Working state, read by the views' helpers and by tests.
  const std::map<std::string, NearbyDevice> &nearbyDevices() const { return nearby; }
  const std::map<std::string, std::shared_ptr<PeerLink>> &peerLinks() const { return links; }
  const std::map<std::string, std::vector<SharedServiceInfo>> &live() const { return liveServices; }
  const std::unordered_map<RouteKey, int> &assigned() const { return assignedPorts; }

private:
  explicit ServiceManager(Setup setup);

  void start();
  void installCallbacks();
  // Stops the program, in the checked build, when called off the main queue.
  void expectMainQueue() const;
  // Runs `work` on the main queue with the manager, if it still exists.
  template <typename Work> void hop(Work work) {
    mainQueue_->post([weak = weak_from_this(), work = std::move(work)]() mutable {
      if (auto self = weak.lock(); self && !self->stopped_)
        work(*self);
    });
  }

  void save();
  // Starts the retries of failed saves unless they run already.
  void scheduleSaveRetry();
  void watchFailedSaves();
  // At shutdown: the last try, and a log of what is lost.
  void saveForTheLastTime();
  // The announcement to the gateway, then the outgoing rows.
  void pushShares();
  // The first usable candidate for a route's local port; `inUse` holds the ports taken here,
  // `givenUp` those the route gave up in this run. `rememberedTaken` tells whether the
  // remembered port was passed over because another program holds it.
  std::optional<int> chooseLocalPort(int remotePort, std::optional<int> remembered,
                                     const std::set<int> &inUse, const std::set<int> &givenUp,
                                     bool &rememberedTaken);
  bool isLoopbackCandidateUsable(int port) const;
  // The real probes wherever the setup left one empty.
  void installProbeEffects();
  double now() const { return continuousClock_(); }
  Date date() const { return dateClock_(); }
  std::shared_ptr<PeerLink> makeLink(const PairedPeer &peer, const NearbyDevice &device,
                                     const PairKeys &keys);

  // Fixed at creation.
  std::shared_ptr<MainQueue> mainQueue_;
  std::shared_ptr<SecretStore> store_;
  std::shared_ptr<UserDefaults> defaults_;
  std::shared_ptr<DnsSd> dnsSd_;
  Setup setup_;
  Effects effects_;
  std::function<double()> continuousClock_;
  std::function<Date()> dateClock_;
  bool isPreview;
  double noticeLifetime;
  std::string deviceID_;

  // Components, created once and never replaced.
  DeviceIdentity identity;
  std::shared_ptr<PairedPeerStore> peerStore;
  std::shared_ptr<Discovery> discovery;
  std::shared_ptr<Gateway> gateway;
  std::shared_ptr<ProxyManager> proxies;
  std::shared_ptr<PairingCoordinator> pairing;
  std::shared_ptr<SerialQueue> linkQueue;
  std::unique_ptr<NetworkName> network;
  std::optional<ControlBridge> control;

  // Working state.
  Task noticeClear;
  bool panelVisible = false;
  std::map<std::string, NearbyDevice> discovered;
  std::map<std::string, NearbyDevice> nearby;
  std::map<std::string, std::shared_ptr<PeerLink>> links;
  std::unordered_map<std::string, PairKeys> pairKeys;
  std::map<std::string, std::vector<SharedServiceInfo>> liveServices;
  // Shares beyond receivedServicesLimit in a Mac's list, as last logged; absent when none.
  std::map<std::string, std::size_t> droppedShares;
  std::map<std::string, double> latency;
  Task logSave;
  std::unordered_map<RouteKey, int> assignedPorts;
  std::unordered_map<RouteKey, ProxyManager::Status> routeStatus;
  std::unordered_map<RouteKey, std::string> routeProblems;
  std::unordered_map<RouteKey, int> activeRoutes;
  // Ports a route gave up in this run because another program took them on ::1 after the check;
  // kept while the route's share is live, so that the next choice does not walk back into one.
  std::unordered_map<RouteKey, std::set<int>> givenUpPorts;
  // The proxy gave up the route's port `port`: the route moves to another one.
  void moveTakenRoute(const RouteKey &key, int port);
  // When a remembered route port's share was first found gone, by "<peer id>/<share id>".
  std::unordered_map<std::string, double> routePortGoneSince;
  struct LogBudget {
    double since = 0;
    int used = 0;
  };
  std::unordered_map<RouteKey, LogBudget> routeLogBudget;
  // Whether a line of this route (named `route`) may be logged now; says once a window when
  // its lines are held back.
  bool mayLogRouteLine(const RouteKey &key, const std::string &route);
  // "\"<share name>\" of <Mac>", for the log.
  std::string routeLogName(const RouteKey &key) const;
  // Streams of a route that could not be opened since its last line about them.
  struct RefusalLog {
    std::size_t unopened = 0;
    std::optional<double> lastLine;
    // The latest reason, and whether a line for what the interval held back is due.
    std::string latest;
    bool due = false;
  };
  std::unordered_map<RouteKey, RefusalLog> refusalLogs;
  // Counts one such stream and logs the count unless a line went out within the interval; what
  // the interval held back is logged once it is over.
  void logRefusedStream(const RouteKey &key, const std::string &text);
  void writeRefusalLine(const RouteKey &key, RefusalLog &counted);
  std::map<int, Endpoint::Host> runningHosts;
  std::vector<Gateway::Session> sessions;
  std::map<std::string, std::string> versions;
  std::set<std::string> versionChecked;
  std::map<std::string, Date> wokeAt;
  std::unordered_map<RouteKey, Date> lastUsed;
  std::optional<double> settlingUntil;
  Task probeTimer;
  std::map<std::string, bool> responding;
  std::map<std::string, HealthTracker> healthTrackers;
  double nextHealthCheck = -1e300;
  // Probe passes overlap: each is numbered, and a pass older than the last applied one is
  // dropped. One health check at a time, so that no check counts twice.
  std::uint64_t probePasses = 0;
  std::uint64_t appliedProbePass = 0;
  bool healthCheckRunning = false;
  std::shared_ptr<void> controlObservation;
  std::unique_ptr<ProbePool> probePool;
  // Notifications, sleep and wake.
  NotificationRules notificationRules;
  std::unique_ptr<SystemNotifier> notifier;
  std::shared_ptr<void> sleepWatch;
  std::vector<Task> wakeTasks;
  bool lastSeenUnsaved = false;
  Task saveRetry;
  bool controlUnpublished = false;
  void startSleepWatch();
  void keepWakeTask(Task task);
  // Calls `done`, from another thread, once the proxy and link queues ran what is posted.
  void afterLettingGo(std::function<void()> done);
  bool stopped_ = false;
};

} // namespace corvane

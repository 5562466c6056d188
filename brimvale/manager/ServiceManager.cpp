// State and start-up of the service manager, the panel notice, and the way out.
#include "brimvale/manager/ServiceManager.h"

#include "brimvale/integrations/SystemNotifier.h"
#include "brimvale/network/Wake.h"
#include "brimvale/platform/AvahiDnsSd.h"
#include "brimvale/platform/HostName.h"
#include "brimvale/platform/KeychainStore.h"
#include "brimvale/platform/Logger.h"
#include "brimvale/platform/MemorySecretStore.h"
#include "brimvale/platform/NamedNotification.h"
#include "brimvale/platform/QueueContract.h"
#include "brimvale/platform/RegistryDnsSd.h"
#include "brimvale/platform/SerialQueue.h"
#include "brimvale/platform/Unicode.h"

#include <cstdlib>

namespace corvane {

namespace {

Task clearNoticeAfter(std::weak_ptr<ServiceManager> weak, std::weak_ptr<MainQueue> queue,
                      std::string text, double lifetime) {
  if (!co_await sleep(queue, lifetime))
    co_return;
  auto self = weak.lock();
  // A newer notice is never cleared by the task of an older one.
  if (self && self->notice.get() == text)
    self->setNotice(std::nullopt);
}

} // namespace

// The host name's first label.
std::string ServiceManager::systemDeviceName(const std::optional<std::string> &given) {
  if (given && !given->empty())
    return *given;
  if (auto name = localHostName()) {
    constexpr std::string_view suffix = ".local";
    if (name->ends_with(suffix))
      name->resize(name->size() - suffix.size());
    if (!name->empty())
      return *name;
  }
  return "Mac";
}

std::shared_ptr<ServiceManager>
ServiceManager::makeSharedServiceManager(std::shared_ptr<MainQueue> queue) {
  Setup setup;
  setup.mainQueue = std::move(queue);
  setup.isPreview = std::getenv(previewVariable) != nullptr;
  if (setup.isPreview)
    setup.store = std::make_shared<MemorySecretStore>();
  else
    setup.store = std::make_shared<KeychainStore>(KeychainStore::applicationService);
  return create(std::move(setup));
}

std::shared_ptr<ServiceManager> ServiceManager::create(Setup setup) {
  std::shared_ptr<ServiceManager> manager(new ServiceManager(std::move(setup)));
  manager->start();
  return manager;
}

ServiceManager::ServiceManager(Setup setup)
    : mainQueue_(setup.mainQueue), store_(setup.store), setup_(setup), effects_(setup.effects),
      isPreview(setup.isPreview), noticeLifetime(setup.noticeLifetime),
      identity(DeviceIdentity::loadOrCreateIdentity(*setup.store)) {
  continuousClock_ = setup.continuousClock ? setup.continuousClock : [] { return continuousNow(); };
  dateClock_ = setup.dateClock ? setup.dateClock : [] { return referenceDateNow(); };

  // A preview instance reads and writes no settings of the user's.
  defaults_ = setup.defaults ? setup.defaults
              : isPreview    ? std::shared_ptr<UserDefaults>(UserDefaults::inMemory())
                             : std::make_shared<UserDefaults>(UserDefaults::standardDomain);
  if (setup.dnsSd)
    dnsSd_ = setup.dnsSd;
  else if (isPreview)
    dnsSd_ = RegistryDnsSd::create(DnsSdRegistry::create());
  else
    dnsSd_ = AvahiDnsSd::create();

  // Step 1: discovery, the links queue and the network name.
  discovery = Discovery::create(serviceType, dnsSd_, setup.discoveryRestartDelay);
  linkQueue = SerialQueue::create("corvane.links");
  std::shared_ptr<const WifiName> wifi = setup.wifi;
  if (!wifi && !isPreview)
    wifi = makeNetworkManagerWifiName();
  network = std::make_unique<NetworkName>(*defaults_, wifi);

  // Steps 2 and 3: the control's defaults and the notifier.
  if (setup.controlDefaults)
    control.emplace(setup.controlDefaults);
  else if (!isPreview)
    control.emplace();
  if (!isPreview && !setup.effects.postNote)
    notifier = std::make_unique<SystemNotifier>();

  // Steps 4 to 6: settings, access log, name and ports.
  if (!isPreview) {
    preferences.set(loadPreferences(*defaults_));
    accessLog.set(AccessLog::load(*defaults_));
  }
  std::string name = systemDeviceName(setup.hostName);
  if (!isPreview)
    if (auto stored = defaults_->string(deviceNameKey); stored && !stored->empty())
      name = *stored;
  deviceName.set(name);
  const auto gatewayPreferred = isPreview ? std::nullopt : setup.gatewayPort;
  const auto pairingPreferred = isPreview ? std::nullopt : setup.pairingPort;

  // Steps 7 to 10: identity (above), peer store, gateway, proxy and pairing.
  deviceID_ = identity.deviceID();
  peerStore = std::make_shared<PairedPeerStore>(store_);
  Gateway::Options gatewayOptions = setup.gateway;
  gatewayOptions.advertise = true;
  gatewayOptions.preferredPort = gatewayPreferred;
  gateway = Gateway::create(identity, peerStore, deviceName.get(), dnsSd_, gatewayOptions);
  proxies = ProxyManager::create(deviceID_, setup.proxy);
  PairingCoordinator::Options pairingOptions;
  pairingOptions.preferredPort = pairingPreferred;
  pairing = PairingCoordinator::create(identity, peerStore, characterPrefix(deviceName.get(), 64),
                                       dnsSd_, mainQueue_, pairingOptions);

  // The real effects wherever the setup left one empty.
  auto &e = effects_;
  if (!e.updateGateway)
    e.updateGateway = [gateway = gateway](std::vector<SharedServiceInfo> services,
                                          Gateway::Access access) {
      gateway->updateServices(std::move(services), std::move(access));
    };
  if (!e.startGateway)
    e.startGateway = [gateway = gateway] { gateway->start(); };
  if (!e.restartGateway)
    e.restartGateway = [gateway = gateway] { gateway->restart(); };
  if (!e.revokeAtGateway)
    e.revokeAtGateway = [gateway = gateway](const std::string &peerID) { gateway->revoke(peerID); };
  if (!e.disconnectAtGateway)
    e.disconnectAtGateway = [gateway = gateway](const std::string &peerID,
                                                const std::string &serviceID) {
      gateway->disconnect(peerID, serviceID);
    };
  if (!e.startDiscovery)
    e.startDiscovery = [discovery = discovery] { discovery->start(); };
  if (!e.updateProxy)
    e.updateProxy = [proxies = proxies](std::vector<ProxyManager::Route> routes,
                                        std::unordered_map<std::string, PairKeys> keys) {
      proxies->update(std::move(routes), std::move(keys));
    };
  if (!e.stopProxyPeer)
    e.stopProxyPeer = [proxies = proxies](const std::string &peerID) {
      proxies->queue()->post([proxies, peerID] { proxies->stopPeer(peerID); });
    };
  if (!e.resetProxyPeer)
    e.resetProxyPeer = [proxies = proxies](const std::string &peerID) {
      proxies->queue()->post([proxies, peerID] { proxies->resetPeer(peerID); });
    };
  if (!e.startLink)
    e.startLink = [queue = linkQueue](const std::shared_ptr<PeerLink> &link) {
      queue->post([link] { link->start(); });
    };
  if (!e.stopLink)
    e.stopLink = [queue = linkQueue](const std::shared_ptr<PeerLink> &link) {
      queue->post([link] { link->stop(); });
    };
  if (!e.updateLinkEndpoint)
    e.updateLinkEndpoint = [queue = linkQueue](const std::shared_ptr<PeerLink> &link,
                                               Endpoint endpoint, bool force) {
      queue->post(
          [link, endpoint = std::move(endpoint), force] { link->updateEndpoint(endpoint, force); });
    };
  installProbeEffects();
  if (!e.reloadControls)
    e.reloadControls = [] { postNamedNotification(ControlBridge::controlKind); };
  if (!e.observeControlRequests)
    e.observeControlRequests =
        [queue = mainQueue_.get()](std::function<void()> posted) -> std::shared_ptr<void> {
      return NamedNotificationObserver::make(ControlBridge::requestNotification, *queue,
                                             std::move(posted));
    };
  if (!e.sendWake)
    e.sendWake = [](const std::vector<std::string> &hardware) {
      UdpBroadcastSender sender;
      return sendWake(hardware, sender);
    };
  if (!e.canBindLoopbackPort)
    e.canBindLoopbackPort = [](AddressFamily family, int port) {
      return corvane::canBindLoopbackPort(family, port);
    };
  if (!e.isPortListening)
    e.isPortListening = [](AddressFamily family, int port) {
      return corvane::isPortListening(family, port);
    };
}

ServiceManager::~ServiceManager() {
  shutdown();
}

void ServiceManager::start() {
  if (!isPreview) {
    watchFailedSaves();
    // What loading could not save is tried again like any other failed save.
    if (defaults_->hasUnsavedChanges())
      scheduleSaveRetry();
  }
  // Step 11: the paired Macs.
  refreshPairedPeers();

  // Step 12: a request the control filed while the application was not running.
  if (control) {
    if (const auto paused = control->takeControlRequest()) {
      preferences.modify([&](Preferences &p) {
        p.sharingPaused = *paused ? std::optional<bool>(true) : std::nullopt;
      });
      if (!isPreview)
        save();
    }
  }
  // Step 13.
  publishSharingToControl();
  if (isPreview)
    return;

  // Step 14.
  settlingUntil = now() + settleWindow;
  installCallbacks();
  startSleepWatch();
  if (control && effects_.observeControlRequests) {
    controlObservation =
        effects_.observeControlRequests([weak = weak_from_this(), queue = mainQueue_] {
          queue->post([weak] {
            if (auto self = weak.lock(); self && !self->stopped_)
              self->applyControlRequest();
          });
        });
  }
  network->onChange = [weak = weak_from_this()] {
    if (auto self = weak.lock(); self && !self->stopped_)
      self->relayNetworkChange();
  };

  refreshNetworkName();
  updateSharingState();
  rebuildPairKeys();
  effects_.startGateway();
  effects_.startDiscovery();
  reconcileIncoming();
  recomputeOutgoing();
  startTimers();
}

void ServiceManager::installCallbacks() {
  std::weak_ptr<ServiceManager> weak = weak_from_this();
  auto queue = mainQueue_;
  // Each report goes to the main queue, where the manager (if it still exists) takes it.
  auto hopTo = [weak, queue](auto work) {
    queue->post([weak, work = std::move(work)]() mutable {
      if (auto self = weak.lock(); self && !self->stopped_)
        work(*self);
    });
  };

  peerStore->setOnChange([hopTo](const std::vector<PairedPeer> &) {
    hopTo([](ServiceManager &m) { m.relayPeerStoreChange(); });
  });
  discovery->onChange = [hopTo](std::vector<NearbyDevice> devices) {
    hopTo([devices = std::move(devices)](ServiceManager &m) mutable {
      m.relayDiscoveryChange(std::move(devices));
    });
  };
  gateway->setOnReady([hopTo](std::uint16_t port) {
    hopTo([port](ServiceManager &m) { m.relayGatewayReady(port); });
  });
  // The coordinator already calls on the main queue.
  pairing->onPaired = [weak](std::string deviceID, std::optional<std::string> host) {
    if (auto self = weak.lock(); self && !self->stopped_)
      self->relayPeerAddress(deviceID, host);
  };
  gateway->setOnAccepted([hopTo](std::string peerID, std::string serviceID) {
    hopTo([peerID = std::move(peerID), serviceID = std::move(serviceID)](ServiceManager &m) {
      m.relayConnectionAccepted(peerID, serviceID);
    });
  });
  gateway->setOnSessions([hopTo](std::vector<Gateway::Session> list) {
    hopTo([list = std::move(list)](ServiceManager &m) mutable {
      m.relayGatewaySessions(std::move(list));
    });
  });
  proxies->setOnStatus([hopTo](const RouteKey &key, const ProxyManager::Status &status) {
    hopTo([key, status](ServiceManager &m) { m.relayRouteStatus(key, status); });
  });
  proxies->setOnRefusal([hopTo](const RouteKey &key, const std::optional<std::string> &text) {
    hopTo([key, text](ServiceManager &m) { m.relayRouteRefusal(key, text); });
  });
  proxies->setOnActivity([hopTo](const RouteKey &key, int count) {
    hopTo([key, count](ServiceManager &m) { m.relayRouteActivity(key, count); });
  });
}

void ServiceManager::expectMainQueue() const {
  expectOnQueue(*mainQueue_, "ServiceManager: every operation on the main queue");
}

void ServiceManager::shutdown() {
  if (stopped_)
    return;
  expectMainQueue();
  stopped_ = true;
  noticeClear.cancel();
  probeTimer.cancel();
  controlObservation.reset();
  // Waits for the probes in flight; their results find the manager stopped.
  probePool.reset();
  // Nothing of the log or the last-seen times is lost to a save that was still waiting.
  flushPendingSaves();
  for (const auto &task : wakeTasks)
    task.cancel();
  wakeTasks.clear();
  sleepWatch.reset();
  for (const auto &[peerID, link] : links)
    effects_.stopLink(link);
  links.clear();
  if (!isPreview) {
    discovery->stop();
    proxies->stopAll();
    pairing->stopPairing();
    if (control) {
      control->publishStopped();
      if (effects_.reloadControls)
        effects_.reloadControls();
    }
    saveForTheLastTime();
  }
  // Let every queue finish what is already posted before the components go.
  discovery->queue()->sync([] {});
  proxies->queue()->sync([] {});
  gateway->queue()->sync([] {});
  linkQueue->sync([] {});
}

void ServiceManager::setNotice(std::optional<std::string> text) {
  expectMainQueue();
  notice.set(std::move(text));
  scheduleNoticeClear();
}

void ServiceManager::setPanelVisible(bool visible) {
  expectMainQueue();
  if (panelVisible == visible)
    return;
  panelVisible = visible;
  scheduleNoticeClear();
}

void ServiceManager::scheduleNoticeClear() {
  expectMainQueue();
  noticeClear.cancel();
  noticeClear = Task();
  if (!notice.get() || !panelVisible || stopped_)
    return;
  noticeClear = clearNoticeAfter(weak_from_this(), mainQueue_, *notice.get(), noticeLifetime);
}

} // namespace corvane

#pragma once

#include "brimvale/panels/PanelContext.h"
#include "brimvale/platform/UrlOpener.h"
#include "tests/manager/ManagerFixture.h"

#include <QCoreApplication>
#include <QEvent>
#include <QMenu>
#include <QWidget>

namespace corvane::testing {

// Share ids of the fixture's own shares.
inline const std::string dbShare = "0D000000-0000-4000-8000-000000000001";
inline const std::string apiShare = "0D000000-0000-4000-8000-000000000002";
inline const std::string cacheShare = "0D000000-0000-4000-8000-000000000003";
inline const std::string docsShare = "0D000000-0000-4000-8000-000000000004";
inline const std::string devEnvironment = "0E000000-0000-4000-8000-000000000001";

// Service ids the paired Macs offer.
inline const std::string pgService = "0A000000-0000-4000-8000-000000000001";
inline const std::string redisService = "0A000000-0000-4000-8000-000000000002";
inline const std::string webService = "0A000000-0000-4000-8000-000000000003";
inline const std::string queueService = "0A000000-0000-4000-8000-000000000004";
inline const std::string searchService = "0A000000-0000-4000-8000-000000000005";
inline const std::string mailService = "0A000000-0000-4000-8000-000000000006";

// A real service manager (fake components, virtual time) with paired Macs, ports in every
// state and shares in every state, and the context the panels are built with.
class PanelTest : public ManagerTest {
protected:
  static ExposedService share(const std::string &id, const std::string &name, int port) {
    ExposedService service;
    service.id = id;
    service.name = name;
    service.port = port;
    service.category = ExposedService::ServiceCategory::database;
    return service;
  }

  // Shares: running and used; paused; not running; expiring and only for one Mac. "API" and
  // "Docs" form the environment "Dev".
  void makeWithShares() {
    Preferences p;
    p.services = {share(dbShare, "Postgres", 5432), share(apiShare, "API", 8080),
                  share(cacheShare, "Cache", 6379), share(docsShare, "Docs", 4000)};
    p.services[1].enabled = false;
    p.environments = std::vector<ShareEnvironment>{{devEnvironment, "Dev", {apiShare, docsShare}}};
    savePreferences(p);
    recorder.answering.emplace(5432, Endpoint::Host::loopbackIPv4());
    recorder.answering.emplace(4000, Endpoint::Host::loopbackIPv4());
    make();
    queue->advance(11); // past the settle window
  }

  void savePreferences(const Preferences &p) { ServiceManager::savePreferences(p, *defaults); }

  PairedPeer pairAt(const std::string &name, Date pairedAt) {
    const auto identity = DeviceIdentity::generate();
    PairedPeer peer{identity.deviceID(), name, identity.publicKey(), pairedAt};
    manager->peers()->add(peer);
    queue->runUntilIdle();
    return peer;
  }

  void online(const std::vector<PairedPeer> &peers) {
    std::vector<NearbyDevice> devices;
    for (const auto &peer : peers)
      devices.push_back(nearbyDevice(peer));
    manager->relayDiscoveryChange(devices);
  }

  // `count` paired Macs; the first two nearby with every port state between them, the third
  // asleep (it went away), the rest never seen.
  std::vector<PairedPeer> pairMacs(int count) {
    static const char *names[] = {"Studio", "Laptop of Ana", "Build box", "Mini", "Attic", "Spare"};
    std::vector<PairedPeer> peers;
    for (int i = 0; i < count; ++i)
      peers.push_back(pairAt(names[i % 6], 100 + i));
    std::vector<PairedPeer> near;
    for (int i = 0; i < count && i < 3; ++i)
      near.push_back(peers[i]);
    online(near);
    if (count >= 1) {
      auto redis = offered(redisService, "Redis", 6379, /*running=*/false);
      auto web = offered(webService, "Web app", 3000);
      web.category = "Web Service";
      auto pg = offered(pgService, "PostgreSQL", 5432);
      pg.version = "PostgreSQL 16.2";
      pg.hints = ShareHints{"shop", "postgres", "ask Ana for the password"};
      manager->handleLinkEvent({pg, redis, web, offered(queueService, "Quokka Queue", 7777)}, {},
                               std::nullopt, peers[0].deviceID);
      manager->applyLatency(peers[0].deviceID, 0.012);
      manager->relayRouteActivity(RouteKey{peers[0].deviceID, pgService}, 1);
      manager->setIncomingEnabled(peers[0].deviceID, queueService, false);
    }
    if (count >= 2) {
      auto search = offered(searchService, "Search", 9200);
      search.environment = "Backend";
      manager->handleLinkEvent({search, offered(mailService, "Mailpit", 8025)}, {}, std::nullopt,
                               peers[1].deviceID);
      manager->relayRouteRefusal(RouteKey{peers[1].deviceID, searchService},
                                 "too many connections");
      manager->relayRouteStatus(RouteKey{peers[1].deviceID, mailService},
                                ProxyManager::Status::failed("Port 8025 is in use."));
    }
    if (count >= 3) {
      manager->handleLinkEvent({offered(webService, "Grafana", 3001)}, {}, std::nullopt,
                               peers[2].deviceID);
      manager->preferences.modify([&](Preferences &p) {
        p.hardware = std::map<std::string, std::vector<std::string>>{
            {peers[2].deviceID, {"aa:bb:cc:dd:ee:ff"}}};
      });
      manager->handleLinkLost(peers[2].deviceID);
      near.pop_back();
      online(near);
    }
    // Someone uses the shared database; the docs end in 20 minutes and only one Mac may use
    // them.
    if (count >= 1) {
      manager->relayGatewaySessions({{peers[0].deviceID, dbShare, 1}});
      manager->preferences.modify([&](Preferences &p) {
        for (auto &service : p.services)
          if (service.id == docsShare) {
            service.expires = 1000 + queue->now() + 20 * 60;
            service.allowed = std::set<std::string>{peers[0].deviceID};
          }
      });
      manager->recomputeOutgoing();
    }
    queue->runUntilIdle();
    return peers;
  }

  PanelContext context() {
    PanelContext made;
    made.manager = manager.get();
    made.opener = &opener;
    made.explanationAvailable = [] { return false; };
    made.shortcutRegistered = [this] { return shortcutRegistered; };
    made.openWindow = [this](const QString &id) { opened << id; };
    made.reduceMotion = reduceMotion;
    ManualMainQueue *clock = queue.get();
    made.now = [clock] { return 1000 + clock->now(); };
    made.hooks.shareMenu = [this](const OutgoingService &row) {
      menusAsked.push_back(row.service.id);
      auto *menu = new QMenu;
      menu->addAction(QString::fromStdString("Menu for " + row.service.name));
      return menu;
    };
    made.hooks.wakePeer = [this](const std::string &id) { woken.push_back(id); };
    return made;
  }

  // Lets the manager's queue and then the views catch up.
  void settle() {
    for (int i = 0; i < 3; ++i) {
      queue->runUntilIdle();
      QCoreApplication::processEvents();
      QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
  }

  template <typename T> static std::vector<T *> visible(QWidget &root, const QString &name = {}) {
    std::vector<T *> found;
    for (T *each : root.findChildren<T *>(name))
      if (each->isVisibleTo(&root))
        found.push_back(each);
    return found;
  }

  FakeUrlOpener opener;
  QStringList opened;
  bool reduceMotion = true;
  bool shortcutRegistered = true;
  std::vector<std::string> menusAsked;
  std::vector<std::string> woken;
};

} // namespace corvane::testing

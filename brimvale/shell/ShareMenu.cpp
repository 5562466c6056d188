#include "brimvale/shell/ShareMenu.h"

#include "brimvale/catalogue/Problems.h"
#include "brimvale/manager/ServiceManager.h"

#include <QAction>
#include <QMenu>
#include <algorithm>

namespace corvane {

namespace {

QString text(const std::string &value) {
  return QString::fromStdString(value);
}

QAction *addToggle(QMenu &menu, const QString &title, bool on) {
  QAction *action = menu.addAction(title);
  action->setCheckable(true);
  action->setChecked(on);
  return action;
}

} // namespace

ShareMenu::ShareMenu(OutgoingService row, ServiceManager &manager, bool explanationAvailable,
                     OpenWindow openWindow, std::function<Date()> now)
    : row_(std::move(row)), manager_(manager), explanationAvailable_(explanationAvailable),
      openWindow_(std::move(openWindow)), now_(now ? std::move(now) : referenceDateNow) {}

void ShareMenu::addTo(QMenu &menu) const {
  ServiceManager *manager = &manager_;
  const ExposedService &share = row_.service;
  const std::string id = share.id;

  if (explanationAvailable_) {
    if (auto report = ProblemReport::makeForShare(row_, manager_.deviceName.get())) {
      menu.addAction(QStringLiteral("Explain this problem"),
                     [manager, report = *report, open = openWindow_] {
                       manager->explaining.set(report);
                       if (open)
                         open(QStringLiteral("explain"));
                     });
      menu.addSeparator();
    }
  }

  if (!row_.users.empty()) {
    menu.addSection(QStringLiteral("Connected now"));
    for (const ShareUser &user : row_.users)
      menu.addAction(
          QStringLiteral("Disconnect ") + text(user.name),
          [manager, id, peerID = user.peerID] { manager->disconnectShareUser(peerID, id); });
  }

  std::vector<PairedPeer> peers = manager_.pairedPeers.get();
  if (!peers.empty()) {
    std::ranges::stable_sort(peers, {}, &PairedPeer::pairedAt);
    menu.addSection(QStringLiteral("Who can use it"));
    QAction *every = addToggle(menu, QStringLiteral("Every paired Mac"), !share.allowed);
    QObject::connect(every, &QAction::triggered, every, [manager, id](bool on) {
      if (on) {
        manager->setAllowedPeers(id, std::nullopt);
        return;
      }
      // Every Mac paired now keeps its access; one paired later gets none until ticked.
      std::set<std::string> everyone;
      for (const PairedPeer &peer : manager->pairedPeers.get())
        everyone.insert(peer.deviceID);
      manager->setAllowedPeers(id, everyone);
    });
    for (const PairedPeer &peer : peers) {
      QAction *toggle = addToggle(menu, text(peer.name),
                                  !share.allowed || share.allowed->contains(peer.deviceID));
      QObject::connect(toggle, &QAction::triggered, toggle,
                       [manager, id, deviceID = peer.deviceID](bool on) {
                         manager->setPeerAllowed(id, deviceID, on);
                       });
    }
  }

  menu.addSection(QStringLiteral("Share"));
  const auto addDuration = [&](const QString &title, ShareDuration duration) {
    menu.addAction(title, [manager, id, duration, now = now_] {
      const auto end = expiryDate(duration, now());
      // Without a midnight to end at, the share must not be left on for good.
      if (duration == ShareDuration::endOfDay && !end)
        return;
      manager->setExpiry(id, end);
    });
  };
  addDuration(QStringLiteral("For 1 hour"), ShareDuration::hour);
  addDuration(QStringLiteral("Until midnight"), ShareDuration::endOfDay);
  addDuration(QStringLiteral("Until I pause it"), ShareDuration::always);

  QMenu *environments = menu.addMenu(QStringLiteral("Environment"));
  const auto stored = manager_.preferences->environments.value_or(std::vector<ShareEnvironment>{});
  for (const ShareEnvironment &environment : stored) {
    const bool member =
        std::ranges::find(environment.serviceIDs, id) != environment.serviceIDs.end();
    QAction *toggle = addToggle(*environments, text(environment.name), member);
    QObject::connect(toggle, &QAction::triggered, toggle,
                     [manager, id, environmentID = environment.id](bool on) {
                       manager->assignEnvironment(id, on ? std::optional<std::string>(environmentID)
                                                         : std::nullopt);
                     });
  }
  if (!stored.empty()) {
    QAction *none = addToggle(*environments, QStringLiteral("None"), !manager_.findEnvironment(id));
    QObject::connect(none, &QAction::triggered, none, [manager, id](bool on) {
      if (on)
        manager->assignEnvironment(id, std::nullopt);
    });
    environments->addSeparator();
  }
  environments->addAction(QStringLiteral("New environment\u2026"), [manager, id] {
    manager->environmentPrompt.set(EnvironmentPrompt{EnvironmentPrompt::Kind::create, id, {}});
  });

  menu.addAction(share.hints ? QStringLiteral("Edit hints for connecting\u2026")
                             : QStringLiteral("Add hints for connecting\u2026"),
                 [manager, share] { manager->hintsPrompt.set(share); });
  menu.addSeparator();
  menu.addAction(share.enabled ? QStringLiteral("Pause sharing") : QStringLiteral("Resume sharing"),
                 [manager, id, on = !share.enabled] { manager->setShareEnabled(id, on); });
  QAction *remove = menu.addAction(QStringLiteral("Stop sharing and remove"),
                                   [manager, id] { manager->removeShare(id); });
  // Qt menus have no destructive role; the mark is there for styles that show one.
  remove->setProperty("destructive", true);
}

} // namespace corvane

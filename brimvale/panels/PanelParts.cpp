#include "brimvale/panels/PanelParts.h"

#include "brimvale/manager/ServiceManager.h"
#include "brimvale/manager/SharingState.h"
#include "brimvale/panels/PanelContext.h"
#include "brimvale/panels/ViewKit.h"
#include "brimvale/shell/ShareGroups.h"
#include "brimvale/shell/StatusSentences.h"

#include <QAbstractButton>
#include <QLayout>
#include <QMenu>
#include <QWidget>
#include <algorithm>

namespace corvane::panelparts {

QString signature(const QStringList &parts) {
  return parts.join(QChar(0x1f));
}

void updateRow(QWidget &row, IncomingService &current, IncomingService fresh,
               const std::function<QString()> &look, const std::function<void()> &build) {
  if (fresh == current)
    return;
  const QString before = look();
  current = std::move(fresh);
  row.setAccessibleName(QString::fromStdString(incomingAccessibilityLabel(current)));
  if (look() == before)
    return;
  for (QWidget *child : row.findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
    if (!qobject_cast<QMenu *>(child)) {
      child->hide();
      child->deleteLater();
    }
  delete row.layout();
  build();
}

void wireEnvironmentButtons(QAbstractButton &toggle, QAbstractButton &more, QObject &owner,
                            const PanelContext &context, const ShareEnvironment &environment,
                            bool allOn) {
  const QString name = QString::fromStdString(environment.name);
  toggle.setAccessibleName((allOn ? QStringLiteral("Pause ") : QStringLiteral("Resume ")) + name);
  QObject::connect(
      &toggle, &QAbstractButton::clicked, &owner,
      [m = context.manager, id = environment.id, allOn] { m->setEnvironmentEnabled(id, !allOn); });
  more.setAccessibleName(QStringLiteral("More for ") + name);
  QObject::connect(&more, &QAbstractButton::clicked, &owner,
                   [&context, button = &more, environment, allOn] {
                     if (context.hooks.environmentMenu)
                       panelkit::popUp(context.hooks.environmentMenu(environment, allOn), button);
                   });
}

bool allEnabled(const std::vector<OutgoingService> &rows) {
  return std::ranges::all_of(rows, [](const OutgoingService &r) { return r.service.enabled; });
}

QString sharingSignature(const ServiceManager &manager) {
  const SharingState state = manager.sharingState.get();
  QStringList parts{
      QString::number(static_cast<int>(state.which)),
      QString::fromStdString(state.wifiName.value_or("")),
      QString::fromStdString(
          sharingStatusText(state, manager.locationPermission.get()).value_or("")),
      QString::fromStdString(
          networkPermissionActionTitle(state, manager.locationPermission.get()).value_or("")),
      QString::number(manager.outgoing->empty())};
  for (const auto &group :
       groupSharesByEnvironment(manager.preferences.get(), manager.outgoing.get())) {
    if (group.environment)
      parts << QString::fromStdString(group.environment->id + "\x1e" + group.environment->name)
            << QString::number(allEnabled(group.rows));
    for (const auto &row : group.rows)
      parts << QString::fromStdString(row.service.id);
  }
  return signature(parts);
}

} // namespace corvane::panelparts

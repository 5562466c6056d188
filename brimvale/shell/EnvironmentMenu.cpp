#include "brimvale/shell/EnvironmentMenu.h"

#include "brimvale/manager/ServiceManager.h"

#include <QMenu>

namespace corvane {

EnvironmentMenu::EnvironmentMenu(ShareEnvironment environment, bool allOn, ServiceManager &manager)
    : environment_(std::move(environment)), allOn_(allOn), manager_(manager) {}

void EnvironmentMenu::addTo(QMenu &menu) const {
  ServiceManager *manager = &manager_;
  const QString name = QString::fromStdString(environment_.name);
  menu.addAction(
      (allOn_ ? QStringLiteral("Pause ") : QStringLiteral("Resume ")) + name,
      [manager, id = environment_.id, on = !allOn_] { manager->setEnvironmentEnabled(id, on); });
  menu.addAction(QStringLiteral("Rename\u2026"), [manager, environment = environment_] {
    manager->environmentPrompt.set(
        EnvironmentPrompt{EnvironmentPrompt::Kind::rename, {}, environment});
  });
  menu.addAction(QStringLiteral("Ungroup"),
                 [manager, id = environment_.id] { manager->ungroupEnvironment(id); });
}

} // namespace corvane

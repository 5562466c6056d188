#include "brimvale/shell/TrayMenu.h"

#include <QAction>
#include <QMenu>

namespace corvane {

QMenu *makeTrayMenu(std::function<void()> showPanel, const PanelActions &actions, QWidget *parent) {
  auto *menu = new QMenu(parent);
  menu->setObjectName(QStringLiteral("trayMenu"));
  const auto add = [menu](const QString &title, const QString &name, std::function<void()> run) {
    QAction *action = menu->addAction(title);
    action->setObjectName(name);
    QObject::connect(action, &QAction::triggered, menu, [run = std::move(run)] {
      if (run)
        run();
    });
  };
  add(QStringLiteral("Open Corvane"), QStringLiteral("openPanel"), std::move(showPanel));
  add(QStringLiteral("Settings\u2026"), QStringLiteral("openSettings"), actions.settings);
  menu->addSeparator();
  add(QStringLiteral("Quit"), QStringLiteral("quit"), actions.quit);
  return menu;
}

} // namespace corvane

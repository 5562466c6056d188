#pragma once

#include <QAction>
#include <QMenu>
#include <QStringList>

namespace corvane::testing {

// The titles of a menu's items in order; separators read "---", a submenu's title is followed
// by its items indented by two spaces.
inline QStringList itemTitles(const QMenu &menu) {
  QStringList titles;
  for (QAction *action : menu.actions()) {
    if (action->isSeparator()) {
      titles << (action->text().isEmpty() ? QStringLiteral("---")
                                          : QStringLiteral("--- ") + action->text());
      continue;
    }
    titles << action->text();
    if (QMenu *submenu = action->menu())
      for (const QString &inner : itemTitles(*submenu))
        titles << QStringLiteral("  ") + inner;
  }
  return titles;
}

// The item titled `title`, searched in submenus too; null when there is none.
inline QAction *item(const QMenu &menu, const QString &title) {
  for (QAction *action : menu.actions()) {
    if (!action->isSeparator() && action->text() == title)
      return action;
    if (QMenu *submenu = action->menu())
      if (QAction *inner = item(*submenu, title))
        return inner;
  }
  return nullptr;
}

} // namespace corvane::testing

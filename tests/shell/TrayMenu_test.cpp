#include "brimvale/shell/TrayMenu.h"

#include <QAction>
#include <QMenu>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace corvane {
namespace {

TEST(TrayMenuTest, ARightClickOffersThePanelTheSettingsAndQuit) {
  std::vector<std::string> ran;
  PanelActions actions;
  actions.pair = [&] { ran.push_back("pair"); };
  actions.settings = [&] { ran.push_back("settings"); };
  actions.quit = [&] { ran.push_back("quit"); };
  std::unique_ptr<QMenu> menu(makeTrayMenu([&] { ran.push_back("panel"); }, actions));

  QStringList titles;
  for (QAction *action : menu->actions())
    if (!action->isSeparator())
      titles << action->text();
  EXPECT_EQ(titles, QStringList({"Open Corvane", "Settings\u2026", "Quit"}));
  for (QAction *action : menu->actions())
    action->trigger();
  EXPECT_EQ(ran, (std::vector<std::string>{"panel", "settings", "quit"}));
}

} // namespace
} // namespace corvane

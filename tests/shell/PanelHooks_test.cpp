#include "brimvale/panels/ClassicPanel.h"
#include "brimvale/panels/MapPanel.h"
#include "brimvale/shell/EnvironmentNamePrompt.h"
#include "brimvale/shell/HintsPrompt.h"
#include "brimvale/shell/PortPrompt.h"
#include "brimvale/windows/AppWindows.h"
#include "tests/panels/PanelFixture.h"
#include "tests/shell/MenuItems.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMenu>
#include <QTest>
#include <gtest/gtest.h>

namespace corvane::testing {
namespace {

// The menus and prompts reached from a running panel, through the hooks the application fills.
class PanelHooksTest : public PanelTest {
protected:
  void SetUp() override {
    makeWithShares();
    peers = pairMacs(1);
  }

  PanelContext hooked() {
    PanelContext made = context();
    WindowContext windows;
    windows.manager = manager.get();
    windows.opener = &opener;
    windows.openWindow = [this](const QString &id) { opened << id; };
    made.hooks = makePanelHooks(windows);
    return made;
  }

  PanelActions actions() {
    return {[] {}, [] {}, [] {}};
  }

  // Clicks the button and gives the menu it opened.
  static QMenu *clickForMenu(QAbstractButton &button) {
    QTest::mouseClick(&button, Qt::LeftButton);
    auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
    EXPECT_TRUE(menu) << "no menu opened";
    return menu;
  }

  static QAbstractButton *buttonNamed(QWidget &root, const QString &accessibleName) {
    for (QAbstractButton *button : visible<QAbstractButton>(root))
      if (button->accessibleName() == accessibleName)
        return button;
    ADD_FAILURE() << "no button " << accessibleName.toStdString();
    return nullptr;
  }

  std::vector<PairedPeer> peers;
};

TEST_F(PanelHooksTest, TheClassicPanelOpensTheMenusAndTheirPrompts) {
  ClassicPanel panel(hooked(), actions(), 2000);
  panel.show();
  settle();
  auto *hints = panel.findChild<HintsPrompt *>();
  auto *names = panel.findChild<EnvironmentNamePrompt *>();
  auto *ports = panel.findChild<PortPrompt *>();
  ASSERT_TRUE(hints && names && ports) << "the prompts are attached to the panel";

  QAbstractButton *more = buttonNamed(panel, "Options for Postgres");
  ASSERT_TRUE(more);
  QMenu *menu = clickForMenu(*more);
  ASSERT_TRUE(menu);
  EXPECT_TRUE(itemTitles(*menu).contains("Disconnect Studio"));
  item(*menu, "Add hints for connecting\u2026")->trigger();
  menu->close();
  settle();
  EXPECT_TRUE(hints->isVisible());
  EXPECT_EQ(hints->title(), "Hints for Postgres");
  hints->reject();
  EXPECT_EQ(manager->hintsPrompt.get(), std::nullopt);

  QAbstractButton *environment = buttonNamed(panel, "More for Dev");
  ASSERT_TRUE(environment);
  menu = clickForMenu(*environment);
  ASSERT_TRUE(menu);
  EXPECT_EQ(itemTitles(*menu), (QStringList{"Resume Dev", "Rename\u2026", "Ungroup"}))
      << "API is paused, so the group is not all on";
  item(*menu, "Rename\u2026")->trigger();
  menu->close();
  settle();
  EXPECT_TRUE(names->isVisible());
  EXPECT_EQ(names->texts(), QStringList{"Dev"});
  names->reject();

  manager->portPrompt.set(*row(peers[0].deviceID, pgService));
  EXPECT_TRUE(ports->isVisible());
  ports->reject();
  EXPECT_EQ(manager->portPrompt.get(), std::nullopt);
}

TEST_F(PanelHooksTest, TheMapPanelHasThePromptsAndTheShareMenu) {
  MapPanel panel(hooked(), actions(), 2000);
  panel.show();
  settle();
  EXPECT_TRUE(panel.findChild<HintsPrompt *>());
  EXPECT_TRUE(panel.findChild<EnvironmentNamePrompt *>());
  EXPECT_TRUE(panel.findChild<PortPrompt *>());

  PanelContext made = hooked();
  std::unique_ptr<QMenu> menu(made.hooks.shareMenu(manager->outgoing->front()));
  ASSERT_TRUE(menu);
  EXPECT_FALSE(itemTitles(*menu).contains("Explain this problem"));
  EXPECT_TRUE(itemTitles(*menu).contains("Stop sharing and remove"));
}

} // namespace
} // namespace corvane::testing

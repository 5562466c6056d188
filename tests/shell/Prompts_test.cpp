#include "brimvale/shell/EnvironmentNamePrompt.h"
#include "brimvale/shell/HintsPrompt.h"
#include "brimvale/shell/PortPrompt.h"
#include "tests/panels/PanelFixture.h"
#include "tests/shell/Appearance.h"
#include "tests/shell/Screens.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

namespace corvane::testing {
namespace {

QStringList visibleButtons(const PromptDialog &dialog) {
  QStringList titles;
  for (QPushButton *button : dialog.buttons())
    if (!button->isHidden())
      titles << button->text();
  return titles;
}

QPushButton *button(const PromptDialog &dialog, const QString &title) {
  for (QPushButton *each : dialog.buttons())
    if (each->text() == title)
      return each;
  ADD_FAILURE() << "no button " << title.toStdString();
  return nullptr;
}

// Types into the prompt's first field, replacing what it holds.
void type(PromptDialog &dialog, const QString &text, std::size_t field = 0) {
  dialog.fields()[field]->clear();
  QTest::keyClicks(dialog.fields()[field], text);
}

// The prompts over a real manager with the panels' shares and one paired Mac's ports.
class PromptsTest : public PanelTest {
protected:
  void SetUp() override {
    makeWithShares();
    peers = pairMacs(1);
    queue->runUntilIdle();
  }

  IncomingService pg() const { return *row(peers[0].deviceID, pgService); }
  const ExposedService &stored(const std::string &id) const {
    for (const auto &service : manager->preferences->services)
      if (service.id == id)
        return service;
    throw std::runtime_error("no share " + id);
  }
  void openHints(const std::string &id) { manager->hintsPrompt.set(stored(id)); }
  void rename() {
    manager->environmentPrompt.set(EnvironmentPrompt{
        EnvironmentPrompt::Kind::rename, {}, *manager->findEnvironment(apiShare)});
  }
  void create(const std::string &id) {
    manager->environmentPrompt.set(EnvironmentPrompt{EnvironmentPrompt::Kind::create, id, {}});
  }

  std::vector<PairedPeer> peers;
};

TEST(PortPromptEntry, ReadsTheTypedNumber) {
  const std::pair<const char *, int> cases[] = {{"25432", 25432},
                                                {"  25432 ", 25432},
                                                {"\t+25432\t", 25432},
                                                {"-5", -5},
                                                {"65536", 65536},
                                                {"25,432", 0},
                                                {"25 432", 0},
                                                {"port", 0},
                                                {"", 0},
                                                {"   ", 0},
                                                {"+", 0},
                                                {"99999999999999", 0},
                                                {"0x50", 0},
                                                {"２５４３２", 0}};
  for (const auto &[text, number] : cases)
    EXPECT_EQ(PortPrompt::parseEntry(text), number) << '"' << text << '"';
}

TEST_F(PromptsTest, PortPromptMovesAndLetsTheApplicationChoose) {
  PortPrompt prompt(*manager);
  EXPECT_FALSE(prompt.isVisible());
  IncomingService own = pg();
  own.localPort = own.remotePort;
  manager->portPrompt.set(own);
  ASSERT_TRUE(prompt.isVisible());
  EXPECT_EQ(prompt.title(), "Local port for PostgreSQL");
  EXPECT_EQ(prompt.texts(), QStringList{"5432"});
  EXPECT_EQ(visibleButtons(prompt), (QStringList{"Move", "Cancel"})) << "already on its own number";

  type(prompt, " 26000 ");
  QTest::mouseClick(prompt.moveButton(), Qt::LeftButton);
  queue->runUntilIdle();
  EXPECT_FALSE(prompt.isVisible());
  EXPECT_EQ(manager->portPrompt.get(), std::nullopt);
  EXPECT_EQ(pg().localPort, 26000);
  EXPECT_EQ(manager->notice.get(), std::nullopt);

  manager->portPrompt.set(pg());
  EXPECT_EQ(prompt.texts(), QStringList{"26000"});
  EXPECT_EQ(visibleButtons(prompt), (QStringList{"Move", "Let Corvane choose", "Cancel"}));
  QTest::mouseClick(prompt.chooseButton(), Qt::LeftButton);
  queue->runUntilIdle();
  ASSERT_TRUE(pg().localPort);
  EXPECT_NE(pg().localPort, 26000) << "the manager chose again";
  EXPECT_EQ(manager->portPrompt.get(), std::nullopt);
}

TEST_F(PromptsTest, PortPromptRefusalsBecomeTheNotice) {
  PortPrompt prompt(*manager);
  const auto before = pg().localPort;
  ASSERT_TRUE(before);
  // Return presses "Move".
  manager->portPrompt.set(pg());
  type(prompt, "80");
  QTest::keyClick(prompt.fields()[0], Qt::Key_Return);
  queue->runUntilIdle();
  EXPECT_FALSE(prompt.isVisible());
  EXPECT_EQ(manager->notice.get(), "Pick a port from 1024 to 65535.");
  EXPECT_EQ(pg().localPort, before);

  manager->portPrompt.set(pg());
  type(prompt, "25,432");
  QTest::keyClick(prompt.fields()[0], Qt::Key_Return);
  EXPECT_EQ(manager->notice.get(), "Pick a port from 1024 to 65535.");

  recorder.bind4[30000] = BindResult::inUse;
  recorder.listening4.insert(30000);
  manager->portPrompt.set(pg());
  type(prompt, "30000");
  QTest::mouseClick(prompt.moveButton(), Qt::LeftButton);
  EXPECT_EQ(manager->notice.get(), "Another app is using port 30000 on this Mac.");
  EXPECT_EQ(pg().localPort, before);

  // The port of one of this Mac's own shares.
  manager->portPrompt.set(pg());
  type(prompt, "8080");
  QTest::mouseClick(prompt.moveButton(), Qt::LeftButton);
  EXPECT_EQ(manager->notice.get(), "Corvane already uses port 8080.");
  EXPECT_EQ(pg().localPort, before);

  // Escape closes without a change and ends the request.
  manager->setNotice(std::nullopt);
  manager->portPrompt.set(pg());
  type(prompt, "26000");
  QTest::keyClick(prompt.fields()[0], Qt::Key_Escape);
  EXPECT_FALSE(prompt.isVisible());
  EXPECT_EQ(manager->portPrompt.get(), std::nullopt);
  EXPECT_EQ(pg().localPort, before);
  EXPECT_EQ(manager->notice.get(), std::nullopt);

  // A port without a local port opens empty, with the choice offered.
  IncomingService unknown = pg();
  unknown.localPort.reset();
  manager->portPrompt.set(unknown);
  EXPECT_EQ(prompt.texts(), QStringList{""});
  EXPECT_EQ(visibleButtons(prompt), (QStringList{"Move", "Let Corvane choose", "Cancel"}));
}

TEST_F(PromptsTest, EnvironmentNamePromptCreates) {
  EnvironmentNamePrompt prompt(*manager);
  create(dbShare);
  ASSERT_TRUE(prompt.isVisible());
  EXPECT_EQ(prompt.title(), "New environment");
  EXPECT_EQ(visibleButtons(prompt), (QStringList{"Create", "Cancel"}));
  EXPECT_EQ(prompt.texts(), QStringList{""});

  QTest::mouseClick(prompt.submitButton(), Qt::LeftButton);
  EXPECT_FALSE(prompt.isVisible());
  EXPECT_EQ(manager->environmentPrompt.get(), std::nullopt);
  EXPECT_EQ(manager->notice.get(), "Give the environment a name.");
  EXPECT_EQ(manager->findEnvironment(dbShare), std::nullopt);

  create(dbShare);
  type(prompt, QString(41, QLatin1Char('b')));
  QTest::keyClick(prompt.fields()[0], Qt::Key_Return);
  EXPECT_EQ(manager->notice.get(), "Keep the environment's name to 40 characters or fewer.");
  EXPECT_EQ(manager->findEnvironment(dbShare), std::nullopt);

  create(dbShare);
  type(prompt, "dEV");
  QTest::keyClick(prompt.fields()[0], Qt::Key_Return);
  EXPECT_EQ(manager->notice.get(), "You already have an environment with that name.");
  EXPECT_EQ(manager->findEnvironment(dbShare), std::nullopt);

  manager->setNotice(std::nullopt);
  create(dbShare);
  EXPECT_EQ(prompt.texts(), QStringList{""}) << "each new request starts empty";
  type(prompt, QString(40, QLatin1Char('b')));
  QTest::keyClick(prompt.fields()[0], Qt::Key_Return);
  ASSERT_TRUE(manager->findEnvironment(dbShare));
  EXPECT_EQ(manager->findEnvironment(dbShare)->name, std::string(40, 'b'));
  EXPECT_EQ(manager->notice.get(), std::nullopt);

  // A share of "Dev" moves into the new environment.
  create(docsShare);
  type(prompt, "Docs site");
  QTest::mouseClick(prompt.submitButton(), Qt::LeftButton);
  EXPECT_EQ(manager->findEnvironment(docsShare)->name, "Docs site");
  EXPECT_EQ(manager->findEnvironment(apiShare)->serviceIDs, std::vector<std::string>{apiShare});
}

TEST_F(PromptsTest, EnvironmentNamePromptRenames) {
  EnvironmentNamePrompt prompt(*manager);
  create(dbShare);
  type(prompt, "Typed before");
  rename();
  EXPECT_EQ(prompt.title(), "Rename environment");
  EXPECT_EQ(visibleButtons(prompt), (QStringList{"Rename", "Cancel"}));
  EXPECT_EQ(prompt.texts(), QStringList{"Dev"}) << "filled with the current name";

  // Cancel changes nothing and ends the request.
  type(prompt, "Other");
  QTest::mouseClick(button(prompt, "Cancel"), Qt::LeftButton);
  EXPECT_EQ(manager->environmentPrompt.get(), std::nullopt);
  EXPECT_EQ(manager->findEnvironment(apiShare)->name, "Dev");

  ASSERT_EQ(manager->createEnvironment("Backend", {cacheShare}), std::nullopt);
  rename();
  type(prompt, "backend");
  QTest::keyClick(prompt.fields()[0], Qt::Key_Return);
  EXPECT_EQ(manager->notice.get(), "You already have an environment with that name.");
  EXPECT_EQ(manager->findEnvironment(apiShare)->name, "Dev");

  rename();
  type(prompt, "DEV");
  QTest::keyClick(prompt.fields()[0], Qt::Key_Return);
  EXPECT_EQ(manager->findEnvironment(apiShare)->name, "DEV") << "its own name in other capitals";

  EXPECT_EQ(environmentMessage(ExposedService::ValidationError::proxiedPort),
            "That port carries another Mac's service through Corvane, so it can't be shared "
            "from here.");
}

TEST_F(PromptsTest, HintsPromptSavesWhatIsTyped) {
  HintsPrompt prompt(*manager);
  openHints(dbShare);
  ASSERT_TRUE(prompt.isVisible());
  EXPECT_EQ(prompt.title(), "Hints for Postgres");
  EXPECT_EQ(prompt.texts(), (QStringList{"", "", ""}));
  EXPECT_EQ(visibleButtons(prompt), (QStringList{"Save", "Cancel"}));

  type(prompt, "shop");
  QTest::keyClick(prompt.fields()[0], Qt::Key_Return);
  EXPECT_FALSE(prompt.isVisible());
  EXPECT_EQ(manager->hintsPrompt.get(), std::nullopt);
  EXPECT_EQ(stored(dbShare).hints, (ShareHints{"shop", std::nullopt, std::nullopt}));
  EXPECT_EQ(recorder.gateway.back().services.front().hints, stored(dbShare).hints)
      << "paired Macs receive the hints";

  // Reopened: the stored values; cancelling after typing keeps them.
  openHints(dbShare);
  EXPECT_EQ(prompt.texts(), (QStringList{"shop", "", ""}));
  type(prompt, "typed", 1);
  QTest::keyClick(prompt.fields()[1], Qt::Key_Escape);
  EXPECT_EQ(manager->hintsPrompt.get(), std::nullopt);
  EXPECT_EQ(stored(dbShare).hints, (ShareHints{"shop", std::nullopt, std::nullopt}));

  // Cut to their lengths; spaces only count as absent.
  openHints(dbShare);
  type(prompt, "   ", 0);
  type(prompt, QString(70, QLatin1Char('u')), 1);
  type(prompt, QString(200, QLatin1Char('n')), 2);
  QTest::mouseClick(button(prompt, "Save"), Qt::LeftButton);
  EXPECT_EQ(stored(dbShare).hints,
            (ShareHints{std::nullopt, std::string(64, 'u'), std::string(140, 'n')}));

  openHints(dbShare);
  for (std::size_t field = 0; field < 3; ++field)
    type(prompt, "", field);
  QTest::mouseClick(button(prompt, "Save"), Qt::LeftButton);
  EXPECT_EQ(stored(dbShare).hints, std::nullopt) << "three empty fields: no hints";
}

TEST_F(PromptsTest, ScreensInLightAndDark) {
  for (auto appearance : {Theme::Appearance::light, Theme::Appearance::dark}) {
    ScopedAppearance scoped(appearance);
    const QColor background = Theme::background.in(appearance);
    {
      PortPrompt prompt(*manager);
      IncomingService moved = pg();
      moved.localPort = 25432;
      manager->portPrompt.set(moved);
      const QImage image = saveScreen(prompt, "port-prompt", appearance);
      EXPECT_EQ(image.width(), 330);
      EXPECT_GT(drawnPixels(image, background), 1000);
      manager->portPrompt.set(std::nullopt);
    }
    {
      EnvironmentNamePrompt prompt(*manager);
      create(dbShare);
      saveScreen(prompt, "environment-new-prompt", appearance);
      rename();
      const QImage image = saveScreen(prompt, "environment-rename-prompt", appearance);
      EXPECT_GT(drawnPixels(image, background), 1000);
      manager->environmentPrompt.set(std::nullopt);
    }
    {
      HintsPrompt prompt(*manager);
      manager->setHints(dbShare, ShareHints{"shop", "postgres", std::nullopt});
      openHints(dbShare);
      const QImage image = saveScreen(prompt, "hints-prompt", appearance);
      EXPECT_GT(drawnPixels(image, background), 1000);
      manager->hintsPrompt.set(std::nullopt);
    }
  }
}

} // namespace
} // namespace corvane::testing

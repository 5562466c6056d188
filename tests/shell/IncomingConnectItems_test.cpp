#include "brimvale/catalogue/Problems.h"
#include "brimvale/shell/CopyFeedback.h"
#include "brimvale/shell/IncomingConnectItems.h"
#include "tests/manager/ManagerFixture.h"
#include "tests/shell/Appearance.h"
#include "tests/shell/MenuItems.h"
#include "tests/shell/Screens.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace corvane {
namespace {

using State = IncomingService::State;
using testing::item;
using testing::itemTitles;

class IncomingConnectItemsTest : public testing::ManagerTest {
protected:
  void SetUp() override { make(true); }

  static IncomingService postgres(State state = State::connected()) {
    IncomingService row;
    row.key = {"peer-a", "AAAAAAAA-0000-0000-0000-000000000001"};
    row.peerName = "Studio";
    row.name = "PostgreSQL";
    row.remotePort = 5432;
    row.localPort = 25432;
    row.category = ExposedService::ServiceCategory::database;
    row.state = std::move(state);
    return row;
  }

  QStringList titlesFor(const IncomingService &row, bool explanation = true) {
    QMenu menu;
    IncomingConnectItems(row, feedback, *manager, opener, explanation, openWindow).addTo(menu);
    return itemTitles(menu);
  }

  CopyFeedback feedback{*queue};
  FakeUrlOpener opener;
  QStringList opened;
  IncomingConnectItems::OpenWindow openWindow = [this](const QString &id) { opened << id; };
};

TEST_F(IncomingConnectItemsTest, EachItemOnlyWhenItMakesSense) {
  opener.handlers["postgresql"] = "pgclient.desktop";
  opener.handlers["http"] = "browser.desktop";
  EXPECT_EQ(titlesFor(postgres()), (QStringList{"Change local port\u2026", "Copy connection string",
                                                "Copy .env line", "Open in pgclient"}));

  IncomingService refused = postgres();
  refused.problem = "not running";
  EXPECT_EQ(titlesFor(refused).first(), "Explain this problem");
  EXPECT_FALSE(titlesFor(refused, false).contains("Explain this problem"))
      << "never while the model is unavailable";

  EXPECT_EQ(titlesFor(postgres(State::off())), QStringList{});
  EXPECT_EQ(titlesFor(postgres(State::asleep())), QStringList{"Change local port\u2026"});
  EXPECT_EQ(titlesFor(postgres(State::notRunning())),
            (QStringList{"Explain this problem", "Change local port\u2026"}));

  IncomingService queueWithoutScheme = postgres();
  queueWithoutScheme.name = "Quokka Queue";
  queueWithoutScheme.remotePort = 7777;
  queueWithoutScheme.category = ExposedService::ServiceCategory::messaging;
  EXPECT_EQ(titlesFor(queueWithoutScheme), QStringList{"Change local port\u2026"});

  IncomingService unknownLocal = postgres();
  unknownLocal.localPort.reset();
  EXPECT_EQ(titlesFor(unknownLocal), QStringList{"Change local port\u2026"});

  opener.handlers.clear();
  EXPECT_FALSE(titlesFor(postgres()).contains("Open in its app"))
      << "no application for the address: no open item";
}

TEST_F(IncomingConnectItemsTest, ActionsSetTheManagersFieldsCopyAndOpen) {
  opener.handlers["postgresql"] = "pgclient.desktop";
  IncomingService row = postgres();
  row.problem = "too many connections";
  // Hints arrive from the paired Mac: whatever they hold stays inside the user and path.
  row.hints = ShareHints{"shop\nEVIL=1", "x@evil.example:9/", std::nullopt};
  QMenu menu;
  IncomingConnectItems(row, feedback, *manager, opener, true, openWindow).addTo(menu);

  item(menu, "Explain this problem")->trigger();
  EXPECT_EQ(manager->explaining.get(), ProblemReport::makeForIncoming(row));
  EXPECT_EQ(opened, QStringList{"explain"});

  item(menu, "Change local port\u2026")->trigger();
  EXPECT_EQ(manager->portPrompt.get(), row);

  const QString url = "postgresql://x%40evil.example%3A9%2F@localhost:25432/shop%0AEVIL%3D1";
  item(menu, "Copy connection string")->trigger();
  EXPECT_EQ(QApplication::clipboard()->text(), url);
  EXPECT_EQ(feedback.copiedID(), QString("peer-a/AAAAAAAA-0000-0000-0000-000000000001"));
  item(menu, "Copy .env line")->trigger();
  EXPECT_EQ(QApplication::clipboard()->text(), "POSTGRESQL_URL=" + url);
  EXPECT_FALSE(QApplication::clipboard()->text().contains('\n'));

  item(menu, "Open in pgclient")->trigger();
  EXPECT_EQ(opener.opened, std::vector<std::string>{url.toStdString()});
}

TEST_F(IncomingConnectItemsTest, TheApplicationIsNamedByItsDesktopEntry) {
  QTemporaryDir home;
  ASSERT_TRUE(home.isValid());
  QDir(home.path()).mkpath("applications");
  auto write = [&](const QString &file, const QByteArray &text) {
    QFile entry(home.path() + "/applications/" + file);
    ASSERT_TRUE(entry.open(QIODevice::WriteOnly));
    entry.write(text);
  };
  write("viewer.desktop", "[Desktop Action New]\nName=New Window\n[Desktop Entry]\nType="
                          "Application\nName=Data\u200B Viewer\nName[de]=Betrachter\n");
  write("huge.desktop", QByteArray("[Desktop Entry]\nName=Huge\n") + QByteArray(70000, '#'));
  const QByteArray saved = qgetenv("XDG_DATA_HOME");
  qputenv("XDG_DATA_HOME", home.path().toUtf8());
  EXPECT_EQ(IncomingConnectItems::applicationName("viewer.desktop"), "Data Viewer");
  EXPECT_EQ(IncomingConnectItems::applicationName("huge.desktop"), "huge");
  EXPECT_EQ(IncomingConnectItems::applicationName("missing.desktop"), "missing");
  EXPECT_EQ(IncomingConnectItems::applicationName("../viewer.desktop"), "../viewer");
  qputenv("XDG_DATA_HOME", saved);

  opener.handlers["postgresql"] = "missing.desktop";
  EXPECT_TRUE(titlesFor(postgres()).contains("Open in missing"));
}

TEST_F(IncomingConnectItemsTest, ScreensInLightAndDark) {
  opener.handlers["postgresql"] = "pgclient.desktop";
  IncomingService row = postgres();
  row.problem = "not running";
  for (auto appearance : {Theme::Appearance::light, Theme::Appearance::dark}) {
    testing::ScopedAppearance scoped(appearance);
    QMenu menu;
    IncomingConnectItems(row, feedback, *manager, opener, true, openWindow).addTo(menu);
    const QImage image = testing::saveScreen(menu, "incoming-menu", appearance);
    EXPECT_EQ(itemTitles(menu).size(), 5);
    EXPECT_GT(image.height(), 5 * 16);
    EXPECT_GT(testing::drawnPixels(image, Theme::background.in(appearance)), 500);
  }
}

} // namespace
} // namespace corvane

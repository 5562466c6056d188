// The share editor over a real manager: its catalogue sections, its scan of this Mac against
// real Redis and Postgres servers on loopback, typed shares with every refusal, several mode,
// and its place inside both panels.
#include "brimvale/panels/ClassicPanel.h"
#include "brimvale/panels/MapPanel.h"
#include "brimvale/platform/UrlOpener.h"
#include "brimvale/shell/PanelActions.h"
#include "brimvale/shell/PanelFrame.h"
#include "brimvale/windows/AppWindows.h"
#include "brimvale/windows/SharePortView.h"
#include "tests/catalogue/ServerFixture.h"
#include "tests/shell/Appearance.h"
#include "tests/shell/Screens.h"
#include "tests/windows/WindowsFixture.h"

#include <QAbstractButton>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

namespace corvane::testing {
namespace {

using Category = ExposedService::ServiceCategory;
using Error = ExposedService::ValidationError;

std::vector<std::string> titles(const std::vector<SharePortView::Section> &sections) {
  std::vector<std::string> made;
  for (const auto &section : sections)
    made.push_back(section.title);
  return made;
}

std::vector<std::string> names(const SharePortView::Section &section) {
  std::vector<std::string> made;
  for (const auto &row : section.services)
    made.push_back(row.name);
  return made;
}

ExposedService shareOf(const std::string &name, int port, bool enabled = true) {
  ExposedService share;
  share.id = "0D000000-0000-4000-8000-00000000000" + std::to_string(port % 10);
  share.name = name;
  share.port = port;
  share.enabled = enabled;
  return share;
}

class SharePortViewTest : public WindowsTest {
protected:
  std::unique_ptr<SharePortView> makeView(MappedProbes &probes, bool scansWider = true) {
    auto view = std::make_unique<SharePortView>(
        *manager, views, probes.probes(), [this](const QString &id) { opened << id; },
        [this] { ++doneCalls; }, scansWider);
    view->resize(356, 600);
    return view;
  }

  // Shows the view and waits for its whole scan.
  void scan(SharePortView &view) {
    view.show();
    ASSERT_TRUE(waitFor([&] { return !view.isScanning(); }));
    settle();
  }

  void type(SharePortView &view, const QString &name, const QString &port) {
    auto *nameField = view.findChild<QLineEdit *>(QStringLiteral("shareNameField"));
    auto *portField = view.findChild<QLineEdit *>(QStringLiteral("sharePortField"));
    nameField->setText(name);
    portField->setText(port);
    settle();
  }

  void pressReturnInPort(SharePortView &view) {
    QTest::keyClick(view.findChild<QLineEdit *>(QStringLiteral("sharePortField")), Qt::Key_Return);
    settle();
  }

  void addShares(const std::vector<ExposedService> &shares) {
    manager->preferences.modify([&](Preferences &p) { p.services = shares; });
    settle();
  }

  // As tall as its content at the panel's inner width, for a picture.
  static void fit(QWidget &view) {
    QCoreApplication::processEvents();
    view.resize(356, view.sizeHint().height());
  }

  QStringList opened;
  int doneCalls = 0;
};

TEST_F(SharePortViewTest, WithNothingListeningTheFourSectionsHoldTheWholeCatalogue) {
  MappedProbes probes;
  auto view = makeView(probes);
  scan(*view);
  const auto sections = view->sections();
  EXPECT_EQ(titles(sections),
            (std::vector<std::string>{"Databases and search", "Messaging", "Tools", "Web"}));
  std::size_t rows = 0;
  for (const auto &section : sections)
    rows += section.services.size();
  EXPECT_EQ(rows, 31u);
  EXPECT_TRUE(view->listening().empty());
  EXPECT_TRUE(view->otherRows().empty());
  // "Web" holds both web and API services.
  const auto web = names(sections.back());
  for (const char *name : {"Vite", "Web dev server", "API server"})
    EXPECT_NE(std::ranges::find(web, name), web.end()) << name;
  EXPECT_EQ(visible<QAbstractButton>(*view, "shareCatalogueRow").size(), 31u);
  EXPECT_TRUE(visible<QAbstractButton>(*view, "shareListeningRow").empty());
  EXPECT_EQ(labelText(*view, "shareFooterText"), "Tap a service to share it.");
  // Every catalogue port and the wider scan's ports were asked, none twice in the first stage.
  const auto asked = probes.asked();
  EXPECT_GE(asked.size(), 31u);

  ScopedAppearance light(Theme::Appearance::light);
  fit(*view);
  saveScreen(*view, "share-port-nothing-listening", Theme::Appearance::light);
}

TEST_F(SharePortViewTest, RealServersRunOnThisMacAndOtherPortsListenBesideThem) {
  auto redis = ServerFixture::start(ServerFixture::Server::redis, 60);
  ASSERT_TRUE(redis) << redis.error();
  auto postgres = ServerFixture::start(ServerFixture::Server::postgres, 60);
  ASSERT_TRUE(postgres) << postgres.error();
  // The catalogue's ports of both services, and two ports of the wider scan.
  MappedProbes probes({{6379, (*redis)->port()},
                       {5432, (*postgres)->port()},
                       {3001, (*postgres)->port()},
                       {8081, (*redis)->port()}});
  auto view = makeView(probes);
  scan(*view);
  EXPECT_EQ(view->listening(), (std::set<int>{5432, 6379}));
  const auto sections = view->sections();
  ASSERT_FALSE(sections.empty());
  EXPECT_EQ(sections.front().title, "Running on this Mac");
  EXPECT_TRUE(sections.front().isRunning);
  EXPECT_EQ(names(sections.front()), (std::vector<std::string>{"PostgreSQL", "Redis"}));
  for (std::size_t at = 1; at < sections.size(); ++at)
    for (const auto &row : sections[at].services)
      EXPECT_TRUE(row.port != 5432 && row.port != 6379) << row.name;
  // The other ports, ascending, each with what answered there (Redis says who it is).
  ASSERT_EQ(view->otherListeners().size(), 2u);
  EXPECT_EQ(view->otherListeners()[0].port, 3001);
  EXPECT_FALSE(view->otherListeners()[0].label);
  EXPECT_EQ(view->otherListeners()[1].port, 8081);
  EXPECT_EQ(view->otherListeners()[1].label, "Redis");

  // The blocks: the running section, then directly the other listeners, then the catalogue.
  std::vector<QString> headers;
  for (auto *label : visible<QLabel>(*view, "shareSectionTitle"))
    headers.push_back(label->text());
  ASSERT_GE(headers.size(), 3u);
  EXPECT_EQ(headers[0], "Running on this Mac");
  EXPECT_EQ(headers[1], "Also listening on this Mac");
  EXPECT_EQ(headers[2], "Databases and search");
  const auto rows = visible<QAbstractButton>(*view, "shareCatalogueRow");
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows.front()->accessibleName(), "Share PostgreSQL on port 5432, running on this Mac");
  const auto listening = visible<QAbstractButton>(*view, "shareListeningRow");
  ASSERT_EQ(listening.size(), 2u);
  EXPECT_EQ(listening[1]->accessibleName(), "Share Port 8081 \u00B7 Redis, running on this Mac");
  ScopedAppearance dark(Theme::Appearance::dark);
  view->findChild<QLineEdit *>(QStringLiteral("shareNameField"))->setText({});
  settle();
  fit(*view);
  saveScreen(*view, "share-port-running", Theme::Appearance::dark);

  // "Share all 2" shares both and closes the view.
  auto *all = one<QAbstractButton>(*view, "shareAllLink");
  ASSERT_NE(all, nullptr);
  EXPECT_EQ(all->text(), "Share all 2");
  QTest::mouseClick(all, Qt::LeftButton);
  settle();
  EXPECT_EQ(doneCalls, 1);
  ASSERT_EQ(manager->preferences->services.size(), 2u);
  EXPECT_EQ(manager->preferences->services[0].name, "PostgreSQL");
  EXPECT_EQ(manager->preferences->services[1].name, "Redis");
}

TEST_F(SharePortViewTest, APortCarryingAnotherMacsServiceIsNeverProbedNorRunning) {
  auto redis = ServerFixture::start(ServerFixture::Server::redis, 60);
  ASSERT_TRUE(redis) << redis.error();
  MappedProbes probes({{6379, (*redis)->port()}, {8080, (*redis)->port()}});
  carryIncoming(6379);
  carryIncoming(8080);
  auto view = makeView(probes);
  scan(*view);
  const auto asked = probes.asked();
  EXPECT_EQ(std::ranges::count(asked, 6379), 0);
  EXPECT_EQ(std::ranges::count(asked, 8080), 0);
  EXPECT_TRUE(view->listening().empty());
  EXPECT_TRUE(view->otherListeners().empty());
  const auto sections = view->sections();
  ASSERT_EQ(sections.front().title, "Databases and search");
  const auto databases = names(sections.front());
  EXPECT_NE(std::ranges::find(databases, "Redis"), databases.end());
}

TEST_F(SharePortViewTest, TypedSharesAndEveryRefusal) {
  MappedProbes probes;
  addShares({shareOf("db", 5432)});
  carryIncoming(25432);
  auto view = makeView(probes, false);
  scan(*view);
  auto *share = view->findChild<QPushButton *>(QStringLiteral("shareTypedButton"));

  struct Case {
    QString name;
    QString port;
    bool enabled;
    std::optional<std::string> error;
  };
  const std::string badPort = "Enter a port between 1 and 65535.";
  const std::vector<Case> cases{
      {"api", "abc", false, badPort},
      {"api", "", false, badPort},
      {"", "", false, std::nullopt},
      {"api", "70000", true, badPort},
      {"api", "0", true, badPort},
      {"api", "-1", true, badPort},
      // 2^32 + 4464 and 2^16 + 4464: never cut down to 4464.
      {"api", "4294971760", true, badPort},
      {"api", "+70000", true, badPort},
      {"api", "99999999999999999999", false, badPort},
      {"", "4000", false, "Give the port a name."},
      {QString(41, QLatin1Char('n')), "4000", true, "Keep the name to 40 characters or fewer."},
      {"DB", "4000", true, "You already share a port with that name."},
      {"api", " 5432 ", true, "You already share that port."},
      {"api", "25432", true,
       "That port carries another Mac's service through Corvane, so it can't be shared from "
       "here."},
  };
  for (const auto &c : cases) {
    type(*view, c.name, c.port);
    EXPECT_EQ(share->isEnabled(), c.enabled) << c.name.toStdString() << ":" << c.port.toStdString();
    pressReturnInPort(*view);
    EXPECT_EQ(view->error(), c.error) << c.name.toStdString() << ":" << c.port.toStdString();
    if (c.error)
      EXPECT_EQ(labelText(*view, "shareError").toStdString(), *c.error);
    else
      EXPECT_EQ(one<QLabel>(*view, "shareError"), nullptr);
  }
  EXPECT_EQ(manager->preferences->services.size(), 1u);
  EXPECT_EQ(doneCalls, 0);
  for (const auto &service : manager->preferences->services)
    EXPECT_NE(service.port, 4464);

  // A name the catalogue knows takes its category; any other is custom.
  type(*view, "redis", "6380");
  QTest::mouseClick(share, Qt::LeftButton);
  settle();
  EXPECT_EQ(doneCalls, 1);
  ASSERT_EQ(manager->preferences->services.size(), 2u);
  EXPECT_EQ(manager->preferences->services[1].category, Category::database);
  type(*view, "my thing", "7001");
  pressReturnInPort(*view);
  ASSERT_EQ(manager->preferences->services.size(), 3u);
  EXPECT_EQ(manager->preferences->services[2].category, Category::custom);
}

TEST_F(SharePortViewTest, TheTypedPortIsAWholeNumberInSixtyFourBits) {
  EXPECT_EQ(SharePortView::wholeNumber(" 8080 "), 8080);
  EXPECT_EQ(SharePortView::wholeNumber("+8080"), 8080);
  EXPECT_EQ(SharePortView::wholeNumber("-12"), -12);
  EXPECT_EQ(SharePortView::wholeNumber("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(SharePortView::wholeNumber("-9223372036854775808"), INT64_MIN);
  for (const char *text :
       {"", "+", "-", "80 80", "8O80", "0x50", "8080.0", "9223372036854775808", "\u0668\u0660"})
    EXPECT_FALSE(SharePortView::wholeNumber(text)) << text;
  EXPECT_FALSE(SharePortView::canShareTyped("  ", "8080"));
  EXPECT_TRUE(SharePortView::canShareTyped("x", "70000"));
}

TEST_F(SharePortViewTest, SearchingAndTheSentencesForAnEmptyList) {
  const std::vector<ExposedService> none;
  for (const char *text : {"pg", "postgresql", "Postg"}) {
    const auto found = SharePortView::sectionsFor(text, {}, none);
    ASSERT_FALSE(found.empty()) << text;
    EXPECT_EQ(names(found.front()).front(), "PostgreSQL") << text;
  }
  // Shared services are not offered again, on or off.
  auto off = shareOf("PostgreSQL", 5432, false);
  for (const auto &shares : {std::vector{shareOf("PostgreSQL", 5432)}, std::vector{off}}) {
    for (const auto &section : SharePortView::sectionsFor("", {}, shares))
      for (const auto &row : section.services)
        EXPECT_NE(row.port, 5432);
  }
  EXPECT_EQ(SharePortView::emptyMessageFor("postgres", {shareOf("PostgreSQL", 5432)}),
            "You already share PostgreSQL on port 5432. To share another, add its port number "
            "and choose Share.");
  EXPECT_EQ(SharePortView::emptyMessageFor("postgres", {off}),
            "You already share PostgreSQL on port 5432. It's paused: resume it from your shares "
            "above, or add another port number to share a second one.");
  EXPECT_EQ(SharePortView::emptyMessageFor("postgres", {shareOf("db", 5432)}),
            "Port 5432, PostgreSQL's usual port, is already shared as \u201Cdb\u201D. To share "
            "another, add its port number and choose Share.");
  EXPECT_EQ(SharePortView::emptyMessageFor("zzz", {}),
            "Nothing known by that name. Add its port number and choose Share.");
  EXPECT_EQ(SharePortView::emptyMessageFor("  ", {}),
            "Every known service is already shared. Type a name and port to add another.");
  const std::string several =
      SharePortView::emptyMessageFor("re", {shareOf("Redis", 6379), shareOf("x", 5432)});
  EXPECT_TRUE(several.starts_with("Already shared on their usual ports: ")) << several;
  EXPECT_TRUE(several.ends_with(". To share another, add its port number and choose Share."))
      << several;

  // In the view: the sentence replaces the list.
  MappedProbes probes;
  addShares({shareOf("PostgreSQL", 5432)});
  auto view = makeView(probes, false);
  scan(*view);
  type(*view, "postgres", "");
  EXPECT_EQ(visible<QAbstractButton>(*view, "shareCatalogueRow").size(), 0u);
  EXPECT_TRUE(labelText(*view, "shareEmptyMessage").startsWith("You already share PostgreSQL"));
}

TEST_F(SharePortViewTest, SeveralModeSharesTheTicksEvenWhenTheSearchHidesThem) {
  auto redis = ServerFixture::start(ServerFixture::Server::redis, 60);
  ASSERT_TRUE(redis) << redis.error();
  MappedProbes probes({{3001, (*redis)->port()}, {3002, (*redis)->port()}});
  auto view = makeView(probes);
  scan(*view);
  ASSERT_EQ(view->otherListeners().size(), 2u);

  QTest::mouseClick(one<QAbstractButton>(*view, "shareModeLink"), Qt::LeftButton);
  settle();
  ASSERT_TRUE(view->selection());
  auto *shareTicked = one<QPushButton>(*view, "shareTickedButton");
  ASSERT_NE(shareTicked, nullptr);
  EXPECT_FALSE(shareTicked->isEnabled());
  EXPECT_EQ(labelText(*view, "shareFooterText"), "Tick the services to share.");

  // Tick PostgreSQL and the listener on 3002.
  for (auto *row : visible<QAbstractButton>(*view, "shareCatalogueRow"))
    if (row->property("port").toInt() == 5432) {
      QTest::mouseClick(row, Qt::LeftButton);
      break;
    }
  settle();
  for (auto *row : visible<QAbstractButton>(*view, "shareListeningRow"))
    if (row->property("port").toInt() == 3002) {
      QTest::mouseClick(row, Qt::LeftButton);
      break;
    }
  settle();
  EXPECT_EQ(view->selection(), (std::set<int>{3002, 5432}));
  EXPECT_EQ(one<QPushButton>(*view, "shareTickedButton")->text(), "Share 2");
  EXPECT_EQ(labelText(*view, "shareFooterText"), "2 ticked");
  ScopedAppearance light(Theme::Appearance::light);
  fit(*view);
  saveScreen(*view, "share-port-several", Theme::Appearance::light);

  // A search that hides both: the catalogue tick is shared, the hidden listener is not.
  type(*view, "kafka", "");
  QTest::mouseClick(one<QPushButton>(*view, "shareTickedButton"), Qt::LeftButton);
  settle();
  EXPECT_EQ(doneCalls, 1);
  ASSERT_EQ(manager->preferences->services.size(), 1u);
  EXPECT_EQ(manager->preferences->services[0].port, 5432);
}

TEST_F(SharePortViewTest, TicksAllHiddenShareNothingAndKeepTheViewOpen) {
  auto redis = ServerFixture::start(ServerFixture::Server::redis, 60);
  ASSERT_TRUE(redis) << redis.error();
  MappedProbes probes(std::map<int, int>{{3001, (*redis)->port()}});
  auto view = makeView(probes);
  scan(*view);
  view->toggleMode();
  view->toggle(3001);
  type(*view, "postgres", "");
  ASSERT_EQ(view->otherRows().size(), 0u);
  view->shareTicked();
  settle();
  EXPECT_EQ(doneCalls, 0);
  EXPECT_TRUE(manager->preferences->services.empty());
  EXPECT_EQ(view->selection(), (std::set<int>{3001}));
  // Switching back to one at a time drops the ticks.
  view->toggleMode();
  EXPECT_FALSE(view->selection());
}

TEST_F(SharePortViewTest, APartlyFailedBatchClosesWithTheFailuresAsTheNotice) {
  MappedProbes probes;
  auto view = makeView(probes, false);
  scan(*view);
  view->toggleMode();
  view->toggle(5432);
  view->toggle(6379);
  carryIncoming(6379);
  view->shareTicked();
  settle();
  EXPECT_EQ(doneCalls, 1);
  ASSERT_EQ(manager->preferences->services.size(), 1u);
  EXPECT_EQ(manager->notice.get(),
            "Couldn't share Redis (6379): That port carries another Mac's service through "
            "Corvane, so it can't be shared from here.");

  // A batch that adds nothing keeps the view open with the first failure.
  view->addMany({{"again", 5432, Category::database}});
  settle();
  EXPECT_EQ(doneCalls, 1);
  EXPECT_EQ(view->error(), "You already share that port.");
}

TEST_F(SharePortViewTest, ImportCancelAndEscapeEndTheView) {
  MappedProbes probes;
  auto view = makeView(probes, false);
  scan(*view);
  QTest::mouseClick(one<QAbstractButton>(*view, "shareImportLink"), Qt::LeftButton);
  EXPECT_EQ(opened, QStringList{"importer"});
  EXPECT_EQ(doneCalls, 1);
  QTest::mouseClick(one<QAbstractButton>(*view, "shareCancelLink"), Qt::LeftButton);
  EXPECT_EQ(doneCalls, 2);
  view->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
  auto *name = view->findChild<QLineEdit *>(QStringLiteral("shareNameField"));
  name->setFocus();
  QTest::keyClick(name, Qt::Key_Escape);
  EXPECT_EQ(doneCalls, 3);
}

TEST_F(SharePortViewTest, ClosingWhileProbesRunStoresNothingLater) {
  // Probes that answer only when the test says so.
  std::vector<std::function<void(bool)>> pending;
  LocalProbes held;
  held.accepts = [&](int, double, std::function<void(bool)> done) {
    pending.push_back(std::move(done));
  };
  auto view = std::make_unique<SharePortView>(
      *manager, views, held, nullptr, [] {}, false);
  view->show();
  settle();
  std::set<int> ports;
  for (const auto &row : KnownService::catalogue())
    ports.insert(row.port);
  ASSERT_EQ(pending.size(), ports.size());
  EXPECT_TRUE(view->isScanning());
  view.reset();
  for (auto &done : pending)
    done(true);
  settle(20);
  SUCCEED();
}

TEST_F(SharePortViewTest, BothPanelsHostTheEditorAndKeepItAcrossTheirRebuilds) {
  FakeUrlOpener opener;
  WindowContext windows;
  windows.manager = manager.get();
  windows.opener = &opener;
  windows.openWindow = [this](const QString &id) { opened << id; };
  for (const bool classic : {true, false}) {
    SCOPED_TRACE(classic ? "classic" : "map");
    // The panel is made in the appearance it is pictured in, as one opened on that desktop.
    const auto appearance = classic ? Theme::Appearance::light : Theme::Appearance::dark;
    ScopedAppearance scoped(appearance);
    PanelContext context;
    context.manager = manager.get();
    context.opener = &opener;
    context.reduceMotion = true;
    context.hooks = makePanelHooks(windows);
    std::unique_ptr<QWidget> panel;
    if (classic)
      panel = std::make_unique<ClassicPanel>(std::move(context), PanelActions{}, 1400);
    else
      panel = std::make_unique<MapPanel>(std::move(context), PanelActions{}, 1400);
    panel->show();
    settle();
    auto *open = one<QAbstractButton>(*panel, classic ? QStringLiteral("classicShareAPort")
                                                      : QStringLiteral("shareAPortButton"));
    ASSERT_NE(open, nullptr);
    QTest::mouseClick(open, Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return one<SharePortView>(*panel, "sharePortView") != nullptr; }));
    QPointer<SharePortView> editor = one<SharePortView>(*panel, "sharePortView");
    // As the panel shows it: narrower than the editor alone.
    panel->resize(PanelFrame::panelWidth, panel->sizeHint().height());
    saveScreen(*panel, classic ? "classic-panel-sharing" : "map-panel-sharing", appearance);
    auto *name = editor->findChild<QLineEdit *>(QStringLiteral("shareNameField"));
    name->setText(QStringLiteral("my api"));
    // A change of the manager's state rebuilds the panel; the editor and its text stay.
    manager->setNotice("Something changed.");
    settle();
    settle();
    ASSERT_FALSE(editor.isNull());
    EXPECT_EQ(one<SharePortView>(*panel, "sharePortView"), editor.data());
    EXPECT_EQ(name->text(), "my api");
    auto *cancel = one<QAbstractButton>(*editor, "shareCancelLink");
    ASSERT_NE(cancel, nullptr);
    QTest::mouseClick(cancel, Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return editor.isNull(); }));
    EXPECT_EQ(one<SharePortView>(*panel, "sharePortView"), nullptr);
    manager->setNotice(std::nullopt);
  }
}

} // namespace
} // namespace corvane::testing

// Importing a compose file: the bounded read, the chooser and review faces of the window, the
// review's probe of this Mac against a real Postgres, its wording and the environment it forms.
#include "brimvale/platform/Unicode.h"
#include "brimvale/windows/ComposeImportReview.h"
#include "brimvale/windows/ComposeImportWindow.h"
#include "tests/catalogue/ServerFixture.h"
#include "tests/shell/Appearance.h"
#include "tests/shell/Screens.h"
#include "tests/windows/WindowsFixture.h"

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace corvane::testing {
namespace {

const std::string composeText = "name: shop\n"
                                "services:\n"
                                "  db:\n"
                                "    image: postgres\n"
                                "    ports:\n"
                                "      - \"5432:5432\"\n"
                                "  cache:\n"
                                "    image: redis\n"
                                "    ports:\n"
                                "      - \"6000:6379\"\n"
                                "  metrics:\n"
                                "    image: statsd\n"
                                "    ports:\n"
                                "      - \"8125:8125/udp\"\n";

class ComposeImportTest : public WindowsTest {
protected:
  QString write(const QString &name, const std::string &bytes) {
    const QString path = folder.filePath(name);
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes.data(), static_cast<qint64>(bytes.size()));
    return path;
  }

  // A window whose file chooser is the test: each presentation is counted and kept open
  // until the test answers it.
  std::unique_ptr<ImportWindow> makeWindow(MappedProbes &probes) {
    auto window =
        std::make_unique<ImportWindow>(*manager, views, probes.probes(), [this] { ++dismissals; });
    window->setChooser([this](QWidget *, std::function<void(ImportWindow::ChooserResult)> done) {
      ++presented;
      chooser = std::move(done);
    });
    return window;
  }

  void choose(const QString &path) {
    ASSERT_TRUE(chooser);
    auto answer = std::move(chooser);
    chooser = nullptr;
    answer(std::expected<QString, QString>(path));
    settle();
  }

  ImportReviewView &reviewOf(ImportWindow &window) {
    EXPECT_NE(window.reviewView(), nullptr);
    return *window.reviewView();
  }

  void share(std::vector<ExposedService> shares,
             std::optional<std::vector<ShareEnvironment>> environments = std::nullopt) {
    manager->preferences.modify([&](Preferences &p) {
      p.services = std::move(shares);
      p.environments = std::move(environments);
    });
    settle();
  }

  static ExposedService shareOf(const std::string &id, const std::string &name, int port) {
    ExposedService share;
    share.id = id;
    share.name = name;
    share.port = port;
    return share;
  }

  QTemporaryDir root;
  QDir folder{root.path()};
  int presented = 0;
  int dismissals = 0;
  std::function<void(ImportWindow::ChooserResult)> chooser;
};

TEST_F(ComposeImportTest, TheReadIsBoundedToAMillionBytes) {
  std::string exact = composeText + "#";
  exact.resize(ImportWindow::maxFileBytes, 'x');
  const auto read = ImportWindow::readBounded(write("exact.yaml", exact));
  ASSERT_TRUE(read);
  EXPECT_EQ(read->size(), ImportWindow::maxFileBytes);
  EXPECT_EQ(ImportWindow::readBounded(write("over.yaml", exact + "x")).error(),
            ImportWindow::ReadProblem::tooBig);
  EXPECT_EQ(ImportWindow::readBounded(folder.filePath("missing.yaml")).error(),
            ImportWindow::ReadProblem::unreadable);
  EXPECT_EQ(ImportWindow::readBounded(root.path()).error(), ImportWindow::ReadProblem::unreadable);
  // A special file without end is cut off one byte past the limit; a pipe nobody writes to
  // reads as empty instead of hanging.
  EXPECT_EQ(ImportWindow::readBounded(QStringLiteral("/dev/zero")).error(),
            ImportWindow::ReadProblem::tooBig);
  const QString pipe = folder.filePath(QStringLiteral("pipe.yml"));
  ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
  const auto fromPipe = ImportWindow::readBounded(pipe);
  EXPECT_TRUE(!fromPipe || fromPipe->empty());
}

TEST_F(ComposeImportTest, TheWindowReadsAMillionBytesAndRefusesOneMore) {
  MappedProbes probes;
  auto window = makeWindow(probes);
  window->show();
  settle();
  EXPECT_EQ(presented, 1) << "the chooser opens by itself";
  EXPECT_TRUE(window->isChoosing());

  std::string exact = composeText + "#";
  exact.resize(ImportWindow::maxFileBytes + 1, 'x');
  choose(write("too-big.yaml", exact));
  EXPECT_FALSE(window->review());
  EXPECT_EQ(window->problem(), "That file is too big to be a compose file.");
  EXPECT_EQ(labelText(*window, "importWindowProblem"),
            "That file is too big to be a compose file.");
  ScopedAppearance dark(Theme::Appearance::dark);
  saveScreen(*window, "import-chooser-problem", Theme::Appearance::dark);

  window->choose();
  EXPECT_EQ(presented, 2);
  choose(root.path());
  EXPECT_EQ(window->problem(), "Corvane couldn't read that file.");

  window->choose();
  exact.pop_back();
  choose(write("compose.yaml", exact));
  ASSERT_TRUE(window->review());
  EXPECT_FALSE(window->problem()) << "a successful read clears the problem";
  EXPECT_EQ(window->review()->fileName, "compose.yaml");
  EXPECT_EQ(one<QWidget>(*window, "importChooser"), nullptr);
  ASSERT_NE(window->reviewView(), nullptr);

  // A chooser that fails changes nothing.
  window->readComposeFile(std::unexpected(QStringLiteral("no access")));
  EXPECT_TRUE(window->review());
}

TEST_F(ComposeImportTest, CancelAndOtherFileReturnToTheChooser) {
  MappedProbes probes;
  auto window = makeWindow(probes);
  window->show();
  settle();
  chooser(std::nullopt); // dismissed without a choice
  chooser = nullptr;
  settle();
  EXPECT_FALSE(window->isChoosing());
  EXPECT_NE(one<QWidget>(*window, "importChooser"), nullptr);
  QTest::mouseClick(one<QAbstractButton>(*window, "importChooseButton"), Qt::LeftButton);
  EXPECT_EQ(presented, 2);
  choose(write("compose.yaml", composeText));
  ASSERT_TRUE(window->review());

  QTest::mouseClick(one<QAbstractButton>(*window, "importOtherFile"), Qt::LeftButton);
  settle();
  EXPECT_FALSE(window->review());
  EXPECT_EQ(presented, 3) << "the chooser opens again at once";
  choose(write("docker-compose.yml", composeText));
  ASSERT_TRUE(window->review());
  EXPECT_EQ(window->review()->fileName, "docker-compose.yml");

  QTest::mouseClick(one<QAbstractButton>(*window, "importCancel"), Qt::LeftButton);
  settle();
  EXPECT_EQ(dismissals, 1);
  EXPECT_FALSE(window->review());
  EXPECT_FALSE(window->problem());
}

TEST_F(ComposeImportTest, TheProbeMarksRealServersAndNarrowsTheTicks) {
  auto postgres = ServerFixture::start(ServerFixture::Server::postgres, 60);
  ASSERT_TRUE(postgres) << postgres.error();
  MappedProbes probes(std::map<int, int>{{5432, (*postgres)->port()}});
  auto window = makeWindow(probes);
  window->show();
  settle();
  choose(write("compose.yaml", composeText));
  ASSERT_TRUE(window->review());
  auto &review = reviewOf(*window);
  ASSERT_TRUE(waitFor([&] { return window->review()->running.has_value(); }));
  settle();
  EXPECT_EQ(*window->review()->running, (std::set<int>{5432}));
  EXPECT_EQ(window->review()->ticked, (std::set<int>{5432}));
  EXPECT_EQ(visible<QWidget>(review, "importRowRunning").size(), 1u);
  EXPECT_EQ(review.shareTitle(), "Share 1 as shop");
  const auto rows = visible<QAbstractButton>(review, "importRow");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0]->accessibleName(), "db, port 5432, running");
  EXPECT_EQ(rows[1]->accessibleName(), "cache, port 6000");
  // The skipped port is listed under "Can't share", as the reader said it.
  const auto skipped = visible<QLabel>(review, "importSkippedText");
  ASSERT_EQ(skipped.size(), window->review()->result.skipped.size());
  ASSERT_FALSE(skipped.empty());
  EXPECT_EQ(skipped[0]->text().toStdString(), window->review()->result.skipped[0]);
  EXPECT_EQ(skipped[0]->textFormat(), Qt::PlainText);
  ScopedAppearance light(Theme::Appearance::light);
  saveScreen(*window, "import-review-probed", Theme::Appearance::light);

  // Ticking is by port, through the window's review.
  QTest::mouseClick(rows[1], Qt::LeftButton);
  settle();
  EXPECT_EQ(window->review()->ticked, (std::set<int>{5432, 6000}));
  EXPECT_EQ(review.shareTitle(), "Share 2 as shop");
}

TEST_F(ComposeImportTest, NothingRunningKeepsEveryTickAndCarriedPortsAreNotProbed) {
  MappedProbes probes;
  carryIncoming(6000);
  auto window = makeWindow(probes);
  window->show();
  settle();
  choose(write("compose.yaml", composeText));
  ASSERT_TRUE(waitFor([&] { return window->review() && window->review()->running; }));
  EXPECT_TRUE(window->review()->running->empty());
  EXPECT_EQ(window->review()->ticked, (std::set<int>{5432, 6000}));
  EXPECT_EQ(std::ranges::count(probes.asked(), 6000), 0);
  EXPECT_EQ(std::ranges::count(probes.asked(), 5432), 1);
}

TEST_F(ComposeImportTest, AProbeAnswerForAReviewThatWasReplacedIsDropped) {
  std::vector<std::function<void(bool)>> pending;
  LocalProbes held;
  held.accepts = [&](int, double, std::function<void(bool)> done) {
    pending.push_back(std::move(done));
  };
  auto window = std::make_unique<ImportWindow>(*manager, views, held, [] {});
  window->setChooser([this](QWidget *, std::function<void(ImportWindow::ChooserResult)> done) {
    chooser = std::move(done);
  });
  window->show();
  settle();
  choose(write("compose.yaml", composeText));
  ASSERT_EQ(pending.size(), 2u);
  auto first = std::move(pending);
  pending.clear();
  window->back();
  choose(write("other.yaml", "services:\n  web:\n    ports: [\"8080:80\"]\n"));
  ASSERT_TRUE(window->review());
  for (auto &done : first)
    done(true);
  settle(20);
  EXPECT_EQ(window->review()->fileName, "other.yaml");
  EXPECT_FALSE(window->review()->running) << "the first file's probe does not write here";
  ASSERT_EQ(pending.size(), 1u);
  pending[0](true);
  ASSERT_TRUE(waitFor([&] { return window->review()->running.has_value(); }));
  EXPECT_EQ(*window->review()->running, (std::set<int>{8080}));
}

TEST_F(ComposeImportTest, ReviewNamesNotesAndTheShareButton) {
  // The folder's name stands in when the file names no project; names are cleaned to 40.
  auto review = makeImportReview("services:\n  web:\n    ports: [\"8080:80\"]\n", "compose.yaml",
                                 "  my\u200B-app  ");
  EXPECT_EQ(review.name, "my-app");
  EXPECT_EQ(review.ticked, (std::set<int>{8080}));
  EXPECT_FALSE(review.running);
  review = makeImportReview("name: " + std::string(45, 'p') + "\nservices: {}\n", "compose.yaml",
                            "folder");
  EXPECT_EQ(review.name, std::string(40, 'p'));
  // Invalid bytes arrive as replacement characters and are still reviewed.
  review = makeImportReview(validUTF8("services:\n  w\xFF"
                                      "b:\n    ports: [\"8080:80\"]\n"),
                            "compose.yaml", "f");
  ASSERT_EQ(review.result.found.size(), 1u);
  EXPECT_EQ(review.result.found[0].name, "w\uFFFDb");

  const std::string staging = "0E000000-0000-4000-8000-000000000001";
  auto db = shareOf("0D000000-0000-4000-8000-000000000001", "main-db", 5432);
  db.enabled = false;
  share({db}, std::vector<ShareEnvironment>{{staging, "Staging", {db.id}}});

  MappedProbes unprobed;
  ImportReview held = makeImportReview(composeText, "compose.yaml", "folder");
  held.name = "Backend";
  ImportReviewBinding binding{[&] { return &held; }, [&](ImportReview value) { held = value; }};
  ImportReviewView view(
      *manager, views, unprobed.probes(), binding, [] {}, [] {});
  EXPECT_EQ(view.alreadySharedNote(held.result.found[0]),
            "Already shared as main-db \u00B7 moves from Staging \u00B7 paused, will resume");
  EXPECT_FALSE(view.alreadySharedNote(held.result.found[1]));
  EXPECT_FALSE(view.addsToLine());
  EXPECT_EQ(view.shareTitle(), "Share 2 as Backend");

  // An existing environment's name in other letters is joined, named as it is stored.
  auto *name = view.findChild<QLineEdit *>(QStringLiteral("importNameField"));
  name->clear();
  QTest::keyClicks(name, QStringLiteral("staging"));
  EXPECT_EQ(held.name, "staging");
  EXPECT_EQ(view.addsToLine(), "Adds to your Staging environment.");
  EXPECT_EQ(labelText(view, "importAddsTo"), "Adds to your Staging environment.");
  EXPECT_EQ(view.alreadySharedNote(held.result.found[0]),
            "Already shared as main-db \u00B7 paused, will resume");
  // The same name as the found service: no name repeated; a share that is on is not paused.
  manager->preferences.modify([&](Preferences &p) {
    p.services[0].name = "db";
    p.services[0].enabled = true;
  });
  EXPECT_EQ(view.alreadySharedNote(held.result.found[0]), "Already shared");

  // Only spaces: the count alone, disabled.
  name->setText(QStringLiteral("   "));
  QTest::keyClicks(name, QStringLiteral(" "));
  EXPECT_EQ(view.shareTitle(), "Share 2");
  EXPECT_FALSE(view.canShare());
  auto *button = view.findChild<QPushButton *>(QStringLiteral("importShareButton"));
  EXPECT_FALSE(button->isEnabled());
  // Nothing ticked: 0, disabled.
  QTest::keyClicks(name, QStringLiteral("x"));
  held.ticked.clear();
  view.toggle(5432);
  view.toggle(5432);
  EXPECT_EQ(view.shareTitle(), "Share 0 as x");
  EXPECT_FALSE(button->isEnabled());
}

TEST_F(ComposeImportTest, SharingFormsTheEnvironmentOrSaysWhyNot) {
  MappedProbes unprobed;
  ImportReview held = makeImportReview(composeText, "compose.yaml", "folder");
  int done = 0;
  ImportReviewBinding binding{[&] { return &held; }, [&](ImportReview value) { held = value; }};
  ImportReviewView view(
      *manager, views, unprobed.probes(), binding, [&] { ++done; }, [] {});
  view.show();

  // A name too long is refused before anything is shared.
  held.name = std::string(45, 'n');
  view.shareImport();
  EXPECT_EQ(view.problem(), "Keep the environment's name to 40 characters or fewer.");
  EXPECT_EQ(labelText(view, "importProblem"),
            "Keep the environment's name to 40 characters or fewer.");
  EXPECT_TRUE(manager->preferences->services.empty());

  // Every new share fails and none exists: the failures stay in the review.
  carryIncoming(5432);
  carryIncoming(6000);
  held.name = "Backend";
  view.shareImport();
  EXPECT_EQ(done, 0);
  EXPECT_EQ(view.problem(),
            "Couldn't share db (5432): That port carries another Mac's service through Corvane, "
            "so it can't be shared from here. Couldn't share cache (6000): That port carries "
            "another Mac's service through Corvane, so it can't be shared from here.");
  ScopedAppearance light(Theme::Appearance::light);
  view.resize(360, view.sizeHint().height());
  saveScreen(view, "import-review-problem", Theme::Appearance::light);

  // One port shared already: the environment forms with it, the window closes and the other
  // failure becomes the notice.
  share({shareOf("0D000000-0000-4000-8000-000000000001", "db", 5432)});
  view.shareImport();
  EXPECT_EQ(done, 1);
  ASSERT_TRUE(manager->preferences->environments);
  ASSERT_EQ(manager->preferences->environments->size(), 1u);
  EXPECT_EQ(manager->preferences->environments->front().name, "Backend");
  EXPECT_EQ(manager->notice.get(),
            "Couldn't share cache (6000): That port carries another Mac's service through "
            "Corvane, so it can't be shared from here.");
}

TEST_F(ComposeImportTest, ReturnSharesOnlyWhileTheButtonIsEnabledAndEscapeCancels) {
  MappedProbes unprobed;
  ImportReview held = makeImportReview(composeText, "compose.yaml", "folder");
  int done = 0;
  ImportReviewBinding binding{[&] { return &held; }, [&](ImportReview value) { held = value; }};
  ImportReviewView view(
      *manager, views, unprobed.probes(), binding, [&] { ++done; }, [] {});
  view.show();
  view.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
  ASSERT_TRUE(waitFor([&] { return held.running.has_value(); }));
  auto *name = view.findChild<QLineEdit *>(QStringLiteral("importNameField"));
  name->setFocus();

  view.toggle(5432);
  view.toggle(6000);
  QTest::keyClick(name, Qt::Key_Return);
  settle();
  EXPECT_EQ(done, 0) << "nothing ticked: the share button is disabled";
  EXPECT_FALSE(view.problem());
  EXPECT_TRUE(manager->preferences->services.empty());

  view.toggle(6000);
  QTest::keyClick(name, Qt::Key_Return);
  settle();
  EXPECT_EQ(done, 1);
  ASSERT_EQ(manager->preferences->services.size(), 1u);
  EXPECT_EQ(manager->preferences->services[0].port, 6000);
  QTest::keyClick(name, Qt::Key_Escape);
  EXPECT_EQ(done, 2);
}

TEST_F(ComposeImportTest, AFileWithoutPortsListsWhatItSkipped) {
  MappedProbes unprobed;
  ImportReview held = makeImportReview(
      "services:\n  metrics:\n    ports: [\"8125:8125/udp\"]\n  bare:\n    image: x\n",
      "compose.yaml", "folder");
  ImportReviewBinding binding{[&] { return &held; }, [&](ImportReview value) { held = value; }};
  ImportReviewView view(
      *manager, views, unprobed.probes(), binding, [] {}, [] {});
  EXPECT_EQ(labelText(view, "importNothingFound"),
            "This file doesn't publish any ports on this Mac.");
  EXPECT_FALSE(visible<QLabel>(view, "importSkippedText").empty());
  EXPECT_EQ(view.shareTitle(), "Share 0 as folder");
  EXPECT_FALSE(view.canShare());

  // Thousands of them: a bounded list, and a count of the rest.
  std::string many = "services:\n  metrics:\n    ports:\n";
  for (int port = 1; port <= 3000; ++port)
    many += "      - " + std::to_string(port) + ":1/udp\n";
  held = makeImportReview(many, "compose.yaml", "folder");
  ImportReviewView crowded(
      *manager, views, unprobed.probes(), binding, [] {}, [] {});
  EXPECT_EQ(visible<QLabel>(crowded, "importSkippedText").size(), 20u);
  EXPECT_EQ(labelText(crowded, "importSkippedMore"), "and 2980 more");
}

} // namespace
} // namespace corvane::testing

// The explanation window against a model server on loopback: nothing chosen, thinking, the
// answer, the failures, and a report that changes while an answer is on its way.
#include "brimvale/platform/Json.h"
#include "brimvale/platform/UrlOpener.h"
#include "brimvale/shell/WindowRegistry.h"
#include "brimvale/windows/AppWindows.h"
#include "brimvale/windows/ComposeImportWindow.h"
#include "brimvale/windows/ExplainWindow.h"
#include "tests/integrations/TestHttpServer.h"
#include "tests/shell/Appearance.h"
#include "tests/shell/Screens.h"
#include "tests/windows/WindowsFixture.h"

#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QTemporaryDir>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>

namespace corvane::testing {
namespace {

ProblemReport reportAbout(const std::string &service) {
  ProblemReport report;
  report.service = service;
  report.mac = "Studio";
  report.port = 5432;
  report.localPort = 15432;
  report.problem = "Studio refused the connection.";
  return report;
}

// The application's windows, as it registers them, over `manager`.
struct RegisteredWindows {
  explicit RegisteredWindows(ServiceManager *manager) {
    context.manager = manager;
    context.opener = &opener;
    addAppWindows(registry, context);
  }
  FakeUrlOpener opener;
  WindowContext context;
  WindowRegistry registry;
};

class ExplainWindowTest : public WindowsTest {
protected:
  void TearDown() override {
    {
      std::lock_guard guard(lock);
      holding = false;
    }
    released.notify_all();
    WindowsTest::TearDown();
  }

  TestHttpServer::Response answer(const TestHttpServer::Request &request) {
    std::unique_lock guard(lock);
    if (request.method == "GET" && request.path == "/api/tags")
      return {.status = 200, .body = tags};
    if (request.method == "POST" && request.path == "/api/chat") {
      const auto body = parseJson(request.body);
      std::string prompt;
      if (body)
        for (const auto &message : body->value("messages", Json::array()))
          if (message.value("role", "") == "user")
            prompt = message.value("content", "");
      prompts.push_back(prompt);
      released.wait(guard, [&] { return !holding; });
      if (status != 200)
        return {.status = status, .body = R"({"error":"model \"tiny\" is busy"})"};
      // The answer names the port asked about, so a test can tell answers apart.
      const std::string said = prompt.substr(0, prompt.find('\n')) + " <b>asleep</b>";
      return {.status = 200,
              .body = dumpJson(
                  Json{{"message", {{"role", "assistant"}, {"content", said}}}, {"done", true}})};
    }
    return {.status = 404, .body = "{}"};
  }

  void release() {
    {
      std::lock_guard guard(lock);
      holding = false;
    }
    released.notify_all();
  }

  std::size_t asked() {
    std::lock_guard guard(lock);
    return prompts.size();
  }

  std::unique_ptr<ExplainWindow> makeWindow() {
    ExplainerServer at;
    at.endpoint = "http://127.0.0.1:" + std::to_string(server.port());
    return std::make_unique<ExplainWindow>(*manager, views, ExplainWindow::askModel(at));
  }

  std::mutex lock;
  std::condition_variable released;
  bool holding = false;
  int status = 200;
  std::string tags = R"({"models":[{"name":"tiny:latest"}]})";
  std::vector<std::string> prompts;
  TestHttpServer server{[this](const TestHttpServer::Request &request) { return answer(request); }};
};

TEST_F(ExplainWindowTest, WithoutAReportItSaysWhatToDoAndAsksNothing) {
  auto window = makeWindow();
  window->show();
  settle(20);
  EXPECT_EQ(labelText(*window, "explainNothingChosen"),
            "Choose \u201CExplain this problem\u201D on a port that has one.");
  EXPECT_FALSE(window->isThinking());
  EXPECT_EQ(asked(), 0u);
  EXPECT_EQ(window->width(), ExplainWindow::contentWidth);
}

TEST_F(ExplainWindowTest, ThinkingThenTheAnswerAsPlainSelectableText) {
  holding = true;
  manager->explaining.set(reportAbout("PostgreSQL"));
  auto window = makeWindow();
  window->show();
  ASSERT_TRUE(waitFor([&] { return asked() == 1; }));
  EXPECT_EQ(labelText(*window, "explainTitle"), "PostgreSQL on Studio");
  EXPECT_EQ(labelText(*window, "explainProblem"), "Studio refused the connection.");
  EXPECT_NE(one<QWidget>(*window, "explainThinking"), nullptr);
  EXPECT_TRUE(window->isThinking());
  ScopedAppearance light(Theme::Appearance::light);
  saveScreen(*window, "explain-thinking", Theme::Appearance::light);

  release();
  ASSERT_TRUE(waitFor([&] { return window->answer().has_value(); }));
  settle();
  auto *text = one<QLabel>(*window, "explainAnswer");
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(text->text(), "Port: \"PostgreSQL\", port 5432 <b>asleep</b>");
  EXPECT_EQ(text->textFormat(), Qt::PlainText);
  EXPECT_TRUE(text->textInteractionFlags() & Qt::TextSelectableByMouse);
  EXPECT_EQ(labelText(*window, "explainFootnote"),
            "Written by the local model server on this Mac. It can be wrong.");
  EXPECT_EQ(one<QWidget>(*window, "explainThinking"), nullptr);
  saveScreen(*window, "explain-answer", Theme::Appearance::light);

  // The same report again, equal in every field, asks nothing more.
  manager->explaining.set(reportAbout("PostgreSQL"));
  settle(20);
  EXPECT_EQ(asked(), 1u);
}

TEST_F(ExplainWindowTest, FailuresAreShownInAmberWithTheirReason) {
  status = 500;
  manager->explaining.set(reportAbout("Orders"));
  auto window = makeWindow();
  window->show();
  ASSERT_TRUE(waitFor([&] { return window->answer().has_value(); }));
  settle();
  EXPECT_EQ(labelText(*window, "explainFailure"),
            "Couldn't explain this: The model failed: model \"tiny\" is busy");
  ScopedAppearance dark(Theme::Appearance::dark);
  saveScreen(*window, "explain-failure", Theme::Appearance::dark);

  // No model installed: unavailable, with its own sentence.
  {
    std::lock_guard guard(lock);
    tags = R"({"models":[]})";
  }
  manager->explaining.set(reportAbout("Cache"));
  ASSERT_TRUE(waitFor([&] { return window->answer().has_value(); }));
  settle();
  EXPECT_EQ(labelText(*window, "explainFailure"),
            "Couldn't explain this: The local model server isn't available on this Mac.");
}

TEST_F(ExplainWindowTest, AReportThatChangesWhileTheAnswerIsOnItsWay) {
  holding = true;
  manager->explaining.set(reportAbout("First"));
  auto window = makeWindow();
  window->show();
  ASSERT_TRUE(waitFor([&] { return asked() == 1; }));
  manager->explaining.set(reportAbout("Second"));
  settle();
  EXPECT_EQ(labelText(*window, "explainTitle"), "Second on Studio")
      << "the heading follows at once";
  EXPECT_NE(one<QWidget>(*window, "explainThinking"), nullptr);
  ASSERT_TRUE(waitFor([&] { return asked() == 2; }));
  release();
  ASSERT_TRUE(waitFor([&] { return window->answer().has_value(); }));
  // Let the first answer arrive too: it is about another report and is not kept.
  settle(200);
  ASSERT_TRUE(window->answer()->has_value());
  EXPECT_EQ(**window->answer(), "Port: \"Second\", port 5432 <b>asleep</b>");
  EXPECT_EQ(window->asked(), reportAbout("Second"));

  // Taking the report away shows the sentence for no report.
  manager->explaining.set(std::nullopt);
  settle();
  EXPECT_NE(one<QLabel>(*window, "explainNothingChosen"), nullptr);
}

TEST_F(ExplainWindowTest, AWindowClosedBeforeTheAnswerIsLeftAlone) {
  holding = true;
  manager->explaining.set(reportAbout("Gone"));
  auto window = makeWindow();
  window->show();
  ASSERT_TRUE(waitFor([&] { return asked() == 1; }));
  window.reset();
  release();
  // The answer comes back to a window that is no more; nothing happens.
  settle(200);
  SUCCEED();
}

TEST_F(ExplainWindowTest, TheApplicationOpensItAndTheImporterByTheirIds) {
  RegisteredWindows app(manager.get());
  WindowRegistry &registry = app.registry;
  EXPECT_TRUE(registry.contains(QStringLiteral("importer")));
  ASSERT_TRUE(registry.contains(QStringLiteral("explain")));
  ASSERT_TRUE(registry.open(QStringLiteral("explain")));
  QWidget *window = registry.window(QStringLiteral("explain"));
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(window->windowTitle(), "Explain a Problem");
  EXPECT_NE(qobject_cast<ExplainWindow *>(window), nullptr);
  settle();
  EXPECT_EQ(labelText(*window, "explainNothingChosen"),
            "Choose \u201CExplain this problem\u201D on a port that has one.");
  window->close();
  settle();
  EXPECT_EQ(registry.window(QStringLiteral("explain")), nullptr);
}

TEST_F(ExplainWindowTest, OpenedByIdTheyKeepTheirWidthOnEveryFaceInTheMiddleOfTheScreen) {
  RegisteredWindows app(manager.get());
  WindowRegistry &registry = app.registry;
  const QPoint middle = QGuiApplication::primaryScreen()->availableGeometry().center();
  const auto expectPlaced = [&](const char *id, int width) {
    QWidget *window = registry.window(QString::fromLatin1(id));
    ASSERT_NE(window, nullptr);
    settle();
    EXPECT_EQ(window->width(), width) << id;
    EXPECT_LE(std::abs(window->geometry().center().x() - middle.x()), 4) << id;
  };
  ASSERT_TRUE(registry.open(QStringLiteral("explain")));
  expectPlaced("explain", ExplainWindow::contentWidth);

  ASSERT_TRUE(registry.open(QStringLiteral("importer")));
  auto *importer = qobject_cast<ImportWindow *>(registry.window(QStringLiteral("importer")));
  ASSERT_NE(importer, nullptr);
  importer->setChooser([](QWidget *, std::function<void(ImportWindow::ChooserResult)>) {});
  expectPlaced("importer", ImportWindow::contentWidth);
  QTemporaryDir folder;
  const QString path = folder.filePath(QStringLiteral("compose.yaml"));
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("services:\n  db:\n    image: postgres\n    ports: [\"5432:5432\"]\n");
  file.close();
  importer->readComposeFile(path);
  ASSERT_TRUE(importer->review().has_value());
  expectPlaced("importer", ImportWindow::contentWidth);
}

} // namespace
} // namespace corvane::testing

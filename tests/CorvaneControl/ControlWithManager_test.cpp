// The control program and a real service manager, each in a process of its own, meeting only
// through the app group's settings file and the named notifications.
#include "brimvale/platform/Clock.h"
#include "brimvale/platform/NamedNotification.h"
#include "brimvale/platform/UserDefaults.h"
#include "tests/support/Subprocess.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace corvane {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char *suite = "Q3KT7WZ2RM.corvane";

class ControlWithManagerTest : public ::testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/cvm-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    for (const char *folder : {"home", "config", "data"})
      fs::create_directories(root_ / folder);
    ::setenv("HOME", (root_ / "home").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", root_.c_str(), 1);
  }
  void TearDown() override { fs::remove_all(root_); }

  static std::string control(const std::string &argument = {}) {
    std::vector<std::string> argv{CORVANE_CONTROL_PROGRAM};
    if (!argument.empty())
      argv.push_back(argument);
    const auto result = testing::runProgram(argv);
    EXPECT_EQ(result.exitCode, 0);
    return result.output;
  }

  std::unique_ptr<testing::ChildProcess> startApplication() {
    auto application =
        std::make_unique<testing::ChildProcess>(std::vector<std::string>{CONTROL_APPLICATION_HOST});
    EXPECT_TRUE(application->started());
    return application;
  }

  // Quits it as a session's end does, and expects it to go cleanly.
  static void terminate(testing::ChildProcess &application) {
    application.signal(SIGTERM);
    EXPECT_EQ(application.readLine(60s), "stopped");
    EXPECT_EQ(application.wait(60s), 0);
  }

  static double stored(const char *key) {
    return UserDefaults(suite).doubleValue(key).value_or(-1);
  }
  static bool storedFlag(const char *key) {
    return UserDefaults(suite).boolean(key).value_or(false);
  }

  fs::path root_;
};

TEST_F(ControlWithManagerTest, RequestFiledWhileNotRunningIsAppliedAtStartAndQuittingShowsPaused) {
  EXPECT_EQ(control("off"), "Paused\n");
  const double requestAt = stored("requestAt");

  auto application = startApplication();
  EXPECT_EQ(application->readLine(60s), "paused true");
  EXPECT_TRUE(storedFlag("running"));
  EXPECT_TRUE(storedFlag("paused"));
  EXPECT_GE(stored("appliedAt"), requestAt);
  EXPECT_EQ(control(), "Paused\n");

  // A session ending sends SIGTERM: the control must not go on showing a running application.
  terminate(*application);
  EXPECT_FALSE(storedFlag("running"));
  EXPECT_EQ(control(), "Paused\n");

  // The pause was saved as the application's own setting, and the request is not taken twice.
  application = startApplication();
  EXPECT_EQ(application->readLine(60s), "paused true");
  EXPECT_EQ(control("on"), "Sharing\n");
  EXPECT_EQ(application->readLine(60s), "paused false");
  terminate(*application);
}

TEST_F(ControlWithManagerTest, FlipsWhileRunningPauseAndResumeAndTheApplicationRepublishes) {
  auto application = startApplication();
  EXPECT_EQ(application->readLine(60s), "paused false");
  EXPECT_EQ(control(), "Sharing\n");
  testing::ChildProcess watcher({CORVANE_CONTROL_PROGRAM, "--watch"});
  EXPECT_EQ(watcher.readLine(60s), "Sharing");

  EXPECT_EQ(control("off"), "Paused\n");
  EXPECT_EQ(application->readLine(60s), "paused true");
  // The application's publication after applying the request reloads the control.
  auto line = watcher.readLine(60s);
  EXPECT_EQ(line, "Paused");
  const double requestAt = stored("requestAt");
  EXPECT_TRUE(storedFlag("running"));
  EXPECT_TRUE(storedFlag("paused"));
  EXPECT_GE(stored("appliedAt"), requestAt);

  EXPECT_EQ(control("toggle"), "Sharing\n");
  EXPECT_EQ(application->readLine(60s), "paused false");
  while ((line = watcher.readLine(60s)) && *line != "Sharing") {
  }
  EXPECT_EQ(line, "Sharing");

  terminate(*application);
  while ((line = watcher.readLine(60s)) && *line != "Paused") {
  }
  EXPECT_EQ(line, "Paused") << "quitting reloads the control";
}

TEST_F(ControlWithManagerTest, TwoFlipsBeforeTheApplicationLooksAreAppliedOnceTheLaterWinning) {
  auto application = startApplication();
  EXPECT_EQ(application->readLine(60s), "paused false");
  // Held still, the application receives both notifications only after both flips are stored.
  application->signal(SIGSTOP);
  EXPECT_EQ(control("off"), "Paused\n");
  EXPECT_EQ(control("on"), "Sharing\n");
  EXPECT_EQ(control("off"), "Paused\n");
  const double lastRequest = stored("requestAt");
  application->signal(SIGCONT);

  EXPECT_EQ(application->readLine(60s), "paused true");
  terminate(*application);
  // Nothing but the latest request was applied: no resume after the pause.
  EXPECT_EQ(application->readAll(), "");
  EXPECT_GE(stored("appliedAt"), lastRequest);
  EXPECT_TRUE(storedFlag("paused"));
}

TEST_F(ControlWithManagerTest, ARequestOlderThanTheApplicationsLastPublicationIsIgnored) {
  auto application = startApplication();
  EXPECT_EQ(application->readLine(60s), "paused false");
  // A pause request stamped before the application last published, then announced.
  {
    UserDefaults control(suite);
    control.setBool("paused", true);
    control.setBool("requestPaused", true);
    control.setDouble("requestAt", stored("appliedAt") - 10);
  }
  testing::ChildProcess watcher({CORVANE_CONTROL_PROGRAM, "--watch"});
  EXPECT_EQ(watcher.readLine(60s), "Paused");
  postNamedNotification("Q3KT7WZ2RM.corvane.sharing-request");
  // The application only publishes its own state again, which overwrites "paused".
  EXPECT_EQ(watcher.readLine(60s), "Sharing");
  EXPECT_FALSE(storedFlag("paused"));
  terminate(*application);
  EXPECT_EQ(application->readAll(), "");
}

} // namespace
} // namespace corvane

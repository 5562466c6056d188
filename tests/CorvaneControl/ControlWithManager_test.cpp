// The control program and the application (one real service manager, headless), each in a
// process of its own, meeting only through the app group's settings file and the named
// notifications. The application gets no system bus, so it neither advertises on the
// machine's network nor asks for the Wi-Fi name.
#include "CorvaneControl/SetSharingFromControl.h"
#include "brimvale/platform/NamedNotification.h"
#include "brimvale/platform/UserDefaults.h"
#include "tests/support/Subprocess.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

namespace corvane {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char *suite = "Q3KT7WZ2RM.corvane";
constexpr const char *requestNotification = "Q3KT7WZ2RM.corvane.sharing-request";

// Waits for something another process does, polling with a generous bound.
bool eventually(const std::function<bool()> &happened, std::chrono::seconds limit = 60s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!happened()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

double stored(const char *key) {
  return UserDefaults(suite).doubleValue(key).value_or(-1);
}
bool storedFlag(const char *key) {
  return UserDefaults(suite).boolean(key).value_or(false);
}

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

  // Started, and once it has published and listens for requests.
  std::unique_ptr<testing::ChildProcess> startApplication() {
    const std::string noBus = "unix:path=" + (root_ / "no-bus").string();
    auto application = std::make_unique<testing::ChildProcess>(
        std::vector<std::string>{CORVANE_APPLICATION, "--headless"},
        std::vector<std::string>{"DBUS_SYSTEM_BUS_ADDRESS=" + noBus,
                                 "DBUS_SESSION_BUS_ADDRESS=" + noBus});
    EXPECT_TRUE(application->started());
    const auto requests = namedNotificationFolder(requestNotification);
    EXPECT_TRUE(eventually([&] { return storedFlag("running") && !fs::is_empty(requests); }))
        << "the application never published or never listened";
    return application;
  }

  // Quits it as a session's end does.
  static void quit(testing::ChildProcess &application, int signal) {
    application.signal(signal);
    EXPECT_EQ(application.wait(60s), 0);
    EXPECT_FALSE(storedFlag("running")) << "after signal " << signal;
  }

  // The application has taken the latest request into account.
  static bool applied() { return stored("appliedAt") >= stored("requestAt"); }

  // The pause setting the application saved in its own settings, absent before it saved any.
  static std::optional<bool> savedPause() {
    const auto settings = UserDefaults(UserDefaults::standardDomain).data("corvane.preferences.v2");
    if (!settings)
      return std::nullopt;
    const auto record = nlohmann::json::parse(settings->begin(), settings->end(), nullptr, false);
    return record.is_object() && record.value("sharingPaused", false);
  }

  fs::path root_;
};

TEST_F(ControlWithManagerTest, RequestFiledWhileNotRunningIsAppliedAtStartAndQuittingShowsPaused) {
  EXPECT_EQ(control("off"), "Paused\n");
  EXPECT_EQ(control(), "Paused\n");

  auto application = startApplication();
  EXPECT_TRUE(applied());
  EXPECT_TRUE(storedFlag("paused"));
  EXPECT_EQ(savedPause(), true);
  EXPECT_EQ(control(), "Paused\n");

  // A session ending sends SIGTERM: the control must not go on showing a running application.
  quit(*application, SIGTERM);
  EXPECT_EQ(control(), "Paused\n");

  // Started again it keeps its own pause setting, and takes the next request.
  application = startApplication();
  EXPECT_TRUE(storedFlag("paused"));
  EXPECT_EQ(control("on"), "Sharing\n");
  EXPECT_TRUE(eventually(applied));
  EXPECT_TRUE(eventually([&] { return savedPause() == false; }));
  EXPECT_EQ(control(), "Sharing\n");
  quit(*application, SIGTERM);
}

TEST_F(ControlWithManagerTest, FlipsWhileRunningPauseAndResumeAndTheApplicationRepublishes) {
  auto application = startApplication();
  EXPECT_EQ(control(), "Sharing\n");
  testing::ChildProcess watcher({CORVANE_CONTROL_PROGRAM, "--watch"});
  EXPECT_EQ(watcher.readLine(60s), "Sharing");

  EXPECT_EQ(control("off"), "Paused\n");
  // Its publication after applying the request reloads the control.
  EXPECT_EQ(watcher.readLine(60s), "Paused");
  EXPECT_TRUE(eventually(applied));
  EXPECT_TRUE(storedFlag("running"));
  EXPECT_TRUE(storedFlag("paused"));
  EXPECT_TRUE(eventually([&] { return savedPause() == true; }));

  EXPECT_EQ(control("toggle"), "Sharing\n");
  EXPECT_EQ(watcher.readLine(60s), "Sharing");
  EXPECT_TRUE(eventually([&] { return savedPause() == false; }));

  quit(*application, SIGINT);
  EXPECT_EQ(watcher.readLine(60s), "Paused") << "quitting reloads the control";
}

TEST_F(ControlWithManagerTest, TwoFlipsBeforeTheApplicationLooksAreAppliedOnceTheLaterWinning) {
  auto application = startApplication();
  // Held still, it receives the notifications only after every flip is stored.
  application->signal(SIGSTOP);
  EXPECT_EQ(control("off"), "Paused\n");
  EXPECT_EQ(control("on"), "Sharing\n");
  EXPECT_EQ(control("off"), "Paused\n");
  const double lastRequest = stored("requestAt");
  application->signal(SIGCONT);

  EXPECT_TRUE(eventually([&] { return stored("appliedAt") >= lastRequest; }));
  EXPECT_TRUE(eventually([&] { return savedPause() == true; }));
  EXPECT_TRUE(storedFlag("paused"));
  quit(*application, SIGHUP);
  EXPECT_EQ(savedPause(), true);
}

TEST_F(ControlWithManagerTest, TheLastOfABurstOfRequestsIsTheStateTheApplicationEndsIn) {
  auto application = startApplication();
  for (int burst = 0; burst < 30; ++burst) {
    // Six flips filed as fast as the control files them, so that most arrive while the
    // application applies another; the pace varies so that each moment of that is met.
    bool lastPaused = false;
    for (int flip = 0; flip < 6; ++flip) {
      lastPaused = (flip + burst) % 2 == 0;
      SetSharingFromControl{.value = !lastPaused}.perform();
      std::this_thread::sleep_for(std::chrono::microseconds((burst * 6 + flip) % 7 * 700));
    }
    ASSERT_TRUE(eventually(
        [&] {
          return applied() && savedPause().value_or(false) == lastPaused &&
                 storedFlag("paused") == lastPaused;
        },
        30s))
        << "burst " << burst << " ended " << (savedPause().value_or(false) ? "paused" : "sharing")
        << " after a last request to " << (lastPaused ? "pause" : "share");
  }
  // The program itself, back to back.
  for (const char *argument : {"on", "off", "on", "off", "on", "off"})
    control(argument);
  EXPECT_TRUE(eventually([&] { return applied() && savedPause() == true; }, 30s));
  quit(*application, SIGTERM);
}

TEST_F(ControlWithManagerTest, TwoTogglesAtOnceEndWhereTheyBegan) {
  auto application = startApplication();
  for (int pair = 0; pair < 20; ++pair) {
    const bool paused = pair % 3 == 0;
    // Each pair starts from a state the application has taken and published.
    control(paused ? "off" : "on");
    ASSERT_TRUE(eventually([&] { return applied() && savedPause().value_or(false) == paused; }));
    testing::ChildProcess first({CORVANE_CONTROL_PROGRAM, "toggle"});
    testing::ChildProcess second({CORVANE_CONTROL_PROGRAM, "toggle"});
    EXPECT_EQ(first.wait(60s), 0);
    EXPECT_EQ(second.wait(60s), 0);
    EXPECT_TRUE(eventually(
        [&] {
          return applied() && savedPause().value_or(false) == paused &&
                 storedFlag("paused") == paused;
        },
        30s))
        << "pair " << pair << " began " << (paused ? "paused" : "sharing");
  }
  quit(*application, SIGTERM);
}

TEST_F(ControlWithManagerTest, ARequestOlderThanTheApplicationsLastPublicationIsIgnored) {
  auto application = startApplication();
  // A pause request stamped before the application last published, then announced.
  {
    UserDefaults control(suite);
    control.setBool("paused", true);
    control.setBool("requestPaused", true);
    control.setDouble("requestAt", stored("appliedAt") - 10);
  }
  testing::ChildProcess watcher({CORVANE_CONTROL_PROGRAM, "--watch"});
  EXPECT_EQ(watcher.readLine(60s), "Paused");
  postNamedNotification(requestNotification);
  // It only publishes its own state again, which overwrites "paused".
  EXPECT_EQ(watcher.readLine(60s), "Sharing");
  EXPECT_FALSE(storedFlag("paused"));
  EXPECT_NE(savedPause(), true);
  quit(*application, SIGTERM);
}

} // namespace
} // namespace corvane

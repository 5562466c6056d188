// The control program run as a process of its own against a temporary settings folder and
// runtime folder; this test plays the application's side through the same files.
#include "brimvale/platform/Clock.h"
#include "brimvale/platform/NamedNotification.h"
#include "brimvale/platform/UserDefaults.h"
#include "tests/support/Inbox.h"
#include "tests/support/MainThread.h"
#include "tests/support/StderrTap.h"
#include "tests/support/Subprocess.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace corvane {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char *suite = "Q3KT7WZ2RM.corvane";
constexpr const char *requestNotification = "Q3KT7WZ2RM.corvane.sharing-request";

class ControlTest : public ::testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/cvc-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    fs::create_directories(root_ / "home");
    ::setenv("HOME", (root_ / "home").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", root_.c_str(), 1);
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path settingsFile() const {
    return root_ / "config" / "corvane" / (std::string(suite) + ".json");
  }

  static testing::RunResult control(std::vector<std::string> arguments,
                                    std::vector<std::string> environment = {}) {
    arguments.insert(arguments.begin(), CORVANE_CONTROL_PROGRAM);
    return testing::runProgram(arguments, environment);
  }

  // What is in the file now, as another reader sees it; absent when it is not a JSON object.
  std::optional<json> stored() const {
    std::ifstream in(settingsFile());
    std::stringstream text;
    text << in.rdbuf();
    const auto document = json::parse(text.str(), nullptr, false);
    if (document.is_discarded() || !document.is_object())
      return std::nullopt;
    return document;
  }

  // Sets or (with nothing) removes one key, as the application does.
  static void set(const char *key, std::optional<bool> value) {
    UserDefaults app(suite);
    if (value)
      app.setBool(key, *value);
    else
      app.remove(key);
  }

  std::shared_ptr<NamedNotificationObserver> observe(const char *name, testing::Inbox<int> &calls) {
    auto observer = main_.sync([&] {
      return NamedNotificationObserver::make(name, main_.queue(), [&calls] { calls.push(1); });
    });
    return std::shared_ptr<NamedNotificationObserver>(
        observer.release(),
        [this](NamedNotificationObserver *gone) { main_.sync([gone] { delete gone; }); });
  }

  fs::path root_;
  testing::MainThread main_;
};

TEST_F(ControlTest, ShowsSharingOnlyWhileTheApplicationRunsUnpaused) {
  const std::optional<bool> states[] = {std::nullopt, false, true};
  for (const auto running : states) {
    for (const auto paused : states) {
      set("running", running);
      set("paused", paused);
      const bool sharing = running.value_or(false) && !paused.value_or(false);
      const auto shown = control({});
      EXPECT_EQ(shown.exitCode, 0);
      EXPECT_EQ(shown.output, sharing ? "Sharing\n" : "Paused\n")
          << "running " << (running ? (*running ? "true" : "false") : "absent") << ", paused "
          << (paused ? (*paused ? "true" : "false") : "absent");
      // The preview never depends on the file.
      EXPECT_EQ(control({"--preview"}).output, "Sharing\n");
    }
  }
  // Before the application ever ran there is no file at all.
  fs::remove(settingsFile());
  EXPECT_EQ(control({}).output, "Paused\n");
}

TEST_F(ControlTest, FlipWhileTheApplicationIsNotRunningStoresTheRequestAndAnnouncesIt) {
  set("running", false);
  testing::Inbox<int> requests;
  auto observer = observe(requestNotification, requests);
  const double before = referenceDateNow();

  testing::StderrTap errors;
  const auto flipped = control({"off"});
  EXPECT_EQ(flipped.exitCode, 0);
  EXPECT_EQ(flipped.output, "Paused\n");
  EXPECT_EQ(errors.waitFor("\n"),
            "Corvane is not running: the request applies when it next starts.\n");
  EXPECT_TRUE(requests.pop(20s));
  const auto file = stored();
  ASSERT_TRUE(file);
  EXPECT_EQ(file->value("paused", false), true);
  EXPECT_EQ(file->value("requestPaused", false), true);
  EXPECT_GE(file->value("requestAt", 0.0), before);
  EXPECT_LE(file->value("requestAt", 0.0), referenceDateNow());
  EXPECT_EQ(file->value("running", true), false);

  // Resuming is stored the same way and still shows "Paused": nothing runs to share.
  const auto resumed = control({"on"});
  EXPECT_EQ(resumed.output, "Paused\n");
  EXPECT_TRUE(requests.pop(20s));
  EXPECT_EQ(stored()->value("paused", true), false);
  EXPECT_EQ(stored()->value("requestPaused", true), false);
}

TEST_F(ControlTest, FlipWhileRunningShowsTheRequestedStateAtOnceAndToggleNegatesIt) {
  set("running", true);
  set("paused", false);
  EXPECT_EQ(control({"toggle"}).output, "Paused\n");
  EXPECT_EQ(stored()->value("requestPaused", false), true);
  EXPECT_EQ(control({"toggle"}).output, "Sharing\n");
  EXPECT_EQ(stored()->value("requestPaused", true), false);
  EXPECT_EQ(control({"on"}).output, "Sharing\n");
  EXPECT_EQ(control({}).output, "Sharing\n");
}

TEST_F(ControlTest, LaterFlipsCarryLaterTimeStampsEvenAfterTheClockWasSetBack) {
  set("running", true);
  control({"off"});
  const double first = stored()->value("requestAt", 0.0);
  control({"on"});
  const auto second = stored();
  EXPECT_GT(second->value("requestAt", 0.0), first);
  EXPECT_EQ(second->value("requestPaused", true), false);
  EXPECT_EQ(second->value("paused", true), false);

  // Stamps from a clock that was ahead: the next flip must still be later than both, or the
  // application would take it for old news.
  const double ahead = referenceDateNow() + 3600;
  UserDefaults(suite).setDouble("requestAt", ahead);
  UserDefaults(suite).setDouble("appliedAt", ahead + 60);
  control({"off"});
  EXPECT_GT(stored()->value("requestAt", 0.0), ahead + 60);
  EXPECT_EQ(stored()->value("appliedAt", 0.0), ahead + 60);
}

TEST_F(ControlTest, NeverWritesTheApplicationsKeysAndKeepsOthers) {
  for (const char *argument : {"on", "off", "toggle"}) {
    control({argument});
    EXPECT_FALSE(stored()->contains("running")) << argument;
    EXPECT_FALSE(stored()->contains("appliedAt")) << argument;
  }
  UserDefaults app(suite);
  app.setBool("running", true);
  app.setDouble("appliedAt", 1.5);
  app.setString("unrelated", "kept");
  for (const char *argument : {"on", "off", "toggle", "", "--preview"}) {
    control(std::string(argument).empty() ? std::vector<std::string>{}
                                          : std::vector<std::string>{argument});
    const auto file = stored();
    EXPECT_EQ(file->value("running", false), true) << argument;
    EXPECT_EQ(file->value("appliedAt", 0.0), 1.5) << argument;
    EXPECT_EQ(file->value("unrelated", ""), "kept") << argument;
  }
}

TEST_F(ControlTest, CommandLinesItDoesNotUnderstandChangeNothingAndFailWithTheUsage) {
  set("running", true);
  for (const std::vector<std::string> &arguments :
       {std::vector<std::string>{"pause"}, {"on", "off"}, {"--watch", "extra"}, {""}}) {
    testing::StderrTap errors;
    const auto shown = control(arguments);
    EXPECT_EQ(shown.exitCode, 2);
    EXPECT_EQ(shown.output, "");
    EXPECT_EQ(errors.waitFor("\n"),
              "Usage: corvane-control [on | off | toggle | --preview | --watch]\n");
  }
  EXPECT_FALSE(stored()->contains("requestAt"));
}

TEST_F(ControlTest, WithoutASettingsFolderItShowsPausedAndStillAnnouncesAFlip) {
  testing::Inbox<int> requests;
  auto observer = observe(requestNotification, requests);
  const std::vector<std::string> none{"HOME", "XDG_CONFIG_HOME"};
  EXPECT_EQ(control({}, none).output, "Paused\n");
  // Neither a folder known nor one that can be made: the flip is not filed, and says why.
  std::ofstream(root_ / "blocked") << "a file where a folder should be";
  const std::vector<std::string> blocked{"XDG_CONFIG_HOME=" + (root_ / "blocked").string()};
  for (const auto &[argument, environment, why] :
       {std::tuple{"on", none, "no settings folder"}, {"toggle", blocked, "Not a directory"}}) {
    testing::StderrTap errors;
    const auto flipped = control({argument}, environment);
    EXPECT_EQ(flipped.exitCode, 1);
    EXPECT_EQ(flipped.output, "");
    const auto said = errors.waitFor("Could not file the request: ");
    EXPECT_NE(said.find(why, said.find("Could not file the request: ")), std::string::npos) << said;
    EXPECT_TRUE(requests.pop(20s));
  }
  EXPECT_FALSE(fs::exists(root_ / "config"));
}

// Each toggle flips what the one before it filed, even while nothing has taken that request:
// two toggles end where they began.
TEST_F(ControlTest, ToggleFlipsTheLatestRequestNotTheStateShown) {
  set("running", false);
  EXPECT_EQ(control({"toggle"}).exitCode, 0);
  EXPECT_EQ(stored()->value("requestPaused", true), false) << "shown paused, so it resumes";
  control({"toggle"});
  EXPECT_EQ(stored()->value("requestPaused", false), true);
}

TEST_F(ControlTest, WatchPrintsAgainOnEveryReloadAndLeavesNoSocketBehind) {
  set("running", true);
  testing::ChildProcess watcher({CORVANE_CONTROL_PROGRAM, "--watch"});
  ASSERT_TRUE(watcher.started());
  EXPECT_EQ(watcher.readLine(), "Sharing");
  const auto folder = namedNotificationFolder("corvane.sharing");
  // The first line is printed once it observes, so a reload now reaches it.
  set("paused", true);
  EXPECT_EQ(postNamedNotification("corvane.sharing"), 1);
  EXPECT_EQ(watcher.readLine(), "Paused");
  set("paused", false);
  postNamedNotification("corvane.sharing");
  EXPECT_EQ(watcher.readLine(), "Sharing");
  // Quitting the application reloads too.
  set("running", false);
  postNamedNotification("corvane.sharing");
  EXPECT_EQ(watcher.readLine(), "Paused");
  // Other notifications, and reloads that change nothing, do not make it print.
  postNamedNotification(requestNotification);
  set("paused", true);
  postNamedNotification("corvane.sharing");
  set("running", true);
  postNamedNotification("corvane.sharing");
  set("paused", false);
  postNamedNotification("corvane.sharing");
  EXPECT_EQ(watcher.readLine(), "Sharing") << "only a change is printed";

  watcher.signal(SIGTERM);
  EXPECT_EQ(watcher.wait(), 0);
  EXPECT_EQ(watcher.readAll(), "");
  EXPECT_TRUE(fs::is_empty(folder));
}

TEST_F(ControlTest, DamagedSettingsFileReadsAsEmptyAndIsReplacedByTheNextFlip) {
  fs::create_directories(settingsFile().parent_path());
  for (const char *damage : {"{\"running\": true, \"paused\": fal", "[true]", "\xff\xfe garbage"}) {
    std::ofstream(settingsFile(), std::ios::trunc) << damage;
    const auto shown = control({});
    EXPECT_EQ(shown.exitCode, 0);
    EXPECT_EQ(shown.output, "Paused\n") << damage;
    const auto flipped = control({"off"});
    EXPECT_EQ(flipped.exitCode, 0);
    const auto file = stored();
    ASSERT_TRUE(file) << damage;
    EXPECT_EQ(file->value("requestPaused", false), true) << damage;
  }
}

// Both processes rewrite the one file: every change is made under the file lock on what is on
// disk at that moment and renamed into place whole, so no writer's key is lost and a reader
// never sees half a file.
TEST_F(ControlTest, ConcurrentWritersFromBothSidesLoseNothingAndReadersSeeWholeFiles) {
  set("running", true);
  std::atomic<bool> done{false};
  std::atomic<int> damagedReads{0};
  std::thread reader([&] {
    while (!done) {
      if (fs::exists(settingsFile()) && !stored())
        ++damagedReads;
    }
  });
  std::thread application([&] {
    UserDefaults app(suite);
    for (int i = 0; i < 200; ++i)
      app.setInteger("applicationCounter", i);
  });
  std::vector<std::unique_ptr<testing::ChildProcess>> flips;
  for (int i = 0; i < 16; ++i)
    flips.push_back(std::make_unique<testing::ChildProcess>(
        std::vector<std::string>{CORVANE_CONTROL_PROGRAM, i % 2 ? "on" : "off"}));
  for (auto &flip : flips)
    EXPECT_EQ(flip->wait(60s), 0);
  application.join();
  done = true;
  reader.join();

  EXPECT_EQ(damagedReads, 0);
  const auto file = stored();
  ASSERT_TRUE(file);
  EXPECT_EQ(file->value("applicationCounter", 0), 199);
  EXPECT_EQ(file->value("running", false), true);
  EXPECT_TRUE(file->contains("requestAt"));
  EXPECT_TRUE(file->contains("requestPaused"));
}

TEST(ControlDesktopEntry, RunsTheBuiltProgramWithItsNameAndActions) {
  std::ifstream in(CORVANE_CONTROL_DESKTOP_ENTRY);
  ASSERT_TRUE(in) << CORVANE_CONTROL_DESKTOP_ENTRY;
  std::stringstream text;
  text << in.rdbuf();
  const std::string entry = text.str();
  const std::string program = std::string("\"") + CORVANE_CONTROL_PROGRAM + "\"";
  EXPECT_TRUE(fs::path(CORVANE_CONTROL_PROGRAM).is_absolute());
  for (const std::string &line :
       {std::string("[Desktop Entry]\nType=Application\nName=Corvane Sharing\n"),
        std::string("Comment=Pause or resume sharing your ports with paired Macs.\n"),
        "Exec=" + program + " toggle\n", std::string("Actions=Sharing;Paused;\n"),
        "[Desktop Action Sharing]\nName=Sharing\nExec=" + program + " on\n",
        "[Desktop Action Paused]\nName=Paused\nExec=" + program + " off\n"})
    EXPECT_NE(entry.find(line), std::string::npos) << line << "\nnot in\n" << entry;
}

} // namespace
} // namespace corvane

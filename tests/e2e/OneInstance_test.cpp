// The application started twice for one user, in either mode and either order: the later start
// hands its link to the running one and leaves without touching the settings. No bus, so
// neither start advertises on the machine's network.
#include "brimvale/platform/AppGroup.h"
#include "brimvale/platform/PrivateFiles.h"
#include "brimvale/platform/UserDefaults.h"
#include "tests/support/Subprocess.h"
#include "tests/support/Wait.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace corvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class OneInstanceTest : public ::testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/one-instance-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    for (const char *folder : {"home", "config", "data", "runtime"})
      fs::create_directories(root_ / folder);
    ::setenv("HOME", (root_ / "home").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (root_ / "runtime").c_str(), 1);
  }
  void TearDown() override { fs::remove_all(root_); }

  std::vector<std::string> environment(bool desktop) const {
    const std::string noBus = "unix:path=" + (root_ / "no-bus").string();
    std::vector<std::string> entries{"DBUS_SYSTEM_BUS_ADDRESS=" + noBus,
                                     "DBUS_SESSION_BUS_ADDRESS=" + noBus, "DISPLAY",
                                     "WAYLAND_DISPLAY", "CORVANE_HEADLESS"};
    entries.push_back(desktop ? "QT_QPA_PLATFORM=offscreen" : "QT_QPA_PLATFORM");
    return entries;
  }
  std::vector<std::string> command(bool desktop, std::vector<std::string> links = {}) const {
    std::vector<std::string> argv{CORVANE_APPLICATION};
    if (!desktop)
      argv.push_back("--headless");
    argv.insert(argv.end(), links.begin(), links.end());
    return argv;
  }

  // With `logged`, its log comes on its standard output.
  std::unique_ptr<testing::ChildProcess> startFirst(bool desktop, bool logged = false) {
    auto argv = command(desktop);
    if (logged)
      argv.insert(argv.begin(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1"});
    auto first = std::make_unique<testing::ChildProcess>(argv, environment(desktop));
    EXPECT_TRUE(first->started());
    // The stamp is the last thing its first publish writes.
    EXPECT_TRUE(testing::waitUntil([] {
      return UserDefaults(appgroup::suiteName).doubleValue(appgroup::appliedAtKey).has_value();
    })) << "the first start never published";
    return first;
  }

  // A later headless start run to its end, with its log as its output; `changes` alter its
  // environment.
  testing::RunResult later(std::vector<std::string> links,
                           const std::vector<std::string> &changes = {}) const {
    auto argv = command(false, std::move(links));
    argv.insert(argv.begin(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1"});
    auto entries = environment(false);
    entries.insert(entries.end(), changes.begin(), changes.end());
    return testing::runProgram(argv, entries, 60s);
  }

  // Every settings file as it is now.
  std::map<std::string, std::string> settings() const {
    std::map<std::string, std::string> files;
    for (const auto &entry : fs::recursive_directory_iterator(root_ / "config"))
      if (entry.is_regular_file() && entry.path().extension() == ".json")
        if (const auto bytes = storage::readFile(entry.path(), 1 << 24))
          files[entry.path().string()] = std::string(bytes->begin(), bytes->end());
    return files;
  }

  static bool savedPause() {
    const auto record = UserDefaults(UserDefaults::standardDomain).data("corvane.preferences.v2");
    if (!record)
      return false;
    const auto json = nlohmann::json::parse(record->begin(), record->end(), nullptr, false);
    return json.is_object() && json.value("sharingPaused", false);
  }

  // Both orders: a later start of either mode leaves, and its link reaches the first.
  void laterStartsLeave(bool desktopFirst) {
    auto first = startFirst(desktopFirst);
    for (const bool desktop : {false, true}) {
      const auto before = settings();
      const auto plain = testing::runProgram(command(desktop), environment(desktop), 60s);
      EXPECT_EQ(plain.exitCode, 0) << (desktop ? "desktop" : "headless") << " start kept running";
      EXPECT_EQ(settings(), before) << "a later start wrote settings";
    }
    const auto linked = testing::runProgram(command(!desktopFirst, {"corvane://pause-all"}),
                                            environment(!desktopFirst), 60s);
    EXPECT_EQ(linked.exitCode, 0);
    EXPECT_TRUE(testing::waitUntil(savedPause)) << "the link never reached the first start";
    first->signal(SIGTERM);
    EXPECT_EQ(first->wait(60s), 0);
  }

  fs::path root_;
};

TEST_F(OneInstanceTest, ALaterStartHandsOverToAHeadlessFirst) {
  laterStartsLeave(false);
}

TEST_F(OneInstanceTest, ALaterStartHandsOverToADesktopFirst) {
  laterStartsLeave(true);
}

// The guard is the settings and data folders, not the runtime folder: a start from cron, su or
// ssh without one (or with another) finds the first all the same.
TEST_F(OneInstanceTest, ALaterStartFindsTheFirstWhateverItsRuntimeFolder) {
  auto first = startFirst(false);
  fs::create_directories(root_ / "other-runtime");
  for (const std::string &runtime : std::vector<std::string>{
           "XDG_RUNTIME_DIR", "XDG_RUNTIME_DIR=" + (root_ / "other-runtime").string()}) {
    const auto before = settings();
    const auto result = later({}, {runtime});
    EXPECT_EQ(result.exitCode, 0) << runtime << ": " << result.output;
    EXPECT_EQ(settings(), before) << runtime << ": a later start wrote settings";
  }
  const auto linked = later({"corvane://pause-all"}, {"XDG_RUNTIME_DIR"});
  EXPECT_EQ(linked.exitCode, 0) << linked.output;
  EXPECT_TRUE(testing::waitUntil(savedPause)) << "the link never reached the first start";
  first->signal(SIGTERM);
  EXPECT_EQ(first->wait(60s), 0);
}

// Settings and data in one folder: it is guarded once, so the first runs and a later start
// hands over to it.
TEST_F(OneInstanceTest, OneFolderForSettingsAndDataIsOneInstance) {
  ::setenv("XDG_DATA_HOME", (root_ / "config").c_str(), 1);
  auto first = startFirst(false);
  const auto linked = later({"corvane://pause-all"});
  EXPECT_EQ(linked.exitCode, 0) << linked.output;
  EXPECT_TRUE(testing::waitUntil(savedPause)) << "the link never reached the first start";
  first->signal(SIGTERM);
  EXPECT_EQ(first->wait(60s), 0);
}

// What the first does not take, the later start does not claim to have handed over.
TEST_F(OneInstanceTest, ALinkTheFirstRefusesFailsTheLaterStart) {
  auto first = startFirst(true);
  for (const char *link :
       {"corvane://delete-all", "corvane://environment//pause", "corvane://copy/%00"}) {
    const auto result = later({link});
    EXPECT_NE(result.exitCode, 0) << link << ": " << result.output;
    EXPECT_NE(result.output.find("refused"), std::string::npos) << link << ": " << result.output;
  }
  const auto many = later(std::vector<std::string>(40, "corvane://show"));
  EXPECT_NE(many.exitCode, 0) << many.output;
  first->signal(SIGTERM);
  EXPECT_EQ(first->wait(60s), 0);
}

// A first start that cannot answer (stopped) is not handed the link again and again: the later
// start gives up once, and the first never follows a link whose start said it was not taken.
TEST_F(OneInstanceTest, AStoppedFirstIsNotHandedALinkTwice) {
  auto first = startFirst(false, true);
  first->signal(SIGSTOP);
  const auto stopped = later({"corvane://show/unanswered"});
  first->signal(SIGCONT);
  EXPECT_NE(stopped.exitCode, 0) << stopped.output;
  const auto marker = later({"corvane://show/marker"});
  EXPECT_NE(marker.exitCode, 0) << marker.output;
  int unanswered = 0;
  bool marked = false;
  while (!marked) {
    const auto line = first->readLine(60s);
    ASSERT_TRUE(line) << "the first never logged the marker link";
    unanswered += line->find("unanswered") != std::string::npos ? 1 : 0;
    marked = line->find("marker") != std::string::npos;
  }
  EXPECT_EQ(unanswered, 0);
  first->signal(SIGTERM);
  EXPECT_EQ(first->wait(60s), 0);
}

} // namespace
} // namespace corvane

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

  std::unique_ptr<testing::ChildProcess> startFirst(bool desktop) {
    auto first = std::make_unique<testing::ChildProcess>(command(desktop), environment(desktop));
    EXPECT_TRUE(first->started());
    // The stamp is the last thing its first publish writes.
    EXPECT_TRUE(testing::waitUntil([] {
      return UserDefaults(appgroup::suiteName).doubleValue(appgroup::appliedAtKey).has_value();
    })) << "the first start never published";
    return first;
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

} // namespace
} // namespace corvane

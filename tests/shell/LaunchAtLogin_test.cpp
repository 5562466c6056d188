#include "brimvale/shell/LaunchAtLogin.h"

#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>

namespace corvane {
namespace {

namespace fs = std::filesystem;

class LaunchAtLoginTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(folder.isValid());
    config = fs::path(folder.path().toStdString()) / "config";
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  }
  QTemporaryDir folder;
  fs::path config;
};

std::string contents(const fs::path &path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST_F(LaunchAtLoginTest, OnWritesTheAutostartEntryWholeAndOffRemovesIt) {
  const auto entry = config / "autostart" / "corvane.desktop";
  EXPECT_EQ(launchAtLoginEntryPath(), entry);
  EXPECT_EQ(setLaunchAtLogin(true, "/opt/My Apps/corvane$1"), std::nullopt);
  ASSERT_TRUE(fs::is_regular_file(entry));
  const auto text = contents(entry);
  EXPECT_NE(text.find("[Desktop Entry]\n"), std::string::npos);
  EXPECT_NE(text.find("Exec=\"/opt/My Apps/corvane\\\\$1\"\n"), std::string::npos) << text;
  EXPECT_EQ(fs::status(entry).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                fs::perms::others_read);
  // Twice on: the same entry, and no temporary file left beside it.
  EXPECT_EQ(setLaunchAtLogin(true, "/usr/bin/corvane"), std::nullopt);
  EXPECT_NE(contents(entry).find("Exec=\"/usr/bin/corvane\"\n"), std::string::npos);
  EXPECT_EQ(std::distance(fs::directory_iterator(entry.parent_path()), fs::directory_iterator()),
            1);

  EXPECT_EQ(setLaunchAtLogin(false), std::nullopt);
  EXPECT_FALSE(fs::exists(entry));
  EXPECT_EQ(setLaunchAtLogin(false), std::nullopt) << "already off";
  // By default the entry starts this very program.
  EXPECT_EQ(setLaunchAtLogin(true), std::nullopt);
  EXPECT_NE(contents(entry).find("Exec=\"/"), std::string::npos);
}

TEST_F(LaunchAtLoginTest, AFailureGivesTheMessageAndLeavesNothingHalfWritten) {
  // The autostart folder cannot be made: a file stands in its place.
  fs::create_directories(config);
  std::ofstream(config / "autostart") << "not a folder";
  const auto message = setLaunchAtLogin(true, "/usr/bin/corvane");
  ASSERT_TRUE(message);
  EXPECT_EQ(*message, "Could not change launch at login. You can set it in your desktop's "
                      "autostart settings.");
  EXPECT_EQ(contents(config / "autostart"), "not a folder");
  // A folder that cannot be written: the old entry stays whole.
  fs::remove(config / "autostart");
  ASSERT_EQ(setLaunchAtLogin(true, "/usr/bin/corvane"), std::nullopt);
  if (::geteuid() != 0) {
    fs::permissions(config / "autostart", fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_TRUE(setLaunchAtLogin(true, "/usr/local/bin/corvane"));
    EXPECT_TRUE(setLaunchAtLogin(false));
    EXPECT_NE(contents(config / "autostart" / "corvane.desktop").find("/usr/bin/corvane"),
              std::string::npos);
    fs::permissions(config / "autostart", fs::perms::owner_all);
  }
  EXPECT_TRUE(setLaunchAtLogin(true, "relative/corvane")) << "a program's path is absolute";
  EXPECT_TRUE(setLaunchAtLogin(true, "/tmp/two\nlines")) << "no entry can hold a line break";
}

TEST_F(LaunchAtLoginTest, AProgramInAFolderWithAPercentSignStillStartsAtLogin) {
  // Readers look the program up before they turn %% back into %: the entry starts it through
  // env, so that the lookup finds env and the program gets its real path.
  ASSERT_EQ(setLaunchAtLogin(true, "/home/ivo/100% mine/corvane"), std::nullopt);
  const auto text = contents(config / "autostart" / "corvane.desktop");
  EXPECT_NE(text.find("Exec=env \"/home/ivo/100%% mine/corvane\"\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Icon=corvane\n"), std::string::npos);
}

} // namespace
} // namespace corvane

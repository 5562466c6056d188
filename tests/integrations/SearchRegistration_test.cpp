// The files that make desktop search ask the running application must name the bus name and
// object paths the application serves; a rename on one side alone would silently end search.
#include "brimvale/integrations/IntentBus.h"

#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <string>

namespace corvane {
namespace {

struct KeyFile {
  std::string group;
  std::map<std::string, std::string> keys;
};

// Reads the one group of a desktop-style key file; comments and blank lines are skipped.
KeyFile readKeyFile(const std::string &path) {
  std::ifstream in(path);
  EXPECT_TRUE(in) << "cannot read " << path;
  KeyFile file;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#')
      continue;
    if (line.front() == '[' && line.back() == ']') {
      EXPECT_TRUE(file.group.empty()) << path << " has more than one group";
      file.group = line.substr(1, line.size() - 2);
      continue;
    }
    const auto equals = line.find('=');
    EXPECT_NE(equals, std::string::npos) << path << ": " << line;
    if (equals == std::string::npos)
      continue;
    EXPECT_TRUE(file.keys.emplace(line.substr(0, equals), line.substr(equals + 1)).second)
        << path << " repeats " << line;
  }
  return file;
}

const std::string folder = CORVANE_SEARCH_FILES;

TEST(SearchRegistration, TheShellProviderNamesTheServedBusAndPath) {
  const auto file = readKeyFile(folder + "/corvane-search-provider.ini");
  EXPECT_EQ(file.group, "Shell Search Provider");
  EXPECT_EQ(file.keys.at("DesktopId"), "corvane.desktop");
  EXPECT_EQ(file.keys.at("BusName"), IntentBus::busName);
  EXPECT_EQ(file.keys.at("ObjectPath"), IntentBus::searchProviderPath);
  EXPECT_EQ(std::string(IntentBus::searchProviderInterface), "org.gnome.Shell.SearchProvider2");
  EXPECT_EQ(file.keys.at("Version"), "2");
}

TEST(SearchRegistration, TheRunnerNamesTheServedBusAndPath) {
  const auto file = readKeyFile(folder + "/corvane-runner.desktop");
  EXPECT_EQ(file.group, "Desktop Entry");
  EXPECT_EQ(file.keys.at("X-Plasma-API"), "DBus");
  EXPECT_EQ(file.keys.at("X-Plasma-DBusRunner-Service"), IntentBus::busName);
  EXPECT_EQ(file.keys.at("X-Plasma-DBusRunner-Path"), IntentBus::runnerPath);
  EXPECT_EQ(std::string(IntentBus::runnerInterface), "org.kde.krunner1");
  EXPECT_EQ(file.keys.at("Icon"), IntentBus::portIconName);
}

} // namespace
} // namespace corvane

#include "brimvale/platform/DesktopEntry.h"
#include "tests/support/Subprocess.h"
#include "tests/support/Wait.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane {
namespace {

namespace fs = std::filesystem;

TEST(DesktopEntryTest, ProgramsAreQuotedAndEscapedAsEntriesRequire) {
  EXPECT_EQ(desktopExecProgram("/usr/bin/corvane"), "\"/usr/bin/corvane\"");
  // Inside quotes \ " ` $ take a backslash; the value then escapes each backslash again.
  EXPECT_EQ(desktopExecProgram("/opt/My Apps/corvane$1"), "\"/opt/My Apps/corvane\\\\$1\"");
  EXPECT_EQ(desktopExecProgram("/a\"b`c\\d"), "\"/a\\\\\"b\\\\`c\\\\\\\\d\"");
  // A literal % is doubled, and such a path is started through env.
  EXPECT_EQ(desktopExecProgram("/home/ivo/50%/corvane"), "env \"/home/ivo/50%%/corvane\"");
  EXPECT_EQ(desktopExecProgram("/home/ivo/caf\xC3\xA9/corvane"),
            "\"/home/ivo/caf\xC3\xA9/corvane\"");
  // What no entry can hold.
  EXPECT_EQ(desktopExecProgram("/tmp/a\nExec=/bin/evil"), std::nullopt);
  EXPECT_EQ(desktopExecProgram("/tmp/caf\xC3"), std::nullopt);
  EXPECT_EQ(desktopExecProgram(""), std::nullopt);

  EXPECT_EQ(fillDesktopEntry("Exec=@EXEC@ on\nExec=@EXEC@ off\n", "/usr/bin/x"),
            "Exec=\"/usr/bin/x\" on\nExec=\"/usr/bin/x\" off\n");
  EXPECT_EQ(fillDesktopEntry("Exec=@EXEC@\n", "/tmp/a\tb"), std::nullopt);
}

// GLib's reader, where it is installed: the entry loads and starts the program it names, from
// a folder whose name holds every character that needs care.
TEST(DesktopEntryTest, GLibStartsTheProgramAnEntryNames) {
  const auto found = testing::runProgram({"/bin/sh", "-c", "command -v gio"});
  const std::string gio = found.output.substr(0, found.output.find('\n'));
  if (found.exitCode != 0 || gio.empty())
    GTEST_SKIP() << "gio is not installed";
  char pattern[] = "/tmp/corvane-entry-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const fs::path root(pattern);
  const fs::path folder = root / "50% of \"my\" $apps `x` \\ here";
  fs::create_directories(folder);
  const fs::path program = folder / "corvane";
  const fs::path ran = root / "ran";
  {
    std::ofstream script(program);
    script << "#!/bin/sh\necho \"$1\" > '" << ran.string() << "'\n";
  }
  fs::permissions(program, fs::perms::owner_all);
  const auto entry = fillDesktopEntry(
      "[Desktop Entry]\nType=Application\nName=Corvane\nExec=@EXEC@ started\n", program.string());
  ASSERT_TRUE(entry);
  const fs::path file = root / "corvane.desktop";
  std::ofstream(file) << *entry;

  const auto launched = testing::runProgram({gio, "launch", file.string()});
  EXPECT_EQ(launched.exitCode, 0) << *entry;
  EXPECT_TRUE(testing::waitUntil([&] { return fs::exists(ran) && fs::file_size(ran) > 0; }))
      << *entry;
  std::string argument;
  std::getline(std::ifstream(ran), argument);
  EXPECT_EQ(argument, "started");
  fs::remove_all(root);
}

} // namespace
} // namespace corvane

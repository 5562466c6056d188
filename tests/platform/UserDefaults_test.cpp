#include "brimvale/platform/UserDefaults.h"
#include "tests/support/ChildProcess.h"

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace corvane {
namespace {

namespace fs = std::filesystem;

class UserDefaultsTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "corvane-defaults-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    ::setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("XDG_CONFIG_HOME");
    fs::remove_all(root_);
  }
  fs::path file(const std::string &domain) const {
    return root_ / "config" / "corvane" / (domain + ".json");
  }
  void put(const std::string &domain, const std::string &text) const {
    fs::create_directories(file(domain).parent_path());
    std::ofstream(file(domain), std::ios::binary) << text;
  }
  std::string contents(const std::string &domain, const std::string &suffix = "") const {
    std::ifstream in(file(domain).string() + suffix, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  }
  std::size_t temporaryFiles() const {
    std::size_t count = 0;
    for (const auto &entry : fs::directory_iterator(file("standard").parent_path())) {
      count += entry.path().filename().string().starts_with(".standard.json.");
    }
    return count;
  }
  fs::path root_;
};

void exerciseTypedValues(UserDefaults &defaults) {
  defaults.setData("d", Bytes{0, 1, 254});
  defaults.setString("s", "some text");
  defaults.setBool("b", true);
  defaults.setInteger("i", -42);
  defaults.setDouble("x", 2.5);
  EXPECT_EQ(defaults.data("d"), (Bytes{0, 1, 254}));
  EXPECT_EQ(defaults.string("s"), "some text");
  EXPECT_EQ(defaults.boolean("b"), true);
  EXPECT_EQ(defaults.integer("i"), -42);
  EXPECT_EQ(defaults.doubleValue("x"), 2.5);
  EXPECT_EQ(defaults.doubleValue("i"), -42.0);

  // Another type, or nothing, reads as absent.
  EXPECT_FALSE(defaults.string("i"));
  EXPECT_FALSE(defaults.boolean("i"));
  EXPECT_FALSE(defaults.integer("b"));
  EXPECT_FALSE(defaults.integer("x"));
  EXPECT_FALSE(defaults.data("s")); // not Base64
  EXPECT_FALSE(defaults.string("missing"));

  defaults.remove("s");
  EXPECT_FALSE(defaults.string("s"));
  ::testing::internal::CaptureStderr();
  defaults.setDouble("x", std::nan(""));
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(defaults.doubleValue("x"), 2.5);
}

TEST(UserDefaultsInMemory, TypedValues) {
  auto defaults = UserDefaults::inMemory();
  EXPECT_TRUE(defaults->path().empty());
  exerciseTypedValues(*defaults);
  defaults->synchronize();
  EXPECT_EQ(defaults->integer("i"), -42);
}

TEST_F(UserDefaultsTest, TypedValuesPersist) {
  {
    UserDefaults defaults(UserDefaults::standardDomain);
    EXPECT_EQ(defaults.path(), file("standard"));
    exerciseTypedValues(defaults);
  }
  struct stat info {};
  ASSERT_EQ(::stat(file("standard").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(contents("standard"), R"({"b":true,"d":"AAH+","i":-42,"x":2.5})");

  UserDefaults again("standard");
  EXPECT_EQ(again.data("d"), (Bytes{0, 1, 254}));
  EXPECT_EQ(again.integer("i"), -42);
  EXPECT_FALSE(again.string("s"));
}

TEST_F(UserDefaultsTest, UndecodableFilesAreKeptAsideBeforeTheNextSave) {
  for (const std::string bad : {"not json", "[1,2]", "\"text\"", "{\"a\":"}) {
    put("standard", bad);
    fs::remove(file("standard").string() + ".damaged");
    ::testing::internal::CaptureStderr();
    UserDefaults defaults("standard");
    EXPECT_FALSE(defaults.integer("a")) << bad;
    EXPECT_EQ(contents("standard"), bad); // untouched until the next change
    defaults.setInteger("a", 1);
    const std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(contents("standard"), R"({"a":1})");
    EXPECT_EQ(contents("standard", ".damaged"), bad);
    EXPECT_NE(log.find("Kept the undecodable settings file"), std::string::npos) << log;
  }

  // An empty file holds nothing to keep.
  fs::remove(file("standard").string() + ".damaged");
  put("standard", "");
  UserDefaults empty("standard");
  empty.setInteger("a", 2);
  EXPECT_EQ(contents("standard"), R"({"a":2})");
  EXPECT_FALSE(fs::exists(file("standard").string() + ".damaged"));

  const std::string large = "{\"a\":1" + std::string(UserDefaults::maximumFileSize, ' ') + "}";
  put("standard", large);
  ::testing::internal::CaptureStderr();
  UserDefaults tooLarge("standard");
  EXPECT_FALSE(tooLarge.integer("a"));
  tooLarge.setInteger("b", 1);
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("too large"), std::string::npos);
  EXPECT_EQ(contents("standard"), R"({"b":1})");
  EXPECT_EQ(contents("standard", ".damaged"), large);

  // A file damaged after it was read: what this process knew is saved with the change.
  UserDefaults knowing("standard");
  knowing.setInteger("c", 3);
  put("standard", "garbage");
  ::testing::internal::CaptureStderr();
  knowing.setInteger("d", 4);
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(contents("standard"), R"({"b":1,"c":3,"d":4})");
  EXPECT_EQ(contents("standard", ".damaged"), "garbage");
}

TEST_F(UserDefaultsTest, EveryDamagedCopyIsKeptNewestFirstUpToTheBound) {
  UserDefaults defaults("standard");
  ::testing::internal::CaptureStderr();
  for (const char *value : {"first", "second", "second"}) {
    defaults.setString("k", value);
    defaults.keepAside("k");
  }
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("k.damaged.1"), std::string::npos) << log;
  UserDefaults again("standard");
  EXPECT_EQ(again.string("k.damaged"), "second");
  EXPECT_EQ(again.string("k.damaged.1"), "first") << "a copy equal to the newest is not made";
  EXPECT_FALSE(again.contains("k.damaged.2"));

  ::testing::internal::CaptureStderr();
  for (int i = 0; i < 10; ++i) {
    again.setInteger("k", i);
    again.keepAside("k");
  }
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(again.integer("k.damaged"), 9);
  EXPECT_EQ(again.integer("k.damaged.4"), 5);
  EXPECT_FALSE(again.contains("k.damaged.5"));

  // Whole files too: a second damaged file does not replace the first.
  std::string fileLog;
  for (const char *bad : {"first damage", "second damage"}) {
    put("other", bad);
    ::testing::internal::CaptureStderr();
    UserDefaults(std::string("other")).setInteger("a", 1);
    fileLog = ::testing::internal::GetCapturedStderr();
  }
  EXPECT_NE(fileLog.find("the earlier copies are other.json.damaged.1"), std::string::npos)
      << fileLog;
  EXPECT_EQ(contents("other", ".damaged"), "second damage");
  EXPECT_EQ(contents("other", ".damaged.1"), "first damage");
}

TEST_F(UserDefaultsTest, ALockThatCannotBeTakenFailsTheSaveAndTheNextSaveCarriesIt) {
  UserDefaults defaults("standard");
  defaults.setInteger("a", 1);
  defaults.setInteger("gone", 1);
  const fs::path lock = file("standard").string() + ".lock";
  fs::remove(lock);
  fs::create_directory(lock); // cannot be opened for writing

  ::testing::internal::CaptureStderr();
  defaults.setInteger("b", 2);
  defaults.remove("gone");
  EXPECT_FALSE(defaults.keepAside("a"));
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("Could not save settings standard: lock"), std::string::npos) << log;
  EXPECT_EQ(log.find("Could not save", log.find("Could not save") + 1), std::string::npos) << log;
  EXPECT_EQ(contents("standard"), R"({"a":1,"gone":1})");
  EXPECT_TRUE(defaults.hasUnsavedChanges());
  EXPECT_FALSE(defaults.saveUnsaved());
  EXPECT_EQ(defaults.integer("b"), 2);
  EXPECT_FALSE(defaults.integer("gone"));
  // Re-reading the file does not take back changes that are not saved yet.
  defaults.synchronize();
  EXPECT_EQ(defaults.integer("b"), 2);
  EXPECT_FALSE(defaults.integer("gone"));

  fs::remove(lock);
  EXPECT_TRUE(defaults.saveUnsaved());
  EXPECT_EQ(contents("standard"), R"({"a":1,"b":2})");
  EXPECT_FALSE(defaults.hasUnsavedChanges());
  // What could not be kept aside is kept by the save that writes over it, and only once.
  ::testing::internal::CaptureStderr();
  defaults.setInteger("a", 4);
  defaults.setInteger("a", 5);
  const std::string kept = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(contents("standard"), R"({"a":5,"a.damaged":1,"b":2})");
  EXPECT_NE(kept.find("Kept a aside as a.damaged before writing over it"), std::string::npos);
}

// Its own reader would refuse such a file, and keep it aside as damaged at every later save.
TEST_F(UserDefaultsTest, AFileLargerThanTheReaderTakesIsNeverWritten) {
  UserDefaults defaults("standard");
  defaults.setInteger("a", 1);
  ::testing::internal::CaptureStderr();
  defaults.setString("big", std::string(UserDefaults::maximumFileSize, 'x'));
  defaults.setInteger("b", 2);
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(contents("standard"), R"({"a":1})");
  EXPECT_NE(log.find("larger than"), std::string::npos) << log;
  EXPECT_EQ(log.find("Could not save", log.find("Could not save") + 1), std::string::npos) << log;
  defaults.remove("big");
  EXPECT_EQ(contents("standard"), R"({"a":1,"b":2})");
}

// A transaction decides from what is on disk under the lock; replayed later on what this
// process held, it would write an old decision over what others wrote since.
TEST_F(UserDefaultsTest, AFailedTransactionLeavesMemoryAsItWasAndIsNeverReplayed) {
  UserDefaults defaults(UserDefaults::appGroupDomain);
  defaults.setDouble("requestAt", 1);
  const fs::path lock = file(UserDefaults::appGroupDomain).string() + ".lock";
  fs::remove(lock);
  fs::create_directory(lock); // cannot be opened for writing
  ::testing::internal::CaptureStderr();
  defaults.transact([](nlohmann::json &values) { values["requestAt"] = 2.0; });
  fs::remove(lock);
  // What the change wrote cannot be stored at all.
  defaults.transact([](nlohmann::json &values) {
    values["requestPaused"] = true;
    values["poison"] = std::nan("");
  });
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(defaults.doubleValue("requestAt"), 1.0);
  EXPECT_FALSE(defaults.contains("requestPaused"));

  UserDefaults(UserDefaults::appGroupDomain).setDouble("requestAt", 3);
  defaults.setBool("running", true);
  EXPECT_EQ(contents(UserDefaults::appGroupDomain), R"({"requestAt":3.0,"running":true})");
}

TEST_F(UserDefaultsTest, SavesWithoutFreeDescriptorsLoseNothing) {
  {
    UserDefaults before("standard");
    for (int i = 0; i < 20; ++i) {
      before.setInteger("kept" + std::to_string(i), i);
    }
  }
  const std::string saved = contents("standard");
  const int status = corvane::testing::runInChild([&] {
    UserDefaults defaults("standard");
    std::unique_ptr<UserDefaults> startedWithout;
    {
      corvane::testing::DescriptorsUsedUp used;
      if (used.error() != EMFILE) {
        return 2;
      }
      for (int i = 0; i < 300; ++i) {
        defaults.setInteger("new" + std::to_string(i), i);
      }
      for (int i = 0; i < 20; ++i) {
        if (defaults.integer("kept" + std::to_string(i)) != i) {
          return 3;
        }
      }
      if (defaults.integer("new299") != 299) {
        return 4;
      }
      // A failed re-read keeps what is in memory.
      defaults.synchronize();
      if (defaults.integer("kept0") != 0 || defaults.integer("new0") != 0) {
        return 5;
      }
      // Created while the file cannot be read: nothing reads as stored, nothing is written.
      startedWithout = std::make_unique<UserDefaults>("standard");
      startedWithout->setBool("late", true);
    }
    if (contents("standard") != saved) {
      return 6; // a failed save left the file as it was
    }
    // Once descriptors are free again, reads catch up and the next save carries everything.
    if (startedWithout->integer("kept7") != 7 || startedWithout->boolean("late") != true) {
      return 7;
    }
    defaults.setBool("after", true);
    startedWithout->setBool("later", true);
    return 0;
  });
  ASSERT_EQ(status, 0);
  UserDefaults after("standard");
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(after.integer("kept" + std::to_string(i)), i);
  }
  for (int i = 0; i < 300; ++i) {
    EXPECT_EQ(after.integer("new" + std::to_string(i)), i);
  }
  EXPECT_EQ(after.boolean("after"), true);
  EXPECT_EQ(after.boolean("late"), true);
  EXPECT_EQ(after.boolean("later"), true);
}

TEST_F(UserDefaultsTest, KilledWhileSavingLosesNothingAndLeavesNoTemporaryFiles) {
  {
    UserDefaults before("standard");
    for (int i = 0; i < 10; ++i) {
      before.setInteger("kept" + std::to_string(i), i);
    }
  }
  const std::string big(200000, 'x');
  std::size_t leftBehind = 0;
  for (int round = 0; round < 30; ++round) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(ready[0]);
      UserDefaults defaults("standard");
      defaults.setInteger("round", round);
      (void)!::write(ready[1], "r", 1);
      for (int i = 0;; ++i) {
        defaults.setString("big", big + std::to_string(i));
      }
    }
    ::close(ready[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1); // the child saved its round
    ::close(ready[0]);
    // Killed at a different point of its save loop each round.
    std::this_thread::sleep_for(std::chrono::microseconds(round * 1777 % 40000));
    ::kill(pid, SIGKILL);
    ASSERT_EQ(::waitpid(pid, nullptr, 0), pid);
    leftBehind += temporaryFiles();

    UserDefaults reopened("standard");
    for (int i = 0; i < 10; ++i) {
      ASSERT_EQ(reopened.integer("kept" + std::to_string(i)), i) << "round " << round;
    }
    ASSERT_EQ(reopened.integer("round"), round);
    EXPECT_EQ(temporaryFiles(), 0u);
  }
  std::cout << "temporary files left by killed saves and removed: " << leftBehind << "\n";
}

TEST_F(UserDefaultsTest, StartRemovesOnlyItsOwnTemporaryFiles) {
  put("standard", R"({"a":1})");
  const fs::path folder = file("standard").parent_path();
  const std::vector<std::string> kept{".standard.json.Ab3xY",   ".standard.json.Ab3xY-",
                                      "standard.json.Ab3xYz",   ".other.json.Ab3xYz",
                                      ".standard.json.Ab3xYzz", ".standard.jsonxAb3xYz"};
  for (const auto &name : kept) {
    std::ofstream(folder / name) << "x";
  }
  std::ofstream(folder / ".standard.json.Ab3xYz") << "partial";
  std::ofstream(folder / ".standard.json.000000") << "partial";
  fs::create_directory(folder / ".standard.json.Dir123");
  fs::create_symlink(folder / "standard.json", folder / ".standard.json.Lnk123");

  UserDefaults defaults("standard");
  EXPECT_EQ(defaults.integer("a"), 1);
  EXPECT_FALSE(fs::exists(folder / ".standard.json.Ab3xYz"));
  EXPECT_FALSE(fs::exists(folder / ".standard.json.000000"));
  for (const auto &name : kept) {
    EXPECT_TRUE(fs::exists(folder / name)) << name;
  }
  EXPECT_TRUE(fs::is_directory(folder / ".standard.json.Dir123"));
  EXPECT_TRUE(fs::is_symlink(folder / ".standard.json.Lnk123"));
  EXPECT_EQ(contents("standard"), R"({"a":1})");
}

TEST_F(UserDefaultsTest, ChangesOfAnotherProcessAreKeptAndSeenAfterSynchronize) {
  UserDefaults mine(UserDefaults::appGroupDomain);
  UserDefaults theirs(UserDefaults::appGroupDomain);
  EXPECT_EQ(mine.path(), file("Q3KT7WZ2RM.corvane"));
  mine.setBool("mine", true);
  theirs.setBool("theirs", true);
  EXPECT_FALSE(mine.boolean("theirs"));
  mine.synchronize();
  EXPECT_EQ(mine.boolean("theirs"), true);
  // The second writer re-read the file, so the first value survived.
  EXPECT_EQ(UserDefaults(UserDefaults::appGroupDomain).boolean("mine"), true);
}

TEST_F(UserDefaultsTest, ConcurrentWritersLoseNothing) {
  // Appended rather than "k" + …: GCC 12 misreads that insert as overlapping at -O3.
  auto key = [](int t, int i) {
    return std::string("k").append(std::to_string(t)).append("_").append(std::to_string(i));
  };
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([t, key] {
      UserDefaults defaults("shared");
      for (int i = 0; i < 8; ++i) {
        defaults.setInteger(key(t, i), i);
      }
    });
  }
  for (auto &writer : writers) {
    writer.join();
  }
  UserDefaults result("shared");
  for (int t = 0; t < 4; ++t) {
    for (int i = 0; i < 8; ++i) {
      EXPECT_EQ(result.integer(key(t, i)), i);
    }
  }
}

TEST_F(UserDefaultsTest, UnusableDomainOrFolderKeepsValuesForThisRun) {
  ::testing::internal::CaptureStderr();
  UserDefaults hostile("../escape");
  hostile.setInteger("a", 1);
  EXPECT_EQ(hostile.integer("a"), 1);
  EXPECT_TRUE(hostile.path().empty());
  EXPECT_FALSE(fs::exists(root_ / "config" / "escape.json"));

  std::ofstream(root_ / "config") << "a file where the folder should be";
  UserDefaults blocked("standard");
  blocked.setInteger("a", 2);
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(blocked.integer("a"), 2);
  EXPECT_NE(log.find("Could not save settings standard"), std::string::npos) << log;
}

} // namespace
} // namespace corvane

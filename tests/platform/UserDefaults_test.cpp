#include "brimvale/platform/UserDefaults.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace corvane {
namespace {

namespace fs = std::filesystem;

class UserDefaultsTest : public testing::Test {
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
  std::string contents(const std::string &domain) const {
    std::ifstream in(file(domain), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
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
  testing::internal::CaptureStderr();
  defaults.setDouble("x", std::nan(""));
  testing::internal::GetCapturedStderr();
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

TEST_F(UserDefaultsTest, CorruptOrHostileFilesReadEmpty) {
  for (const std::string bad : {"not json", "[1,2]", "\"text\"", "{\"a\":", ""}) {
    put("standard", bad);
    UserDefaults defaults("standard");
    EXPECT_FALSE(defaults.integer("a")) << bad;
    EXPECT_EQ(contents("standard"), bad); // kept until the next change
    defaults.setInteger("a", 1);
    EXPECT_EQ(contents("standard"), R"({"a":1})");
  }

  put("standard", "{\"a\":1" + std::string(UserDefaults::maximumFileSize, ' ') + "}");
  testing::internal::CaptureStderr();
  UserDefaults large("standard");
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(large.integer("a"));
  EXPECT_NE(log.find("too large"), std::string::npos);
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
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([t] {
      UserDefaults defaults("shared");
      for (int i = 0; i < 8; ++i) {
        defaults.setInteger("k" + std::to_string(t) + "_" + std::to_string(i), i);
      }
    });
  }
  for (auto &writer : writers) {
    writer.join();
  }
  UserDefaults result("shared");
  for (int t = 0; t < 4; ++t) {
    for (int i = 0; i < 8; ++i) {
      EXPECT_EQ(result.integer("k" + std::to_string(t) + "_" + std::to_string(i)), i);
    }
  }
}

TEST_F(UserDefaultsTest, UnusableDomainOrFolderKeepsValuesForThisRun) {
  testing::internal::CaptureStderr();
  UserDefaults hostile("../escape");
  hostile.setInteger("a", 1);
  EXPECT_EQ(hostile.integer("a"), 1);
  EXPECT_TRUE(hostile.path().empty());
  EXPECT_FALSE(fs::exists(root_ / "config" / "escape.json"));

  std::ofstream(root_ / "config") << "a file where the folder should be";
  UserDefaults blocked("standard");
  blocked.setInteger("a", 2);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(blocked.integer("a"), 2);
  EXPECT_NE(log.find("Could not save settings standard"), std::string::npos) << log;
}

} // namespace
} // namespace corvane

#include "brimvale/platform/KeychainStore.h"
#include "brimvale/platform/MemorySecretStore.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/StderrTap.h"

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

mode_t modeOf(const fs::path &path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 0777;
}

class KeychainStoreTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "corvane-keys-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    ::setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("XDG_DATA_HOME");
    fs::permissions(root_, fs::perms::owner_all);
    fs::remove_all(root_);
  }
  fs::path root_;
};

// Refuses to write damaged copies, like a store whose disk filled up.
class NoRoomForCopiesStore final : public SecretStore {
public:
  std::optional<Bytes> read(const std::string &account) override { return inner.read(account); }
  bool write(const std::string &account, const Bytes &data) override {
    return account.find(".damaged") == std::string::npos && inner.write(account, data);
  }
  bool remove(const std::string &account) override { return inner.remove(account); }

  MemorySecretStore inner;
};

TEST(MemorySecretStore, ReadsWritesRemoves) {
  MemorySecretStore store;
  EXPECT_FALSE(store.read("identity.key"));
  EXPECT_TRUE(store.write("identity.key", bytesOf("one")));
  EXPECT_TRUE(store.write("identity.key", bytesOf("two")));
  EXPECT_EQ(store.read("identity.key"), bytesOf("two"));
  EXPECT_TRUE(store.remove("identity.key"));
  EXPECT_FALSE(store.read("identity.key"));
  EXPECT_TRUE(store.remove("never"));
}

TEST(MemorySecretStore, ConcurrentUseIsSafe) {
  MemorySecretStore store;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&store, t] {
      // Appended rather than "a" + …: GCC 12 misreads that insert as overlapping at -O3.
      auto account = [](int n) { return std::string("a").append(std::to_string(n)); };
      for (int i = 0; i < 500; ++i) {
        store.write(account(t), Bytes(i % 7, 1));
        store.read(account((t + 1) % 4));
      }
    });
  }
  for (auto &thread : threads) {
    thread.join();
  }
  EXPECT_EQ(store.read("a0"), Bytes(499 % 7, 1));
}

TEST_F(KeychainStoreTest, RoundTripWithPrivatePermissions) {
  KeychainStore store;
  EXPECT_EQ(store.service(), "corvane.v2");
  EXPECT_EQ(store.folder(), root_ / "data" / "corvane" / "corvane.v2");
  EXPECT_FALSE(store.read("identity.key"));
  EXPECT_TRUE(store.remove("identity.key"));

  const Bytes secret{0, 1, 2, 255, 0};
  ASSERT_TRUE(store.write("identity.key", secret));
  EXPECT_EQ(store.read("identity.key"), secret);
  EXPECT_EQ(modeOf(store.folder()), 0700u);
  EXPECT_EQ(modeOf(store.folder().parent_path()), 0700u);
  EXPECT_EQ(modeOf(store.folder() / "identity.key"), 0600u);

  ASSERT_TRUE(store.write("identity.key", {}));
  EXPECT_EQ(store.read("identity.key"), Bytes{});
  EXPECT_TRUE(store.remove("identity.key"));
  EXPECT_FALSE(store.read("identity.key"));

  // Another store instance sees the same files; another service does not.
  ASSERT_TRUE(store.write("paired.peers", bytesOf("[]")));
  EXPECT_EQ(KeychainStore().read("paired.peers"), bytesOf("[]"));
  EXPECT_FALSE(KeychainStore("other.v2").read("paired.peers"));
}

TEST_F(KeychainStoreTest, ReplacesAtomicallyAndLeavesNoTemporaryFiles) {
  KeychainStore store;
  ASSERT_TRUE(store.write("paired.peers", bytesOf("first")));
  const fs::path file = store.folder() / "paired.peers";
  // A reader holding the old file keeps seeing complete old contents.
  std::ifstream old(file, std::ios::binary);
  ASSERT_TRUE(store.write("paired.peers", Bytes(100000, 'x')));
  std::string oldText((std::istreambuf_iterator<char>(old)), {});
  EXPECT_EQ(oldText, "first");
  EXPECT_EQ(store.read("paired.peers"), Bytes(100000, 'x'));
  EXPECT_EQ(modeOf(file), 0600u);
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto &entry : fs::directory_iterator(store.folder())) {
    ++entries;
  }
  EXPECT_EQ(entries, 1u);
}

TEST_F(KeychainStoreTest, NarrowsAnExistingWideFolder) {
  KeychainStore store;
  fs::create_directories(store.folder());
  ::chmod(store.folder().c_str(), 0755);
  ASSERT_TRUE(store.write("identity.key", bytesOf("k")));
  EXPECT_EQ(modeOf(store.folder()), 0700u);
}

TEST_F(KeychainStoreTest, HostileAccountNamesAreRefused) {
  KeychainStore store;
  ASSERT_TRUE(store.write("identity.key", bytesOf("k")));
  for (const std::string &name : std::vector<std::string>{
           "", ".", "..", "../identity.key", "../../escape", "a/b", "/etc/passwd", ".hidden",
           ".identity.key.XXXXXX", std::string("a\0b", 3), "a b", "a\nb", "é",
           std::string(129, 'a')}) {
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(store.write(name, bytesOf("x"))) << name;
    const std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("Keychain write failed for an invalid account name"), std::string::npos);
    EXPECT_FALSE(store.read(name)) << name;
    EXPECT_FALSE(store.remove(name)) << name;
  }
  EXPECT_TRUE(store.write(std::string(128, 'a'), bytesOf("x")));
  EXPECT_FALSE(fs::exists(store.folder().parent_path() / "escape"));
  EXPECT_FALSE(KeychainStore("../escape").write("identity.key", bytesOf("x")));
  EXPECT_TRUE(KeychainStore("../escape").folder().empty());
}

TEST_F(KeychainStoreTest, RefusesLinksOddFilesAndOversizedItems) {
  KeychainStore store;
  ASSERT_TRUE(store.write("identity.key", bytesOf("k")));
  const fs::path outside = root_ / "outside";
  std::ofstream(outside) << "secret elsewhere";
  fs::create_symlink(outside, store.folder() / "link");
  EXPECT_FALSE(store.read("link"));
  // Writing replaces the link itself, never the file it points to.
  ASSERT_TRUE(store.write("link", bytesOf("new")));
  EXPECT_EQ(store.read("link"), bytesOf("new"));
  std::string outsideText;
  std::getline(std::ifstream(outside), outsideText);
  EXPECT_EQ(outsideText, "secret elsewhere");

  fs::create_directory(store.folder() / "folder");
  EXPECT_FALSE(store.read("folder"));

  std::ofstream(store.folder() / "huge", std::ios::binary)
      << std::string(KeychainStore::maximumItemSize + 1, 'x');
  EXPECT_FALSE(store.read("huge"));
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(store.write("huge", Bytes(KeychainStore::maximumItemSize + 1)));
  ::testing::internal::GetCapturedStderr();
}

TEST_F(KeychainStoreTest, FailedWriteIsLoggedAndReported) {
  // The data folder is a plain file, so nothing can be created below it.
  std::ofstream(root_ / "data") << "not a folder";
  KeychainStore store;
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(store.write("identity.key", bytesOf("k")));
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("corvane[app] error: Keychain write failed for identity.key: "),
            std::string::npos)
      << log;
  EXPECT_FALSE(store.read("identity.key"));
}

TEST_F(KeychainStoreTest, CheckedReadsTellMissingFromUnusableFromUnreadable) {
  using State = StoredSecret::State;
  KeychainStore store;
  EXPECT_EQ(store.readChecked("identity.key").state, State::missing);
  ASSERT_TRUE(store.write("identity.key", bytesOf("k")));
  const auto found = store.readChecked("identity.key");
  EXPECT_EQ(found.state, State::found);
  EXPECT_EQ(found.bytes, bytesOf("k"));

  fs::create_symlink(root_ / "elsewhere", store.folder() / "link");
  fs::create_directory(store.folder() / "folder");
  std::ofstream(store.folder() / "huge", std::ios::binary)
      << std::string(KeychainStore::maximumItemSize + 1, 'x');
  for (const char *name : {"link", "folder", "huge"}) {
    EXPECT_EQ(store.readChecked(name).state, State::unusable) << name;
  }
  EXPECT_EQ(store.readChecked("../escape").state, State::unreadable);

  // Out of descriptors, a stored item is unreadable, never missing.
  const int status = corvane::testing::runInChild([&store] {
    corvane::testing::DescriptorsUsedUp used;
    const auto checked = store.readChecked("identity.key");
    return used.error() == EMFILE && checked.state == State::unreadable &&
                   checked.error == EMFILE && !store.write("identity.key", bytesOf("lost"))
               ? 0
               : 1;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(store.read("identity.key"), bytesOf("k"));
}

TEST_F(KeychainStoreTest, KeepAsideKeepsACopyOfEveryDamageNewestFirst) {
  KeychainStore store;
  EXPECT_TRUE(store.keepAside("paired.peers")); // nothing there
  EXPECT_FALSE(fs::exists(store.folder() / "paired.peers.damaged"));
  ASSERT_TRUE(store.write("paired.peers", bytesOf("old damage")));
  ASSERT_TRUE(store.keepAside("paired.peers"));
  // The item stays until its owner writes a complete new one over it.
  EXPECT_EQ(store.read("paired.peers"), bytesOf("old damage"));
  ASSERT_TRUE(store.write("paired.peers", bytesOf("new damage")));
  ::testing::internal::CaptureStderr();
  ASSERT_TRUE(store.keepAside("paired.peers"));
  ASSERT_TRUE(store.keepAside("paired.peers")); // the same bytes are not kept twice
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("Kept the undecodable paired.peers aside as paired.peers.damaged; the "
                     "earlier copies are paired.peers.damaged.1"),
            std::string::npos)
      << log;
  EXPECT_EQ(testing::count(log, "Kept the undecodable paired.peers aside"), 1u) << log;
  EXPECT_EQ(store.read("paired.peers.damaged"), bytesOf("new damage"));
  EXPECT_EQ(store.read("paired.peers.damaged.1"), bytesOf("old damage"));
  EXPECT_FALSE(store.read("paired.peers.damaged.2"));
  EXPECT_EQ(modeOf(store.folder() / "paired.peers.damaged"), 0600u);
  EXPECT_EQ(modeOf(store.folder() / "paired.peers.damaged.1"), 0600u);
  EXPECT_FALSE(store.keepAside("../escape"));

  // What is not an item of ours cannot be copied; it is moved.
  fs::create_symlink("/dev/null", store.folder() / "identity.key");
  ::testing::internal::CaptureStderr();
  EXPECT_TRUE(store.keepAside("identity.key"));
  ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(fs::exists(fs::symlink_status(store.folder() / "identity.key")));
  EXPECT_TRUE(fs::is_symlink(store.folder() / "identity.key.damaged"));

  // The base implementation does the same through read and write.
  MemorySecretStore memory;
  ::testing::internal::CaptureStderr();
  for (const char *bad : {"bad", "worse", "worse"}) {
    memory.write("identity.key", bytesOf(bad));
    EXPECT_TRUE(memory.keepAside("identity.key"));
  }
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(memory.read("identity.key"), bytesOf("worse"));
  EXPECT_EQ(memory.read("identity.key.damaged"), bytesOf("worse"));
  EXPECT_EQ(memory.read("identity.key.damaged.1"), bytesOf("bad"));
  EXPECT_FALSE(memory.read("identity.key.damaged.2"));

  NoRoomForCopiesStore full;
  ASSERT_TRUE(full.write("identity.key", bytesOf("bad")));
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(full.keepAside("identity.key"));
  const std::string fullLog = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(fullLog.find("Could not keep the undecodable secret identity.key aside: could not "
                         "write identity.key.damaged"),
            std::string::npos)
      << fullLog;
}

TEST_F(KeychainStoreTest, StartRemovesOnlyTemporaryFilesOfInterruptedWrites) {
  KeychainStore first;
  ASSERT_TRUE(first.write("identity.key", bytesOf("k")));
  const fs::path folder = first.folder();
  const std::vector<std::string> kept{".identity.key.Ab3xY",  ".identity.key.Ab3x-z",
                                      "identity.key.Ab3xYz",  ".a b.Ab3xYz",
                                      ".identity.keyXAb3xYz", "..hidden.Ab3xYz"};
  for (const auto &name : kept) {
    std::ofstream(folder / name) << "x";
  }
  std::ofstream(folder / ".identity.key.Ab3xYz") << "copy of a key";
  std::ofstream(folder / ".paired.peers.q1W2e3") << "copy of the list";
  fs::create_directory(folder / ".paired.peers.Dir123");
  fs::create_symlink(root_ / "outside", folder / ".paired.peers.Lnk123");

  ::testing::internal::CaptureStderr();
  KeychainStore second;
  ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(fs::exists(folder / ".identity.key.Ab3xYz"));
  EXPECT_FALSE(fs::exists(folder / ".paired.peers.q1W2e3"));
  for (const auto &name : kept) {
    EXPECT_TRUE(fs::exists(folder / name)) << name;
  }
  EXPECT_TRUE(fs::is_directory(folder / ".paired.peers.Dir123"));
  EXPECT_TRUE(fs::is_symlink(folder / ".paired.peers.Lnk123"));
  EXPECT_EQ(second.read("identity.key"), bytesOf("k"));

  EXPECT_TRUE(storage::isTemporaryFileOf(".identity.key.Ab3xYz", "identity.key"));
  EXPECT_FALSE(storage::isTemporaryFileOf(".identity.key.Ab3xYz", "identity"));
  EXPECT_FALSE(storage::isTemporaryFileOf("identity.key", "identity.key"));
}

TEST_F(KeychainStoreTest, FallsBackToHomeAndNeedsAnAbsolutePath) {
  const char *savedHome = std::getenv("HOME");
  const std::string home = savedHome ? savedHome : "";
  ::setenv("HOME", root_.c_str(), 1);
  ::setenv("XDG_DATA_HOME", "relative/path", 1);
  EXPECT_EQ(KeychainStore().folder(), root_ / ".local/share/corvane/corvane.v2");
  ::unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(KeychainStore().folder(), root_ / ".local/share/corvane/corvane.v2");
  ::unsetenv("HOME");
  EXPECT_TRUE(KeychainStore().folder().empty());
  EXPECT_FALSE(KeychainStore().read("identity.key"));
  ::setenv("HOME", home.c_str(), 1);
}

} // namespace
} // namespace corvane

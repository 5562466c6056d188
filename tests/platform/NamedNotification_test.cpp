#include "brimvale/platform/NamedNotification.h"
#include "tests/support/Inbox.h"
#include "tests/support/MainThread.h"
#include "tests/support/Subprocess.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace corvane {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

mode_t modeOf(const fs::path &path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

// A runtime folder of the test's own, and a main queue run by a thread of its own.
class NamedNotificationTest : public ::testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/cvn-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    runtime_ = pattern;
    ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
  }
  void TearDown() override { fs::remove_all(runtime_); }

  // Made and destroyed on the main queue, as its callers must.
  std::shared_ptr<NamedNotificationObserver> observe(const std::string &name,
                                                     testing::Inbox<int> &calls) {
    auto observer = main_.sync([&] {
      return NamedNotificationObserver::make(name, main_.queue(), [&calls] { calls.push(1); });
    });
    return std::shared_ptr<NamedNotificationObserver>(
        observer.release(),
        [this](NamedNotificationObserver *gone) { main_.sync([gone] { delete gone; }); });
  }

  fs::path folder(const std::string &name) const { return runtime_ / "corvane" / "notify" / name; }

  fs::path runtime_;
  testing::MainThread main_;
};

TEST(NotificationName, OnlyNamesThatAreOneSafeFolderName) {
  for (const char *good : {"corvane.sharing", "Q3KT7WZ2RM.corvane.sharing-request", "a_b-c.1"})
    EXPECT_TRUE(isValidNotificationName(good)) << good;
  for (const char *bad :
       {"", ".", "..", ".hidden", "a/b", "/abs", "a..b", "../up", "sp ace", "new\nline"})
    EXPECT_FALSE(isValidNotificationName(bad)) << bad;
  EXPECT_TRUE(isValidNotificationName(std::string(maximumNotificationNameLength, 'a')));
  EXPECT_FALSE(isValidNotificationName(std::string(maximumNotificationNameLength + 1, 'a')));
}

TEST_F(NamedNotificationTest, InvalidNamesMakeNothing) {
  testing::Inbox<int> calls;
  EXPECT_EQ(postNamedNotification("../escape"), 0);
  EXPECT_EQ(NamedNotificationObserver::make("a/b", main_.queue(), [] {}), nullptr);
  EXPECT_TRUE(namedNotificationFolder("..").empty());
  EXPECT_FALSE(fs::exists(runtime_ / "corvane" / "notify" / "a"));
  EXPECT_FALSE(fs::exists(runtime_ / "escape"));
}

TEST_F(NamedNotificationTest, ObserverSocketIsPrivateAndRemovedWithIt) {
  testing::Inbox<int> calls;
  auto observer = observe("corvane.sharing", calls);
  ASSERT_NE(observer, nullptr);
  const auto socket = observer->socketPath();
  EXPECT_EQ(socket.parent_path(), folder("corvane.sharing"));
  EXPECT_EQ(modeOf(runtime_ / "corvane"), 0700u);
  EXPECT_EQ(modeOf(runtime_ / "corvane" / "notify"), 0700u);
  EXPECT_EQ(modeOf(folder("corvane.sharing")), 0700u);
  EXPECT_EQ(modeOf(socket), 0600u);
  EXPECT_TRUE(fs::is_socket(socket));

  observer.reset();
  EXPECT_FALSE(fs::exists(socket));
  EXPECT_EQ(postNamedNotification("corvane.sharing"), 0);
  EXPECT_FALSE(calls.pop(100ms));
}

TEST_F(NamedNotificationTest, EveryObserverIsCalledForEachPostAndOthersAreNot) {
  testing::Inbox<int> first, second, other;
  auto a = observe("corvane.sharing", first);
  auto b = observe("corvane.sharing", second);
  auto c = observe("corvane.other", other);
  for (int round = 0; round < 20; ++round) {
    EXPECT_EQ(postNamedNotification("corvane.sharing"), 2);
    ASSERT_TRUE(first.pop(20s)) << round;
    ASSERT_TRUE(second.pop(20s)) << round;
  }
  EXPECT_EQ(other.size(), 0u);
}

TEST_F(NamedNotificationTest, BurstsFromManyThreadsAreCoalescedButNeverLost) {
  testing::Inbox<int> calls;
  auto observer = observe("corvane.sharing", calls);
  constexpr int threads = 8, posts = 200;
  std::vector<std::thread> posters;
  for (int t = 0; t < threads; ++t)
    posters.emplace_back([] {
      for (int i = 0; i < posts; ++i)
        postNamedNotification("corvane.sharing");
    });
  for (auto &poster : posters)
    poster.join();
  ASSERT_TRUE(calls.pop(20s));
  // Drain the calls the burst made, then a post after them is still seen.
  while (calls.pop(200ms)) {
  }
  EXPECT_EQ(postNamedNotification("corvane.sharing"), 1);
  EXPECT_TRUE(calls.pop(20s));
}

TEST_F(NamedNotificationTest, SocketsOfDeadObserversAreRemovedAndOtherFilesKept) {
  const auto dir = namedNotificationFolder("corvane.sharing");
  ASSERT_FALSE(dir.empty());
  // A socket bound and closed is what an observer killed before clean-up leaves.
  const auto stale = dir / "stale";
  {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, stale.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ::close(fd);
  }
  std::ofstream(dir / "notes.txt") << "not a socket";
  testing::Inbox<int> calls;
  auto observer = observe("corvane.sharing", calls);

  EXPECT_EQ(postNamedNotification("corvane.sharing"), 1);
  EXPECT_TRUE(calls.pop(20s));
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_TRUE(fs::exists(dir / "notes.txt"));
  EXPECT_TRUE(fs::exists(observer->socketPath()));
}

// A runtime folder too deep for a socket address: observers bind in a short folder named after
// their own, where posts from this process and from others find them.
TEST_F(NamedNotificationTest, ARuntimeFolderTooDeepForSocketsStillCarriesNotifications) {
  const auto deep = runtime_ / std::string(100, 'r');
  fs::create_directory(deep);
  ::setenv("XDG_RUNTIME_DIR", deep.c_str(), 1);
  testing::Inbox<int> calls;
  auto observer = observe("corvane.sharing-request", calls);
  ASSERT_NE(observer, nullptr);
  const auto posted =
      testing::runProgram({NAMED_NOTIFICATION_PEER, "post", "corvane.sharing-request", "1"});
  EXPECT_EQ(posted.output, "reached 1\n");
  EXPECT_TRUE(calls.pop(20s));
  const auto spare = observer->socketPath().parent_path();
  observer.reset();
  fs::remove(spare);
}

TEST_F(NamedNotificationTest, FoldersThatAreNotPrivateFoldersOfThisUserAreRefusedOrNarrowed) {
  // A link where the folder should be could send observers anywhere.
  const auto elsewhere = runtime_ / "elsewhere";
  fs::create_directory(elsewhere);
  fs::create_directory_symlink(elsewhere, runtime_ / "corvane");
  EXPECT_TRUE(namedNotificationFolder("corvane.sharing").empty());
  EXPECT_EQ(postNamedNotification("corvane.sharing"), 0);
  EXPECT_FALSE(fs::exists(elsewhere / "notify"));

  // A folder of ours left readable by others is narrowed.
  fs::remove(runtime_ / "corvane");
  fs::create_directories(runtime_ / "corvane" / "notify");
  ::chmod((runtime_ / "corvane" / "notify").c_str(), 0755);
  EXPECT_FALSE(namedNotificationFolder("corvane.sharing").empty());
  EXPECT_EQ(modeOf(runtime_ / "corvane" / "notify"), 0700u);

  // One another user made could be read or replaced by them.
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown((runtime_ / "corvane" / "notify").c_str(), 65534, 65534), 0);
    EXPECT_TRUE(namedNotificationFolder("corvane.sharing").empty());
  }
}

TEST_F(NamedNotificationTest, ReachesObserversInOtherProcessesAndTheirsReachUs) {
  testing::ChildProcess peer({NAMED_NOTIFICATION_PEER, "observe", "corvane.sharing"});
  ASSERT_TRUE(peer.started());
  const auto ready = peer.readLine();
  ASSERT_TRUE(ready && ready->starts_with("ready ")) << ready.value_or("(no line)");
  const fs::path peerSocket = ready->substr(6);

  for (int round = 0; round < 5; ++round) {
    EXPECT_EQ(postNamedNotification("corvane.sharing"), 1);
    EXPECT_EQ(peer.readLine(), "notified") << round;
  }

  testing::Inbox<int> calls;
  auto observer = observe("corvane.sharing-request", calls);
  const auto posted =
      testing::runProgram({NAMED_NOTIFICATION_PEER, "post", "corvane.sharing-request", "1"});
  EXPECT_EQ(posted.exitCode, 0);
  EXPECT_EQ(posted.output, "reached 1\n");
  EXPECT_TRUE(calls.pop(20s));

  // Killed, the peer cannot remove its socket; the next post does.
  peer.signal(SIGKILL);
  ASSERT_TRUE(peer.wait());
  EXPECT_TRUE(fs::exists(peerSocket));
  EXPECT_EQ(postNamedNotification("corvane.sharing"), 0);
  EXPECT_FALSE(fs::exists(peerSocket));
}

} // namespace
} // namespace corvane

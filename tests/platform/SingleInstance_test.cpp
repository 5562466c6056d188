#include "brimvale/platform/AsioMainQueue.h"
#include "brimvale/platform/SingleInstance.h"
#include "tests/support/Wait.h"

#include <asio/io_context.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <future>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>

namespace corvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Args = std::vector<std::string>;
using Answer = SingleInstance::Answer;
using Start = SingleInstance::Start::Kind;

class Folder {
public:
  Folder() {
    char pattern[] = "/tmp/instance-XXXXXX";
    path = ::mkdtemp(pattern);
  }
  ~Folder() { fs::remove_all(path); }
  fs::path path;
};

// The data and settings folders of one user, and the main queue an instance serves on.
class SingleInstanceTest : public ::testing::Test {
protected:
  void TearDown() override { ::unsetenv("XDG_RUNTIME_DIR"); }

  std::vector<fs::path> folders(const std::string &data = "data",
                                const std::string &settings = "settings") const {
    return {root_.path / data / "corvane", root_.path / settings / "corvane"};
  }
  // Runs the main queue until the start, made on a thread of its own, has decided.
  SingleInstance::Start pump(std::future<SingleInstance::Start> &start) {
    EXPECT_TRUE(testing::waitUntil([&] {
      context_.restart();
      context_.poll();
      return start.wait_for(0s) == std::future_status::ready;
    })) << "the start never decided";
    return start.get();
  }
  std::future<SingleInstance::Start> later(SingleInstance &instance, Args arguments,
                                           std::chrono::milliseconds limit = 60s) {
    return std::async(std::launch::async,
                      [&instance, arguments, limit] { return instance.start(arguments, limit); });
  }
  // Serves on the test's main queue, keeping what arrives and answering `answer`.
  void serve(SingleInstance &instance, Answer answer = Answer::taken()) {
    instance.serve(queue_, [this, answer](const Args &arguments) {
      received_.push_back(arguments);
      return answer;
    });
  }

  Folder root_;
  asio::io_context context_;
  AsioMainQueue queue_{context_};
  std::vector<Args> received_;
};

TEST_F(SingleInstanceTest, DecodingIsBoundedAndStrict) {
  EXPECT_EQ(SingleInstance::decode("corvane://show\ncorvane://pause-all\n\n"),
            (Args{"corvane://show", "corvane://pause-all"}));
  EXPECT_EQ(SingleInstance::decode("\n"), Args{});
  // Cut short, or a caller that only looked: nothing.
  EXPECT_EQ(SingleInstance::decode(""), std::nullopt);
  EXPECT_EQ(SingleInstance::decode("corvane://show\n"), std::nullopt);
  EXPECT_EQ(SingleInstance::decode("corvane://show\n\ncorvane://show\n\n"), std::nullopt);
  EXPECT_EQ(SingleInstance::decode(std::string(SingleInstance::maxArgumentBytes + 1, 'a') + "\n\n"),
            std::nullopt);
  std::string many;
  for (int i = 0; i <= SingleInstance::maxArguments; ++i)
    many += "corvane://show\n";
  EXPECT_EQ(SingleInstance::decode(many + "\n"), std::nullopt);
  EXPECT_EQ(SingleInstance::decode("corvane://copy/\xff\xfe\n\n"), std::nullopt);
}

TEST_F(SingleInstanceTest, TheLockHolderAnswersLaterStartsAndAFloodIsDropped) {
  auto first = std::make_unique<SingleInstance>(folders());
  ASSERT_EQ(first->claim(), SingleInstance::Claim::claimed);
  SingleInstance second(folders());
  EXPECT_EQ(second.claim(), SingleInstance::Claim::elsewhere);
  // A start that connects before the first serves waits for it.
  auto early = later(second, {"corvane://copy/Postgres", "corvane://show"});
  Answer answer = Answer::taken();
  first->serve(queue_, [&](const Args &arguments) {
    received_.push_back(arguments);
    return answer;
  });
  EXPECT_EQ(pump(early).kind, Start::handedOver);
  EXPECT_EQ(received_, (std::vector<Args>{{"corvane://copy/Postgres", "corvane://show"}}));

  // Too much from one caller is dropped, and the first keeps serving.
  const int flood = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, first->socketPath().c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(::connect(flood, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
  const std::string junk(SingleInstance::maxMessageBytes + 1, 'x');
  EXPECT_GT(::send(flood, junk.data(), junk.size(), MSG_NOSIGNAL), 0);
  ::close(flood);
  auto plain = later(second, {});
  EXPECT_EQ(pump(plain).kind, Start::handedOver);
  EXPECT_EQ(received_.size(), 2u);

  // A refusal reaches the start with its reason; a list the first would drop is not sent.
  answer = Answer::refused("\u201Ccorvane://delete-all\u201D: it asks for nothing\nCorvane does");
  auto refused = later(second, {"corvane://delete-all"});
  const auto told = pump(refused);
  EXPECT_EQ(told.kind, Start::refused);
  EXPECT_EQ(told.reason, "\u201Ccorvane://delete-all\u201D: it asks for nothingCorvane does");
  for (const Args &unsendable : {Args(SingleInstance::maxArguments + 1, "corvane://show"),
                                 Args{"corvane://copy/a\nb"}, Args{"corvane://copy/\xff"}}) {
    auto start = later(second, unsendable);
    EXPECT_EQ(pump(start).kind, Start::refused);
  }
  EXPECT_EQ(received_.size(), 3u);

  // Ending, it still holds the locks and says so; gone, it leaves the place to the next.
  first->stopServing();
  const auto stopping = second.start({}, 200ms);
  EXPECT_EQ(stopping.kind, Start::failed);
  EXPECT_NE(stopping.reason.find("stopping"), std::string::npos) << stopping.reason;
  first.reset();
  EXPECT_EQ(second.claim(), SingleInstance::Claim::claimed);
}

// The guard is the folders a running instance writes: sharing either one is sharing it, and the
// runtime folder of a later start has no say.
TEST_F(SingleInstanceTest, AnyStartOnTheSameFoldersFindsTheHolder) {
  ::setenv("XDG_RUNTIME_DIR", root_.path.c_str(), 1);
  SingleInstance first(folders());
  ASSERT_EQ(first.claim(), SingleInstance::Claim::claimed);
  serve(first);
  ::unsetenv("XDG_RUNTIME_DIR");
  SingleInstance sameData(folders("data", "other-settings"));
  SingleInstance sameSettings(folders("other-data", "settings"));
  for (auto *start : {&sameData, &sameSettings}) {
    auto handed = later(*start, {"corvane://show"});
    EXPECT_EQ(pump(handed).kind, Start::handedOver);
  }
  EXPECT_EQ(received_.size(), 2u);
  SingleInstance elsewhere(folders("other-data", "other-settings"));
  EXPECT_EQ(elsewhere.claim(), SingleInstance::Claim::claimed);
}

// Settings and data in one folder, by whatever path: it is guarded once, and a later start by
// any of those paths finds the first.
TEST_F(SingleInstanceTest, OneFolderNamedTwiceIsGuardedOnce) {
  fs::create_directories(root_.path / "data");
  fs::create_directory_symlink(root_.path / "data", root_.path / "link");
  for (const char *settings : {"data", "link", "x/../data"}) {
    SingleInstance first(folders("data", settings));
    ASSERT_EQ(first.claim(), SingleInstance::Claim::claimed) << settings << ": " << first.failure();
    serve(first);
    SingleInstance second(folders(settings, settings));
    auto handed = later(second, {"corvane://show"});
    EXPECT_EQ(pump(handed).kind, Start::handedOver) << settings;
  }
  EXPECT_EQ(received_.size(), 3u);
}

// A data folder that cannot hold the socket (a path too long for an address, or a place where
// none can be made, as on a file system without sockets: here a folder is in the way) leaves it
// to the runtime folder of the first start; a later start with another runtime folder finds it
// through the lock file all the same.
TEST_F(SingleInstanceTest, ADataFolderThatCannotHoldTheSocketLeavesItToTheRuntimeFolder) {
  for (const char *runtime : {"first-runtime", "later-runtime"})
    fs::create_directories(root_.path / runtime);
  fs::create_directories(root_.path / "taken" / "corvane" / "instance");
  for (const auto &data : {std::string(120, 'd'), std::string("taken")}) {
    ::setenv("XDG_RUNTIME_DIR", (root_.path / "first-runtime").c_str(), 1);
    SingleInstance first(folders(data));
    ASSERT_EQ(first.claim(), SingleInstance::Claim::claimed) << first.failure();
    EXPECT_EQ(first.socketPath().parent_path(), root_.path / "first-runtime" / "corvane");
    serve(first);
    ::setenv("XDG_RUNTIME_DIR", (root_.path / "later-runtime").c_str(), 1);
    SingleInstance second(folders(data));
    auto handed = later(second, {"corvane://show"});
    EXPECT_EQ(pump(handed).kind, Start::handedOver) << data;
  }
}

// A start that arrives while the first stops is not left with nothing running: it waits for
// the first to be gone and runs itself.
TEST_F(SingleInstanceTest, AStartWhileTheFirstStopsRunsOnceItHasGone) {
  auto first = std::make_unique<SingleInstance>(folders());
  ASSERT_EQ(first->claim(), SingleInstance::Claim::claimed);
  serve(*first, Answer::stopping());
  SingleInstance second(folders());
  auto waiting = later(second, {"corvane://show"});
  ASSERT_TRUE(testing::waitUntil([&] {
    context_.restart();
    context_.poll();
    return !received_.empty();
  }));
  first.reset();
  EXPECT_EQ(pump(waiting).kind, Start::run);
}

TEST_F(SingleInstanceTest, AnInstanceThatTakesNoMoreStartsIsGivenUpOnAtTheLimit) {
  SingleInstance first(folders());
  ASSERT_EQ(first.claim(), SingleInstance::Claim::claimed);
  // The first hung with its queue of waiting starts full.
  const auto path = first.socketPath();
  ::unlink(path.c_str());
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  const auto *raw = reinterpret_cast<sockaddr *>(&address);
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(::bind(listener, raw, sizeof(address)), 0);
  ASSERT_EQ(::listen(listener, 0), 0);
  std::vector<int> waiting;
  while (true) {
    const int start = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    waiting.push_back(start);
    if (::connect(start, raw, sizeof(address)) != 0)
      break;
    ASSERT_LT(waiting.size(), 100u);
  }
  ASSERT_EQ(errno, EAGAIN);

  SingleInstance second(folders());
  auto handed = std::async(std::launch::async, [&] { return second.start({"x"}, 300ms); });
  ASSERT_EQ(handed.wait_for(60s), std::future_status::ready) << "the start hangs in connect";
  EXPECT_EQ(handed.get().kind, Start::failed);
  for (int fd : waiting)
    ::close(fd);
  ::close(listener);
}

// The limit is for the whole start, not for each try: an instance that answers "stopping" late
// and then not before the start has given up is given up on once the limit has passed.
TEST_F(SingleInstanceTest, AnInstanceThatAnswersLateIsGivenUpOnAtTheLimitInAll) {
  SingleInstance first(folders());
  ASSERT_EQ(first.claim(), SingleInstance::Claim::claimed);
  SingleInstance second(folders());
  const std::chrono::milliseconds limit = 3s;
  const auto began = std::chrono::steady_clock::now();
  auto start = later(second, {"corvane://show"}, limit);
  int asked = 0;
  first.serve(queue_, [&](const Args &) {
    if (++asked == 1)
      std::this_thread::sleep_until(began + limit * 9 / 10);
    else
      start.wait();
    return Answer::stopping();
  });
  EXPECT_EQ(pump(start).kind, Start::failed);
  EXPECT_LT(std::chrono::steady_clock::now() - began, limit * 3 / 2) << "each try had it anew";
}

} // namespace
} // namespace corvane

#include "brimvale/platform/AsioMainQueue.h"
#include "brimvale/platform/SingleInstance.h"
#include "tests/support/Wait.h"

#include <asio/io_context.hpp>
#include <cerrno>
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

class Folder {
public:
  Folder() {
    char pattern[] = "/tmp/instance-XXXXXX";
    path = ::mkdtemp(pattern);
  }
  ~Folder() { fs::remove_all(path); }
  fs::path path;
};

TEST(SingleInstanceTest, DecodingIsBoundedAndStrict) {
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

TEST(SingleInstanceTest, TheLockHolderServesLaterStartsAndAFloodIsDropped) {
  Folder folder;
  const auto path = folder.path / "instance";
  asio::io_context context;
  AsioMainQueue queue(context);
  Args received;
  int calls = 0;
  const auto runUntil = [&](const std::function<bool()> &done) {
    return testing::waitUntil([&] {
      context.restart();
      context.poll();
      return done();
    });
  };

  auto first = std::make_unique<SingleInstance>(path);
  EXPECT_FALSE(first->handOver({"corvane://show"}, 200ms)) << "nobody runs yet";
  ASSERT_EQ(first->claim(), SingleInstance::Claim::claimed);
  SingleInstance second(path);
  EXPECT_EQ(second.claim(), SingleInstance::Claim::elsewhere);
  // A start that connects before the first serves waits for it.
  std::thread early([&] {
    EXPECT_TRUE(second.handOver({"corvane://copy/Postgres", "corvane://show"}));
  });
  first->serve(queue, [&](Args arguments) {
    received = std::move(arguments);
    ++calls;
  });
  ASSERT_TRUE(runUntil([&] { return calls == 1; }));
  early.join();
  EXPECT_EQ(received, (Args{"corvane://copy/Postgres", "corvane://show"}));

  // Too much from one caller is dropped, and the first keeps serving.
  const int flood = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(::connect(flood, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
  const std::string junk(SingleInstance::maxMessageBytes + 1, 'x');
  EXPECT_GT(::send(flood, junk.data(), junk.size(), MSG_NOSIGNAL), 0);
  ::close(flood);
  std::thread later([&] { EXPECT_TRUE(second.handOver({})); });
  ASSERT_TRUE(runUntil([&] { return calls == 2; }));
  later.join();
  EXPECT_TRUE(received.empty());

  // Ending, it still holds the lock; gone, it leaves the place to the next.
  first->stopServing();
  EXPECT_EQ(second.claim(), SingleInstance::Claim::elsewhere);
  EXPECT_FALSE(second.handOver({}, 200ms));
  first.reset();
  EXPECT_EQ(second.claim(), SingleInstance::Claim::claimed);
}

TEST(SingleInstanceTest, AnInstanceThatTakesNoMoreStartsIsGivenUpOnAtTheLimit) {
  Folder folder;
  const auto path = folder.path / "instance";
  // An instance hung with its queue of waiting starts full.
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

  SingleInstance later(path);
  auto handed = std::async(std::launch::async, [&] { return later.handOver({"x"}, 300ms); });
  ASSERT_EQ(handed.wait_for(60s), std::future_status::ready) << "the start hangs in connect";
  EXPECT_FALSE(handed.get());
  for (int fd : waiting)
    ::close(fd);
  ::close(listener);
}

} // namespace
} // namespace corvane

#include "TestHttpServer.h"
#include "brimvale/integrations/UpdateChecker.h"
#include "brimvale/platform/AsioMainQueue.h"
#include "brimvale/platform/ManualMainQueue.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <chrono>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <limits>

namespace corvane {
namespace {

using testing::TestCertificates;
using testing::TestHttpServer;

TEST(AppVersion, RunningBuildReadsOnlyWholeDecimalNumbers) {
  EXPECT_EQ(parseBuildNumber("412"), 412);
  EXPECT_EQ(parseBuildNumber("+7"), 7);
  EXPECT_EQ(parseBuildNumber("-3"), -3);
  EXPECT_EQ(parseBuildNumber("9223372036854775807"), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(parseBuildNumber("-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
  for (const char *bad : {"1.2", "", "+", "-", " 5", "5 ", "0x10", "+-5", "١٢",
                          "9223372036854775808", "99999999999999999999999999"})
    EXPECT_EQ(parseBuildNumber(std::string(bad)), 0) << bad;
  EXPECT_EQ(parseBuildNumber(std::nullopt), 0);
  // The project's own version and build.
  EXPECT_FALSE(appVersionString().empty());
  EXPECT_GT(runningBuild(), 0);
}

TEST(AppRelease, DecodesStrictly) {
  EXPECT_EQ(AppRelease::decode(R"({"version":"1.4","build":140,"url":"https://h/x","extra":[]})"),
            (AppRelease{"1.4", 140, "https://h/x"}));
  for (const char *bad :
       {R"({"version":"1.4","build":"140","url":"https://h/x"})",
        R"({"version":"1.4","build":140.5,"url":"https://h/x"})",
        R"({"version":"1.4","build":true,"url":"https://h/x"})",
        R"({"version":1.4,"build":140,"url":"https://h/x"})",
        R"({"version":"1.4","build":140,"url":null})", R"({"version":"1.4","build":140})",
        R"({"version":"1.4","build":1e30,"url":"https://h/x"})",
        R"([{"version":"1.4","build":140,"url":"https://h/x"}])", "", "{"})
    EXPECT_FALSE(AppRelease::decode(bad)) << bad;
}

TEST(UpdateChecker, OffersOnlyNewerBuildsOverHttpsFromTheUpdateHost) {
  const std::string address = "https://updates.example.org/latest.json";
  const auto offered = [&](std::int64_t build, std::string url) {
    return UpdateChecker::isOffered(AppRelease{"2", build, std::move(url)}, 100, address);
  };
  EXPECT_TRUE(offered(101, "https://updates.example.org/Corvane-2.zip"));
  EXPECT_FALSE(offered(100, "https://updates.example.org/Corvane-2.zip"));
  EXPECT_FALSE(offered(99, "https://updates.example.org/Corvane-2.zip"));
  EXPECT_FALSE(offered(101, "http://updates.example.org/Corvane-2.zip"));
  EXPECT_FALSE(offered(101, "HTTPS://updates.example.org/Corvane-2.zip"));
  EXPECT_FALSE(offered(101, "https://elsewhere.example.org/Corvane-2.zip"));
  EXPECT_FALSE(offered(101, "https://updates.example.org@elsewhere.example.org/x"));
  EXPECT_FALSE(offered(101, "updates.example.org/Corvane-2.zip"));
  EXPECT_FALSE(offered(101, ""));
}

// Drives the checker's timers with virtual time; requests are answered by the test.
class UpdateTiming : public ::testing::Test {
protected:
  std::shared_ptr<UpdateChecker> make(UpdateCheckerOptions options = {}) {
    options.build = 100;
    return UpdateChecker::create(main, *defaults, opener, options,
                                 [this](HttpRequest request, auto completion) {
                                   requests.push_back(request);
                                   pending.push_back(std::move(completion));
                                 });
  }
  void answer(HttpResult result) {
    ASSERT_FALSE(pending.empty());
    auto completion = std::move(pending.front());
    pending.erase(pending.begin());
    completion(std::move(result));
  }
  static HttpResult release(std::int64_t build) {
    return HttpResponse{200, R"({"version":"9","build":)" + std::to_string(build) +
                                 R"(,"url":"https://updates.corvane.app/get"})"};
  }

  ManualMainQueue main;
  std::unique_ptr<UserDefaults> defaults = UserDefaults::inMemory();
  FakeUrlOpener opener;
  std::vector<HttpRequest> requests;
  std::vector<std::function<void(HttpResult)>> pending;
};

TEST_F(UpdateTiming, FirstCheckAfterFiveSecondsThenDailyWhileTheSwitchIsOn) {
  auto checker = make();
  checker->startUpdateChecks();
  checker->startUpdateChecks();
  main.advance(4.9);
  EXPECT_TRUE(requests.empty());
  main.advance(0.2);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].url, "https://updates.corvane.app/latest.json");
  EXPECT_THAT(requests[0].headers, ::testing::Contains(std::pair<std::string, std::string>(
                                       "User-Agent", "Corvane/" + appVersionString())));
  EXPECT_EQ(requests[0].timeoutSeconds, 15);
  EXPECT_EQ(requests[0].maxBodyBytes, 1u << 20);
  answer(release(101));
  EXPECT_TRUE(checker->available.get());

  main.advance(86400);
  ASSERT_EQ(requests.size(), 2u); // one timer, though started twice
  answer(release(101));

  defaults->setBool(UpdateChecker::checkForUpdatesKey, false);
  main.advance(86400);
  EXPECT_EQ(requests.size(), 2u);
  defaults->setString(UpdateChecker::checkForUpdatesKey, "no"); // not a Boolean: counts as on
  main.advance(86400);
  EXPECT_EQ(requests.size(), 3u);
}

TEST_F(UpdateTiming, SwitchAndOverlappingChecks) {
  auto checker = make();
  int changes = 0;
  auto watching = checker->available.subscribe([&](const auto &) { ++changes; });
  checker->check();
  EXPECT_TRUE(checker->checking.get());
  int doneCalls = 0;
  checker->check([&] { ++doneCalls; }); // under way: nothing new, done at once
  EXPECT_EQ(doneCalls, 1);
  EXPECT_EQ(requests.size(), 1u);
  answer(release(150));
  ASSERT_TRUE(checker->available.get());
  EXPECT_EQ(checker->available.get()->build, 150);
  EXPECT_FALSE(checker->checking.get());
  EXPECT_TRUE(checker->lastChecked.get());
  EXPECT_GT(changes, 0);

  checker->check();
  answer(HttpResponse{500, ""});
  EXPECT_TRUE(checker->failed.get());
  EXPECT_TRUE(checker->available.get());

  checker->setEnabled(false);
  EXPECT_FALSE(checker->available.get());
  EXPECT_FALSE(checker->failed.get());
  // On again checks at once, whatever the stored switch says.
  defaults->setBool(UpdateChecker::checkForUpdatesKey, false);
  checker->setEnabled(true);
  EXPECT_EQ(requests.size(), 3u);
  answer(release(100)); // the running build: checked fine, nothing offered
  EXPECT_FALSE(checker->available.get());
  EXPECT_FALSE(checker->failed.get());

  checker->openDownload();
  EXPECT_TRUE(opener.opened.empty());
  checker->check();
  answer(release(101));
  opener.handlers["https"] = "browser.desktop";
  checker->openDownload();
  EXPECT_THAT(opener.opened, ::testing::ElementsAre("https://updates.corvane.app/get"));
}

TEST_F(UpdateTiming, AnAddressThatIsNotHttpsIsNeverAsked) {
  UpdateCheckerOptions options;
  options.address = "http://updates.corvane.app/latest.json";
  auto checker = make(options);
  EXPECT_FALSE(checker->isEnabled());
  checker->startUpdateChecks();
  checker->check();
  checker->setEnabled(true);
  main.advance(3 * 86400);
  EXPECT_TRUE(requests.empty());
  EXPECT_FALSE(checker->checking.get());
}

// The real client against an HTTPS server on loopback with certificates of the test's own.
class UpdateOverHttps : public ::testing::Test {
protected:
  void SetUp() override {
    certificates = TestCertificates::make(folder.path(), "corvane-test-ca");
    server = std::make_unique<TestHttpServer>(
        [this](const TestHttpServer::Request &request) {
          // Where a followed redirect would land: a release that must never be offered.
          if (request.path == "/moved.json")
            return TestHttpServer::Response{.status = 200, .body = release(999)};
          std::lock_guard guard(lock);
          return response;
        },
        &certificates);
  }
  void serve(TestHttpServer::Response next) {
    std::lock_guard guard(lock);
    response = std::move(next);
  }
  std::shared_ptr<UpdateChecker> make(double timeoutSeconds = 15) {
    UpdateCheckerOptions options;
    options.address = "https://localhost:" + std::to_string(server->port()) + "/latest.json";
    options.caFile = certificates.caFile;
    options.build = 100;
    options.timeoutSeconds = timeoutSeconds;
    return UpdateChecker::create(main, *defaults, opener, options);
  }
  // Runs one check on the main queue until it has finished, with a generous bound.
  void checkOnce(UpdateChecker &checker) {
    bool done = false;
    checker.check([&] { done = true; });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done && std::chrono::steady_clock::now() < deadline)
      context.run_one_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(done);
  }
  static std::string release(std::int64_t build) {
    return R"({"version":"2.0","build":)" + std::to_string(build) +
           R"(,"url":"https://localhost/Corvane-2.0.tar.gz"})";
  }

  testing::TemporaryFolder folder;
  TestCertificates certificates;
  std::mutex lock;
  TestHttpServer::Response response;
  std::unique_ptr<TestHttpServer> server;
  asio::io_context context;
  asio::executor_work_guard<asio::io_context::executor_type> guard{context.get_executor()};
  AsioMainQueue main{context};
  std::unique_ptr<UserDefaults> defaults = UserDefaults::inMemory();
  FakeUrlOpener opener;
};

TEST_F(UpdateOverHttps, OffersANewerBuildOnly) {
  auto checker = make();
  serve({.status = 200, .body = release(101)});
  checkOnce(*checker);
  EXPECT_FALSE(checker->failed.get());
  ASSERT_TRUE(checker->available.get());
  EXPECT_EQ(*checker->available.get(),
            (AppRelease{"2.0", 101, "https://localhost/Corvane-2.0.tar.gz"}));
  const auto seen = server->requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "GET");
  EXPECT_EQ(seen[0].path, "/latest.json");
  EXPECT_EQ(seen[0].headers.at("user-agent"), "Corvane/" + appVersionString());

  for (std::int64_t build : {100, 7}) {
    serve({.status = 200, .body = release(build)});
    checkOnce(*checker);
    EXPECT_FALSE(checker->failed.get());
    EXPECT_FALSE(checker->available.get()) << build;
  }
}

TEST_F(UpdateOverHttps, FailuresKeepThePreviousOffer) {
  auto checker = make();
  serve({.status = 200, .body = release(120)});
  checkOnce(*checker);
  ASSERT_TRUE(checker->available.get());
  const AppRelease offered = *checker->available.get();

  const std::string big(2 << 20, ' ');
  const std::vector<std::pair<const char *, TestHttpServer::Response>> failures = {
      {"not found", {.status = 404, .body = release(130)}},
      {"not modified", {.status = 304, .body = ""}},
      {"redirect, not followed", {.status = 302, .body = release(130), .location = "/moved.json"}},
      {"2 MiB announced", {.status = 200, .body = release(130) + big}},
      {"2 MiB unannounced", {.status = 200, .body = release(130) + big, .sendLength = false}},
      {"wrong type",
       {.status = 200, .body = R"({"version":"2.0","build":"130","url":"https://localhost/x"})"}},
      {"not JSON", {.status = 200, .body = "<html>"}},
  };
  for (const auto &[what, answer] : failures) {
    serve(answer);
    const auto before = checker->lastChecked.get();
    checkOnce(*checker);
    EXPECT_TRUE(checker->failed.get()) << what;
    EXPECT_EQ(checker->available.get(), offered) << what;
    EXPECT_NE(checker->lastChecked.get(), before) << what;
  }

  // A server whose certificate another authority signed is not the update server.
  const auto stranger = TestCertificates::make(folder.path(), "stranger-ca");
  server->useCertificates(stranger);
  serve({.status = 200, .body = release(130)});
  const auto asked = server->requests().size();
  checkOnce(*checker);
  EXPECT_TRUE(checker->failed.get());
  EXPECT_EQ(checker->available.get(), offered);
  EXPECT_EQ(server->requests().size(), asked); // nothing was sent to it

  server->useCertificates(certificates);
  checkOnce(*checker);
  EXPECT_FALSE(checker->failed.get());
  EXPECT_EQ(checker->available.get()->build, 130);
}

TEST_F(UpdateOverHttps, ASlowServerFailsAtTheTimeOut) {
  auto checker = make(5); // in place of 15 s, so that the test need not wait as long
  serve({.status = 200, .body = release(120)});
  checkOnce(*checker);
  ASSERT_TRUE(checker->available.get());

  serve({.status = 200, .body = release(130), .hang = true});
  const auto started = std::chrono::steady_clock::now();
  checkOnce(*checker);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
  EXPECT_TRUE(checker->failed.get());
  EXPECT_EQ(checker->available.get()->build, 120);

  // Released while its request hangs: the request ends at once, not at its time-out.
  auto released = make(60);
  const auto asked = server->requests().size();
  released->check();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (server->requests().size() == asked && std::chrono::steady_clock::now() < deadline)
    context.run_one_for(std::chrono::milliseconds(50));
  ASSERT_GT(server->requests().size(), asked);
  const auto releasing = std::chrono::steady_clock::now();
  released.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - releasing, std::chrono::seconds(20));
}

} // namespace
} // namespace corvane

#include "TestHttpServer.h"
#include "brimvale/integrations/Explainer.h"
#include "brimvale/platform/AsioMainQueue.h"
#include "brimvale/platform/Json.h"
#include "brimvale/platform/Unicode.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <gtest/gtest.h>
#include <mutex>

namespace corvane {
namespace {

using testing::TestHttpServer;
using namespace std::string_literals;

ProblemReport incomingReport() {
  ProblemReport report;
  report.service = "Orders \"DB\"";
  report.mac = "Studio";
  report.port = 5432;
  report.localPort = 15432;
  report.problem = "Studio refused the connection; Studio may be asleep.";
  return report;
}

TEST(ExplainerPrompt, LinesNamesAndTheOtherMacsName) {
  EXPECT_EQ(Explainer::prompt(incomingReport()),
            "Port: \"Orders 'DB'\", port 5432\n"
            "Shared by the paired Mac \"Studio\"\n"
            "Appears on this Mac at localhost:15432\n"
            "Problem: the paired Mac refused the connection; the paired Mac may be asleep.");

  ProblemReport own;
  own.service = "Web\u200B\u0007 app";
  own.mac = "Studio";
  own.port = 8080;
  own.problem = "Nothing answers on Studio's port 8080.\n";
  own.sharedFromHere = true;
  EXPECT_EQ(Explainer::prompt(own), "Port: \"Web app\", port 8080\n"
                                    "Shared from this Mac \"Studio\" to paired Macs\n"
                                    "Problem: Nothing answers on Studio's port 8080.");

  ProblemReport longNames = incomingReport();
  longNames.service = std::string(100, 'n');
  longNames.mac = "";
  longNames.problem = std::string(300, 'p');
  longNames.localPort.reset();
  EXPECT_EQ(Explainer::prompt(longNames), "Port: \"" + std::string(64, 'n') + "\", port 5432\n" +
                                              "Shared by the paired Mac \"\"\n" +
                                              "Problem: " + std::string(200, 'p'));
}

TEST(ExplainerReplies, OddListsAndAnswersReadAsNothing) {
  EXPECT_EQ(Explainer::firstModelIn(R"({"models":[{"name":"","model":"small:1b"}]})"), "small:1b");
  for (const char *list : {R"({"models":[]})", R"({"models":["small"]})", R"([{"name":"a"}])",
                           R"({"models":[{"name":7}]})", "{"})
    EXPECT_EQ(Explainer::firstModelIn(list), std::nullopt) << list;

  EXPECT_EQ(Explainer::readAnswer(200, R"({"message":{"content":" Asleep.\u0007 "}})"), "Asleep.");
  const Explainer::Error unreadable =
      Explainer::ModelError{"The model's answer could not be read."};
  for (const char *reply : {R"({"message":"Asleep."})", R"({"message":{"content":1}})", "[]"})
    EXPECT_EQ(Explainer::readAnswer(200, reply), std::unexpected(unreadable)) << reply;
  EXPECT_EQ(Explainer::readAnswer(500, "<html>"),
            std::unexpected(
                Explainer::Error{Explainer::ModelError{"The model failed with status 500."}}));
}

TEST(ExplainerAnswer, KeepsLineFeedsAndCutsBetweenCharacters) {
  EXPECT_EQ(Explainer::cleanAnswer(" \n It is\u0000 asleep.\u202E\r\nWake it. \u2028\n "s),
            "It is asleep.\nWake it.");
  // "é" written as two scalars: a cut by scalars or bytes would split one.
  std::string decomposed;
  for (int i = 0; i < 1300; ++i)
    decomposed += "e\u0301";
  const std::string cut = Explainer::cleanAnswer(decomposed);
  EXPECT_EQ(characterCount(cut), 1200u);
  EXPECT_EQ(cut.size(), 1200u * 3);
}

// A model server on loopback that records what it was asked.
class FakeModelServer : public ::testing::Test {
protected:
  struct Asked {
    std::string model;
    std::string system;
    std::string user;
    bool streaming = true;
  };

  TestHttpServer::Response answer(const TestHttpServer::Request &request) {
    std::lock_guard guard(lock);
    if (request.method == "GET" && request.path == "/api/tags")
      return {.status = 200, .body = tags};
    if (request.method == "POST" && request.path == "/api/chat") {
      const auto body = parseJson(request.body);
      Asked seen;
      if (body) {
        seen.model = body->value("model", "");
        seen.streaming = body->value("stream", true);
        for (const auto &message : body->value("messages", Json::array()))
          (message.value("role", "") == "system" ? seen.system : seen.user) =
              message.value("content", "");
      }
      asked.push_back(seen);
      if (status != 200)
        return {.status = status, .body = R"({"error":"model \"tiny\" not found\u0007"})"};
      return {.status = 200,
              .body = dumpJson(Json{{"model", "tiny"},
                                    {"message", {{"role", "assistant"}, {"content", reply}}},
                                    {"done", true}})};
    }
    return {.status = 404, .body = "{}"};
  }

  Explainer::Result explain(const ProblemReport &report) {
    Explainer::Server at;
    at.endpoint = "http://127.0.0.1:" + std::to_string(server.port());
    return Explainer::explainNow(report, at);
  }

  std::mutex lock;
  std::string tags = R"({"models":[{"name":"tiny:latest","size":1},{"name":"other:7b"}]})";
  std::string reply;
  int status = 200;
  std::vector<Asked> asked;
  TestHttpServer server{[this](const TestHttpServer::Request &request) { return answer(request); }};
};

TEST_F(FakeModelServer, AsksTheFirstModelWithTheInstructionsAndThePrompt) {
  reply = "  It most likely means the paired Mac is asleep.\n\nWake it first.  ";
  const auto result = explain(incomingReport());
  ASSERT_TRUE(result) << Explainer::errorDescription(result.error());
  EXPECT_EQ(*result, "It most likely means the paired Mac is asleep.\n\nWake it first.");
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].model, "tiny:latest");
  EXPECT_FALSE(asked[0].streaming);
  EXPECT_EQ(asked[0].system, Explainer::instructions);
  EXPECT_EQ(asked[0].user, Explainer::prompt(incomingReport()));
  EXPECT_NE(asked[0].system.find("speaking to the reader as \"you\". Plain sentences only"),
            std::string::npos);
}

TEST_F(FakeModelServer, AnswersAreCleanedAndCutAt1200Characters) {
  for (std::size_t length : {1199u, 1200u, 1300u}) {
    reply = std::string(length, 'a');
    const auto result = explain(incomingReport());
    ASSERT_TRUE(result);
    EXPECT_EQ(result->size(), std::min<std::size_t>(length, 1200)) << length;
  }
  // Whole flags (two scalars each) either side of the cut.
  reply.clear();
  for (int i = 0; i < 1300; ++i)
    reply += "\U0001F1EB\U0001F1F7";
  auto result = explain(incomingReport());
  ASSERT_TRUE(result);
  EXPECT_EQ(characterCount(*result), 1200u);
  EXPECT_EQ(result->size(), 1200u * 8);

  reply = "\u0007Check\u200B the\u0000 port.\u001B[31m\nThen\u2029 the Mac.\u0085"s;
  result = explain(incomingReport());
  ASSERT_TRUE(result);
  EXPECT_EQ(*result, "Check the port.[31m\nThen the Mac.");
}

TEST_F(FakeModelServer, TheModelsOwnErrorIsPassedOn) {
  status = 500;
  const auto result = explain(incomingReport());
  ASSERT_FALSE(result);
  ASSERT_TRUE(std::holds_alternative<Explainer::ModelError>(result.error()));
  EXPECT_EQ(Explainer::errorDescription(result.error()),
            "The model failed: model \"tiny\" not found");
}

TEST_F(FakeModelServer, NoModelInstalledIsUnavailableAndNothingIsAsked) {
  for (const char *list : {R"({"models":[]})", R"({"models":{}})", "not JSON"}) {
    tags = list;
    const auto result = explain(incomingReport());
    ASSERT_FALSE(result) << list;
    EXPECT_EQ(result.error(), Explainer::Error(Explainer::Failure::unavailable)) << list;
  }
  EXPECT_TRUE(asked.empty());
}

TEST(Explainer, NoServerAnsweringIsUnavailable) {
  int port = 0;
  {
    TestHttpServer closed(
        [](const TestHttpServer::Request &) { return TestHttpServer::Response{}; });
    port = closed.port();
  }
  asio::io_context context;
  auto guard = asio::make_work_guard(context);
  AsioMainQueue main(context);
  auto worker = SerialQueue::create("corvane.explain");
  std::optional<Explainer::Result> result;
  Explainer::Server at;
  at.endpoint = "http://127.0.0.1:" + std::to_string(port);
  Explainer::explain(
      incomingReport(), *worker, main,
      [&](Explainer::Result answer) { result = std::move(answer); }, at);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!result && std::chrono::steady_clock::now() < deadline)
    context.run_one_for(std::chrono::milliseconds(100));
  ASSERT_TRUE(result);
  ASSERT_FALSE(*result);
  EXPECT_EQ(Explainer::errorDescription(result->error()),
            "The local model server isn't available on this Mac.");
}

TEST(ExplainerPrompt, TellsTheModelTheSystemItAdvisesOn) {
  // Its advice names this system's tools: the app and its commands are Linux ones.
  const std::string &told = Explainer::instructions;
  EXPECT_NE(told.find("a Linux app"), std::string::npos);
  EXPECT_NE(told.find("right on Linux"), std::string::npos);
  EXPECT_EQ(told.find("macOS"), std::string::npos);
  EXPECT_EQ(told.find("Mac app"), std::string::npos);
}

} // namespace
} // namespace corvane

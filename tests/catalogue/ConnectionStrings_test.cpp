#include "brimvale/catalogue/ConnectionStrings.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace corvane {
namespace {

using Category = ExposedService::ServiceCategory;

std::string url(std::string_view name, int port, Category category,
                std::optional<ShareHints> hints = std::nullopt,
                std::optional<int> cataloguePort = std::nullopt) {
  return makeConnectionURL(name, port, category, hints, cataloguePort).value_or("<none>");
}

ShareHints hints(std::optional<std::string> user, std::optional<std::string> database) {
  return ShareHints{std::move(database), std::move(user), std::nullopt};
}

TEST(ConnectionStringsTest, SchemesFromTheCatalogue) {
  EXPECT_EQ(url("PostgreSQL", 15432, Category::database, hints("dev team", "app/db")),
            "postgresql://dev%20team@localhost:15432/app%2Fdb");
  EXPECT_EQ(url("my-db", 15432, Category::database, std::nullopt, 5432),
            "postgresql://localhost:15432");
  EXPECT_EQ(url("crdb", 26257, Category::database, hints(std::nullopt, "")),
            "postgresql://localhost:26257/");
  EXPECT_EQ(url("maria", 13306, Category::database, hints("root", std::nullopt)),
            "mysql://root@localhost:13306");
  EXPECT_EQ(url("mongo", 27018, Category::database), "mongodb://localhost:27018");
  EXPECT_EQ(url("rabbit", 5673, Category::messaging), "amqp://localhost:5673");
  EXPECT_EQ(url("nats", 4222, Category::messaging, hints(std::nullopt, "x")),
            "nats://localhost:4222");
  EXPECT_EQ(url("pgAdmin", 15050, Category::database), "http://localhost:15050");
  EXPECT_EQ(url("rabbitmq", 25672, Category::messaging, std::nullopt, 15672),
            "http://localhost:25672");
  EXPECT_EQ(url("Cassandra", 9042, Category::database), "<none>");
  EXPECT_EQ(url("thing", 4444, Category::web), "http://localhost:4444");
  EXPECT_EQ(url("thing", 4444, Category::api), "http://localhost:4444");
  for (auto category : {Category::database, Category::messaging, Category::tool, Category::custom})
    EXPECT_EQ(url("thing", 4444, category), "<none>");
}

TEST(ConnectionStringsTest, RedisDatabaseNumbers) {
  auto redis = [](std::string database) {
    return url("redis", 16379, Category::database, hints(std::nullopt, database));
  };
  EXPECT_EQ(redis("3"), "redis://localhost:16379/3");
  EXPECT_EQ(redis("+3"), "redis://localhost:16379/3");
  EXPECT_EQ(redis("02"), "redis://localhost:16379/2");
  for (const char *ignored : {"main", "-1", "", "3 ", "99999999999999999999", "+"})
    EXPECT_EQ(redis(ignored), "redis://localhost:16379") << ignored;
  EXPECT_EQ(redis("9223372036854775807"), "redis://localhost:16379/9223372036854775807");
}

TEST(ConnectionStringsTest, HostileHintsAreEncoded) {
  EXPECT_EQ(url("postgres", 5432, Category::database, hints("a@b:c/d?e#f", "x y\n%2F")),
            "postgresql://a%40b%3Ac%2Fd%3Fe%23f@localhost:5432/x%20y%0A%252F");
  EXPECT_EQ(url("postgres", 5432, Category::database, hints("é", "日本")),
            "postgresql://%C3%A9@localhost:5432/%E6%97%A5%E6%9C%AC");
  // Text that is not UTF-8 cannot be encoded: no user, an empty database.
  EXPECT_EQ(url("postgres", 5432, Category::database, hints("\xFF", "\xC0")),
            "postgresql://@localhost:5432/");
  EXPECT_EQ(unreservedCharacters().size(), 66u);
}

TEST(ConnectionStringsTest, EnvironmentLines) {
  EXPECT_EQ(envLine("Postgres (main)", "x"), "POSTGRES_MAIN_URL=x");
  EXPECT_EQ(envLine("3d-api", "x"), "SERVICE_3D_API_URL=x");
  EXPECT_EQ(envLine("---", "x"), "SERVICE_URL=x");
  EXPECT_EQ(envLine("café", "x"), "CAF_URL=x");
  EXPECT_EQ(envLine("straße", "x"), "STRASSE_URL=x");
  EXPECT_EQ(envLine("a\nb=c", "redis://localhost:1"), "A_B_C_URL=redis://localhost:1");
}

IncomingService incoming(IncomingService::State state, std::optional<int> localPort) {
  IncomingService service;
  service.name = "postgres";
  service.remotePort = 5432;
  service.localPort = localPort;
  service.state = std::move(state);
  return service;
}

TEST(ConnectionStringsTest, ConnectionURLNeedsAConnectedPortAndAHandler) {
  FakeUrlOpener opener;
  opener.handlers["postgresql"] = "db-client.desktop";
  using State = IncomingService::State;
  EXPECT_EQ(connectionURL(incoming(State::connected(), 15432), opener),
            "postgresql://localhost:15432");
  for (const auto &state :
       {State::asleep(), State::notRunning(), State::off(), State::failed("Couldn't reach it")})
    EXPECT_FALSE(connectionURL(incoming(state, 15432), opener));
  EXPECT_FALSE(connectionURL(incoming(State::connected(), std::nullopt), opener));
  EXPECT_FALSE(connectionURL(incoming(State::connected(), -1), opener));
  EXPECT_FALSE(connectionURL(incoming(State::connected(), 70000), opener));
  opener.handlers.clear();
  EXPECT_FALSE(connectionURL(incoming(State::connected(), 15432), opener));
}

class XdgUrlOpenerTest : public ::testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/corvane-urlopener-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string script(const std::string &name, const std::string &body) {
    const auto path = (dir_ / name).string();
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    chmod(path.c_str(), 0700);
    return path;
  }

  std::filesystem::path dir_;
};

TEST_F(XdgUrlOpenerTest, QueriesTheHandlerWithoutAShell) {
  const auto args = (dir_ / "args").string();
  XdgUrlOpener opener(
      {.queryProgram = script("mime", "printf '%s|' \"$@\" > " + args + "; echo 'client.desktop'"),
       .timeLimitSeconds = 5});
  EXPECT_EQ(opener.applicationFor("PostgreSQL://localhost:1"), "client.desktop");
  std::string recorded;
  std::getline(std::ifstream(args), recorded);
  EXPECT_EQ(recorded, "query|default|x-scheme-handler/postgresql|");
  EXPECT_FALSE(opener.applicationFor("no scheme"));
  EXPECT_FALSE(opener.applicationFor("-x:y"));
}

TEST_F(XdgUrlOpenerTest, FailuresSilenceAndFloodsGiveNoHandler) {
  auto query = [&](const std::string &body) {
    XdgUrlOpener opener({.queryProgram = script("q", body), .timeLimitSeconds = 0.3});
    return opener.applicationFor("redis://localhost:1");
  };
  EXPECT_FALSE(query("exit 0"));
  EXPECT_FALSE(query("echo app.desktop; exit 1"));
  EXPECT_FALSE(query("yes | head -c 1000000"));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(query("exec sleep 30"));
  // Killed at the time limit, well before the program's 30 s, with room for a loaded machine.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  XdgUrlOpener missing({.queryProgram = (dir_ / "absent").string()});
  EXPECT_FALSE(missing.applicationFor("redis://localhost:1"));
}

TEST_F(XdgUrlOpenerTest, OpensThroughTheDetachedOpener) {
  const auto args = (dir_ / "args").string();
  XdgUrlOpener opener({.openProgram = "the-opener",
                       .detachProgram = script("detach", "printf '%s|' \"$@\" > " + args),
                       .timeLimitSeconds = 5});
  EXPECT_TRUE(opener.open("redis://localhost:1/0; rm -rf x"));
  std::string recorded;
  std::getline(std::ifstream(args), recorded);
  EXPECT_EQ(recorded, "-f|the-opener|redis://localhost:1/0; rm -rf x|");
  EXPECT_FALSE(opener.open("--help"));
}

} // namespace
} // namespace corvane

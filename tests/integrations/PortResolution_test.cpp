#include "TestHttpServer.h"
#include "brimvale/integrations/PortResolution.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

namespace corvane {
namespace {

using Category = ExposedService::ServiceCategory;
using State = IncomingService::State;

IncomingService row(std::string peerID, std::string serviceID, std::string name,
                    std::string peerName, State state = State::connected(),
                    std::optional<int> localPort = 15432) {
  IncomingService service;
  service.key = {std::move(peerID), std::move(serviceID)};
  service.name = std::move(name);
  service.peerName = std::move(peerName);
  service.remotePort = 5432;
  service.localPort = localPort;
  service.state = std::move(state);
  return service;
}

TEST(IntentFailure, SentencesOfEveryCase) {
  const std::vector<std::pair<IntentFailure, std::string>> cases = {
      {IntentFailure::noPortNamed("db"), "No paired Mac shares a port called \u201Cdb\u201D."},
      {IntentFailure::ambiguousPort("db"), "More than one Mac shares a port called db. Add the "
                                           "Mac's name to the link, as in db@Mac name."},
      {IntentFailure::away("Studio"), "Studio isn't nearby right now."},
      {IntentFailure::off("db"), "db is turned off on this Mac. Turn it on in Corvane to use it."},
      {IntentFailure::notRunning("db", "Studio"), "db isn't running on Studio."},
      {IntentFailure::failed("db", "No free port on this Mac"),
       "db can't be used right now: No free port on this Mac."},
      {IntentFailure::failed("db", "It refused."), "db can't be used right now: It refused."},
      {IntentFailure::failed("db", "Waiting\u2026"), "db can't be used right now: Waiting\u2026"},
      {IntentFailure::failed("db", "Gone!"), "db can't be used right now: Gone!"},
      {IntentFailure::failed("db", "Why?"), "db can't be used right now: Why?"},
      {IntentFailure::failed("db", ""), "db can't be used right now: "},
      {IntentFailure::noConnectionString("db"),
       "Corvane doesn't know what kind of service db is, so it can't write a connection "
       "string. Copy its address instead."},
      {IntentFailure::noApp("db"), "No app on this Mac opens db."},
      {IntentFailure::unknownEnvironment("Work"),
       "There's no environment called \u201CWork\u201D."},
      {IntentFailure::unknownPort(), "Corvane doesn't have that port any more. Its Mac may have "
                                     "stopped sharing it or been unpaired."},
      {IntentFailure::unknownShare(), "This Mac doesn't share that port any more."},
  };
  for (const auto &[failure, sentence] : cases) {
    EXPECT_EQ(failure.errorDescription(), sentence);
    EXPECT_EQ(failure.localizedStringResource(), sentence);
  }
  EXPECT_EQ(IntentFailure::away("A"), IntentFailure::away("A"));
  EXPECT_NE(IntentFailure::away("A"), IntentFailure::off("A"));
  EXPECT_NE(IntentFailure::failed("db", "x"), IntentFailure::failed("db", "y"));
}

TEST(PortResolution, FindsAPortByNameAndMac) {
  const std::vector<IncomingService> incoming = {
      row("peer-a", "1", "Orders DB", "Studio"),
      row("peer-b", "2", "orders db", "Laptop"),
      row("peer-b", "3", "O'Brien Cache", "Laptop"),
  };
  const std::vector<PairedPeer> paired = {{"peer-a", "Ana's Studio", {}, 0}};

  EXPECT_EQ(findPortByName("  O\u2019BRIEN cache\t", incoming, paired)->key.serviceID, "3");
  EXPECT_EQ(findPortByName("orders DB@studio", incoming, paired)->key.serviceID, "1");
  EXPECT_EQ(findPortByName("Orders DB@Ana\u2018s Studio", incoming, paired)->key.serviceID, "1");
  EXPECT_EQ(findPortByName("Orders DB@laptop", incoming, paired)->key.serviceID, "2");
  EXPECT_EQ(findPortByName(" ORDERS db ", incoming, paired).error(),
            IntentFailure::ambiguousPort("ORDERS db"));
  EXPECT_EQ(findPortByName("Orders DB@Nowhere", incoming, paired).error(),
            IntentFailure::noPortNamed("Orders DB@Nowhere"));
  EXPECT_EQ(findPortByName("db", {}, {}).error(), IntentFailure::noPortNamed("db"));
}

TEST(PortResolution, UsablePortByState) {
  const std::vector<IncomingService> incoming = {
      row("p", "ready", "Ready", "Studio"),
      row("p", "noport", "No Port", "Studio", State::connected(), std::nullopt),
      row("p", "asleep", "Asleep", "Studio", State::asleep()),
      row("p", "down", "Down", "Studio", State::notRunning()),
      row("p", "off", "Off", "Studio", State::off()),
      row("p", "failed", "Failed", "Studio", State::failed("Studio refused it.")),
  };
  EXPECT_EQ(portIdentifier(incoming[0].key), "p/ready");
  ASSERT_TRUE(usablePort(incoming, "p/ready"));
  EXPECT_EQ(portAddress(*usablePort(incoming, "p/ready")), "localhost:15432");
  EXPECT_EQ(usablePort(incoming, "p/noport").error().errorDescription(),
            "No Port can't be used right now: No free port on this Mac.");
  EXPECT_EQ(usablePort(incoming, "p/asleep").error(), IntentFailure::away("Studio"));
  EXPECT_EQ(usablePort(incoming, "p/down").error(), IntentFailure::notRunning("Down", "Studio"));
  EXPECT_EQ(usablePort(incoming, "p/off").error(), IntentFailure::off("Off"));
  EXPECT_EQ(usablePort(incoming, "p/failed").error().errorDescription(),
            "Failed can't be used right now: Studio refused it.");
  EXPECT_EQ(usablePort(incoming, "p/gone").error(), IntentFailure::unknownPort());
  EXPECT_EQ(usablePort(incoming, "P/READY").error(), IntentFailure::unknownPort());
}

TEST(PortResolution, ConnectionTextAndURLToOpen) {
  auto postgres = row("p", "pg", "Orders", "Studio");
  postgres.category = Category::database;
  postgres.hints = ShareHints{"orders", "app", std::nullopt};
  auto custom = row("p", "custom", "Thing", "Studio");
  custom.remotePort = 47123;
  custom.category = Category::custom;
  const std::vector<IncomingService> incoming = {postgres, custom,
                                                 row("p", "off", "Off", "S", State::off())};

  const auto text = connectionText(incoming, "p/pg");
  ASSERT_TRUE(text);
  EXPECT_THAT(*text, ::testing::StartsWith("postgresql://app@localhost:15432/orders"));
  EXPECT_EQ(connectionText(incoming, "p/custom").error(),
            IntentFailure::noConnectionString("Thing"));
  EXPECT_EQ(connectionText(incoming, "p/off").error(), IntentFailure::off("Off"));

  FakeUrlOpener opener;
  EXPECT_EQ(openableURL(incoming, "p/pg", opener).error(), IntentFailure::noApp("Orders"));
  opener.handlers["postgresql"] = "dbclient.desktop";
  EXPECT_EQ(openableURL(incoming, "p/pg", opener), *text);
  EXPECT_EQ(openableURL(incoming, "p/off", opener).error(), IntentFailure::off("Off"));
}

// A URL written from hints reaches the desktop's opener as one argument, never through a shell.
TEST(PortResolution, URLsFromHintsAreOpenedWithoutAShell) {
  testing::TemporaryFolder folder;
  const std::string record = folder.path() + "/opened";
  const std::string marker = folder.path() + "/shell-ran";
  const auto script = [&](const std::string &name, const std::string &body) {
    const std::string path = folder.path() + "/" + name;
    std::ofstream(path) << "#!/bin/sh\n" << body;
    ::chmod(path.c_str(), 0755);
    return path;
  };
  XdgUrlOpener::Options options;
  options.queryProgram = script("query", "echo dbclient.desktop\n");
  options.openProgram = script("open", "printf '%s\\n' \"$#\" \"$@\" > '" + record +
                                           ".tmp' && mv '" + record + ".tmp' '" + record + "'\n");
  XdgUrlOpener opener(options);

  auto postgres = row("p", "pg", "Orders", "Studio");
  postgres.category = Category::database;
  postgres.hints = ShareHints{"x;touch " + marker + ";'$(touch " + marker + ")",
                              "`touch " + marker + "`", std::nullopt};
  const auto url = openableURL({postgres}, "p/pg", opener);
  ASSERT_TRUE(url);
  ASSERT_TRUE(opener.open(*url));

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!std::filesystem::exists(record) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::ifstream in(record);
  std::string count, argument;
  std::getline(in, count);
  std::getline(in, argument);
  EXPECT_EQ(count, "1");
  EXPECT_EQ(argument, *url);
  EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST(PortResolution, EnvironmentByNameAndShareDialog) {
  const std::vector<ShareEnvironment> environments = {{"E1", "Staging", {}}, {"E2", "Work", {}}};
  EXPECT_EQ(findEnvironmentNamed("  wORK\t", environments), "E2");
  EXPECT_EQ(findEnvironmentNamed(" Play\u200B ", environments).error(),
            IntentFailure::unknownEnvironment("Play"));

  EXPECT_EQ(shareStatusDialog("Orders", std::nullopt), "Orders is shared.");
  EXPECT_EQ(shareStatusDialog("Orders", "Sharing is paused. \"Home\" is not trusted."),
            "Orders is on, but sharing is paused. \"Home\" is not trusted.");
  EXPECT_EQ(shareStatusDialog("Orders", "\u00C9TAT Wi-Fi"), "Orders is on, but \u00E9TAT Wi-Fi");
}

TEST(PortResolution, SearchIgnoresCaseDiacriticsAndApostropheKinds) {
  auto obrien = row("p", "1", "O'Brien DB", "Studio");
  auto cafe = row("q", "2", "Caf\u00E9 API", "R\u00E9my's Laptop");
  cafe.version = "PostgreSQL 16.2";
  cafe.environment = "Staging";
  auto other = row("q", "3", "Queue", "Laptop");
  const std::vector<IncomingService> incoming = {obrien, cafe, other};
  const auto ids = [](const std::vector<IncomingService> &rows) {
    std::vector<std::string> out;
    for (const auto &found : rows)
      out.push_back(found.key.serviceID);
    return out;
  };
  EXPECT_THAT(ids(searchPorts("o\u2019brien db", incoming)), ::testing::ElementsAre("1"));
  EXPECT_THAT(ids(searchPorts("CAFE remy", incoming)), ::testing::ElementsAre("2"));
  EXPECT_THAT(ids(searchPorts("stag  16.2", incoming)), ::testing::ElementsAre("2"));
  EXPECT_THAT(ids(searchPorts(" \t", incoming)), ::testing::ElementsAre("1", "2", "3"));
  EXPECT_THAT(ids(searchPorts("laptop", incoming)), ::testing::ElementsAre("2", "3"));
  EXPECT_TRUE(searchPorts("nothing", incoming).empty());
}

} // namespace
} // namespace corvane

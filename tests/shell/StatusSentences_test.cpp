#include "brimvale/shell/StatusSentences.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

using State = IncomingService::State;
using Permission = NetworkName::Permission;

IncomingService port(State state) {
  IncomingService service;
  service.key = {"peer-a", "11111111-1111-1111-1111-111111111111"};
  service.peerName = "Studio";
  service.name = "Quokka Ledger";
  service.remotePort = 7070;
  service.state = std::move(state);
  return service;
}

TEST(StatusSentencesTest, EveryStateOfAPortInWords) {
  struct Case {
    const char *what;
    IncomingService service;
    std::string reachability, subtitle;
  };
  auto with = [](State state, auto change) {
    IncomingService service = port(std::move(state));
    change(service);
    return service;
  };
  const Date now = 800000000;
  const Case cases[] = {
      {"connected, latency known", with(State::connected(), [](auto &s) { s.latencyMs = 12; }),
       "12 ms", "Ready"},
      {"connected, in use", with(State::connected(), [](auto &s) { s.inUse = true; }), "ready",
       "In use now"},
      {"just woke wins over in use",
       with(State::connected(), [](auto &s) { s.inUse = s.justWoke = true; }), "ready",
       "Just woke up"},
      {"asleep, never seen", port(State::asleep()), "asleep", "Asleep or away"},
      {"asleep 59 s", with(State::asleep(), [&](auto &s) { s.lastSeen = now - 59; }), "asleep",
       "Asleep or away just now"},
      {"asleep 60 s", with(State::asleep(), [&](auto &s) { s.lastSeen = now - 60; }), "asleep",
       "Asleep or away for 1 min"},
      {"asleep 2 h 59 min", with(State::asleep(), [&](auto &s) { s.lastSeen = now - 10740; }),
       "asleep", "Asleep or away for 2 hr"},
      {"asleep 47 h", with(State::asleep(), [&](auto &s) { s.lastSeen = now - 47 * 3600; }),
       "asleep", "Asleep or away for 47 hr"},
      {"asleep 48 h", with(State::asleep(), [&](auto &s) { s.lastSeen = now - 48 * 3600; }),
       "asleep", "Asleep or away for 2 days"},
      {"seen in the future", with(State::asleep(), [&](auto &s) { s.lastSeen = now + 500; }),
       "asleep", "Asleep or away just now"},
      {"seen at a date far off", with(State::asleep(), [&](auto &s) { s.lastSeen = -1e300; }),
       "asleep", "Asleep or away for 694444444444 days"},
      {"not running", port(State::notRunning()), "not running", "Not running on Studio"},
      {"off", port(State::off()), "off", "Turned off on this Mac"},
      {"failed", port(State::failed("No free port on this Mac")), "No free port on this Mac",
       "No free port on this Mac"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(reachabilityText(c.service), c.reachability) << c.what;
    EXPECT_EQ(incomingStateText(c.service, now), c.subtitle) << c.what;
  }
}

TEST(StatusSentencesTest, MovedNoticeAndSpokenLabelOfAPort) {
  IncomingService moved = port(State::connected());
  moved.localPort = 17070;
  moved.latencyMs = 3;
  moved.problem = "too many connections";
  moved.hints = ShareHints{std::nullopt, std::nullopt, "ask me for the password"};
  EXPECT_EQ(portMovedNotice(moved),
            "Port 7070 is already used on this Mac, so it's on 17070 here.");
  EXPECT_EQ(incomingAccessibilityLabel(moved),
            "Quokka Ledger from Studio, localhost:17070, connected, 3 milliseconds, Too many "
            "open connections (64), ask me for the password");

  IncomingService home = moved;
  home.localPort = 7070;
  EXPECT_EQ(portMovedNotice(home), std::nullopt);
  IncomingService asleep = moved;
  asleep.state = State::asleep();
  EXPECT_EQ(portMovedNotice(asleep), std::nullopt);
  // Asleep: the word, and no problem sentence even with a refusal recorded.
  EXPECT_EQ(incomingAccessibilityLabel(asleep),
            "Quokka Ledger from Studio, localhost:17070, asleep, ask me for the password");
  IncomingService plain = port(State::connected());
  EXPECT_EQ(incomingAccessibilityLabel(plain), "Quokka Ledger from Studio, connected");
}

TEST(StatusSentencesTest, LabelsBadgesAndVersionsOfAPort) {
  struct Case {
    std::string name;
    int port;
    std::optional<std::string> version;
    std::string label, badge;
    std::optional<std::string> detail;
  };
  const Case cases[] = {
      {"PostgreSQL", 5432, "PostgreSQL 16.2", "pg", "PG", "16.2"},
      {"Main database", 6379, "7.2.4", "redis", "RD", "7.2.4"}, // known by its port
      {"Quokka Ledger", 7070, "Quokka  Ledger 2", "quokka", "QUO", "Ledger 2"},
      {"Quokka Ledger", 7070, "", "quokka", "QUO", std::nullopt},
      {"  Élan-Vital  Store", 7070, "v1 beta", "élan-v", "ÉLA", "v1 beta"},
      {"__ -- !!", 7070, std::nullopt, "__", "", std::nullopt},
      {"", 7070, std::nullopt, "", "", std::nullopt},
      // Cut by whole characters: the combining accent stays with its letter, and a flag or
      // a joined emoji is one character.
      {"e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301", 7070, std::nullopt,
       "e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301", "E\u0301E\u0301E\u0301", std::nullopt},
      {"\U0001F1EB\U0001F1F7ab\U0001F468\u200D\U0001F469cdefg", 7070, std::nullopt,
       "\U0001F1EB\U0001F1F7ab\U0001F468\u200D\U0001F469cd", "ABC", std::nullopt},
      {"stra\u00DFe", 7070, std::nullopt, "stra\u00DFe", "STR", std::nullopt},
  };
  for (const Case &c : cases) {
    IncomingService service = port(State::connected());
    service.name = c.name;
    service.remotePort = c.port;
    service.version = c.version;
    EXPECT_EQ(serviceMapLabel(service), c.label) << c.name;
    EXPECT_EQ(serviceBadgeText(service), c.badge) << c.name;
    EXPECT_EQ(serviceDetailText(service), c.detail) << c.name;
  }
}

TEST(StatusSentencesTest, EveryStateOfAShare) {
  struct Case {
    const char *what;
    bool enabled, running;
    std::optional<bool> responding;
    int connections;
    std::string status, spokenOn, spokenPaused;
  };
  const Case cases[] = {
      {"off", false, true, true, 2, "off", "db, port 5432, paused, 2 using",
       "db, port 5432, paused, 2 using"},
      {"not running", true, false, std::nullopt, 0, "not running",
       "db, port 5432, shared, not running", "db, port 5432, on, but sharing is paused"},
      {"not responding", true, true, false, 1, "not responding", "db, port 5432, shared, 1 using",
       "db, port 5432, on, but sharing is paused, 1 using"},
      {"in use", true, true, true, 2, "2 using", "db, port 5432, shared, 2 using",
       "db, port 5432, on, but sharing is paused, 2 using"},
      {"not yet probed", true, true, std::nullopt, 0, "", "db, port 5432, shared",
       "db, port 5432, on, but sharing is paused"},
  };
  for (const Case &c : cases) {
    OutgoingService share;
    share.service.name = "db";
    share.service.port = 5432;
    share.service.enabled = c.enabled;
    share.running = c.running;
    share.responding = c.responding;
    share.connections = c.connections;
    EXPECT_EQ(shareStatusText(share), c.status) << c.what;
    EXPECT_EQ(shareAccessibilitySummary(share, true, ""), c.spokenOn) << c.what;
    EXPECT_EQ(shareAccessibilitySummary(share, false, ""), c.spokenPaused) << c.what;
  }
  OutgoingService share;
  share.service.name = "web";
  share.service.port = 3000;
  share.running = true;
  EXPECT_EQ(shareAccessibilitySummary(share, true, "only Studio"),
            "web, port 3000, shared, only Studio");
}

TEST(StatusSentencesTest, TimeLeftAndWhoMayUseAShare) {
  const Date now = 800000000;
  const std::map<std::string, std::string> names{{"a", "Studio"}, {"b", "Laptop"}};
  struct Case {
    const char *what;
    bool enabled;
    std::optional<Date> expires;
    std::optional<std::set<std::string>> allowed;
    std::string text;
  };
  const Case cases[] = {
      {"every Mac, no end", true, std::nullopt, std::nullopt, ""},
      {"10 s left", true, now + 10, std::nullopt, "1 min left"},
      {"ended a minute ago", true, now - 60, std::nullopt, "1 min left"},
      {"59 min", true, now + 59 * 60, std::nullopt, "59 min left"},
      {"60 min", true, now + 3600, std::nullopt, "1 hr left"},
      {"119 min", true, now + 119 * 60, std::nullopt, "1 hr left"},
      {"paused shares show no time", false, now + 600, std::nullopt, ""},
      {"no one", true, std::nullopt, std::set<std::string>{}, "no one"},
      {"one named", true, now + 600, std::set<std::string>{"a"}, "10 min left \u00B7 only Studio"},
      {"one unknown", true, std::nullopt, std::set<std::string>{"zz"}, "only 1 Mac"},
      {"several", false, now + 600, std::set<std::string>{"a", "b", "c"}, "3 Macs"},
      {"end far off", true, 1e300, std::nullopt, "16666666666666 hr left"},
  };
  for (const Case &c : cases) {
    ExposedService share;
    share.enabled = c.enabled;
    share.expires = c.expires;
    share.allowed = c.allowed;
    EXPECT_EQ(shareLimitsText(share, now, names), c.text) << c.what;
  }
  // The names come from the paired Macs; a later entry for the same Mac wins.
  ExposedService share;
  share.allowed = std::set<std::string>{"a"};
  EXPECT_EQ(shareAccessText(share, now, {{"a", "Old", {}, 1}, {"a", "Studio", {}, 2}}),
            "only Studio");
}

std::vector<PairedPeer> peers(int count) {
  std::vector<PairedPeer> list;
  // Paired in reverse order of the list, so the list order is never the pairing order.
  for (int i = 0; i < count; ++i)
    list.push_back({"id" + std::to_string(i), "Mac " + std::to_string(i), {}, 1000.0 - i});
  return list;
}

TEST(StatusSentencesTest, ThePairedMacsAndTheNetworkInOneLine) {
  struct Case {
    int paired;
    std::set<std::string> online;
    std::optional<std::string> network;
    std::string summary, subtitle;
  };
  const Case cases[] = {
      {0, {}, std::nullopt, "No Macs paired yet", "No Macs paired yet"},
      {0, {"id0"}, "Home", "No Macs paired yet", "No Macs paired yet"},
      {1, {}, std::nullopt, "1 Mac paired, not nearby", "Looking on this network\u2026"},
      {1, {}, "Home", "1 Mac paired, not nearby", "Looking on Home\u2026"},
      {1, {"id0"}, std::nullopt, "1 Mac paired, encrypted", "On this network \u00B7 1 Mac nearby"},
      {3, {}, "Home", "3 Macs paired, none nearby", "Looking on Home\u2026"},
      {3, {"id0", "id2"}, "Home", "2 of 3 Macs nearby, encrypted", "On Home \u00B7 2 Macs nearby"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(pairedSummaryText(peers(c.paired), c.online), c.summary);
    EXPECT_EQ(panelSubtitleText(peers(c.paired), c.online, c.network), c.subtitle);
  }
}

TEST(StatusSentencesTest, PermissionButtonOnlyWhenTheWifiNameCannotBeRead) {
  struct Case {
    SharingState state;
    Permission permission;
    std::optional<std::string> title;
  };
  const Case cases[] = {
      {SharingState::offTrustedNetworks(std::nullopt), Permission::undecided, "Allow"},
      {SharingState::offTrustedNetworks(std::nullopt), Permission::denied, "Open Settings"},
      {SharingState::offTrustedNetworks(std::nullopt), Permission::allowed, std::nullopt},
      {SharingState::offTrustedNetworks("Cafe"), Permission::denied, std::nullopt},
      {SharingState::pausedByYou(), Permission::denied, std::nullopt},
      {SharingState::on(), Permission::undecided, std::nullopt},
  };
  for (const Case &c : cases)
    EXPECT_EQ(networkPermissionActionTitle(c.state, c.permission), c.title);
}

TEST(StatusSentencesTest, PortsGroupedByPairedMacOldestFirst) {
  const auto paired = peers(3); // id2 was paired first
  std::vector<IncomingService> incoming;
  for (const char *peer : {"id0", "gone", "id2", "id0"}) {
    IncomingService row = port(State::connected());
    row.key.peerID = peer;
    row.name = std::string(peer) + "-" + std::to_string(incoming.size());
    incoming.push_back(row);
  }
  const auto groups = incomingGroupedByPeer(paired, incoming);
  ASSERT_EQ(groups.size(), 3u);
  EXPECT_EQ(groups[0].peer.deviceID, "id2");
  EXPECT_EQ(groups[0].rows.size(), 1u);
  EXPECT_EQ(groups[1].peer.deviceID, "id1");
  EXPECT_TRUE(groups[1].rows.empty()) << "a Mac that offers nothing keeps its group";
  ASSERT_EQ(groups[2].rows.size(), 2u);
  EXPECT_EQ(groups[2].rows[0].name, "id0-0");
  EXPECT_EQ(groups[2].rows[1].name, "id0-3");
  EXPECT_TRUE(incomingGroupedByPeer({}, incoming).empty());

  EXPECT_EQ(peerColorIndex(paired, "id2"), 0);
  EXPECT_EQ(peerColorIndex(paired, "id0"), 2);
  EXPECT_EQ(peerColorIndex(paired, "gone"), 0);

  EXPECT_FALSE(hasFailingIncoming(incoming));
  incoming[1].state = State::failed("No free port on this Mac");
  EXPECT_TRUE(hasFailingIncoming(incoming));
}

} // namespace
} // namespace corvane

#include "brimvale/integrations/NotificationRules.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <ostream>

namespace corvane {
namespace {

using State = IncomingService::State;
using Note = NotificationRules::Note;

} // namespace

void PrintTo(const NotificationRules::Note &note, std::ostream *out) {
  *out << "{\"" << note.title << "\", \"" << note.body << "\"}";
}

namespace {

IncomingService port(std::string serviceID, State state,
                     std::optional<std::string> health = std::nullopt,
                     std::string peerID = "peer-a", std::string peerName = "Studio") {
  IncomingService service;
  service.key = {std::move(peerID), serviceID};
  service.peerName = std::move(peerName);
  service.name = "Postgres " + serviceID;
  service.state = std::move(state);
  service.health = std::move(health);
  return service;
}

TEST(NotificationRules, DownReasonByState) {
  struct Row {
    const char *what;
    IncomingService service;
    std::optional<std::string> reason;
  };
  const Row rows[] = {
      {"answering", port("1", State::connected()), std::nullopt},
      {"not responding", port("1", State::connected(), "not responding"),
       "It stopped answering. Studio still shares it."},
      {"other health text", port("1", State::connected(), "Not responding"), std::nullopt},
      {"health with a space", port("1", State::connected(), "not responding "), std::nullopt},
      {"asleep", port("1", State::asleep(), "not responding"), std::nullopt},
      {"off", port("1", State::off()), std::nullopt},
      {"not running", port("1", State::notRunning()), "It stopped running on Studio."},
      {"failed, letter", port("1", State::failed("Port 5432 is taken")),
       "It can't be used on this Mac: Port 5432 is taken."},
      {"failed, period", port("1", State::failed("Port is taken.")),
       "It can't be used on this Mac: Port is taken."},
      {"failed, ellipsis", port("1", State::failed("Still trying\u2026")),
       "It can't be used on this Mac: Still trying\u2026"},
      {"failed, bang", port("1", State::failed("Refused!")),
       "It can't be used on this Mac: Refused!"},
      {"failed, question", port("1", State::failed("Unpaired?")),
       "It can't be used on this Mac: Unpaired?"},
      {"failed, empty", port("1", State::failed("")), "It can't be used on this Mac: "},
  };
  for (const auto &row : rows)
    EXPECT_EQ(NotificationRules::downReason(row.service), row.reason) << row.what;
}

// One evaluation per step: the ports offered at that moment, the recently used keys, the time,
// and the notes expected.
struct Step {
  double at;
  std::vector<IncomingService> incoming;
  std::set<std::string> recent;
  std::vector<Note> notes;
};

void run(const char *what, const std::vector<Step> &steps) {
  NotificationRules rules;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const auto &step = steps[i];
    EXPECT_EQ(rules.evaluate(step.incoming, step.recent, step.at), step.notes)
        << what << ", step " << i;
  }
}

const std::string keyOne = "peer-a/1";
const std::string keyTwo = "peer-a/2";
const Note downOne{"Postgres 1 on Studio", "It stopped running on Studio."};
const Note downTwo{"Postgres 2 on Studio", "It stopped running on Studio."};

TEST(NotificationRules, OutagesAreAnnouncedOnceAfterThirtySeconds) {
  const auto down = port("1", State::notRunning());
  const auto up = port("1", State::connected());
  const auto asleep = port("1", State::asleep());
  const auto off = port("1", State::off());

  run("30.0 s counts, 29.9 s does not", {{100, {down}, {keyOne}, {}},
                                         {129.9, {down}, {keyOne}, {}},
                                         {130.0, {down}, {keyOne}, {downOne}}});
  run("one note per outage", {{0, {down}, {keyOne}, {}},
                              {30, {down}, {keyOne}, {downOne}},
                              {60, {down}, {keyOne}, {}},
                              {600, {down}, {keyOne}, {}}});
  run("not recently used: tracked, announced once it is",
      {{0, {down}, {}, {}}, {45, {down}, {}, {}}, {46, {down}, {keyOne}, {downOne}}});
  run("seen answering ends the outage; the next one is new", {{0, {down}, {keyOne}, {}},
                                                              {30, {down}, {keyOne}, {downOne}},
                                                              {31, {up}, {keyOne}, {}},
                                                              {32, {down}, {keyOne}, {}},
                                                              {61.9, {down}, {keyOne}, {}},
                                                              {62, {down}, {keyOne}, {downOne}}});
  run("asleep or off in between is the same outage", {{0, {down}, {keyOne}, {}},
                                                      {30, {down}, {keyOne}, {downOne}},
                                                      {40, {asleep}, {keyOne}, {}},
                                                      {50, {off}, {keyOne}, {}},
                                                      {90, {down}, {keyOne}, {}}});
  run("asleep keeps the outage's start",
      {{0, {down}, {keyOne}, {}}, {10, {asleep}, {keyOne}, {}}, {30, {down}, {keyOne}, {downOne}}});
  run("no longer offered forgets the outage", {{0, {down}, {keyOne}, {}},
                                               {30, {down}, {keyOne}, {downOne}},
                                               {31, {}, {keyOne}, {}},
                                               {32, {down}, {keyOne}, {}},
                                               {62, {down}, {keyOne}, {downOne}}});
  run("two ports at once, in the order of the list",
      {{0, {port("2", State::notRunning()), down}, {keyOne, keyTwo}, {}},
       {30, {port("2", State::notRunning()), down}, {keyOne, keyTwo}, {downTwo, downOne}}});
  run("a not-responding port and a failed one",
      {{0,
        {port("1", State::connected(), "not responding"), port("2", State::failed("No"))},
        {keyOne, keyTwo},
        {}},
       {30,
        {port("1", State::connected(), "not responding"), port("2", State::failed("No"))},
        {keyOne, keyTwo},
        {{"Postgres 1 on Studio", "It stopped answering. Studio still shares it."},
         {"Postgres 2 on Studio", "It can't be used on this Mac: No."}}}});
  const auto attic = port("1", State::notRunning(), std::nullopt, "peer-b", "Attic");
  run("the same share id of another Mac is another port",
      {{0, {down}, {keyOne, "peer-b/1"}, {}},
       {10, {down, attic}, {keyOne, "peer-b/1"}, {}},
       {30, {down, attic}, {keyOne, "peer-b/1"}, {downOne}},
       {40,
        {down, attic},
        {keyOne, "peer-b/1"},
        {{"Postgres 1 on Attic", "It stopped running on Attic."}}}});
}

TEST(NotificationRules, TablesFollowThePorts) {
  NotificationRules rules;
  rules.evaluate({port("1", State::notRunning()), port("2", State::connected())}, {}, 5);
  EXPECT_EQ(rules.downSince, (std::map<std::string, Date>{{keyOne, 5}}));
  EXPECT_TRUE(rules.announced.empty());

  rules.evaluate({port("1", State::notRunning())}, {keyOne}, 40);
  EXPECT_EQ(rules.downSince, (std::map<std::string, Date>{{keyOne, 5}}));
  EXPECT_EQ(rules.announced, (std::set<std::string>{keyOne}));

  // The owner's stamps and sleep time are left alone by evaluations.
  rules.sleptAt = 7;
  rules.stamp({"peer-a", "peer-b"}, 50);
  rules.stamp({"peer-a"}, 60);
  rules.evaluate({}, {}, 70);
  EXPECT_TRUE(rules.downSince.empty());
  EXPECT_TRUE(rules.announced.empty());
  EXPECT_EQ(rules.lastConnected, (std::map<std::string, Date>{{"peer-a", 60}, {"peer-b", 50}}));
  EXPECT_EQ(rules.sleptAt, 7);
}

TEST(NotificationRules, AnUnknownTimeStartsNoOutage) {
  NotificationRules rules;
  const auto nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(rules.evaluate({port("1", State::notRunning())}, {keyOne}, nan).empty());
  EXPECT_TRUE(rules.downSince.empty());
  EXPECT_TRUE(rules.evaluate({port("1", State::notRunning())}, {keyOne}, 10).empty());
  EXPECT_EQ(rules.evaluate({port("1", State::notRunning())}, {keyOne}, 40),
            std::vector<Note>{downOne});
}

} // namespace
} // namespace corvane

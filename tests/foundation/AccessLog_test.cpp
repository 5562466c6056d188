#include "brimvale/foundation/AccessLog.h"
#include "brimvale/platform/UserDefaults.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

namespace corvane {
namespace {

constexpr Date t0 = 700000000;

TEST(AccessLogRecord, ConnectionsWithinFiveMinutesAreOneVisit) {
  AccessLog log;
  EXPECT_TRUE(log.record("aaaa", "Desk", "Postgres", 5432, t0));
  EXPECT_FALSE(log.record("aaaa", "Desk Mac", "Postgres", 5432, t0 + 299));
  ASSERT_EQ(log.entries.size(), 1u);
  EXPECT_EQ(log.entries[0].connections, 2);
  EXPECT_EQ(log.entries[0].peerName, "Desk Mac");
  EXPECT_EQ(log.entries[0].first, t0);
  EXPECT_EQ(log.entries[0].last, t0 + 299);

  // Measured from the latest connection, not the first.
  EXPECT_FALSE(log.record("aaaa", "Desk", "Postgres", 5432, t0 + 549));
  ASSERT_EQ(log.entries.size(), 1u);
  EXPECT_EQ(log.entries[0].connections, 3);

  EXPECT_FALSE(log.record("aaaa", "Desk", "Postgres", 5432, t0 + 850));
  ASSERT_EQ(log.entries.size(), 2u);
  EXPECT_EQ(log.entries[0].first, t0 + 850);
  EXPECT_EQ(log.entries[0].connections, 1);
  EXPECT_NE(log.entries[0].id, log.entries[1].id);

  // A clock that went back still extends, and `last` never moves backwards.
  EXPECT_FALSE(log.record("aaaa", "Desk", "Postgres", 5432, t0 + 800));
  EXPECT_EQ(log.entries[0].last, t0 + 850);
  EXPECT_EQ(log.entries[0].connections, 2);
}

TEST(AccessLogRecord, SharesAndNamesKeepTheirOwnVisits) {
  AccessLog log;
  log.record("aaaa", "Desk", "Postgres", 5432, t0);
  log.record("aaaa", "Desk", "Redis", 6379, t0 + 1);
  log.record("aaaa", "Desk", "Postgres", 5432, t0 + 2);
  ASSERT_EQ(log.entries.size(), 2u);
  EXPECT_EQ(log.entries[0].serviceName, "Postgres");
  EXPECT_EQ(log.entries[0].connections, 2);
  EXPECT_EQ(log.entries[1].serviceName, "Redis");

  // A renamed share is a new pair and a new visit.
  EXPECT_TRUE(log.record("aaaa", "Desk", "Main DB", 5432, t0 + 3));
  EXPECT_EQ(log.entries.size(), 3u);
  EXPECT_EQ(log.seenPairs,
            (std::set<std::string>{"aaaa/Postgres:5432", "aaaa/Redis:6379", "aaaa/Main DB:5432"}));
}

TEST(AccessLogRecord, KeepsTheNewestTwoHundredVisits) {
  AccessLog log;
  for (int i = 0; i < 200; ++i)
    // Appended rather than "s" + …: GCC 12 misreads that insert as overlapping at -O3.
    log.record("aaaa", "Desk", std::string("s").append(std::to_string(i)), 1000 + i, t0);
  ASSERT_EQ(log.entries.size(), 200u);
  log.record("aaaa", "Desk", "s150", 1150, t0 + 1); // extends: nothing dropped
  EXPECT_EQ(log.entries.size(), 200u);
  EXPECT_EQ(log.entries.back().serviceName, "s0");
  log.record("aaaa", "Desk", "new", 2000, t0 + 2);
  ASSERT_EQ(log.entries.size(), 200u);
  EXPECT_EQ(log.entries.front().serviceName, "new");
  EXPECT_EQ(log.entries.back().serviceName, "s1");
  EXPECT_EQ(log.seenPairs.size(), 201u);

  // A stored log longer than that (written by hand or by another build) is read as its newest.
  Json document = parseJson(*log.encode()).value();
  for (int i = 0; i < 50; ++i)
    document["entries"].push_back(document["entries"][0]);
  const auto reading = AccessLog::read(bytesOf(dumpJson(document)));
  EXPECT_EQ(reading.log.entries.size(), 200u);
  EXPECT_TRUE(reading.log.entries == log.entries);
  EXPECT_TRUE(reading.problems.empty());
}

TEST(AccessLogForget, RemovesOnlyThatMac) {
  AccessLog log;
  log.record("ab", "One", "Web", 80, t0);
  log.record("abc", "Two", "Web", 80, t0);
  log.record("ab", "One", "Api", 81, t0);
  log.forget("ab");
  ASSERT_EQ(log.entries.size(), 1u);
  EXPECT_EQ(log.entries[0].peerID, "abc");
  EXPECT_EQ(log.seenPairs, (std::set<std::string>{"abc/Web:80"}));
}

TEST(AccessLogClear, KeepsSeenPairs) {
  AccessLog log;
  log.record("aaaa", "Desk", "Web", 80, t0);
  log.clear();
  EXPECT_TRUE(log.entries.empty());
  EXPECT_FALSE(log.record("aaaa", "Desk", "Web", 80, t0 + 1));
  EXPECT_EQ(log.entries.size(), 1u);
}

TEST(AccessLogCoding, RoundTripsAndFallsBackToEmpty) {
  AccessLog log;
  log.record("aaaa", "Desk", "Web", 80, t0 + 0.5);
  log.record("bbbb", "Laptop", "Api", 81, t0 + 1.25);
  const auto bytes = log.encode();
  ASSERT_TRUE(bytes);
  EXPECT_EQ(AccessLog::decode(bytes), log);

  EXPECT_EQ(AccessLog::decode(std::nullopt), AccessLog{});
  EXPECT_EQ(AccessLog::decode(bytesOf("not json")), AccessLog{});
  EXPECT_EQ(AccessLog::decode(bytesOf(R"({"entries":[]})")), AccessLog{});
  // An entry that does not decode costs only itself.
  Json document = parseJson(*bytes).value();
  document["entries"][0]["connections"] = "2";
  document["seenPairs"].push_back(7);
  const auto reading = AccessLog::read(bytesOf(dumpJson(document)));
  EXPECT_EQ(reading.log, (AccessLog{{log.entries[1]}, log.seenPairs}));
  EXPECT_EQ(reading.problems,
            (DecodeProblems{R"(entries[0]: "connections" holds "2", not a whole number)",
                            "seenPairs[2]: holds 7, not a text"}));

  // A date that JSON cannot hold makes the encoding fail instead of storing null.
  AccessLog broken = log;
  broken.entries[0].last = std::numeric_limits<double>::infinity();
  EXPECT_EQ(broken.encode(), std::nullopt);
}

TEST(AccessLogSave, StoresUnderItsKeyAndKeepsOldDataOnFailure) {
  const auto defaults = UserDefaults::inMemory();
  EXPECT_EQ(AccessLog::load(*defaults), AccessLog{});
  AccessLog log;
  log.record("aaaa", "Desk", "Web", 80, t0);
  AccessLog::save(log, *defaults);
  EXPECT_EQ(AccessLog::load(*defaults), log);
  EXPECT_TRUE(defaults->data("corvane.accessLog"));

  AccessLog broken = log;
  broken.record("bbbb", "Other", "Web", 80, std::numeric_limits<double>::quiet_NaN());
  AccessLog::save(broken, *defaults);
  EXPECT_EQ(AccessLog::load(*defaults), log);

  defaults->setData("corvane.accessLog", bytesOf(R"({"entries":[]})"));
  EXPECT_EQ(AccessLog::load(*defaults), AccessLog{});
}

TEST(AccessLogSave, ALogThatDoesNotDecodeInFullIsKeptAsideAndTheRestLoaded) {
  AccessLog log;
  log.record("aaaa", "Desk", "Web", 80, t0);
  log.record("bbbb", "Laptop", "Api", 81, t0 + 1);
  Json document = parseJson(*log.encode()).value();
  document["entries"][1]["port"] = "80";
  const Bytes stored = bytesOf(dumpJson(document));
  const auto defaults = UserDefaults::inMemory();
  defaults->setData("corvane.accessLog", stored);

  ::testing::internal::CaptureStderr();
  const AccessLog loaded = AccessLog::load(*defaults);
  const std::string logged = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(loaded, (AccessLog{{log.entries[0]}, log.seenPairs}));
  EXPECT_NE(logged.find(R"(entries[1]: "port" holds "80")"), std::string::npos) << logged;
  AccessLog::save(loaded, *defaults);
  EXPECT_EQ(defaults->data("corvane.accessLog.damaged"), stored);

  // Where the copy cannot be made at start, the save that writes over the log makes it.
  const auto home =
      std::filesystem::temp_directory_path() / ("corvane-access-log-" + std::to_string(::getpid()));
  ::setenv("XDG_CONFIG_HOME", home.c_str(), 1);
  UserDefaults onDisk("standard");
  onDisk.setData("corvane.accessLog", stored);
  const auto lock = home / "corvane" / "standard.json.lock";
  std::filesystem::remove(lock);
  std::filesystem::create_directory(lock); // cannot be opened for writing
  ::testing::internal::CaptureStderr();
  const AccessLog fromDisk = AccessLog::load(onDisk);
  const std::string failed = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(failed.find("could not be kept aside yet"), std::string::npos) << failed;
  std::filesystem::remove(lock);
  AccessLog::save(fromDisk, onDisk);
  EXPECT_EQ(UserDefaults("standard").data("corvane.accessLog.damaged"), stored);
  ::unsetenv("XDG_CONFIG_HOME");
  std::filesystem::remove_all(home);
}

TEST(AccessLogSave, ChangesWithinTheDelayShareOneSave) {
  AccessLog::PendingSave pending;
  std::vector<double> saveTimes;
  double now = 0;
  const auto change = [&] {
    if (pending.noteChange())
      saveTimes.push_back(now + AccessLog::saveDelay);
  };
  change();
  now = 0.4;
  change();
  now = 0.9;
  change();
  EXPECT_EQ(saveTimes, std::vector<double>{2.0});
  pending.saved();
  now = 2.5;
  change();
  EXPECT_EQ(saveTimes, (std::vector<double>{2.0, 4.5}));
}

} // namespace
} // namespace corvane

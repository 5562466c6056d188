#include "brimvale/foundation/Preferences.h"
#include "brimvale/platform/UserDefaults.h"

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <tuple>
#include <unistd.h>

namespace corvane {
namespace {

using Category = ExposedService::ServiceCategory;

constexpr const char *minimalCurrent =
    R"({"version":2,"services":[],"localPorts":{},"disabledIncoming":[],"knownServices":{}})";

Preferences decoded(std::string_view text) {
  auto preferences = Preferences::decodePreferences(bytesOf(text));
  EXPECT_TRUE(preferences) << text;
  return preferences.value_or(Preferences{});
}

Preferences fullRecord() {
  Preferences preferences;
  ExposedService share;
  share.id = makeUUID();
  share.name = "Postgres";
  share.port = 5432;
  share.category = Category::database;
  share.allowed = std::set<std::string>{"0123456789abcdef"};
  share.hints = ShareHints{"app", "admin", std::nullopt};
  preferences.services.push_back(share);
  preferences.localPorts["0123456789abcdef/Redis"] = 16379;
  preferences.nicknames = std::map<std::string, std::string>{{"0123456789abcdef", "Desk"}};
  preferences.addresses =
      std::map<std::string, std::string>{{"0123456789abcdef", "10.0.0.2:46310"}};
  preferences.disabledIncoming = {"0123456789abcdef/Mongo"};
  SharedServiceInfo info;
  info.id = makeUUID();
  info.name = "Redis";
  info.port = 6379;
  info.running = true;
  info.category = "Database";
  info.version = "7.2";
  preferences.knownServices["0123456789abcdef"] = {info};
  preferences.hardware =
      std::map<std::string, std::vector<std::string>>{{"0123456789abcdef", {"aa:bb:cc:dd:ee:ff"}}};
  preferences.lastSeen = std::map<std::string, Date>{{"0123456789abcdef", 760000000.5}};
  preferences.notifyFirstUse = false;
  preferences.notifyServiceDown = true;
  preferences.notifyMacBack = false;
  preferences.sharingPaused = true;
  preferences.trustedNetworks = std::vector<std::string>{"Home", "Office"};
  preferences.environments = std::vector<ShareEnvironment>{{makeUUID(), "Stack", {share.id}}};
  preferences.keptServices = {{share.id, Json{{"id", makeUUID()},
                                              {"name", "Cache"},
                                              {"port", 6379},
                                              {"category", "Cache Server"},
                                              {"enabled", true}}}};
  return preferences;
}

TEST(PreferencesCoding, RoundTripsEveryField) {
  const Preferences preferences = fullRecord();
  const auto bytes = preferences.encode();
  ASSERT_TRUE(bytes);
  EXPECT_EQ(Preferences::decodePreferences(*bytes), preferences);
}

TEST(PreferencesCoding, AbsentOptionalsStayOut) {
  const Preferences minimal = decoded(minimalCurrent);
  EXPECT_EQ(minimal, Preferences::defaultPreferences());
  const Json encoded = parseJson(*minimal.encode()).value();
  EXPECT_EQ(encoded, parseJson(std::string_view(minimalCurrent)).value());

  // null reads as absent.
  Json withNulls = encoded;
  withNulls["nicknames"] = nullptr;
  withNulls["sharingPaused"] = nullptr;
  EXPECT_EQ(decoded(dumpJson(withNulls)), minimal);
  EXPECT_TRUE(minimal.firstUseNoticesOn());
  EXPECT_TRUE(minimal.serviceDownNoticesOn());

  Preferences paused = minimal;
  paused.sharingPaused = false;
  EXPECT_NE(paused, minimal);
  Preferences empty = minimal;
  empty.nicknames = std::map<std::string, std::string>{};
  EXPECT_NE(empty, minimal);
}

TEST(PreferencesCoding, BrokenDocumentsGiveNothing) {
  const Json base = parseJson(std::string_view(minimalCurrent)).value();
  Json noVersion = base;
  noVersion.erase("version");
  EXPECT_EQ(Preferences::decodePreferences(bytesOf(dumpJson(noVersion))), std::nullopt);
  // A broken part of a current record costs only itself, and says so.
  Json broken = base;
  broken["services"] =
      Json::parse(R"([{"id":"x","name":"a","port":1,"category":"API","enabled":true}])");
  broken["notifyFirstUse"] = "no";
  broken["knownServices"] = Json::parse(R"({"aaaa":[7]})");
  const auto reading = Preferences::readPreferences(bytesOf(dumpJson(broken)));
  Preferences rest; // everything else at its default
  rest.knownServices["aaaa"] = {};
  EXPECT_EQ(reading.preferences, rest);
  EXPECT_EQ(reading.problems,
            (DecodeProblems{R"(services[0]: "id" holds "x", not a UUID)",
                            R"(knownServices["aaaa"][0]: holds 7, not a well-formed record)",
                            "notifyFirstUse: holds \"no\", not true or false"}));
  EXPECT_EQ(Preferences::decodePreferences(bytesOf("\x00\x01garbage")), std::nullopt);
  EXPECT_EQ(Preferences::decodePreferences(Bytes{}), std::nullopt);

  // An older version with the current keys is not used, and without legacy keys it is nothing.
  Json older = base;
  older["version"] = 1;
  EXPECT_EQ(Preferences::decodePreferences(bytesOf(dumpJson(older))), std::nullopt);
  older["exposedServices"] = Json::parse(R"([{"name":"Web","port":8080}])");
  const auto migrated = Preferences::decodePreferences(bytesOf(dumpJson(older)));
  ASSERT_TRUE(migrated);
  ASSERT_EQ(migrated->services.size(), 1u);
  EXPECT_EQ(migrated->services[0].name, "Web");

  // A stored share that today's rules would refuse loads unchanged.
  Json invalidShare = base;
  invalidShare["services"] =
      Json::parse(R"([{"id":"6F9619FF-8B86-D011-B42D-00C04FC964FF","name":")" +
                  std::string(60, 'n') + R"(","port":70000,"category":"API","enabled":true}])");
  EXPECT_EQ(decoded(dumpJson(invalidShare)).services.at(0).port, 70000);

  Preferences infinite = fullRecord();
  infinite.lastSeen->begin()->second = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(infinite.encode(), std::nullopt);
}

TEST(PreferencesMigration, FromARealisticLegacyDocument) {
  const std::string legacy = R"({
    "exposedServices": [
      {"id": "6f9619ff-8b86-d011-b42d-00c04fc964ff", "name": "Postgres", "port": 5432,
       "category": "Database"},
      {"name": "Postgres copy", "port": 5432, "category": "Database"},
      {"name": "Too big", "port": 70000},
      {"name": "Way too big", "port": 99999999999},
      {"name": "Zero", "port": 0},
      {"name": "api", "port": 3000, "category": "database"},
      {"name": "Admin", "port": 8080, "category": "Web Service"},
      {"name": "Queue", "port": 5672}
    ],
    "servicePreferences": {"api": {"enabled": false}, "Admin": {}, "Queue": {"enabled": true}},
    "nicknames": {"0123456789abcdef": "ignored"},
    "launchAtLogin": true
  })";
  const Preferences preferences = decoded(legacy);
  ASSERT_EQ(preferences.services.size(), 4u);
  const auto &postgres = preferences.services[0];
  EXPECT_EQ(postgres.id, "6F9619FF-8B86-D011-B42D-00C04FC964FF");
  EXPECT_EQ(postgres.port, 5432);
  EXPECT_EQ(postgres.category, Category::database);
  EXPECT_TRUE(postgres.enabled);
  EXPECT_EQ(preferences.services[1].name, "api");
  EXPECT_EQ(preferences.services[1].category, Category::custom);
  EXPECT_FALSE(preferences.services[1].enabled);
  EXPECT_EQ(preferences.services[2].category, Category::web);
  EXPECT_TRUE(preferences.services[2].enabled);
  EXPECT_EQ(preferences.services[3].category, Category::custom);
  EXPECT_TRUE(parseUUID(preferences.services[3].id));
  EXPECT_FALSE(preferences.services[3].allowed || preferences.services[3].expires ||
               preferences.services[3].hints);

  // Nothing else is carried over.
  Preferences rest = preferences;
  rest.services.clear();
  EXPECT_EQ(rest, Preferences::defaultPreferences());

  // Shares without an id get a fresh one each time.
  EXPECT_NE(decoded(legacy).services[3].id, preferences.services[3].id);

  const auto unnamed = Preferences::readPreferences(bytesOf(R"({"exposedServices":[{"port":1}]})"));
  EXPECT_EQ(unnamed.preferences, Preferences::defaultPreferences());
  EXPECT_EQ(unnamed.problems, DecodeProblems{R"(exposedServices[0]: "name" is missing)"});
}

TEST(PreferencesLoad, FallsBackFromCurrentToLegacyToDefault) {
  std::map<std::string, Bytes> defaults;
  int writes = 0;
  const DefaultsRead read = [&](std::string_view key) -> std::optional<Bytes> {
    const auto found = defaults.find(std::string(key));
    return found == defaults.end() ? std::nullopt : std::optional(found->second);
  };
  const DefaultsWrite write = [&](std::string_view key, const Bytes &data) {
    ++writes;
    defaults[std::string(key)] = data;
  };
  const DefaultsKeepAside keepAside = [&](std::string_view key) {
    defaults[std::string(key) + ".damaged"] = defaults.at(std::string(key));
    return KeptAside();
  };
  const auto loadPreferences = [&] { return corvane::loadPreferences(read, write, keepAside); };

  EXPECT_EQ(loadPreferences(), Preferences::defaultPreferences());
  EXPECT_EQ(writes, 0);

  const Bytes legacy = bytesOf(R"({"exposedServices":[{"name":"Web","port":8080}]})");
  defaults[Preferences::legacyDefaultsKey] = legacy;
  defaults[Preferences::defaultsKey] = bytesOf("corrupt");
  const Preferences migrated = loadPreferences();
  ASSERT_EQ(migrated.services.size(), 1u);
  EXPECT_EQ(writes, 1);
  EXPECT_EQ(defaults[Preferences::legacyDefaultsKey], legacy);
  EXPECT_EQ(defaults["corvane.preferences.v2.damaged"], bytesOf("corrupt"));
  // The next start reads the migrated record, with the same id, from the current key.
  EXPECT_EQ(loadPreferences(), migrated);
  EXPECT_EQ(writes, 1);

  savePreferences(fullRecord(), write);
  EXPECT_EQ(writes, 2);
  Preferences broken = fullRecord();
  broken.services[0].expires = std::numeric_limits<double>::infinity();
  const Bytes before = defaults[Preferences::defaultsKey];
  savePreferences(broken, write);
  EXPECT_EQ(writes, 2);
  EXPECT_EQ(defaults[Preferences::defaultsKey], before);

  // A copy that could not be made is not logged as made.
  Json damaged = fullRecord().toJson();
  damaged["notifyMacBack"] = "yes";
  defaults[Preferences::defaultsKey] = bytesOf(dumpJson(damaged));
  ::testing::internal::CaptureStderr();
  corvane::loadPreferences(
      read, write, [](std::string_view) { return KeptAside(std::unexpected("disk full")); });
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(log.find("is kept as"), std::string::npos) << log;
  EXPECT_NE(log.find("could not be kept aside yet (disk full)"), std::string::npos) << log;
}

TEST(PreferencesLoad, MigratesThroughUserDefaults) {
  const auto defaults = UserDefaults::inMemory();
  defaults->setData("pinewhorl.preferences",
                    bytesOf(R"({"exposedServices":[{"name":"Web","port":8080}]})"));
  const Preferences migrated = loadPreferences(*defaults);
  ASSERT_EQ(migrated.services.size(), 1u);
  EXPECT_EQ(Preferences::decodePreferences(defaults->data("corvane.preferences.v2").value()),
            migrated);
  EXPECT_EQ(loadPreferences(*defaults), migrated);
}

// Four shares, two nicknames and a typed address, as a user has them.
Preferences userRecord() {
  Preferences preferences;
  const std::tuple<const char *, int, Category> shares[] = {{"Postgres", 5432, Category::database},
                                                            {"Admin", 8080, Category::web},
                                                            {"Queue", 5672, Category::messaging},
                                                            {"Cache", 6379, Category::database}};
  for (const auto &[name, port, category] : shares) {
    ExposedService share;
    share.id = makeUUID();
    share.name = name;
    share.port = port;
    share.category = category;
    preferences.services.push_back(share);
  }
  preferences.nicknames = std::map<std::string, std::string>{{"aaaa000000000001", "Desk"},
                                                             {"aaaa000000000002", "Laptop"}};
  preferences.addresses =
      std::map<std::string, std::string>{{"aaaa000000000001", "10.0.0.2:46310"}};
  preferences.notifyMacBack = false;
  return preferences;
}

TEST(PreferencesLoad, AFieldThatDoesNotDecodeCostsOnlyItselfAndTheStoredRecordIsKept) {
  const Preferences user = userRecord();
  struct Case {
    const char *what;
    std::function<void(Json &)> damage;
    const char *logged;
    std::optional<std::size_t> lostShare; // every share is lost when the record is unusable
    bool usable = true;
  };
  const Case cases[] = {
      {"port as text", [](Json &d) { d["services"][1]["port"] = "5432"; },
       R"(services[1]: "port" holds "5432")", 1},
      {"switch as text", [](Json &d) { d["notifyMacBack"] = "yes"; },
       R"(notifyMacBack: holds "yes")", std::nullopt},
      {"no version", [](Json &d) { d.erase("version"); }, R"("version" is missing)", std::nullopt,
       false},
  };
  for (const auto &c : cases) {
    const auto defaults = UserDefaults::inMemory();
    Json document = user.toJson();
    c.damage(document);
    const Bytes stored = bytesOf(dumpJson(document));
    defaults->setData(Preferences::defaultsKey, stored);

    ::testing::internal::CaptureStderr();
    Preferences loaded = loadPreferences(*defaults);
    const std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find(c.logged), std::string::npos) << c.what << ": " << log;
    loaded.sharingPaused = true; // any change saves the whole record
    savePreferences(loaded, *defaults);

    const Preferences saved = loadPreferences(*defaults);
    std::vector<ExposedService> expected = c.usable ? user.services : std::vector<ExposedService>{};
    if (c.lostShare)
      expected.erase(expected.begin() + static_cast<std::ptrdiff_t>(*c.lostShare));
    EXPECT_EQ(saved.services, expected) << c.what;
    EXPECT_EQ(saved.nicknames, c.usable ? user.nicknames : std::nullopt) << c.what;
    EXPECT_EQ(saved.addresses, c.usable ? user.addresses : std::nullopt) << c.what;
    EXPECT_EQ(saved.notifyMacBack, c.usable && c.lostShare ? user.notifyMacBack : std::nullopt);
    EXPECT_EQ(defaults->data("corvane.preferences.v2.damaged"), stored) << c.what;
  }

  // Where the copy cannot be made at start, the save that writes over the record makes it.
  std::string home = (std::filesystem::temp_directory_path() / "corvane-prefs-XXXXXX").string();
  ASSERT_NE(::mkdtemp(home.data()), nullptr);
  ::setenv("XDG_CONFIG_HOME", home.c_str(), 1);
  UserDefaults onDisk(UserDefaults::standardDomain);
  Json document = user.toJson();
  document["notifyMacBack"] = "yes";
  const Bytes stored = bytesOf(dumpJson(document));
  onDisk.setData(Preferences::defaultsKey, stored);
  const auto lock = std::filesystem::path(home) / "corvane" / "standard.json.lock";
  std::filesystem::remove(lock);
  std::filesystem::create_directory(lock); // cannot be opened for writing
  ::testing::internal::CaptureStderr();
  Preferences loaded = loadPreferences(onDisk);
  std::filesystem::remove(lock);
  loaded.sharingPaused = true;
  savePreferences(loaded, onDisk);
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(UserDefaults(UserDefaults::standardDomain).data("corvane.preferences.v2.damaged"),
            stored);
  ::unsetenv("XDG_CONFIG_HOME");
  std::filesystem::remove_all(home);
}

TEST(PreferencesLoad, TwoDamagesInARowKeepBothDamagedRecords) {
  const auto defaults = UserDefaults::inMemory();
  Json document = userRecord().toJson();
  document["notifyMacBack"] = "yes";
  const Bytes first = bytesOf(dumpJson(document));
  document["notifyMacBack"] = false;
  document["services"][0]["port"] = "5432";
  const Bytes second = bytesOf(dumpJson(document));

  ::testing::internal::CaptureStderr();
  defaults->setData(Preferences::defaultsKey, first);
  loadPreferences(*defaults);
  defaults->setData(Preferences::defaultsKey, second);
  loadPreferences(*defaults);
  loadPreferences(*defaults); // the same damage again is not kept twice
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(defaults->data("corvane.preferences.v2.damaged"), second);
  EXPECT_EQ(defaults->data("corvane.preferences.v2.damaged.1"), first);
  EXPECT_FALSE(defaults->contains("corvane.preferences.v2.damaged.2"));
  EXPECT_NE(log.find("corvane.preferences.v2.damaged.1"), std::string::npos) << log;
}

TEST(PreferencesLoad, WhatThisVersionCannotReadStaysInTheRecord) {
  const Preferences user = userRecord();
  const auto load = [](UserDefaults &defaults, const Json &document, std::string &log) {
    defaults.setData(Preferences::defaultsKey, bytesOf(dumpJson(document)));
    ::testing::internal::CaptureStderr();
    Preferences loaded = loadPreferences(defaults);
    log = ::testing::internal::GetCapturedStderr();
    return loaded;
  };
  std::string log;

  // A share of a category from a later version: not offered here, written back as it stands.
  const auto defaults = UserDefaults::inMemory();
  Json document = user.toJson();
  document["services"][2]["category"] = "Cache Server";
  const Json later = document["services"][2];
  Preferences loaded = load(*defaults, document, log);
  EXPECT_NE(log.find(R"(services[2]: "category" holds "Cache Server")"), std::string::npos) << log;
  std::vector<ExposedService> known = user.services;
  known.erase(known.begin() + 2);
  EXPECT_EQ(loaded.services, known);
  loaded.services.erase(loaded.services.begin()); // the user removes one and adds one
  loaded.services.push_back(user.services[0]);
  savePreferences(loaded, *defaults);
  const Json saved = parseJson(*defaults->data(Preferences::defaultsKey)).value();
  ASSERT_EQ(saved["services"].size(), 4u) << saved;
  EXPECT_EQ(saved["services"][1], later);
  EXPECT_EQ(saved["services"][3]["name"], "Postgres");
  EXPECT_EQ(loadPreferences(*defaults), loaded);
  EXPECT_FALSE(defaults->contains("corvane.preferences.v2.damaged")) << "it is not damage";

  // A required part that is missing or null reads as empty; the rest is kept.
  for (const char *key : {"knownServices", "localPorts", "disabledIncoming", "services"})
    for (const bool null : {true, false}) {
      Json without = user.toJson();
      if (null)
        without[key] = nullptr;
      else
        without.erase(key);
      const auto kept = UserDefaults::inMemory();
      loaded = load(*kept, without, log);
      EXPECT_NE(log.find(std::string(key) + ": is missing"), std::string::npos) << log;
      EXPECT_EQ(loaded.services,
                key == std::string("services") ? std::vector<ExposedService>{} : user.services)
          << key;
      EXPECT_EQ(loaded.nicknames, user.nicknames) << key;
      EXPECT_EQ(loaded.notifyMacBack, user.notifyMacBack) << key;
      EXPECT_EQ(kept->data("corvane.preferences.v2.damaged"), bytesOf(dumpJson(without)));
    }
}

TEST(PreferencesMigration, ALegacyShareThatDoesNotDecodeCostsOnlyItself) {
  const auto defaults = UserDefaults::inMemory();
  const Bytes legacy = bytesOf(R"({"exposedServices":[{"name":"Web","port":8080},)"
                               R"({"name":"Bad","port":"80"},{"name":"Mail","port":25}],)"
                               R"("servicePreferences":{"Web":{"enabled":false},)"
                               R"("Mail":{"enabled":"no"}}})");
  defaults->setData(Preferences::legacyDefaultsKey, legacy);
  ::testing::internal::CaptureStderr();
  const Preferences migrated = loadPreferences(*defaults);
  const std::string log = ::testing::internal::GetCapturedStderr();
  ASSERT_EQ(migrated.services.size(), 2u);
  EXPECT_EQ(migrated.services[0].name, "Web");
  EXPECT_FALSE(migrated.services[0].enabled);
  EXPECT_EQ(migrated.services[1].name, "Mail");
  EXPECT_TRUE(migrated.services[1].enabled);
  EXPECT_NE(log.find(R"(exposedServices[1]: "port" holds "80")"), std::string::npos) << log;
  EXPECT_NE(log.find(R"(servicePreferences["Mail"])"), std::string::npos) << log;
  EXPECT_EQ(defaults->data("pinewhorl.preferences.damaged"), legacy);
  EXPECT_EQ(defaults->data(Preferences::legacyDefaultsKey), legacy);
  EXPECT_EQ(loadPreferences(*defaults), migrated);
}

} // namespace
} // namespace corvane

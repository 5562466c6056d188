#include "brimvale/foundation/ShareModel.h"

#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>

namespace corvane {
namespace {

using Error = ExposedService::ValidationError;
using Category = ExposedService::ServiceCategory;

ExposedService share(std::string name, int port) {
  ExposedService service;
  service.id = makeUUID();
  service.name = std::move(name);
  service.port = port;
  service.category = Category::database;
  return service;
}

std::string repeated(std::string_view unit, int count) {
  std::string text;
  for (int i = 0; i < count; ++i)
    text += unit;
  return text;
}

TEST(ShareValidation, RefusesInOrderOfTheChecks) {
  const std::vector<ExposedService> existing = {share("Postgres", 5432)};
  const auto check = [&](std::string name, int port, std::set<int> proxied = {}) {
    return validateShare({std::move(name), port, Category::web}, existing, proxied);
  };
  EXPECT_EQ(check("", 0, {0}).error(), Error::proxiedPort);
  EXPECT_EQ(check(" \t\n\u200B ", 8080).error(), Error::emptyName);
  EXPECT_EQ(check(repeated("a", 41), 8080).error(), Error::nameTooLong);
  EXPECT_EQ(check("Web", 0).error(), Error::badPort);
  EXPECT_EQ(check("Web", 65536).error(), Error::badPort);
  EXPECT_EQ(check("Web", 70000).error(), Error::badPort);
  EXPECT_EQ(check("Web", -1).error(), Error::badPort);
  EXPECT_EQ(check("  POSTGRES ", 8080).error(), Error::duplicateName);
  EXPECT_EQ(check("Other", 5432).error(), Error::duplicatePort);
  EXPECT_EQ(check("Web", 5432, {8080}).error(), Error::duplicatePort);
}

TEST(ShareValidation, CleansTheNameAndCountsCharacters) {
  // 40 user-perceived characters, each several scalars: accepted.
  const std::string forty = repeated("e\u0301", 38) + "\U0001F44D\U0001F3FD" + "\u00E9";
  auto accepted = validateShare({"\t" + forty + "\x07 \n", 65535, Category::api}, {}, {});
  ASSERT_TRUE(accepted) << static_cast<int>(accepted.error());
  EXPECT_EQ(accepted->name, forty);
  EXPECT_EQ(accepted->port, 65535);
  EXPECT_EQ(accepted->category, Category::api);
  EXPECT_TRUE(accepted->enabled);
  EXPECT_FALSE(accepted->allowed || accepted->expires || accepted->hints);
  EXPECT_TRUE(parseUUID(accepted->id));

  EXPECT_EQ(validateShare({forty + "x", 1, Category::api}, {}, {}).error(), Error::nameTooLong);
  // Control characters in the middle go; the name joins.
  EXPECT_EQ(validateShare({"Re\x01\u200Bdis", 6379, Category::database}, {}, {})->name, "Redis");
  // Case folding beyond ASCII.
  EXPECT_EQ(validateShare({"STRASSE", 1, Category::tool}, {share("straße", 2)}, {}).error(),
            Error::duplicateName);
}

TEST(ShareValidation, BatchComparesAgainstSharesAddedEarlier) {
  std::vector<ExposedService> services = {share("Existing", 3000)};
  const auto result = addShares(services,
                                {{"Web", 8080, Category::web},
                                 {"  ", 8081, Category::web},
                                 {"web", 8082, Category::web},
                                 {"Api", 8080, Category::api},
                                 {"Mail", 70000, Category::messaging},
                                 {"Queue", 5672, Category::messaging}},
                                {});
  ASSERT_EQ(result.added.size(), 2u);
  EXPECT_EQ(result.added[0].name, "Web");
  EXPECT_EQ(result.added[1].name, "Queue");
  ASSERT_EQ(services.size(), 3u);
  EXPECT_EQ(services[1], result.added[0]);
  EXPECT_NE(result.added[0].id, result.added[1].id);
  ASSERT_EQ(result.failed.size(), 4u);
  EXPECT_EQ(result.failed[0].error, Error::emptyName);
  EXPECT_EQ(result.failed[1].error, Error::duplicateName);
  EXPECT_EQ(result.failed[2].error, Error::duplicatePort);
  EXPECT_EQ(result.failed[3].error, Error::badPort);
  EXPECT_EQ(result.failed[3].candidate.port, 70000); // reported as given, not clamped

  ShareBatchResult one;
  one.failed.push_back({{"Mail", 70000, Category::messaging}, Error::badPort});
  EXPECT_EQ(one.summary(), "Couldn't share Mail (70000): Enter a port between 1 and 65535.");
  one.failed.push_back({{"Web", 80, Category::web}, Error::duplicatePort});
  EXPECT_EQ(one.summary(), "Couldn't share Mail (70000): Enter a port between 1 and 65535. "
                           "Couldn't share Web (80): You already share that port.");
  EXPECT_EQ(ShareBatchResult{}.summary(), std::nullopt);
}

TEST(EnvironmentName, CleansAndRefuses) {
  const std::vector<ShareEnvironment> environments = {{makeUUID(), "Staging", {}},
                                                      {makeUUID(), "Dev", {}}};
  EXPECT_EQ(validateEnvironmentName(" Prod\u2028uction ", environments, std::nullopt),
            "Production");
  EXPECT_EQ(validateEnvironmentName(repeated("x", 40), environments, std::nullopt),
            repeated("x", 40));
  EXPECT_EQ(validateEnvironmentName(repeated("x", 41), environments, std::nullopt).error(),
            Error::nameTooLong);
  EXPECT_EQ(validateEnvironmentName("\u200B\t", environments, std::nullopt).error(),
            Error::emptyName);
  EXPECT_EQ(validateEnvironmentName("staging", environments, std::nullopt).error(),
            Error::duplicateName);
  // Renaming an environment to its own name in another case is no clash.
  EXPECT_EQ(validateEnvironmentName("STAGING", environments, environments[0].id), "STAGING");
  EXPECT_EQ(validateEnvironmentName("dev", environments, environments[0].id).error(),
            Error::duplicateName);

  EXPECT_EQ(environmentDescription(Error::emptyName), "Give the environment a name.");
  EXPECT_EQ(environmentDescription(Error::badPort), description(Error::badPort));
}

TEST(ShareCategory, RawValuesAreExact) {
  EXPECT_EQ(serviceCategoryFromRaw("Web Service"), Category::web);
  EXPECT_EQ(serviceCategoryFromRaw("database"), std::nullopt);
  EXPECT_EQ(serviceCategoryFromRaw("web"), std::nullopt);
  for (Category category : allServiceCategories())
    EXPECT_EQ(serviceCategoryFromRaw(rawValue(category)), category);
  EXPECT_EQ(allServiceCategories().front(), Category::database);
  EXPECT_EQ(allServiceCategories().back(), Category::custom);
}

TEST(ShareHintsCleaning, DropsEmptyFieldsAndCutsLongOnes) {
  EXPECT_EQ(ShareHints::cleaned(std::nullopt), std::nullopt);
  EXPECT_EQ(ShareHints::cleaned(ShareHints{"   ", std::nullopt, std::nullopt}), std::nullopt);
  EXPECT_EQ(ShareHints::cleaned(ShareHints{"", "", "\n"}), std::nullopt);
  const auto cleaned = ShareHints::cleaned(ShareHints{" app ", std::nullopt, repeated("n", 200)});
  ASSERT_TRUE(cleaned);
  EXPECT_EQ(cleaned->database, "app");
  EXPECT_EQ(cleaned->user, std::nullopt);
  EXPECT_EQ(cleaned->note, repeated("n", 140));
  EXPECT_EQ(
      ShareHints::cleaned(ShareHints{repeated("d", 70), std::nullopt, std::nullopt})->database,
      repeated("d", 64));
}

TEST(ShareJson, RoundTripsAndLeavesAbsentKeysOut) {
  ExposedService bare = share("Postgres", 5432);
  const Json encoded = encodeExposedService(bare);
  EXPECT_FALSE(encoded.contains("allowed") || encoded.contains("expires") ||
               encoded.contains("hints"));
  EXPECT_EQ(encoded["category"], "Database");
  EXPECT_EQ(decodeExposedService(encoded), bare);

  ExposedService full = bare;
  full.allowed = std::set<std::string>{"0123456789abcdef", "fedcba9876543210"};
  full.expires = 765432100.25;
  full.hints = ShareHints{"app", std::nullopt, std::nullopt};
  const Json fullJson = encodeExposedService(full);
  EXPECT_EQ(fullJson["hints"], Json::parse(R"({"database":"app"})"));
  EXPECT_EQ(decodeExposedService(parseJson(dumpJson(fullJson)).value()), full);
  EXPECT_NE(full, bare);
}

TEST(ShareJson, DecodingIsStrict) {
  const std::string id = "6F9619FF-8B86-D011-B42D-00C04FC964FF";
  const auto decode = [](const std::string &text) {
    return decodeExposedService(Json::parse(text));
  };
  const std::string base = R"("id":")" + id + R"(","name":"Web","enabled":true)";

  const auto ok =
      decode("{" + base +
             R"(,"port":80,"category":"Web Service","allowed":null,"expires":null,"hints":{}})");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->allowed, std::nullopt); // null reads as absent
  EXPECT_EQ(ok->hints, ShareHints{});   // {} is hints with nothing set
  // Lower-case UUIDs are accepted and stored upper-case.
  std::string lower = id;
  for (char &c : lower)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(
      decode(R"({"id":")" + lower + R"(","name":"W","enabled":true,"port":1,"category":"API"})")
          ->id,
      id);
  // A stored port out of range loads unchanged, never clamped.
  EXPECT_EQ(decode("{" + base + R"(,"port":70000,"category":"API"})")->port, 70000);

  EXPECT_FALSE(decode("{" + base + R"(,"port":80,"category":"web"})"));
  EXPECT_FALSE(decode("{" + base + R"(,"category":"API"})"));
  EXPECT_FALSE(decode("{" + base + R"(,"port":"80","category":"API"})"));
  EXPECT_FALSE(decode("{" + base + R"(,"port":80.5,"category":"API"})"));
  EXPECT_FALSE(decode("{" + base + R"(,"port":4294967376,"category":"API"})"));
  EXPECT_FALSE(decode("{" + base + R"(,"port":null,"category":"API"})"));
  EXPECT_FALSE(decode("{" + base + R"(,"port":80,"category":"API","expires":"soon"})"));
  EXPECT_FALSE(decode("{" + base + R"(,"port":80,"category":"API","allowed":[1]})"));
  EXPECT_FALSE(decode("{" + base + R"(,"port":80,"category":"API","hints":{"user":5}})"));
  EXPECT_FALSE(
      decode(R"({"id":"not-a-uuid","name":"W","enabled":true,"port":1,"category":"API"})"));
  EXPECT_FALSE(decode("[]"));
}

TEST(EnvironmentJson, RoundTripsAndRequiresEveryKey) {
  const ShareEnvironment environment{makeUUID(), "Stack", {makeUUID(), makeUUID()}};
  EXPECT_EQ(decodeShareEnvironment(encodeShareEnvironment(environment)), environment);
  Json missing = encodeShareEnvironment(environment);
  missing.erase("serviceIDs");
  EXPECT_FALSE(decodeShareEnvironment(missing));
  Json badID = encodeShareEnvironment(environment);
  badID["serviceIDs"].push_back("nope");
  EXPECT_FALSE(decodeShareEnvironment(badID));
}

TEST(ShareRecords, HashFollowsEquality) {
  ExposedService a = share("A", 1);
  ExposedService b = a;
  EXPECT_EQ(std::hash<ExposedService>{}(a), std::hash<ExposedService>{}(b));
  b.expires = 1.0;
  EXPECT_NE(a, b);
  const ShareCandidate candidate{"x", 1, Category::tool};
  EXPECT_EQ(std::hash<ShareCandidate>{}(candidate), std::hash<ShareCandidate>{}(candidate));
}

class LocalTimeZone : public ::testing::Test {
protected:
  void SetUp() override {
    const char *old = std::getenv("TZ");
    saved = old ? std::optional<std::string>(old) : std::nullopt;
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
  }
  void TearDown() override {
    if (saved)
      setenv("TZ", saved->c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  std::optional<std::string> saved;
};

TEST_F(LocalTimeZone, DurationsChooseTheEndTime) {
  // 2024-03-10 23:59:00 in Berlin (UTC+1) is 22:59:00 UTC.
  const Date lateEvening = 1710111540.0 - referenceDateOffset;
  EXPECT_DOUBLE_EQ(*expiryDate(ShareDuration::endOfDay, lateEvening), lateEvening + 60.0);
  EXPECT_DOUBLE_EQ(*expiryDate(ShareDuration::hour, lateEvening), lateEvening + 3600.0);
  EXPECT_EQ(expiryDate(ShareDuration::always, lateEvening), std::nullopt);
  // Summer time starts on 2024-03-31: from 00:30 CET the day ends 22.5 hours later.
  const Date pastMidnight = 1711841400.0 - referenceDateOffset;
  EXPECT_DOUBLE_EQ(*expiryDate(ShareDuration::endOfDay, pastMidnight),
                   1711922400.0 - referenceDateOffset);
}

} // namespace
} // namespace corvane

// Adding shares, importing a compose file's ports as an environment, and editing shares and
// environments.
#include "brimvale/catalogue/ComposeImport.h"
#include "brimvale/catalogue/KnownServices.h"
#include "brimvale/platform/Json.h"
#include "tests/manager/ManagerFixture.h"

#include <limits>

namespace corvane::testing {
namespace {

using Error = ExposedService::ValidationError;

const std::string api = "0D000000-0000-4000-8000-000000000001";
const std::string pg = "0D000000-0000-4000-8000-000000000002";
const std::string web = "0D000000-0000-4000-8000-000000000003";
const std::string devID = "0E000000-0000-4000-8000-000000000001";
const std::string opsID = "0E000000-0000-4000-8000-000000000002";

ExposedService share(const std::string &id, const std::string &name, int port,
                     bool enabled = true) {
  ExposedService service;
  service.id = id;
  service.name = name;
  service.port = port;
  service.enabled = enabled;
  return service;
}

class EditingTest : public ManagerTest {
protected:
  void SetUp() override {
    Preferences p;
    p.services = {share(api, "API", 8080), share(pg, "Postgres", 5432, /*enabled=*/false),
                  share(web, "web", 3000)};
    p.environments = std::vector<ShareEnvironment>{{devID, "Dev", {api}}, {opsID, "Ops", {web}}};
    savePreferences(p, *defaults);
    make();
    queue->advance(11);
  }

  Preferences saved() const { return ServiceManager::loadPreferences(*defaults); }
  Json savedJson() const { return *parseJson(*defaults->data(Preferences::defaultsKey)); }

  const ExposedService *find(const std::string &id) const {
    for (const auto &service : manager->preferences->services)
      if (service.id == id)
        return &service;
    return nullptr;
  }
  const ExposedService *named(const std::string &name) const {
    for (const auto &service : manager->preferences->services)
      if (service.name == name)
        return &service;
    return nullptr;
  }
  std::vector<std::string> members(const std::string &environmentID) const {
    if (const auto &environments = manager->preferences->environments)
      for (const auto &environment : *environments)
        if (environment.id == environmentID)
          return environment.serviceIDs;
    return {};
  }

  static std::vector<ShareCandidate> candidatesOf(const std::string &yaml) {
    std::vector<ShareCandidate> list;
    for (const auto &found : ComposeImport::importCompose(yaml, "compose.yaml").found)
      list.push_back(ShareCandidate{found.name, found.port, found.category});
    return list;
  }
};

TEST_F(EditingTest, ABatchReportsEveryFailureInOrderAndAddsTheRest) {
  // A paired Mac's Redis is offered here on 6390, so that port is taken.
  const auto mac = pair("Studio");
  manager->relayDiscoveryChange({nearbyDevice(mac)});
  manager->handleLinkEvent({offered("R", "Redis", 6390)}, {}, std::nullopt, mac.deviceID);
  ASSERT_EQ(row(mac.deviceID, "R")->localPort, std::optional(6390));

  const std::string longName(41, 'x');
  const std::vector<ShareCandidate> batch = {
      {"", 6390, ServiceCategory::database},          // proxied, before the empty name
      {"\x01 \t\x7f", 9000, ServiceCategory::custom}, // only controls and spaces
      {longName, 9001, ServiceCategory::custom},      // not cut
      {"Zero", 0, ServiceCategory::custom},           //
      {"Big", 65536, ServiceCategory::custom},        //
      {"  Redis\n", 6379, ServiceCategory::database}, // added, trimmed
      {"redis", 6381, ServiceCategory::database},     // same name as the one just added
      {"Cache", 6379, ServiceCategory::database},     // same port as the one just added
      {"api", 9002, ServiceCategory::api},            // an existing share's name
      {"Lowest", 1, ServiceCategory::custom},         //
      {"Highest", 65535, ServiceCategory::custom},    //
      {"Mongo", 27017, ServiceCategory::database},    // has advice
  };
  const auto writesBefore = recorder.gateway.size();
  const auto result = manager->addShares(batch);

  ASSERT_EQ(result.failed.size(), 8u);
  const std::vector<Error> errors = {
      Error::proxiedPort, Error::emptyName,     Error::nameTooLong,   Error::badPort,
      Error::badPort,     Error::duplicateName, Error::duplicatePort, Error::duplicateName};
  for (std::size_t i = 0; i < errors.size(); ++i)
    EXPECT_EQ(result.failed[i].error, errors[i]) << i;
  EXPECT_EQ(result.failed[2].candidate, batch[2]) << "the candidate comes back as given";
  ASSERT_EQ(result.added.size(), 4u);
  EXPECT_EQ(result.added[0].name, "Redis");
  EXPECT_TRUE(result.added[0].enabled);
  EXPECT_FALSE(result.added[0].allowed.has_value());
  EXPECT_EQ(result.added[3].port, 27017);
  EXPECT_EQ(manager->preferences->services.size(), 7u);
  EXPECT_EQ(manager->preferences->services.back().id, result.added.back().id);
  EXPECT_EQ(saved().services, manager->preferences->services);
  EXPECT_EQ(manager->sharingTip.get(), KnownService::lookup("Mongo", 27017)->caveat);
  EXPECT_TRUE(result.summary()->starts_with("Couldn't share  (6390): ")) << *result.summary();

  // The new shares reach the gateway through the probe pass that follows.
  EXPECT_EQ(recorder.gateway.size(), writesBefore);
  queue->runUntilIdle();
  EXPECT_GT(recorder.gateway.size(), writesBefore);
  EXPECT_EQ(recorder.gateway.back().services.size(), 6u) << "the paused Postgres stays out";

  // A batch that adds nothing leaves the tip and the stored settings alone.
  const auto stored = defaults->data(Preferences::defaultsKey);
  EXPECT_EQ(manager->addShare("redis", 7000, ServiceCategory::database), Error::duplicateName);
  EXPECT_EQ(manager->sharingTip.get(), KnownService::lookup("Mongo", 27017)->caveat);
  EXPECT_EQ(defaults->data(Preferences::defaultsKey), stored);
  EXPECT_EQ(manager->addShare("Notes", 7001, ServiceCategory::web), std::nullopt);
  EXPECT_EQ(manager->sharingTip.get(), std::nullopt) << "a batch without advice clears the tip";
}

TEST_F(EditingTest, AnImportBecomesANewEnvironmentReusingAndRenamingShares) {
  const auto candidates = candidatesOf(R"(services:
  cache:
    image: redis
    ports: ["6379:6379"]
  db:
    image: postgres
    ports: ["5432:5432"]
  web:
    ports: ["9090:80"]
  gateway:
    ports: ["8080:8080"]
)");
  ASSERT_EQ(candidates.size(), 4u);
  // Ticked in this order: Postgres first, whatever order the shares have.
  std::vector<ShareCandidate> ticked = {candidates[1], candidates[0], candidates[3], candidates[2]};
  // A name from the file with an invisible direction override is stored without it.
  ticked.push_back(ShareCandidate{"\u202E\u200Bgadget", 7001, ServiceCategory::custom});

  EXPECT_EQ(manager->checkEnvironmentName("Shop"), std::nullopt);
  const auto result = manager->shareAsEnvironment("Shop", ticked);
  ASSERT_TRUE(result.environmentID);
  EXPECT_TRUE(result.failed.empty());

  // 5432 is the paused Postgres: resumed and made a member, name untouched.
  EXPECT_TRUE(find(pg)->enabled);
  EXPECT_EQ(find(pg)->name, "Postgres");
  // 8080 is the share API already; the web on 9090 takes the name "web 9090", since "web" is
  // taken by the share on 3000.
  ASSERT_TRUE(named("web 9090"));
  ASSERT_TRUE(named("cache"));
  ASSERT_TRUE(named("gadget"));
  EXPECT_EQ(members(*result.environmentID),
            (std::vector<std::string>{pg, named("cache")->id, api, named("web 9090")->id,
                                      named("gadget")->id}));
  EXPECT_TRUE(members(devID).empty()) << "API moved out of Dev, which is gone";
  EXPECT_EQ(manager->findEnvironment(api)->name, "Shop");
  EXPECT_EQ(saved().environments, manager->preferences->environments);
  EXPECT_TRUE(saved().services[1].enabled);
}

TEST_F(EditingTest, AnImportUnderAnExistingNameJoinsThatEnvironment) {
  // A taken name cut to fit keeps its whole suffix and at most 40 characters.
  const std::string longName(40, 'w');
  manager->preferences.modify([&](Preferences &p) { p.services[2].name = longName; });

  EXPECT_EQ(manager->checkEnvironmentName("oPS"), std::nullopt);
  const auto result =
      manager->shareAsEnvironment("oPS", {ShareCandidate{longName, 4000, ServiceCategory::web},
                                          ShareCandidate{"API", 8080, ServiceCategory::api}});
  EXPECT_EQ(result.environmentID, std::optional(opsID));
  const auto *renamed = named(std::string(35, 'w') + " 4000");
  ASSERT_TRUE(renamed);
  EXPECT_EQ(members(opsID), (std::vector<std::string>{web, renamed->id, api}));
  EXPECT_EQ(manager->preferences->environments->size(), 1u) << "no second Ops; Dev lost API";

  // A name of more than 40 characters whose first 40 match joins that environment too.
  EXPECT_EQ(manager->checkEnvironmentName("OPS"), std::nullopt);
  const std::string tooLong(41, 'q');
  EXPECT_EQ(manager->checkEnvironmentName(tooLong), Error::nameTooLong);
  const auto before = manager->preferences.get();
  EXPECT_EQ(manager->shareAsEnvironment(tooLong, {ShareCandidate{"Q", 4100}}),
            ServiceManager::EnvironmentImport{});
  EXPECT_EQ(manager->preferences.get(), before);

  // Candidates that all fail, and no share reused: no environment, the failures.
  const auto failed = manager->shareAsEnvironment("Empty", {ShareCandidate{"", 4200}});
  EXPECT_FALSE(failed.environmentID);
  ASSERT_EQ(failed.failed.size(), 1u);
  EXPECT_EQ(failed.failed[0].error, Error::emptyName);
  EXPECT_FALSE(manager->environmentNamed("Empty"));
}

TEST_F(EditingTest, HintsAccessAndEndTimes) {
  ShareHints hints;
  hints.database = "  app\u200B_db ";
  hints.note = std::string(200, 'n');
  manager->setHints(api, hints);
  ASSERT_TRUE(find(api)->hints);
  EXPECT_EQ(find(api)->hints->database, std::optional<std::string>("app_db"));
  EXPECT_EQ(find(api)->hints->note->size(), 140u);
  EXPECT_EQ(recorder.gateway.back().services.front().hints, find(api)->hints);
  manager->setHints(api, std::nullopt);
  EXPECT_FALSE(find(api)->hints);
  EXPECT_FALSE(saved().services[0].hints);

  const auto a = pair("A");
  const auto b = pair("B");
  manager->setPeerAllowed(api, a.deviceID, false);
  EXPECT_EQ(find(api)->allowed, std::optional(std::set<std::string>{b.deviceID}));
  EXPECT_EQ(recorder.gateway.back().access.at(api), std::set<std::string>{b.deviceID});
  manager->setPeerAllowed(api, a.deviceID, true);
  EXPECT_EQ(find(api)->allowed->size(), 2u);
  manager->setAllowedPeers(api, std::nullopt);
  EXPECT_FALSE(find(api)->allowed);
  EXPECT_FALSE(recorder.gateway.back().access.contains(api));

  // On a paused share an end time turns it on; on a running one it only moves the end.
  const Date later = 1000 + queue->now() + 3600;
  manager->setExpiry(pg, later);
  EXPECT_TRUE(find(pg)->enabled);
  EXPECT_EQ(find(pg)->expires, std::optional(later));
  manager->setExpiry(pg, std::nullopt);
  EXPECT_FALSE(find(pg)->expires);
  // An end time that is not a number could be neither compared nor saved.
  manager->setExpiry(api, std::numeric_limits<double>::quiet_NaN());
  manager->setExpiry(api, std::numeric_limits<double>::infinity());
  EXPECT_FALSE(find(api)->expires);
  EXPECT_TRUE(savedJson()["services"][0].is_object());

  // Unknown ids change nothing and announce nothing.
  const auto announcements = recorder.gateway.size();
  manager->setHints("nope", hints);
  manager->setExpiry("nope", later);
  manager->setPeerAllowed("nope", a.deviceID, true);
  manager->assignEnvironment("nope", devID);
  EXPECT_EQ(recorder.gateway.size(), announcements);
}

TEST_F(EditingTest, EnvironmentsAreCreatedRenamedRegroupedAndDropped) {
  EXPECT_EQ(manager->createEnvironment("  ", {pg}), Error::emptyName);
  EXPECT_EQ(manager->createEnvironment(std::string(41, 'e'), {pg}), Error::nameTooLong);
  EXPECT_EQ(manager->createEnvironment("dEV", {pg}), Error::duplicateName);
  EXPECT_EQ(manager->preferences->environments->size(), 2u);

  // Only unknown ids: nothing is created, but the record is still saved and announced.
  const auto announcements = recorder.gateway.size();
  EXPECT_EQ(manager->createEnvironment("Ghosts", {"nope"}), std::nullopt);
  EXPECT_EQ(recorder.gateway.size(), announcements + 1);
  EXPECT_FALSE(manager->environmentNamed("Ghosts"));

  // Creating takes the shares out of their environments; Ops loses its only member.
  EXPECT_EQ(manager->createEnvironment(" Stack ", {web, pg, web, "nope"}), std::nullopt);
  const auto stack = manager->environmentNamed("stack");
  ASSERT_TRUE(stack);
  EXPECT_EQ(stack->name, "Stack");
  EXPECT_EQ(stack->serviceIDs, (std::vector<std::string>{web, pg}));
  EXPECT_EQ(manager->preferences->environments->size(), 2u) << "Ops is gone";

  EXPECT_EQ(manager->renameEnvironment(devID, "stack"), Error::duplicateName);
  EXPECT_EQ(manager->renameEnvironment(devID, "dev"), std::nullopt) << "its own name, recased";
  EXPECT_EQ(manager->findEnvironment(api)->name, "dev");
  EXPECT_EQ(manager->renameEnvironment("nope", "x"), std::nullopt);

  // Moving the last member of dev into Stack deletes dev; members are appended.
  manager->assignEnvironment(api, stack->id);
  EXPECT_EQ(members(stack->id), (std::vector<std::string>{web, pg, api}));
  EXPECT_FALSE(manager->environmentNamed("dev"));
  manager->assignEnvironment(api, std::nullopt);
  EXPECT_EQ(manager->findEnvironment(api), std::nullopt);

  // Ungrouping keeps the shares; removing the last environment leaves none stored, not [].
  manager->ungroupEnvironment(stack->id);
  EXPECT_EQ(manager->preferences->services.size(), 3u);
  EXPECT_FALSE(manager->preferences->environments);
  EXPECT_FALSE(savedJson().contains("environments"));

  // Removing a share that was an environment's only member drops the environment too.
  ASSERT_EQ(manager->createEnvironment("Solo", {pg}), std::nullopt);
  manager->removeShare(pg);
  EXPECT_EQ(find(pg), nullptr);
  EXPECT_FALSE(manager->preferences->environments);
  EXPECT_FALSE(savedJson().contains("environments"));
  manager->assignEnvironment(api, devID);
  EXPECT_FALSE(manager->preferences->environments) << "assigning to nothing creates nothing";

  // Any removal also drops environments that were already empty.
  manager->preferences.modify([&](Preferences &p) {
    p.environments = std::vector<ShareEnvironment>{{opsID, "Hollow", {}}, {devID, "Dev", {api}}};
  });
  manager->removeShare("nope");
  ASSERT_TRUE(manager->preferences->environments);
  EXPECT_EQ(manager->preferences->environments->size(), 1u);
}

} // namespace
} // namespace corvane::testing

// The intents and the search providers over a private session bus, called by a client of the
// test as a script or a desktop shell would, against a manager whose incoming port is real: two
// managers paired and joined over loopback, one sharing an echo server.
#include "brimvale/integrations/IntentBus.h"
#include "tests/e2e/ManagersOnLoopback.h"
#include "tests/e2e/Sockets.h"
#include "tests/support/LoopbackPorts.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/StderrTap.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace corvane::e2e {
namespace {

using namespace std::chrono_literals;

const std::string echoID = "5E1D0C6A-0000-4000-8000-0000000000B2";
const std::string cacheID = "5E1D0C6A-0000-4000-8000-0000000000C3";
const std::string devID = "5E1D0C6A-0000-4000-8000-0000000000D4";

// A client connection to the private bus, used from the test's thread.
class BusClient {
public:
  explicit BusClient(const std::string &address) {
    if (sd_bus_new(&bus_) < 0 || sd_bus_set_address(bus_, address.c_str()) < 0 ||
        sd_bus_set_bus_client(bus_, 1) < 0 || sd_bus_start(bus_) < 0)
      bus_ = sd_bus_flush_close_unref(bus_);
    if (bus_)
      sd_bus_set_method_call_timeout(bus_, 30'000'000);
  }
  ~BusClient() { sd_bus_flush_close_unref(bus_); }
  bool ok() const { return bus_ != nullptr; }

  struct Answer {
    std::string error; // the error's name, empty on success
    std::string message;
    std::string value;
    std::string dialog;
  };

  // Calls an intent method with text arguments (and a Boolean for the connection string).
  Answer intent(const std::string &member, std::vector<std::string> texts,
                std::optional<bool> flag = std::nullopt) {
    sd_bus_message *call = nullptr;
    sd_bus_message_new_method_call(bus_, &call, IntentBus::busName, IntentBus::objectPath,
                                   IntentBus::intentsInterface, member.c_str());
    for (const auto &text : texts)
      sd_bus_message_append(call, "s", text.c_str());
    if (flag)
      sd_bus_message_append(call, "b", static_cast<int>(*flag));
    Answer answer;
    sd_bus_message *reply = send(call, answer);
    if (reply) {
      const char *value = nullptr, *dialog = nullptr;
      if (sd_bus_message_read(reply, "ss", &value, &dialog) > 0) {
        answer.value = value;
        answer.dialog = dialog;
      }
    }
    sd_bus_message_unref(reply);
    return answer;
  }

  std::vector<std::string> results(const std::string &member, std::vector<std::string> previous,
                                   std::vector<std::string> terms) {
    sd_bus_message *call =
        newCall(IntentBus::searchProviderPath, IntentBus::searchProviderInterface, member);
    if (member == "GetSubsearchResultSet")
      appendList(call, previous);
    appendList(call, terms);
    Answer answer;
    sd_bus_message *reply = send(call, answer);
    std::vector<std::string> ids = readList(reply);
    sd_bus_message_unref(reply);
    return ids;
  }

  // GetResultMetas: per result, its id, name and description.
  std::vector<std::array<std::string, 3>> metas(std::vector<std::string> ids) {
    sd_bus_message *call = newCall(IntentBus::searchProviderPath,
                                   IntentBus::searchProviderInterface, "GetResultMetas");
    appendList(call, ids);
    Answer answer;
    sd_bus_message *reply = send(call, answer);
    std::vector<std::array<std::string, 3>> found;
    if (reply && sd_bus_message_enter_container(reply, 'a', "a{sv}") > 0) {
      while (sd_bus_message_enter_container(reply, 'a', "{sv}") > 0) {
        std::array<std::string, 3> meta;
        while (sd_bus_message_enter_container(reply, 'e', "sv") > 0) {
          const char *key = nullptr, *value = nullptr;
          sd_bus_message_read(reply, "s", &key);
          sd_bus_message_read(reply, "v", "s", &value);
          const std::string k = key;
          if (k == "id")
            meta[0] = value;
          else if (k == "name")
            meta[1] = value;
          else if (k == "description")
            meta[2] = value;
          sd_bus_message_exit_container(reply);
        }
        sd_bus_message_exit_container(reply);
        found.push_back(meta);
      }
    }
    sd_bus_message_unref(reply);
    return found;
  }

  Answer activate(const std::string &id) {
    sd_bus_message *call = newCall(IntentBus::searchProviderPath,
                                   IntentBus::searchProviderInterface, "ActivateResult");
    sd_bus_message_append(call, "s", id.c_str());
    appendList(call, {});
    sd_bus_message_append(call, "u", 0u);
    Answer answer;
    sd_bus_message_unref(send(call, answer));
    return answer;
  }

  // krunner Match: per match, its id, text and subtext.
  std::vector<std::array<std::string, 3>> match(const std::string &query) {
    sd_bus_message *call = newCall(IntentBus::runnerPath, IntentBus::runnerInterface, "Match");
    sd_bus_message_append(call, "s", query.c_str());
    Answer answer;
    sd_bus_message *reply = send(call, answer);
    std::vector<std::array<std::string, 3>> found;
    if (reply && sd_bus_message_enter_container(reply, 'a', "(sssida{sv})") > 0) {
      while (sd_bus_message_enter_container(reply, 'r', "sssida{sv}") > 0) {
        const char *id = nullptr, *text = nullptr, *icon = nullptr;
        int type = 0;
        double relevance = 0;
        sd_bus_message_read(reply, "sssid", &id, &text, &icon, &type, &relevance);
        std::array<std::string, 3> row{id, text, ""};
        sd_bus_message_enter_container(reply, 'a', "{sv}");
        while (sd_bus_message_enter_container(reply, 'e', "sv") > 0) {
          const char *key = nullptr, *value = nullptr;
          sd_bus_message_read(reply, "s", &key);
          sd_bus_message_read(reply, "v", "s", &value);
          if (std::string(key) == "subtext")
            row[2] = value;
          sd_bus_message_exit_container(reply);
        }
        sd_bus_message_exit_container(reply);
        sd_bus_message_exit_container(reply);
        found.push_back(row);
      }
    }
    sd_bus_message_unref(reply);
    return found;
  }

  Answer run(const std::string &id) {
    sd_bus_message *call = newCall(IntentBus::runnerPath, IntentBus::runnerInterface, "Run");
    sd_bus_message_append(call, "ss", id.c_str(), "");
    Answer answer;
    sd_bus_message_unref(send(call, answer));
    return answer;
  }

  // The (id, text) pairs of a property of the shortcuts.
  std::vector<std::pair<std::string, std::string>> choices(const std::string &property) {
    sd_bus_message *reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    std::vector<std::pair<std::string, std::string>> found;
    if (sd_bus_get_property(bus_, IntentBus::busName, IntentBus::objectPath,
                            IntentBus::shortcutsInterface, property.c_str(), &error, &reply,
                            "a(ss)") >= 0 &&
        sd_bus_message_enter_container(reply, 'a', "(ss)") > 0) {
      const char *id = nullptr, *text = nullptr;
      while (sd_bus_message_read(reply, "(ss)", &id, &text) > 0)
        found.emplace_back(id, text);
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    return found;
  }

  bool nameOwned() {
    sd_bus_message *reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int owned = 0;
    if (sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner", &error, &reply, "s",
                           IntentBus::busName) >= 0)
      sd_bus_message_read(reply, "b", &owned);
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    return owned != 0;
  }

private:
  sd_bus_message *newCall(const char *path, const char *interface, const std::string &member) {
    sd_bus_message *call = nullptr;
    sd_bus_message_new_method_call(bus_, &call, IntentBus::busName, path, interface,
                                   member.c_str());
    return call;
  }
  static void appendList(sd_bus_message *call, const std::vector<std::string> &list) {
    sd_bus_message_open_container(call, 'a', "s");
    for (const auto &each : list)
      sd_bus_message_append(call, "s", each.c_str());
    sd_bus_message_close_container(call);
  }
  static std::vector<std::string> readList(sd_bus_message *reply) {
    std::vector<std::string> list;
    const char *each = nullptr;
    if (reply && sd_bus_message_enter_container(reply, 'a', "s") > 0)
      while (sd_bus_message_read(reply, "s", &each) > 0)
        list.emplace_back(each);
    return list;
  }
  sd_bus_message *send(sd_bus_message *call, Answer &answer) {
    sd_bus_message *reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    if (sd_bus_call(bus_, call, 0, &error, &reply) < 0) {
      answer.error = error.name ? error.name : "failed";
      answer.message = error.message ? error.message : "";
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(call);
    return reply;
  }

  sd_bus *bus_ = nullptr;
};

class IntentBusRoad : public ManagersOnLoopback {
protected:
  void TearDown() override {
    main_.sync([&] { service_.reset(); });
    ManagersOnLoopback::TearDown();
  }

  std::unique_ptr<IntentBus> service_;
};

TEST_F(IntentBusRoad, ScriptsAndDesktopSearchReachARealIncomingPort) {
  testing::PrivateBus session(testing::PrivateBus::Kind::session);
  ASSERT_FALSE(session.address().empty()) << "dbus-daemon could not be started";

  auto a = makeManager("Machine A");
  auto b = makeManager("Machine B");
  pair(a, b);
  if (HasFatalFailure())
    return;
  EchoServer echo(quietSharePort());
  ASSERT_TRUE(echo.listening());
  main_.sync([&] {
    a->preferences.modify([&](Preferences &p) {
      ExposedService share;
      share.id = echoID;
      share.name = "Echo";
      share.port = echo.port();
      share.category = ServiceCategory::tool;
      p.services.push_back(share);
    });
    a->setShareEnabled(echoID, true);
    a->probeSharedPorts();
    // B's own share and environment, for the switching methods.
    b->preferences.modify([&](Preferences &p) {
      ExposedService cache;
      cache.id = cacheID;
      cache.name = "Cache";
      cache.port = 6399;
      cache.enabled = true;
      p.services.push_back(cache);
      p.environments = std::vector<ShareEnvironment>{{devID, "Dev", {cacheID}}};
    });
    return 0;
  });
  const std::string portID = a->myDeviceID() + "/" + echoID;
  std::optional<int> local;
  ASSERT_TRUE(main_.waitUntil([&] {
    for (const auto &row : b->incoming.get())
      if (row.key.serviceID == echoID && row.state == IncomingService::State::connected())
        local = row.localPort;
    return local.has_value();
  }));
  EXPECT_LT(*local, testing::outgoingPortsStart)
      << "the route listens where connections take ports";
  const std::string address = "localhost:" + std::to_string(*local);

  auto pasteboard = std::make_shared<MemoryPasteboard>();
  auto opener = std::make_shared<FakeUrlOpener>();
  auto panelOpened = std::make_shared<std::atomic<int>>(0);
  main_.sync([&] {
    IntentDependencies dependencies;
    dependencies.pasteboard = pasteboard;
    dependencies.opener = opener;
    dependencies.openPanel = [panelOpened] { ++*panelOpened; };
    IntentBus::Options options;
    options.busAddress = session.address();
    options.portRefreshQuiet = 0.2;
    service_ = std::make_unique<IntentBus>(b, dependencies, options);
    return 0;
  });
  BusClient client(session.address());
  ASSERT_TRUE(client.ok());
  ASSERT_TRUE(testing::waitUntil([&] { return client.nameOwned(); }));

  // A port by identifier and by name, with the result value and the dialog.
  auto copied = client.intent("CopyPortAddress", {portID});
  EXPECT_EQ(copied.error, "");
  EXPECT_EQ(copied.value, address);
  EXPECT_EQ(copied.dialog, "Copied " + address + ".");
  EXPECT_EQ(pasteboard->string(), address);
  EXPECT_EQ(client.intent("CopyPortAddress", {"echo@Machine A"}).value, address);

  // Failures are their sentences, under an error name per case.
  auto missing = client.intent("CopyPortAddress", {"Nothing"});
  EXPECT_EQ(missing.error, "org.corvane.Corvane.Error.NoPortNamed");
  EXPECT_EQ(missing.message, "No paired Mac shares a port called “Nothing”.");
  auto gone = client.intent("CopyPortAddress", {a->myDeviceID() + "/" + cacheID});
  EXPECT_EQ(gone.error, "org.corvane.Corvane.Error.UnknownPort");
  EXPECT_EQ(client.intent("OpenPort", {portID}).error, "org.corvane.Corvane.Error.NoApp");
  EXPECT_TRUE(opener->opened.empty());
  pasteboard->setString("");
  auto connection = client.intent("GetConnectionString", {portID}, false);
  EXPECT_EQ(connection.error, "org.corvane.Corvane.Error.NoConnectionString");
  EXPECT_EQ(connection.message, "Corvane doesn't know what kind of service Echo is, so it can't "
                                "write a connection string. Copy its address instead.");

  // Show Port never fails: it copies, sets the notice and opens the panel.
  EXPECT_EQ(client.intent("ShowPort", {portID}).error, "");
  EXPECT_EQ(pasteboard->string(), address);
  EXPECT_EQ(*panelOpened, 1);
  EXPECT_EQ(main_.sync([&] { return b->notice.get(); }), "Copied " + address + ".");
  // A port that does not exist is answered as copying answers it, and nothing opens.
  auto notShown = client.intent("ShowPort", {"Nothing"});
  EXPECT_EQ(notShown.error, "org.corvane.Corvane.Error.NoPortNamed");
  EXPECT_EQ(notShown.message, "No paired Mac shares a port called “Nothing”.");
  EXPECT_EQ(*panelOpened, 1);

  // Switching, by name and by identifier.
  auto paused = client.intent("SetSharingPaused", {"off"});
  EXPECT_EQ(paused.dialog, "Sharing is paused.");
  EXPECT_TRUE(main_.sync([&] { return b->preferences->sharingPaused.value_or(false); }));
  EXPECT_EQ(client.intent("SetSharingPaused", {"on"}).dialog, "Sharing is on.");
  EXPECT_EQ(client.intent("SetSharingPaused", {"On"}).error,
            "org.freedesktop.DBus.Error.InvalidArgs");
  EXPECT_EQ(client.intent("SetEnvironment", {" dev ", "off"}).dialog, "Dev is paused.");
  EXPECT_FALSE(main_.sync([&] { return b->preferences->services[0].enabled; }));
  EXPECT_EQ(client.intent("SetShare", {cacheID, "on"}).dialog, "Cache is shared.");
  EXPECT_EQ(client.intent("SetShare", {"Nothing", "on"}).error,
            "org.corvane.Corvane.Error.UnknownShare");
  EXPECT_EQ(client.intent("SetEnvironment", {"Prod", "on"}).message,
            "There's no environment called “Prod”.");

  // The search providers answer from the refreshed index.
  std::vector<std::string> found;
  testing::waitUntil([&] {
    found = client.results("GetInitialResultSet", {}, {"echo"});
    return !found.empty();
  });
  ASSERT_EQ(found, std::vector<std::string>{portID});
  EXPECT_EQ(client.results("GetInitialResultSet", {}, {"ECHO", "machine"}), found);
  EXPECT_EQ(client.results("GetSubsearchResultSet", found, {"corvane"}), found);
  EXPECT_TRUE(client.results("GetSubsearchResultSet", found, {"redis"}).empty());
  const auto metas = client.metas({portID, "unknown"});
  ASSERT_EQ(metas.size(), 1u);
  EXPECT_EQ(metas[0][0], portID);
  EXPECT_EQ(metas[0][1], "Echo on Machine A");
  EXPECT_EQ(metas[0][2], address);
  pasteboard->setString("");
  EXPECT_EQ(client.activate(portID).error, "");
  EXPECT_EQ(pasteboard->string(), address);

  const auto matches = client.match("echo");
  ASSERT_EQ(matches.size(), 1u);
  EXPECT_EQ(matches[0], (std::array<std::string, 3>{portID, "Echo on Machine A", address}));
  EXPECT_TRUE(client.match("").empty());
  pasteboard->setString("");
  EXPECT_EQ(client.run(portID).error, "");
  EXPECT_EQ(pasteboard->string(), address);

  // The shortcuts' choices follow the ports and the environment names.
  EXPECT_TRUE(main_.waitUntil([&] {
    return client.choices("Ports") ==
           std::vector<std::pair<std::string, std::string>>{{portID, "Echo on Machine A"}};
  }));
  const int passes = main_.sync([&] { return service_->searchIndex().passes(); });
  main_.sync([&] {
    b->preferences.modify([](Preferences &p) { (*p.environments)[0].name = "Staging"; });
    return 0;
  });
  EXPECT_TRUE(main_.waitUntil([&] {
    return client.choices("Environments") ==
           std::vector<std::pair<std::string, std::string>>{{devID, "Staging"}};
  }));
  EXPECT_EQ(main_.sync([&] { return service_->searchIndex().passes(); }), passes)
      << "renaming an environment re-indexed the ports";

  // Another user may read and copy, but not switch.
  if (geteuid() != 0)
    GTEST_SKIP() << "switching from another user needs root to become that user";
  const std::string socket = session.address().substr(std::string("unix:path=").size());
  chmod(std::filesystem::path(socket).parent_path().c_str(), 0755);
  chmod(socket.c_str(), 0777);
  const pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0)
      _exit(10);
    BusClient stranger(session.address());
    if (!stranger.ok())
      _exit(11);
    auto refused = stranger.intent("SetSharingPaused", {"off"});
    if (refused.error != "org.freedesktop.DBus.Error.AccessDenied")
      _exit(12);
    if (stranger.intent("CopyPortAddress", {portID}).value.empty())
      _exit(13);
    _exit(0);
  }
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(main_.sync([&] { return b->preferences->sharingPaused.value_or(false); }))
      << "another user paused sharing";
}

TEST_F(IntentBusRoad, ASecondInstanceTakesTheNameOnceTheFirstLetsGo) {
  testing::PrivateBus session(testing::PrivateBus::Kind::session);
  ASSERT_FALSE(session.address().empty()) << "dbus-daemon could not be started";
  IntentBus::Options options;
  options.busAddress = session.address();
  auto start = [&, manager = makeManager("Machine A")] {
    return std::make_unique<IntentBus>(manager, IntentDependencies{}, options);
  };
  testing::StderrTap log;
  main_.sync([&] { service_ = start(); });
  BusClient client(session.address());
  ASSERT_TRUE(testing::waitUntil([&] { return client.nameOwned(); }));
  auto second = main_.sync(start);
  const std::string held = " is held by process " + std::to_string(getpid());
  log.waitFor(held);
  main_.sync([&] { service_.reset(); }); // only the second is left to answer
  EXPECT_TRUE(
      testing::waitUntil([&] { return client.intent("SetSharingPaused", {"off"}).error.empty(); }));
  EXPECT_EQ(testing::count(log.waitFor(held), held), 1u) << "said once";
  main_.sync([&] { second.reset(); });
}

TEST(IntentBusWithoutBus, StartsAndStopsWithNothingToListenOn) {
  testing::MainThread main;
  ServiceManager::Setup setup;
  setup.mainQueue = main.sharedQueue();
  setup.store = std::make_shared<MemorySecretStore>();
  setup.isPreview = true;
  auto manager = main.sync([&] { return ServiceManager::create(setup); });
  main.sync([&] {
    IntentBus::Options options;
    options.busAddress = "unix:path=/nonexistent/corvane-bus";
    IntentBus service(manager, IntentDependencies{}, options);
    return 0;
  });
  main.sync([&] {
    manager->shutdown();
    manager.reset();
    return 0;
  });
}

} // namespace
} // namespace corvane::e2e

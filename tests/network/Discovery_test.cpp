#include "brimvale/network/Discovery.h"
#include "brimvale/platform/RegistryDnsSd.h"
#include "brimvale/platform/SerialQueue.h"
#include "tests/support/Wait.h"

#include <chrono>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

namespace corvane {
namespace {

using corvane::testing::eventually;

DnsSd::BrowseResult result(std::string name, std::map<std::string, std::string> txt) {
  return {Endpoint{Endpoint::Service{std::move(name), "_corvane._tcp", "local", "eth0", nullptr}},
          std::move(txt)};
}

std::vector<std::string> namesOf(const std::vector<NearbyDevice> &devices) {
  std::vector<std::string> names;
  for (const auto &device : devices) {
    names.push_back(device.name);
  }
  return names;
}

TEST(DiscoveryResults, AcceptsOnlyVersionTwoWithSixteenHexDigits) {
  auto devices = Discovery::devicesFrom({
      result("v1", {{"v", "1"}, {"id", "0123456789abcdef"}}),
      result("v02", {{"v", "02"}, {"id", "0123456789abcdef"}}),
      result("no v", {{"id", "0123456789abcdef"}}),
      result("no id", {{"v", "2"}}),
      result("short", {{"v", "2"}, {"id", "0123456789abcde"}}),
      result("long", {{"v", "2"}, {"id", "0123456789abcdef0"}}),
      result("g", {{"v", "2"}, {"id", "0123456789abcdeg"}}),
      result("upper", {{"v", "2"}, {"id", "0123456789ABCDEF"}, {"extra", "x"}}),
  });
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].deviceID, "0123456789ABCDEF");
  EXPECT_EQ(devices[0].name, "upper");
  EXPECT_EQ(devices[0].endpoint.asService()->interfaceName, "eth0");

  DnsSd::BrowseResult hostPort{Endpoint{Endpoint::HostPort{}},
                               {{"v", "2"}, {"id", "0123456789abcdef"}}};
  EXPECT_TRUE(Discovery::devicesFrom({hostPort}).empty());
  EXPECT_TRUE(Discovery::devicesFrom({}).empty());
}

TEST(DiscoveryResults, OneEntryPerDeviceSortedByNameAndNamesCut) {
  std::map<std::string, std::string> a{{"v", "2"}, {"id", "aaaaaaaaaaaaaaaa"}};
  std::map<std::string, std::string> b{{"v", "2"}, {"id", "bbbbbbbbbbbbbbbb"}};
  std::map<std::string, std::string> c{{"v", "2"}, {"id", "cccccccccccccccc"}};
  auto devices = Discovery::devicesFrom(
      {result("beta", a), result("Alpha", b), result("alpha2", c), result("beta", a)});
  EXPECT_EQ(namesOf(devices), (std::vector<std::string>{"Alpha", "alpha2", "beta"}));

  auto renamed = Discovery::devicesFrom({result("Wi-Fi", a), result("Ethernet", a)});
  ASSERT_EQ(renamed.size(), 1u);
  EXPECT_EQ(renamed[0].name, "Ethernet");

  auto cut = Discovery::devicesFrom({result(std::string(70, 'n'), a)});
  EXPECT_EQ(cut[0].name, std::string(64, 'n'));
  // Ill-formed UTF-8 from the network must not survive into a shown name.
  auto bad = Discovery::devicesFrom({result("Mac\xff", a)});
  EXPECT_EQ(bad[0].name, "Mac\xef\xbf\xbd");
  // Nor may controls and separators, which break the views' and the log's lines.
  auto forged = Discovery::devicesFrom({result("Evil\n\x1b[2J\xe2\x80\xa8Mac", a)});
  EXPECT_EQ(forged[0].name, "Evil[2JMac");
}

// A backend whose browse callbacks the test fires by hand.
class ScriptedDnsSd : public DnsSd {
public:
  struct Browse {
    std::shared_ptr<SerialQueue> queue;
    std::function<void(std::vector<BrowseResult>)> onResults;
    std::function<void(NetworkError)> onFailure;
  };
  std::mutex lock;
  std::vector<Browse> browses;
  int ended = 0;

  class EndHandle : public Handle {
  public:
    explicit EndHandle(ScriptedDnsSd &owner) : owner_(owner) {}
    ~EndHandle() override {
      std::lock_guard guard(owner_.lock);
      ++owner_.ended;
    }

  private:
    ScriptedDnsSd &owner_;
  };

  std::unique_ptr<Handle> publish(const DnsSdService &, std::uint16_t) override { return {}; }
  std::unique_ptr<Handle> browse(const std::string &, std::shared_ptr<SerialQueue> queue,
                                 std::function<void(std::vector<BrowseResult>)> onResults,
                                 std::function<void(NetworkError)> onFailure) override {
    std::lock_guard guard(lock);
    browses.push_back({queue, std::move(onResults), std::move(onFailure)});
    return std::make_unique<EndHandle>(*this);
  }
  void resolve(
      const Endpoint::Service &,
      std::function<void(std::expected<std::vector<Endpoint::HostPort>, NetworkError>)>) override {}

  Browse at(std::size_t index) {
    std::lock_guard guard(lock);
    return browses.at(index);
  }
  std::size_t count() {
    std::lock_guard guard(lock);
    return browses.size();
  }
};

struct Lists {
  std::mutex lock;
  std::vector<std::vector<NearbyDevice>> seen;
  std::function<void(std::vector<NearbyDevice>)> callback() {
    return [this](std::vector<NearbyDevice> devices) {
      std::lock_guard guard(lock);
      seen.push_back(std::move(devices));
    };
  }
  std::size_t size() {
    std::lock_guard guard(lock);
    return seen.size();
  }
};

constexpr double shortDelay = 0.05;

void waitFor(const std::function<bool()> &condition) {
  corvane::testing::waitUntil(condition, eventually);
}

TEST(Discovery, StopReportsOneEmptyListAndFailuresRestartTheCurrentBrowserOnly) {
  auto backend = std::make_shared<ScriptedDnsSd>();
  auto discovery = Discovery::create("_corvane._tcp", backend, shortDelay);
  EXPECT_EQ(discovery->queue()->label(), "corvane.discovery");
  Lists lists;
  discovery->onChange = lists.callback();
  discovery->start();
  discovery->queue()->sync([] {});
  ASSERT_EQ(backend->count(), 1u);

  auto first = backend->at(0);
  first.queue->sync([&] {
    first.onResults({result("Studio", {{"v", "2"}, {"id", "0123456789abcdef"}})});
    first.onResults({});
  });
  ASSERT_EQ(lists.size(), 2u);
  EXPECT_EQ(lists.seen[0].size(), 1u);
  EXPECT_TRUE(lists.seen[1].empty());

  // A restart replaces the browser; the old one's failure is ignored.
  discovery->start();
  discovery->queue()->sync([] {});
  ASSERT_EQ(backend->count(), 2u);
  first.queue->sync([&] { first.onFailure(NetworkError::posix(ECONNRESET)); });
  std::this_thread::sleep_for(std::chrono::duration<double>(shortDelay * 4));
  discovery->queue()->sync([] {});
  EXPECT_EQ(backend->count(), 2u);

  // The current browser's failure brings a fresh one after the delay, with no empty list.
  auto second = backend->at(1);
  second.queue->sync([&] { second.onFailure(NetworkError::posix(ECONNRESET)); });
  waitFor([&] { return backend->count() == 3u; });
  EXPECT_EQ(backend->count(), 3u);
  EXPECT_EQ(lists.size(), 2u);

  // A failure followed at once by stop: no restart, exactly one empty list.
  auto third = backend->at(2);
  third.queue->sync([&] { third.onFailure(NetworkError::posix(ECONNRESET)); });
  discovery->stop();
  discovery->queue()->sync([] {});
  std::this_thread::sleep_for(std::chrono::duration<double>(shortDelay * 4));
  discovery->queue()->sync([] {});
  EXPECT_EQ(backend->count(), 3u);
  ASSERT_EQ(lists.size(), 3u);
  EXPECT_TRUE(lists.seen[2].empty());
  EXPECT_EQ(backend->ended, 3);

  // Without onChange, stop reports nothing.
  discovery->onChange = nullptr;
  discovery->stop();
  discovery->queue()->sync([] {});
  EXPECT_EQ(lists.size(), 3u);
}

TEST(Discovery, FindsEnginesPublishedOnTheSameRegistry) {
  auto registry = DnsSdRegistry::create();
  auto publisher = RegistryDnsSd::create(registry);
  auto discovery = Discovery::create("_corvane._tcp", RegistryDnsSd::create(registry));
  Lists lists;
  discovery->onChange = lists.callback();
  // Withdrawing the service at the end reports on the discovery queue; no report may reach
  // `lists` once the test has left.
  struct Quiet {
    std::shared_ptr<Discovery> discovery;
    ~Quiet() {
      discovery->queue()->sync([&] { discovery->onChange = nullptr; });
      discovery->stop();
      discovery->queue()->sync([] {});
    }
  } quiet{discovery};
  discovery->start();
  auto handle = publisher->publish(
      {"Studio", "_corvane._tcp", "", {{"v", "2"}, {"id", "0123456789abcdef"}}}, 46310);
  waitFor([&] {
    std::lock_guard guard(lists.lock);
    return !lists.seen.empty() && lists.seen.back().size() == 1;
  });
  std::lock_guard guard(lists.lock);
  ASSERT_FALSE(lists.seen.empty());
  ASSERT_EQ(lists.seen.back().size(), 1u) << lists.seen.size() << " lists seen";
  EXPECT_EQ(lists.seen.back()[0].name, "Studio");
  EXPECT_NE(lists.seen.back()[0].endpoint.asService()->resolver, nullptr);
}

} // namespace
} // namespace corvane

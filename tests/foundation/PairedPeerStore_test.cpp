#include "brimvale/foundation/PairedPeerStore.h"
#include "brimvale/platform/Json.h"
#include "brimvale/platform/KeychainStore.h"
#include "brimvale/platform/MemorySecretStore.h"
#include "tests/support/ChildProcess.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <limits>

namespace corvane {
namespace {

class CountingStore final : public SecretStore {
public:
  std::optional<Bytes> read(const std::string &account) override { return inner.read(account); }
  bool write(const std::string &account, const Bytes &data) override {
    ++writes;
    return inner.write(account, data);
  }
  bool remove(const std::string &account) override { return inner.remove(account); }

  MemorySecretStore inner;
  int writes = 0;
};

// Reads fail like a file system out of descriptors while failing is set.
class FailingReadStore final : public SecretStore {
public:
  std::optional<Bytes> read(const std::string &account) override {
    return failing ? std::nullopt : inner.read(account);
  }
  StoredSecret readChecked(const std::string &account) override {
    if (failing) {
      return StoredSecret{StoredSecret::State::unreadable, {}, EMFILE};
    }
    return inner.readChecked(account);
  }
  bool write(const std::string &account, const Bytes &data) override {
    ++writes;
    return inner.write(account, data);
  }
  bool remove(const std::string &account) override { return inner.remove(account); }

  MemorySecretStore inner;
  bool failing = true;
  int writes = 0;
};

// Writes of the list itself fail while full is set, like a full disk.
class FullDiskStore final : public SecretStore {
public:
  std::optional<Bytes> read(const std::string &account) override { return inner.read(account); }
  bool write(const std::string &account, const Bytes &data) override {
    return !(full && account == PairedPeerStore::account) && inner.write(account, data);
  }
  bool remove(const std::string &account) override { return inner.remove(account); }

  MemorySecretStore inner;
  bool full = true;
};

PairedPeer peer(const std::string &id, const std::string &name, Date pairedAt = 10) {
  return PairedPeer{id, name, Bytes(32, static_cast<std::uint8_t>(name.size())), pairedAt};
}

std::vector<std::string> idsOf(const std::vector<PairedPeer> &peers) {
  std::vector<std::string> ids;
  for (const auto &p : peers) {
    ids.push_back(p.deviceID);
  }
  return ids;
}

TEST(PairedPeerStore, AddReplacesAndMovesToTheEnd) {
  auto store = std::make_shared<CountingStore>();
  PairedPeerStore peers(store);
  std::vector<std::vector<PairedPeer>> changes;
  peers.setOnChange([&](const std::vector<PairedPeer> &list) { changes.push_back(list); });

  peers.add(peer("aaaa000000000001", "One"));
  peers.add(peer("aaaa000000000002", "Two"));
  peers.add(peer("aaaa000000000001", "One again", 20));
  EXPECT_EQ(idsOf(peers.peers()),
            (std::vector<std::string>{"aaaa000000000002", "aaaa000000000001"}));
  EXPECT_EQ(peers.findPeer("aaaa000000000001")->name, "One again");
  EXPECT_EQ(peers.findPeer("aaaa000000000001")->pairedAt, 20);
  EXPECT_FALSE(peers.findPeer("AAAA000000000001"));
  ASSERT_EQ(changes.size(), 3u);
  EXPECT_EQ(changes.back(), peers.peers());

  // What was saved loads back identically in a new store.
  EXPECT_EQ(PairedPeerStore(store).peers(), peers.peers());
}

TEST(PairedPeerStore, RenameAndRemove) {
  auto store = std::make_shared<CountingStore>();
  PairedPeerStore peers(store);
  int changes = 0;
  peers.setOnChange([&](const std::vector<PairedPeer> &) { ++changes; });
  peers.add(peer("aaaa000000000001", "One"));
  peers.add(peer("aaaa000000000002", "Two"));
  ASSERT_EQ(store->writes, 2);

  peers.rename("ffff000000000000", "Nobody");
  EXPECT_EQ(store->writes, 2);
  peers.rename("aaaa000000000001", "Renamed");
  EXPECT_EQ(store->writes, 3);
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(PairedPeerStore(store).findPeer("aaaa000000000001")->name, "Renamed");

  peers.remove("ffff000000000000");
  EXPECT_EQ(store->writes, 4);
  EXPECT_EQ(changes, 3);
  EXPECT_EQ(peers.peers().size(), 2u);
  peers.remove("aaaa000000000001");
  EXPECT_EQ(idsOf(peers.peers()), std::vector<std::string>{"aaaa000000000002"});
  EXPECT_EQ(idsOf(PairedPeerStore(store).peers()), std::vector<std::string>{"aaaa000000000002"});
}

TEST(PairedPeerStore, OnChangeMayCallBackIntoTheStore) {
  PairedPeerStore peers(std::make_shared<MemorySecretStore>());
  std::size_t seen = 0;
  peers.setOnChange([&](const std::vector<PairedPeer> &) { seen = peers.peers().size(); });
  peers.add(peer("aaaa000000000001", "One"));
  EXPECT_EQ(seen, 1u);
}

TEST(PairedPeerStore, StoredJsonForm) {
  auto store = std::make_shared<MemorySecretStore>();
  PairedPeerStore peers(store);
  peers.add(PairedPeer{"0123456789abcdef", "Desk", Bytes{1, 2, 3}, 0});
  const auto json = parseJson(*store->read("paired.peers"));
  ASSERT_TRUE(json && json->is_array() && json->size() == 1);
  const Json &object = (*json)[0];
  EXPECT_EQ(object.size(), 4u);
  EXPECT_EQ(object["deviceID"], "0123456789abcdef");
  EXPECT_EQ(object["name"], "Desk");
  EXPECT_EQ(object["publicKey"], "AQID");
  EXPECT_TRUE(object["pairedAt"].is_number());
  EXPECT_EQ(object["pairedAt"].get<double>(), 0);

  const auto decoded = decodePairedPeers(
      bytesOf(R"([{"deviceID":"x","name":"n","publicKey":"AQID","pairedAt":1.5,"extra":true}])"));
  ASSERT_TRUE(decoded);
  EXPECT_EQ((*decoded)[0], (PairedPeer{"x", "n", Bytes{1, 2, 3}, 1.5}));
  EXPECT_FALSE(encodePairedPeers({PairedPeer{"x", "n", {}, std::nan("")}}));
  EXPECT_FALSE(
      encodePairedPeers({PairedPeer{"x", "n", {}, std::numeric_limits<double>::infinity()}}));
}

TEST(PairedPeerStore, UndecodableListIsKeptAsideAndLoadsEmpty) {
  for (const char *bad : {"not json", "{}", "null", "[1]", "[{}]",
                          R"([{"deviceID":"x","name":"n","publicKey":"AQID"}])",
                          R"([{"deviceID":"x","name":"n","publicKey":"AQID","pairedAt":null}])",
                          R"([{"deviceID":"x","name":"n","publicKey":"AQ","pairedAt":0}])",
                          R"([{"deviceID":"x","name":"n","publicKey":"AQID","pairedAt":"0"}])",
                          R"([{"deviceID":7,"name":"n","publicKey":"AQID","pairedAt":0}])",
                          "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[["}) {
    auto store = std::make_shared<CountingStore>();
    store->inner.write("paired.peers", bytesOf(bad));
    ::testing::internal::CaptureStderr();
    PairedPeerStore peers(store);
    const std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("paired.peers aside as paired.peers.damaged"), std::string::npos) << log;
    EXPECT_TRUE(peers.peers().empty()) << bad;
    EXPECT_EQ(store->inner.read("paired.peers.damaged"), bytesOf(bad));
    EXPECT_EQ(store->inner.read("paired.peers"), bytesOf("[]"));
    peers.add(peer("aaaa000000000001", "One"));
    EXPECT_EQ(PairedPeerStore(store).peers().size(), 1u) << bad;
    EXPECT_EQ(store->inner.read("paired.peers.damaged"), bytesOf(bad));
  }
  // An empty item holds nothing to keep.
  auto store = std::make_shared<CountingStore>();
  store->inner.write("paired.peers", {});
  EXPECT_TRUE(PairedPeerStore(store).peers().empty());
  EXPECT_FALSE(store->inner.read("paired.peers.damaged"));
}

TEST(PairedPeerStore, APeerThatDoesNotDecodeIsSetAsideAndTheOthersStayPaired) {
  const std::string stored = R"([{"deviceID":"a","name":"A","publicKey":"AQID","pairedAt":1},)"
                             R"({"deviceID":"b","name":"B","publicKey":"AQID","pairedAt":"2"},)"
                             R"({"deviceID":"c","name":"C","publicKey":"AQID","pairedAt":3}])";
  auto store = std::make_shared<CountingStore>();
  store->inner.write("paired.peers", bytesOf(stored));
  ::testing::internal::CaptureStderr();
  PairedPeerStore peers(store);
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find(R"([1]: "pairedAt" holds "2")"), std::string::npos) << log;
  EXPECT_EQ(idsOf(peers.peers()), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(store->inner.read("paired.peers.damaged"), bytesOf(stored));
  // What was read is stored again at once, so the next start finds it too.
  EXPECT_EQ(idsOf(PairedPeerStore(store).peers()), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(store->inner.read("paired.peers.damaged"), bytesOf(stored));
}

TEST(PairedPeerStore, AFailedWriteAfterDamageLeavesTheStoredListAsItWas) {
  const std::string stored = R"([{"deviceID":"a","name":"A","publicKey":"AQID","pairedAt":1},)"
                             R"({"deviceID":"b","name":"B","publicKey":"AQID","pairedAt":"2"}])";
  auto store = std::make_shared<FullDiskStore>();
  store->inner.write("paired.peers", bytesOf(stored));
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(idsOf(PairedPeerStore(store).peers()), std::vector<std::string>{"a"});
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(store->inner.read("paired.peers"), bytesOf(stored));
  EXPECT_EQ(store->inner.read("paired.peers.damaged"), bytesOf(stored));

  // With room again, the next start still pairs with the readable machine.
  store->full = false;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(idsOf(PairedPeerStore(store).peers()), std::vector<std::string>{"a"});
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(idsOf(PairedPeerStore(store).peers()), std::vector<std::string>{"a"});
  EXPECT_FALSE(store->inner.read("paired.peers.damaged.1")) << "the same damage is kept once";
}

TEST(PairedPeerStore, UnreadableListIsNeverOverwrittenAndChangesAreSavedOnceItIsRead) {
  auto store = std::make_shared<FailingReadStore>();
  store->failing = false;
  {
    PairedPeerStore before(store);
    before.add(peer("aaaa000000000001", "One"));
    before.add(peer("aaaa000000000002", "Two"));
  }
  const auto saved = store->inner.read("paired.peers");
  store->failing = true;
  store->writes = 0;

  ::testing::internal::CaptureStderr();
  PairedPeerStore peers(store);
  std::vector<std::vector<PairedPeer>> changes;
  peers.setOnChange([&](const std::vector<PairedPeer> &list) { changes.push_back(list); });
  EXPECT_TRUE(peers.peers().empty());
  // A pairing while the list cannot be read is kept in memory, not written over the list.
  peers.add(peer("aaaa000000000003", "Three"));
  peers.rename("aaaa000000000003", "Third");
  peers.remove("aaaa000000000002");
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("Could not read the list of paired machines: " + std::to_string(EMFILE)),
            std::string::npos)
      << log;
  EXPECT_EQ(store->writes, 0);
  EXPECT_EQ(store->inner.read("paired.peers"), saved);
  EXPECT_EQ(idsOf(peers.peers()), std::vector<std::string>{"aaaa000000000003"});
  EXPECT_EQ(peers.findPeer("aaaa000000000003")->name, "Third");

  // The next read succeeds: the changes are applied to the stored list and saved.
  store->failing = false;
  changes.clear();
  EXPECT_TRUE(peers.findPeer("aaaa000000000001"));
  EXPECT_EQ(store->writes, 1);
  const std::vector<std::string> expected{"aaaa000000000001", "aaaa000000000003"};
  EXPECT_EQ(idsOf(peers.peers()), expected);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(idsOf(changes[0]), expected);
  EXPECT_EQ(idsOf(PairedPeerStore(store).peers()), expected);
  EXPECT_EQ(PairedPeerStore(store).findPeer("aaaa000000000003")->name, "Third");
}

TEST(PairedPeerStore, PairingWithoutFreeDescriptorsKeepsTheStoredList) {
  std::string pattern = (std::filesystem::temp_directory_path() / "corvane-peers-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const std::filesystem::path root = pattern;
  ::setenv("XDG_DATA_HOME", root.c_str(), 1);
  {
    PairedPeerStore before(std::make_shared<KeychainStore>());
    before.add(peer("aaaa000000000001", "One"));
    before.add(peer("aaaa000000000002", "Two"));
  }
  const int status = corvane::testing::runInChild([] {
    auto keys = std::make_shared<KeychainStore>();
    std::unique_ptr<PairedPeerStore> peers;
    {
      corvane::testing::DescriptorsUsedUp used;
      if (used.error() != EMFILE) {
        return 2;
      }
      peers = std::make_unique<PairedPeerStore>(keys);
      for (int i = 0; i < 50; ++i) {
        peers->add(peer("bbbb0000000000" + std::to_string(10 + i), "New"));
      }
      if (peers->peers().size() != 50) {
        return 3;
      }
    }
    return peers->peers().size() == 52 ? 0 : 4;
  });
  EXPECT_EQ(status, 0);
  const auto after = PairedPeerStore(std::make_shared<KeychainStore>()).peers();
  EXPECT_EQ(after.size(), 52u);
  EXPECT_TRUE(PairedPeerStore(std::make_shared<KeychainStore>()).findPeer("aaaa000000000002"));
  ::unsetenv("XDG_DATA_HOME");
  std::filesystem::remove_all(root);
}

} // namespace
} // namespace corvane

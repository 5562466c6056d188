#include "brimvale/foundation/PairedPeerStore.h"
#include "brimvale/platform/Json.h"
#include "brimvale/platform/MemorySecretStore.h"

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

TEST(PairedPeerStore, UndecodableDocumentLoadsEmptyAndIsKeptUntilTheNextChange) {
  for (const char *bad : {"", "not json", "{}", "null", "[1]", "[{}]",
                          R"([{"deviceID":"x","name":"n","publicKey":"AQID"}])",
                          R"([{"deviceID":"x","name":"n","publicKey":"AQID","pairedAt":null}])",
                          R"([{"deviceID":"x","name":"n","publicKey":"AQ","pairedAt":0}])",
                          R"([{"deviceID":"x","name":"n","publicKey":"AQID","pairedAt":"0"}])",
                          R"([{"deviceID":7,"name":"n","publicKey":"AQID","pairedAt":0}])",
                          R"([{"deviceID":"x","name":"n","publicKey":"AQID","pairedAt":0},5])",
                          "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[["}) {
    auto store = std::make_shared<CountingStore>();
    store->inner.write("paired.peers", bytesOf(bad));
    PairedPeerStore peers(store);
    EXPECT_TRUE(peers.peers().empty()) << bad;
    EXPECT_EQ(store->writes, 0);
    EXPECT_EQ(store->inner.read("paired.peers"), bytesOf(bad));
    peers.add(peer("aaaa000000000001", "One"));
    EXPECT_EQ(PairedPeerStore(store).peers().size(), 1u) << bad;
  }
}

} // namespace
} // namespace corvane

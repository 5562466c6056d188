#include "brimvale/foundation/DeviceIdentity.h"
#include "brimvale/platform/Crypto.h"
#include "brimvale/platform/MemorySecretStore.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

class RefusingStore final : public SecretStore {
public:
  std::optional<Bytes> read(const std::string &) override { return std::nullopt; }
  bool write(const std::string &, const Bytes &) override { return false; }
  bool remove(const std::string &) override { return false; }
};

TEST(DeviceIdentity, CreatedOnceAndReadBack) {
  MemorySecretStore store;
  const DeviceIdentity first = DeviceIdentity::loadOrCreateIdentity(store);
  const auto stored = store.read("identity.key");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->size(), 32u);
  EXPECT_EQ(*stored, first.privateKey());
  const DeviceIdentity second = DeviceIdentity::loadOrCreateIdentity(store);
  EXPECT_EQ(second, first);
  EXPECT_EQ(second.deviceID(), first.deviceID());
  EXPECT_EQ(first.publicKey(), x25519PublicKey(first.privateKey()).value());
}

TEST(DeviceIdentity, DamagedKeyIsKeptAsideAndReplaced) {
  MemorySecretStore store;
  store.write("identity.key", Bytes(31, 5));
  ::testing::internal::CaptureStderr();
  const DeviceIdentity identity = DeviceIdentity::loadOrCreateIdentity(store);
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(store.read("identity.key"), identity.privateKey());
  EXPECT_EQ(identity.privateKey().size(), 32u);
  EXPECT_EQ(store.read("identity.key.damaged"), Bytes(31, 5));
  EXPECT_NE(log.find("identity.key.damaged"), std::string::npos) << log;
}

TEST(DeviceIdentity, UnreadableKeyIsNeverReplaced) {
  class UnreadableStore final : public SecretStore {
  public:
    std::optional<Bytes> read(const std::string &) override { return std::nullopt; }
    StoredSecret readChecked(const std::string &) override {
      return StoredSecret{StoredSecret::State::unreadable, {}, 24};
    }
    bool write(const std::string &, const Bytes &) override { return ++writes, true; }
    bool remove(const std::string &) override { return ++writes, true; }
    int writes = 0;
  } store;
  ::testing::internal::CaptureStderr();
  const DeviceIdentity identity = DeviceIdentity::loadOrCreateIdentity(store);
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(store.writes, 0);
  EXPECT_EQ(identity.privateKey().size(), 32u);
  EXPECT_NE(log.find("Could not read the device identity: 24"), std::string::npos) << log;
}

TEST(DeviceIdentity, UnstoredIdentityIsLoggedAsError) {
  RefusingStore store;
  testing::internal::CaptureStderr();
  const DeviceIdentity identity = DeviceIdentity::loadOrCreateIdentity(store);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("corvane[app] error"), std::string::npos) << log;
  EXPECT_EQ(identity.privateKey().size(), 32u);
}

TEST(DeviceIdentity, Fingerprints) {
  EXPECT_EQ(fingerprint({}), "e3b0c44298fc1c14");
  EXPECT_EQ(fingerprint(bytesOf("abc")), "ba7816bf8f01cfea");
  const DeviceIdentity identity = DeviceIdentity::generate();
  EXPECT_EQ(identity.deviceID().size(), 16u);
  EXPECT_EQ(identity.deviceID().find_first_not_of("0123456789abcdef"), std::string::npos);

  EXPECT_EQ(groupedFingerprint("abcdefghij"), "ABCD EFGH IJ");
  EXPECT_EQ(groupedFingerprint("e3b0c44298fc1c14"), "E3B0 C442 98FC 1C14");
  EXPECT_EQ(groupedFingerprint(""), "");
  EXPECT_EQ(groupedFingerprint("abcd"), "ABCD");
}

} // namespace
} // namespace corvane

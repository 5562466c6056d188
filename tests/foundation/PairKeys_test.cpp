#include "brimvale/foundation/PairKeys.h"
#include "brimvale/platform/Crypto.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace corvane {
namespace {

TEST(PairKeys, BothSidesDeriveTheSameIndependentKeys) {
  for (int round = 0; round < 8; ++round) {
    const DeviceIdentity a = DeviceIdentity::generate();
    const DeviceIdentity b = DeviceIdentity::generate();
    const auto fromA = PairKeys::deriveKeys(a, b.publicKey());
    const auto fromB = PairKeys::deriveKeys(b, a.publicKey());
    ASSERT_TRUE(fromA && fromB);
    EXPECT_EQ(*fromA, *fromB);
    EXPECT_EQ(fromA->psk.size(), 32u);
    EXPECT_EQ(fromA->authKey.size(), 32u);
    EXPECT_NE(fromA->psk, fromA->authKey);

    // Pinned to the construction: salt is the sorted identifiers joined by "|".
    const Bytes shared = x25519SharedSecret(a.privateKey(), b.publicKey()).value();
    const std::string idA = a.deviceID(), idB = b.deviceID();
    const std::string &low = std::min(idA, idB), &high = std::max(idA, idB);
    const Bytes salt = bytesOf(low + "|" + high);
    EXPECT_EQ(salt.size(), 33u);
    EXPECT_EQ(fromA->psk, hkdfSha256(shared, salt, bytesOf("corvane/v2/psk"), 32));
    EXPECT_EQ(fromA->authKey, hkdfSha256(shared, salt, bytesOf("corvane/v2/auth"), 32));
  }
}

TEST(PairKeys, KeysDifferPerPair) {
  const DeviceIdentity a = DeviceIdentity::generate();
  const DeviceIdentity b = DeviceIdentity::generate();
  const DeviceIdentity c = DeviceIdentity::generate();
  EXPECT_NE(PairKeys::deriveKeys(a, b.publicKey())->psk,
            PairKeys::deriveKeys(a, c.publicKey())->psk);
}

TEST(PairKeys, BadPeerKeysFail) {
  const DeviceIdentity a = DeviceIdentity::generate();
  EXPECT_FALSE(PairKeys::deriveKeys(a, Bytes(31, 7)));
  EXPECT_FALSE(PairKeys::deriveKeys(a, Bytes(33, 7)));
  EXPECT_FALSE(PairKeys::deriveKeys(a, {}));
  EXPECT_FALSE(PairKeys::deriveKeys(a, Bytes(32, 0)));
}

TEST(PairKeys, HelloVerifiesOnlyUnchanged) {
  const DeviceIdentity a = DeviceIdentity::generate();
  const DeviceIdentity b = DeviceIdentity::generate();
  const PairKeys keys = PairKeys::deriveKeys(a, b.publicKey()).value();
  const PairKeys otherSide = PairKeys::deriveKeys(b, a.publicKey()).value();
  const Bytes nonce = randomBytes(32);
  const std::string id = b.deviceID();
  const Bytes mac = helloCode(nonce, id, otherSide);
  ASSERT_EQ(mac.size(), 32u);
  EXPECT_TRUE(verifyHello(mac, nonce, id, keys));

  Bytes expectedMessage = bytesOf("corvane/v2/hello");
  // Reserved: GCC 12 misreads the growth of a short vector as out of bounds at -O3.
  expectedMessage.reserve(expectedMessage.size() + nonce.size() + id.size());
  expectedMessage.insert(expectedMessage.end(), nonce.begin(), nonce.end());
  expectedMessage.insert(expectedMessage.end(), id.begin(), id.end());
  EXPECT_EQ(mac, hmacSha256(keys.authKey, expectedMessage));

  for (std::size_t i = 0; i < nonce.size(); ++i) {
    Bytes changed = nonce;
    changed[i] ^= 0x01;
    EXPECT_FALSE(verifyHello(mac, changed, id, keys)) << "nonce byte " << i;
  }
  for (std::size_t i = 0; i < id.size(); ++i) {
    std::string changed = id;
    changed[i] = changed[i] == '0' ? '1' : '0';
    EXPECT_FALSE(verifyHello(mac, nonce, changed, keys)) << "id byte " << i;
  }
  for (std::size_t i = 0; i < mac.size(); ++i) {
    Bytes changed = mac;
    changed[i] ^= 0x80;
    EXPECT_FALSE(verifyHello(changed, nonce, id, keys)) << "mac byte " << i;
  }
  EXPECT_FALSE(verifyHello(Bytes(mac.begin(), mac.begin() + 16), nonce, id, keys));
  EXPECT_FALSE(verifyHello({}, nonce, id, keys));
  PairKeys wrong = keys;
  wrong.authKey = keys.psk;
  EXPECT_FALSE(verifyHello(mac, nonce, id, wrong));
}

} // namespace
} // namespace corvane

#include "brimvale/platform/Crypto.h"

#include <gtest/gtest.h>
#include <string>

namespace corvane {
namespace {

Bytes hex(std::string_view text) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    out.push_back(
        static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

TEST(Crypto, DigestsMatchPublishedVectors) {
  EXPECT_EQ(sha256(bytesOf("abc")),
            hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
  EXPECT_EQ(sha256({}), hex("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));

  const Bytes key = bytesOf("Jefe"), data = bytesOf("what do ya want for nothing?");
  const Bytes mac = hex("5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  EXPECT_EQ(hmacSha256(key, data), mac);

  const Bytes okm = hkdfSha256(Bytes(22, 0x0b), hex("000102030405060708090a0b0c"),
                               hex("f0f1f2f3f4f5f6f7f8f9"), 42);
  EXPECT_EQ(okm, hex("3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf3400720"
                     "8d5b887185865"));
  EXPECT_TRUE(hkdfSha256(Bytes(32, 1), {}, {}, 255 * 32 + 1).empty());
}

TEST(Crypto, HmacVerifyRejectsAnyDifference) {
  const Bytes key = bytesOf("Jefe"), data = bytesOf("what do ya want for nothing?");
  Bytes mac = hmacSha256(key, data);
  EXPECT_TRUE(hmacVerify(key, data, mac));
  Bytes flipped = mac;
  flipped[31] ^= 1;
  EXPECT_FALSE(hmacVerify(key, data, flipped));
  EXPECT_FALSE(hmacVerify(key, data, Bytes(mac.begin(), mac.end() - 1)));
  Bytes longer = mac;
  longer.push_back(0);
  EXPECT_FALSE(hmacVerify(key, data, longer));
  EXPECT_FALSE(hmacVerify(key, data, {}));
  EXPECT_FALSE(hmacVerify(bytesOf("jefe"), data, mac));
}

TEST(Crypto, X25519MatchesPublishedVectorAndRejectsBadKeys) {
  const Bytes alice = hex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a");
  const Bytes bob = hex("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb");
  const auto alicePublic = x25519PublicKey(alice);
  const auto bobPublic = x25519PublicKey(bob);
  ASSERT_TRUE(alicePublic && bobPublic);
  EXPECT_EQ(*alicePublic, hex("8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a"));
  EXPECT_EQ(*bobPublic, hex("de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f"));
  const Bytes shared = hex("4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742");
  EXPECT_EQ(x25519SharedSecret(alice, *bobPublic).value(), shared);
  EXPECT_EQ(x25519SharedSecret(bob, *alicePublic).value(), shared);

  EXPECT_FALSE(x25519SharedSecret(alice, Bytes(31, 9)));
  EXPECT_FALSE(x25519SharedSecret(alice, Bytes(33, 9)));
  EXPECT_FALSE(x25519SharedSecret(alice, {}));
  // Low-order points: the zero point and the point of order 8 both give the zero secret.
  EXPECT_FALSE(x25519SharedSecret(alice, Bytes(32, 0)));
  EXPECT_FALSE(x25519SharedSecret(
      alice, hex("e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800")));
  EXPECT_FALSE(x25519PublicKey(Bytes(31, 1)));
  EXPECT_FALSE(x25519SharedSecret(Bytes(16, 1), *bobPublic));

  const Bytes generated = x25519GeneratePrivateKey();
  EXPECT_EQ(generated.size(), 32u);
  EXPECT_NE(generated, x25519GeneratePrivateKey());
}

TEST(Crypto, RandomBytesHaveTheAskedLength) {
  EXPECT_TRUE(randomBytes(0).empty());
  EXPECT_EQ(randomBytes(32).size(), 32u);
  EXPECT_NE(randomBytes(32), randomBytes(32));
}

TEST(Crypto, Base64RoundTripsAndDecodesStrictly) {
  EXPECT_EQ(base64Encode({}), "");
  EXPECT_EQ(base64Encode(bytesOf("f")), "Zg==");
  EXPECT_EQ(base64Encode(bytesOf("fo")), "Zm8=");
  EXPECT_EQ(base64Encode(bytesOf("foo")), "Zm9v");
  EXPECT_EQ(base64Encode(Bytes{0xfb, 0xff}), "+/8=");
  for (std::size_t n = 0; n < 70; ++n) {
    const Bytes data = randomBytes(n);
    EXPECT_EQ(base64Decode(base64Encode(data)), data) << n;
  }
  EXPECT_EQ(base64Decode(""), Bytes{});
  EXPECT_EQ(base64Decode("Zg=="), bytesOf("f"));
  EXPECT_EQ(base64Decode("Zm8="), bytesOf("fo"));

  for (const char *bad : {"Zg", "Zg=", "Zm8", "Z===", "====", "Zg==Zg==", "Zm9v\n", " Zm9v",
                          "Zm 9v", "Zm9-", "Zm9_", "Zm=v", "=Zm9", "Zm9v====", "Zg\0="}) {
    EXPECT_FALSE(base64Decode(bad)) << bad;
  }
  EXPECT_FALSE(base64Decode(std::string_view("Zm\0v", 4)));
}

} // namespace
} // namespace corvane

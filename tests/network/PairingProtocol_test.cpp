#include "brimvale/foundation/DeviceIdentity.h"
#include "brimvale/network/PairingProtocol.h"
#include "brimvale/platform/Crypto.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <string>

namespace corvane {
namespace {

using namespace PairingProtocol;

Bytes filled(std::size_t count, std::uint8_t value) {
  return Bytes(count, value);
}

std::expected<Frame, ChannelError> received(Frame frame) {
  return frame;
}
std::expected<Frame, ChannelError> readError() {
  return std::unexpected(ChannelError{NetworkError::posix(ECONNRESET)});
}

Reveal someReveal(std::string name = "Studio") {
  return Reveal{DeviceIdentity::generate().publicKey(), randomBytes(32), std::move(name)};
}

std::string repeated(std::string_view piece, int count) {
  std::string text;
  for (int i = 0; i < count; ++i)
    text += piece;
  return text;
}

TEST(PairingProtocolDigests, CommitCoversLabelKeyNonceAndNameInOrder) {
  Bytes key = filled(32, 0x11), nonce = filled(32, 0x22);
  Bytes input = bytesOf("corvane/pair/commit");
  Bytes name = bytesOf("Büro");
  // Reserved: GCC 12 misreads the growth of a short vector as out of bounds at -O3.
  input.reserve(input.size() + key.size() + nonce.size() + name.size());
  input.insert(input.end(), key.begin(), key.end());
  input.insert(input.end(), nonce.begin(), nonce.end());
  input.insert(input.end(), name.begin(), name.end());
  EXPECT_EQ(commitDigest(key, nonce, "Büro"), sha256(input));
  EXPECT_NE(commitDigest(key, nonce, "Büro"), commitDigest(nonce, key, "Büro"));
}

TEST(PairingProtocolDigests, CodeIsTheSameForBothRolesAndDependsOnOrder) {
  Bytes a = filled(32, 1), b = filled(32, 2), na = filled(32, 3), nb = filled(32, 4);
  Bytes input = bytesOf("corvane/pair/sas");
  for (const Bytes *part : {&a, &b, &na, &nb})
    input.insert(input.end(), part->begin(), part->end());
  std::string code = shortAuthCode(a, b, na, nb);
  EXPECT_EQ(code, codeFromDigest(sha256(input)));
  EXPECT_EQ(code.size(), 6u);
  EXPECT_NE(code, shortAuthCode(b, a, nb, na));
}

TEST(PairingProtocolDigests, CodeKeepsLeadingZerosAndWrapsAtOneMillion) {
  EXPECT_EQ(codeFromDigest({0x00, 0x0F, 0x42, 0x40, 0xAA}), "000000");
  EXPECT_EQ(codeFromDigest({0xFF, 0xFF, 0xFF, 0xFF}), "967295");
  EXPECT_EQ(codeFromDigest({0x00, 0x00, 0x00, 0x2A}), "000042");
}

TEST(PairingProtocolReveal, LengthsOfKeyNonceAndName) {
  Bytes key = filled(32, 1), nonce = filled(32, 2);
  EXPECT_TRUE(isValidReveal(key, nonce, "Studio"));
  EXPECT_FALSE(isValidReveal(std::nullopt, nonce, "Studio"));
  EXPECT_FALSE(isValidReveal(filled(31, 1), nonce, "Studio"));
  EXPECT_FALSE(isValidReveal(filled(33, 1), nonce, "Studio"));
  EXPECT_FALSE(isValidReveal(key, std::nullopt, "Studio"));
  EXPECT_FALSE(isValidReveal(key, filled(31, 2), "Studio"));
  EXPECT_FALSE(isValidReveal(key, nonce, std::nullopt));
  EXPECT_FALSE(isValidReveal(key, nonce, ""));
  EXPECT_TRUE(isValidReveal(key, nonce, std::string(64, 'x')));
  EXPECT_FALSE(isValidReveal(key, nonce, std::string(65, 'x')));
  // Characters as people see them: "e" with a combining accent is one.
  EXPECT_TRUE(isValidReveal(key, nonce, repeated("e\u0301", 64)));
  EXPECT_FALSE(isValidReveal(key, nonce, repeated("e\u0301", 65)));
}

TEST(PairingProtocolReveal, OwnKeyAndOtherKindsAreRejected) {
  Reveal reveal = someReveal();
  EXPECT_EQ(acceptedReveal(revealFrame(reveal), filled(32, 9)), reveal);
  EXPECT_FALSE(acceptedReveal(revealFrame(reveal), reveal.publicKey));
  Frame other = revealFrame(reveal);
  other.kind = Frame::Kind::pairCommit;
  EXPECT_FALSE(acceptedReveal(other, filled(32, 9)));
}

TEST(PairingProtocolSteps, InitiatorFailsOnAnythingButAnAcceptedReveal) {
  Bytes own = DeviceIdentity::generate().publicKey();
  Reveal reveal = someReveal();
  EXPECT_EQ(initiatorReadsReveal(received(revealFrame(reveal)), own), reveal);
  EXPECT_EQ(initiatorReadsReveal(readError(), own).error(), unexpectedText);
  EXPECT_EQ(initiatorReadsReveal(received(confirmFrame(true)), own).error(), unexpectedText);
  Reveal echoed{own, randomBytes(32), "Echo"};
  EXPECT_EQ(initiatorReadsReveal(received(revealFrame(echoed)), own).error(), unexpectedText);
}

TEST(PairingProtocolSteps, ResponderNeedsACommitOfExactly32Bytes) {
  EXPECT_EQ(responderReadsCommit(received(commitFrame(filled(32, 7)))), filled(32, 7));
  for (std::size_t size : {0u, 31u, 33u})
    EXPECT_EQ(responderReadsCommit(received(commitFrame(filled(size, 7)))).error(), unexpectedText)
        << size;
  Frame absent;
  absent.kind = Frame::Kind::pairCommit;
  EXPECT_EQ(responderReadsCommit(received(absent)).error(), unexpectedText);
  Frame wrongKind = commitFrame(filled(32, 7));
  wrongKind.kind = Frame::Kind::pairReveal;
  EXPECT_EQ(responderReadsCommit(received(wrongKind)).error(), unexpectedText);
  EXPECT_EQ(responderReadsCommit(readError()).error(), unexpectedText);
}

TEST(PairingProtocolSteps, ResponderChecksTheRevealAgainstTheCommit) {
  Bytes own = DeviceIdentity::generate().publicKey();
  Reveal reveal = someReveal("Desk");
  Bytes commit = commitDigest(reveal.publicKey, reveal.nonce, reveal.name);
  EXPECT_EQ(responderReadsReveal(received(revealFrame(reveal)), commit, own), reveal);

  // Renamed between commit and reveal.
  Reveal renamed = reveal;
  renamed.name = "Desk 2";
  EXPECT_EQ(responderReadsReveal(received(revealFrame(renamed)), commit, own).error(),
            unverifiedText);
  Reveal otherNonce = reveal;
  otherNonce.nonce = randomBytes(32);
  EXPECT_EQ(responderReadsReveal(received(revealFrame(otherNonce)), commit, own).error(),
            unverifiedText);
  EXPECT_EQ(responderReadsReveal(readError(), commit, own).error(), unverifiedText);
  EXPECT_EQ(responderReadsReveal(received(commitFrame(commit)), commit, own).error(),
            unverifiedText);
  // A matching commit does not make the responder's own key acceptable.
  Reveal mine{own, randomBytes(32), "Me"};
  Bytes myCommit = commitDigest(mine.publicKey, mine.nonce, mine.name);
  EXPECT_EQ(responderReadsReveal(received(revealFrame(mine)), myCommit, own).error(),
            unverifiedText);
}

TEST(PairingProtocolSteps, OnlyOkTrueConfirms) {
  EXPECT_TRUE(confirmationReceived(received(confirmFrame(true))));
  EXPECT_FALSE(confirmationReceived(received(confirmFrame(false))));
  Frame noOk;
  noOk.kind = Frame::Kind::pairConfirm;
  EXPECT_FALSE(confirmationReceived(received(noOk)));
  Frame otherKind = confirmFrame(true);
  otherKind.kind = Frame::Kind::result;
  EXPECT_FALSE(confirmationReceived(received(otherKind)));
  EXPECT_FALSE(confirmationReceived(readError()));
}

TEST(PairingProtocolFrames, ConfirmationCarriesOnlyKindAndOk) {
  auto encoded = encodeFrame(confirmFrame(false));
  ASSERT_TRUE(encoded);
  auto json = nlohmann::json::parse(encoded->begin() + frameHeaderLength, encoded->end());
  EXPECT_EQ(json, nlohmann::json({{"kind", "pairConfirm"}, {"ok", false}}));
}

TEST(PairingProtocolPeer, RevealedNameIsCheckedRawButStoredCleaned) {
  Bytes own = DeviceIdentity::generate().publicKey();
  // Invisible and layout-breaking scalars, and longer than names are shown.
  std::string raw = "\u202E  Kitchen\x07 " + std::string(50, 'k');
  Reveal reveal = someReveal(raw);
  Bytes commit = commitDigest(reveal.publicKey, reveal.nonce, raw);
  auto accepted = responderReadsReveal(received(revealFrame(reveal)), commit, own);
  ASSERT_TRUE(accepted);
  PairedPeer peer = pendingPeer(*accepted, 1234.5);
  EXPECT_EQ(peer.deviceID, fingerprint(reveal.publicKey));
  EXPECT_EQ(peer.publicKey, reveal.publicKey);
  EXPECT_EQ(peer.pairedAt, 1234.5);
  EXPECT_EQ(peer.name, "Kitchen " + std::string(32, 'k'));
  EXPECT_EQ(displayName(raw), peer.name);
}

TEST(PairingProtocolPeer, NameWithNothingVisibleIsShownAsAnotherMac) {
  EXPECT_EQ(displayName("\u200B\u200E"), unknownPeerName);
  EXPECT_EQ(displayName(" \t"), unknownPeerName);
}

} // namespace
} // namespace corvane

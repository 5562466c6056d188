#include "FuzzInput.h"
#include "brimvale/foundation/Frame.h"
#include "brimvale/network/PairingProtocol.h"
#include "brimvale/platform/Unicode.h"

#include <string>

// One frame body as the other side of a pairing sends it, judged by every step that reads one.
// A reveal is only ever accepted with keys and nonces of their fixed lengths, a name within its
// limit, never carrying our own key, and (for the responder) only when it matches the commit.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  using namespace corvane;
  namespace P = PairingProtocol;
  const Bytes ownKey(P::keyLength, 0x5A);
  const auto received = decodeFrame(fuzz::bytes(data, size));

  const auto checkReveal = [&](const P::Reveal &reveal) {
    FUZZ_CHECK(reveal.publicKey.size() == P::keyLength && reveal.nonce.size() == P::nonceLength);
    FUZZ_CHECK(!reveal.name.empty() && characterCount(reveal.name) <= P::maxNameLength);
    FUZZ_CHECK(reveal.publicKey != ownKey);
    const std::string shown = P::displayName(reveal.name);
    FUZZ_CHECK(!shown.empty() && characterCount(shown) <= P::displayNameLength);
    FUZZ_CHECK(P::pendingPeer(reveal, 0).name == shown);
  };

  if (const auto reveal = P::initiatorReadsReveal(received, ownKey))
    checkReveal(*reveal);
  else
    FUZZ_CHECK(!reveal.error().empty());

  const auto commit = P::responderReadsCommit(received);
  if (commit)
    FUZZ_CHECK(commit->size() == P::commitLength);
  else
    FUZZ_CHECK(!commit.error().empty());

  // Against a commit that the frame itself would match, and against one it cannot.
  Bytes matching(P::commitLength, 0);
  if (received && received->publicKey && received->nonce && received->name)
    matching = P::commitDigest(*received->publicKey, *received->nonce, *received->name);
  for (const Bytes &expected : {matching, Bytes(P::commitLength, 0)}) {
    const auto reveal = P::responderReadsReveal(received, expected, ownKey);
    if (!reveal) {
      FUZZ_CHECK(!reveal.error().empty());
      continue;
    }
    checkReveal(*reveal);
    FUZZ_CHECK(P::commitDigest(reveal->publicKey, reveal->nonce, reveal->name) == expected);
  }

  if (P::confirmationReceived(received))
    FUZZ_CHECK(received->kind == Frame::Kind::pairConfirm && received->ok == true);

  // The name as shown, whatever the frame said.
  if (received && received->name) {
    const std::string shown = P::displayName(*received->name);
    FUZZ_CHECK(!shown.empty() && characterCount(shown) <= P::displayNameLength);
  }
  return 0;
}

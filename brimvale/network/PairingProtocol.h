#pragma once

#include "brimvale/foundation/Frame.h"
#include "brimvale/foundation/PairedPeerStore.h"
#include "brimvale/platform/Bytes.h"
#include "brimvale/platform/Clock.h"

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// The commit-and-reveal exchange by which two machines that never met learn each other's
// public key, and the six-digit code their users compare so that no third machine can sit in
// between unseen. Pure functions; the coordinator does the reading and sending.
namespace PairingProtocol {

inline constexpr std::size_t keyLength = 32;
inline constexpr std::size_t nonceLength = 32;
inline constexpr std::size_t commitLength = 32;
// Counted in user-perceived characters.
inline constexpr std::size_t maxNameLength = 64;
// Revealed names are stored and shown at the length of names in services frames.
inline constexpr int displayNameLength = 40;

inline constexpr const char *unexpectedText = "The other Mac sent something unexpected. Try again.";
inline constexpr const char *unverifiedText = "Pairing could not be verified. Try again.";
inline constexpr const char *cancelledText = "The other Mac cancelled pairing.";
// Shown for a caller not yet known, and for a revealed name with nothing visible in it.
inline constexpr const char *unknownPeerName = "another Mac";

// What one side reveals of itself; `name` exactly as it came, since the commit covers it.
struct Reveal {
  Bytes publicKey;
  Bytes nonce;
  std::string name;
  bool operator==(const Reveal &) const = default;
};

// SHA-256 of "corvane/pair/commit" || publicKey || nonce || UTF-8 name.
Bytes commitDigest(const Bytes &publicKey, const Bytes &nonce, std::string_view name);

// Arguments by role, not as own and peer's, so that both sides compute the same code.
std::string shortAuthCode(const Bytes &initiatorPublicKey, const Bytes &responderPublicKey,
                          const Bytes &initiatorNonce, const Bytes &responderNonce);
// The first four bytes, big-endian, modulo 10^6, as six digits; "000000" for fewer than four.
std::string codeFromDigest(const Bytes &digest);

bool isValidReveal(const std::optional<Bytes> &publicKey, const std::optional<Bytes> &nonce,
                   const std::optional<std::string> &name);

// A `pairReveal` that is valid and does not carry the receiver's own key.
std::optional<Reveal> acceptedReveal(const Frame &frame, const Bytes &ownPublicKey);

Frame commitFrame(Bytes commit);
Frame revealFrame(const Reveal &reveal);
Frame confirmFrame(bool ok);

// Each step's judgement of the one frame it read: the value to go on with, or the sentence
// that ends the attempt.
std::expected<Reveal, std::string>
initiatorReadsReveal(const std::expected<Frame, ChannelError> &received, const Bytes &ownPublicKey);
std::expected<Bytes, std::string>
responderReadsCommit(const std::expected<Frame, ChannelError> &received);
std::expected<Reveal, std::string>
responderReadsReveal(const std::expected<Frame, ChannelError> &received, const Bytes &commit,
                     const Bytes &ownPublicKey);
// True only for a `pairConfirm` with `ok` true; anything else means the other side gave up.
bool confirmationReceived(const std::expected<Frame, ChannelError> &received);

// The revealed name as it may be shown and stored; never empty.
std::string displayName(std::string_view revealedName);
// The peer to store once both users confirm.
PairedPeer pendingPeer(const Reveal &reveal, Date pairedAt);

} // namespace PairingProtocol

} // namespace corvane

#include "brimvale/network/PairingProtocol.h"

#include "brimvale/foundation/DeviceIdentity.h"
#include "brimvale/foundation/DisplayText.h"
#include "brimvale/platform/Crypto.h"
#include "brimvale/platform/Unicode.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <span>

namespace corvane::PairingProtocol {

namespace {

constexpr std::string_view commitLabel = "corvane/pair/commit";
constexpr std::string_view codeLabel = "corvane/pair/sas";

std::span<const std::uint8_t> bytesIn(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t *>(text.data()), text.size()};
}

// One buffer sized up front and filled: GCC 12 misreads appends to a fresh vector as overflows.
Bytes concatenated(std::initializer_list<std::span<const std::uint8_t>> parts) {
  std::size_t size = 0;
  for (const auto part : parts)
    size += part.size();
  Bytes out(size);
  auto at = out.begin();
  for (const auto part : parts)
    at = std::copy(part.begin(), part.end(), at);
  return out;
}

} // namespace

Bytes commitDigest(const Bytes &publicKey, const Bytes &nonce, std::string_view name) {
  return sha256(concatenated({bytesIn(commitLabel), publicKey, nonce, bytesIn(name)}));
}

std::string shortAuthCode(const Bytes &initiatorPublicKey, const Bytes &responderPublicKey,
                          const Bytes &initiatorNonce, const Bytes &responderNonce) {
  return codeFromDigest(sha256(concatenated({bytesIn(codeLabel), initiatorPublicKey,
                                             responderPublicKey, initiatorNonce, responderNonce})));
}

std::string codeFromDigest(const Bytes &digest) {
  std::uint32_t value = 0;
  if (digest.size() >= 4)
    value = (std::uint32_t{digest[0]} << 24) | (std::uint32_t{digest[1]} << 16) |
            (std::uint32_t{digest[2]} << 8) | std::uint32_t{digest[3]};
  char text[8];
  std::snprintf(text, sizeof text, "%06u", static_cast<unsigned>(value % 1000000u));
  return text;
}

bool isValidReveal(const std::optional<Bytes> &publicKey, const std::optional<Bytes> &nonce,
                   const std::optional<std::string> &name) {
  if (!publicKey || publicKey->size() != keyLength)
    return false;
  if (!nonce || nonce->size() != nonceLength)
    return false;
  if (!name || name->empty())
    return false;
  return characterCount(*name) <= maxNameLength;
}

std::optional<Reveal> acceptedReveal(const Frame &frame, const Bytes &ownPublicKey) {
  if (frame.kind != Frame::Kind::pairReveal)
    return std::nullopt;
  if (!isValidReveal(frame.publicKey, frame.nonce, frame.name))
    return std::nullopt;
  // A machine cannot pair with itself, nor with something that echoes its own key back.
  if (*frame.publicKey == ownPublicKey)
    return std::nullopt;
  return Reveal{*frame.publicKey, *frame.nonce, *frame.name};
}

Frame commitFrame(Bytes commit) {
  Frame frame;
  frame.kind = Frame::Kind::pairCommit;
  frame.commit = std::move(commit);
  return frame;
}

Frame revealFrame(const Reveal &reveal) {
  Frame frame;
  frame.kind = Frame::Kind::pairReveal;
  frame.nonce = reveal.nonce;
  frame.name = reveal.name;
  frame.publicKey = reveal.publicKey;
  return frame;
}

Frame confirmFrame(bool ok) {
  Frame frame;
  frame.kind = Frame::Kind::pairConfirm;
  frame.ok = ok;
  return frame;
}

std::expected<Reveal, std::string>
initiatorReadsReveal(const std::expected<Frame, ChannelError> &received,
                     const Bytes &ownPublicKey) {
  if (!received)
    return std::unexpected(unexpectedText);
  auto reveal = acceptedReveal(*received, ownPublicKey);
  if (!reveal)
    return std::unexpected(unexpectedText);
  return *reveal;
}

std::expected<Bytes, std::string>
responderReadsCommit(const std::expected<Frame, ChannelError> &received) {
  if (!received || received->kind != Frame::Kind::pairCommit || !received->commit ||
      received->commit->size() != commitLength)
    return std::unexpected(unexpectedText);
  return *received->commit;
}

std::expected<Reveal, std::string>
responderReadsReveal(const std::expected<Frame, ChannelError> &received, const Bytes &commit,
                     const Bytes &ownPublicKey) {
  if (!received)
    return std::unexpected(unverifiedText);
  auto reveal = acceptedReveal(*received, ownPublicKey);
  if (!reveal || commitDigest(reveal->publicKey, reveal->nonce, reveal->name) != commit)
    return std::unexpected(unverifiedText);
  return *reveal;
}

bool confirmationReceived(const std::expected<Frame, ChannelError> &received) {
  return received && received->kind == Frame::Kind::pairConfirm && received->ok == true;
}

std::string displayName(std::string_view revealedName) {
  auto cleaned = cleanDisplayText(revealedName, displayNameLength);
  return cleaned.empty() ? std::string(unknownPeerName) : cleaned;
}

PairedPeer pendingPeer(const Reveal &reveal, Date pairedAt) {
  return PairedPeer{fingerprint(reveal.publicKey), displayName(reveal.name), reveal.publicKey,
                    pairedAt};
}

} // namespace corvane::PairingProtocol

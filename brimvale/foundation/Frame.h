#pragma once

#include "brimvale/foundation/ShareModel.h"
#include "brimvale/platform/Bytes.h"
#include "brimvale/platform/NetworkError.h"

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace corvane {

class Connection;

// One share as announced to paired Macs.
struct SharedServiceInfo {
  std::string id;
  std::string name;
  int port = 0;
  bool running = false;
  std::string category; // raw value of ExposedService::ServiceCategory
  std::optional<std::string> version;
  std::optional<std::string> environment;
  std::optional<std::string> health; // "not responding" when the last check found no answer
  std::optional<ShareHints> hints;

  bool operator==(const SharedServiceInfo &) const = default;
};

// For the generic field readers of Json.h: required and optional keys as announced.
bool decodeJson(const Json &value, SharedServiceInfo &out);
// Optional keys are left out when absent; also how the settings record keeps known services.
Json encodeSharedServiceInfo(const SharedServiceInfo &service);

// One message of the peer protocol: a JSON object behind a 4-byte big-endian length.
struct Frame {
  enum class Kind {
    challenge,
    hello,
    services,
    result,
    ping,
    pong,
    pairCommit,
    pairReveal,
    pairConfirm,
    unpaired
  };
  enum class Mode { control, open };

  Kind kind = Kind::ping;
  std::optional<Bytes> nonce;
  std::optional<std::string> deviceID;
  std::optional<Bytes> mac;
  std::optional<Mode> mode;
  std::optional<std::string> serviceID;
  std::optional<std::vector<SharedServiceInfo>> services;
  std::optional<std::string> name;
  std::optional<bool> ok;
  std::optional<std::string> error;
  std::optional<Bytes> commit;
  std::optional<Bytes> publicKey;
  std::optional<std::vector<std::string>> hardware;

  bool operator==(const Frame &) const = default;
};

std::string_view rawValue(Frame::Kind kind);
std::string_view rawValue(Frame::Mode mode);
std::optional<Frame::Kind> frameKindFromRaw(std::string_view raw);
std::optional<Frame::Mode> frameModeFromRaw(std::string_view raw);

// The failures of the wire layer and of the secure channel's handshake.
struct WireError {
  enum class Kind { rejected, frameTooLarge, malformed, closed, unexpected, timeout, stalled };

  Kind kind = Kind::malformed;
  std::string text; // the gateway's reason, for `rejected` only
  // For `frameTooLarge`: the header announced no body at all rather than too much of one.
  bool empty = false;

  static WireError rejected(std::string text) { return {Kind::rejected, std::move(text)}; }
  static WireError frameTooLarge() { return {Kind::frameTooLarge, {}}; }
  static WireError emptyFrame() { return {Kind::frameTooLarge, {}, true}; }
  static WireError malformed() { return {Kind::malformed, {}}; }
  static WireError closed() { return {Kind::closed, {}}; }
  static WireError unexpected() { return {Kind::unexpected, {}}; }
  static WireError timeout() { return {Kind::timeout, {}}; }
  // A frame began to arrive and the rest did not follow in time.
  static WireError stalled() { return {Kind::stalled, {}}; }

  // For logs: "rejected: not shared", "frame too large", …
  std::string description() const;

  bool operator==(const WireError &) const = default;
};

// What a read, a send or a handshake on a connection can fail with.
using ChannelError = std::variant<WireError, NetworkError>;

std::string describe(const ChannelError &error);

// Largest JSON body of one frame; the length prefix must lie in 1...maxFrameLength.
inline constexpr std::size_t maxFrameLength = 65536;
inline constexpr std::size_t frameHeaderLength = 4;
// Once the first byte of a frame is in, the rest must follow within this long. A sender that
// starts a frame and stops would otherwise hold the connection and its buffers for ever.
inline constexpr double frameCompletionDeadline = 10.0;

// Length prefix and JSON; `frameTooLarge` when the JSON exceeds maxFrameLength.
std::expected<Bytes, WireError> encodeFrame(const Frame &frame);

// The body length a header announces: `malformed` unless exactly 4 bytes, `frameTooLarge`
// unless 1...maxFrameLength (emptyFrame() for 0).
std::expected<std::size_t, WireError> parseFrameLength(const Bytes &header);

// A frame from the result of a body read; a failed read passes through, anything that is not
// a decodable frame is `malformed`.
std::expected<Frame, ChannelError> decodeFrame(const std::expected<Bytes, ChannelError> &body);

using SendFrameCompletion = std::function<void(std::optional<ChannelError> error)>;
using ReceiveExactlyCompletion = std::function<void(std::expected<Bytes, ChannelError> result)>;
using ReceiveFrameCompletion = std::function<void(std::expected<Frame, ChannelError> result)>;

// Encodes and sends one frame in a single send. When the frame cannot be encoded nothing is
// sent, the error is returned and `completion` is not called; otherwise `completion` (if any)
// is called once with the send's outcome, on the connection's queue.
[[nodiscard]] std::expected<void, WireError>
sendFrame(const std::shared_ptr<Connection> &connection, const Frame &frame,
          SendFrameCompletion completion = nullptr);

// One read of exactly `count` bytes (count ≥ 1). Fewer bytes without a network error is
// `closed`. The completion is called once, on the connection's queue.
void receiveExactly(const std::shared_ptr<Connection> &connection, std::size_t count,
                    ReceiveExactlyCompletion completion);

// Reads one frame (header, then body). The completion is called once, on the connection's
// queue. The wait for the frame's first byte is unbounded (idle time between frames is the
// protocol's to bound); once it is in, the rest must arrive within `completionDeadline`
// seconds, or the connection is cancelled, that is logged, and the read fails with `stalled`.
void receiveFrame(const std::shared_ptr<Connection> &connection, ReceiveFrameCompletion completion,
                  double completionDeadline = frameCompletionDeadline);

} // namespace corvane

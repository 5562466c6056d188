#pragma once

#include "brimvale/foundation/Frame.h"
#include "brimvale/foundation/PairKeys.h"
#include "brimvale/platform/Bytes.h"
#include "brimvale/platform/Endpoint.h"
#include "brimvale/platform/Parameters.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

class Connection;
class SerialQueue;
class TlsContext;

// TLS with pre-shared keys between paired Macs, and the client half of the application
// handshake that follows it.
namespace SecureChannel {

struct PSK {
  std::string identity; // device identifier of the connecting Mac
  Bytes key;            // the pair's psk, 32 bytes

  bool operator==(const PSK &) const = default;
};

inline constexpr std::uint16_t ecdhePskWithChaCha20Poly1305Sha256 = 0xCCAC;
inline constexpr std::uint16_t pskWithAes256GcmSha384 = 0x00A9;
// What every caller offers, in order of preference.
inline constexpr std::array<std::uint16_t, 2> cipherSuites{ecdhePskWithChaCha20Poly1305Sha256,
                                                           pskWithAes256GcmSha384};

inline constexpr std::uint16_t minimumTlsVersion = 0x0303; // TLS 1.2
inline constexpr int keepAliveIdleSeconds = 30;
// A paired machine that has answered nothing on its control link for this long has gone
// without a word (its Wi-Fi off, its lid closed), and its streams end with a reset on both
// machines. A ping goes every few seconds, so a moment out of reach (20 s or so) stays far
// below it, and the end comes well within 90 s of the last answer; a stream's own socket can
// not tell, as a reader that merely pauses looks the same there.
inline constexpr double silenceLimit = 60.0;
// How long a client waits for the handshake (TLS, challenge, hello, verdict) to finish.
inline constexpr double handshakeTimeout = 10.0;
inline constexpr std::size_t challengeNonceLength = 32;

// TLS over TCP with these keys (in order) and suites, TLS 1.2 at least, keep-alive and
// no-delay on.
Parameters secureParameters(const std::vector<PSK> &keys, const std::vector<std::uint16_t> &suites);

using OpenCompletion =
    std::function<void(std::expected<std::shared_ptr<Connection>, ChannelError> result)>;

// Connects to a paired Mac's gateway, answers its challenge with a hello for `mode` (naming
// `serviceID` in open mode) and, in open mode, waits for the verdict. The completion is called
// exactly once, on `queue`: with the ready connection, whose state handling and further reads
// the caller then takes over, or with the failure, the connection then cancelled.
// `context`, when given, is the client TLS context of these keys (clientContext), shared by
// every connection made with it instead of one made per connection.
void openClient(const Endpoint &endpoint, const PairKeys &keys, const std::string &deviceID,
                Frame::Mode mode, const std::optional<std::string> &serviceID,
                std::shared_ptr<SerialQueue> queue, OpenCompletion completion,
                double timeout = handshakeTimeout, std::shared_ptr<TlsContext> context = nullptr);

// The client TLS context for connecting as `deviceID` with `keys`; made once per pair and
// reused, because making one costs more than a handshake.
std::expected<std::shared_ptr<TlsContext>, NetworkError> clientContext(const PairKeys &keys,
                                                                       const std::string &deviceID);

} // namespace SecureChannel

} // namespace corvane

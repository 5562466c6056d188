#include "brimvale/foundation/Frame.h"

#include "brimvale/platform/Connection.h"
#include "brimvale/platform/Logger.h"
#include "brimvale/platform/SerialQueue.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <utility>

namespace corvane {

// Found by the generic list reader of Json.h.
bool decodeJson(const Json &object, SharedServiceInfo &out) {
  if (!object.is_object())
    return false;
  auto id = requiredField<std::string>(object, "id");
  auto name = requiredField<std::string>(object, "name");
  auto port = requiredField<int>(object, "port");
  auto running = requiredField<bool>(object, "running");
  auto category = requiredField<std::string>(object, "category");
  auto version = optionalField<std::string>(object, "version");
  auto environment = optionalField<std::string>(object, "environment");
  auto health = optionalField<std::string>(object, "health");
  auto hints = optionalField<ShareHints>(object, "hints");
  if (!id || !name || !port || !running || !category || !version || !environment || !health ||
      !hints)
    return false;
  out = SharedServiceInfo{std::move(*id),
                          std::move(*name),
                          *port,
                          *running,
                          std::move(*category),
                          std::move(*version),
                          std::move(*environment),
                          std::move(*health),
                          std::move(*hints)};
  return true;
}

Json encodeSharedServiceInfo(const SharedServiceInfo &service) {
  Json object = Json::object();
  object["id"] = service.id;
  object["name"] = service.name;
  object["port"] = service.port;
  object["running"] = service.running;
  object["category"] = service.category;
  putOptional(object, "version", service.version);
  putOptional(object, "environment", service.environment);
  putOptional(object, "health", service.health);
  putOptional(object, "hints", service.hints, encodeShareHints);
  return object;
}

namespace {

using json = Json;

constexpr std::array<std::pair<Frame::Kind, std::string_view>, 10> kindNames{{
    {Frame::Kind::challenge, "challenge"},
    {Frame::Kind::hello, "hello"},
    {Frame::Kind::services, "services"},
    {Frame::Kind::result, "result"},
    {Frame::Kind::ping, "ping"},
    {Frame::Kind::pong, "pong"},
    {Frame::Kind::pairCommit, "pairCommit"},
    {Frame::Kind::pairReveal, "pairReveal"},
    {Frame::Kind::pairConfirm, "pairConfirm"},
    {Frame::Kind::unpaired, "unpaired"},
}};

constexpr std::array<std::pair<Frame::Mode, std::string_view>, 2> modeNames{{
    {Frame::Mode::control, "control"},
    {Frame::Mode::open, "open"},
}};

// --- encoding ---

void putBytes(json &object, const char *key, const std::optional<Bytes> &value) {
  putOptional(object, key, value, encodeBase64);
}

json frameObject(const Frame &frame) {
  json object = json::object();
  object["kind"] = std::string(rawValue(frame.kind));
  putBytes(object, "nonce", frame.nonce);
  putOptional(object, "deviceID", frame.deviceID);
  putBytes(object, "mac", frame.mac);
  if (frame.mode)
    object["mode"] = std::string(rawValue(*frame.mode));
  putOptional(object, "serviceID", frame.serviceID);
  if (frame.services) {
    json list = json::array();
    for (const auto &service : *frame.services)
      list.push_back(encodeSharedServiceInfo(service));
    object["services"] = std::move(list);
  }
  putOptional(object, "name", frame.name);
  putOptional(object, "ok", frame.ok);
  putOptional(object, "error", frame.error);
  putBytes(object, "commit", frame.commit);
  putBytes(object, "publicKey", frame.publicKey);
  putOptional(object, "hardware", frame.hardware);
  return object;
}

// --- decoding: null counts as absent, a value of the wrong type fails the frame ---

bool readBytes(const json &object, const char *key, std::optional<Bytes> &out) {
  auto text = optionalField<std::string>(object, key);
  if (!text)
    return false;
  if (!*text)
    return true;
  out = decodeBase64(**text);
  return out.has_value();
}

template <typename T> bool read(const json &object, const char *key, std::optional<T> &out) {
  auto value = optionalField<T>(object, key);
  if (!value)
    return false;
  out = std::move(*value);
  return true;
}

template <typename T> bool require(const json &object, const char *key, T &out) {
  auto value = requiredField<T>(object, key);
  if (!value)
    return false;
  out = std::move(*value);
  return true;
}

std::optional<Frame> decodeFrameObject(const json &object) {
  if (!object.is_object())
    return std::nullopt;
  Frame frame;

  std::string kind;
  if (!require(object, "kind", kind))
    return std::nullopt;
  auto parsedKind = frameKindFromRaw(kind);
  if (!parsedKind)
    return std::nullopt;
  frame.kind = *parsedKind;

  std::optional<std::string> mode;
  if (!read(object, "mode", mode))
    return std::nullopt;
  if (mode) {
    frame.mode = frameModeFromRaw(*mode);
    if (!frame.mode)
      return std::nullopt;
  }

  bool ok = readBytes(object, "nonce", frame.nonce) && read(object, "deviceID", frame.deviceID) &&
            readBytes(object, "mac", frame.mac) && read(object, "serviceID", frame.serviceID) &&
            read(object, "services", frame.services) && read(object, "name", frame.name) &&
            read(object, "ok", frame.ok) && read(object, "error", frame.error) &&
            readBytes(object, "commit", frame.commit) &&
            readBytes(object, "publicKey", frame.publicKey) &&
            read(object, "hardware", frame.hardware);
  if (!ok)
    return std::nullopt;
  return frame;
}

} // namespace

std::string_view rawValue(Frame::Kind kind) {
  for (const auto &[value, name] : kindNames)
    if (value == kind)
      return name;
  return {};
}

std::string_view rawValue(Frame::Mode mode) {
  for (const auto &[value, name] : modeNames)
    if (value == mode)
      return name;
  return {};
}

std::optional<Frame::Kind> frameKindFromRaw(std::string_view raw) {
  for (const auto &[value, name] : kindNames)
    if (name == raw)
      return value;
  return std::nullopt;
}

std::optional<Frame::Mode> frameModeFromRaw(std::string_view raw) {
  for (const auto &[value, name] : modeNames)
    if (name == raw)
      return value;
  return std::nullopt;
}

std::string WireError::description() const {
  switch (kind) {
  case Kind::rejected: return "rejected: " + text;
  case Kind::frameTooLarge: return empty ? "empty frame" : "frame too large";
  case Kind::malformed: return "malformed frame";
  case Kind::closed: return "connection closed";
  case Kind::unexpected: return "unexpected handshake";
  case Kind::timeout: return "handshake timed out";
  case Kind::stalled: return "frame not completed in time";
  }
  return "unknown wire error";
}

std::string describe(const ChannelError &error) {
  if (const auto *wire = std::get_if<WireError>(&error))
    return wire->description();
  return std::get<NetworkError>(error).localizedDescription();
}

std::expected<Bytes, WireError> encodeFrame(const Frame &frame) {
  // Text that is not valid UTF-8 (a name read from a file, say) is sent with replacement
  // characters instead of failing the whole frame.
  std::string text = dumpJson(frameObject(frame));
  if (text.size() > maxFrameLength)
    return std::unexpected(WireError::frameTooLarge());
  auto length = static_cast<std::uint32_t>(text.size());
  Bytes bytes;
  bytes.reserve(frameHeaderLength + text.size());
  bytes.push_back(static_cast<std::uint8_t>(length >> 24));
  bytes.push_back(static_cast<std::uint8_t>(length >> 16));
  bytes.push_back(static_cast<std::uint8_t>(length >> 8));
  bytes.push_back(static_cast<std::uint8_t>(length));
  bytes.insert(bytes.end(), text.begin(), text.end());
  return bytes;
}

std::expected<std::size_t, WireError> parseFrameLength(const Bytes &header) {
  if (header.size() != frameHeaderLength)
    return std::unexpected(WireError::malformed());
  std::uint32_t length = (std::uint32_t{header[0]} << 24) | (std::uint32_t{header[1]} << 16) |
                         (std::uint32_t{header[2]} << 8) | std::uint32_t{header[3]};
  if (length == 0)
    return std::unexpected(WireError::emptyFrame());
  if (length > maxFrameLength)
    return std::unexpected(WireError::frameTooLarge());
  return static_cast<std::size_t>(length);
}

std::expected<Frame, ChannelError> decodeFrame(const std::expected<Bytes, ChannelError> &body) {
  if (!body)
    return std::unexpected(body.error());
  auto object = parseJson(*body);
  if (!object)
    return std::unexpected(WireError::malformed());
  auto frame = decodeFrameObject(*object);
  if (!frame)
    return std::unexpected(WireError::malformed());
  return std::move(*frame);
}

std::expected<void, WireError> sendFrame(const std::shared_ptr<Connection> &connection,
                                         const Frame &frame, SendFrameCompletion completion) {
  auto bytes = encodeFrame(frame);
  if (!bytes)
    return std::unexpected(bytes.error());
  connection->send(std::move(*bytes),
                   [completion = std::move(completion)](std::optional<NetworkError> error) {
                     if (!completion)
                       return;
                     if (error)
                       completion(ChannelError{std::move(*error)});
                     else
                       completion(std::nullopt);
                   });
  return {};
}

void receiveExactly(const std::shared_ptr<Connection> &connection, std::size_t count,
                    ReceiveExactlyCompletion completion) {
  connection->receive(count, count,
                      [count, completion = std::move(completion)](
                          Bytes data, bool /*isComplete*/, std::optional<NetworkError> error) {
                        if (data.size() == count)
                          completion(std::move(data));
                        else if (error)
                          completion(std::unexpected(ChannelError{std::move(*error)}));
                        else
                          completion(std::unexpected(ChannelError{WireError::closed()}));
                      });
}

namespace {

// The deadline of one frame that has begun to arrive.
struct FrameDeadline {
  WorkItem timer;
  std::atomic<bool> expired{false};
};

std::shared_ptr<FrameDeadline> armFrameDeadline(const std::shared_ptr<Connection> &connection,
                                                double seconds) {
  auto deadline = std::make_shared<FrameDeadline>();
  auto queue = connection->queue();
  if (!queue)
    return deadline;
  std::weak_ptr<Connection> weak = connection;
  deadline->timer = queue->postAfter(seconds, [weak, deadline, seconds] {
    auto connection = weak.lock();
    if (!connection)
      return;
    deadline->expired = true;
    const auto remote = connection->remoteEndpoint();
    char limit[32];
    std::snprintf(limit, sizeof limit, "%g", seconds);
    Logger::net().notice("Closed the connection " +
                         (remote ? "with " + remote->description() : std::string("of a peer")) +
                         ": a frame did not arrive in full within " + limit + " s");
    // The pending read completes with the cancellation, reported as `stalled`.
    connection->cancel();
  });
  return deadline;
}

// The rest of a frame whose first `header` bytes are in.
void receiveRest(const std::shared_ptr<Connection> &connection, Bytes header,
                 ReceiveFrameCompletion completion) {
  std::weak_ptr<Connection> weak = connection;
  auto body = [weak, completion](Bytes header) mutable {
    auto length = parseFrameLength(header);
    if (!length) {
      completion(std::unexpected(ChannelError{length.error()}));
      return;
    }
    auto connection = weak.lock();
    if (!connection) {
      completion(std::unexpected(ChannelError{WireError::closed()}));
      return;
    }
    receiveExactly(connection, *length,
                   [completion = std::move(completion)](std::expected<Bytes, ChannelError> body) {
                     completion(decodeFrame(body));
                   });
  };
  if (header.size() >= frameHeaderLength) {
    body(std::move(header));
    return;
  }
  receiveExactly(connection, frameHeaderLength - header.size(),
                 [header = std::move(header), body = std::move(body),
                  completion](std::expected<Bytes, ChannelError> more) mutable {
                   if (!more) {
                     completion(std::unexpected(std::move(more.error())));
                     return;
                   }
                   header.insert(header.end(), more->begin(), more->end());
                   body(std::move(header));
                 });
}

} // namespace

void receiveFrame(const std::shared_ptr<Connection> &connection, ReceiveFrameCompletion completion,
                  double completionDeadline) {
  // The later reads need the connection again; hold it only weakly so that a pending read
  // does not keep a dropped connection alive.
  std::weak_ptr<Connection> weak = connection;
  connection->receive(
      1, frameHeaderLength,
      [weak, completionDeadline, completion = std::move(completion)](
          Bytes first, bool /*isComplete*/, std::optional<NetworkError> error) mutable {
        if (first.empty()) {
          if (error)
            completion(std::unexpected(ChannelError{std::move(*error)}));
          else
            completion(std::unexpected(ChannelError{WireError::closed()}));
          return;
        }
        auto connection = weak.lock();
        if (!connection) {
          completion(std::unexpected(ChannelError{WireError::closed()}));
          return;
        }
        auto deadline = armFrameDeadline(connection, completionDeadline);
        receiveRest(connection, std::move(first),
                    [deadline, completion = std::move(completion)](
                        std::expected<Frame, ChannelError> result) {
                      deadline->timer.cancel();
                      if (!result && deadline->expired)
                        result = std::unexpected(ChannelError{WireError::stalled()});
                      completion(std::move(result));
                    });
      });
}

} // namespace corvane

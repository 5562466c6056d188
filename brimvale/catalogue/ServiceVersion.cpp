#include "brimvale/catalogue/ServiceVersion.h"

#include "brimvale/catalogue/KnownServices.h"
#include "brimvale/platform/Unicode.h"

#include <algorithm>
#include <array>
#include <asio/post.hpp>
#include <asio/write.hpp>
#include <memory>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace corvane::ServiceVersion {

namespace {

constexpr std::size_t receiveChunkBytes = 4096;
constexpr double probeTimeout = 2.0;
constexpr double detectListenTimeout = 0.3;
constexpr double detectHTTPTimeout = 1.0;
constexpr double detectRedisTimeout = 0.5;
constexpr std::size_t productNameCharacters = 24;
// Longest value of a server-properties field that can be a product or a version.
constexpr std::uint32_t maxAMQPFieldBytes = 64;

using Completion = std::function<void(std::optional<std::string>)>;

Bytes bytes(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

std::string_view view(const Bytes &data, std::size_t limit = SIZE_MAX) {
  return {reinterpret_cast<const char *>(data.data()), std::min(data.size(), limit)};
}

// Reply text with invalid UTF-8 replaced, from at most `limit` bytes.
std::string decode(const Bytes &data, std::size_t limit = SIZE_MAX) {
  return validUTF8(view(data, limit));
}

std::string decode(std::string_view data) {
  return validUTF8(data);
}

bool beginsWith(const Bytes &data, std::string_view prefix) {
  return view(data).starts_with(prefix);
}

bool contains(const Bytes &data, std::string_view needle) {
  return view(data).find(needle) != std::string_view::npos;
}

bool isNumeric(char32_t scalar) {
  auto category = generalCategory(scalar);
  return category == GeneralCategory::decimalNumber || category == GeneralCategory::letterNumber ||
         category == GeneralCategory::otherNumber;
}

std::string utf8Of(const std::vector<char32_t> &scalars, std::size_t from, std::size_t to) {
  std::string out;
  for (std::size_t index = from; index < to; ++index)
    appendUTF8(out, scalars[index]);
  return out;
}

std::uint32_t bigEndian32(const std::uint8_t *at) {
  return (std::uint32_t{at[0]} << 24) | (std::uint32_t{at[1]} << 16) | (std::uint32_t{at[2]} << 8) |
         std::uint32_t{at[3]};
}

void appendLittle32(Bytes &out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void appendBig32(Bytes &out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void appendText(Bytes &out, std::string_view text) {
  out.insert(out.end(), text.begin(), text.end());
}

// ECMAScript \s over single bytes.
bool isSpaceByte(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isVersionByte(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.' ||
         c == '+' || c == '-';
}

// The first match of `"key"\s*:\s*"v?([0-9][0-9A-Za-z.+-]*)"` in `text`, capture group 1.
// Matched by hand because the pattern is deterministic from its literal start, and a regex
// engine that recurses per repeated character must not run over a peer's unbounded digits.
std::optional<std::string> matchJSONVersionField(std::string_view text, std::string_view key) {
  std::string quoted = "\"" + std::string(key) + "\"";
  for (std::size_t start = text.find(quoted); start != std::string_view::npos;
       start = text.find(quoted, start + 1)) {
    std::size_t at = start + quoted.size();
    while (at < text.size() && isSpaceByte(text[at]))
      ++at;
    if (at >= text.size() || text[at] != ':')
      continue;
    ++at;
    while (at < text.size() && isSpaceByte(text[at]))
      ++at;
    if (at >= text.size() || text[at] != '"')
      continue;
    ++at;
    if (at < text.size() && text[at] == 'v')
      ++at;
    if (at >= text.size() || text[at] < '0' || text[at] > '9')
      continue;
    std::size_t first = at;
    while (at < text.size() && isVersionByte(text[at]))
      ++at;
    if (at >= text.size() || text[at] != '"')
      continue;
    return std::string(text.substr(first, at - first));
  }
  return std::nullopt;
}

std::vector<std::string_view> splitDroppingEmpty(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(separator, start);
    if (end == std::string_view::npos)
      end = text.size();
    if (end > start)
      pieces.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return pieces;
}

std::string asciiLower(std::string_view text) {
  std::string out(text);
  for (char &c : out)
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// One exchange's state; every callback runs on its attempt's strand.
struct Exchange : std::enable_shared_from_this<Exchange> {
  std::shared_ptr<ProbeAttempt> attempt;
  std::optional<Bytes> request;
  Done done;
  std::function<void(std::optional<Bytes>)> completion;
  Bytes buffer;
  std::array<std::uint8_t, receiveChunkBytes> chunk{};

  void connected(std::error_code error) {
    if (error) {
      complete();
      return;
    }
    if (!request) {
      receive();
      return;
    }
    asio::async_write(attempt->socket(), asio::buffer(*request),
                      [self = shared_from_this()](std::error_code error, std::size_t) {
                        if (self->attempt->finished())
                          return;
                        if (error)
                          self->complete();
                        else
                          self->receive();
                      });
  }

  void receive() {
    // Never asks beyond the reply limit, so a reply handed back holds at most maxReplyBytes.
    std::size_t wanted = std::min(receiveChunkBytes, maxReplyBytes - buffer.size());
    attempt->socket().async_read_some(
        asio::buffer(chunk.data(), wanted),
        [self = shared_from_this()](std::error_code error, std::size_t count) {
          if (self->attempt->finished())
            return;
          self->buffer.insert(self->buffer.end(), self->chunk.begin(),
                              self->chunk.begin() + static_cast<std::ptrdiff_t>(count));
          if (error || self->buffer.size() >= maxReplyBytes ||
              (self->done && self->done(self->buffer)))
            self->complete();
          else
            self->receive();
        });
  }

  void complete() {
    if (!attempt->finish())
      return;
    auto handler = std::move(completion);
    if (buffer.empty())
      handler(std::nullopt);
    else
      handler(std::move(buffer));
  }
};

struct KindProbe {
  std::optional<Bytes> request;
  std::function<std::optional<std::string>(const Bytes &)> reader;
  Done earlyStop; // besides the reader finding a version
};

KindProbe versionProbe(const Kind &kind) {
  using Case = Kind::Case;
  switch (kind.which()) {
  case Case::json: {
    auto key = kind.key();
    auto label = kind.label();
    return {makeJSONRequest(kind.path()),
            [key, label](const Bytes &reply) { return readJSONVersion(reply, key, label, true); },
            nullptr};
  }
  case Case::postgres:
    return {makePostgresStartup(loginUserName()), readPostgresVersion,
            [](const Bytes &reply) { return !reply.empty() && reply[0] == 'E'; }};
  case Case::redis:
    return {bytes("INFO server\r\n"), readRedisVersion,
            [](const Bytes &reply) { return !reply.empty() && reply[0] == '-'; }};
  case Case::mysql: return {std::nullopt, readMySQLVersion, nullptr};
  case Case::http:
    return {httpHeadRequest(), readHTTPServer,
            [](const Bytes &reply) { return contains(reply, "\r\n\r\n"); }};
  case Case::amqp: return {amqpProtocolHeader(), readAMQPVersion, nullptr};
  case Case::mongo: return {makeMongoBuildInfo(), readMongoVersion, nullptr};
  case Case::memcached: return {bytes("version\r\n"), readMemcachedVersion, nullptr};
  case Case::nats: return {std::nullopt, readNATSVersion, nullptr};
  case Case::mssql: return {sqlServerPrelogin(), readSQLServerVersion, nullptr};
  }
  return {std::nullopt, [](const Bytes &) { return std::optional<std::string>(); }, nullptr};
}

struct KindCheck {
  std::optional<Bytes> request;
  Done answers;
};

KindCheck kindCheck(const Kind &kind) {
  using Case = Kind::Case;
  auto anyReply = [](const Bytes &reply) { return !reply.empty(); };
  switch (kind.which()) {
  case Case::postgres: return {postgresSSLRequest(), anyReply};
  case Case::redis: return {bytes("PING\r\n"), anyReply};
  case Case::mysql:
  case Case::nats: return {std::nullopt, anyReply};
  case Case::http:
  case Case::json:
    return {httpHeadRequest(), [](const Bytes &reply) { return beginsWith(reply, "HTTP/"); }};
  case Case::amqp: return {amqpProtocolHeader(), anyReply};
  case Case::mongo: return {makeMongoBuildInfo(), anyReply};
  case Case::memcached: return {bytes("version\r\n"), anyReply};
  case Case::mssql: return {sqlServerPrelogin(), anyReply};
  }
  return {std::nullopt, anyReply};
}

std::optional<std::string> detectFromGreeting(const Bytes &reply) {
  if (auto found = readMySQLVersion(reply))
    return found;
  if (auto found = readNATSVersion(reply))
    return found;
  return readBanner(reply);
}

} // namespace

void exchange(ProbePool &pool, const Endpoint::Host &host, int port, std::optional<Bytes> send,
              double timeout, Done done, std::function<void(std::optional<Bytes>)> completion) {
  // Clamping a port above 65535 would talk to a different service; such a port gives nothing.
  if (port <= 0 || port > 65535) {
    asio::post(pool.makeStrand(),
               [completion = std::move(completion)] { completion(std::nullopt); });
    return;
  }
  auto state = std::make_shared<Exchange>();
  state->attempt = ProbeAttempt::create(pool);
  state->request = std::move(send);
  state->done = std::move(done);
  state->completion = std::move(completion);
  std::weak_ptr<Exchange> weak = state;
  state->attempt->start(
      host, static_cast<std::uint16_t>(port), timeout,
      [state](std::error_code error) { state->connected(error); },
      [weak] {
        if (auto self = weak.lock())
          self->complete();
      });
}

std::optional<Kind> kindFor(std::string_view name, int port,
                            ExposedService::ServiceCategory category) {
  if (auto known = KnownService::lookup(name, port))
    return known->probe;
  if (category == ExposedService::ServiceCategory::web ||
      category == ExposedService::ServiceCategory::api)
    return Kind::http();
  return std::nullopt;
}

void readVersion(ProbePool &pool, const std::string &name, int port,
                 ExposedService::ServiceCategory category, const Endpoint::Host &host,
                 Completion completion) {
  auto kind = kindFor(name, port, category);
  if (!kind) {
    asio::post(pool.makeStrand(),
               [completion = std::move(completion)] { completion(std::nullopt); });
    return;
  }
  readVersionOfKind(pool, *kind, host, port, std::move(completion));
}

void readVersionOfKind(ProbePool &pool, const Kind &kind, const Endpoint::Host &host, int port,
                       Completion completion) {
  auto probe = versionProbe(kind);
  auto reader = probe.reader;
  Done done = [reader, earlyStop = probe.earlyStop](const Bytes &reply) {
    return reader(reply).has_value() || (earlyStop && earlyStop(reply));
  };
  exchange(pool, host, port, std::move(probe.request), probeTimeout, std::move(done),
           [reader, completion = std::move(completion)](std::optional<Bytes> reply) {
             completion(reply ? reader(*reply) : std::nullopt);
           });
}

void checkAnswersLikeKind(ProbePool &pool, const Kind &kind, const Endpoint::Host &host, int port,
                          std::function<void(bool)> completion) {
  auto check = kindCheck(kind);
  auto answers = check.answers;
  exchange(pool, host, port, std::move(check.request), probeTimeout, answers,
           [answers, completion = std::move(completion)](std::optional<Bytes> reply) {
             completion(reply && answers(*reply));
           });
}

void detectVersion(ProbePool &pool, const Endpoint::Host &host, int port, Completion completion) {
  auto redisStep = [&pool, host, port](Completion completion) {
    exchange(
        pool, host, port, bytes("PING\r\n"), detectRedisTimeout,
        [](const Bytes &reply) { return contains(reply, "\n"); },
        [completion = std::move(completion)](std::optional<Bytes> reply) {
          bool redis = reply && (beginsWith(*reply, "+PONG") || beginsWith(*reply, "-NOAUTH"));
          completion(redis ? std::optional<std::string>("Redis") : std::nullopt);
        });
  };
  auto httpStep = [&pool, host, port, redisStep](Completion completion) {
    exchange(
        pool, host, port, httpHeadRequest(), detectHTTPTimeout,
        [](const Bytes &reply) { return contains(reply, "\r\n\r\n"); },
        [redisStep, completion = std::move(completion)](std::optional<Bytes> reply) mutable {
          if (reply && beginsWith(*reply, "HTTP/")) {
            std::string text = "HTTP";
            if (auto server = readHTTPServer(*reply))
              text += " \u00B7 " + *server;
            completion(std::move(text));
            return;
          }
          redisStep(std::move(completion));
        });
  };
  exchange(
      pool, host, port, std::nullopt, detectListenTimeout,
      [](const Bytes &reply) { return contains(reply, "\n") || reply.size() > 63; },
      [httpStep, completion = std::move(completion)](std::optional<Bytes> reply) mutable {
        if (reply) {
          if (auto found = detectFromGreeting(*reply)) {
            completion(std::move(found));
            return;
          }
        }
        httpStep(std::move(completion));
      });
}

std::string stripControlCharacters(std::string_view text) {
  return removingControlCharacters(text);
}

std::optional<std::string> shortVersion(std::string_view text) {
  auto scalars = unicodeScalars(text);
  std::size_t run = 0;
  while (run < scalars.size() && (scalars[run] == U'.' || isNumeric(scalars[run])))
    ++run;
  std::vector<std::string> pieces;
  std::size_t start = 0;
  for (std::size_t index = 0; index <= run; ++index) {
    if (index == run || scalars[index] == U'.') {
      if (index > start)
        pieces.push_back(utf8Of(scalars, start, index));
      start = index + 1;
    }
  }
  if (pieces.empty() || characterCount(pieces[0]) >= 5)
    return std::nullopt;
  if (pieces.size() == 1)
    return pieces[0];
  return pieces[0] + "." + pieces[1];
}

std::optional<std::string> cleanProductName(std::string_view text) {
  auto cleaned = characterPrefix(trimmingWhitespaceAndNewlines(stripControlCharacters(text)),
                                 productNameCharacters);
  if (cleaned.empty())
    return std::nullopt;
  return cleaned;
}

std::string loginUserName() {
  long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> storage(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
  passwd entry{};
  passwd *found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, storage.data(), storage.size(), &found) != 0 || !found ||
      !found->pw_name)
    return {};
  return found->pw_name;
}

Bytes makePostgresStartup(std::string_view userName) {
  Bytes body = {0x00, 0x03, 0x00, 0x00};
  auto parameter = [&body](std::string_view key, std::string_view value) {
    appendText(body, key);
    body.push_back(0);
    appendText(body, value);
    body.push_back(0);
  };
  parameter("user", userName);
  parameter("database", "postgres");
  parameter("application_name", "Corvane");
  body.push_back(0);
  Bytes message;
  message.reserve(4 + body.size());
  appendBig32(message, static_cast<std::uint32_t>(body.size() + 4));
  message.insert(message.end(), body.begin(), body.end());
  return message;
}

Bytes makeMongoBuildInfo() {
  Bytes elements;
  elements.push_back(0x10);
  appendText(elements, "buildInfo");
  elements.push_back(0);
  appendLittle32(elements, 1);
  elements.push_back(0x02);
  appendText(elements, "$db");
  elements.push_back(0);
  appendLittle32(elements, 6);
  appendText(elements, "admin");
  elements.push_back(0);
  elements.push_back(0); // document end
  auto documentLength = static_cast<std::uint32_t>(elements.size() + 4);
  Bytes message;
  appendLittle32(message, 16 + 4 + 1 + documentLength);
  appendLittle32(message, 1);    // requestID
  appendLittle32(message, 0);    // responseTo
  appendLittle32(message, 2013); // OP_MSG
  appendLittle32(message, 0);    // flagBits
  message.push_back(0);          // body section
  appendLittle32(message, documentLength);
  message.insert(message.end(), elements.begin(), elements.end());
  return message;
}

Bytes makeJSONRequest(std::string_view path) {
  return bytes("GET " + std::string(path) +
               " HTTP/1.1\r\nHost: localhost\r\nAccept: application/json\r\nConnection: "
               "close\r\n\r\n");
}

Bytes postgresSSLRequest() {
  return {0x00, 0x00, 0x00, 0x08, 0x04, 0xD2, 0x16, 0x2F};
}

Bytes httpHeadRequest() {
  return bytes("HEAD / HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
}

Bytes amqpProtocolHeader() {
  return {'A', 'M', 'Q', 'P', 0x00, 0x00, 0x09, 0x01};
}

Bytes sqlServerPrelogin() {
  return {0x12, 0x01, 0x00, 0x1A, 0x00, 0x00, 0x01, 0x00, // header
          0x00, 0x00, 0x0B, 0x00, 0x06,                   // VERSION
          0x01, 0x00, 0x11, 0x00, 0x01,                   // ENCRYPTION
          0xFF,                                           // terminator
          0x00, 0x00, 0x00, 0x00, 0x00, 0x00,             // VERSION data
          0x02};                                          // encryption not supported
}

std::optional<std::string> parameterValue(const Bytes &reply, std::string_view key) {
  std::string needle(key);
  needle.push_back('\0');
  auto text = view(reply);
  auto at = text.find(needle);
  if (at == std::string_view::npos)
    return std::nullopt;
  auto start = at + needle.size();
  auto end = text.find('\0', start);
  if (end == std::string_view::npos)
    return std::nullopt;
  return decode(text.substr(start, end - start));
}

std::optional<std::string> infoField(std::string_view text, std::string_view key) {
  std::string prefix = std::string(key) + ":";
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos)
      end = text.size();
    auto line = text.substr(start, end - start);
    if (line.starts_with(prefix))
      return std::string(line.substr(prefix.size()));
    start = end + 1;
  }
  return std::nullopt;
}

std::optional<std::string> amqpLongString(const Bytes &reply, std::string_view key) {
  if (key.size() > 255)
    return std::nullopt;
  std::string needle;
  needle.push_back(static_cast<char>(key.size()));
  needle += key;
  needle.push_back('S');
  auto text = view(reply);
  auto at = text.find(needle);
  if (at == std::string_view::npos)
    return std::nullopt;
  std::size_t lengthAt = at + needle.size();
  if (reply.size() - lengthAt < 4)
    return std::nullopt;
  std::uint32_t length = bigEndian32(reply.data() + lengthAt);
  std::size_t valueAt = lengthAt + 4;
  if (length < 1 || length > maxAMQPFieldBytes || length > reply.size() - valueAt)
    return std::nullopt;
  return decode(text.substr(valueAt, length));
}

std::optional<std::string> readPostgresVersion(const Bytes &reply) {
  if (auto crdb = parameterValue(reply, "crdb_version")) {
    for (auto word : splitDroppingEmpty(*crdb, ' ')) {
      if (word.starts_with("v")) {
        if (auto version = shortVersion(word.substr(1)))
          return "CockroachDB " + *version;
        break;
      }
    }
  }
  auto server = parameterValue(reply, "server_version");
  if (!server)
    return std::nullopt;
  if (auto version = shortVersion(*server))
    return "Postgres " + *version;
  return std::nullopt;
}

std::optional<std::string> readRedisVersion(const Bytes &reply) {
  auto text = decode(reply, 4096);
  if (auto valkey = infoField(text, "valkey_version"))
    if (auto version = shortVersion(*valkey))
      return "Valkey " + *version;
  if (auto redis = infoField(text, "redis_version"))
    if (auto version = shortVersion(*redis))
      return "Redis " + *version;
  return std::nullopt;
}

std::optional<std::string> readMySQLVersion(const Bytes &reply) {
  auto greeting = view(reply, 128);
  if (greeting.size() < 7 || greeting[4] != 10)
    return std::nullopt;
  auto end = greeting.find('\0', 5);
  if (end == std::string_view::npos)
    return std::nullopt;
  auto version = decode(greeting.substr(5, end - 5));
  if (containsIgnoringCase(version, "mariadb")) {
    std::string_view chosen = version;
    for (auto piece : splitDroppingEmpty(version, '-')) {
      auto scalars = unicodeScalars(piece);
      if (!scalars.empty() && isNumeric(scalars[0]) && !piece.starts_with("5.5.5")) {
        chosen = piece;
        break;
      }
    }
    if (auto short_ = shortVersion(chosen))
      return "MariaDB " + *short_;
    return std::nullopt;
  }
  if (auto short_ = shortVersion(version))
    return "MySQL " + *short_;
  return std::nullopt;
}

std::optional<std::string> readAMQPVersion(const Bytes &reply) {
  auto raw = amqpLongString(reply, "version");
  if (!raw)
    return std::nullopt;
  auto version = shortVersion(*raw);
  if (!version)
    return std::nullopt;
  auto product =
      cleanProductName(amqpLongString(reply, "product").value_or("RabbitMQ")).value_or("RabbitMQ");
  return product + " " + *version;
}

std::optional<std::string> readMongoVersion(const Bytes &reply) {
  static const std::string needle("\x02version\x00", 9);
  auto text = view(reply);
  auto at = text.find(needle);
  if (at == std::string_view::npos)
    return std::nullopt;
  std::size_t lengthAt = at + needle.size();
  if (text.size() - lengthAt < 4)
    return std::nullopt;
  std::size_t start = lengthAt + 4;
  auto end = text.find('\0', start);
  if (end == std::string_view::npos)
    return std::nullopt;
  if (auto version = shortVersion(decode(text.substr(start, end - start))))
    return "MongoDB " + *version;
  return std::nullopt;
}

std::optional<std::string> readMemcachedVersion(const Bytes &reply) {
  auto text = decode(reply, 128);
  if (!text.starts_with("VERSION "))
    return std::nullopt;
  if (auto version = shortVersion(std::string_view(text).substr(8)))
    return "Memcached " + *version;
  return std::nullopt;
}

std::optional<std::string> readJSONVersion(const Bytes &reply, std::string_view key,
                                           std::string_view label, bool require200) {
  auto text = decode(reply, maxReplyBytes);
  if (require200 && !text.starts_with("HTTP/1.1 200") && !text.starts_with("HTTP/1.0 200"))
    return std::nullopt;
  auto raw = matchJSONVersionField(text, key);
  if (!raw)
    return std::nullopt;
  auto version = shortVersion(*raw);
  if (!version)
    return std::nullopt;
  std::string product(label);
  if (label == "Elasticsearch" && text.find("\"opensearch\"") != std::string::npos)
    product = "OpenSearch";
  return product + " " + *version;
}

std::optional<std::string> readNATSVersion(const Bytes &reply) {
  if (!beginsWith(reply, "INFO "))
    return std::nullopt;
  return readJSONVersion(reply, "version", "NATS", false);
}

std::optional<std::string> readSQLServerVersion(const Bytes &reply) {
  std::size_t taken = std::min<std::size_t>(reply.size(), 256);
  if (taken < 9 || reply[0] != 4)
    return std::nullopt;
  const std::uint8_t *payload = reply.data() + 8;
  std::size_t length = taken - 8;
  std::optional<std::size_t> versionAt;
  for (std::size_t position = 0; position + 4 < length; position += 5) {
    std::uint8_t token = payload[position];
    if (token == 0xFF)
      return std::nullopt;
    if (token == 0x00) {
      std::size_t offset = (std::size_t{payload[position + 1]} << 8) | payload[position + 2];
      if (offset < length) {
        versionAt = offset;
        break;
      }
    }
  }
  if (!versionAt)
    return std::nullopt;
  switch (payload[*versionAt]) {
  case 17: return "SQL Server 2025";
  case 16: return "SQL Server 2022";
  case 15: return "SQL Server 2019";
  case 14: return "SQL Server 2017";
  case 13: return "SQL Server 2016";
  case 12: return "SQL Server 2014";
  case 11: return "SQL Server 2012";
  default: return std::nullopt;
  }
}

std::optional<std::string> readHTTPServer(const Bytes &reply) {
  auto text = decode(reply, 4096);
  if (!text.starts_with("HTTP/"))
    return std::nullopt;
  std::string_view block = text;
  if (auto end = block.find("\r\n\r\n"); end != std::string_view::npos)
    block = block.substr(0, end);
  std::optional<std::string> server;
  std::optional<std::string> poweredBy;
  bool statusLine = true;
  std::size_t start = 0;
  while (start <= block.size()) {
    auto end = block.find("\r\n", start);
    if (end == std::string_view::npos)
      end = block.size();
    auto line = block.substr(start, end - start);
    start = end + 2;
    if (statusLine) {
      statusLine = false;
      continue;
    }
    auto colon = line.find(':');
    if (colon == std::string_view::npos)
      continue;
    auto name = asciiLower(line.substr(0, colon));
    if (name == "server")
      server = trimmingWhitespaceAndNewlines(line.substr(colon + 1));
    else if (name == "x-powered-by")
      poweredBy = trimmingWhitespaceAndNewlines(line.substr(colon + 1));
  }
  auto value = server ? server : poweredBy;
  if (!value)
    return std::nullopt;
  auto words = splitDroppingEmpty(*value, ' ');
  std::string_view word = words.empty() ? std::string_view(*value) : words.front();
  std::vector<std::string_view> pieces;
  if (auto slash = word.find('/'); slash != std::string_view::npos) {
    for (auto piece : {word.substr(0, slash), word.substr(slash + 1)})
      if (!piece.empty())
        pieces.push_back(piece);
  } else if (!word.empty()) {
    pieces.push_back(word);
  }
  if (pieces.empty())
    return std::nullopt;
  auto name = cleanProductName(pieces[0]);
  if (!name)
    return std::nullopt;
  if (pieces.size() == 2)
    if (auto version = shortVersion(pieces[1]))
      return *name + " " + *version;
  return name;
}

std::optional<std::string> readBanner(const Bytes &reply) {
  auto text = decode(reply, 64);
  if (text.starts_with("SSH-"))
    return "SSH";
  if (text.starts_with("220 ") || text.starts_with("220-"))
    return containsIgnoringCase(text, "FTP") ? "FTP" : "SMTP";
  if (text.starts_with("+OK"))
    return "POP3";
  if (text.starts_with("* OK"))
    return "IMAP";
  return std::nullopt;
}

} // namespace corvane::ServiceVersion

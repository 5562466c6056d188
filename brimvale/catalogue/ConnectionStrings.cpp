#include "brimvale/catalogue/ConnectionStrings.h"

#include "brimvale/catalogue/KnownServices.h"
#include "brimvale/platform/Unicode.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <unicode/locid.h>
#include <unicode/unistr.h>

namespace corvane {

namespace {

bool isAsciiLetterOrDigit(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

bool isUnreserved(char c) {
  return isAsciiLetterOrDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

std::string uppercased(std::string_view text) {
  auto unicode = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  unicode.toUpper(icu::Locale::getRoot());
  std::string out;
  unicode.toUTF8String(out);
  return out;
}

std::optional<std::string> schemeFor(const KnownService &row) {
  static const std::pair<std::string_view, std::string_view> schemes[] = {
      {"PostgreSQL", "postgresql"},
      {"CockroachDB", "postgresql"},
      {"MySQL", "mysql"},
      {"Redis", "redis"},
      {"MongoDB", "mongodb"},
      {"RabbitMQ", "amqp"},
      {"NATS", "nats"},
  };
  for (const auto &[name, scheme] : schemes)
    if (row.name == name)
      return std::string(scheme);
  return std::nullopt;
}

// An optional sign then digits, within the 64-bit signed range.
std::optional<std::int64_t> wholeNumber(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || !std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  std::uint64_t magnitude = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
  if (error != std::errc() || end != text.data() + text.size())
    return std::nullopt;
  const auto limit = static_cast<std::uint64_t>(INT64_MAX) + (negative ? 1 : 0);
  if (magnitude > limit)
    return std::nullopt;
  return negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
}

// What a URL parser would accept of the strings built here: a scheme, "://", an authority
// whose port is a number no larger than 65535, and only characters a URL may hold.
bool parsesAsURL(std::string_view text) {
  const auto scheme = urlScheme(text);
  if (!scheme)
    return false;
  auto rest = text.substr(scheme->size() + 1);
  if (!rest.starts_with("//"))
    return false;
  rest.remove_prefix(2);
  static constexpr std::string_view allowedPunctuation = "-._~:/?#[]@!$&'()*+,;=%";
  for (std::size_t i = 0; i < rest.size(); ++i) {
    const char c = rest[i];
    if (!isAsciiLetterOrDigit(c) && allowedPunctuation.find(c) == std::string_view::npos)
      return false;
    if (c == '%' &&
        (i + 2 >= rest.size() || !std::isxdigit(static_cast<unsigned char>(rest[i + 1])) ||
         !std::isxdigit(static_cast<unsigned char>(rest[i + 2]))))
      return false;
  }
  const auto authority = rest.substr(0, rest.find_first_of("/?#"));
  const auto hostEnd = authority.rfind(':');
  if (hostEnd == std::string_view::npos || hostEnd < authority.rfind('@') + 1)
    return !authority.empty();
  const auto port = authority.substr(hostEnd + 1);
  if (port.empty())
    return true;
  const auto number = wholeNumber(port);
  return number && port.front() != '+' && port.front() != '-' && *number <= 65535;
}

} // namespace

const std::string &unreservedCharacters() {
  static const std::string characters =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~";
  return characters;
}

std::optional<std::string> percentEncoded(std::string_view text) {
  if (validUTF8(text) != text)
    return std::nullopt;
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (isUnreserved(c)) {
      out += c;
    } else {
      const auto byte = static_cast<unsigned char>(c);
      out += '%';
      out += hex[byte >> 4];
      out += hex[byte & 0x0F];
    }
  }
  return out;
}

std::string databasePath(const std::optional<std::string> &database, std::string_view scheme) {
  if (!database || scheme == "nats")
    return {};
  if (scheme == "redis") {
    const auto number = wholeNumber(*database);
    if (!number || *number < 0)
      return {};
    return std::string("/").append(std::to_string(*number));
  }
  return std::string("/").append(percentEncoded(*database).value_or(""));
}

std::optional<std::string> makeConnectionURL(std::string_view name, int urlPort,
                                             ExposedService::ServiceCategory category,
                                             const std::optional<ShareHints> &hints,
                                             std::optional<int> cataloguePort) {
  using enum ExposedService::ServiceCategory;
  const std::string httpURL = "http://localhost:" + std::to_string(urlPort);
  const auto row = KnownService::lookup(name, cataloguePort.value_or(urlPort));
  if (row &&
      std::ranges::find(KnownService::adminTools(), *row) != KnownService::adminTools().end())
    return httpURL;
  const auto scheme = row ? schemeFor(*row) : std::nullopt;
  if (!scheme) {
    if (category == web || category == api)
      return httpURL;
    return std::nullopt;
  }
  std::string user;
  if (hints && hints->user)
    user = percentEncoded(*hints->user).value_or("") + "@";
  const auto path = databasePath(hints ? hints->database : std::nullopt, *scheme);
  return *scheme + "://" + user + "localhost:" + std::to_string(urlPort) + path;
}

std::optional<std::string> connectionURL(const IncomingService &service, UrlOpener &opener) {
  if (service.state.which() != IncomingService::State::Case::connected || !service.localPort)
    return std::nullopt;
  auto text = makeConnectionURL(service.name, *service.localPort,
                                service.category.value_or(ExposedService::ServiceCategory::custom),
                                service.hints, service.remotePort);
  if (!text || !parsesAsURL(*text) || !opener.applicationFor(*text))
    return std::nullopt;
  return text;
}

std::string envLine(std::string_view name, std::string_view connectionString) {
  std::string key;
  // Non-ASCII bytes become separators one by one; runs collapse, so this equals doing it by
  // character.
  for (char c : uppercased(name)) {
    if (isAsciiLetterOrDigit(c))
      key += c;
    else if (!key.empty() && key.back() != '_')
      key += '_';
  }
  while (!key.empty() && key.back() == '_')
    key.pop_back();
  if (key.empty())
    key = "SERVICE";
  else if (key.front() >= '0' && key.front() <= '9')
    key = "SERVICE_" + key;
  return key + "_URL=" + std::string(connectionString);
}

} // namespace corvane

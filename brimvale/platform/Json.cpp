#include "brimvale/platform/Json.h"

#include "brimvale/platform/Crypto.h"

#include <cmath>
#include <limits>

namespace corvane {

std::optional<Json> parseJson(const Bytes &bytes) {
  return parseJson(std::string_view(reinterpret_cast<const char *>(bytes.data()), bytes.size()));
}

std::optional<Json> parseJson(std::string_view text) {
  Json value = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded())
    return std::nullopt;
  return value;
}

std::string dumpJson(const Json &value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

namespace {

bool allNumbersFinite(const Json &value) {
  if (value.is_number_float())
    return std::isfinite(value.get<double>());
  if (value.is_structured()) {
    for (const auto &element : value)
      if (!allNumbersFinite(element))
        return false;
  }
  return true;
}

} // namespace

std::optional<std::string> dumpJsonChecked(const Json &value) {
  if (!allNumbersFinite(value))
    return std::nullopt;
  return dumpJson(value);
}

namespace {

constexpr char upperHex[] = "0123456789ABCDEF";

int hexValue(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

bool isDashPosition(std::size_t i) {
  return i == 8 || i == 13 || i == 18 || i == 23;
}

} // namespace

std::string makeUUID() {
  Bytes bytes = randomBytes(16);
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10)
      text.push_back('-');
    text.push_back(upperHex[bytes[i] >> 4]);
    text.push_back(upperHex[bytes[i] & 0x0F]);
  }
  return text;
}

std::optional<std::string> parseUUID(std::string_view text) {
  if (text.size() != 36)
    return std::nullopt;
  std::string out(text);
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (isDashPosition(i)) {
      if (out[i] != '-')
        return std::nullopt;
      continue;
    }
    const int value = hexValue(out[i]);
    if (value < 0)
      return std::nullopt;
    out[i] = upperHex[value];
  }
  return out;
}

std::string encodeBase64(const Bytes &bytes) {
  return base64Encode(bytes);
}

std::optional<Bytes> decodeBase64(std::string_view text) {
  auto bytes = base64Decode(text);
  // Unused low bits of the last symbol must be zero too, so each byte string has one text.
  if (!bytes || base64Encode(*bytes) != text)
    return std::nullopt;
  return bytes;
}

bool decodeJson(const Json &value, bool &out) {
  if (!value.is_boolean())
    return false;
  out = value.get<bool>();
  return true;
}

bool decodeJson(const Json &value, std::int64_t &out) {
  if (value.is_number_integer() && !value.is_number_unsigned()) {
    out = value.get<std::int64_t>();
    return true;
  }
  if (value.is_number_unsigned()) {
    const auto unsignedValue = value.get<std::uint64_t>();
    if (unsignedValue > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      return false;
    out = static_cast<std::int64_t>(unsignedValue);
    return true;
  }
  if (value.is_number_float()) {
    const double number = value.get<double>();
    // 2^63 is exactly representable; anything at or above it does not fit.
    if (!std::isfinite(number) || std::trunc(number) != number || number < -9223372036854775808.0 ||
        number >= 9223372036854775808.0)
      return false;
    out = static_cast<std::int64_t>(number);
    return true;
  }
  return false;
}

bool decodeJson(const Json &value, int &out) {
  std::int64_t wide = 0;
  if (!decodeJson(value, wide) || wide < std::numeric_limits<int>::min() ||
      wide > std::numeric_limits<int>::max())
    return false;
  out = static_cast<int>(wide);
  return true;
}

bool decodeJson(const Json &value, double &out) {
  if (!value.is_number())
    return false;
  out = value.get<double>();
  return std::isfinite(out);
}

bool decodeJson(const Json &value, std::string &out) {
  if (!value.is_string())
    return false;
  out = value.get<std::string>();
  return true;
}

std::optional<std::string> requiredUUIDField(const Json &object, const char *key) {
  const auto text = requiredField<std::string>(object, key);
  return text ? parseUUID(*text) : std::nullopt;
}

std::optional<std::optional<std::string>> optionalUUIDField(const Json &object, const char *key) {
  const auto text = optionalField<std::string>(object, key);
  if (!text)
    return std::nullopt;
  if (!*text)
    return std::optional<std::string>{};
  auto uuid = parseUUID(**text);
  if (!uuid)
    return std::nullopt;
  return std::optional<std::string>{std::move(*uuid)};
}

std::optional<std::vector<std::string>> requiredUUIDListField(const Json &object, const char *key) {
  auto texts = requiredField<std::vector<std::string>>(object, key);
  if (!texts)
    return std::nullopt;
  for (auto &text : *texts) {
    auto uuid = parseUUID(text);
    if (!uuid)
      return std::nullopt;
    text = std::move(*uuid);
  }
  return texts;
}

std::string briefJson(const Json &value) {
  constexpr std::size_t limit = 60;
  std::string text = dumpJson(value);
  if (text.size() <= limit)
    return text;
  std::size_t end = limit;
  // Never cut a character in two.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
    --end;
  text.resize(end);
  return text + "...";
}

std::string mismatchReason(const Json &value, const char *kind) {
  return "holds " + briefJson(value) + ", not " + kind;
}

std::string quotedKey(std::string_view key) {
  return dumpJson(Json(std::string(key)));
}

MemberReader::MemberReader(const Json &object) : object_(object) {
  if (!object.is_object())
    problem_ = mismatchReason(object, "an object");
}

const Json *MemberReader::present(const char *key) {
  if (object_.is_object()) {
    const auto found = object_.find(key);
    if (found != object_.end() && !found->is_null())
      return &*found;
  }
  note(key, "");
  return nullptr;
}

std::string joinedProblems(const DecodeProblems &problems) {
  constexpr std::size_t listed = 8;
  std::string text;
  for (std::size_t i = 0; i < problems.size() && i < listed; ++i)
    text += (i == 0 ? "" : "; ") + problems[i];
  if (problems.size() > listed)
    text += "; and " + std::to_string(problems.size() - listed) + " more";
  return text;
}

void MemberReader::note(const char *key, const char *kind) {
  if (!problem_.empty())
    return;
  const auto found = object_.find(key);
  if (found == object_.end() || found->is_null())
    problem_ = quotedKey(key) + " is missing";
  else
    problem_ = quotedKey(key) + " " + mismatchReason(*found, kind);
}

} // namespace corvane

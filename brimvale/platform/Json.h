#pragma once

#include "brimvale/platform/Bytes.h"
#include "brimvale/platform/Clock.h"

#include <cstdint>
#include <expected>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

using Json = nlohmann::json;

// Never throws: absent when the bytes are not one JSON document.
std::optional<Json> parseJson(const Bytes &bytes);
std::optional<Json> parseJson(std::string_view text);

// Compact text; ill-formed UTF-8 in strings becomes U+FFFD instead of throwing.
std::string dumpJson(const Json &value);
// For persisted documents: absent when a number is not finite, which would come back as null.
std::optional<std::string> dumpJsonChecked(const Json &value);

// A random (version 4) UUID in canonical upper-case text.
std::string makeUUID();
// Canonical 8-4-4-4-12 hexadecimal text of either case, normalised to upper case.
std::optional<std::string> parseUUID(std::string_view text);

std::string encodeBase64(const Bytes &bytes);
// Strict: padded, no white space, no stray characters, canonical trailing bits.
std::optional<Bytes> decodeBase64(std::string_view text);

// Strict conversions of one JSON value: no string-to-number, no bool-to-number, a number
// with a fraction or outside the target's range is not an integer.
bool decodeJson(const Json &value, bool &out);
bool decodeJson(const Json &value, int &out);
bool decodeJson(const Json &value, std::int64_t &out);
bool decodeJson(const Json &value, double &out);
bool decodeJson(const Json &value, std::string &out);

template <typename T> bool decodeJson(const Json &value, std::vector<T> &out) {
  if (!value.is_array())
    return false;
  std::vector<T> items;
  items.reserve(value.size());
  for (const auto &element : value) {
    T item{};
    if (!decodeJson(element, item))
      return false;
    items.push_back(std::move(item));
  }
  out = std::move(items);
  return true;
}

template <typename T> bool decodeJson(const Json &value, std::set<T> &out) {
  std::vector<T> items;
  if (!decodeJson(value, items))
    return false;
  out = std::set<T>(std::make_move_iterator(items.begin()), std::make_move_iterator(items.end()));
  return true;
}

template <typename T> bool decodeJson(const Json &value, std::map<std::string, T> &out) {
  if (!value.is_object())
    return false;
  std::map<std::string, T> items;
  for (const auto &[key, element] : value.items()) {
    T item{};
    if (!decodeJson(element, item))
      return false;
    items.emplace(key, std::move(item));
  }
  out = std::move(items);
  return true;
}

// A member of an object that must be there and of type T (null counts as missing).
template <typename T> std::optional<T> requiredField(const Json &object, const char *key) {
  if (!object.is_object())
    return std::nullopt;
  const auto found = object.find(key);
  if (found == object.end() || found->is_null())
    return std::nullopt;
  T value{};
  if (!decodeJson(*found, value))
    return std::nullopt;
  return value;
}

// Outer absent: the member is there but not of type T. Inner absent: missing or null.
template <typename T>
std::optional<std::optional<T>> optionalField(const Json &object, const char *key) {
  if (!object.is_object())
    return std::nullopt;
  // Built in place: GCC 12 takes a copy of an empty inner optional for uninitialised.
  std::optional<std::optional<T>> field(std::in_place);
  const auto found = object.find(key);
  if (found == object.end() || found->is_null())
    return field;
  if (!decodeJson(*found, field->emplace()))
    return std::nullopt;
  return field;
}

// UUID members in canonical text, upper-cased.
std::optional<std::string> requiredUUIDField(const Json &object, const char *key);
std::optional<std::optional<std::string>> optionalUUIDField(const Json &object, const char *key);
std::optional<std::vector<std::string>> requiredUUIDListField(const Json &object, const char *key);

// Reading stored documents part by part, so that one part that does not decode is set aside
// (and logged with why) instead of failing everything around it.

// What a reader expects, for the reason text of a value that does not decode.
template <typename T> inline constexpr const char *expectedKind = "a well-formed record";
template <> inline constexpr const char *expectedKind<bool> = "true or false";
template <> inline constexpr const char *expectedKind<int> = "a whole number";
template <> inline constexpr const char *expectedKind<std::int64_t> = "a whole number";
template <> inline constexpr const char *expectedKind<double> = "a number";
template <> inline constexpr const char *expectedKind<std::string> = "a text";
template <typename T> inline constexpr const char *expectedKind<std::vector<T>> = "a list";
template <typename T> inline constexpr const char *expectedKind<std::set<T>> = "a list";
template <typename T>
inline constexpr const char *expectedKind<std::map<std::string, T>> = "an object";

// A short, escaped form of a value for logs: at most about 60 bytes of its JSON text.
std::string briefJson(const Json &value);
// `holds <brief value>, not <kind>`.
std::string mismatchReason(const Json &value, const char *kind);
// The member's name as JSON text, so that any key reads unambiguously in a log.
std::string quotedKey(std::string_view key);

// One value read with decodeJson; the reason names what it holds and what was expected.
template <typename T> std::expected<T, std::string> readJson(const Json &value) {
  T out{};
  if (!decodeJson(value, out))
    return std::unexpected(mismatchReason(value, expectedKind<T>));
  return out;
}

// Reads the members of one object for a record and keeps the first reason one could not be
// read ("<key> is missing", "<key> holds ..., not ..."). The record is usable when ok().
class MemberReader {
public:
  explicit MemberReader(const Json &object);

  template <typename T> std::optional<T> required(const char *key) {
    return check(requiredField<T>(object_, key), key, expectedKind<T>);
  }
  template <typename T> std::optional<std::optional<T>> optional(const char *key) {
    return check(optionalField<T>(object_, key), key, expectedKind<T>);
  }
  // A member read by the caller (a UUID, a value from a fixed set); absent notes the problem.
  template <typename V> V check(V value, const char *key, const char *kind) {
    if (!value)
      note(key, kind);
    return value;
  }

  // The member as it stands, for a caller that reads it part by part; null (and noted) when it
  // is missing or null.
  const Json *present(const char *key);

  bool ok() const { return problem_.empty(); }
  const std::string &problem() const { return problem_; }

private:
  void note(const char *key, const char *kind);

  const Json &object_;
  std::string problem_;
};

// Where the problems of one stored document are collected, one text per part that was set
// aside or left at its default: "<path>: <why>".
using DecodeProblems = std::vector<std::string>;

// The problems for one log line: the first few joined by "; ", then how many more there are
// (a hostile document may hold thousands).
std::string joinedProblems(const DecodeProblems &problems);

// The elements of a JSON array that `read` (Json -> std::expected<T, std::string>) accepts, in
// order; each other element is left out and noted as "<where>[<index>]: <why>".
template <typename T, typename Read>
std::vector<T> readEach(const Json &array, const std::string &where, DecodeProblems &problems,
                        Read read) {
  std::vector<T> items;
  if (!array.is_array()) {
    problems.push_back(where + ": " + mismatchReason(array, "a list"));
    return items;
  }
  std::size_t index = 0;
  for (const auto &element : array) {
    if (std::expected<T, std::string> item = read(element))
      items.push_back(std::move(*item));
    else
      problems.push_back(where + "[" + std::to_string(index) + "]: " + item.error());
    ++index;
  }
  return items;
}

// The same over the members of a JSON object, noted as "<where>[<quoted key>]: <why>".
template <typename T, typename Read>
std::map<std::string, T> readEachMember(const Json &object, const std::string &where,
                                        DecodeProblems &problems, Read read) {
  std::map<std::string, T> items;
  if (!object.is_object()) {
    problems.push_back(where + ": " + mismatchReason(object, "an object"));
    return items;
  }
  for (const auto &[key, element] : object.items()) {
    if (std::expected<T, std::string> item = read(element))
      items.emplace(key, std::move(*item));
    else
      problems.push_back(where + "[" + quotedKey(key) + "]: " + item.error());
  }
  return items;
}

// Optional members are left out when absent, never written as null.
template <typename T>
void putOptional(Json &object, const char *key, const std::optional<T> &value) {
  if (value)
    object[key] = *value;
}

template <typename T, typename Encode>
void putOptional(Json &object, const char *key, const std::optional<T> &value, Encode encode) {
  if (value)
    object[key] = encode(*value);
}

} // namespace corvane

#pragma once

#include "brimvale/platform/Bytes.h"
#include "brimvale/platform/Clock.h"

#include <cstdint>
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

#include "brimvale/foundation/ShareModel.h"

#include "brimvale/foundation/DisplayText.h"
#include "brimvale/platform/Unicode.h"

#include <cmath>
#include <ctime>
#include <functional>

namespace corvane {

namespace {

using Category = ExposedService::ServiceCategory;
using Error = ExposedService::ValidationError;

constexpr std::array<Category, 6> categories = {Category::database, Category::web,
                                                Category::api,      Category::messaging,
                                                Category::tool,     Category::custom};

constexpr int hintFieldLimit = 64;
constexpr int hintNoteLimit = 140;
// One above the allowed length, so an over-long name is refused rather than silently cut.
constexpr int environmentNameCleanLimit = static_cast<int>(maxShareNameLength) + 1;

std::optional<std::string> cleanedHint(const std::optional<std::string> &text, int limit) {
  if (!text)
    return std::nullopt;
  std::string cleaned = cleanDisplayText(*text, limit);
  if (cleaned.empty())
    return std::nullopt;
  return cleaned;
}

std::optional<Category> categoryField(const Json &object, const char *key) {
  const auto raw = requiredField<std::string>(object, key);
  return raw ? serviceCategoryFromRaw(*raw) : std::nullopt;
}

void combine(std::size_t &seed, std::size_t value) {
  seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

template <typename T> std::size_t hashOptional(const std::optional<T> &value) {
  return value ? std::hash<T>{}(*value) * 31 + 1 : 0;
}

} // namespace

std::optional<ShareHints> ShareHints::cleaned(const std::optional<ShareHints> &hints) {
  if (!hints)
    return std::nullopt;
  ShareHints result{cleanedHint(hints->database, hintFieldLimit),
                    cleanedHint(hints->user, hintFieldLimit),
                    cleanedHint(hints->note, hintNoteLimit)};
  if (!result.database && !result.user && !result.note)
    return std::nullopt;
  return result;
}

std::string_view rawValue(ExposedService::ServiceCategory category) {
  switch (category) {
  case Category::database: return "Database";
  case Category::web: return "Web Service";
  case Category::api: return "API";
  case Category::messaging: return "Messaging";
  case Category::tool: return "Tool";
  case Category::custom: return "Custom";
  }
  return "Custom";
}

std::optional<ExposedService::ServiceCategory> serviceCategoryFromRaw(std::string_view raw) {
  for (Category category : categories)
    if (rawValue(category) == raw)
      return category;
  return std::nullopt;
}

const std::array<ExposedService::ServiceCategory, 6> &allServiceCategories() {
  return categories;
}

std::string_view description(ExposedService::ValidationError error) {
  switch (error) {
  case Error::emptyName: return "Give the port a name.";
  case Error::nameTooLong: return "Keep the name to 40 characters or fewer.";
  case Error::badPort: return "Enter a port between 1 and 65535.";
  case Error::duplicateName: return "You already share a port with that name.";
  case Error::duplicatePort: return "You already share that port.";
  case Error::proxiedPort:
    return "That port carries another Mac's service through Corvane, so it can't be shared from "
           "here.";
  }
  return {};
}

std::string_view environmentDescription(ExposedService::ValidationError error) {
  switch (error) {
  case Error::emptyName: return "Give the environment a name.";
  case Error::nameTooLong: return "Keep the environment's name to 40 characters or fewer.";
  case Error::duplicateName: return "You already have an environment with that name.";
  default: return description(error);
  }
}

std::optional<std::string> ShareBatchResult::summary() const {
  if (failed.empty())
    return std::nullopt;
  std::string text;
  for (const auto &failure : failed) {
    if (!text.empty())
      text += ' ';
    text += "Couldn't share " + failure.candidate.name + " (" +
            std::to_string(failure.candidate.port) + "): ";
    text += description(failure.error);
  }
  return text;
}

std::optional<Date> expiryDate(ShareDuration duration, Date now) {
  switch (duration) {
  case ShareDuration::hour: return now + 3600.0;
  case ShareDuration::always: return std::nullopt;
  case ShareDuration::endOfDay: {
    const double unixNow = std::floor(now + referenceDateOffset);
    if (!std::isfinite(unixNow) || unixNow < -9.0e15 || unixNow > 9.0e15)
      return std::nullopt;
    const auto seconds = static_cast<std::time_t>(unixNow);
    std::tm local{};
    if (!localtime_r(&seconds, &local))
      return std::nullopt;
    local.tm_hour = 0;
    local.tm_min = 0;
    local.tm_sec = 0;
    local.tm_mday += 1;
    local.tm_isdst = -1; // the zone decides whether tomorrow's midnight is in summer time
    const std::time_t midnight = std::mktime(&local);
    if (midnight == static_cast<std::time_t>(-1))
      return std::nullopt;
    return static_cast<double>(midnight) - referenceDateOffset;
  }
  }
  return std::nullopt;
}

std::expected<ExposedService, ExposedService::ValidationError>
validateShare(const ShareCandidate &candidate, const std::vector<ExposedService> &services,
              const std::set<int> &proxiedPorts) {
  if (proxiedPorts.contains(candidate.port))
    return std::unexpected(Error::proxiedPort);
  std::string name = trimmingWhitespaceAndNewlines(removingControlCharacters(candidate.name));
  if (name.empty())
    return std::unexpected(Error::emptyName);
  if (characterCount(name) > maxShareNameLength)
    return std::unexpected(Error::nameTooLong);
  if (candidate.port < 1 || candidate.port > 65535)
    return std::unexpected(Error::badPort);
  for (const auto &service : services)
    if (equalsIgnoringCase(service.name, name))
      return std::unexpected(Error::duplicateName);
  for (const auto &service : services)
    if (service.port == candidate.port)
      return std::unexpected(Error::duplicatePort);
  ExposedService share;
  share.id = makeUUID();
  share.name = std::move(name);
  share.port = candidate.port;
  share.category = candidate.category;
  share.enabled = true;
  return share;
}

ShareBatchResult addShares(std::vector<ExposedService> &services,
                           const std::vector<ShareCandidate> &candidates,
                           const std::set<int> &proxiedPorts) {
  ShareBatchResult result;
  for (const auto &candidate : candidates) {
    auto share = validateShare(candidate, services, proxiedPorts);
    if (!share) {
      result.failed.push_back({candidate, share.error()});
      continue;
    }
    services.push_back(*share);
    result.added.push_back(std::move(*share));
  }
  return result;
}

std::expected<std::string, ExposedService::ValidationError>
validateEnvironmentName(std::string_view name, const std::vector<ShareEnvironment> &environments,
                        const std::optional<std::string> &changingID) {
  std::string cleaned = cleanDisplayText(name, environmentNameCleanLimit);
  if (cleaned.empty())
    return std::unexpected(Error::emptyName);
  if (characterCount(cleaned) > maxShareNameLength)
    return std::unexpected(Error::nameTooLong);
  for (const auto &environment : environments) {
    if (changingID && environment.id == *changingID)
      continue;
    if (equalsIgnoringCase(environment.name, cleaned))
      return std::unexpected(Error::duplicateName);
  }
  return cleaned;
}

Json encodeShareHints(const ShareHints &hints) {
  Json object = Json::object();
  putOptional(object, "database", hints.database);
  putOptional(object, "user", hints.user);
  putOptional(object, "note", hints.note);
  return object;
}

std::optional<ShareHints> decodeShareHints(const Json &value) {
  if (!value.is_object())
    return std::nullopt;
  auto database = optionalField<std::string>(value, "database");
  auto user = optionalField<std::string>(value, "user");
  auto note = optionalField<std::string>(value, "note");
  if (!database || !user || !note)
    return std::nullopt;
  return ShareHints{std::move(*database), std::move(*user), std::move(*note)};
}

Json encodeExposedService(const ExposedService &service) {
  Json object = Json::object();
  object["id"] = service.id;
  object["name"] = service.name;
  object["port"] = service.port;
  object["category"] = std::string(rawValue(service.category));
  object["enabled"] = service.enabled;
  putOptional(object, "allowed", service.allowed, [](const std::set<std::string> &allowed) {
    return Json(std::vector<std::string>(allowed.begin(), allowed.end()));
  });
  putOptional(object, "expires", service.expires);
  putOptional(object, "hints", service.hints, encodeShareHints);
  return object;
}

std::optional<ExposedService> decodeExposedService(const Json &value) {
  auto service = readExposedService(value);
  return service ? std::optional(std::move(*service)) : std::nullopt;
}

std::expected<ExposedService, std::string> readExposedService(const Json &value) {
  MemberReader reader(value);
  auto id = reader.check(requiredUUIDField(value, "id"), "id", "a UUID");
  auto name = reader.required<std::string>("name");
  auto port = reader.required<int>("port");
  auto category =
      reader.check(categoryField(value, "category"), "category", "a category this version knows");
  auto enabled = reader.required<bool>("enabled");
  auto allowed = reader.optional<std::set<std::string>>("allowed");
  auto expires = reader.optional<Date>("expires");
  auto hints = reader.optional<ShareHints>("hints");
  if (!reader.ok())
    return std::unexpected(reader.problem());
  return ExposedService{std::move(*id), std::move(*name),    *port,    *category,
                        *enabled,       std::move(*allowed), *expires, std::move(*hints)};
}

Json encodeShareEnvironment(const ShareEnvironment &environment) {
  Json object = Json::object();
  object["id"] = environment.id;
  object["name"] = environment.name;
  object["serviceIDs"] = environment.serviceIDs;
  return object;
}

std::optional<ShareEnvironment> decodeShareEnvironment(const Json &value) {
  auto environment = readShareEnvironment(value);
  return environment ? std::optional(std::move(*environment)) : std::nullopt;
}

std::expected<ShareEnvironment, std::string> readShareEnvironment(const Json &value) {
  MemberReader reader(value);
  auto id = reader.check(requiredUUIDField(value, "id"), "id", "a UUID");
  auto name = reader.required<std::string>("name");
  auto serviceIDs =
      reader.check(requiredUUIDListField(value, "serviceIDs"), "serviceIDs", "a list of UUIDs");
  if (!reader.ok())
    return std::unexpected(reader.problem());
  return ShareEnvironment{std::move(*id), std::move(*name), std::move(*serviceIDs)};
}

bool decodeJson(const Json &value, ShareHints &out) {
  auto hints = decodeShareHints(value);
  if (!hints)
    return false;
  out = std::move(*hints);
  return true;
}

bool decodeJson(const Json &value, ExposedService &out) {
  auto service = readExposedService(value);
  if (!service)
    return false;
  out = std::move(*service);
  return true;
}

bool decodeJson(const Json &value, ShareEnvironment &out) {
  auto environment = readShareEnvironment(value);
  if (!environment)
    return false;
  out = std::move(*environment);
  return true;
}

} // namespace corvane

std::size_t
std::hash<corvane::ShareHints>::operator()(const corvane::ShareHints &hints) const noexcept {
  std::size_t seed = 0;
  corvane::combine(seed, corvane::hashOptional(hints.database));
  corvane::combine(seed, corvane::hashOptional(hints.user));
  corvane::combine(seed, corvane::hashOptional(hints.note));
  return seed;
}

std::size_t std::hash<corvane::ExposedService>::operator()(
    const corvane::ExposedService &service) const noexcept {
  std::size_t seed = 0;
  corvane::combine(seed, std::hash<std::string>{}(service.id));
  corvane::combine(seed, std::hash<std::string>{}(service.name));
  corvane::combine(seed, std::hash<int>{}(service.port));
  corvane::combine(seed, static_cast<std::size_t>(service.category));
  corvane::combine(seed, service.enabled ? 1 : 0);
  if (service.allowed) {
    // Sorted order, so equal sets hash alike.
    for (const auto &peer : *service.allowed)
      corvane::combine(seed, std::hash<std::string>{}(peer));
    corvane::combine(seed, service.allowed->size() + 1);
  }
  corvane::combine(seed, corvane::hashOptional(service.expires));
  corvane::combine(seed, corvane::hashOptional(service.hints));
  return seed;
}

std::size_t std::hash<corvane::ShareEnvironment>::operator()(
    const corvane::ShareEnvironment &environment) const noexcept {
  std::size_t seed = 0;
  corvane::combine(seed, std::hash<std::string>{}(environment.id));
  corvane::combine(seed, std::hash<std::string>{}(environment.name));
  for (const auto &id : environment.serviceIDs)
    corvane::combine(seed, std::hash<std::string>{}(id));
  return seed;
}

std::size_t std::hash<corvane::ShareCandidate>::operator()(
    const corvane::ShareCandidate &candidate) const noexcept {
  std::size_t seed = 0;
  corvane::combine(seed, std::hash<std::string>{}(candidate.name));
  corvane::combine(seed, std::hash<int>{}(candidate.port));
  corvane::combine(seed, static_cast<std::size_t>(candidate.category));
  return seed;
}

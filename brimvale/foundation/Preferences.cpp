#include "brimvale/foundation/Preferences.h"

#include "brimvale/platform/Logger.h"
#include "brimvale/platform/UserDefaults.h"

namespace corvane {

namespace {

template <typename T, typename Encode> Json encodeList(const std::vector<T> &items, Encode encode) {
  Json list = Json::array();
  for (const auto &item : items)
    list.push_back(encode(item));
  return list;
}

} // namespace

namespace {

// The member under key, or null when it is missing or null.
const Json *member(const Json &document, const char *key) {
  const auto found = document.find(key);
  return found == document.end() || found->is_null() ? nullptr : &*found;
}

std::expected<LegacyPreferences::Service, std::string> readLegacyService(const Json &value) {
  MemberReader reader(value);
  auto id = reader.check(optionalUUIDField(value, "id"), "id", "a UUID");
  auto name = reader.required<std::string>("name");
  auto port = reader.required<std::int64_t>("port");
  auto category = reader.optional<std::string>("category");
  if (!reader.ok())
    return std::unexpected(reader.problem());
  return LegacyPreferences::Service{std::move(*id), std::move(*name), *port, std::move(*category)};
}

std::expected<LegacyPreferences::ServicePreference, std::string>
readLegacyServicePreference(const Json &value) {
  MemberReader reader(value);
  auto enabled = reader.optional<bool>("enabled");
  if (!reader.ok())
    return std::unexpected(reader.problem());
  return LegacyPreferences::ServicePreference{*enabled};
}

} // namespace

std::optional<LegacyPreferences> LegacyPreferences::read(const Json &document,
                                                         DecodeProblems &problems) {
  if (!document.is_object())
    return std::nullopt;
  const Json *services = member(document, "exposedServices");
  if (!services || !services->is_array())
    return std::nullopt;
  LegacyPreferences legacy;
  legacy.exposedServices =
      readEach<Service>(*services, "exposedServices", problems, readLegacyService);
  if (const Json *preferences = member(document, "servicePreferences"))
    legacy.servicePreferences = readEachMember<ServicePreference>(
        *preferences, "servicePreferences", problems, readLegacyServicePreference);
  return legacy;
}

std::optional<LegacyPreferences> LegacyPreferences::decode(const Json &document) {
  DecodeProblems problems;
  auto legacy = read(document, problems);
  if (!problems.empty())
    return std::nullopt;
  return legacy;
}

Preferences Preferences::migrateLegacy(const LegacyPreferences &legacy) {
  Preferences preferences = defaultPreferences();
  std::set<std::int64_t> taken;
  for (const auto &old : legacy.exposedServices) {
    if (old.port < 1 || old.port > 65535 || !taken.insert(old.port).second)
      continue;
    ExposedService service;
    service.id = old.id ? *old.id : makeUUID();
    service.name = old.name;
    service.port = static_cast<int>(old.port);
    service.category = ExposedService::ServiceCategory::custom;
    if (old.category)
      service.category =
          serviceCategoryFromRaw(*old.category).value_or(ExposedService::ServiceCategory::custom);
    service.enabled = true;
    if (legacy.servicePreferences) {
      const auto entry = legacy.servicePreferences->find(old.name);
      if (entry != legacy.servicePreferences->end() && entry->second.enabled)
        service.enabled = *entry->second.enabled;
    }
    preferences.services.push_back(std::move(service));
  }
  return preferences;
}

namespace {

// Why the document is not of the current layout; empty when it is. The version decides: a
// required part that is missing costs only itself.
std::string currentLayoutProblem(const Json &document) {
  MemberReader reader(document);
  const auto version = reader.required<int>("version");
  if (!version)
    return reader.problem();
  if (*version < Preferences::currentVersion)
    return "\"version\" " + std::to_string(*version) + " is of an earlier layout";
  return {};
}

// A required member; missing or null, it is noted and its part read as empty.
const Json *requiredMember(const Json &document, const char *key, DecodeProblems &problems) {
  const Json *value = member(document, key);
  if (!value)
    problems.push_back(std::string(key) + ": is missing; read as empty");
  return value;
}

// A share whose only fault is a category this version does not know came from a later version.
bool isOfLaterCategory(const Json &share) {
  const auto category = share.is_object() ? share.find("category") : share.end();
  if (category == share.end() || !category->is_string() ||
      serviceCategoryFromRaw(category->get_ref<const std::string &>()))
    return false;
  Json known = share;
  known["category"] = std::string(rawValue(ExposedService::ServiceCategory::custom));
  // One that could not be written back unchanged is not kept.
  return readExposedService(known).has_value() && dumpJsonChecked(share).has_value();
}

// The shares this version reads, and those of a later category kept as stored with the share
// they follow.
void readServices(const Json &list, Preferences &preferences, PreferencesReading &reading) {
  if (!list.is_array()) {
    reading.problems.push_back("services: " + mismatchReason(list, "a list"));
    return;
  }
  std::size_t index = 0;
  for (const auto &element : list) {
    const std::string where = "services[" + std::to_string(index++) + "]: ";
    auto share = readExposedService(element);
    if (share) {
      preferences.services.push_back(std::move(*share));
    } else if (isOfLaterCategory(element)) {
      std::optional<std::string> after;
      if (!preferences.services.empty())
        after = preferences.services.back().id;
      preferences.keptServices.push_back({std::move(after), element});
      reading.kept.push_back(where + share.error());
    } else {
      reading.problems.push_back(where + share.error());
    }
  }
}

std::optional<bool> readSwitch(const Json &document, const char *key, DecodeProblems &problems) {
  const Json *value = member(document, key);
  if (!value)
    return std::nullopt;
  const auto on = readJson<bool>(*value);
  if (!on) {
    problems.push_back(std::string(key) + ": " + on.error());
    return std::nullopt;
  }
  return *on;
}

template <typename T>
std::optional<std::map<std::string, T>> readOptionalMap(const Json &document, const char *key,
                                                        DecodeProblems &problems) {
  const Json *value = member(document, key);
  if (!value)
    return std::nullopt;
  return readEachMember<T>(*value, key, problems, readJson<T>);
}

template <typename T, typename Read>
std::optional<std::vector<T>> readOptionalList(const Json &document, const char *key,
                                               DecodeProblems &problems, Read read) {
  const Json *value = member(document, key);
  if (!value)
    return std::nullopt;
  return readEach<T>(*value, key, problems, read);
}

// A document of the current layout: each part read on its own, so that what does not decode
// costs only itself.
Preferences readCurrent(const Json &document, PreferencesReading &reading) {
  DecodeProblems &problems = reading.problems;
  Preferences preferences;
  preferences.version = requiredField<int>(document, "version").value_or(preferences.version);
  if (const Json *services = requiredMember(document, "services", problems))
    readServices(*services, preferences, reading);
  if (const Json *ports = requiredMember(document, "localPorts", problems))
    preferences.localPorts = readEachMember<int>(*ports, "localPorts", problems, readJson<int>);
  preferences.nicknames = readOptionalMap<std::string>(document, "nicknames", problems);
  preferences.addresses = readOptionalMap<std::string>(document, "addresses", problems);
  if (const Json *disabledList = requiredMember(document, "disabledIncoming", problems)) {
    const auto disabled =
        readEach<std::string>(*disabledList, "disabledIncoming", problems, readJson<std::string>);
    preferences.disabledIncoming = std::set<std::string>(disabled.begin(), disabled.end());
  }
  const Json *known = requiredMember(document, "knownServices", problems);
  if (known && !known->is_object())
    problems.push_back("knownServices: " + mismatchReason(*known, "an object"));
  else if (known)
    for (const auto &[peer, list] : known->items())
      preferences.knownServices.emplace(
          peer, readEach<SharedServiceInfo>(list, "knownServices[" + quotedKey(peer) + "]",
                                            problems, readJson<SharedServiceInfo>));
  preferences.hardware = readOptionalMap<std::vector<std::string>>(document, "hardware", problems);
  preferences.lastSeen = readOptionalMap<Date>(document, "lastSeen", problems);
  preferences.notifyFirstUse = readSwitch(document, "notifyFirstUse", problems);
  preferences.notifyServiceDown = readSwitch(document, "notifyServiceDown", problems);
  preferences.notifyMacBack = readSwitch(document, "notifyMacBack", problems);
  preferences.sharingPaused = readSwitch(document, "sharingPaused", problems);
  preferences.trustedNetworks =
      readOptionalList<std::string>(document, "trustedNetworks", problems, readJson<std::string>);
  preferences.environments =
      readOptionalList<ShareEnvironment>(document, "environments", problems, readShareEnvironment);
  return preferences;
}

// The shares with those kept as stored, each after the share it followed.
Json encodeServices(const std::vector<ExposedService> &services,
                    const std::vector<KeptShare> &keptServices) {
  std::map<std::optional<std::string>, std::vector<const Json *>> following;
  for (const auto &kept : keptServices)
    following[kept.after].push_back(&kept.stored);
  Json list = Json::array();
  const auto placeAfter = [&](const std::optional<std::string> &share) {
    const auto found = following.find(share);
    if (found == following.end())
      return;
    for (const Json *stored : found->second)
      list.push_back(*stored);
    following.erase(found);
  };
  placeAfter(std::nullopt);
  for (const auto &service : services) {
    list.push_back(encodeExposedService(service));
    placeAfter(service.id);
  }
  for (const auto &[share, rest] : following)
    for (const Json *stored : rest)
      list.push_back(*stored);
  return list;
}

} // namespace

PreferencesReading Preferences::readPreferences(const Bytes &data) {
  PreferencesReading reading;
  const auto document = parseJson(data);
  if (!document) {
    reading.problems.push_back(data.empty() ? "it holds no data" : "it is not JSON");
    return reading;
  }
  // An older layout that happens to carry the same keys is not trusted as current.
  std::string notCurrent = currentLayoutProblem(*document);
  if (notCurrent.empty()) {
    reading.preferences = readCurrent(*document, reading);
    return reading;
  }
  if (const auto legacy = LegacyPreferences::read(*document, reading.problems))
    reading.preferences = migrateLegacy(*legacy);
  else
    reading.problems.push_back(std::move(notCurrent) + ", and it is not of the earlier layout");
  return reading;
}

std::optional<Preferences> Preferences::decodePreferences(const Bytes &data) {
  return readPreferences(data).preferences;
}

Json Preferences::toJson() const {
  Json object = Json::object();
  object["version"] = version;
  object["services"] = encodeServices(services, keptServices);
  object["localPorts"] = localPorts;
  putOptional(object, "nicknames", nicknames);
  putOptional(object, "addresses", addresses);
  object["disabledIncoming"] =
      std::vector<std::string>(disabledIncoming.begin(), disabledIncoming.end());
  Json known = Json::object();
  for (const auto &[peer, list] : knownServices)
    known[peer] = encodeList(list, encodeSharedServiceInfo);
  object["knownServices"] = std::move(known);
  putOptional(object, "hardware", hardware);
  putOptional(object, "lastSeen", lastSeen);
  putOptional(object, "notifyFirstUse", notifyFirstUse);
  putOptional(object, "notifyServiceDown", notifyServiceDown);
  putOptional(object, "notifyMacBack", notifyMacBack);
  putOptional(object, "sharingPaused", sharingPaused);
  putOptional(object, "trustedNetworks", trustedNetworks);
  putOptional(object, "environments", environments, [](const std::vector<ShareEnvironment> &list) {
    return encodeList(list, encodeShareEnvironment);
  });
  return object;
}

std::optional<Bytes> Preferences::encode() const {
  const auto text = dumpJsonChecked(toJson());
  if (!text)
    return std::nullopt;
  return bytesOf(*text);
}

namespace {

// Before any save can write over a record that does not decode in full: the next save stores
// only what was read.
void keepAsideWhatWasNotRead(const char *key, const PreferencesReading &reading,
                             const DefaultsKeepAside &keepAside) {
  const std::string name = key;
  if (!reading.kept.empty())
    Logger::app().notice("Settings " + name + " hold shares this version cannot read (" +
                         joinedProblems(reading.kept) +
                         "); they are kept as stored and not offered");
  if (reading.problems.empty())
    return;
  const auto kept = keepAside(key);
  Logger::app().error("Settings " + name + " do not decode in full (" +
                      joinedProblems(reading.problems) + "); " +
                      (reading.preferences ? "the rest is used" : "they are not used") + ", and " +
                      keptAsideText("record", name, kept));
}

} // namespace

Preferences loadPreferences(const DefaultsRead &read, const DefaultsWrite &write,
                            const DefaultsKeepAside &keepAside) {
  if (const auto data = read(Preferences::defaultsKey)) {
    auto reading = Preferences::readPreferences(*data);
    keepAsideWhatWasNotRead(Preferences::defaultsKey, reading, keepAside);
    if (reading.preferences)
      return std::move(*reading.preferences);
  }
  if (const auto data = read(Preferences::legacyDefaultsKey)) {
    auto reading = Preferences::readPreferences(*data);
    if (reading.preferences) {
      // Never written, but kept aside all the same, so that what was left out stays beside the
      // migrated record.
      keepAsideWhatWasNotRead(Preferences::legacyDefaultsKey, reading, keepAside);
      savePreferences(*reading.preferences, write);
      return std::move(*reading.preferences);
    }
  }
  return Preferences::defaultPreferences();
}

void savePreferences(const Preferences &preferences, const DefaultsWrite &write) {
  if (const auto data = preferences.encode())
    write(Preferences::defaultsKey, *data);
}

namespace {

DefaultsRead readerOf(const UserDefaults &defaults) {
  return [&defaults](std::string_view key) -> std::optional<Bytes> {
    const std::string name(key);
    if (auto data = defaults.data(name))
      return data;
    // A value of another kind is not nothing: it must not be written over unseen.
    return defaults.contains(name) ? std::optional(Bytes{}) : std::nullopt;
  };
}

DefaultsWrite writerOf(UserDefaults &defaults) {
  return [&defaults](std::string_view key, const Bytes &data) {
    defaults.setData(std::string(key), data);
  };
}

} // namespace

Preferences loadPreferences(UserDefaults &defaults) {
  return loadPreferences(readerOf(defaults), writerOf(defaults), [&defaults](std::string_view key) {
    return defaults.keepAside(std::string(key));
  });
}

void savePreferences(const Preferences &preferences, UserDefaults &defaults) {
  savePreferences(preferences, writerOf(defaults));
}

} // namespace corvane

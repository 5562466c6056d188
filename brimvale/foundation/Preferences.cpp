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

bool decodeJson(const Json &value, LegacyPreferences::Service &out) {
  auto id = optionalUUIDField(value, "id");
  auto name = requiredField<std::string>(value, "name");
  auto port = requiredField<std::int64_t>(value, "port");
  auto category = optionalField<std::string>(value, "category");
  if (!id || !name || !port || !category)
    return false;
  out = {std::move(*id), std::move(*name), *port, std::move(*category)};
  return true;
}

bool decodeJson(const Json &value, LegacyPreferences::ServicePreference &out) {
  auto enabled = optionalField<bool>(value, "enabled");
  if (!enabled)
    return false;
  out.enabled = *enabled;
  return true;
}

std::optional<LegacyPreferences> LegacyPreferences::decode(const Json &document) {
  auto services = requiredField<std::vector<Service>>(document, "exposedServices");
  auto preferences =
      optionalField<std::map<std::string, ServicePreference>>(document, "servicePreferences");
  if (!services || !preferences)
    return std::nullopt;
  return LegacyPreferences{std::move(*services), std::move(*preferences)};
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

constexpr const char *requiredKeys[] = {"services", "localPorts", "disabledIncoming",
                                        "knownServices"};

// The member under key, or null when it is missing or null.
const Json *member(const Json &document, const char *key) {
  const auto found = document.find(key);
  return found == document.end() || found->is_null() ? nullptr : &*found;
}

// Why the document is not of the current layout; empty when it is.
std::string currentLayoutProblem(const Json &document) {
  MemberReader reader(document);
  const auto version = reader.required<int>("version");
  if (!version)
    return reader.problem();
  if (*version < Preferences::currentVersion)
    return "\"version\" " + std::to_string(*version) + " is of an earlier layout";
  for (const char *key : requiredKeys)
    reader.present(key);
  return reader.problem();
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
Preferences readCurrent(const Json &document, DecodeProblems &problems) {
  Preferences preferences;
  preferences.version = requiredField<int>(document, "version").value_or(preferences.version);
  preferences.services =
      readEach<ExposedService>(document.at("services"), "services", problems, readExposedService);
  preferences.localPorts =
      readEachMember<int>(document.at("localPorts"), "localPorts", problems, readJson<int>);
  preferences.nicknames = readOptionalMap<std::string>(document, "nicknames", problems);
  preferences.addresses = readOptionalMap<std::string>(document, "addresses", problems);
  const auto disabled = readEach<std::string>(document.at("disabledIncoming"), "disabledIncoming",
                                              problems, readJson<std::string>);
  preferences.disabledIncoming = std::set<std::string>(disabled.begin(), disabled.end());
  const Json &known = document.at("knownServices");
  if (!known.is_object())
    problems.push_back("knownServices: " + mismatchReason(known, "an object"));
  else
    for (const auto &[peer, list] : known.items())
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
    reading.preferences = readCurrent(*document, reading.problems);
    return reading;
  }
  if (const auto legacy = LegacyPreferences::decode(*document))
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
  object["services"] = encodeList(services, encodeExposedService);
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

Preferences loadPreferences(const DefaultsRead &read, const DefaultsWrite &write,
                            const DefaultsKeepAside &keepAside) {
  if (const auto data = read(Preferences::defaultsKey)) {
    auto reading = Preferences::readPreferences(*data);
    if (!reading.problems.empty()) {
      // Before any save can write over it: the next save stores only what was read.
      keepAside(Preferences::defaultsKey);
      const std::string key = Preferences::defaultsKey;
      Logger::app().error("Settings " + key + " do not decode in full (" +
                          joinedProblems(reading.problems) + "); " +
                          (reading.preferences ? "the rest is used" : "they are not used") +
                          ", and the stored record is kept as " + key + ".damaged");
    }
    if (reading.preferences)
      return std::move(*reading.preferences);
  }
  if (const auto data = read(Preferences::legacyDefaultsKey))
    if (auto preferences = Preferences::decodePreferences(*data)) {
      savePreferences(*preferences, write);
      return std::move(*preferences);
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
    defaults.keepAside(std::string(key));
  });
}

void savePreferences(const Preferences &preferences, UserDefaults &defaults) {
  savePreferences(preferences, writerOf(defaults));
}

} // namespace corvane

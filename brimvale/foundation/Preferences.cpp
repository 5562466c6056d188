#include "brimvale/foundation/Preferences.h"

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

std::optional<Preferences> Preferences::decodeCurrent(const Json &document) {
  auto version = requiredField<int>(document, "version");
  auto services = requiredField<std::vector<ExposedService>>(document, "services");
  auto localPorts = requiredField<std::map<std::string, int>>(document, "localPorts");
  auto nicknames = optionalField<std::map<std::string, std::string>>(document, "nicknames");
  auto addresses = optionalField<std::map<std::string, std::string>>(document, "addresses");
  auto disabledIncoming = requiredField<std::set<std::string>>(document, "disabledIncoming");
  auto knownServices = requiredField<std::map<std::string, std::vector<SharedServiceInfo>>>(
      document, "knownServices");
  auto hardware =
      optionalField<std::map<std::string, std::vector<std::string>>>(document, "hardware");
  auto lastSeen = optionalField<std::map<std::string, Date>>(document, "lastSeen");
  auto notifyFirstUse = optionalField<bool>(document, "notifyFirstUse");
  auto notifyServiceDown = optionalField<bool>(document, "notifyServiceDown");
  auto notifyMacBack = optionalField<bool>(document, "notifyMacBack");
  auto sharingPaused = optionalField<bool>(document, "sharingPaused");
  auto trustedNetworks = optionalField<std::vector<std::string>>(document, "trustedNetworks");
  auto environments = optionalField<std::vector<ShareEnvironment>>(document, "environments");
  if (!version || !services || !localPorts || !nicknames || !addresses || !disabledIncoming ||
      !knownServices || !hardware || !lastSeen || !notifyFirstUse || !notifyServiceDown ||
      !notifyMacBack || !sharingPaused || !trustedNetworks || !environments)
    return std::nullopt;
  return Preferences{*version,
                     std::move(*services),
                     std::move(*localPorts),
                     std::move(*nicknames),
                     std::move(*addresses),
                     std::move(*disabledIncoming),
                     std::move(*knownServices),
                     std::move(*hardware),
                     std::move(*lastSeen),
                     *notifyFirstUse,
                     *notifyServiceDown,
                     *notifyMacBack,
                     *sharingPaused,
                     std::move(*trustedNetworks),
                     std::move(*environments)};
}

std::optional<Preferences> Preferences::decodePreferences(const Bytes &data) {
  const auto document = parseJson(data);
  if (!document)
    return std::nullopt;
  // An older layout that happens to carry the same keys is not trusted as current.
  if (auto current = decodeCurrent(*document); current && current->version >= currentVersion)
    return current;
  const auto legacy = LegacyPreferences::decode(*document);
  if (!legacy)
    return std::nullopt;
  return migrateLegacy(*legacy);
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

Preferences loadPreferences(const DefaultsRead &read, const DefaultsWrite &write) {
  if (const auto data = read(Preferences::defaultsKey))
    if (auto preferences = Preferences::decodePreferences(*data))
      return std::move(*preferences);
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
  return [&defaults](std::string_view key) { return defaults.data(std::string(key)); };
}

DefaultsWrite writerOf(UserDefaults &defaults) {
  return [&defaults](std::string_view key, const Bytes &data) {
    defaults.setData(std::string(key), data);
  };
}

} // namespace

Preferences loadPreferences(UserDefaults &defaults) {
  return loadPreferences(readerOf(defaults), writerOf(defaults));
}

void savePreferences(const Preferences &preferences, UserDefaults &defaults) {
  savePreferences(preferences, writerOf(defaults));
}

} // namespace corvane

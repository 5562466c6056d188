#pragma once

#include "brimvale/foundation/Frame.h"
#include "brimvale/foundation/ShareModel.h"
#include "brimvale/platform/Bytes.h"
#include "brimvale/platform/Clock.h"
#include "brimvale/platform/Json.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

class UserDefaults;

// The settings layout of an earlier version; read once, never written.
struct LegacyPreferences {
  struct Service {
    std::optional<std::string> id;
    std::string name;
    std::int64_t port = 0; // wide, so an absurd port is skipped rather than failing the document
    std::optional<std::string> category;
  };
  struct ServicePreference {
    std::optional<bool> enabled;
  };

  std::vector<Service> exposedServices;
  std::optional<std::map<std::string, ServicePreference>> servicePreferences; // by share name

  static std::optional<LegacyPreferences> decode(const Json &document);
};

struct PreferencesReading;

// Everything the user set up and everything remembered about paired Macs between launches.
struct Preferences {
  int version = 2;
  std::vector<ExposedService> services;
  std::map<std::string, int> localPorts; // "<peer id>/<service name>" -> loopback port
  std::optional<std::map<std::string, std::string>> nicknames; // by peer id
  std::optional<std::map<std::string, std::string>> addresses; // typed host[:port], by peer id
  std::set<std::string> disabledIncoming;                      // "<peer id>/<service name>"
  std::map<std::string, std::vector<SharedServiceInfo>> knownServices; // by peer id
  std::optional<std::map<std::string, std::vector<std::string>>> hardware;
  std::optional<std::map<std::string, Date>> lastSeen;
  std::optional<bool> notifyFirstUse;
  std::optional<bool> notifyServiceDown;
  std::optional<bool> notifyMacBack;
  std::optional<bool> sharingPaused; // resuming stores absent, not false
  std::optional<std::vector<std::string>> trustedNetworks;
  std::optional<std::vector<ShareEnvironment>> environments;

  bool operator==(const Preferences &) const = default;

  static constexpr const char *defaultsKey = "corvane.preferences.v2";
  static constexpr const char *legacyDefaultsKey = "pinewhorl.preferences";
  static constexpr int currentVersion = 2;

  // Absent switches read as on; only a stored false turns them off.
  bool firstUseNoticesOn() const { return notifyFirstUse.value_or(true); }
  bool serviceDownNoticesOn() const { return notifyServiceDown.value_or(true); }

  static Preferences defaultPreferences() { return {}; }

  // One stored document of the current layout (version 2 or later, with every required key),
  // else migrated from the legacy layout. In the current layout an entry of a list or a
  // dictionary that does not decode is left out and a field that does not decode takes its
  // default; the rest is kept. Plain over bytes, for any input.
  static PreferencesReading readPreferences(const Bytes &data);
  static std::optional<Preferences> decodePreferences(const Bytes &data);
  static Preferences migrateLegacy(const LegacyPreferences &legacy);

  Json toJson() const;
  std::optional<Bytes> encode() const;
};

// What one stored document gives: the record, and each part of it that could not be read.
struct PreferencesReading {
  // Absent when the document is of neither layout.
  std::optional<Preferences> preferences;
  // "<key path>: <why>" for every entry left out and every field left at its default; also why
  // there is no record at all. Empty when everything stored was read.
  DecodeProblems problems;
};

// Access to the standard user defaults as stored bytes per key. A read gives absent when nothing
// is stored, and empty bytes for a value that is not stored as data.
using DefaultsRead = std::function<std::optional<Bytes>(std::string_view key)>;
using DefaultsWrite = std::function<void(std::string_view key, const Bytes &data)>;
// Keeps what a key holds as "<key>.damaged" before it is written over, the earlier copies
// under numbered names (UserDefaults::keepAside).
using DefaultsKeepAside = std::function<void(std::string_view key)>;

// The record at start-up: the current key, else the legacy key (then stored at once under the
// current key, the legacy data left as it is), else the default. A current record that does not
// decode in full is kept aside and logged with why before anything can write over it; what of
// it could be read is used.
Preferences loadPreferences(const DefaultsRead &read, const DefaultsWrite &write,
                            const DefaultsKeepAside &keepAside);

// Stores the whole record under the current key; an encoding failure stores nothing.
void savePreferences(const Preferences &preferences, const DefaultsWrite &write);

// The same over the standard user defaults.
Preferences loadPreferences(UserDefaults &defaults);
void savePreferences(const Preferences &preferences, UserDefaults &defaults);

} // namespace corvane

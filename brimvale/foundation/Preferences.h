#pragma once

#include "brimvale/foundation/Frame.h"
#include "brimvale/foundation/ShareModel.h"
#include "brimvale/platform/Bytes.h"
#include "brimvale/platform/Clock.h"
#include "brimvale/platform/Json.h"
#include "brimvale/platform/KeptAside.h"

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

  // Absent unless every part decodes.
  static std::optional<LegacyPreferences> decode(const Json &document);
  // Each share and switch read on its own: one that does not decode is left out and noted in
  // `problems`. Absent when the document has no list of shares, so is not of this layout.
  static std::optional<LegacyPreferences> read(const Json &document, DecodeProblems &problems);
};

struct PreferencesReading;

// A stored share this version cannot read because a later version gave it a category this one
// does not know: kept as it stands and written back at its place, so that running this version
// in between loses nothing. Never shown or offered to other machines.
struct KeptShare {
  // The id of the readable share it follows; absent when none does, or the record came from
  // elsewhere. One whose share has gone is written after all the others.
  std::optional<std::string> after;
  Json stored;

  bool operator==(const KeptShare &) const = default;
};

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
  std::vector<KeptShare> keptServices; // in stored order, written back among `services`

  bool operator==(const Preferences &) const = default;

  static constexpr const char *defaultsKey = "corvane.preferences.v2";
  static constexpr const char *legacyDefaultsKey = "pinewhorl.preferences";
  static constexpr int currentVersion = 2;

  // Absent switches read as on; only a stored false turns them off.
  bool firstUseNoticesOn() const { return notifyFirstUse.value_or(true); }
  bool serviceDownNoticesOn() const { return notifyServiceDown.value_or(true); }

  static Preferences defaultPreferences() { return {}; }

  // One stored document of the current layout (version 2 or later), else migrated from the
  // legacy layout. An entry of a list or a dictionary that does not decode is left out, and a
  // field that does not decode, or a required one that is missing or null, takes its default;
  // the rest is kept. A share of a category this version does not know is kept as stored
  // (`keptServices`). Plain over bytes, for any input.
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
  // "<key path>: <why>" for each share kept as stored because this version cannot read it.
  DecodeProblems kept;
};

// Access to the standard user defaults as stored bytes per key. A read gives absent when nothing
// is stored, and empty bytes for a value that is not stored as data.
using DefaultsRead = std::function<std::optional<Bytes>(std::string_view key)>;
using DefaultsWrite = std::function<void(std::string_view key, const Bytes &data)>;
// Keeps what a key holds as "<key>.damaged" before it is written over, the earlier copies
// under numbered names (UserDefaults::keepAside); when that fails now, the copy is made before
// the key is written over.
using DefaultsKeepAside = std::function<KeptAside(std::string_view key)>;

// The record at start-up: the current key, else the legacy key (then stored at once under the
// current key, the legacy data left as it is), else the default. A record that does not decode
// in full is kept aside and logged with why before anything can write over it; what of it could
// be read is used.
Preferences loadPreferences(const DefaultsRead &read, const DefaultsWrite &write,
                            const DefaultsKeepAside &keepAside);

// Stores the whole record under the current key; an encoding failure stores nothing.
void savePreferences(const Preferences &preferences, const DefaultsWrite &write);

// The same over the standard user defaults.
Preferences loadPreferences(UserDefaults &defaults);
void savePreferences(const Preferences &preferences, UserDefaults &defaults);

} // namespace corvane

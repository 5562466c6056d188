#pragma once

#include "brimvale/catalogue/ProbeKind.h"
#include "brimvale/foundation/ShareModel.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// One row of the built-in catalogue of well-known development services.
struct KnownService {
  std::string name; // unique across both tables
  int port = 0;
  ExposedService::ServiceCategory category = ExposedService::ServiceCategory::custom;
  std::vector<std::string> keywords; // lower-case; a keyword may hold one space
  std::string tag;
  std::string pill;
  std::optional<ServiceVersion::Kind> probe; // absent: never probed
  std::optional<std::string> caveat;

  bool operator==(const KnownService &) const = default;

  // The main catalogue and the web admin consoles; their order decides ties.
  static const std::vector<KnownService> &catalogue();
  static const std::vector<KnownService> &adminTools();

  // Pieces of a name cut at every character that is neither a letter nor a number.
  static std::vector<std::string> splitWords(std::string_view name);
  // Admin tools first, so that "redis-commander" is the console rather than the database.
  static std::optional<KnownService> matchByName(std::string_view name);
  static std::optional<KnownService> findByName(std::string_view name, int port);
  // By name, else the first main row with that port.
  static std::optional<KnownService> lookup(std::string_view name, int port);
  // Main rows matching what the user typed; all of them for empty text.
  static std::vector<KnownService> matchTypedText(std::string_view text);
};

} // namespace corvane

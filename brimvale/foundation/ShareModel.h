#pragma once

#include "brimvale/platform/Clock.h"
#include "brimvale/platform/Json.h"

#include <array>
#include <cstddef>
#include <expected>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// Connection hints shown to paired Macs; each field optional.
struct ShareHints {
  std::optional<std::string> database;
  std::optional<std::string> user;
  std::optional<std::string> note;

  bool operator==(const ShareHints &) const = default;

  // The form in which hints are stored and sent: each field cleaned for display (64, 64, 140
  // characters), empty fields dropped, and no hints at all when nothing is left.
  static std::optional<ShareHints> cleaned(const std::optional<ShareHints> &hints);
};

// One share of a local TCP port.
struct ExposedService {
  enum class ServiceCategory { database, web, api, messaging, tool, custom };

  enum class ValidationError {
    emptyName,
    nameTooLong,
    badPort,
    duplicateName,
    duplicatePort,
    proxiedPort
  };

  std::string id; // canonical upper-case UUID text
  std::string name;
  int port = 0;
  ServiceCategory category = ServiceCategory::custom;
  bool enabled = true;
  std::optional<std::set<std::string>> allowed; // device identifiers; absent: every paired Mac
  std::optional<Date> expires;
  std::optional<ShareHints> hints;

  bool operator==(const ExposedService &) const = default;
};

using ServiceCategory = ExposedService::ServiceCategory;

std::string_view rawValue(ExposedService::ServiceCategory category);
// Exact, case-sensitive match of the raw value.
std::optional<ExposedService::ServiceCategory> serviceCategoryFromRaw(std::string_view raw);
// Every category, in the order pickers show them.
const std::array<ExposedService::ServiceCategory, 6> &allServiceCategories();

// The sentence for a share's name or port.
std::string_view description(ExposedService::ValidationError error);
// The sentence when the error concerns an environment's name.
std::string_view environmentDescription(ExposedService::ValidationError error);

// A named group of shares that start and pause together.
struct ShareEnvironment {
  std::string id; // canonical upper-case UUID text
  std::string name;
  std::vector<std::string> serviceIDs;

  bool operator==(const ShareEnvironment &) const = default;
};

// A port proposed for sharing, not yet validated.
struct ShareCandidate {
  std::string name;
  int port = 0;
  ExposedService::ServiceCategory category = ExposedService::ServiceCategory::custom;

  bool operator==(const ShareCandidate &) const = default;
};

struct ShareBatchResult {
  struct Failure {
    ShareCandidate candidate;
    ExposedService::ValidationError error = ExposedService::ValidationError::emptyName;

    bool operator==(const Failure &) const = default;
  };

  std::vector<ExposedService> added;
  std::vector<Failure> failed;

  // One sentence per failure, joined by a space; absent when nothing failed.
  std::optional<std::string> summary() const;

  bool operator==(const ShareBatchResult &) const = default;
};

enum class ShareDuration { hour, endOfDay, always };

// The end time for a duration picked at `now`: an hour later, the local midnight that ends
// today (absent if the calendar cannot form it), or no end.
std::optional<Date> expiryDate(ShareDuration duration, Date now);

// Most characters a share's or environment's name may have.
inline constexpr std::size_t maxShareNameLength = 40;

// Checks one candidate against the shares there are and the ports on which this Mac offers
// another Mac's service; the first failing check decides. The new share is enabled, has a new
// id and nothing else set.
std::expected<ExposedService, ExposedService::ValidationError>
validateShare(const ShareCandidate &candidate, const std::vector<ExposedService> &services,
              const std::set<int> &proxiedPorts);

// Validates the candidates in order and appends each accepted share to `services` at once, so
// later candidates are checked against it.
ShareBatchResult addShares(std::vector<ExposedService> &services,
                           const std::vector<ShareCandidate> &candidates,
                           const std::set<int> &proxiedPorts);

// The cleaned name for an environment being created (`changingID` absent) or renamed.
std::expected<std::string, ExposedService::ValidationError>
validateEnvironmentName(std::string_view name, const std::vector<ShareEnvironment> &environments,
                        const std::optional<std::string> &changingID);

// JSON coding: required keys always written and required on reading, optional keys left out
// when absent; null reads as absent. Any missing or mistyped required key fails the record.
Json encodeShareHints(const ShareHints &hints);
std::optional<ShareHints> decodeShareHints(const Json &value);
Json encodeExposedService(const ExposedService &service);
std::optional<ExposedService> decodeExposedService(const Json &value);
Json encodeShareEnvironment(const ShareEnvironment &environment);
std::optional<ShareEnvironment> decodeShareEnvironment(const Json &value);
// The same, with why a record does not decode (the first member that does not).
std::expected<ExposedService, std::string> readExposedService(const Json &value);
std::expected<ShareEnvironment, std::string> readShareEnvironment(const Json &value);

// For the generic field readers of Json.h (arrays and dictionaries of these records).
bool decodeJson(const Json &value, ShareHints &out);
bool decodeJson(const Json &value, ExposedService &out);
bool decodeJson(const Json &value, ShareEnvironment &out);

} // namespace corvane

template <> struct std::hash<corvane::ShareHints> {
  std::size_t operator()(const corvane::ShareHints &hints) const noexcept;
};
template <> struct std::hash<corvane::ExposedService> {
  std::size_t operator()(const corvane::ExposedService &service) const noexcept;
};
template <> struct std::hash<corvane::ShareEnvironment> {
  std::size_t operator()(const corvane::ShareEnvironment &environment) const noexcept;
};
template <> struct std::hash<corvane::ShareCandidate> {
  std::size_t operator()(const corvane::ShareCandidate &candidate) const noexcept;
};

#pragma once

#include "brimvale/catalogue/Yaml.h"
#include "brimvale/foundation/ShareModel.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::ComposeImport {

// Larger files are not read at all; one of exactly this size is.
inline constexpr std::size_t maxFileBytes = 1'000'000;

// A service name longer than this is cut in found names and sentences; no share can take such
// a name anyway, and repeating it for every port would multiply the size of the result.
inline constexpr std::size_t maxServiceNameCharacters = 200;
// A "can't share" sentence quotes at most this many characters of a declaration.
inline constexpr std::size_t maxQuotedCharacters = 40;

struct Found {
  std::string name;
  int port = 0; // 1...65535
  ExposedService::ServiceCategory category = ExposedService::ServiceCategory::custom;

  bool operator==(const Found &) const = default;
};

// The reading of one port declaration: a port, or the sentence saying why it can't be shared.
class Outcome {
public:
  enum class Case : std::uint8_t { port, skip };

  static Outcome port(int number) {
    Outcome outcome(Case::port);
    outcome.port_ = number;
    return outcome;
  }
  static Outcome skip(std::string sentence) {
    Outcome outcome(Case::skip);
    outcome.sentence_ = std::move(sentence);
    return outcome;
  }

  Case which() const noexcept { return case_; }
  int portNumber() const noexcept { return port_; }
  const std::string &sentence() const noexcept { return sentence_; }

  bool operator==(const Outcome &) const = default;

private:
  explicit Outcome(Case which) : case_(which) {}

  Case case_;
  int port_ = 0;
  std::string sentence_;
};

struct Result {
  std::optional<std::string> project;
  std::vector<Found> found;         // services in file order, ports in declaration order
  std::vector<std::string> skipped; // one sentence per declaration that can't be shared

  bool operator==(const Result &) const = default;
};

// Host addresses that mean this Mac's localhost.
const std::set<std::string, std::less<>> &localHostAddresses();
// The product's own service file, which allows a bare port per service.
const std::set<std::string, std::less<>> &ownFileNames();

// The published TCP ports of a compose file (or of the own service file). Never fails.
Result importCompose(std::string_view text, std::string_view fileName);

// Compose-style substitution that keeps only what a default can supply; none when a variable
// has no default. `depth` is 0 from outside.
std::optional<std::string> resolveVariables(std::string_view text, int depth = 0);

Outcome parseShortPort(std::string_view value, std::string_view serviceName);
Outcome parseLongPort(const YAMLNode &portMap, std::string_view serviceName);
Outcome readPortsValue(const YAMLNode &value, std::string_view serviceName);
Outcome checkPublished(std::string_view published, std::string_view host,
                       std::string_view serviceName, std::string_view written);

} // namespace corvane::ComposeImport
